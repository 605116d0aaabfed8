// The argument binding routine shared by every callable that takes arguments.
#include "pyfacade/binding.hpp"

#include <charconv>

#include "runtime/claims.hpp"
#include "runtime/platform.hpp"

namespace torvane::py {
namespace {

void append_number(Text& out, std::size_t n) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, end);
}

Text display_name(const ParamSpec& params) {
    Text out;
    if (!params.cls.empty()) {
        out.append(params.cls);
        out.push_back('.');
    }
    out.append(params.function);
    out.append("()");
    return out;
}

Failure too_many_positional(const ParamSpec& params, std::size_t given) {
    Text m = display_name(params);
    m.append(" takes ");
    append_number(m, params.parameters.size());
    m.append(" positional arguments but ");
    append_number(m, given);
    m.append(given == 1 ? " was given" : " were given");
    return Failure::raise(PyExc_TypeError, m);
}

Failure unexpected_keyword(const ParamSpec& params, PyObject* name) {
    Text m = display_name(params);
    m.append(" got an unexpected keyword argument '");
    if (!append_str(m, name)) return Failure::pending();
    m.push_back('\'');
    return Failure::raise(PyExc_TypeError, m);
}

Failure multiple_values(const ParamSpec& params, std::string_view parameter) {
    Text m = display_name(params);
    m.append(" got multiple values for argument '");
    m.append(parameter);
    m.push_back('\'');
    return Failure::raise(PyExc_TypeError, m);
}

// No function of the module has more than one required parameter (see ParamSpec).
Failure missing(const ParamSpec& params, std::string_view name) {
    Text m = display_name(params);
    m.append(" missing 1 required positional argument: '");
    m.append(name);
    m.push_back('\'');
    return Failure::raise(PyExc_TypeError, m);
}

// The slot a keyword names, or -1. Keywords match by their UTF-8 bytes; a name that is not
// text, or not encodable, matches nothing.
Py_ssize_t keyword_slot(const ParamSpec& params, PyObject* name) {
    if (!PyUnicode_Check(name)) return -1;
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &n);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view key(utf8, static_cast<std::size_t>(n));
    for (std::size_t i = params.positional_only; i < params.parameters.size(); ++i) {
        if (params.parameters[i] == key) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

Result<void> bind_keyword(const ParamSpec& params, PyObject* name, PyObject* value,
                          std::span<PyObject*> out) {
    const Py_ssize_t slot = keyword_slot(params, name);
    if (slot < 0) return std::unexpected(unexpected_keyword(params, name));
    const auto at = static_cast<std::size_t>(slot);
    PyObject*& target = out[at];
    if (target != nullptr) {
        // Named by the parameter, not by the keyword object: its str() may say anything.
        return std::unexpected(multiple_values(params, params.parameters[at]));
    }
    target = value;
    return {};
}

// The argument wrapping: a TypeError from converting `parameter` becomes
// "argument '{parameter}': {message}", keeping the original's cause; any other exception
// passes unchanged.
Failure wrap_argument_failure(Failure failure, std::string_view parameter) {
    std::move(failure).restore();
    PyObject* raised = PyErr_GetRaisedException();
    if (TV_NEVER(raised == nullptr)) return Failure::pending();  // restore() raises
    Owned original(raised);
    if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        return Failure::pending();
    }
    Text m("argument '");
    m.append(parameter);
    m.append("': ");
    if (!append_str(m, raised)) return Failure::pending();  // an interrupt takes its place
    Owned message(PyUnicode_DecodeUTF8(m.data(), static_cast<Py_ssize_t>(m.size()), "replace"));
    if (!message) return Failure::pending();
    // Raised like every other failure, so that the exception the caller is handling becomes
    // its __context__.
    PyErr_SetObject(PyExc_TypeError, message.get());
    Owned wrapped(PyErr_GetRaisedException());
    // PyErr_SetObject always leaves an exception: the TypeError, or what making it raised.
    if (Py_TYPE(wrapped.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(wrapped.release());  // what creating it raised instead
        return Failure::pending();
    }
    PyException_SetCause(wrapped.get(), PyException_GetCause(raised));  // steals the cause
    PyErr_SetRaisedException(wrapped.release());  // steals the exception
    return Failure::pending();
}

}  // namespace

CallArgs CallArgs::tuple(PyObject* args, PyObject* kwargs, std::span<PyObject*> scratch) noexcept {
    PyObject* const* items = api::tuple_items(args, scratch);
    const auto n = static_cast<std::size_t>(api::tuple_size(args));
    return CallArgs{items, n, nullptr, nullptr, kwargs};
}

