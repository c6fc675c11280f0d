// Module-body statements: the three import forms and class creation.
#include "module_frame/frame.hpp"
#include "module_frame/internal/function.hpp"
#include "module_frame/ops.hpp"

namespace frame {
namespace {

Constant dunder_module("__module__");
Constant dunder_qualname("__qualname__");

// A module the registry holds and that is not still initialising, or null.  A None entry
// holds no module: the host's import reports it.
Ref registered_module(PyObject* name) noexcept {
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (!module || module.get() == Py_None) return nullptr;
    Ref spec = Ref::steal(PyObject_GetAttrString(module.get(), "__spec__"));
    if (!spec) {
        PyErr_Clear();
        return module;
    }
    Ref initializing = Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing"));
    if (!initializing) {
        PyErr_Clear();
        return module;
    }
    int busy = PyObject_IsTrue(initializing.get());
    if (busy < 0) PyErr_Clear();
    return busy == 1 ? nullptr : module;
}

Ref import_level(PyObject* name, PyObject* fromlist, int level) noexcept {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    return Ref::steal(
        PyImport_ImportModuleLevelObject(name, module_dict(), locals.get(), fromlist, level));
}

}  // namespace

bool import_module(PyObject* name, Where where) noexcept {
    Ref module = registered_module(name);
    if (!module && !PyErr_Occurred()) module = import_level(name, nullptr, 0);
    if (!module) {
        note_failure(where);
        return false;
    }
    return bind(name, module.get(), where);
}

bool import_names(PyObject* module_name, std::initializer_list<PyObject*> names, int level,
                  Where where) noexcept {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return fail_at(where), false;
    for (PyObject* name : names)
        if (PyList_Append(fromlist.get(), name) < 0) return fail_at(where), false;
    Ref module = import_level(module_name, fromlist.get(), level);
    if (!module) return fail_at(where), false;
    for (PyObject* name : names) {
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            }
            return fail_at(where), false;
        }
        if (!bind(name, value.get(), where)) return false;
    }
    return true;
}

namespace {

// The most derived metaclass of the bases.
PyObject* derive_metaclass(PyObject* bases) noexcept {
    PyObject* winner = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)));
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(bases); ++i) {
        auto* candidate = reinterpret_cast<PyTypeObject*>(winner);
        PyTypeObject* base_type = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(candidate, base_type)) continue;
        if (PyType_IsSubtype(base_type, candidate)) {
            winner = reinterpret_cast<PyObject*>(base_type);
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return winner;
}

Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) noexcept {
    Ref prepare = Ref::steal(PyObject_GetAttrString(metaclass, "__prepare__"));
    if (!prepare) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        return Ref::steal(PyDict_New());
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), name, bases, nullptr));
}

Ref build_class(PyObject* name, std::initializer_list<Global*> base_names,
                std::initializer_list<const FunctionDef*> methods, Where where) noexcept {
    Ref bases = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(base_names.size())));
    if (!bases) return nullptr;
    Py_ssize_t index = 0;
    for (Global* base_name : base_names) {
        Ref base = base_name->get(where);
        if (!base) return nullptr;
        PyTuple_SET_ITEM(bases.get(), index++, base.release());
    }
    PyObject* metaclass = derive_metaclass(bases.get());
    if (!metaclass) return nullptr;
    Ref ns = prepare_namespace(metaclass, name, bases.get());
    if (!ns) return nullptr;
    Ref module_name = Ref::steal(PyUnicode_FromString(module_def().full_name));
    if (!module_name || PyObject_SetItem(ns.get(), dunder_module, module_name.get()) < 0 ||
        PyObject_SetItem(ns.get(), dunder_qualname, name) < 0)
        return nullptr;
    for (const FunctionDef* method : methods) {
        Ref function = make_function(*method, where);
        if (!function) return nullptr;
        PyUnstable_Object_EnableDeferredRefcount(function.get());  // as bind_function
        Ref method_name = Ref::steal(PyUnicode_InternFromString(method->name()));
        if (!method_name || PyObject_SetItem(ns.get(), method_name.get(), function.get()) < 0)
            return nullptr;
    }
    return call(metaclass, {name, bases.get(), ns.get()}, nullptr, where);
}

}  // namespace

bool create_class(PyObject* name, std::initializer_list<Global*> bases,
                  std::initializer_list<const FunctionDef*> methods, Where where) noexcept {
    Ref cls = build_class(name, bases, methods, where);
    if (!cls) return fail_at(where), false;
    return bind(name, cls.get(), where);
}

}  // namespace frame
