// Hooks on the runtime support: checked allocation.
#include "hooks.hpp"
#include "runtime/alloc.hpp"

namespace {

// checked_alloc(bytes) -> None: allocates and frees `bytes`; a request the heap cannot meet
// ends the process.
PyObject* checked_alloc(PyObject*, PyObject* arg) {
    const std::size_t bytes = PyLong_AsSize_t(arg);
    if (bytes == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    torvane::checked_free(torvane::checked_alloc(bytes));
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef runtime_hooks[] = {
    {"checked_alloc", checked_alloc, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};
