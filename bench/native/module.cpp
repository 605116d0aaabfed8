// The entry of _torvane_benchfloors.
#include "benchfloors.hpp"

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_torvane_benchfloors",
    .m_doc = "Floors and core-level probes for the benchmarks of orvantis._torvane_core.",
    .m_size = -1,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__torvane_benchfloors() {
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    if (torvane::bench::add_floors(module) < 0 || torvane::bench::add_core_costs(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
