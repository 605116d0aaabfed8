// The operating system's services, for POSIX systems and for Windows.
#include "runtime/platform.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>

#include "runtime/claims.hpp"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>
#include <io.h>
#endif

namespace torvane::platform {
namespace {

constexpr std::uintptr_t kStackMargin = std::uintptr_t{64} << 10;

}  // namespace

#if defined(_WIN32)
StackBounds stack_bounds() noexcept {
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);  // read from the thread's own block: no call out
    return {low, high};
}
#else
namespace {

// Asked once per thread: for the main thread glibc reads /proc/self/maps to answer. Neither call
// fails as it is made here.
StackBounds query_stack_bounds() noexcept {
    pthread_attr_t attr;
    const int asked = pthread_getattr_np(pthread_self(), &attr);
    if (TV_NEVER(asked != 0)) return {0, 0};
    void* base = nullptr;
    std::size_t size = 0;
    const int got = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (TV_NEVER(got != 0)) return {0, 0};
    const auto low = reinterpret_cast<std::uintptr_t>(base);
    return {low, low + size};
}

}  // namespace

StackBounds stack_bounds() noexcept {
    thread_local const StackBounds bounds = query_stack_bounds();
    return bounds;
}
#endif

RandomSource random_fill(unsigned char* out, std::size_t n, SystemRandom system) noexcept {
    const std::size_t got = system(out, n);
    if (got >= n) return RandomSource::system;
    std::random_device device;
    for (std::size_t i = got; i < n;) {
        const auto word = device();
        const std::size_t take = std::min(n - i, sizeof word);
        std::memcpy(out + i, &word, take);
        i += take;
    }
    return RandomSource::device;
}

#if defined(_WIN32)
std::size_t random_bytes(unsigned char* out, std::size_t n) noexcept {
    // The system's preferred generator, as CPython's os.urandom asks for it; it takes a ULONG.
    std::size_t got = 0;
    while (got < n) {
        const auto chunk = static_cast<ULONG>(std::min<std::size_t>(n - got, 1u << 30));
        if (!BCRYPT_SUCCESS(
                BCryptGenRandom(nullptr, out + got, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            break;
        }
        got += chunk;
    }
    return got;
}

long thread_id() noexcept { return static_cast<long>(GetCurrentThreadId()); }

namespace {

// GetThreadDescription: Windows 10 1607 and later name threads (SetThreadDescription), in UTF-16.
using ThreadDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// Looked up at run time, so that the module loads on older systems too: in kernel32, which
// forwards it, or else KernelBase, its only home on Windows 10 1607 and Server 2016.
ThreadDescription find_thread_description(const char* symbol) noexcept {
    for (const wchar_t* dll : {L"kernel32.dll", L"kernelbase.dll"}) {
        HMODULE module = GetModuleHandleW(dll);
        if (module == nullptr) continue;
        if (FARPROC f = GetProcAddress(module, symbol)) {
            return reinterpret_cast<ThreadDescription>(reinterpret_cast<void (*)()>(f));
        }
    }
    return nullptr;
}

void describe_thread(ThreadDescription describe, char* name, std::size_t size) noexcept {
    PWSTR wide = nullptr;
    if (describe == nullptr || FAILED(describe(GetCurrentThread(), &wide)) || wide == nullptr) {
        return;
    }
    if (wide[0] != L'\0' && size > 1) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, name, static_cast<int>(size),
                                          nullptr, nullptr);
        if (n == 0) name[size - 1] = '\0';  // too long: cut, at worst inside a character
    }
    LocalFree(wide);
}

}  // namespace

void thread_name(char* name, std::size_t size) noexcept {
    static const ThreadDescription describe = find_thread_description("GetThreadDescription");
    describe_thread(describe, name, size);
}

void thread_name_by(const char* symbol, char* name, std::size_t size) noexcept {
    describe_thread(find_thread_description(symbol), name, size);
}

void write_stderr(const char* begin, const char* end) {
    for (const char* q = begin; q < end;) {
        const int w =
            _write(2, q, static_cast<unsigned>(std::min<std::ptrdiff_t>(end - q, 1 << 30)));
        if (w <= 0) break;
        q += w;
    }
}
#endif

bool stack_nearly_full() noexcept {
    const StackBounds b = stack_bounds();
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // A frame outside the thread's stack (another stack switched to, or bounds that could not
    // be had) is never refused.
    if (here < b.low || here >= b.high) return false;  // GCOVR_EXCL_BR_LINE: system
    return here - b.low < std::min(kStackMargin, (b.high - b.low) / 4);
}

}  // namespace torvane::platform
