// A move-only owner of one strong reference.
#pragma once

#include <utility>

#include "pyfacade/python.hpp"

namespace torvane::py {

// True while this thread holds the interpreter lock (is attached to its thread state). The one
// time a facade frame runs without it is when the C library unwinds a thread that the
// interpreter ends at exit: its destructors run then, and must leave Python objects alone.
[[nodiscard]] inline bool holds_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Releasing a reference can run a finalizer, that is Python code, and the interpreter may end
// the thread from inside it (see holds_interpreter); so nothing here that releases one is
// noexcept: that unwind must be free to pass.
class Owned {
public:
    Owned() noexcept = default;
    // Takes over a new reference (which may be null, after a failed call).
    explicit Owned(PyObject* steal) noexcept : p_(steal) {}
    Owned(Owned&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Owned& operator=(Owned&& other) {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    // Without the interpreter lock the reference is left as it is: the thread is being ended
    // and leaks what its cut-short call held, as the interpreter's own C frames do.
    ~Owned() noexcept(false) {
        if (p_ != nullptr && holds_interpreter()) Py_DECREF(p_);
    }

    [[nodiscard]] static Owned borrow(PyObject* p) noexcept { return Owned(Py_XNewRef(p)); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    // Hands the reference over to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace torvane::py