Result<void> bind_general(const ParamSpec& params, const CallArgs& call, std::span<PyObject*> out) {
    for (PyObject*& slot : out) slot = nullptr;

    // 1. Positionals fill the parameters in order.
    if (call.npositional > params.parameters.size()) {
        return std::unexpected(too_many_positional(params, call.npositional));
    }
    for (std::size_t i = 0; i < call.npositional; ++i) out[i] = call.positional[i];

    // 2. Keywords, in the order given.
    if (call.kwnames != nullptr) {
        const Py_ssize_t n = api::tuple_size(call.kwnames);
        for (Py_ssize_t i = 0; i < n; ++i) {
            TV_CHECK(  // GCOVR_EXCL_BR_LINE: assertion
                bind_keyword(params, api::tuple_item(call.kwnames, i), call.kwvalues[i], out));
        }
    } else if (call.kwdict != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        for (;;) {
            // A call without keywords took bind's fast path.
            const bool given = PyDict_Next(call.kwdict, &pos, &name, &value);
            if (TV_NEVER(!given)) break;
            // Rendering an unexpected name with str() may run Python code; hold the name so
            // that code cannot free it under us.
            const Owned held = Owned::borrow(name);
            Result<void> bound = bind_keyword(params, name, value, out);
            // Only a class's __new__ takes its keywords as a dict, and none has a parameter.
            if (TV_ALWAYS(!bound)) return bound;
        }
    }

    // 3. The required parameter, the first, if still unfilled: a function without one has
    // failed above or taken bind's fast path.
    if (TV_NEVER(params.required == 0)) return {};
    if (out[0] == nullptr) return std::unexpected(missing(params, params.parameters[0]));
    return {};
}

Result<std::string_view> text_argument_slow(PyObject* value, std::string_view parameter) {
    if (!PyUnicode_Check(value)) {
        return std::unexpected(
            wrap_argument_failure(conversion_error(value, "PyString"), parameter));
    }
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &n);
    if (utf8 == nullptr) {
        return std::unexpected(wrap_argument_failure(Failure::pending(), parameter));
    }
    return std::string_view(utf8, static_cast<std::size_t>(n));
}

Result<void> check_stack() {
    if (platform::stack_nearly_full()) [[unlikely]] {  // GCOVR_EXCL_START: interpreter
        return std::unexpected(
            Failure::raise(PyExc_RecursionError,
                           "maximum recursion depth exceeded while calling a Python object"));
    }  // GCOVR_EXCL_STOP
    return {};
}

Result<double> float_argument_slow(PyObject* value, std::string_view parameter) {
    TV_CHECK(check_stack());  // GCOVR_EXCL_BR_LINE: interpreter
    const double d = PyFloat_AsDouble(value);
    // -1.0 is also an ordinary value; only a pending exception makes it a failure.
    if (d == -1.0 && PyErr_Occurred() != nullptr) {
        return std::unexpected(wrap_argument_failure(Failure::pending(), parameter));
    }
    return d;
}

Failure wrong_self(PyObject* self, std::string_view cls) {
    return conversion_error(self != nullptr ? self : Py_None, cls);
}

Failure conversion_error(PyObject* value, std::string_view target) {
    Text m("'");
    append_type_name(m, Py_TYPE(value));
    m.append("' object cannot be converted to '");
    m.append(target);
    m.push_back('\'');
    return Failure::raise(PyExc_TypeError, m);
}

namespace {

// The text of a str as UTF-8, lone surrogates as their raw bytes. False, with nothing appended
// and the error cleared, only when the bytes cannot be made at all (no memory).
bool append_text(Text& out, PyObject* text) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &n)) {
        out.append(utf8, static_cast<std::size_t>(n));
        return true;
    }
    PyErr_Clear();
    Owned bytes(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) {  // GCOVR_EXCL_START: second
        PyErr_Clear();
        return false;
    }  // GCOVR_EXCL_STOP
    out.append(api::bytes_view(bytes.get()));
    return true;
}

}  // namespace

void append_type_name(Text& out, PyTypeObject* type) {
    Owned name(PyType_GetQualName(type));
    if (!name) PyErr_Clear();
    // GCOVR_EXCL_START: second: the text of a str fails only when its bytes cannot be made
    if (!name || !append_text(out, name.get())) out.append("<failed to extract type name>");
    // GCOVR_EXCL_STOP
}

bool append_str(Text& out, PyObject* value) {
    const bool deep = platform::stack_nearly_full();
    Owned text(deep ? nullptr : PyObject_Str(value));  // GCOVR_EXCL_BR_LINE: interpreter
    // GCOVR_EXCL_START: second: as above; no error with no text is the stack check's stand-in
    if (text && append_text(out, text.get())) return true;
    if (!text && PyErr_Occurred() != nullptr) {
        // GCOVR_EXCL_STOP
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_WriteUnraisable(value);
    }
    out.append("<unprintable ");
    append_type_name(out, Py_TYPE(value));
    out.append(" object>");
    return true;
}

}  // namespace torvane::py
