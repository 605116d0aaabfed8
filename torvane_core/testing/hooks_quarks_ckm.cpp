// Hooks on the quark registry and the CKM matrix.
#include <array>
#include <limits>

#include "ckm/ckm_matrix.hpp"
#include "hooks.hpp"
#include "pyfacade/owned.hpp"
#include "quarks/quark_registry.hpp"

namespace {

using torvane::CKMMatrix;
using torvane::Quark;
using torvane::QuarkRegistry;
using torvane::py::Owned;

PyObject* quark_dict(const torvane::QuarkView& q) {
    return Py_BuildValue("{s:s#,s:d,s:d,s:I,s:I}", "name", q.name.data(),
                         static_cast<Py_ssize_t>(q.name.size()), "mass_mev", q.mass_mev, "yukawa",
                         q.yukawa, "phi_exponent", q.phi_exponent, "generation",
                         static_cast<unsigned>(q.generation));
}

PyObject* registry_list(const QuarkRegistry& registry) {
    Owned out(PyList_New(0));
    if (!out) return nullptr;
    for (const auto& name : registry.names()) {
        const auto q = registry.find(name);
        if (!q) return PyErr_Format(PyExc_AssertionError, "listed quark not found");
        Owned d(quark_dict(*q));
        if (!d || PyList_Append(out.get(), d.get()) < 0) return nullptr;
    }
    return out.release();
}

// standard_model_quarks() -> the records of QuarkRegistry::standard_model, in map order
PyObject* standard_model_quarks(PyObject*, PyObject*) {
    return registry_list(QuarkRegistry::standard_model());
}

// empty_quark_registry_len() -> len of QuarkRegistry::create()
PyObject* empty_quark_registry_len(PyObject*, PyObject*) {
    return PyLong_FromSize_t(QuarkRegistry::create().len());
}

// insert_quark(name, mass_mev, yukawa, phi_exponent, generation) -> (len, records) after
// inserting into the standard-model registry
PyObject* insert_quark(PyObject*, PyObject* args) {
    const char* name = nullptr;
    Py_ssize_t n = 0;
    double mass = 0.0;
    double yukawa = 0.0;
    unsigned int exponent = 0;
    unsigned char generation = 0;
    if (!PyArg_ParseTuple(args, "s#ddIb", &name, &n, &mass, &yukawa, &exponent, &generation)) {
        return nullptr;
    }
    QuarkRegistry registry = QuarkRegistry::standard_model();
    registry.insert(Quark{torvane::Text(name, static_cast<std::size_t>(n)), mass, yukawa, exponent,
                          generation});
    Owned records(registry_list(registry));
    if (!records) return nullptr;
    return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(registry.len()), records.get());
}

// quark_inserts(records, name) -> (len, records, the record found under `name` or None) after
// inserting each (name, mass_mev, yukawa, phi_exponent, generation) of `records` in order into
// the standard-model registry
PyObject* quark_inserts(PyObject*, PyObject* args) {
    PyObject* records = nullptr;
    const char* wanted = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &records, &wanted)) return nullptr;
    Owned seq(PySequence_Fast(records, "records must be a sequence"));
    if (!seq) return nullptr;
    QuarkRegistry registry = QuarkRegistry::standard_model();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        const char* name = nullptr;
        Py_ssize_t n = 0;
        double mass = 0.0;
        double yukawa = 0.0;
        unsigned int exponent = 0;
        unsigned char generation = 0;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "s#ddIb", &name, &n, &mass,
                              &yukawa, &exponent, &generation)) {
            return nullptr;
        }
        registry.insert(Quark{torvane::Text(name, static_cast<std::size_t>(n)), mass, yukawa,
                              exponent, generation});
    }
    Owned list(registry_list(registry));
    if (!list) return nullptr;
    const auto found = registry.find(wanted);
    Owned record(found ? quark_dict(*found) : Py_NewRef(Py_None));
    if (!record) return nullptr;
    return Py_BuildValue("(nOO)", static_cast<Py_ssize_t>(registry.len()), list.get(),
                         record.get());
}

// quark_listing(insert_name=None) -> (sorted names, whether they came from the table's order)
// of the standard-model registry, after inserting a record of that name if one is given.
PyObject* quark_listing(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    QuarkRegistry registry = QuarkRegistry::standard_model();
    if (nargs > 0 && args[0] != Py_None) {
        Py_ssize_t n = 0;
        const char* name = PyUnicode_AsUTF8AndSize(args[0], &n);
        if (name == nullptr) return nullptr;
        registry.insert(Quark{torvane::Text(name, static_cast<std::size_t>(n)), 1.0, 1.0, 0, 1});
    }
    torvane::Vec<std::string_view> scratch(registry.len());
    const auto names = registry.sorted_names(scratch);
    Owned list(PyList_New(0));
    if (!list) return nullptr;
    for (std::string_view name : names) {
        Owned s(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
    }
    return Py_BuildValue("(ON)", list.get(), PyBool_FromLong(names.data() != scratch.data()));
}

// ckm_from_topology() -> (nine elements row-major, j)
PyObject* ckm_from_topology(PyObject*, PyObject*) {
    const CKMMatrix m = CKMMatrix::from_topology();
    return Py_BuildValue("((ddddddddd)d)", m.v[0][0], m.v[0][1], m.v[0][2], m.v[1][0], m.v[1][1],
                         m.v[1][2], m.v[2][0], m.v[2][1], m.v[2][2], m.jarlskog());
}

// ckm_is_unitary(elements, tol) -> bool, with elements nine floats row-major
PyObject* ckm_is_unitary(PyObject*, PyObject* args) {
    PyObject* elements = nullptr;
    double tol = 0.0;
    if (!PyArg_ParseTuple(args, "Od", &elements, &tol)) return nullptr;
    Owned seq(PySequence_Fast(elements, "elements must be a sequence"));
    if (!seq) return nullptr;
    if (PySequence_Fast_GET_SIZE(seq.get()) != 9) {
        return PyErr_Format(PyExc_ValueError, "a CKM matrix has nine elements");
    }
    CKMMatrix m{};
    for (Py_ssize_t i = 0; i < 9; ++i) {
        const double x = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (x == -1.0 && PyErr_Occurred()) return nullptr;
        m.v[static_cast<std::size_t>(i / 3)][static_cast<std::size_t>(i % 3)] = x;
    }
#if defined(__SSE2__)
    // The paired lanes and the element-wise test must agree on every matrix the tests try.
    if (m.gram_within_paired(tol) != m.gram_within(tol)) {
        return PyErr_Format(PyExc_AssertionError, "the paired unitarity test disagrees");
    }
#endif
    return PyBool_FromLong(m.is_unitary(tol));
}

template <class F>
PyCFunction fn(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef quarks_hooks[] = {
    {"standard_model_quarks", fn(standard_model_quarks), METH_NOARGS, nullptr},
    {"empty_quark_registry_len", fn(empty_quark_registry_len), METH_NOARGS, nullptr},
    {"insert_quark", fn(insert_quark), METH_VARARGS, nullptr},
    {"quark_inserts", fn(quark_inserts), METH_VARARGS, nullptr},
    {"quark_listing", fn(quark_listing), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyMethodDef ckm_hooks[] = {
    {"ckm_from_topology", fn(ckm_from_topology), METH_NOARGS, nullptr},
    {"ckm_is_unitary", fn(ckm_is_unitary), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};
