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
Constant::Constant(PyObject* (*make)()) noexcept : make_(make) { append_to(first_constant, this); }

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

#if FRAME_FREE_THREADED
// What each thread last found for each module-level name and module attribute, by the slot
// of the Global or ModuleAttribute.  Borrowed, and kept only where the value may be kept so
// (host::may_keep_borrowed); the states are the watched epoch at which the namespaces were
// watched and at rest before the lookup.  A slot past the table's end is never kept.
namespace {
struct FoundName {
    PyObject* found = nullptr;
    DictStates<2> namespaces;  // the module's and the builtins'
    bool not_kept = false;     // the last value found could not be kept
};
struct FoundAttribute {
    PyObject* module = nullptr;  // identity only: a module gone since took its watched
                                 // namespace with it, which moved the epoch on
    PyObject* found = nullptr;
    DictStates<1> names;
    bool not_kept = false;
};
constexpr std::size_t per_thread_slots = 32;
thread_local FoundName found_names[per_thread_slots];
thread_local FoundAttribute found_attributes[per_thread_slots];
std::size_t name_slots_given = 0, attribute_slots_given = 0;

FoundName* found_name(std::size_t slot) noexcept {
    return slot < per_thread_slots ? &found_names[slot] : nullptr;
}
FoundAttribute* found_attribute(std::size_t slot) noexcept {
    return slot < per_thread_slots ? &found_attributes[slot] : nullptr;
}

// Taking the states of a namespace locks it, and every thread shares it: where the last
// value a thread found could not be kept (not one only the collector frees), its next
// lookup takes no states and keeps nothing either.
template <typename Found>
bool takes_states(const Found* mine) noexcept {
    return mine && !mine->not_kept;
}
}  // namespace

std::size_t next_per_thread_slot(bool attribute) noexcept {
    return attribute ? attribute_slots_given++ : name_slots_given++;
}
#else
std::size_t next_per_thread_slot(bool) noexcept { return 0; }
#endif

