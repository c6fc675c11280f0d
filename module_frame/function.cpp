// The function object type and argument binding.
//
// A function object behaves, towards the host, like a function written in the host
// language: it binds arguments by parameter name, reports __name__, __qualname__, __doc__,
// __module__, __globals__, __defaults__, __code__ and a __dict__, binds to instances as a
// method, pickles by qualified name, takes part in garbage collection, and names itself in
// the traceback when a failure leaves it.
#include "module_frame/frame.hpp"
#include "module_frame/host.hpp"
#include "module_frame/internal/function.hpp"
#include "module_frame/internal/host_objects.hpp"

#include <structmember.h>

#include <cstddef>
#include <utility>

namespace frame {

struct FunctionAccess {
    static const FunctionDef& def(PyObject* function) noexcept;
    static PyObject* vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                                PyObject* kwnames) noexcept;
    static bool bind(const FunctionDef& def, PyObject* const* args, Py_ssize_t given,
                     PyObject* kwnames, PyObject** bound) noexcept;
    static PyObject* finish(const RunningCall& call, Ref result) noexcept;
    template <class Body>
    static PyObject* call_of(const FunctionDef& def, Body&& body) noexcept;
    static Ref run(const FunctionDef& def, PyObject* const* args, Py_ssize_t given,
                   PyObject* kwnames);
    static Ref make(const FunctionDef& def) noexcept;
    static PyObject* code(const FunctionDef& def) noexcept { return def.code_; }
    static PyObject* defaults(const FunctionDef& def) noexcept { return def.defaults_tuple_; }
    // The entry of a failed call: at its failing statement, or at the function's first line
    // where none was recorded.
    static void add_traceback_of(const RunningCall& call) noexcept {
        const FunctionDef& def = *call.def;
        if (call.failure_line)
            add_traceback(def.traceback_name_.c_str(), call.failure_file, call.failure_line);
        else
            add_traceback(def.traceback_name_.c_str(), nullptr, def.first_line_);
    }
};

namespace {

FunctionDef* first_function = nullptr;

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* globals;
    PyObject* dict;
    PyObject* annotations;
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* self) noexcept {
    return reinterpret_cast<FunctionObject*>(self);
}

PyObject* or_none(PyObject* value) noexcept {
    return Ref::borrow(value ? value : Py_None).release();
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    return 0;
}

int clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    PyObject_GC_Del(self);
}

PyObject* get_text(PyObject* self, PyObject* FunctionObject::* field);

PyObject* repr(PyObject* self) {
    Ref qualname = Ref::steal(get_text(self, &FunctionObject::qualname));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

// Calls through the generic protocol: keywords come as a mapping whose keys must be texts.
PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (kwargs) {
        host::CriticalSection section(kwargs);
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                RunningCall refused(as_function(self)->def);
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return FunctionAccess::finish(refused, nullptr);
            }
        }
    }
    return PyVectorcall_Call(self, args, kwargs);
}

PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Ref::borrow(self).release();
    return PyMethod_New(self, instance);
}

PyObject* reduce(PyObject* self, PyObject*) { return get_text(self, &FunctionObject::qualname); }

// The replaceable fields are read and replaced under the function's own critical section,
// so that a reader on another thread never takes a reference the writer is giving back.
PyObject* get_text(PyObject* self, PyObject* FunctionObject::* field) {
    host::CriticalSection section(self);
    return Ref::borrow(as_function(self)->*field).release();
}
PyObject* get_name(PyObject* self, void*) { return get_text(self, &FunctionObject::name); }
PyObject* get_qualname(PyObject* self, void*) { return get_text(self, &FunctionObject::qualname); }

