// PyQuarkRegistry: the six Standard Model quarks as a Python class.
#include "pyfacade/binding.hpp"
#include "pyfacade/classes.hpp"
#include "quarks/quark_registry.hpp"

namespace torvane::py {
namespace {

using Object = Instance<QuarkRegistry>;
constexpr std::string_view kClass = "PyQuarkRegistry";

constexpr ParamSpec kNewSpec{.function = "__new__", .cls = kClass, .parameters = {}};

PyObject* quarks_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> Result<PyObject*> {
        TV_CHECK(bind(kNewSpec, CallArgs::tuple(args, kwargs, {}), {}));
        // The registry of the six quarks, the same that py_list_quarks() lists.
        PyObject* self = Object::wrap(subtype, QuarkRegistry::standard_model());
        if (self == nullptr) return std::unexpected(Failure::pending());
        return self;
    });
}

Py_ssize_t quarks_len(PyObject* self) {
    return entry_len([&]() -> Result<Py_ssize_t> {
        TV_CHECK(check_self(self, quark_registry_class));
        const std::size_t n = Object::of(self).len();
        // No registry holds more entries than bytes can address.
        if (TV_NEVER(n > static_cast<std::size_t>(PY_SSIZE_T_MAX))) {
            return std::unexpected(Failure::raise(PyExc_OverflowError));
        }
        return static_cast<Py_ssize_t>(n);
    });
}

PyMethodDef quarks_methods[] = {
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot quarks_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("PyQuarkRegistry()\n--\n\nPython wrapper for [`QuarkRegistry`].")},
    {Py_tp_methods, quarks_methods},
    {Py_tp_new, reinterpret_cast<void*>(quarks_new)},
    {Py_mp_length, reinterpret_cast<void*>(quarks_len)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {0, nullptr},  // sentinel
};

PyType_Spec quarks_spec = {
    .name = "builtins.PyQuarkRegistry",
    .basicsize = static_cast<int>(sizeof(Object)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = quarks_slots,
};

}  // namespace

constinit ClassType quark_registry_class{kClass, &quarks_spec};

}  // namespace torvane::py
