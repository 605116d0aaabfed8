// _torvane_testhooks: the core's operations for the tests. Never shipped in a wheel.
#include <initializer_list>

#include "hooks.hpp"

namespace {

PyModuleDef hooks_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_torvane_testhooks",
    .m_doc = "Test-only access to the core of _torvane_core.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__torvane_testhooks() {
    PyObject* m = PyModule_Create(&hooks_def);
    if (m == nullptr) return nullptr;
    for (PyMethodDef* table :
         {json_hooks, formulas_hooks, quarks_hooks, ckm_hooks, runtime_hooks}) {
        if (PyModule_AddFunctions(m, table) < 0) {
            Py_DECREF(m);
            return nullptr;
        }
    }
    return m;
}
