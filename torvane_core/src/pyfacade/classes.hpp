// The module's three classes: their type objects and the pieces every class shares.
#pragma once

#include <memory>
#include <string_view>

#include "pyfacade/binding.hpp"
#include "pyfacade/errors.hpp"
#include "runtime/claims.hpp"

namespace torvane::py {

// A class's type object, created from its PyType_Spec on first need and kept for the runtime.
struct ClassType {
    std::string_view name;
    PyType_Spec* type_spec;
    PyTypeObject* type = nullptr;

    // For the module's initialisation: the creation error as it came.
    [[nodiscard]] Result<PyTypeObject*> create();
    // Once the runtime that made the type has ended: forgets it without releasing it.
    void forget() noexcept { type = nullptr; }
    // The defence of a use of the class before its type object was made, which no path takes:
    // the module's initialisation makes every class before any of its code can run, and the
    // class's code ends with the runtime that made it. Inline, as only a defence calls it (see
    // runtime/claims.hpp).
    [[nodiscard]] Failure unmade() const {
        Text m("no type object for ");
        m.append(name);
        return Failure::internal(m);
    }
};

// `self` must be an instance of the class or of a subtype.
[[nodiscard]] inline Result<void> check_self(PyObject* self, const ClassType& cls) {
    if (TV_NEVER(cls.type == nullptr)) return std::unexpected(cls.unmade());
    if (self != nullptr && PyObject_TypeCheck(self, cls.type)) [[likely]]
        return {};
    return std::unexpected(wrong_self(self, cls.name));
}

extern ClassType formulas_registry_class;
extern ClassType quark_registry_class;
extern ClassType ckm_matrix_class;

// Instances hold their core value right after the object header.
template <class Value>
struct Instance {
    PyObject_HEAD
    Value value;

    static Value& of(PyObject* self) noexcept { return reinterpret_cast<Instance*>(self)->value; }

    // Destroys the value in place, frees the instance and drops the instance's reference to
    // its heap type.
    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        std::destroy_at(&of(self));
        api::type_free(type)(self);
        Py_DECREF(type);
    }

    // Allocates an instance of `type` and moves `value` into it. On failure the value is
    // dropped and the allocator's exception is pending.
    static PyObject* wrap(PyTypeObject* type, Value&& value) noexcept {
        // PyType_FromSpec gives every class an allocator (object's, if not its own).
        PyObject* self = api::type_alloc(type)(type, 0);
        if (self != nullptr) std::construct_at(&of(self), std::move(value));
        return self;
    }
};

// Entry points go into method tables through the generic function pointer type.
template <class F>
[[nodiscard]] PyCFunction as_method(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace torvane::py
