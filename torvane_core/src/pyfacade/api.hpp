// The facade's only uses of the interpreter's version-specific API, each beside its form in the
// stable ABI. A build with Py_LIMITED_API (the abi3 preset) takes the second form: one module
// for every CPython from 3.12 on, where these become calls. Every other file of the facade uses
// only the limited API, or these.
#pragma once

#include <cassert>
#include <cstdint>
#include <span>
#include <string_view>

#include "pyfacade/python.hpp"

namespace torvane::py::api {

// True while this thread holds the interpreter lock (is attached to its thread state).
[[nodiscard]] inline bool attached() noexcept {
#if defined(Py_LIMITED_API)
    // The stable ABI's one way to see that without a fatal error: the thread state's dictionary,
    // null when there is no thread state. The interpreter makes the dictionary on first need and,
    // if memory is short then, clears any pending exception and returns null: prepare_thread()
    // has it made beforehand on the thread that imports the module. (On another thread the first
    // release makes it; only an allocation failing at that moment would cost that reference and
    // the pending exception.)
    return PyThreadState_GetDict() != nullptr;
#elif PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Whether the module is built for the stable ABI (the abi3 preset).
#if defined(Py_LIMITED_API)
inline constexpr bool kStableAbi = true;
#else
inline constexpr bool kStableAbi = false;
#endif

// Makes what attached() reads on this thread; false (no exception pending) if memory is short.
// The version-specific build has nothing to make: kStableAbi keeps its caller from asking.
[[nodiscard]] inline bool prepare_thread() noexcept {
#if defined(Py_LIMITED_API)
    return PyThreadState_GetDict() != nullptr;
#else
    return true;
#endif
}

// Whether `interpreter` (whose id is `id`) is the main one. The main interpreter is the first
// the runtime makes, and the runtime numbers them from 0 each time it starts.
[[nodiscard]] inline bool is_main_interpreter(PyInterpreterState* interpreter,
                                              std::int64_t id) noexcept {
#if defined(Py_LIMITED_API)
    (void)interpreter;
    return id == 0;
#else
    (void)id;
    return interpreter == PyInterpreterState_Main();
#endif
}

// The size of a tuple or dict, the value of an exact float: the caller has checked the type.
[[nodiscard]] inline Py_ssize_t tuple_size(PyObject* tuple) noexcept {
#if defined(Py_LIMITED_API)
    return PyTuple_Size(tuple);
#else
    return PyTuple_GET_SIZE(tuple);
#endif
}

[[nodiscard]] inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) noexcept {
#if defined(Py_LIMITED_API)
    return PyTuple_GetItem(tuple, i);
#else
    return PyTuple_GET_ITEM(tuple, i);  // GCOVR_EXCL_BR_LINE: assertion
#endif
}

// The items of a tuple as an array of borrowed references. The stable ABI does not show a
// tuple's storage: there the first `scratch.size()` items are copied into `scratch`, and only
// those may be read.
[[nodiscard]] inline PyObject* const* tuple_items(PyObject* tuple,
                                                  std::span<PyObject*> scratch) noexcept {
#if defined(Py_LIMITED_API)
    const Py_ssize_t n = PyTuple_Size(tuple);
    for (Py_ssize_t i = 0; i < n && static_cast<std::size_t>(i) < scratch.size(); ++i) {
        scratch[static_cast<std::size_t>(i)] = PyTuple_GetItem(tuple, i);
    }
    return scratch.data();
#else
    (void)scratch;
    return &PyTuple_GET_ITEM(tuple, 0);  // GCOVR_EXCL_BR_LINE: assertion
#endif
}

[[nodiscard]] inline Py_ssize_t dict_size(PyObject* dict) noexcept {
#if defined(Py_LIMITED_API)
    return PyDict_Size(dict);
#else
    return PyDict_GET_SIZE(dict);
#endif
}

[[nodiscard]] inline double float_value(PyObject* exact_float) noexcept {
#if defined(Py_LIMITED_API)
    return PyFloat_AsDouble(exact_float);
#else
    return PyFloat_AS_DOUBLE(exact_float);
#endif
}

// Fills slot `i` of a new list, stealing `item`.
inline void list_fill(PyObject* list, Py_ssize_t i, PyObject* item) noexcept {
#if defined(Py_LIMITED_API)
    // A new list's slot in range: it cannot fail.
    [[maybe_unused]] const int status = PyList_SetItem(list, i, item);
    assert(status == 0);
#else
    PyList_SET_ITEM(list, i, item);
#endif
}

// The bytes of a bytes object.
[[nodiscard]] inline std::string_view bytes_view(PyObject* bytes) noexcept {
#if defined(Py_LIMITED_API)
    return {PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes))};
#else
    return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
#endif
}

// An exact, compact ASCII str is its own UTF-8: its bytes follow the object header. False where
// that cannot be seen (always, in the stable ABI, whose str is opaque): the caller converts.
[[nodiscard]] inline bool ascii_text(PyObject* value, std::string_view& out) noexcept {
#if defined(Py_LIMITED_API)
    (void)value;
    (void)out;
    return false;
#else
    if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_COMPACT_ASCII(value)) return false;
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
    return true;
#endif
}

// A type's allocator and deallocator (PyType_FromSpec gives every type both).
[[nodiscard]] inline allocfunc type_alloc(PyTypeObject* type) noexcept {
#if defined(Py_LIMITED_API)
    return reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
#else
    return type->tp_alloc;
#endif
}

[[nodiscard]] inline freefunc type_free(PyTypeObject* type) noexcept {
#if defined(Py_LIMITED_API)
    return reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
#else
    return type->tp_free;
#endif
}

}  // namespace torvane::py::api
