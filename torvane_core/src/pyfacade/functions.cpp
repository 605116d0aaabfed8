// The module functions: the two sorted listings and the constant datasheet.
#include "pyfacade/functions.hpp"

#include <new>

#include "datasheet/datasheet.hpp"
#include "formulas/formulas_registry.hpp"
#include "pyfacade/binding.hpp"
#include "pyfacade/classes.hpp"
#include "quarks/quark_registry.hpp"
#include "runtime/claims.hpp"

namespace torvane::py {
namespace {

// The registry's names as a new list of new str, sorted by unsigned bytes, a prefix first.
// The names are views into the registry or its table, which outlive the call.
template <class Registry>
Result<PyObject*> sorted_names(const Registry& registry) {
    // Scratch left uninitialised: a registry of the built-in table never touches it, and any
    // other writes each view before it is read.
    constexpr std::size_t kSmall = 32;
    union Scratch {
        std::string_view views[kSmall];
        Scratch() noexcept {}
    } small;
    Vec<std::string_view> large;
    std::span<std::string_view> scratch;
    const std::size_t n = registry.len();
    // The registries listed are the built-in ones, of 17 and 6 names.
    if (TV_NEVER(n > kSmall)) {
        large.resize(n);
        scratch = large;
    } else {
        scratch = std::span(small.views, n);
    }
    const std::span<const std::string_view> names = registry.sorted_names(scratch);

    Owned list(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return std::unexpected(Failure::api_failed());
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* item =
            PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size()));
        if (item == nullptr) return std::unexpected(Failure::api_failed());
        api::list_fill(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

PyObject* list_constants(PyObject*, PyObject*) {
    return entry([]() -> Result<PyObject*> {
        // The call's own registry, on the stack: it goes when the call returns.
        FormulasRegistry::Storage storage;
        return sorted_names(FormulasRegistry::create(storage));
    });
}

PyObject* list_quarks(PyObject*, PyObject*) {
    return entry(
        []() -> Result<PyObject*> { return sorted_names(QuarkRegistry::standard_model()); });
}

// The method name is made once and kept for the runtime: an interned str carries its hash and
// is found in the module's dictionary by identity.
PyObject* g_loads_name = nullptr;

PyObject* loads_name() noexcept {
    if (g_loads_name == nullptr) g_loads_name = PyUnicode_InternFromString("loads");
    return g_loads_name;
}

constexpr std::string_view kGetConstantParameters[] = {"name"};
constexpr ParamSpec kGetConstantSpec{
    .function = "py_get_constant", .parameters = kGetConstantParameters, .required = 1};

PyObject* get_constant(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return entry([&]() -> Result<PyObject*> {
        PyObject* bound[1];
        TV_CHECK(bind(kGetConstantSpec, CallArgs::fastcall(args, nargsf, kwnames), bound));
        TV_ASSIGN(const std::string_view name, text_argument(bound[0], "name"));
        // The empty name is ordinary caller input, not a broken invariant.
        if (name.empty()) {
            return std::unexpected(
                Failure::raise(PyExc_ValueError, "py_get_constant: name must be non-empty"));
        }
        // The call's own registry, on the stack, goes before json is called; a built-in
        // record's text outlives it.
        FormulasRegistry::Storage storage;
        auto sheet = datasheet_text(FormulasRegistry::create(storage), name);
        if (!sheet) return std::unexpected(Failure::raise(PyExc_KeyError, render(sheet.error())));
        const std::string_view text = sheet->view();
        TV_CHECK(check_stack());  // GCOVR_EXCL_BR_LINE: interpreter
        // json is imported on every call, so sys.modules decides which module answers.
        Owned json_name(PyUnicode_FromStringAndSize("json", 4));
        if (!json_name) return std::unexpected(Failure::pending());
        Owned json(PyImport_Import(json_name.get()));
        if (!json) return std::unexpected(Failure::pending());
        Owned json_text(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!json_text) return std::unexpected(Failure::pending());
        PyObject* loads = loads_name();
        // GCOVR_EXCL_START: sweeps
        if (loads == nullptr) return std::unexpected(Failure::pending());
        // GCOVR_EXCL_STOP
        PyObject* call[] = {json.get(), json_text.get()};
        Owned result(
            PyObject_VectorcallMethod(loads, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!result) return std::unexpected(Failure::pending());
        return result.release();  // whatever loads returned, unchecked
    });
}

}  // namespace

void forget_function_objects() noexcept { g_loads_name = nullptr; }

PyMethodDef module_functions[] = {
    {"py_list_constants", as_method(list_constants), METH_NOARGS,
     "py_list_constants()\n--\n\n"
     "Accelerated twin of `orvantis.list_constants`.\n\n"
     "Returns all known constant names from the FormulasRegistry."},
    {"py_list_quarks", as_method(list_quarks), METH_NOARGS,
     "py_list_quarks()\n--\n\n"
     "Accelerated twin of `orvantis.list_quarks`.\n\n"
     "Returns all SM quark names from the QuarkRegistry."},
    {"py_get_constant", as_method(get_constant), METH_FASTCALL | METH_KEYWORDS,
     "py_get_constant(name)\n--\n\n"
     "Accelerated twin of `orvantis.Get` for the constants branch.\n\n"
     "Returns a JSON-serialised dict with `name`, `value`, `units`,\n"
     "`uncertainty`, and `status` fields \u2014 matching the Python constant\n"
     "datasheet schema so callers don't need to branch.\n\n"
     "Raises `PyKeyError` when `name` is not in the registry."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace torvane::py
