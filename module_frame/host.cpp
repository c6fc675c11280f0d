// What the fast paths may ask about the host, where it is more than one read; see host.hpp.
#include "module_frame/host.hpp"

#include "module_frame/ref.hpp"

#include <cstdint>

namespace frame::host {

namespace {

#if FRAME_HOST_AT_LEAST(12)
// Whether a monitoring tool has a local event set on the code object (what
// sys.monitoring.set_local_events records on it at once).
bool has_local_events(PyObject* code) noexcept {
    const _PyCoMonitoringData* monitoring =
        reinterpret_cast<PyCodeObject*>(code)->_co_monitoring;
    if (!monitoring) return false;
    for (std::uint8_t tools : monitoring->local_monitors.tools)
        if (tools) return true;
    return false;
}
#endif

#if FRAME_HOST_AT_LEAST(13)
// Whether a tool has any event set for every code object, from the host's own summary.
bool has_global_events() noexcept {
    static PyMonitoringState states[_PY_MONITORING_UNGROUPED_EVENTS];
    static std::uint8_t events[_PY_MONITORING_UNGROUPED_EVENTS];
    static std::uint64_t version = 0;
    static bool ready = false;
    if (!ready) {
        for (std::uint8_t e = 0; e < _PY_MONITORING_UNGROUPED_EVENTS; ++e) events[e] = e;
        ready = true;
    }
    if (PyMonitoring_EnterScope(states, &version, events, _PY_MONITORING_UNGROUPED_EVENTS) < 0 ||
        PyMonitoring_ExitScope() < 0) {
        PyErr_Clear();
        return true;
    }
    for (const PyMonitoringState& state : states)
        if (state.active) return true;
    return false;
}
#elif FRAME_HOST_AT_LEAST(12)
// Whether a tool has any event set for every code object: sys.monitoring.get_events for
// each tool, as 3.12 keeps no summary that C code can read.
bool ask_for_global_events() noexcept {
    static PyObject* get_events = nullptr;
    if (!get_events) {
        PyObject* monitoring = PySys_GetObject("monitoring");
        get_events = monitoring ? PyObject_GetAttrString(monitoring, "get_events") : nullptr;
        if (!get_events) {
            PyErr_Clear();
            return true;
        }
    }
    constexpr int tool_ids = 6;  // sys.monitoring's tools are numbered 0 to 5
    for (int tool = 0; tool < tool_ids; ++tool) {
        Ref id = Ref::steal(PyLong_FromLong(tool));
        PyObject* args[] = {id.get()};
        Ref events = id ? Ref::steal(PyObject_Vectorcall(get_events, args, 1, nullptr)) : nullptr;
        if (!events || PyLong_AsLong(events.get()) != 0) {
            PyErr_Clear();
            return true;
        }
    }
    return false;
}

// The same, remembered with the interpreter's monitoring version as the code object of the
// calling Python frame carries it.  Every change of a tool's events gives the interpreter a
// new version and at once brings every code object that is running, on any thread, up to
// it (a code object that starts running later is brought up to it as it starts).  The
// calling frame's code is running while it calls, so while it carries the remembered
// version, no tool's events have changed since the answer was found.
bool has_global_events() noexcept {
    static bool known = false;
    static bool known_answer = false;
    static std::uint64_t known_version = 0;
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) return ask_for_global_events();
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    const std::uint64_t version =
        reinterpret_cast<PyCodeObject*>(code.get())->_co_instrumentation_version;
    if (known && version == known_version) return known_answer;
    known_answer = ask_for_global_events();
    known_version = version;
    known = true;
    return known_answer;
}
#endif

}  // namespace

#if !FRAME_HOST_AT_LEAST(10)
PyObject* function_builtins(PyObject* function) noexcept {
    static PyObject* const key = PyUnicode_InternFromString("__builtins__");
    PyObject* builtins = key ? PyDict_GetItemWithError(PyFunction_GET_GLOBALS(function), key) : nullptr;
    if (!builtins) {
        PyErr_Clear();
        return nullptr;
    }
    return PyModule_Check(builtins) ? PyModule_GetDict(builtins) : builtins;
}
#endif

bool calls_are_watched(PyObject* const* codes, std::size_t count) noexcept {
    PyThreadState* thread = PyThreadState_Get();
    if (thread->c_profilefunc || thread->c_tracefunc) return true;
#if FRAME_HOST_AT_LEAST(12)
    for (std::size_t i = 0; i < count; ++i)
        if (has_local_events(codes[i])) return true;
    return has_global_events();
#else
    (void)codes;
    (void)count;
    return false;
#endif
}

}  // namespace frame::host
