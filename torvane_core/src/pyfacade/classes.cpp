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

}  // namespace torvane::py
