// A move-only owner of one strong reference.
#pragma once

#include <utility>

#include "pyfacade/python.hpp"

namespace torvane::py {

class Owned {
public:
    Owned() noexcept = default;
    // Takes over a new reference (which may be null, after a failed call).
    explicit Owned(PyObject* steal) noexcept : p_(steal) {}
    Owned(Owned&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(p_); }

    [[nodiscard]] static Owned borrow(PyObject* p) noexcept { return Owned(Py_XNewRef(p)); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    // Hands the reference over to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace torvane::py
