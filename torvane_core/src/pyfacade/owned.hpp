// A move-only owner of one strong reference.
#pragma once

#include <expected>
#include <optional>
#include <type_traits>
#include <utility>

#include "pyfacade/api.hpp"

namespace torvane::py {

// True while this thread holds the interpreter lock (is attached to its thread state). The one
// time a facade frame runs without it is when the C library unwinds a thread that the
// interpreter ends at exit: its destructors run then, and must leave Python objects alone.
[[nodiscard]] inline bool holds_interpreter() noexcept { return api::attached(); }

// Releasing a reference can run a finalizer, that is Python code, and the interpreter may end
// the thread from inside it (see holds_interpreter); so nothing here that releases one is
// noexcept: that unwind must be free to pass. Nor may an Owned live inside a wrapper whose
// destructor is noexcept (see the end of this file).
class Owned {
public:
    Owned() noexcept = default;
    // Takes over a new reference (which may be null, after a failed call).
    explicit Owned(PyObject* steal) noexcept : p_(steal) {}
    Owned(Owned&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    // The reference held before is released last, and is none after a self-assignment.
    Owned& operator=(Owned&& other) {
        PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    // Without the interpreter lock the reference is left as it is: the thread is being ended
    // and leaks what its cut-short call held, as the interpreter's own C frames do.
    ~Owned() noexcept(false) {
        if (p_ != nullptr && holds_interpreter()) Py_DECREF(p_);  // GCOVR_EXCL_BR_LINE: interpreter
    }

    [[nodiscard]] static Owned borrow(PyObject* p) noexcept { return Owned(Py_XNewRef(p)); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    // Hands the reference over to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A type whose destructor may let an exception (the forced unwind) pass: Owned, and whatever
// holds one as a member.
template <class T>
concept MayThrowWhenDestroyed =
    !std::is_void_v<T> && !std::is_reference_v<T> && !std::is_nothrow_destructible_v<T>;

}  // namespace torvane::py

// std::optional and std::expected destroy what they hold from a noexcept destructor: an Owned
// released there that runs a finalizer in which the interpreter ends the thread would end the
// process in std::terminate. So neither may hold such a type; a Result carries a new reference
// as a plain pointer instead (see guarded in errors.hpp).
#define TV_NOT_IN_WRAPPER                                                                  \
    "an Owned (or a type holding one) must not live in std::optional or std::expected (so "  \
    "not in a Result either): their noexcept destructor would end the process when the "     \
    "interpreter ends the thread inside a finalizer it runs; keep it in a local or carry a " \
    "new reference as PyObject*"

namespace std {

template <class T>
    requires torvane::py::MayThrowWhenDestroyed<T>
class optional<T> {
    static_assert(!torvane::py::MayThrowWhenDestroyed<T>, TV_NOT_IN_WRAPPER);
};

template <class T, class E>
    requires(!std::is_void_v<T> &&
             (torvane::py::MayThrowWhenDestroyed<T> || torvane::py::MayThrowWhenDestroyed<E>))
class expected<T, E> {
    static_assert(!torvane::py::MayThrowWhenDestroyed<T> && !torvane::py::MayThrowWhenDestroyed<E>,
                  TV_NOT_IN_WRAPPER);
};

}  // namespace std

#undef TV_NOT_IN_WRAPPER
