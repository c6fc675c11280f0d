// What the fast paths may ask about the host, where it is more than one read; see host.hpp.
#include "module_frame/host.hpp"

#include "module_frame/internal/function.hpp"
#include "module_frame/ref.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace frame::host {

namespace {

#if FRAME_HOST_AT_LEAST(12)
// A function of sys.monitoring, found at the first use and kept: a function of the host's
// own (a builtin), else null, and the answers that depend on it say "watched".
[[maybe_unused]] PyObject* monitoring_function(PyObject*& kept, const char* name) noexcept {
    if (kept) return kept;
    PyObject* monitoring = PySys_GetObject("monitoring");
    PyObject* function = monitoring ? PyObject_GetAttrString(monitoring, name) : nullptr;
    if (function && !PyCFunction_CheckExact(function)) Py_CLEAR(function);
    PyErr_Clear();
    kept = function;
    return kept;
}

// Whether a monitoring call's answer says that no event is set: an exact int 0.
[[maybe_unused]] bool no_events(PyObject* function, PyObject* const* args,
                                std::size_t count) noexcept {
    Ref events =
        function ? Ref::steal(PyObject_Vectorcall(function, args, count, nullptr)) : nullptr;
    const bool none = events && PyLong_CheckExact(events.get()) && PyLong_AsLong(events.get()) == 0;
    PyErr_Clear();
    return none;
}

[[maybe_unused]] constexpr int monitoring_tool_ids =
    6;  // sys.monitoring's tools are numbered 0 to 5
#endif

#if FRAME_HOST_AT_LEAST(14)
// Whether a monitoring tool has a local event set on the code object.  From 3.14 the host
// keeps its record of them private.  What it shows is whether the code object has
// monitoring data at all: made before a local event is first set (and when events for
// every code object reach it), so a code object without any has no local event; one with
// it is asked about through sys.monitoring.get_local_events, tool by tool.
bool has_local_events(PyObject* code) noexcept {
    if (!reinterpret_cast<PyCodeObject*>(code)->_co_monitoring) return false;
    static PyObject* get_local_events = nullptr;
    PyObject* function = monitoring_function(get_local_events, "get_local_events");
    for (int tool = 0; tool < monitoring_tool_ids; ++tool) {
        Ref id = Ref::steal(PyLong_FromLong(tool));
        PyObject* args[] = {id.get(), code};
        if (!id || !no_events(function, args, 2)) return true;
    }
    return false;
}
#elif FRAME_HOST_AT_LEAST(12)
// Whether a monitoring tool has a local event set on the code object (what
// sys.monitoring.set_local_events records on it at once).
bool has_local_events(PyObject* code) noexcept {
    const _PyCoMonitoringData* monitoring = reinterpret_cast<PyCodeObject*>(code)->_co_monitoring;
    if (!monitoring) return false;
    for (std::uint8_t tools : monitoring->local_monitors.tools)
        if (tools) return true;
    return false;
}
#endif

#if FRAME_HOST_AT_LEAST(13)
// The monitoring events that have a state of their own (the others come with one of them):
// the host numbers them from 0 to RERAISE.
constexpr std::uint8_t ungrouped_events = PY_MONITORING_EVENT_RERAISE + 1;
#if !FRAME_HOST_AT_LEAST(14)
static_assert(ungrouped_events == _PY_MONITORING_UNGROUPED_EVENTS);
#endif

bool any_active(const PyMonitoringState (&states)[ungrouped_events]) noexcept {
    for (const PyMonitoringState& state : states)
        if (state.active) return true;
    return false;
}

// Whether a tool has any event set for every code object, from the host's own summary.
// The host brings the states up to date only when the interpreter's monitoring version has
// moved on since `version` (which it then moves on too), and every change of a tool's
// events moves that version on; so the answer read from the states is kept with the version
// it was read at, and read again only when the host changed the version.
//
// Without the GIL each thread keeps states, version and answer of its own (the host brings a
// caller's states up to date in the caller's own memory, and changes a tool's events only
// with every other thread stopped).
struct GlobalEventsScope {
    PyMonitoringState states[ungrouped_events];
    std::uint64_t version = 0;
    bool ready = false;
    bool answer = false;
    std::uint64_t answered_at = 0;
};
#if FRAME_FREE_THREADED
thread_local GlobalEventsScope global_events_scope;
#else
GlobalEventsScope global_events_scope;
#endif

constexpr auto all_ungrouped_events = [] {
    std::array<std::uint8_t, ungrouped_events> events{};
    for (std::uint8_t e = 0; e < ungrouped_events; ++e) events[e] = e;
    return events;
}();

bool has_global_events() noexcept {
    GlobalEventsScope& scope = global_events_scope;
    if (!scope.ready) {
        scope.ready = true;
        scope.answer = any_active(scope.states);  // the states of version 0: nothing watched yet
    }
    if (PyMonitoring_EnterScope(scope.states, &scope.version, all_ungrouped_events.data(),
                                ungrouped_events) < 0 ||
        PyMonitoring_ExitScope() < 0) {
        PyErr_Clear();
        return true;
    }
    if (scope.version != scope.answered_at) {
        scope.answer = any_active(scope.states);
        scope.answered_at = scope.version;
    }
    return scope.answer;
}
#elif FRAME_HOST_AT_LEAST(12)
// Whether a tool has any event set for every code object: sys.monitoring.get_events for
// each tool, as 3.12 keeps no summary that C code can read.
bool ask_for_global_events() noexcept {
    static PyObject* get_events = nullptr;
    PyObject* function = monitoring_function(get_events, "get_events");
    for (int tool = 0; tool < monitoring_tool_ids; ++tool) {
        Ref id = Ref::steal(PyLong_FromLong(tool));
        PyObject* args[] = {id.get()};
        if (!id || !no_events(function, args, 1)) return true;
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
    PyFrameObject* python_frame = PyEval_GetFrame();
    if (!python_frame) return ask_for_global_events();
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(python_frame)));
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
    PyObject* builtins =
        key ? PyDict_GetItemWithError(PyFunction_GET_GLOBALS(function), key) : nullptr;
    if (!builtins) {
        PyErr_Clear();
        return nullptr;
    }
    return PyModule_Check(builtins) ? PyModule_GetDict(builtins) : builtins;
}
#endif

