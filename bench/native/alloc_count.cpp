// Counts the heap blocks the core asks for: this library's own malloc, forwarding to glibc.
//
// The extension's version script keeps every symbol but its init entry local, so these
// definitions bind only the calls made from code linked into this library (the core's static
// library among them). The interpreter and every other library keep calling glibc directly.
#include <atomic>
#include <cstddef>
#include <new>

#include "benchfloors.hpp"

extern "C" {
void* __libc_malloc(std::size_t bytes);
void __libc_free(void* p);
}

namespace torvane::bench {
namespace {
std::atomic<std::size_t> g_mallocs{0};
}  // namespace

std::size_t mallocs_so_far() noexcept { return g_mallocs.load(std::memory_order_relaxed); }

}  // namespace torvane::bench

extern "C" {

void* malloc(std::size_t bytes) {
    torvane::bench::g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(bytes);
}

void free(void* p) { __libc_free(p); }

}  // extern "C"

// The core allocates through malloc; any plain new in it is routed here too, so that it counts.
void* operator new(std::size_t bytes) {
    if (void* p = malloc(bytes == 0 ? 1 : bytes)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t bytes) { return ::operator new(bytes); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, std::size_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t) noexcept { free(p); }
