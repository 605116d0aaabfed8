// Parameter descriptions, the one routine that binds arguments to them, and argument conversion.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "pyfacade/errors.hpp"

namespace torvane::py {

// One static record per callable that takes arguments.
struct ParamSpec {
    std::string_view function = {};
    std::string_view cls = {};                     // empty for module functions
    std::span<const std::string_view> parameters = {};  // positional-or-keyword, in order
    std::size_t positional_only = 0;
    std::size_t required = 0;  // 0, or 1: the first parameter
};

// The arguments of one call, from either calling convention.
struct CallArgs {
    PyObject* const* positional;
    std::size_t npositional;
    PyObject* kwnames;             // vectorcall: tuple of names, values after the positionals
    PyObject* const* kwvalues;
    PyObject* kwdict;              // tp_new: dict of keywords, possibly null

    [[nodiscard]] static CallArgs fastcall(PyObject* const* args, Py_ssize_t nargsf,
                                           PyObject* kwnames) noexcept {
        const auto n = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
        return CallArgs{args, n, kwnames, args + n, nullptr};
    }
    // `scratch` holds as many entries as the callable has parameters (see api::tuple_items).
    [[nodiscard]] static CallArgs tuple(PyObject* args, PyObject* kwargs,
                                        std::span<PyObject*> scratch) noexcept;
};

// Binds the call to the parameters: `out` receives one borrowed reference per parameter, null
// where none was given.
[[nodiscard]] Result<void> bind_general(const ParamSpec& params, const CallArgs& call,
                                        std::span<PyObject*> out);

[[nodiscard]] inline Result<void> bind(const ParamSpec& params, const CallArgs& call,
                                       std::span<PyObject*> out) {
    // The common call, every parameter by position and no keywords, needs none of the checks.
    const bool no_keywords = (call.kwnames == nullptr || api::tuple_size(call.kwnames) == 0) &&
                             (call.kwdict == nullptr || api::dict_size(call.kwdict) == 0);
    if (no_keywords && call.npositional == params.parameters.size()) [[likely]] {
        for (std::size_t i = 0; i < call.npositional; ++i) out[i] = call.positional[i];
        return {};
    }
    return bind_general(params, call, out);
}

// A str (or subclass) as its UTF-8 bytes, valid while `value` lives. Failures go through the
// argument wrapping of `parameter`.
[[nodiscard]] Result<std::string_view> text_argument_slow(PyObject* value,
                                                          std::string_view parameter);

[[nodiscard]] inline Result<std::string_view> text_argument(PyObject* value,
                                                            std::string_view parameter) {
    if (std::string_view text; api::ascii_text(value, text)) [[likely]]
        return text;
    return text_argument_slow(value, parameter);
}

// An exact float read directly; anything else through the interpreter's float conversion.
[[nodiscard]] Result<double> float_argument_slow(PyObject* value, std::string_view parameter);

[[nodiscard]] inline Result<double> float_argument(PyObject* value, std::string_view parameter) {
    if (PyFloat_CheckExact(value)) [[likely]]
        return api::float_value(value);
    return float_argument_slow(value, parameter);
}

// The failure of a `self` that is not an instance of the class `cls` (see check_self).
[[nodiscard]] Failure wrong_self(PyObject* self, std::string_view cls);

// "'{type}' object cannot be converted to '{target}'".
[[nodiscard]] Failure conversion_error(PyObject* value, std::string_view target);

// Called before Python code that may call the module again (json.loads, __float__, __str__):
// RecursionError, as the interpreter words it, when the thread's stack is nearly full. CPython
// 3.12 limits the depth of C calls by their count, not by the bytes they take, and a recursion
// through the module's frames would overflow a small stack (Windows' 2 MB main one, a thread
// made with a small threading.stack_size()) before reaching that count.
[[nodiscard]] Result<void> check_stack();

// Texts put into messages. Lone surrogates go in as their raw bytes; messages are decoded
// leniently, so each such byte shows as U+FFFD.
void append_type_name(Text& out, PyTypeObject* type);
// str() of `value`. When str() raises an Exception, that is reported as unraisable and a
// stand-in naming the type is used. Anything else it raises (KeyboardInterrupt, SystemExit) is
// the user stopping the program: it is left pending and the result is false. On a nearly full
// stack str() is not called and the stand-in is used.
[[nodiscard]] bool append_str(Text& out, PyObject* value);

}  // namespace torvane::py