#if FRAME_HOST_AT_LEAST(14)
// The machine stack, from 3.14.  A C call that the host checks (entering its evaluation
// loop, calling a builtin from it) raises RecursionError when the stack pointer is below the
// thread's soft limit (and not far below it, where the host takes its limits for wrong).
// The host keeps the limits in the private part of its thread state, right after the
// public PyThreadState and a reference count (3.15 puts its own base frame, 88 bytes, in
// front): the stack's top, the soft limit and the hard limit, one margin of 2,048 words
// (4,096 in a host built with a sanitizer) below the soft one.  What is read there is
// believed only when it has that shape; otherwise no room is known.
namespace {

struct StackLimits {
    std::uintptr_t top, soft_limit, hard_limit;
};

constexpr std::size_t private_front_bytes = FRAME_HOST_AT_LEAST(15) ? 88 : 0;
constexpr std::size_t stack_limits_offset =
    sizeof(PyThreadState) + private_front_bytes + sizeof(Py_ssize_t);
constexpr std::uintptr_t stack_margin = 2048 * sizeof(void*);

// What the calls need below this frame before their last check: a few C frames into the
// evaluation loop, whose checks (at its entry and at the builtins it calls) read the
// address of its frame; Python calls from there run in the same frame.  Measured on 3.14
// and 3.15 (tests/test_quiet_logging.py walks the stack down to the limit): well under one
// KiB; room is asked for four margins.
constexpr std::uintptr_t stack_room_needed = 4 * stack_margin;

bool has_stack_room(PyThreadState* thread) noexcept {
    StackLimits limits;
    std::memcpy(&limits, reinterpret_cast<const char*>(thread) + stack_limits_offset,
                sizeof limits);
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const std::uintptr_t margin = limits.soft_limit - limits.hard_limit;
    const bool shaped = limits.hard_limit != 0 && limits.soft_limit > limits.hard_limit &&
                        (margin == stack_margin || margin == 2 * stack_margin) &&
                        limits.top > limits.soft_limit;
    return shaped && here > limits.soft_limit && here - limits.soft_limit >= stack_room_needed;
}

}  // namespace

bool has_recursion_room(int calls) noexcept {
    PyThreadState* thread = PyThreadState_Get();
    return thread->py_recursion_remaining >= calls && has_stack_room(thread);
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

#if FRAME_FREE_THREADED && !FRAME_HOST_AT_LEAST(14)
// 3.13t's own _PyObject_SetDeferredRefcount, which the host gives the functions of its
// modules and does not export: the collector bit, one more local reference (which the
// collector subtracts again) and the shared count marked as queued, so that only the
// collector frees the object.  The host makes every such object immortal once a second
// thread starts, and from then on makes new ones immortal at once; that it has is read
// from the builtins module, which it made deferred at startup.  Nothing in between can
// stop this thread for the collector (no call into the host), so the object cannot be
// missed by the host's pass that makes them immortal.  Writes the public free-threaded
// object header (ob_gc_bits, ob_ref_local, ob_ref_shared); the values are the host's
// private _PyGC_BITS_DEFERRED (64) and _Py_REF_QUEUED (2) of 3.13.
int PyUnstable_Object_EnableDeferredRefcount(PyObject* object) noexcept {
    constexpr std::uint8_t deferred_reference_counting = 64;
    constexpr Py_ssize_t queued = 2;
    if (!PyObject_IS_GC(object) || !_Py_IsOwnedByCurrentThread(object) ||
        object->ob_ref_shared != 0 || _Py_IsImmortal(object) ||
        (object->ob_gc_bits & deferred_reference_counting))
        return 0;
    frame::Ref builtins = frame::builtins_module();
    if (!builtins) {
        PyErr_Clear();
        return 0;
    }
    if (_Py_IsImmortal(builtins.get())) {
        // As the host's _Py_SetImmortal: out of the collector's care, then immortal (a count
        // past 32 bits set by its owner makes an object immortal on 3.13t).
        PyObject_GC_UnTrack(object);
        Py_SET_REFCNT(object, static_cast<Py_ssize_t>(UINT32_MAX) + 1);
        return 1;
    }
    std::atomic_ref<std::uint8_t>(object->ob_gc_bits)
        .fetch_or(deferred_reference_counting, std::memory_order_relaxed);
    object->ob_ref_local += 1;
    object->ob_ref_shared = queued;
    return 1;
}
#endif
