// Failures as values, the internal-failure exception, and the diagnostic of an internal failure.
#include "pyfacade/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include <unistd.h>

namespace torvane::py {
namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when native code called from Python fails an internal check.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* g_panic_exception = nullptr;  // kept for the process, never released

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void raise_panic(std::string_view message) noexcept {
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

Failure Failure::pending() noexcept {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return Failure(Kind::Pending, nullptr, std::source_location{});
}

Failure Failure::raise(PyObject* type, std::string_view message) {
    Failure f(Kind::Raise, type, std::source_location{});
    f.message_ = to_text(message);
    f.has_argument_ = true;
    return f;
}

Failure Failure::raise(PyObject* type) noexcept {
    return Failure(Kind::Raise, type, std::source_location{});
}

Failure Failure::internal(std::string_view message, std::source_location where) {
    Failure f(Kind::Internal, nullptr, where);
    f.message_ = to_text(message);
    return f;
}

Failure Failure::api_failed(std::string_view message, std::source_location where) {
    Failure f = internal(message, where);
    f.print_pending_ = true;
    return f;
}

void Failure::restore() && noexcept {
    switch (kind_) {
        case Kind::Pending:
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
            return;
        case Kind::Raise: {
            if (!has_argument_) {
                PyErr_SetObject(type_, Py_None);  // None: the exception gets no arguments
                return;
            }
            Owned argument(PyUnicode_DecodeUTF8(
                message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
            if (argument) PyErr_SetObject(type_, argument.get());
            return;
        }
        case Kind::Internal:
            if (print_pending_ && PyErr_Occurred() != nullptr) PyErr_Print();
            report_internal_failure(message_, where_);
            raise_panic(message_);
            return;
    }
}

void report_internal_failure(std::string_view message, const std::source_location& where) noexcept {
    char name[64] = "<unnamed>";
    (void)pthread_getname_np(pthread_self(), name, sizeof name);
    const std::string_view file = short_path(where.file_name());
    std::fprintf(stderr, "thread '%s' (%ld) hit an internal failure at %.*s:%u:%u:\n%.*s\n", name,
                 static_cast<long>(::gettid()), static_cast<int>(file.size()), file.data(),
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
