// Preloaded into a coverage run's interpreters: abort() and _exit() end a process without the
// exit handlers that write gcov's counters, so these write them first, then do what was asked.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

extern "C" void __gcov_dump(void);

namespace {
template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
}  // namespace

// Exported despite the build's hidden default: the point is to take these calls.
extern "C" [[gnu::visibility("default")]] void abort(void) noexcept {
    __gcov_dump();
    next<void (*)()>("abort")();
    __builtin_trap();
}

extern "C" [[gnu::visibility("default")]] void _exit(int status) noexcept {
    __gcov_dump();
    next<void (*)(int)>("_exit")(status);
    __builtin_trap();
}
