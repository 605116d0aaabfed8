// The registry of named constants: a sharded map with one reader-writer lock per shard.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string_view>

#include "formulas/arena.hpp"
#include "formulas/constant_record.hpp"
#include "formulas/keyed_hash.hpp"
#include "formulas/registry_error.hpp"

namespace torvane {

// Four shards per logical processor (one when the count is unknown), rounded up to a power of
// two: enough that readers on different threads rarely meet on one lock.
[[nodiscard]] std::size_t shard_count_for(unsigned processors) noexcept;

// The process-wide shard count, computed on first use from the processor count.
[[nodiscard]] std::size_t shard_count() noexcept;

namespace detail {

// A record described by borrowed texts: what insertion copies into the arena.
struct RecordView {
    std::string_view name;
    double value;
    std::string_view units;
    std::optional<double> uncertainty;
    ConstantStatus status;
    std::optional<std::string_view> expression;
    std::span<const std::string_view> depends_on;
    // The texts (and the dependency list) outlive every registry, as the built-in table's
    // literals do: the registry may keep views of them instead of copies.
    bool static_texts = false;
};

// A stored constant. Its texts point into the registry's arena.
struct Entry {
    std::uint64_t hash;
    std::string_view key;  // a copy of the name, separate from the record's own
    std::string_view name;
    std::string_view units;
    std::string_view expression;
    std::span<const std::string_view> depends_on;
    double value;
    double uncertainty;
    bool has_uncertainty;
    bool has_expression;
    ConstantStatus status;

    [[nodiscard]] ConstantRecord to_record() const;
};

// One shard: an open-addressed table of entries. Shards are made when their first entry
// arrives, so a registry pays only for the shards it fills, whatever the shard count.
struct alignas(64) Shard {
    static constexpr std::uint32_t kInlineSlots = 4;

    mutable std::shared_mutex lock;
    std::uint32_t index;  // which of the registry's shards this is
    std::uint32_t size = 0;
    std::uint32_t capacity = kInlineSlots;  // a power of two
    Entry** slots = inline_slots;
    // A first table inside the shard's own cache lines, which the lock leaves room for: most
    // shards never hold more than three entries.
    Entry* inline_slots[kInlineSlots] = {};

    explicit Shard(std::uint32_t i) noexcept : index(i) {}
    Shard(const Shard&) = delete;
    Shard& operator=(const Shard&) = delete;
    [[nodiscard]] Entry* find(std::uint64_t hash, std::string_view key) const noexcept {
        // The slot takes the hash's high half; the shard index took the low bits.
        const std::uint32_t mask = capacity - 1;
        for (auto i = static_cast<std::uint32_t>(hash >> 32) & mask;; i = (i + 1) & mask) {
            Entry* e = slots[i];
            if (e == nullptr) return nullptr;
            if (e->hash == hash && same_bytes(e->key, key)) return e;
        }
    }
};

}  // namespace detail

class FormulasRegistry {
public:
    // A registry holding the seventeen built-in constants.
    [[nodiscard]] static FormulasRegistry create();
    // The same contents over `shards` shards (a power of two greater than 1), as a machine with
    // another processor count would build them.
    [[nodiscard]] static FormulasRegistry create(std::size_t shards);

    // An empty registry of `shards` shards, a power of two greater than 1.
    explicit FormulasRegistry(std::size_t shards);

    FormulasRegistry(FormulasRegistry&& other) noexcept;
    FormulasRegistry& operator=(FormulasRegistry&&) = delete;
    FormulasRegistry(const FormulasRegistry&) = delete;
    FormulasRegistry& operator=(const FormulasRegistry&) = delete;
    ~FormulasRegistry();

    // Stores the record under a copy of its name; returns the record it replaces, if any.
    // Not to be called while other threads use the registry: it may grow the shard directory.
    std::optional<ConstantRecord> insert(const ConstantRecord& record);

    // A deep copy of the record stored under exactly `name`.
    [[nodiscard]] std::expected<ConstantRecord, RegistryError> lookup(std::string_view name) const;

    // Only the value, read under the shard's read lock without copying the record.
    [[nodiscard]] std::expected<double, RegistryError> value_of(std::string_view name) const;

    [[nodiscard]] std::size_t len() const noexcept {
        return count_.load(std::memory_order_relaxed);
    }

    // A copy of every key, in the map's own order.
    [[nodiscard]] Vec<Text> names() const;

    // Calls f(std::string_view) with every key, in the map's own order, each shard under its
    // read lock. The views stay valid as long as the registry.
    template <class F>
    void for_each_name(F&& f) const {
        for (std::size_t i = 0; i < dir_capacity_; ++i) {
            const detail::Shard* s = directory_[i];
            if (s == nullptr) continue;
            std::shared_lock guard(s->lock);
            for (std::uint32_t k = 0; k < s->capacity; ++k) {
                if (s->slots[k] != nullptr) f(s->slots[k]->key);
            }
        }
    }

    [[nodiscard]] std::size_t shards() const noexcept { return mask_ + 1; }
    // Heap blocks the registry holds: one for a registry of built-in contents.
    [[nodiscard]] std::size_t heap_blocks() const noexcept { return arena_.chunks(); }

private:
    FormulasRegistry(std::size_t shards, std::size_t arena_bytes, std::size_t directory);

    [[nodiscard]] detail::Shard* shard_for(std::uint64_t hash) const noexcept;
    [[nodiscard]] detail::Shard* shard_for_insert(std::uint64_t hash);
    std::optional<ConstantRecord> store(const detail::RecordView& record, bool lock);
    detail::Entry* make_entry(std::uint64_t hash, const detail::RecordView& record);
    void grow_directory();
    void grow_shard(detail::Shard& shard);

    Arena arena_;
    HashKey key_;
    std::size_t mask_;
    detail::Shard** directory_ = nullptr;  // shard index -> shard, open-addressed
    std::size_t dir_capacity_ = 0;         // a power of two, at most the shard count
    std::size_t dir_used_ = 0;
    // Kept under the shards' write locks as entries arrive, so len() takes no lock.
    std::atomic<std::size_t> count_{0};
};

}  // namespace torvane
