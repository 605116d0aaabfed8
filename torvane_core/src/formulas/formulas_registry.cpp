// The constants registry: construction, insertion and the read side.
#include "formulas/formulas_registry.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>

#include "formulas/builtin_constants.hpp"
#include "runtime/byte_order.hpp"
#include "runtime/claims.hpp"

namespace torvane {

using detail::Entry;
using detail::Shard;

std::size_t shard_count_for(unsigned processors) noexcept {
    const std::size_t p = processors == 0 ? 1 : processors;
    return std::bit_ceil(4 * p);
}

std::size_t shard_count() noexcept {
    // GCOVR_EXCL_START: timing
    static const std::size_t n = shard_count_for(std::thread::hardware_concurrency());
    // GCOVR_EXCL_STOP
    return n;
}

namespace {

// Under glibc's per-thread cache limit (1032 bytes asked for), whatever the shard count: making
// and freeing the block then takes the allocator's fast path.
static_assert(builtin_storage_bytes(std::size_t{1} << 20) + 16 <= 1032);

// Shard counts up to this are placed directly, with a byte per shard on the stack; machines
// with more than a thousand processors take the general insertion.
constexpr std::size_t kMaxPlacedShards = 4096;

// More shards than directory slots (machines with more than 8 processors): the shards of
// indices that share a slot are chained. Out of line, so that its byte per shard (4 KiB) is
// taken only on those machines and not from every caller's stack. Returns the shards made.
[[gnu::noinline]] std::uint32_t place_chained(Shard** directory, std::size_t shards,
                                              const std::uint32_t (&indices)[builtin::kCount],
                                              Shard* pool) noexcept {
    using builtin::kCount;
    std::uint32_t made = 0;
    // made_for[index]: 1 + the pool position of that index's shard, 0 for none yet. The
    // new position is chosen by masks: a branch on it would mispredict.
    std::uint8_t made_for[kMaxPlacedShards];
    std::memset(made_for, 0, shards);
    std::uint32_t members[kCount + 1] = {};
    std::uint32_t index_of[kCount + 1];
    for (std::size_t i = 0; i < kCount; ++i) {
        const std::uint32_t seen = made_for[indices[i]];
        const std::uint32_t none = seen == 0;
        made += none;
        const std::uint32_t s = seen | (made & (0u - none));
        made_for[indices[i]] = static_cast<std::uint8_t>(s);
        index_of[s] = indices[i];
        members[s] |= std::uint32_t{1} << i;
    }
    for (std::uint32_t s = 1; s <= made; ++s) {
        Shard*& head = directory[index_of[s] & (kBuiltinDirectory - 1)];
        head = std::construct_at(pool + s - 1, index_of[s], members[s], head);
    }
    return made;
}

}  // namespace

namespace detail {

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

const Entry* Shard::find_in_slots(std::uint64_t hash, std::string_view key) const noexcept {
    if (!hashed()) [[likely]] {
        for (std::uint32_t i = 0; i < size; ++i) {
            if (same_bytes(slots[i]->key, key)) return slots[i];
        }
        return nullptr;
    }
    const std::uint32_t mask = capacity - 1;
    for (auto i = static_cast<std::uint32_t>(hash >> 32);; ++i) {
        const Entry* e = slots[i & mask];
        if (e == nullptr) return nullptr;
        if (same_bytes(e->key, key)) return e;
    }
}

}  // namespace detail

FormulasRegistry::FormulasRegistry(std::size_t shards)
    : key_(fresh_hash_key()), mask_(shards - 1) {}

FormulasRegistry::FormulasRegistry(FormulasRegistry&& other) noexcept
    : arena_(std::move(other.arena_)),
      key_(other.key_),
      mask_(other.mask_),
      directory_(std::exchange(other.directory_, nullptr)),
      dir_capacity_(std::exchange(other.dir_capacity_, 0)),
      dir_used_(std::exchange(other.dir_used_, 0)),
      count_(other.count_.exchange(0, std::memory_order_relaxed)),
      builtin_table_(std::exchange(other.builtin_table_, false)) {}

FormulasRegistry FormulasRegistry::create() { return create(shard_count()); }

FormulasRegistry::FormulasRegistry(std::size_t shards, std::size_t block_bytes)
    : arena_(block_bytes == 0 ? Arena() : Arena(block_bytes)),
      key_(fresh_hash_key()),
      mask_(shards - 1) {}

FormulasRegistry::FormulasRegistry(std::size_t shards, std::span<std::byte> storage)
    : arena_(storage), key_(fresh_hash_key()), mask_(shards - 1) {}

FormulasRegistry FormulasRegistry::create(std::size_t shards) {
    // One named result on every path, so that it is built in place rather than moved out.
    FormulasRegistry r(shards, shards <= kMaxPlacedShards ? builtin_storage_bytes(shards) : 0);
    r.fill_builtin_table();
    return r;
}

FormulasRegistry FormulasRegistry::create(std::span<std::byte> storage) {
    static_assert(sizeof(Storage) >= builtin_storage_bytes(std::size_t{1} << 20));
    const std::size_t shards = shard_count();
    TV_ASSERT(storage.size() >= builtin_storage_bytes(shards));
    TV_ASSERT(reinterpret_cast<std::uintptr_t>(storage.data()) % alignof(Shard*) == 0);
    FormulasRegistry r(shards, storage);
    r.fill_builtin_table();
    return r;
}

void FormulasRegistry::fill_builtin_table() {
    if (mask_ < kMaxPlacedShards) [[likely]] {
        place_builtin_table();
        return;
    }
    for (const Entry& e : builtin::kEntries) {
        store({e.name, e.value, e.units, std::nullopt, e.status,
               e.has_expression ? std::optional(e.expression) : std::nullopt, e.depends_on});
    }
    builtin_table_ = true;
}

// The arena holds at least builtin_storage_bytes(shards), all of it used here. Nobody else can
// see the registry yet, so no lock is taken. Hash every name, collect each shard index's
// entries as a bit mask, then make one shard per mask. Nothing is copied, no table is filled,
// and no step branches on a hash.
void FormulasRegistry::place_builtin_table() noexcept {
    using builtin::kCount;
    const std::size_t shards = mask_ + 1;
    dir_capacity_ = std::min(shards, kBuiltinDirectory);
    directory_ = arena_.allocate_array<Shard*>(dir_capacity_);
    std::memset(static_cast<void*>(directory_), 0, dir_capacity_ * sizeof(Shard*));
    Shard* pool = arena_.allocate_array<Shard>(std::min(shards, kCount));

    // The hashes first, in a loop of their own: seventeen independent multiplication chains
    // that the processor overlaps.
    std::uint32_t indices[kCount];
    for (std::size_t i = 0; i < kCount; ++i) {
        indices[i] = static_cast<std::uint32_t>(keyed_hash(key_, builtin::kPrehashes[i]) & mask_);
    }

    std::uint32_t made = 0;
    if (shards <= kBuiltinDirectory) {
        // Every shard index has its own directory slot and its own bit in `present`.
        std::uint32_t members[kBuiltinDirectory] = {};
        std::uint32_t present = 0;
        for (std::size_t i = 0; i < kCount; ++i) {
            members[indices[i]] |= std::uint32_t{1} << i;
            present |= std::uint32_t{1} << indices[i];
        }
        for (; present != 0; present &= present - 1) {
            const auto index = static_cast<std::uint32_t>(std::countr_zero(present));
            directory_[index] = std::construct_at(pool + made++, index, members[index], nullptr);
        }
    } else {
        made = place_chained(directory_, shards, indices, pool);
    }
    dir_used_ = made;
    count_.store(kCount, std::memory_order_relaxed);
    builtin_table_ = true;
}

Shard* FormulasRegistry::shard_for_insert(std::uint64_t hash) {
    if (Shard* s = shard_for(hash)) return s;
    // Keep the chains short: at most three shards per four slots, until every shard index has
    // a slot of its own.
    if (dir_capacity_ == 0 || (dir_capacity_ <= mask_ && (dir_used_ + 1) * 4 > dir_capacity_ * 3)) {
        grow_directory();
    }
    const auto index = static_cast<std::uint32_t>(hash & mask_);
    Shard*& head = directory_[index & (dir_capacity_ - 1)];
    head = std::construct_at(arena_.allocate_array<Shard>(1), index, 0u, head);
    ++dir_used_;
    return head;
}

void FormulasRegistry::grow_directory() {
    const std::size_t old_capacity = dir_capacity_;
    Shard** old = directory_;
    dir_capacity_ = std::min(old_capacity == 0 ? std::size_t{8} : 2 * old_capacity, mask_ + 1);
    directory_ = arena_.allocate_array<Shard*>(dir_capacity_);
    std::fill_n(directory_, dir_capacity_, nullptr);
    for (std::size_t k = 0; k < old_capacity; ++k) {
        for (Shard* s = old[k]; s != nullptr;) {
            Shard* next = s->next;
            Shard*& head = directory_[s->index & (dir_capacity_ - 1)];
            s->next = head;
            head = s;
            s = next;
        }
    }
}

// Appends to a small table, or probes a hashed one from the entry's home slot. There is room.
void FormulasRegistry::place(Shard& shard, std::uint64_t hash, const Entry* entry) noexcept {
    if (!shard.hashed()) {
        shard.slots[shard.size++] = entry;
        return;
    }
    const std::uint32_t mask = shard.capacity - 1;
    auto i = static_cast<std::uint32_t>(hash >> 32) & mask;
    while (shard.slots[i] != nullptr) i = (i + 1) & mask;
    shard.slots[i] = entry;
    ++shard.size;
}

// Doubles a small table, or turns one that outgrows kSmall into a hashed table kept at most
// three quarters full.
void FormulasRegistry::grow_shard(Shard& shard) {
    const Entry** old = shard.slots;
    const std::uint32_t old_size = shard.size;
    const std::uint32_t old_capacity = shard.capacity;
    const bool was_hashed = shard.hashed();
    const std::uint32_t capacity =
        old_capacity == 0 ? 4 : std::bit_ceil(2 * std::max(old_capacity, old_size));
    shard.slots = arena_.allocate_array<const Entry*>(capacity);
    std::fill_n(shard.slots, capacity, nullptr);
    shard.capacity = capacity;
    shard.size = 0;
    auto take = [&](const Entry* e) {
        // Slots keep no hash: entries are shared between registries, each keyed its own way.
        place(shard, shard.hashed() ? keyed_hash(key_, e->key) : 0, e);
    };
    if (!was_hashed) {
        for (std::uint32_t k = 0; k < old_size; ++k) take(old[k]);
    } else {
        for (std::uint32_t k = 0; k < old_capacity; ++k) {
            if (old[k] != nullptr) take(old[k]);
        }
    }
}

const Entry* FormulasRegistry::make_entry(const detail::RecordView& record) {
    Entry* e = std::construct_at(arena_.allocate_array<Entry>(1));
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
            std::construct_at(deps + i, take(record.depends_on[i]));
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
                  expression, deps});
}

