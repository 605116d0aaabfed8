// Failures as values, the internal-failure exception, and the diagnostic of an internal failure.
#include "pyfacade/errors.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

#include "runtime/claims.hpp"
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

// Inline, as only a defence calls it (see runtime/claims.hpp).
[[noreturn]] inline void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void raise_panic(std::string_view message) {
    PyObject* type = panic_exception();
    // The class is made at initialisation, before any entry can fail.
    if (TV_NEVER(type == nullptr)) abort_at_boundary();
    Owned argument(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    // Without memory for the message the MemoryError just raised stands in for the panic.
    if (!argument) return;  // GCOVR_EXCL_BR_LINE: second
    PyErr_SetObject(type, argument.get());
}

// Source paths are reported from the package root, not from the machine that built them, and
// with '/' between their parts, as on every system (a Windows build records '\'). `out` holds
// the copy that the view returned looks into.
std::string_view short_path(const char* file, std::span<char> out) noexcept {
    const std::string_view whole(file);
    const std::size_t n = std::min(whole.size(), out.size());
    std::replace_copy(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n), out.begin(),
                      '\\', '/');
    const std::string_view path(out.data(), n);
    const auto at = path.rfind("torvane_core/");
    // Every source of the module is under torvane_core/.
    if (TV_NEVER(at == std::string_view::npos)) return path;
    return path.substr(at);
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
    Text text = to_text(message);
    detail_ = std::construct_at(static_cast<Detail*>(checked_alloc(sizeof(Detail))));
    detail_->message = std::move(text);
    detail_->where = where;
}

void Failure::release_detail() noexcept {
    detail_->~Detail();
    checked_free(detail_);
    detail_ = nullptr;
}

// Every caller follows a C-API call that failed, which on 3.14 always sets an exception; some
// of 3.12's fail without one under allocation failure.
Failure Failure::pending() noexcept {
    if (PyErr_Occurred() == nullptr) {  // GCOVR_EXCL_START: interpreter
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }  // GCOVR_EXCL_STOP
    return Failure(Kind::Pending, nullptr);
}

Failure Failure::raise(PyObject* type, std::string_view message) {
    Failure f(Kind::Raise, type);
    f.attach(message, std::source_location{});
    return f;
}

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
    switch (kind_) {  // GCOVR_EXCL_BR_LINE: compiler
        case Kind::Pending:
            // pending() made sure of it, and nothing clears an exception a failure stands for.
            if (TV_NEVER(PyErr_Occurred() == nullptr)) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
            return;
        case Kind::Raise: {
            // Made by raise(type, message), which attaches the message.
            const Text& message = detail_->message;
            Owned argument(PyUnicode_DecodeUTF8(
                message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
            if (argument) PyErr_SetObject(type_, argument.get());
            return;
        }
        case Kind::Internal:
            if (print_pending_) {
                // api_failed() follows a C-API call that failed, and so set an exception.
                if (TV_ALWAYS(PyErr_Occurred() != nullptr)) PyErr_Print();
            }
            report_internal_failure(detail_->message, detail_->where);
            raise_panic(detail_->message);
            return;
    }
}

void report_internal_failure(std::string_view message, const std::source_location& where) noexcept {
    char name[64] = "<unnamed>";
    platform::thread_name(name, sizeof name);
    char copy[256];
    const std::string_view file = short_path(where.file_name(), copy);
    // The thread as the system knows it: Linux's thread id and name, or Windows' own.
    std::fprintf(stderr, "thread '%s' (%ld) hit an internal failure at %.*s:%u:%u:\n%.*s\n", name,
                 platform::thread_id(), static_cast<int>(file.size()), file.data(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

}  // namespace torvane::py
