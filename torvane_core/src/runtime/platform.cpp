// The operating system's services, for POSIX systems and for Windows.
#include "runtime/platform.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace torvane::platform {
namespace {

constexpr std::uintptr_t kStackMargin = std::uintptr_t{64} << 10;

struct StackBounds {
    std::uintptr_t low;   // the lowest usable address
    std::uintptr_t high;  // one past the highest
};

#if defined(_WIN32)
StackBounds stack_bounds() noexcept {
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);  // read from the thread's own block: no call out
    return {low, high};
}
#else
// Asked once per thread: for the main thread glibc reads /proc/self/maps to answer.
StackBounds query_stack_bounds() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return {0, 0};
    void* base = nullptr;
    std::size_t size = 0;
    const int got = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (got != 0) return {0, 0};
    const auto low = reinterpret_cast<std::uintptr_t>(base);
    return {low, low + size};
}

StackBounds stack_bounds() noexcept {
    thread_local const StackBounds bounds = query_stack_bounds();
    return bounds;
}
#endif

}  // namespace

bool stack_nearly_full() noexcept {
    const StackBounds b = stack_bounds();
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // A frame outside the thread's stack (another stack switched to, or bounds that could not
    // be had) is never refused.
    if (here < b.low || here >= b.high) return false;
    return here - b.low < std::min(kStackMargin, (b.high - b.low) / 4);
}

}  // namespace torvane::platform
