// PyFormulasRegistry: the constants registry as a Python class.
#include <cstddef>
#include <memory>

#include "formulas/formulas_registry.hpp"
#include "pyfacade/binding.hpp"
#include "pyfacade/classes.hpp"
#include "pyfacade/version.hpp"

namespace torvane::py {
namespace {

constexpr std::string_view kClass = "PyFormulasRegistry";

// An instance: the registry, then the storage its built-in table is placed in, as many words
// (the type's items) as this process's shard count needs. One allocation of the interpreter's
// makes both; up to 8 shards (2 logical processors) the whole instance is within the size the
// interpreter's small-object allocator serves (512 bytes), and so takes no system heap block.
struct Object {
    PyObject_VAR_HEAD
    FormulasRegistry registry;

    static FormulasRegistry& of(PyObject* self) noexcept {
        return reinterpret_cast<Object*>(self)->registry;
    }

    // The storage starts at the instance's end, a whole number of words in; the interpreter's
    // allocators align an object to two words (its small-object allocator's unit), which is
    // as much as the registry needs (8 bytes on 32-bit ARM, for its 64-bit fields).
    static constexpr std::size_t kWord = sizeof(FormulasRegistry*);
    static_assert(sizeof(FormulasRegistry) % kWord == 0 && alignof(FormulasRegistry) <= 2 * kWord);

    // A new instance of `type` holding a registry of the built-in table; null with the
    // allocator's exception pending.
    static PyObject* make(PyTypeObject* type) noexcept {
        const std::size_t words = (builtin_storage_bytes(shard_count()) + kWord - 1) / kWord;
        // PyType_FromSpec gives every class an allocator (object's, if not its own).
        PyObject* self = api::type_alloc(type)(type, static_cast<Py_ssize_t>(words));
        if (self == nullptr) return nullptr;
        auto* storage = reinterpret_cast<std::byte*>(reinterpret_cast<Object*>(self) + 1);
        std::construct_at(&of(self), FormulasRegistry::create({storage, words * kWord}));
        return self;
    }

    // Destroys the registry (its storage goes with the instance), frees the instance and drops
    // the instance's reference to its heap type.
    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        std::destroy_at(&of(self));
        api::type_free(type)(self);
        Py_DECREF(type);
    }
};

constexpr ParamSpec kNewSpec{.function = "__new__", .cls = kClass, .parameters = {}};

constexpr std::string_view kGetParameters[] = {"name"};
constexpr ParamSpec kGetSpec{
    .function = "get", .cls = kClass, .parameters = kGetParameters, .required = 1};

PyObject* registry_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> Result<PyObject*> {
        TV_CHECK(bind(kNewSpec, CallArgs::tuple(args, kwargs, {}), {}));
        PyObject* self = Object::make(subtype);
        if (self == nullptr) return std::unexpected(Failure::pending());
        return self;
    });
}

Py_ssize_t registry_len(PyObject* self) {
    return entry_len([&]() -> Result<Py_ssize_t> {
        TV_CHECK(check_self(self, formulas_registry_class));
        const std::size_t n = Object::of(self).len();
        // No registry holds more entries than bytes can address.
        if (TV_NEVER(n > static_cast<std::size_t>(PY_SSIZE_T_MAX))) {
            return std::unexpected(Failure::raise(PyExc_OverflowError));
        }
        return static_cast<Py_ssize_t>(n);
    });
}

PyObject* registry_get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
    return entry([&]() -> Result<PyObject*> {
        PyObject* bound[1];
        TV_CHECK(bind(kGetSpec, CallArgs::fastcall(args, nargsf, kwnames), bound));
        TV_CHECK(check_self(self, formulas_registry_class));
        TV_ASSIGN(const std::string_view name, text_argument(bound[0], "name"));
        const std::optional<double> value = Object::of(self).find_value(name);
        if (!value) [[unlikely]] {
            return std::unexpected(
                Failure::raise(PyExc_KeyError, render(FormulasRegistry::not_found_error(name))));
        }
        Owned result(PyFloat_FromDouble(*value));
        if (!result) return std::unexpected(Failure::api_failed());
        return result.release();
    });
}

PyObject* registry_version(PyObject*, PyObject*) {
    return entry([&]() -> Result<PyObject*> {
        Owned result(PyUnicode_FromStringAndSize(kVersion.data(), kVersion.size()));
        if (!result) return std::unexpected(Failure::api_failed());
        return result.release();
    });
}

PyMethodDef registry_methods[] = {
    {"get", as_method(registry_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, name)\n--\n\nRetrieve the numeric value for `name`."},
    {"version", as_method(registry_version), METH_NOARGS | METH_STATIC,
     "version()\n--\n\nLibrary-version round-trip helper."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot registry_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("PyFormulasRegistry()\n--\n\nPython wrapper for [`FormulasRegistry`].")},
    {Py_tp_methods, registry_methods},
    {Py_tp_new, reinterpret_cast<void*>(registry_new)},
    {Py_mp_length, reinterpret_cast<void*>(registry_len)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Object::dealloc)},
    {0, nullptr},  // sentinel
};

PyType_Spec registry_spec = {
    .name = "builtins.PyFormulasRegistry",
    .basicsize = static_cast<int>(sizeof(Object)),
    .itemsize = static_cast<int>(Object::kWord),
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = registry_slots,
};

}  // namespace

constinit ClassType formulas_registry_class{kClass, &registry_spec};

}  // namespace torvane::py
