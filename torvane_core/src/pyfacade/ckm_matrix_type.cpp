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
        Owned name(PyType_GetName(subtype));
        Py_ssize_t n = 0;
        // GCOVR_EXCL_START: cpython: a class's own ASCII name, nothing to make
        const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &n) : nullptr;
        if (utf8 == nullptr) return std::unexpected(Failure::pending());
        // GCOVR_EXCL_STOP
        m.append(utf8, static_cast<std::size_t>(n));
        return std::unexpected(Failure::raise(PyExc_TypeError, m));
    });  // GCOVR_EXCL_BR_LINE: boundary
}

PyObject* ckm_from_topology(PyObject*, PyObject*) {
    return entry([&]() -> Result<PyObject*> {
        TV_ASSIGN(auto* type, ckm_matrix_class.need());  // GCOVR_EXCL_BR_LINE: invariant
        PyObject* self = Object::wrap(type, CKMMatrix::from_topology());
        if (self == nullptr) {
            Text m("failed to allocate a new PyCKMMatrix: ");
            Owned error(PyErr_GetRaisedException());
            if (error) {  // GCOVR_EXCL_BR_LINE: cpython
                append_type_name(m, Py_TYPE(error.get()));
                Text detail;
                // GCOVR_EXCL_START: second
                if (!append_str(detail, error.get())) return std::unexpected(Failure::pending());
                // GCOVR_EXCL_STOP
                if (!detail.empty()) {  // GCOVR_EXCL_START: cpython: its MemoryError has no text
                    m.append(": ");
                    m.append(detail);
                }  // GCOVR_EXCL_STOP
            } else {  // GCOVR_EXCL_START: cpython: a failed allocator always sets its error
                m.append("no exception was set");
            }  // GCOVR_EXCL_STOP
            return std::unexpected(Failure::internal(m));
        }
        return self;
    });  // GCOVR_EXCL_BR_LINE: boundary
}

// Every call shape: binding, the check of self and the conversion of tol, with their failures.
[[gnu::noinline]] PyObject* is_unitary_general(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargsf, PyObject* kwnames) {
    return entry([&]() -> Result<PyObject*> {
        PyObject* bound[1];
        TV_CHECK(bind(kIsUnitarySpec, CallArgs::fastcall(args, nargsf, kwnames), bound));
        TV_ASSIGN(auto* type, ckm_matrix_class.need());  // GCOVR_EXCL_BR_LINE: invariant
        TV_CHECK(check_self(self, type, kClass));
        TV_ASSIGN(const double tol, float_argument(bound[0], "tol"));
        const bool unitary = Object::of(self).is_unitary(tol);
        return Py_NewRef(unitary ? Py_True : Py_False);
    });  // GCOVR_EXCL_BR_LINE: boundary
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