int set_text(PyObject* self, PyObject* FunctionObject::* field, PyObject* value,
             const char* attribute) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Ref old;  // given back after the section
    host::CriticalSection section(self);
    old = Ref::steal(as_function(self)->*field);
    as_function(self)->*field = Ref::borrow(value).release();
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(self, &FunctionObject::name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(self, &FunctionObject::qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    return or_none(FunctionAccess::defaults(*as_function(self)->def));
}
PyObject* get_code(PyObject* self, void*) {
    return or_none(FunctionAccess::code(*as_function(self)->def));
}
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    host::CriticalSection section(self);
    if (!f->annotations) f->annotations = PyDict_New();
    return Ref::borrow(f->annotations).release();
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject type{};
    host::set_static_refcount(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "native_function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_dealloc = dealloc;
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_repr = repr;
    type.tp_call = call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
    type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    type.tp_methods = methods;
    type.tp_members = members;
    type.tp_getset = getset;
    type.tp_descr_get = descr_get;
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    return type;
}();

// The argument count in "takes ... positional argument(s)" messages.
void raise_positional_count(const char* name, Py_ssize_t params, bool all_default,
                            Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, all_default ? "at most" : "exactly", params, params == 1 ? "" : "s", given);
}

bool same_text(PyObject* a, PyObject* b) noexcept {
    return a == b ||
           (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

}  // namespace

const FunctionDef& FunctionAccess::def(PyObject* function) noexcept {
    return *as_function(function)->def;
}

bool FunctionAccess::bind(const FunctionDef& def, PyObject* const* args, Py_ssize_t given,
                          PyObject* kwnames, PyObject** bound) noexcept {
    const Py_ssize_t params = def.params_.size();
    const bool all_default = def.defaults_ == Defaults::AllNone;
    if (given > params) {
        raise_positional_count(def.name_, params, all_default, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) bound[i] = args[i];
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name_);
            return false;
        }
        Py_ssize_t index = 0;
        while (index < params && !same_text(keyword, def.param_names_[index])) ++index;
        if (index == params) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name_,
                         keyword);
            return false;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         def.name_, keyword);
            return false;
        }
        bound[index] = args[given + k];
    }
    for (Py_ssize_t i = 0; i < params; ++i) {
        if (bound[i]) continue;
        if (!all_default) {
            raise_positional_count(def.name_, params, false, i);
            return false;
        }
        bound[i] = Py_None;
    }
    return true;
}

PyObject* FunctionAccess::finish(const RunningCall& call, Ref result) noexcept {
    if (!result) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "native function failed without an exception");
        add_traceback_of(call);
    }
    return result.release();
}

// What a call of a function of `def` does around its body: it is the running call of
// `def`, within the host's recursion limit, and a failure gets the traceback entry of `def`.
// `body` binds the arguments (where there are any to bind) and runs the function's body.
template <class Body>
PyObject* FunctionAccess::call_of(const FunctionDef& def, Body&& body) noexcept {
    RunningCall call(&def);
    Ref result;
    if (!Py_EnterRecursiveCall(" while calling a Python object")) {
        try {
            result = body();
        } catch (...) {
            // Nothing in a body throws on purpose; an allocation failure in the C++ library
            // is reported as the host's MemoryError.
            result.reset();
            if (!PyErr_Occurred()) PyErr_NoMemory();
        }
        Py_LeaveRecursiveCall();
    }
    return finish(call, std::move(result));
}

// Binds the arguments and runs the body.
Ref FunctionAccess::run(const FunctionDef& def, PyObject* const* args, Py_ssize_t given,
                        PyObject* kwnames) {
    if (def.one_arg_body_) {
        if (kwnames && PyTuple_GET_SIZE(kwnames))
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def.name_);
        else if (given != 1)
            PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)",
                         def.name_, given);
        else
            return def.one_arg_body_(args[0]);
        return nullptr;
    }
    PyObject* bound[FunctionDef::max_params] = {};
    if (!bind(def, args, given, kwnames, bound)) return nullptr;
    return def.fast_body_(bound);
}

PyObject* FunctionAccess::vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                                     PyObject* kwnames) noexcept {
    const FunctionDef& def = *as_function(self)->def;
    return call_of(def, [&] { return run(def, args, PyVectorcall_NARGS(nargsf), kwnames); });
}

bool is_function_of(PyObject* callee, const FunctionDef& def) noexcept {
    return Py_TYPE(callee) == &function_type && as_function(callee)->def == &def;
}

