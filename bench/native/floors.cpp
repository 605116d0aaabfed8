// The floors: what each entry point of _torvane_core would cost if it did nothing but the
// Python-object work its result and its calling convention require.
#include <array>
#include <span>
#include <string_view>

#include "benchfloors.hpp"

namespace torvane::bench {
namespace {

// The listings' names, already sorted: the floor makes the same strings and skips the registry.
constexpr std::array<std::string_view, 17> kConstantNames = {
    "b3",
    "chi_eff",
    "gamma_em",
    "h0_central",
    "jc_constant",
    "logic_closure",
    "m_tau_mev",
    "n_gen",
    "n_gen_sq",
    "phi",
    "roots_total",
    "sterile_check",
    "sterile_sector",
    "topo_gen_check",
    "v_higgs_mev",
    "visible_sector",
    "w0_central",
};
constexpr std::array<std::string_view, 6> kQuarkNames = {"bottom",  "charm", "down",
                                                         "strange", "top",   "up"};

// The text py_get_constant("b3") hands to json.loads.
constexpr std::string_view kDatasheetB3 =
    R"({"name":"b3","status":"Seed","uncertainty":null,"units":"dimensionless","value":24.0})";

PyTypeObject* g_floor_type = nullptr;  // kept for the process
PyObject* g_loads = nullptr;           // interned "loads", kept for the process

PyObject* new_list(std::span<const std::string_view> names) noexcept {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* item =
            PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size()));
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

// The single argument of a one-parameter callable, given by position or by its keyword.
// Borrowed; null with TypeError set for any other call shape.
PyObject* bind_one(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   const char* parameter) noexcept {
    const Py_ssize_t npositional = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkeywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (npositional == 1 && nkeywords == 0) return args[0];
    if (npositional == 0 && nkeywords == 1 &&
        PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), parameter) == 0) {
        return args[0];
    }
    PyErr_Format(PyExc_TypeError, "expected exactly one argument '%s'", parameter);
    return nullptr;
}

// Binds `name` and reads its UTF-8 bytes, as every look-up by name must.
bool bind_name(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    PyObject* name = bind_one(args, nargsf, kwnames, "name");
    if (name == nullptr) return false;
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "argument 'name' must be str");
        return false;
    }
    Py_ssize_t size = 0;
    return PyUnicode_AsUTF8AndSize(name, &size) != nullptr;
}

PyObject* list_constants(PyObject*, PyObject*) noexcept { return new_list(kConstantNames); }

PyObject* list_quarks(PyObject*, PyObject*) noexcept { return new_list(kQuarkNames); }

PyObject* get_constant(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept {
    if (!bind_name(args, nargsf, kwnames)) return nullptr;
    PyObject* json_name = PyUnicode_FromStringAndSize("json", 4);
    if (json_name == nullptr) return nullptr;
    PyObject* json = PyImport_Import(json_name);
    Py_DECREF(json_name);
    if (json == nullptr) return nullptr;
    PyObject* text = PyUnicode_FromStringAndSize(kDatasheetB3.data(),
                                                 static_cast<Py_ssize_t>(kDatasheetB3.size()));
    if (text == nullptr) {
        Py_DECREF(json);
        return nullptr;
    }
    PyObject* call[] = {json, text};
    PyObject* result =
        PyObject_VectorcallMethod(g_loads, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(text);
    Py_DECREF(json);
    return result;
}

// Floor(): the constructor of a class without state, refusing arguments.
PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Floor() takes no arguments");
        return nullptr;
    }
    return type->tp_alloc(type, 0);
}

void floor_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

Py_ssize_t floor_len(PyObject*) noexcept { return 17; }

PyObject* floor_get(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames) noexcept {
    if (!bind_name(args, nargsf, kwnames)) return nullptr;
    return PyFloat_FromDouble(24.0);
}

PyObject* floor_from_topology(PyObject*, PyObject*) noexcept {
    return g_floor_type->tp_alloc(g_floor_type, 0);
}

PyObject* floor_is_unitary(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) noexcept {
    PyObject* tol = bind_one(args, nargsf, kwnames, "tol");
    if (tol == nullptr) return nullptr;
    const double d = PyFloat_CheckExact(tol) ? PyFloat_AS_DOUBLE(tol) : PyFloat_AsDouble(tol);
    if (d == -1.0 && PyErr_Occurred() != nullptr) return nullptr;
    return Py_NewRef(d >= 0.0 ? Py_True : Py_False);
}

PyObject* floor_jarlskog(PyObject*, PyObject*) noexcept { return PyFloat_FromDouble(0.0); }

template <class F>
PyCFunction as_method(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef floor_functions[] = {
    {"list_constants", as_method(list_constants), METH_NOARGS,
     "A new list of the 17 constant names, made from a sorted static table."},
    {"list_quarks", as_method(list_quarks), METH_NOARGS,
     "A new list of the 6 quark names, made from a sorted static table."},
    {"get_constant", as_method(get_constant), METH_FASTCALL | METH_KEYWORDS,
     "Binds `name`, imports json and returns json.loads of the fixed datasheet text of b3."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyMethodDef floor_methods[] = {
    {"get", as_method(floor_get), METH_FASTCALL | METH_KEYWORDS,
     "Binds `name`, reads its UTF-8 bytes and returns a new float."},
    {"from_topology", as_method(floor_from_topology), METH_NOARGS | METH_STATIC,
     "A new Floor instance."},
    {"is_unitary", as_method(floor_is_unitary), METH_FASTCALL | METH_KEYWORDS,
     "Binds and converts `tol`; returns True."},
    {"jarlskog", as_method(floor_jarlskog), METH_NOARGS, "A new float."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot floor_slots[] = {
    {Py_tp_doc, const_cast<char*>("A class without state: the floor of the module's classes.")},
    {Py_tp_methods, floor_methods},
    {Py_tp_new, reinterpret_cast<void*>(floor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(floor_dealloc)},
    {Py_mp_length, reinterpret_cast<void*>(floor_len)},
    {0, nullptr},  // sentinel
};

PyType_Spec floor_spec = {
    .name = "_torvane_benchfloors.Floor",
    .basicsize = static_cast<int>(sizeof(PyObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = floor_slots,
};

}  // namespace

int add_floors(PyObject* module) noexcept {
    if (g_loads == nullptr && (g_loads = PyUnicode_InternFromString("loads")) == nullptr) return -1;
    if (g_floor_type == nullptr) {
        PyObject* type = PyType_FromSpec(&floor_spec);
        if (type == nullptr) return -1;
        g_floor_type = reinterpret_cast<PyTypeObject*>(type);
    }
    if (PyModule_AddFunctions(module, floor_functions) < 0) return -1;
    return PyModule_AddObjectRef(module, "Floor", reinterpret_cast<PyObject*>(g_floor_type));
}

}  // namespace torvane::bench
