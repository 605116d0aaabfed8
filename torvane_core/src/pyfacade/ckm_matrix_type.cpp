// PyCKMMatrix: the quark-mixing matrix as a Python class. Instances come only from
// from_topology().
#include "ckm/ckm_matrix.hpp"
#include "pyfacade/binding.hpp"
#include "pyfacade/classes.hpp"

namespace torvane::py {
namespace {

// The instance is the object header and the ten doubles, nothing more. The unitarity test is
// computed from them at each call, so an instance whose memory was merely zero-filled (the
// class is mutable: a caller can swap its __new__ for object.__new__) reads as the zero matrix,
// which is not unitary.
using Object = Instance<CKMMatrix>;
constexpr std::string_view kClass = "PyCKMMatrix";

constexpr std::string_view kIsUnitaryParameters[] = {"tol"};
constexpr ParamSpec kIsUnitarySpec{
    .function = "is_unitary", .cls = kClass, .parameters = kIsUnitaryParameters, .required = 1};

// The class has no constructor: calling it always fails, with or without arguments.
PyObject* ckm_no_constructor(PyTypeObject* subtype, PyObject*, PyObject*) {
    return entry([&]() -> Result<PyObject*> {
        Text m("No constructor defined for ");
        // Every subtype is a heap type, which holds its name and the name's UTF-8 form: nothing
        // is made.
        Owned name(PyType_GetName(subtype));
        if (TV_NEVER(!name)) return std::unexpected(Failure::pending());
        Py_ssize_t n = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &n);
        if (TV_NEVER(utf8 == nullptr)) return std::unexpected(Failure::pending());
        m.append(utf8, static_cast<std::size_t>(n));
        return std::unexpected(Failure::raise(PyExc_TypeError, m));
    });
}

PyObject* ckm_from_topology(PyObject*, PyObject*) {
    return entry([&]() -> Result<PyObject*> {
        PyTypeObject* type = ckm_matrix_class.type;
        if (TV_NEVER(type == nullptr)) return std::unexpected(ckm_matrix_class.unmade());
        PyObject* self = Object::wrap(type, CKMMatrix::from_topology());
        if (self == nullptr) {
            Text m("failed to allocate a new PyCKMMatrix: ");
            // A failed allocator always sets its error, PyErr_NoMemory's MemoryError, which has
            // no text: its type is the whole of it.
            Owned error(PyErr_GetRaisedException());
            if (TV_NEVER(!error)) {
                m.append("no exception was set");
            } else {
                append_type_name(m, Py_TYPE(error.get()));
            }
            return std::unexpected(Failure::internal(m));
        }
        return self;
    });
}

// Every call shape: binding, the check of self and the conversion of tol, with their failures.
[[gnu::noinline]] PyObject* is_unitary_general(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargsf, PyObject* kwnames) {
    return entry([&]() -> Result<PyObject*> {
        PyObject* bound[1];
        TV_CHECK(bind(kIsUnitarySpec, CallArgs::fastcall(args, nargsf, kwnames), bound));
        TV_CHECK(check_self(self, ckm_matrix_class));
        TV_ASSIGN(const double tol, float_argument(bound[0], "tol"));
        const bool unitary = Object::of(self).is_unitary(tol);
        return Py_NewRef(unitary ? Py_True : Py_False);
    });
}

PyObject* ckm_is_unitary(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    // The usual call, one exact float by position on an instance of the class, cannot fail and
    // runs no Python code: it skips the binder and the failure plumbing, and its frame is small.
    if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == 1 && self != nullptr &&
        Py_IS_TYPE(self, ckm_matrix_class.type) && PyFloat_CheckExact(args[0])) [[likely]] {
        const bool unitary = Object::of(self).is_unitary(api::float_value(args[0]));
        return Py_NewRef(unitary ? Py_True : Py_False);
    }
    return is_unitary_general(self, args, nargsf, kwnames);
}

// A float that cannot be made is an internal failure.
[[gnu::noinline]] PyObject* jarlskog_failed() {
    return entry([]() -> Result<PyObject*> { return std::unexpected(Failure::api_failed()); });
}

// The class has no subtypes, so any other self is of another type, which only a direct call of
// the C function can give: the method descriptor refuses it first.
[[gnu::noinline]] PyObject* jarlskog_wrong_self(PyObject* self) {
    return entry([&]() -> Result<PyObject*> { return std::unexpected(wrong_self(self, kClass)); });
}

PyObject* ckm_jarlskog(PyObject* self, PyObject*) {
    // An instance of the class itself needs no check beyond its type.
    if (self != nullptr && Py_IS_TYPE(self, ckm_matrix_class.type)) [[likely]] {
        PyObject* j = PyFloat_FromDouble(Object::of(self).jarlskog());
        return j != nullptr ? j : jarlskog_failed();
    }
    return jarlskog_wrong_self(self);
}

PyMethodDef ckm_methods[] = {
    {"from_topology", as_method(ckm_from_topology), METH_NOARGS | METH_STATIC,
     "from_topology()\n--\n\nBuild the CKM matrix from the underlying topology."},
    {"is_unitary", as_method(ckm_is_unitary), METH_FASTCALL | METH_KEYWORDS,
     "is_unitary($self, tol)\n--\n\n`True` when the matrix is unitary within `tol`."},
    {"jarlskog", as_method(ckm_jarlskog), METH_NOARGS,
     "jarlskog($self)\n--\n\nCP-violation Jarlskog invariant J."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot ckm_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for [`CKMMatrix`].")},
    {Py_tp_methods, ckm_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(ckm_no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {0, nullptr},  // sentinel
};

PyType_Spec ckm_spec = {
    .name = "builtins.PyCKMMatrix",
    .basicsize = static_cast<int>(sizeof(Object)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = ckm_slots,
};

}  // namespace

constinit ClassType ckm_matrix_class{kClass, &ckm_spec};

}  // namespace torvane::py
