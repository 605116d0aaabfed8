// Test hooks for the JSON writer and the datasheet: each wraps one core function, nothing more.
#include "hooks.hpp"  // first: Python.h wants to precede the standard headers

#include <optional>
#include <string_view>
#include <utility>

#include "datasheet/datasheet.hpp"
#include "datasheet/json_value.hpp"
#include "formulas/constant_record.hpp"
#include "pyfacade/owned.hpp"

namespace {

using torvane::ConstantRecord;
using torvane::ConstantStatus;
using torvane::JsonObject;
using torvane::JsonValue;
using torvane::Text;
using torvane::py::Owned;

// Strings go back to Python as they were encoded; the writer's output is checked byte for byte.
PyObject* to_bytes(const Text& t) noexcept {
    return PyBytes_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size()));
}

PyObject* to_str(const Text& t) noexcept {
    return PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size()));
}

// Exact types only, so that reading an argument never runs Python code while borrowed
// references into the caller's containers are held.
std::optional<double> as_double(PyObject* o, const char* what) noexcept {
    if (!PyFloat_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be a float, not %.100s", what, Py_TYPE(o)->tp_name);
        return std::nullopt;
    }
    return PyFloat_AS_DOUBLE(o);
}

std::optional<std::string_view> as_bytes(PyObject* o, const char* what) noexcept {
    if (!PyBytes_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be bytes, not %.100s", what, Py_TYPE(o)->tp_name);
        return std::nullopt;
    }
    return std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
}

std::optional<std::string_view> as_utf8(PyObject* o, const char* what) noexcept {
    if (!PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %.100s", what, Py_TYPE(o)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<JsonValue> as_object(PyObject* members) noexcept;

// None, float, bytes (a string) or a list of members (a nested object).
std::optional<JsonValue> as_value(PyObject* o) noexcept {
    if (o == Py_None) return JsonValue{};
    if (PyFloat_Check(o)) return torvane::json_number(PyFloat_AS_DOUBLE(o));
    if (PyBytes_Check(o)) return JsonValue::string(*as_bytes(o, "value"));
    if (PyList_Check(o)) return as_object(o);
    PyErr_Format(PyExc_TypeError, "value must be None, float, bytes or list, not %.100s",
                 Py_TYPE(o)->tp_name);
    return std::nullopt;
}

// Members are set in list order, so a repeated key exercises replacement.
std::optional<JsonValue> as_object(PyObject* members) noexcept {
    if (!PyList_Check(members)) {
        PyErr_Format(PyExc_TypeError, "members must be a list, not %.100s",
                     Py_TYPE(members)->tp_name);
        return std::nullopt;
    }
    JsonObject object;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members); ++i) {
        PyObject* item = PyList_GET_ITEM(members, i);  // borrowed; no Python code runs below
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "each member must be a (bytes, value) tuple");
            return std::nullopt;
        }
        const auto key = as_bytes(PyTuple_GET_ITEM(item, 0), "key");
        if (!key) return std::nullopt;
        auto value = as_value(PyTuple_GET_ITEM(item, 1));
        if (!value) return std::nullopt;
        object.set(*key, std::move(*value));
    }
    return JsonValue(std::move(object));
}

PyObject* encode_number(PyObject*, PyObject* x) noexcept {
    const auto d = as_double(x, "x");
    if (!d) return nullptr;
    return to_str(torvane::encode_json(torvane::json_number(*d)));
}

// The bulk sweeps cross the boundary once per batch instead of once per number.
PyObject* encode_numbers(PyObject*, PyObject* xs) noexcept {
    if (!PyList_Check(xs)) {
        PyErr_Format(PyExc_TypeError, "xs must be a list, not %.100s", Py_TYPE(xs)->tp_name);
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(xs);
    Owned out(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const auto d = as_double(PyList_GET_ITEM(xs, i), "each x");
        if (!d) return nullptr;
        PyObject* text = to_str(torvane::encode_json(torvane::json_number(*d)));
        if (text == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), i, text);  // steals text
    }
    return out.release();
}

PyObject* encode_string(PyObject*, PyObject* raw) noexcept {
    const auto s = as_bytes(raw, "raw");
    if (!s) return nullptr;
    return to_bytes(torvane::encode_json(JsonValue::string(*s)));
}

PyObject* encode_object(PyObject*, PyObject* members) noexcept {
    const auto object = as_object(members);
    if (!object) return nullptr;
    return to_bytes(torvane::encode_json(*object));
}

PyObject* datasheet_json(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "datasheet_json() takes 5 positional arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    const auto name = as_utf8(args[0], "name");
    if (!name) return nullptr;
    const auto value = as_double(args[1], "value");
    if (!value) return nullptr;
    const auto units = as_utf8(args[2], "units");
    if (!units) return nullptr;
    std::optional<double> uncertainty;
    if (args[3] != Py_None) {
        uncertainty = as_double(args[3], "uncertainty");
        if (!uncertainty) return nullptr;
    }
    if (!PyLong_CheckExact(args[4])) {
        PyErr_SetString(PyExc_TypeError, "status must be an int");
        return nullptr;
    }
    const long status = PyLong_AsLong(args[4]);
    if (status < 0 || status > 3) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "status must be 0, 1, 2 or 3");
        return nullptr;
    }

    ConstantRecord record = ConstantRecord::seed(*name, *value, *units);
    record.uncertainty = uncertainty;
    record.status = static_cast<ConstantStatus>(status);
    return to_str(torvane::datasheet_json(record));
}

template <class F>
PyCFunction as_cfunction(F* f) noexcept {
    // Through void(*)() because the fast-call signature differs from PyCFunction's.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

// Registered by the test-hooks module with PyModule_AddFunctions.
PyMethodDef json_hooks[] = {
    {"encode_number", encode_number, METH_O,
     "encode_number(x, /)\n--\n\nencode_json(json_number(x)) for a float x, as str."},
    {"encode_numbers", encode_numbers, METH_O,
     "encode_numbers(xs, /)\n--\n\nencode_number for each float of the list xs."},
    {"encode_string", encode_string, METH_O,
     "encode_string(raw, /)\n--\n\nThe JSON text of a string holding the bytes raw, as bytes."},
    {"encode_object", encode_object, METH_O,
     "encode_object(members, /)\n--\n\n"
     "The JSON text, as bytes, of an object built by setting each (key, value) of the list in\n"
     "turn. key is bytes; value is None, a float, bytes or such a list (a nested object)."},
    {"datasheet_json", as_cfunction(datasheet_json), METH_FASTCALL,
     "datasheet_json(name, value, units, uncertainty, status, /)\n--\n\n"
     "datasheet_json of a record; uncertainty is a float or None, status 0 to 3."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};
