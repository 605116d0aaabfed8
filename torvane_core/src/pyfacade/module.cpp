// The module entry: one module per process, one interpreter, attributes added in a fixed order.
#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "pyfacade/binding.hpp"
#include "pyfacade/classes.hpp"
#include "pyfacade/errors.hpp"
#include "pyfacade/functions.hpp"
#include "pyfacade/version.hpp"
#include "runtime/claims.hpp"

namespace torvane::py {
namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_torvane_core",
    .m_doc = "Entry point of the orvantis native binding layer. Wired as `orvantis._torvane_core`.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The interpreter that first initialised the module; the module's objects belong to it.
std::atomic<std::int64_t> g_owner{-1};
// The module, once built: every later initialisation in the runtime returns it.
PyObject* g_module = nullptr;
// Whether the running runtime will tell forget_runtime() of its end.
bool g_runtime_hooked = false;

// Called by Py_FinalizeEx after the interpreter is gone. An embedding application may start a
// new runtime afterwards: by then the cached module's dictionary has been cleared to None and
// every object made for the old runtime (the module, the classes, the internal-failure class,
// the interned method name, which CPython frees at finalisation from 3.13 on) is freed or dead.
// So all of them are forgotten here, never released or touched, and the next initialisation
// makes them afresh.
void forget_runtime() noexcept {
    g_module = nullptr;
    for (ClassType* c : {&formulas_registry_class, &quark_registry_class, &ckm_matrix_class}) {
        c->forget();
    }
    forget_panic_exception();
    forget_function_objects();
    g_owner.store(-1, std::memory_order_seq_cst);
    g_runtime_hooked = false;
}

// Appends `name` to the module's __all__ (made on first need), then sets the attribute.
Result<void> add(PyObject* module, PyObject* name, PyObject* value) {
    Owned all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return std::unexpected(Failure::pending());
        PyErr_Clear();
        all = Owned(PyList_New(0));
        if (!all) return std::unexpected(Failure::pending());  // GCOVR_EXCL_BR_LINE: sweeps
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return std::unexpected(Failure::pending());
        }
    } else if (TV_NEVER(!PyList_Check(all.get()))) {  // a new module's: the list made here
        return std::unexpected(conversion_error(all.get(), "PyList"));
    }
    if (PyList_Append(all.get(), name) < 0) {
        return std::unexpected(Failure::api_failed("could not append __name__ to __all__"));
    }
    if (PyObject_SetAttr(module, name, value) < 0) return std::unexpected(Failure::pending());
    return {};
}

Result<void> add(PyObject* module, std::string_view name, PyObject* value) {
    Owned key(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!key) return std::unexpected(Failure::pending());
    return add(module, key.get(), value);
}

// RuntimeError naming the class, caused by the pending creation error.
Failure class_init_error(std::string_view cls) {
    Owned cause(PyErr_GetRaisedException());
    Text m("An error occurred while initializing class ");
    m.append(cls);
    Owned message(PyUnicode_FromStringAndSize(m.data(), static_cast<Py_ssize_t>(m.size())));
    if (!message) return Failure::pending();  // GCOVR_EXCL_BR_LINE: second
    PyObject* const args[] = {message.get()};
    Owned error(PyObject_Vectorcall(PyExc_RuntimeError, args, 1, nullptr));
    if (!error) return Failure::pending();  // GCOVR_EXCL_BR_LINE: second
    PyException_SetCause(error.get(), cause.release());  // steals the cause
    PyErr_SetRaisedException(error.release());          // steals the error
    return Failure::pending();
}

Result<void> populate(PyObject* module) {
    for (ClassType* c : {&formulas_registry_class, &quark_registry_class, &ckm_matrix_class}) {
        auto type = c->create();
        if (!type) return std::unexpected(class_init_error(c->name));
        TV_CHECK(add(module, c->name, reinterpret_cast<PyObject*>(*type)));
    }

    Owned module_name(PyModule_GetNameObject(module));
    // The module's own name, from its dictionary: nothing is made.
    if (TV_NEVER(!module_name)) return std::unexpected(Failure::pending());
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
        Owned function(PyCMethod_New(def, module, module_name.get(), nullptr));
        if (!function) return std::unexpected(Failure::pending());
        Owned name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return std::unexpected(Failure::pending());
        // A built-in function's name is its table's, a str.
        TV_CHECK(add(module, name.get(), function.get()));
    }

    Owned version(
        PyUnicode_FromStringAndSize(kVersion.data(), static_cast<Py_ssize_t>(kVersion.size())));
    if (!version) return std::unexpected(Failure::pending());
    return add(module, "__version__", version.get());
}

PyObject* initialise() {
    return entry([]() -> Result<PyObject*> {
        // Before the first reference is released (see api::attached). Only the stable-ABI build
        // makes anything here.
        if constexpr (api::kStableAbi) {
            if (!api::prepare_thread()) return std::unexpected(Failure::raise(PyExc_MemoryError));
        }
        PyInterpreterState* interpreter = PyInterpreterState_Get();
        const std::int64_t id = PyInterpreterState_GetID(interpreter);
        // The running interpreter has an id.
        if (TV_NEVER(id == -1)) return std::unexpected(Failure::pending());
        const auto refused = [] {
            return std::unexpected(Failure::raise(
                PyExc_ImportError, "_torvane_core does not support sub-interpreters"));
        };
        // Only the main interpreter may own the module. An isolated sub-interpreter runs this
        // entry before refusing the module itself; were it allowed to bind the owner, the
        // module would stay cached in a dead interpreter and refused to the main one forever.
        if (!api::is_main_interpreter(interpreter, id)) return refused();
        std::int64_t owner = -1;
        if (!g_owner.compare_exchange_strong(owner, id, std::memory_order_seq_cst)) {
            // Bound before: the owner, once bound, is the main interpreter's id until its
            // runtime ends.
            if (TV_NEVER(owner != id)) return refused();
        }
        if (g_module != nullptr) return Py_NewRef(g_module);
        // Before anything is made for this runtime. The runtime pops its exit functions as it
        // calls them, so each runtime needs its own registration.
        if (!g_runtime_hooked) {
            if (Py_AtExit(forget_runtime) < 0) {
                return std::unexpected(
                    Failure::raise(PyExc_ImportError,
                                   "_torvane_core cannot register its interpreter-exit function"));
            }
            g_runtime_hooked = true;
        }

        // Made now rather than at the first internal failure, when memory may be short.
        if (panic_exception() == nullptr) return std::unexpected(Failure::pending());

        Owned module(PyModule_Create2(&module_def, PYTHON_API_VERSION));
        if (!module) return std::unexpected(Failure::pending());
        TV_CHECK(populate(module.get()));
        // Kept for the runtime. Nothing above can import the module again.
        if (TV_ALWAYS(g_module == nullptr)) g_module = Py_NewRef(module.get());
        return Py_NewRef(g_module);
    });
}

}  // namespace
}  // namespace torvane::py

PyMODINIT_FUNC PyInit__torvane_core() { return torvane::py::initialise(); }
