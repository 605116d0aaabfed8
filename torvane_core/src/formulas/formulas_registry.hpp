// The registry of named constants: a sharded map with one reader-writer lock per shard.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string_view>
#include <type_traits>

#include "formulas/arena.hpp"
#include "formulas/builtin_constants.hpp"
#include "formulas/constant_record.hpp"
#include "formulas/entry.hpp"
#include "formulas/keyed_hash.hpp"
#include "formulas/registry_error.hpp"
#include "formulas/rw_lock.hpp"

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
};

// One shard. The built-in entries it holds are bits of a mask over the shared table, so
// placing one is a single OR and needs no table at all; any other entry is a pointer in the
// shard's own table. Up to kSmall slots that table keeps its entries in arrival order and a
// look-up compares them all, as small hash tables do; past that it is open-addressed by the
// hash's high half (the shard index took the low bits). Shards are made when their first entry
// arrives, so a registry pays only for the shards it fills, whatever the shard count. Small on
// purpose (40 bytes): a registry of the built-in table fits in one block of under 1 KiB with
// its directory, inside the allocator's per-thread cache.
struct Shard {
    static constexpr std::uint32_t kSmall = 32;

    mutable RwLock lock;
    std::uint32_t index;  // which of the registry's shards this is
    std::uint32_t builtin = 0;  // bit i set: holds builtin::kEntries[i]
    std::uint32_t size = 0;     // entries in `slots`
    std::uint32_t capacity = 0;  // once hashed, a power of two above kSmall
    const Entry** slots = nullptr;
    Shard* next;  // the next shard of the same directory slot

    Shard(std::uint32_t i, std::uint32_t builtin_entries, Shard* next_in_slot) noexcept
        : index(i), builtin(builtin_entries), next(next_in_slot) {}
    Shard(const Shard&) = delete;
    Shard& operator=(const Shard&) = delete;

    [[nodiscard]] bool hashed() const noexcept { return capacity > kSmall; }

    // Slots hold no hash: entries are shared between registries, each keyed its own way. A
    // probe compares the key, whose length alone settles nearly every mismatch; a built-in
    // entry is compared by the words of its name made at compile time against `words`, the
    // key's name_words(), which the hash has read already.
    // Always inlined: clang would otherwise keep it, and the look-up around it, as calls of
    // their own, about forty instructions more on every look-up; g++ keeps the look-up out of
    // line once it is this large.
    [[nodiscard, gnu::always_inline]] const Entry* find(std::uint64_t hash, std::string_view key,
                                                        const Prehash& words) const noexcept {
        for (std::uint32_t m = builtin; m != 0; m &= m - 1) {
            const auto i = static_cast<std::size_t>(std::countr_zero(m));
            if (builtin::kPrehashes[i].same_name(words)) return &builtin::kEntries[i];
        }
        return find_in_slots(hash, key);
    }
    // The entries inserted, in order or by their hash. Out of line: a registry of the built-in
    // table, the one a look-up finds its name in, has none.
    [[nodiscard]] const Entry* find_in_slots(std::uint64_t hash,
                                             std::string_view key) const noexcept;

    template <class F>
    void for_each(F&& f) const {
        for (std::uint32_t m = builtin; m != 0; m &= m - 1) {
            f(builtin::kEntries[static_cast<std::size_t>(std::countr_zero(m))]);
        }
        if (!hashed()) {
            for (std::uint32_t i = 0; i < size; ++i) f(*slots[i]);
        } else {
            for (std::uint32_t i = 0; i < capacity; ++i) {
                if (slots[i] != nullptr) f(*slots[i]);
            }
        }
    }
};

static_assert(builtin::kCount <= 32, "a shard's mask of built-in entries is 32 bits");
static_assert(std::is_trivially_destructible_v<Shard>);

}  // namespace detail

// The directory slots of a registry of the built-in table: one per shard index up to this many
// shards; beyond that this many, for at most seventeen shards, so that a chain rarely holds a
// second shard.
inline constexpr std::size_t kBuiltinDirectory = 32;

// Everything a registry of the built-in table over `shards` shards places: its directory and a
// shard per constant at most (the entries themselves are shared, held as bits of their shards).
// Storage of this size, aligned for a pointer, holds such a registry without a heap block.
[[nodiscard]] constexpr std::size_t builtin_storage_bytes(std::size_t shards) noexcept {
    return std::min(shards, kBuiltinDirectory) * sizeof(detail::Shard*) +
           std::min(shards, builtin::kCount) * sizeof(detail::Shard);
}

class FormulasRegistry {
public:
    // Room for a registry of the built-in table, whatever its shard count. A registry that lives
    // for one call can take it on the stack and so make no heap block.
    struct alignas(16) Storage { std::byte bytes[builtin_storage_bytes(kBuiltinDirectory)]; };

    // A registry holding the seventeen built-in constants.
    [[nodiscard]] static FormulasRegistry create();
    // The same, placed in `storage`, which must outlive the registry.
    [[nodiscard]] static FormulasRegistry create(Storage& storage) {
        return create(std::span<std::byte>(storage.bytes));
    }
    // The same, placed in `storage`: at least builtin_storage_bytes(shard_count()) bytes,
    // aligned for a pointer, which must outlive the registry.
    [[nodiscard]] static FormulasRegistry create(std::span<std::byte> storage);
    // The same contents over `shards` shards (a power of two greater than 1), as a machine with
    // another processor count would build them.
    [[nodiscard]] static FormulasRegistry create(std::size_t shards);

    // An empty registry of `shards` shards, a power of two greater than 1.
    explicit FormulasRegistry(std::size_t shards);

