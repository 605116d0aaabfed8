// Failures as values, the internal-failure exception, and the diagnostic of an internal failure.
#include "pyfacade/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// The calling thread's id and name, for the diagnostic of an internal failure.
#include "runtime/platform.hpp"

namespace torvane::py {
namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when native code called from Python fails an internal check.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* g_panic_exception = nullptr;  // kept for the runtime, never released

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void raise_panic(std::string_view message) {
    PyObject* type = panic_exception();
    if (type == nullptr) abort_at_boundary();
    Owned argument(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    // Without memory for the message the MemoryError just raised stands in for the panic.
    if (!argument) return;
    PyErr_SetObject(type, argument.get());
}

// Source paths are reported from the package root, not from the machine that built them.
std::string_view short_path(const char* file) noexcept {
    std::string_view path(file);
    const auto at = path.rfind("torvane_core/");
    return at == std::string_view::npos ? path : path.substr(at);
}

}  // namespace

PyObject* panic_exception() noexcept {
    if (g_panic_exception == nullptr) {
        g_panic_exception = PyErr_NewExceptionWithDoc("native_runtime.PanicException", kPanicDoc,
                                                      PyExc_BaseException, nullptr);
    }
    return g_panic_exception;
}

void forget_panic_exception() noexcept { g_panic_exception = nullptr; }

struct Failure::Detail {
    Text message;
    std::source_location where;
};

void Failure::attach(std::string_view message, const std::source_location& where) {
    detail_ = ::new (checked_alloc(sizeof(Detail))) Detail{to_text(message), where};
}

void Failure::release_detail() noexcept {
    detail_->~Detail();
    checked_free(detail_);
    detail_ = nullptr;
}

Failure Failure::pending() noexcept {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return Failure(Kind::Pending, nullptr);
}

Failure Failure::raise(PyObject* type, std::string_view message) {
    Failure f(Kind::Raise, type);
    f.attach(message, std::source_location{});
    return f;
}

Failure Failure::raise(PyObject* type) noexcept { return Failure(Kind::Raise, type); }

Failure Failure::internal(std::string_view message, std::source_location where) {
    Failure f(Kind::Internal, nullptr);
    f.attach(message, where);
    return f;
}

Failure Failure::api_failed(std::string_view message, std::source_location where) {
    Failure f = internal(message, where);
    f.print_pending_ = true;
    return f;
}

void Failure::restore() && {
    switch (kind_) {
        case Kind::Pending:
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
            return;
        case Kind::Raise: {
            if (detail_ == nullptr) {
                PyErr_SetObject(type_, Py_None);  // None: the exception gets no arguments
                return;
            }
            const Text& message = detail_->message;
            Owned argument(PyUnicode_DecodeUTF8(
                message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
            if (argument) PyErr_SetObject(type_, argument.get());
            return;
        }
        case Kind::Internal:
            if (print_pending_ && PyErr_Occurred() != nullptr) PyErr_Print();
            report_internal_failure(detail_->message, detail_->where);
            raise_panic(detail_->message);
            return;
    }
}

void report_internal_failure(std::string_view message, const std::source_location& where) noexcept {
    char name[64] = "<unnamed>";
    platform::thread_name(name, sizeof name);
    const std::string_view file = short_path(where.file_name());
    // The thread as the system knows it: Linux's thread id and name, or Windows' own.
    std::fprintf(stderr, "thread '%s' (%ld) hit an internal failure at %.*s:%u:%u:\n%.*s\n", name,
                 platform::thread_id(), static_cast<int>(file.size()), file.data(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

Failure failure_from_exception(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return Failure::internal(ex.what());
    } catch (...) {
        return Failure::internal("a foreign exception reached the module boundary");
    }
}

}  // namespace torvane::py
