// A monotonic arena.
#include "formulas/arena.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "runtime/alloc.hpp"

namespace torvane {
namespace {
constexpr std::size_t kMinChunk = 1024;
}  // namespace

Arena::Arena(std::size_t first_chunk) noexcept { add_chunk(first_chunk, true); }

Arena::Arena(Arena&& other) noexcept
    : head_(std::exchange(other.head_, nullptr)),
      cur_(std::exchange(other.cur_, nullptr)),
      end_(std::exchange(other.end_, nullptr)),
      chunks_(std::exchange(other.chunks_, 0)) {}

Arena::~Arena() {
    for (Chunk* c = head_; c != nullptr;) {
        Chunk* next = c->next;
        checked_free(c);
        c = next;
    }
}

void Arena::add_chunk(std::size_t at_least, bool exact) noexcept {
    const std::size_t last = head_ != nullptr ? head_->size : 0;
    const std::size_t size = exact ? at_least : std::max({at_least, kMinChunk, 2 * last});
    void* mem = checked_alloc(kHeader + size);
    Chunk* c = std::construct_at(static_cast<Chunk*>(mem), head_, size);
    head_ = c;
    cur_ = static_cast<std::byte*>(mem) + kHeader;
    end_ = cur_ + size;
    ++chunks_;
}

void* Arena::allocate_slow(std::size_t bytes, std::size_t align) noexcept {
    add_chunk(bytes + align, false);
    return allocate(bytes, align);
}

}  // namespace torvane
