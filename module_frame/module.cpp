// Loading: the module definition, the create and exec steps with their guards, the version
// check and the module-body statements that bind names.
#include "module_frame/frame.hpp"
#include "module_frame/internal/function.hpp"
#include "module_frame/internal/host_objects.hpp"
#include "module_frame/ops.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef FRAME_COMPILED_FOR_MAJOR
#define FRAME_COMPILED_FOR_MAJOR PY_MAJOR_VERSION
#endif
#ifndef FRAME_COMPILED_FOR_MINOR
#define FRAME_COMPILED_FOR_MINOR PY_MINOR_VERSION
#endif

namespace frame {
namespace {

// Process-wide state of this module.
struct State {
    const ModuleDef* def = nullptr;
    PyObject* module = nullptr;  // owned from the start of exec until a failed exec
    PyObject* dict = nullptr;    // borrowed from module
    std::int64_t interpreter_id = -1;
    PyModuleDef host_def{};
    PyModuleDef_Slot slots[3 + host::module_slot_count]{};
};
State state;

PyObject* create_step(PyObject* module_spec, PyModuleDef*) noexcept;
int exec_step(PyObject* module) noexcept;

bool remember_interpreter() noexcept {
    std::int64_t current =
        PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (current == -1) return false;
    if (state.interpreter_id == -1) {
        state.interpreter_id = current;
    } else if (state.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return false;
    }
    return true;
}

// Copies the attribute <from> of module_spec into the namespace as <to>; skipped when
// module_spec has no such attribute.
bool copy_attribute(PyObject* module_spec, PyObject* dict, const char* from, const char* to,
                    bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(module_spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* create_step(PyObject* module_spec, PyModuleDef*) noexcept {
    if (!remember_interpreter()) return nullptr;
    if (state.module) return Ref::borrow(state.module).release();
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_attribute(module_spec, dict, "loader", "__loader__", false) ||
        !copy_attribute(module_spec, dict, "origin", "__file__", false) ||
        !copy_attribute(module_spec, dict, "parent", "__package__", false) ||
        !copy_attribute(module_spec, dict, "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

// "major.minor" from the start of the host's version text.
std::string runtime_version() {
    const char* text = Py_GetVersion();
    std::size_t length = std::strspn(text, "0123456789.");
    std::string version(text, length);
    std::size_t second_dot = version.find('.', version.find('.') + 1);
    return second_dot == std::string::npos ? version : version.substr(0, second_dot);
}

// Warns when the host's major or minor version differs from the one the module was built
// for; a warning turned into an error fails the import.
bool check_version() noexcept {
    char compiled[32];
    std::snprintf(compiled, sizeof compiled, "%d.%d", FRAME_COMPILED_FOR_MAJOR,
                  FRAME_COMPILED_FOR_MINOR);
    std::string running = runtime_version();
    if (running == compiled) return true;
    char message[256];
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, state.def->full_name, running.c_str());
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool register_in_sys_modules(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    Ref name = Ref::steal(PyUnicode_FromString(state.def->full_name));
    if (!name) return false;
    if (PyDict_GetItemWithError(modules, name.get())) return true;
    return !PyErr_Occurred() && PyDict_SetItem(modules, name.get(), module) == 0;
}

bool set_builtins(PyObject* dict) noexcept {
    Ref builtins = builtins_module();
    return builtins && PyDict_SetItemString(dict, "__builtins__", builtins.get()) == 0;
}

// Steps 2 to 9 of exec; false with an error set on failure.
bool run_exec(PyObject* module) noexcept {
    state.module = Ref::borrow(module).release();
    state.dict = PyModule_GetDict(module);
    learn_dict_layout();
    return set_builtins(state.dict) && check_version() && Constant::create_all() &&
           ready_function_type() && register_in_sys_modules(module) && CachedBuiltin::fetch_all() &&
           FunctionDef::prepare_all() && state.def->body();
}

int exec_step(PyObject* module) noexcept {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not "
                     "supported.",
                     state.def->short_name);
        return -1;
    }
    RunningCall body(nullptr);
    bool ok;
    try {
        ok = run_exec(module);
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        ok = false;
    }
    if (ok) return 0;
    std::string name = std::string("init ") + state.def->full_name;
    if (body.failure_line)
        add_traceback(name.c_str(), body.failure_file, body.failure_line);
    else
        add_traceback(name.c_str(), nullptr, 1);
    Ref forgotten = Ref::steal(state.module);
    state.module = nullptr;
    state.dict = nullptr;
    return -1;
}

}  // namespace

PyObject* initialise(const ModuleDef& def) noexcept {
    state.def = &def;
    state.slots[0] = {Py_mod_create, reinterpret_cast<void*>(&create_step)};
    state.slots[1] = {Py_mod_exec, reinterpret_cast<void*>(&exec_step)};
    *host::add_module_slots(&state.slots[2]) = {0, nullptr};
    state.host_def = {PyModuleDef_HEAD_INIT, def.short_name, def.doc, 0,      nullptr,
                      state.slots,           nullptr,        nullptr, nullptr};
    return PyModuleDef_Init(&state.host_def);
}

const ModuleDef& module_def() noexcept { return *state.def; }
PyObject* module_dict() noexcept { return state.dict; }

bool bind(PyObject* name, PyObject* value, Where where) noexcept {
    if (PyDict_SetItem(state.dict, name, value) == 0) return true;
    note_failure(where);
    return false;
}

bool bind_empty_mapping(PyObject* name, Where where) noexcept {
    Ref mapping = Ref::steal(PyDict_New());
    if (mapping) return bind(name, mapping.get(), where);
    note_failure(where);
    return false;
}

bool bind_function(const FunctionDef& def, Where where) noexcept {
    Ref function = make_function(def, where);
    // A module's function, like the host's own: deferred reference counting on a
    // free-threaded host, so that threads calling it do not all write its count.
    if (function) PyUnstable_Object_EnableDeferredRefcount(function.get());
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name()));
    if (function && name) return bind(name.get(), function.get(), where);
    note_failure(where);
    return false;
}

}  // namespace frame