PyObject* Global::cached() noexcept {
    PyObject* dict = module_dict();
    PyObject* builtins = builtins_dict();
#if FRAME_FREE_THREADED
    FoundName* mine = found_name(slot_);
    return dict && builtins && mine && mine->found && mine->namespaces.held({dict, builtins})
               ? mine->found
               : nullptr;
#else
    return dict && builtins && found_ && namespaces_.held({dict, builtins}) ? found_ : nullptr;
#endif
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
#if FRAME_FREE_THREADED
    FoundName* mine = found_name(slot_);
    if (mine) mine->found = nullptr;
#else
    found_ = nullptr;
#endif
    // The states are taken before the first read: a read can run code (a key's __eq__) that
    // changes either namespace, and what was found then is not what they hold.  (Without
    // the GIL, another thread can change them too: the states are then the epoch at which
    // both were at rest, and a change begun since moves it on.)
    DictStates<2> before;
#if FRAME_FREE_THREADED
    const bool keeping = takes_states(mine);
#else
    constexpr bool keeping = true;
#endif
    if (keeping) before.take({dict, builtins});
    PyObject* value = nullptr;
    int in_namespace = PyDict_GetItemRef(dict, name_, &value);
    if (in_namespace == 0) in_namespace = PyDict_GetItemRef(builtins, name_, &value);
    if (in_namespace < 0) {
        note_failure(where);
        return nullptr;
    }
    if (in_namespace) {
        // Reused only while the namespaces, which hold it, are unchanged.
#if FRAME_FREE_THREADED
        if (mine) {
            const bool may_keep = host::may_keep_borrowed(value);
            if (keeping && may_keep) {
                mine->found = value;
                mine->namespaces = before;
            }
            mine->not_kept = !may_keep;
        }
#else
        found_ = value;
        namespaces_ = before;
#endif
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

namespace {
// Whether the plain module namespace `dict` holds `value` under `name` now (looked at
// with a strong reference: another thread may take it out meanwhile).
bool holds_entry(PyObject* dict, PyObject* name, PyObject* value) noexcept {
#if FRAME_FREE_THREADED
    PyObject* entry = nullptr;
    const int found = PyDict_GetItemRef(dict, name, &entry);
    Py_XDECREF(entry);
    PyErr_Clear();
    return found == 1 && entry == value;
#else
    const bool held = PyDict_GetItemWithError(dict, name) == value;
    PyErr_Clear();
    return held;
#endif
}
}  // namespace

Ref ModuleAttribute::get(PyObject* module, Where where) noexcept {
    if (!PyModule_CheckExact(module)) {
        Ref value = Ref::steal(PyObject_GetAttr(module, name_));
        if (!value) note_failure(where);
        return value;
    }
    // A plain module has no descriptor of its own under such a name, so what its namespace
    // holds is what getattr gives.
    PyObject* dict = PyModule_GetDict(module);
#if FRAME_FREE_THREADED
    FoundAttribute* mine = found_attribute(slot_);
    if (mine && module == mine->module && mine->found && mine->names.held({dict}))
        return Ref::borrow(mine->found);
    if (mine) mine->found = nullptr;
#else
    if (module == module_ && found_ && namespace_.held({dict})) return Ref::borrow(found_);
    found_ = nullptr;
#endif
    DictStates<1> before;
#if FRAME_FREE_THREADED
    const bool keeping = takes_states(mine);
#else
    constexpr bool keeping = true;
#endif
    if (keeping) before.take({dict});
    Ref value = Ref::steal(PyObject_GetAttr(module, name_));
    if (!value) {
        note_failure(where);
        return value;
    }
    if (holds_entry(dict, name_, value.get())) {
#if FRAME_FREE_THREADED
        if (mine) {
            const bool may_keep = host::may_keep_borrowed(value.get());
            if (keeping && may_keep) {
                mine->found = value.get();
                mine->module = module;
                mine->names = before;
            }
            mine->not_kept = !may_keep;
        }
#else
        found_ = value.get();
        module_ = module;
        namespace_ = before;
#endif
    }
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

namespace {
// The entry of a module's method table named `name`, or null.
const PyMethodDef* method_entry(const PyModuleDef& def, const char* name) noexcept {
    if (!def.m_methods) return nullptr;
    for (const PyMethodDef* entry = def.m_methods; entry->ml_name; ++entry)
        if (std::strcmp(entry->ml_name, name) == 0) return entry;
    return nullptr;
}

// Whether the C function `candidate` is made from `entry`, as its public face tells: the
// same C function called the same way, under the same name (the name is what tells two
// entries sharing one C function apart, and what the host's argument errors quote).  The
// name is made afresh by the attribute, so it is asked last, once the rest agrees.
bool made_from(PyObject* candidate, const PyMethodDef& entry) noexcept {
    if (PyCFunction_GetFunction(candidate) != entry.ml_meth ||
        PyCFunction_GetFlags(candidate) != entry.ml_flags)
        return false;
    Ref name = Ref::steal(PyObject_GetAttrString(candidate, "__name__"));
    if (!name) {
        PyErr_Clear();  // a failed check only means taking the host's way
        return false;
    }
    return PyUnicode_CheckExact(name.get()) &&
           PyUnicode_CompareWithASCIIString(name.get(), entry.ml_name) == 0;
}
}  // namespace

bool HostFunction::is(PyObject* candidate) noexcept {
    if (!candidate) return false;
    if (candidate == known()) return true;
    if (Py_TYPE(candidate) != &PyCFunction_Type) return false;
    PyObject* owner = PyCFunction_GetSelf(candidate);
    if (!owner || !PyModule_Check(owner)) return false;
    const PyModuleDef* def = PyModule_GetDef(owner);
    if (!def || !def->m_name || std::strcmp(def->m_name, module_) != 0) return false;
    const PyMethodDef* entry = method_entry(*def, name_);
    if (!entry || !made_from(candidate, *entry)) return false;
    remember(candidate);
    return true;
}

#if FRAME_FREE_THREADED
PyObject* HostFunction::known() const noexcept { return known_.load(std::memory_order_acquire); }

// The first thread to recognise the function keeps it; another that meets it at once gives
// its reference back.
void HostFunction::remember(PyObject* candidate) noexcept {
    PyObject* none = nullptr;
    Py_INCREF(candidate);
    if (!known_.compare_exchange_strong(none, candidate, std::memory_order_acq_rel))
        Py_DECREF(candidate);
}
#else
PyObject* HostFunction::known() const noexcept { return known_.get(); }
void HostFunction::remember(PyObject* candidate) noexcept { known_.set(Ref::borrow(candidate)); }
#endif

}  // namespace frame
