// What the operating system provides, behind one small seam: random bytes, the calling thread's
// id and name, the write to standard error and the room left on the stack. On POSIX systems
// the small ones are defined here, inline, so that their callers compile to the system calls
// themselves; on Windows they are in platform.cpp, which keeps <windows.h> out of every other
// file.
#pragma once

#include <cstddef>
#include <cstdint>

#if !defined(_WIN32)
#include <cerrno>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace torvane::platform {

// Fills out[0, n) with random bytes from the system, as far as it can; returns how many it
// wrote (n unless the system has no source: random_fill then takes the fallback).
[[nodiscard]] std::size_t random_bytes(unsigned char* out, std::size_t n) noexcept;

// Where random_fill's bytes came from: the system's source, or the C++ library's random device
// where the system gave too few (an old kernel, a seccomp filter).
enum class RandomSource : unsigned char { system, device };
using SystemRandom = std::size_t (*)(unsigned char* out, std::size_t n) noexcept;

// Fills out[0, n) with random bytes, from `system` or, where it falls short, from the device;
// says which. The tests give a failing `system`.
[[nodiscard]] RandomSource random_fill(unsigned char* out, std::size_t n,
                                       SystemRandom system = random_bytes) noexcept;

// The calling thread's id, as the system numbers threads.
[[nodiscard]] long thread_id() noexcept;

// The calling thread's name, as the system knows it, into name[0, size), NUL-terminated; left
// as it was when the thread has none or it cannot be read.
void thread_name(char* name, std::size_t size) noexcept;

#if defined(_WIN32)
// thread_name() with the system's function looked up under another export name, for the tests
// of a system without it: the name is then left as it was.
void thread_name_by(const char* symbol, char* name, std::size_t size) noexcept;
#endif

// Writes [begin, end) to standard error, unbuffered and without allocating; stops at an error.
// Not noexcept: POSIX's write is a point where a thread can be cancelled, by an unwind.
void write_stderr(const char* begin, const char* end);

// The calling thread's stack: its lowest usable address and one past its highest, asked of
// the system once per thread; {0, 0} when the system cannot say.
struct StackBounds {
    std::uintptr_t low;
    std::uintptr_t high;
};
[[nodiscard]] StackBounds stack_bounds() noexcept;

// True when the calling thread's stack has little room left below the caller: less than 64 KiB,
// or less than a quarter of the whole stack where that is smaller. Checked before the module
// runs Python code that may call it again, so that such a recursion ends in an exception
// before the stack overflows.
[[nodiscard]] bool stack_nearly_full() noexcept;

#if !defined(_WIN32)
[[gnu::always_inline]] inline std::size_t random_bytes(unsigned char* out, std::size_t n) noexcept {
    std::size_t got = 0;
    while (got < n) {
        // The system call itself rather than glibc's wrapper, which only glibc 2.25 and later
        // have: the portable wheels are built against glibc 2.17. Where the kernel lacks it the
        // call fails with ENOSYS and the caller's fallback takes over.
        const long r = ::syscall(SYS_getrandom, out + got, n - got, 0u);
        if (r > 0) {  // GCOVR_EXCL_BR_LINE: random
            got += static_cast<std::size_t>(r);
        } else if (r < 0 && errno != EINTR) {  // GCOVR_EXCL_START: random
            break;
        }  // GCOVR_EXCL_STOP
    }
    return got;
}

// The system call: glibc's gettid() wrapper is 2.30 and later, newer than the wheels' floor.
[[gnu::always_inline]] inline long thread_id() noexcept { return ::syscall(SYS_gettid); }

[[gnu::always_inline]] inline void thread_name(char* name, std::size_t size) noexcept {
    (void)pthread_getname_np(pthread_self(), name, size);
}

[[gnu::always_inline]] inline void write_stderr(const char* begin, const char* end) {
    for (const char* q = begin; q < end;) {
        const ssize_t n = ::write(STDERR_FILENO, q, static_cast<std::size_t>(end - q));
        if (n <= 0) break;
        q += n;
    }
}
#endif

}  // namespace torvane::platform
