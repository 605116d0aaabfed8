// Failures as values, the internal-failure exception, and the wrapper around every entry.
#pragma once

#include <cstdint>
#include <exception>
#include <expected>
#include <source_location>
#include <string_view>
#include <utility>

#include "pyfacade/owned.hpp"
#include "runtime/alloc.hpp"

namespace torvane::py {

class Failure {
public:
    enum class Kind : std::uint8_t {
        Pending,    // the interpreter already holds the exception
        Raise,      // an exception type and one str argument
        Internal,   // a broken invariant: diagnostic on stderr, then PanicException
    };

    // After a C-API call failed. Should the call have left no exception, a SystemError takes
    // its place now, so the failure never reaches Python as success.
    [[nodiscard]] static Failure pending() noexcept;
    [[nodiscard]] static Failure raise(PyObject* type, std::string_view message);
    // The exception is created with no arguments, and set at once. Inline: only the length
    // guards use it, which no registry reaches (see runtime/claims.hpp).
    [[nodiscard]] static Failure raise(PyObject* type) noexcept {
        PyErr_SetObject(type, Py_None);  // None: the exception gets no arguments
        return pending();
    }
    [[nodiscard]] static Failure internal(
        std::string_view message, std::source_location where = std::source_location::current());
    // A C-API call the module treats as infallible failed: its exception is printed, then the
    // internal failure "Python API call failed" follows.
    [[nodiscard]] static Failure api_failed(
        std::string_view message = "Python API call failed",
        std::source_location where = std::source_location::current());

    // Sets the Python exception this failure stands for. May run Python code (printing a
    // pending error goes through sys.excepthook), hence not noexcept.
    void restore() &&;

    Failure(Failure&& other) noexcept
        : kind_(other.kind_),
          print_pending_(other.print_pending_),
          type_(other.type_),
          detail_(std::exchange(other.detail_, nullptr)) {}
    Failure& operator=(Failure&& other) noexcept {
        std::swap(kind_, other.kind_);
        std::swap(print_pending_, other.print_pending_);
        std::swap(type_, other.type_);
        std::swap(detail_, other.detail_);
        return *this;
    }
    Failure(const Failure&) = delete;
    Failure& operator=(const Failure&) = delete;
    ~Failure() {
        if (detail_ != nullptr) release_detail();
    }

private:
    // The message and the place of an internal failure. Kept out of line, so that a Failure is
    // three words and every Result that may hold one stays small on the success path.
    struct Detail;

    Failure(Kind kind, PyObject* type) noexcept : kind_(kind), type_(type) {}
    void attach(std::string_view message, const std::source_location& where);
    void release_detail() noexcept;

    Kind kind_;
    bool print_pending_ = false;
    PyObject* type_;  // a static exception type, for Raise
    Detail* detail_ = nullptr;  // the message, for Raise and Internal
};

template <class T>
using Result = std::expected<T, Failure>;

#define TV_CONCAT_INNER(a, b) a##b
#define TV_CONCAT(a, b) TV_CONCAT_INNER(a, b)

// Returns the failure of a Result<void> from the enclosing function.
#define TV_CHECK(expr)                                                   \
    do {                                                                 \
        if (auto tv_r_ = (expr); !tv_r_) {                               \
            return std::unexpected(std::move(tv_r_).error());            \
        }                                                                \
    } while (0)

// Declares `decl` from a Result's value, or returns its failure from the enclosing function.
#define TV_ASSIGN(decl, expr)                                                     \
    auto TV_CONCAT(tv_r_, __LINE__) = (expr);                                     \
    if (!TV_CONCAT(tv_r_, __LINE__)) {                                            \
        return std::unexpected(std::move(TV_CONCAT(tv_r_, __LINE__)).error());    \
    }                                                                             \
    decl = std::move(*TV_CONCAT(tv_r_, __LINE__))

// The internal-failure exception class, created on first need and kept for the runtime.
// Null (with the creation error pending) only if it cannot be created.
[[nodiscard]] PyObject* panic_exception() noexcept;
// Forgets it, without releasing it, once its runtime has ended.
void forget_panic_exception() noexcept;

// Writes the internal-failure diagnostic to stderr: the thread, the source location and the
// message.
void report_internal_failure(std::string_view message, const std::source_location& where) noexcept;

// The entry wrapper's last handler, where the C++ library can rethrow a foreign exception (see
// guarded).
#if defined(__GLIBCXX__)
#define TV_CATCH_REST                                                                      \
    catch (...) {                                                                          \
        if (!std::current_exception()) throw; /* the forced unwind */                      \
        Failure::internal("a foreign exception reached the module boundary").restore();    \
    }
#else
#define TV_CATCH_REST
#endif

// Runs an entry's body with the GIL held: a success gives its result, every failure becomes a
// Python exception and `failed`; no C++ exception leaves. A body hands a new reference over as a
// plain pointer (`return owned.release();`): a Result may not hold an Owned (see the
// end of owned.hpp).
//
// One unwind must leave untouched: when the interpreter finalises, a daemon thread that waits
// for the GIL inside Python code the body called (json.loads, __float__, __str__, a finalizer)
// is ended with pthread_exit (by CPython 3.12 and 3.13.0; 3.14 leaves it waiting for good),
// which unwinds its stack as abi::__forced_unwind. Caught, it must be rethrown; met by a
// noexcept frame, it ends the process in std::terminate. So neither the wrapper nor any entry
// point or helper that can run Python code is noexcept, and the destructors that run on the way
// release no reference (see Owned).
//
// The forced unwind is a foreign exception, with no C++ object behind it: current_exception()
// is empty for it (rethrowing that empty pointer was a crash), and a handler for
// abi::__forced_unwind& would bind a null reference. So with libstdc++ the catch-all recognises
// it, and any other foreign exception it could not describe either, by that empty pointer and
// rethrows it. libc++ cannot rethrow a foreign exception (it terminates), so there the wrapper
// has no catch-all: it catches what derives from std::exception, which is all the module's own
// code and the standard library throw, and lets the forced unwind pass untouched.
//
// Always inlined: once the wrapper may let an exception out, the compiler would otherwise keep
// it as a call of its own, a call more on every entry's hot path.
template <class T, class Body>
[[nodiscard]] __attribute__((always_inline)) inline T guarded(Body&& body, T failed) {
    try {
        Result<T> r = body();
        if (r) return *r;
        std::move(r).error().restore();
    } catch (const std::exception& e) {  // GCOVR_EXCL_START: boundary
        Failure::internal(e.what()).restore();
    }
    TV_CATCH_REST
    return failed;  // GCOVR_EXCL_STOP
}

// An entry that returns a new reference, null on failure.
template <class Body>
[[nodiscard]] __attribute__((always_inline)) inline PyObject* entry(Body&& body) {
    return guarded<PyObject*>(std::forward<Body>(body), nullptr);
}

// The same for __len__, whose failure value is -1.
template <class Body>
[[nodiscard]] __attribute__((always_inline)) inline Py_ssize_t entry_len(Body&& body) {
    return guarded<Py_ssize_t>(std::forward<Body>(body), -1);
}

}  // namespace torvane::py
