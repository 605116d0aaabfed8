// Counts the heap blocks the core asks for: the malloc calls made by code linked into this
// library (the core's static library among them). The interpreter and every other library keep
// calling the C runtime directly, uncounted.
#include <atomic>
#include <cstddef>
#include <new>

#include "benchfloors.hpp"

#if defined(_WIN32)
#include <cstring>

#include "pe_imports.hpp"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this library's own image, placed by the linker
#else
extern "C" {
void* __libc_malloc(std::size_t bytes);
void __libc_free(void* p);
}
#endif

namespace torvane::bench {
namespace {
std::atomic<std::size_t> g_mallocs{0};
}  // namespace

std::size_t mallocs_so_far() noexcept { return g_mallocs.load(std::memory_order_relaxed); }

#if defined(_WIN32)
// The C runtime is a DLL (the UCRT) that this library reaches through its import address table,
// and a malloc defined here would not stand in for it: the table's malloc slot is pointed at a
// counting stand-in instead. libc++ is linked in, so plain new reaches that slot too.
namespace {
void* (*g_malloc)(std::size_t) = nullptr;

void* counting_malloc(std::size_t bytes) {
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return g_malloc(bytes);
}
}  // namespace

void count_mallocs() noexcept {
    pe::for_each_import(reinterpret_cast<unsigned char*>(&__ImageBase),
                        [](const char* name, void** slot) {
                            if (std::strcmp(name, "malloc") != 0 || g_malloc != nullptr) return;
                            g_malloc = reinterpret_cast<void* (*)(std::size_t)>(*slot);
                            pe::write_slot(slot, reinterpret_cast<void*>(&counting_malloc));
                        });
}
#else
// The extension's version script keeps every symbol but its init entry local, so the
// definitions below bind only the calls made from code linked into this library.
void count_mallocs() noexcept {}
#endif

}  // namespace torvane::bench

#if !defined(_WIN32)
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
#endif