Ref run_as_call_of(const FunctionDef& def, Ref (*body)(void*), void* context,
                   Where where) noexcept {
    Ref result = Ref::steal(FunctionAccess::call_of(def, [&] { return body(context); }));
    if (!result) note_failure(where);
    return result;
}

void add_running_function_traceback() noexcept {
    const RunningCall* call = RunningCall::innermost();
    if (call && call->def) FunctionAccess::add_traceback_of(*call);
}

Ref FunctionAccess::make(const FunctionDef& def) noexcept {
    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) return nullptr;
    f->vectorcall = vectorcall;
    f->def = &def;
    f->name = PyUnicode_InternFromString(def.name_);
    f->qualname = PyUnicode_InternFromString(def.qualname_);
    f->doc = def.doc_ ? PyUnicode_FromString(def.doc_) : Ref::borrow(Py_None).release();
    f->module = PyUnicode_FromString(module_def().full_name);
    f->globals = Ref::borrow(module_dict()).release();
    f->dict = nullptr;
    f->annotations = nullptr;
    f->weakrefs = nullptr;
    Ref function = Ref::steal(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(f);
    if (!f->name || !f->qualname || !f->doc || !f->module) return nullptr;
    return function;
}

bool ready_function_type() noexcept {
    return function_type.tp_flags & Py_TPFLAGS_READY || PyType_Ready(&function_type) == 0;
}

Ref make_function(const FunctionDef& def, Where where) noexcept {
    Ref function = FunctionAccess::make(def);
    if (!function) note_failure(where);
    return function;
}

FunctionDef::FunctionDef(const char* name, const char* qualname, const char* doc, Names params,
                         Defaults defaults, Names locals, FastBody body, Where where) noexcept
    : name_(name),
      qualname_(qualname),
      doc_(doc),
      params_(params),
      locals_(locals),
      defaults_(defaults),
      fast_body_(body),
      first_line_(static_cast<int>(where.line())) {
    append_to(first_function, this);
}

FunctionDef::FunctionDef(const char* name, const char* qualname, const char* doc, Names params,
                         OneArgBody body, Naming naming, Where where) noexcept
    : name_(name),
      qualname_(qualname),
      doc_(doc),
      params_(params),
      naming_(naming),
      one_arg_body_(body),
      first_line_(static_cast<int>(where.line())) {
    append_to(first_function, this);
}

bool FunctionDef::prepare() noexcept {
    if (!traceback_name_.empty()) return true;
    const int params = params_.size(), locals = locals_.size();
    for (int i = 0; i < params; ++i) {
        if (!param_names_[i]) param_names_[i] = PyUnicode_InternFromString(params_[i]);
        if (!param_names_[i]) return false;
    }
    if (defaults_ == Defaults::AllNone && !defaults_tuple_) {
        Ref tuple = Ref::steal(PyTuple_New(params));
        if (!tuple) return false;
        for (int i = 0; i < params; ++i)
            PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(Py_None).release());
        defaults_tuple_ = tuple.release();
    }
    if (naming_ == Naming::Qualified && !code_) {
        Ref varnames = Ref::steal(PyTuple_New(params + locals));
        if (!varnames) return false;
        for (int i = 0; i < params + locals; ++i) {
            PyObject* text =
                PyUnicode_InternFromString(i < params ? params_[i] : locals_[i - params]);
            if (!text) return false;
            PyTuple_SET_ITEM(varnames.get(), i, text);
        }
        code_ = host::new_function_code(module_def().source_path, name_, qualname_, first_line_,
                                        params, varnames.get());
        if (!code_) return false;
    }
    traceback_name_ =
        std::string(module_def().full_name) + "." + (naming_ == Naming::Lambda ? name_ : qualname_);
    return true;
}

bool FunctionDef::prepare_all() noexcept {
    try {
        for (FunctionDef* def = first_function; def; def = def->next_)
            if (!def->prepare()) return false;
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

}  // namespace frame
