// The constants registry: construction, insertion and the read side.
#include "formulas/formulas_registry.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <thread>

#include "formulas/builtin_constants.hpp"

namespace torvane {

using detail::Entry;
using detail::Shard;

std::size_t shard_count_for(unsigned processors) noexcept {
    const std::size_t p = processors == 0 ? 1 : processors;
    return std::bit_ceil(4 * p);
}

std::size_t shard_count() noexcept {
    static const std::size_t n = shard_count_for(std::thread::hardware_concurrency());
    return n;
}

namespace {

// The shard index takes the hash's low bits; the slot inside a shard takes the high half, so
// the two choices stay independent.
constexpr std::uint32_t slot_hash(std::uint64_t hash) noexcept {
    return static_cast<std::uint32_t>(hash >> 32);
}

// Everything a registry of the built-in constants stores, so that create() makes exactly one
// heap block whatever the shard count: one shard and one entry per constant at most, a grown
// table for a shard that gets crowded, and the directory. The texts stay in the table.
constexpr std::size_t builtin_arena_bytes() noexcept {
    const std::size_t n = builtin::kCount;
    const std::size_t directory = std::bit_ceil(2 * n) * sizeof(Shard*);
    const std::size_t padding = n * alignof(Shard);  // aligning each shard to its cache line
    const std::size_t grown_tables = 2 * n * 2 * Shard::kInlineSlots * sizeof(Entry*);
    return n * sizeof(Shard) + n * sizeof(Entry) + grown_tables + directory + padding;
}

}  // namespace

ConstantRecord Entry::to_record() const {
    ConstantRecord r;
    r.name = to_text(name);
    r.value = value;
    r.units = to_text(units);
    if (has_uncertainty) r.uncertainty = uncertainty;
    r.status = status;
    if (has_expression) r.expression = to_text(expression);
    r.depends_on.reserve(depends_on.size());
    for (std::string_view d : depends_on) r.depends_on.push_back(to_text(d));
    return r;
}

FormulasRegistry::FormulasRegistry(std::size_t shards) : FormulasRegistry(shards, 0, 0) {}

FormulasRegistry::FormulasRegistry(std::size_t shards, std::size_t arena_bytes,
                                   std::size_t directory)
    : arena_(arena_bytes == 0 ? Arena() : Arena(arena_bytes)),
      key_(fresh_hash_key()),
      mask_(shards - 1) {
    if (directory != 0) {
        dir_capacity_ = std::min(directory, shards);
        directory_ = arena_.allocate_array<Shard*>(dir_capacity_);
        std::fill_n(directory_, dir_capacity_, nullptr);
    }
}

FormulasRegistry::FormulasRegistry(FormulasRegistry&& other) noexcept
    : arena_(std::move(other.arena_)),
      key_(other.key_),
      mask_(other.mask_),
      directory_(std::exchange(other.directory_, nullptr)),
      dir_capacity_(std::exchange(other.dir_capacity_, 0)),
      dir_used_(std::exchange(other.dir_used_, 0)),
      count_(other.count_.exchange(0, std::memory_order_relaxed)) {}

FormulasRegistry::~FormulasRegistry() {
    // Shards live in the arena; their locks are the only members with a destructor.
    for (std::size_t i = 0; i < dir_capacity_; ++i) {
        if (directory_[i] != nullptr) directory_[i]->~Shard();
    }
}

FormulasRegistry FormulasRegistry::create() { return create(shard_count()); }

FormulasRegistry FormulasRegistry::create(std::size_t shards) {
    FormulasRegistry r(shards, builtin_arena_bytes(), std::bit_ceil(2 * builtin::kCount));
    // Nobody else can see the registry yet: filling it needs no shard lock. The table's texts
    // are literals that outlive every registry, so the entries view them instead of copying.
    for (const auto& s : builtin::kSeeds) {
        r.store(
            {s.name, s.value, s.units, std::nullopt, ConstantStatus::Seed, std::nullopt, {}, true},
            false);
    }
    for (const auto& p : builtin::kPending) {
        r.store({p.name, 0.0, p.units, std::nullopt, ConstantStatus::Pending, p.expression,
                 std::span(p.depends_on.data(), p.depends_count), true},
                false);
    }
    return r;
}

Shard* FormulasRegistry::shard_for(std::uint64_t hash) const noexcept {
    if (dir_capacity_ == 0) return nullptr;
    const std::size_t index = hash & mask_;
    const std::size_t dmask = dir_capacity_ - 1;
    for (std::size_t i = index & dmask;; i = (i + 1) & dmask) {
        Shard* s = directory_[i];
        if (s == nullptr || s->index == index) return s;
    }
}

Shard* FormulasRegistry::shard_for_insert(std::uint64_t hash) {
    if (Shard* s = shard_for(hash)) return s;
    // Keep the directory at most three quarters full, unless it already maps every shard
    // index to a slot of its own (then it never probes past the first slot).
    if (dir_capacity_ == 0 || (dir_capacity_ <= mask_ && (dir_used_ + 1) * 4 > dir_capacity_ * 3)) {
        grow_directory();
    }
    const auto index = static_cast<std::uint32_t>(hash & mask_);
    auto* shard = ::new (arena_.allocate(sizeof(Shard), alignof(Shard))) Shard(index);
    const std::size_t dmask = dir_capacity_ - 1;
    std::size_t i = index & dmask;
    while (directory_[i] != nullptr) i = (i + 1) & dmask;
    directory_[i] = shard;
    ++dir_used_;
    return shard;
}

void FormulasRegistry::grow_directory() {
    const std::size_t old_capacity = dir_capacity_;
    Shard** old = directory_;
    dir_capacity_ = std::min(old_capacity == 0 ? std::size_t{8} : 2 * old_capacity, mask_ + 1);
    directory_ = arena_.allocate_array<Shard*>(dir_capacity_);
    std::fill_n(directory_, dir_capacity_, nullptr);
    const std::size_t dmask = dir_capacity_ - 1;
    for (std::size_t k = 0; k < old_capacity; ++k) {
        if (Shard* s = old[k]) {
            std::size_t i = s->index & dmask;
            while (directory_[i] != nullptr) i = (i + 1) & dmask;
            directory_[i] = s;
        }
    }
}

void FormulasRegistry::grow_shard(Shard& shard) {
    const std::uint32_t old_capacity = shard.capacity;
    Entry** old = shard.slots;
    shard.capacity = 2 * old_capacity;
    shard.slots = arena_.allocate_array<Entry*>(shard.capacity);
    std::fill_n(shard.slots, shard.capacity, nullptr);
    const std::uint32_t mask = shard.capacity - 1;
    for (std::uint32_t k = 0; k < old_capacity; ++k) {
        if (Entry* e = old[k]) {
            std::uint32_t i = slot_hash(e->hash) & mask;
            while (shard.slots[i] != nullptr) i = (i + 1) & mask;
            shard.slots[i] = e;
        }
    }
}

Entry* FormulasRegistry::make_entry(std::uint64_t hash, const detail::RecordView& record) {
    void* at = arena_.allocate(sizeof(Entry), alignof(Entry));
    if (record.static_texts) {
        // Every member written once, straight from the view.
        return ::new (at) Entry{.hash = hash,
                                .key = record.name,
                                .name = record.name,
                                .units = record.units,
                                .expression = record.expression.value_or(std::string_view{}),
                                .depends_on = record.depends_on,
                                .value = record.value,
                                .uncertainty = record.uncertainty.value_or(0.0),
                                .has_uncertainty = record.uncertainty.has_value(),
                                .has_expression = record.expression.has_value(),
                                .status = record.status};
    }
    auto* e = ::new (at) Entry{};
    e->hash = hash;
    e->value = record.value;
    e->has_uncertainty = record.uncertainty.has_value();
    e->uncertainty = record.uncertainty.value_or(0.0);
    e->status = record.status;
    e->has_expression = record.expression.has_value();
    // Every text of the record in one block: the name twice (record and key), the units, the
    // expression and the dependencies.
    std::size_t bytes = 2 * record.name.size() + record.units.size() +
                        record.expression.value_or(std::string_view{}).size();
    for (std::string_view d : record.depends_on) bytes += d.size();
    char* out = static_cast<char*>(arena_.allocate(bytes, 1));
    auto take = [&out](std::string_view text) {
        std::memcpy(out, text.data(), text.size());
        const std::string_view copy(out, text.size());
        out += text.size();
        return copy;
    };
    e->name = take(record.name);
    e->key = take(record.name);
    e->units = take(record.units);
    if (e->has_expression) e->expression = take(*record.expression);
    if (!record.depends_on.empty()) {
        auto* deps = arena_.allocate_array<std::string_view>(record.depends_on.size());
        for (std::size_t i = 0; i < record.depends_on.size(); ++i) {
            ::new (deps + i) std::string_view(take(record.depends_on[i]));
        }
        e->depends_on = {deps, record.depends_on.size()};
    }
    return e;
}

std::optional<ConstantRecord> FormulasRegistry::insert(const ConstantRecord& record) {
    Vec<std::string_view> deps(record.depends_on.begin(), record.depends_on.end());
    std::optional<std::string_view> expression;
    if (record.expression) expression = *record.expression;
    return store({record.name, record.value, record.units, record.uncertainty, record.status,
                  expression, deps},
                 true);
}

std::optional<ConstantRecord> FormulasRegistry::store(const detail::RecordView& record, bool lock) {
    const std::uint64_t hash = keyed_hash(key_, record.name);
    Shard& shard = *shard_for_insert(hash);
    std::unique_lock guard(shard.lock, std::defer_lock);
    if (lock) guard.lock();

    Entry* fresh = make_entry(hash, record);
    if ((shard.size + 1) * 4 > shard.capacity * 3) grow_shard(shard);
    const std::uint32_t mask = shard.capacity - 1;
    for (std::uint32_t i = slot_hash(hash) & mask;; i = (i + 1) & mask) {
        Entry*& slot = shard.slots[i];
        if (slot == nullptr) {
            slot = fresh;
            ++shard.size;
            // Unlocked stores are those of create(), before anyone else can see the registry:
            // no reader to race with, so no read-modify-write either (17 of them cost more
            // than the rest of an insertion).
            if (lock) {
                count_.fetch_add(1, std::memory_order_relaxed);
            } else {
                count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            }
            return std::nullopt;
        }
        if (slot->hash == hash && same_bytes(slot->key, record.name)) {
            // The replaced entry's bytes stay in the arena until the registry goes.
            ConstantRecord previous = slot->to_record();
            slot = fresh;
            return previous;
        }
    }
}

std::expected<ConstantRecord, RegistryError> FormulasRegistry::lookup(std::string_view name) const {
    const std::uint64_t hash = keyed_hash(key_, name);
    if (const Shard* shard = shard_for(hash)) {
        std::shared_lock guard(shard->lock);
        if (const Entry* e = shard->find(hash, name)) return e->to_record();
    }
    return std::unexpected(registry_error::NotFound{to_text(name)});
}

std::expected<double, RegistryError> FormulasRegistry::value_of(std::string_view name) const {
    const std::uint64_t hash = keyed_hash(key_, name);
    if (const Shard* shard = shard_for(hash)) {
        std::shared_lock guard(shard->lock);
        if (const Entry* e = shard->find(hash, name)) return e->value;
    }
    return std::unexpected(registry_error::NotFound{to_text(name)});
}

Vec<Text> FormulasRegistry::names() const {
    Vec<Text> out;
    out.reserve(len());
    for_each_name([&](std::string_view k) { out.push_back(to_text(k)); });
    return out;
}

}  // namespace torvane
