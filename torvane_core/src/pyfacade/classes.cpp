// Type-object creation shared by the three classes.
#include "pyfacade/classes.hpp"

namespace torvane::py {

Result<PyTypeObject*> ClassType::create() {
    if (type == nullptr) {
        PyObject* made = PyType_FromSpec(type_spec);
        if (made == nullptr) return std::unexpected(Failure::pending());
        type = reinterpret_cast<PyTypeObject*>(made);  // kept for the runtime
    }
    return type;
}

// GCOVR_EXCL_START: invariant: initialisation makes every class before any of its code runs
Result<PyTypeObject*> ClassType::need_slow() {
    if (auto made = create()) return *made;
    Text m("failed to create type object for ");
    m.append(name);
    return std::unexpected(Failure::api_failed(m));
}
// GCOVR_EXCL_STOP

}  // namespace torvane::py
