// Constants, module-level names and cached builtins.
#include "module_frame/frame.hpp"
#include "module_frame/host.hpp"
#include "module_frame/internal/function.hpp"

#include <dictobject.h>

#include <cstring>

namespace frame {

namespace {
// The builtins module and its namespace, found when the module is executed (the exec step
// asks for them first, under the host's import lock), then only read.
PyObject* builtins_object = nullptr;
PyObject* builtins_names = nullptr;  // alive as long as the module held above
}  // namespace

Ref builtins_module() noexcept {
    if (!builtins_object) {
        builtins_object = PyImport_ImportModuleLevel("builtins", nullptr, nullptr, nullptr, 0);
        if (builtins_object) builtins_names = PyModule_GetDict(builtins_object);
    }
    return Ref::borrow(builtins_object);
}

namespace {
Constant* first_constant = nullptr;
CachedBuiltin* first_builtin = nullptr;

PyObject* builtins_dict() noexcept {
    if (!builtins_names) builtins_module();
    return builtins_names;
}
}  // namespace

Constant::Constant(const char* text) noexcept : text_(text) { append_to(first_constant, this); }
Constant::Constant(PyObject* (*make)()) noexcept : make_(make) {
    append_to(first_constant, this);
}

bool Constant::create() noexcept {
    if (object_) return true;
    if (make_) {
        object_ = make_();
        return object_ != nullptr;
    }
    object_ = PyUnicode_InternFromString(text_);
    return object_ && PyObject_Hash(object_) != -1;
}

bool Constant::create_all() noexcept {
    for (Constant* constant = first_constant; constant; constant = constant->next_)
        if (!constant->create()) return false;
    return true;
}

void raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

PyObject* Global::cached() noexcept {
    if constexpr (!host::gil_guards_shared_state) return nullptr;
    PyObject* dict = module_dict();
    PyObject* builtins = builtins_dict();
    return dict && builtins && found_ && namespaces_.held({dict, builtins}) ? found_ : nullptr;
}

Ref Global::get(Where where) noexcept {
    if (PyObject* value = cached()) return Ref::borrow(value);
    PyObject* dict = module_dict();
    if (!dict) {
        // A function kept from a module whose body failed: its namespace is gone.
        raise_name_error(name_);
        note_failure(where);
        return nullptr;
    }
    PyObject* builtins = builtins_dict();
    if (!builtins) {
        note_failure(where);
        return nullptr;
    }
    if constexpr (host::gil_guards_shared_state) found_ = nullptr;
    // The states are taken before the first read: a read can run code (a key's __eq__) that
    // changes either namespace, and what was found then is not what they hold.
    DictStates<2> before;
    if constexpr (host::gil_guards_shared_state) before.take({dict, builtins});
    PyObject* value = nullptr;
    int in_namespace = PyDict_GetItemRef(dict, name_, &value);
    if (in_namespace == 0) in_namespace = PyDict_GetItemRef(builtins, name_, &value);
    if (in_namespace < 0) {
        note_failure(where);
        return nullptr;
    }
    if (in_namespace) {
        if constexpr (host::gil_guards_shared_state) {
            found_ = value;  // reused only while the namespaces, which hold it, are unchanged
            namespaces_ = before;
        }
        return Ref::steal(value);
    }
    // Not in either namespace: the builtins module's own attribute lookup has the last
    // word (it may define __getattr__); such a value is never cached.
    Ref found;
    if (Ref module = builtins_module()) found = Ref::steal(PyObject_GetAttr(module.get(), name_));
    if (!found) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise_name_error(name_);
        }
        note_failure(where);
    }
    return found;
}

Ref ModuleAttribute::get(PyObject* module, Where where) noexcept {
    if (!PyModule_CheckExact(module) || !host::gil_guards_shared_state) {
        Ref value = Ref::steal(PyObject_GetAttr(module, name_));
        if (!value) note_failure(where);
        return value;
    }
    // A plain module has no descriptor of its own under such a name, so what its namespace
    // holds is what getattr gives.
    PyObject* dict = PyModule_GetDict(module);
    if (module == module_ && found_ && namespace_.held({dict})) return Ref::borrow(found_);
    found_ = nullptr;
    DictStates<1> before;
    before.take({dict});
    Ref value = Ref::steal(PyObject_GetAttr(module, name_));
    if (!value) {
        note_failure(where);
        return value;
    }
    if (PyDict_GetItemWithError(dict, name_) == value.get()) {
        found_ = value.get();
        module_ = module;
        namespace_ = before;
    }
    PyErr_Clear();
    return value;
}

CachedBuiltin::CachedBuiltin(const char* name) noexcept : name_(name) {
    append_to(first_builtin, this);
}

bool CachedBuiltin::fetch_all() noexcept {
    Ref builtins = builtins_module();
    if (!builtins) return false;
    for (CachedBuiltin* entry = first_builtin; entry; entry = entry->next_) {
        entry->value_.set(Ref::steal(PyObject_GetAttr(builtins.get(), entry->name_)));
        if (entry->value_) continue;
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise_name_error(entry->name_);
        }
        return false;
    }
    return true;
}

PyObject* entry_or_null(PyObject* dict, PyObject* key) noexcept {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value) PyErr_Clear();
    return value;
}

bool HostFunction::is(PyObject* candidate) noexcept {
    if (!candidate) return false;
    if (candidate == known_.get()) return true;
    if (Py_TYPE(candidate) != &PyCFunction_Type) return false;
    PyObject* owner = PyCFunction_GET_SELF(candidate);
    if (!owner || !PyModule_Check(owner)) return false;
    const PyModuleDef* def = PyModule_GetDef(owner);
    if (!def || !def->m_name || std::strcmp(def->m_name, module_) != 0 || !def->m_methods)
        return false;
    const PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(candidate)->m_ml;
    for (const PyMethodDef* own = def->m_methods; own->ml_name; ++own) {
        if (own != method) continue;
        if (std::strcmp(method->ml_name, name_) != 0) return false;
        if constexpr (host::gil_guards_shared_state) known_.set(Ref::borrow(candidate));
        return true;
    }
    return false;
}

}  // namespace frame