std::optional<ConstantRecord> FormulasRegistry::store(const detail::RecordView& record) {
    // Any insertion ends the listing from the table's order, a replacement by an equal record
    // included: the flag never has to compare records.
    builtin_table_ = false;
    const std::uint64_t hash = keyed_hash(key_, record.name);
    Shard& shard = *shard_for_insert(hash);
    std::unique_lock guard(shard.lock);

    const Entry* fresh = make_entry(record);
    std::optional<ConstantRecord> previous;
    if (const Entry* old = shard.find(hash, record.name, name_words(record.name))) {
        // The replaced entry's bytes stay in the arena until the registry goes.
        previous = old->to_record();
        const Entry* shared = builtin::kEntries.data();
        // Compared as addresses: the entry is in the arena or in the shared table.
        const std::uintptr_t offset =
            reinterpret_cast<std::uintptr_t>(old) - reinterpret_cast<std::uintptr_t>(shared);
        if (offset >= builtin::kCount * sizeof(Entry)) {
            const std::uint32_t searched = shard.hashed() ? shard.capacity : shard.size;
            *std::find(shard.slots, shard.slots + searched, old) = fresh;
            return previous;
        }
        // A shared entry leaves the shard's mask; the new one goes into its table.
        shard.builtin &= ~(std::uint32_t{1} << (old - shared));
        count_.fetch_sub(1, std::memory_order_relaxed);
    }
    const bool full =
        shard.hashed() ? (shard.size + 1) * 4 > shard.capacity * 3 : shard.size == shard.capacity;
    if (full) grow_shard(shard);
    place(shard, hash, fresh);
    count_.fetch_add(1, std::memory_order_relaxed);
    return previous;
}

std::expected<ConstantRecord, RegistryError> FormulasRegistry::lookup(std::string_view name) const {
    return visit(name, [](const Entry& e) { return e.to_record(); });
}

Vec<Text> FormulasRegistry::names() const {
    Vec<Text> out;
    out.reserve(len());
    for_each_name([&](std::string_view k) { out.push_back(to_text(k)); });
    return out;
}

std::span<const std::string_view> FormulasRegistry::sorted_names(
    std::span<std::string_view> scratch) const {
    if (builtin_table_) return builtin::kSortedNames;
    std::size_t n = 0;
    for_each_name([&](std::string_view name) { scratch[n++] = name; });
    const auto names = scratch.first(n);
    sort_by_bytes(names);
    return names;
}

}  // namespace torvane
