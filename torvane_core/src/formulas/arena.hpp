// A monotonic arena: the registry's keys, records and shards live in one block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>

namespace torvane {

class Arena {
public:
    Arena() noexcept = default;
    // Reserves a first chunk of exactly this size now, so that a registry of known contents
    // costs one allocation, and one small enough for the allocator's per-thread cache.
    explicit Arena(std::size_t first_chunk) noexcept;
    // Starts in the caller's storage, which must outlive the arena and which the arena never
    // frees; any further chunk comes from the heap.
    explicit Arena(std::span<std::byte> borrowed) noexcept
        : cur_(borrowed.data()), end_(borrowed.data() + borrowed.size()) {}
    Arena(Arena&& other) noexcept;
    Arena& operator=(Arena&&) = delete;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena();

    [[nodiscard]] void* allocate(std::size_t bytes, std::size_t align) noexcept {
        // The common case inline: bump the pointer inside the current chunk.
        const auto p = (reinterpret_cast<std::uintptr_t>(cur_) + align - 1) & ~(align - 1);
        if (cur_ != nullptr && p <= reinterpret_cast<std::uintptr_t>(end_) &&
            reinterpret_cast<std::uintptr_t>(end_) - p >= bytes) {
            cur_ = reinterpret_cast<std::byte*>(p + bytes);
            return reinterpret_cast<void*>(p);
        }
        return allocate_slow(bytes, align);
    }

    template <class T>
    [[nodiscard]] T* allocate_array(std::size_t n) noexcept {
        return static_cast<T*>(allocate(n * sizeof(T), alignof(T)));
    }

    // Chunks requested from the heap so far (borrowed storage is none).
    [[nodiscard]] std::size_t chunks() const noexcept { return chunks_; }

private:
    struct Chunk {
        Chunk* next;
        std::size_t size;
    };
    // A chunk's data starts this far into its heap block, past the header: as aligned as the
    // block itself, so that a first chunk sized exactly for its contents needs no padding.
    static constexpr std::size_t kHeader = 16;
    static_assert(sizeof(Chunk) <= kHeader && kHeader % alignof(std::max_align_t) == 0);

    void add_chunk(std::size_t at_least, bool exact) noexcept;
    [[nodiscard]] void* allocate_slow(std::size_t bytes, std::size_t align) noexcept;

    Chunk* head_ = nullptr;
    std::byte* cur_ = nullptr;
    std::byte* end_ = nullptr;
    std::size_t chunks_ = 0;
};

}  // namespace torvane