    FormulasRegistry(FormulasRegistry&& other) noexcept;
    FormulasRegistry& operator=(FormulasRegistry&&) = delete;
    FormulasRegistry(const FormulasRegistry&) = delete;
    FormulasRegistry& operator=(const FormulasRegistry&) = delete;
    ~FormulasRegistry() = default;  // shards and tables live in the arena and need no destructor

    // Stores the record under a copy of its name; returns the record it replaces, if any.
    // Not to be called while other threads use the registry: it may grow the shard directory.
    std::optional<ConstantRecord> insert(const ConstantRecord& record);

    // A deep copy of the record stored under exactly `name`.
    [[nodiscard]] std::expected<ConstantRecord, RegistryError> lookup(std::string_view name) const;

    // Only the value, read under the shard's read lock without copying the record; nothing if
    // there is no such entry (not_found_error(name) is the error to report then). Always
    // inlined and without an error value, so that the value comes back in a register rather
    // than through an expected held in memory.
    [[nodiscard, gnu::always_inline]] std::optional<double> find_value(
        std::string_view name) const noexcept {
        return look_up(
            name, [](const detail::Entry& e) { return std::optional<double>(e.value); },
            [] { return std::optional<double>(); });
    }

    // The error of a look-up of `name` that found nothing.
    [[nodiscard]] static RegistryError not_found_error(std::string_view name) {
        return registry_error::NotFound{to_text(name)};
    }

    // Calls f(entry) on the entry stored under exactly `name`, under its shard's read lock, and
    // returns what f returns; NotFound if there is none. The entry must not escape f.
    template <class F>
    [[nodiscard]] auto visit(std::string_view name, F&& f) const
        -> std::expected<std::invoke_result_t<F&, const detail::Entry&>, RegistryError> {
        using Found = std::expected<std::invoke_result_t<F&, const detail::Entry&>, RegistryError>;
        return look_up(
            name, [&f](const detail::Entry& e) -> Found { return f(e); },
            [name] { return not_found<std::invoke_result_t<F&, const detail::Entry&>>(name); });
    }

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
            for (const detail::Shard* s = directory_[i]; s != nullptr; s = s->next) {
                std::shared_lock guard(s->lock);
                s->for_each([&f](const detail::Entry& e) { f(e.key); });
            }
        }
    }

    // Every key sorted by unsigned bytes, a prefix first. While the contents are still exactly
    // the built-in table, that is the table's order, made at compile time; otherwise the keys
    // are gathered into `scratch` (at least len() views) and sorted there. The views stay valid
    // as long as the registry.
    [[nodiscard]] std::span<const std::string_view> sorted_names(
        std::span<std::string_view> scratch) const;

    [[nodiscard]] std::size_t shards() const noexcept { return mask_ + 1; }
    // Shards made so far, each for an entry: 17 for the built-in table unless two names share one.
    [[nodiscard]] std::size_t shards_in_use() const noexcept { return dir_used_; }
    // Heap blocks the registry holds: one for a registry of built-in contents.
    [[nodiscard]] std::size_t heap_blocks() const noexcept { return arena_.chunks(); }

private:
    FormulasRegistry(std::size_t shards, std::size_t block_bytes);
    FormulasRegistry(std::size_t shards, std::span<std::byte> storage);
    void fill_builtin_table();

    [[nodiscard]] detail::Shard* shard_for(std::uint64_t hash) const noexcept {
        if (dir_capacity_ == 0) return nullptr;
        const std::size_t index = hash & mask_;
        detail::Shard* s = directory_[index & (dir_capacity_ - 1)];
        while (s != nullptr && s->index != index) s = s->next;
        return s;
    }
    // found(entry) on the entry stored under exactly `name`, under its shard's read lock, or
    // missing() if there is none; both return the same type. Always inlined, as Shard::find.
    template <class Found, class Missing>
    [[nodiscard, gnu::always_inline]] auto look_up(std::string_view name, Found&& found,
                                                   Missing&& missing) const
        -> std::invoke_result_t<Missing&> {
        const Prehash words = name_words(name);
        const std::uint64_t hash =
            name.size() <= 16 ? keyed_hash(key_, words) : keyed_hash(key_, name);
        if (const detail::Shard* shard = shard_for(hash)) [[likely]] {
            std::shared_lock guard(shard->lock);
            if (const detail::Entry* e = shard->find(hash, name, words)) [[likely]]
                return found(*e);
        }
        return missing();
    }

    // The rare path out of line, so that a look-up's own code stays a few dozen instructions.
    template <class T>
    [[nodiscard, gnu::noinline, gnu::cold]] static std::expected<T, RegistryError> not_found(
        std::string_view name) {
        return std::unexpected(registry_error::NotFound{to_text(name)});
    }

    void place_builtin_table() noexcept;
    [[nodiscard]] detail::Shard* shard_for_insert(std::uint64_t hash);
    std::optional<ConstantRecord> store(const detail::RecordView& record);
    const detail::Entry* make_entry(const detail::RecordView& record);
    void grow_directory();
    void grow_shard(detail::Shard& shard);
    void place(detail::Shard& shard, std::uint64_t hash, const detail::Entry* entry) noexcept;

    Arena arena_;
    HashKey key_;
    std::size_t mask_;
    // Shard index -> shard: slot (index mod capacity) heads a chain of the shards that share it.
    // One shard per slot while the shard count is at most the capacity.
    detail::Shard** directory_ = nullptr;
    std::size_t dir_capacity_ = 0;         // a power of two, at most the shard count
    std::size_t dir_used_ = 0;
    // Kept under the shards' write locks as entries arrive, so len() takes no lock.
    std::atomic<std::size_t> count_{0};
    bool builtin_table_ = false;
};

}  // namespace torvane
