// The parts of the host switches that are more than one call (see host.hpp).
#include "host.hpp"
#include "ref.hpp"

#include <cstddef>
#include <cstring>

namespace frame {
namespace host {

PyObject* join_texts(PyObject* separator, PyObject* const* texts, Py_ssize_t count) noexcept {
#if FRAME_HOST_AT_LEAST(13)
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(texts[i]).release());
    return PyUnicode_Join(separator, tuple.get());
#else
    return _PyUnicode_JoinArray(separator, const_cast<PyObject**>(texts), count);
#endif
}

PyObject* new_function_code(const char* filename, const char* name, const char* qualname,
                            int first_line, int params, PyObject* varnames) noexcept {
    // The host's own empty code object, given the function's parameters and locals.
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, name, first_line)));
    Ref replace = empty ? Ref::steal(PyObject_GetAttrString(empty.get(), "replace")) : nullptr;
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref fields = Ref::steal(PyDict_New());
    if (!replace || !no_args || !fields) return nullptr;
    const auto set = [&](const char* field, PyObject* value) {
        return value && PyDict_SetItemString(fields.get(), field, value) == 0;
    };
    const bool filled =
        set("co_argcount", Ref::steal(PyLong_FromLong(params)).get()) &&
        set("co_nlocals", Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames))).get()) &&
        set("co_varnames", varnames) &&
        set("co_flags", Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS)).get())
#if FRAME_HOST_AT_LEAST(11)
        && set("co_qualname", Ref::steal(PyUnicode_FromString(qualname)).get())
#endif
        ;
    (void)qualname;
    if (!filled) return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), fields.get());
}

HandledSlot take_raised_for_handling() noexcept {
    HandledSlot taken;
#if FRAME_HOST_AT_LEAST(12)
    taken.value = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyException_SetTraceback(value, traceback ? traceback : Py_None);
#if FRAME_HOST_AT_LEAST(11)
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    taken.value = value;
#else
    taken.type = type;
    taken.value = value;
    taken.traceback = traceback;
#endif
#endif
    return taken;
}

HandledSlot exchange_handled(HandledSlot content) noexcept {
    _PyErr_StackItem* slot = PyThreadState_Get()->exc_info;
    HandledSlot held;
    held.value = slot->exc_value;
    slot->exc_value = content.value;
#if !FRAME_HOST_AT_LEAST(11)
    held.type = slot->exc_type;
    held.traceback = slot->exc_traceback;
    slot->exc_type = content.type;
    slot->exc_traceback = content.traceback;
#endif
    return held;
}

void release(HandledSlot content) noexcept {
    Py_XDECREF(content.value);
#if !FRAME_HOST_AT_LEAST(11)
    Py_XDECREF(content.type);
    Py_XDECREF(content.traceback);
#endif
}

namespace {

#if FRAME_HOST_AT_LEAST(12)
// A function of sys.monitoring, found at the first use and kept: a function of the host's
// own (a builtin), else null, and the answers that depend on it say "watched".
PyObject* monitoring_function(PyObject*& kept, const char* name) noexcept {
    if (kept) return kept;
    PyObject* monitoring = PySys_GetObject("monitoring");
    PyObject* function = monitoring ? PyObject_GetAttrString(monitoring, name) : nullptr;
    if (function && !PyCFunction_CheckExact(function)) Py_CLEAR(function);
    PyErr_Clear();
    kept = function;
    return kept;
}

// Whether a monitoring call's answer says that no event is set: an exact int 0.
bool no_events(PyObject* function, PyObject* const* args, std::size_t count) noexcept {
    Ref events = function ? Ref::steal(PyObject_Vectorcall(function, args, count, nullptr)) : nullptr;
    const bool none = events && PyLong_CheckExact(events.get()) && PyLong_AsLong(events.get()) == 0;
    PyErr_Clear();
    return none;
}

constexpr int monitoring_tool_ids = 6;  // sys.monitoring's tools are numbered 0 to 5
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
    const _PyCoMonitoringData* monitoring =
        reinterpret_cast<PyCodeObject*>(code)->_co_monitoring;
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

// Whether a tool has any event set for every code object, from the host's own summary.
bool has_global_events() noexcept {
    static PyMonitoringState states[ungrouped_events];
    static std::uint8_t events[ungrouped_events];
    static std::uint64_t version = 0;
    static bool ready = false;
    if (!ready) {
        for (std::uint8_t e = 0; e < ungrouped_events; ++e) events[e] = e;
        ready = true;
    }
    if (PyMonitoring_EnterScope(states, &version, events, ungrouped_events) < 0 ||
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

namespace {

// The start of the host's keys table of a dict, as far as has_text_keys_only reads it.
#if FRAME_HOST_AT_LEAST(11)
struct KeysHead {
    Py_ssize_t refcount;
    std::uint8_t log2_size, log2_index_bytes, kind;
};
constexpr std::uint8_t general_keys = 0;  // the host's DICT_KEYS_GENERAL
constexpr std::uint8_t text_keys = 1;     // DICT_KEYS_UNICODE
#else
struct KeysHead {
    Py_ssize_t refcount, size;
    void* lookup;
};
#endif

const KeysHead& keys_head(PyObject* dict) noexcept {
    return *reinterpret_cast<const KeysHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

// What a table of text keys looks like on this host, learnt from dicts made for the
// purpose (up to 3.10: the two lookup functions such tables use, one before and one after
// a deletion); `readable` stays false unless every probe gave the expected answer.
struct TextKeysRecord {
    bool learnt = false, readable = false;
#if !FRAME_HOST_AT_LEAST(11)
    void* lookups[2] = {};
#endif
};
TextKeysRecord text_keys_record;

void learn_text_keys_record() noexcept {
    text_keys_record.learnt = true;
    RaisedException pending = fetch_raised();
    Ref texts = Ref::steal(PyDict_New());
    Ref others = Ref::steal(PyDict_New());
    Ref one = Ref::steal(PyLong_FromLong(1));
    const bool made = texts && others && one &&
                      PyDict_SetItemString(texts.get(), "a", one.get()) == 0 &&
                      PyDict_SetItemString(texts.get(), "b", one.get()) == 0 &&
                      PyDict_SetItem(others.get(), one.get(), one.get()) == 0;
    if (made) {
#if FRAME_HOST_AT_LEAST(11)
        text_keys_record.readable = keys_head(texts.get()).kind == text_keys &&
                                    keys_head(others.get()).kind == general_keys;
#else
        void* const fresh = keys_head(texts.get()).lookup;
        void* const general = keys_head(others.get()).lookup;
        if (PyDict_DelItemString(texts.get(), "a") == 0) {
            void* const after_deletion = keys_head(texts.get()).lookup;
            text_keys_record.lookups[0] = fresh;
            text_keys_record.lookups[1] = after_deletion;
            text_keys_record.readable = fresh && after_deletion && general &&
                                        fresh != general && after_deletion != general;
        }
#endif
    }
    PyErr_Clear();
    restore_raised(pending);
}

}  // namespace

bool has_text_keys_only(PyObject* dict) noexcept {
    if constexpr (!gil_guards_shared_state) return false;  // the probe and the keys table
    if (!text_keys_record.learnt) learn_text_keys_record();
    if (!text_keys_record.readable || reinterpret_cast<PyDictObject*>(dict)->ma_values)
        return false;
#if FRAME_HOST_AT_LEAST(11)
    return keys_head(dict).kind == text_keys;
#else
    void* const lookup = keys_head(dict).lookup;
    return lookup == text_keys_record.lookups[0] || lookup == text_keys_record.lookups[1];
#endif
}

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

}  // namespace host

#if FRAME_HOST_AT_LEAST(12)
// Version tags from dict watchers.  A watched dict has an entry here with the tag of its
// current state; the watcher gives the entry a new tag before each change of the dict and
// drops it when the dict goes away.  Tags come from one counter, so no two states of any
// dicts share one; the counter also moves on when a watched dict goes away, so that its
// last value (the watched epoch) changes with every event of every watched dict.  The
// entries form a small open-addressing table keyed on the dict's address (linear probing,
// half full at most), so that a tag is found in a step or two.
namespace {

struct Watched {
    PyObject* dict = nullptr;  // identity only; null: a free slot
    std::uint64_t tag = 0;
};

constexpr std::size_t table_size = 128;  // a power of two
constexpr std::size_t max_watched = table_size / 2;
Watched watched[table_size];
std::size_t watched_count = 0;

std::uint64_t new_tag() noexcept { return ++detail::last_watched_tag; }

std::size_t home_slot(PyObject* dict) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(dict);
    return static_cast<std::size_t>((address >> 4) ^ (address >> 11)) & (table_size - 1);
}

// The slot holding `dict`, or the free slot where it would go.
std::size_t slot_of(PyObject* dict) noexcept {
    std::size_t slot = home_slot(dict);
    while (watched[slot].dict && watched[slot].dict != dict) slot = (slot + 1) & (table_size - 1);
    return slot;
}

// Empties `slot` and moves later entries of its run back, so that every entry stays
// reachable from its home slot.
void free_slot(std::size_t slot) noexcept {
    watched[slot] = {};
    for (std::size_t next = (slot + 1) & (table_size - 1); watched[next].dict;
         next = (next + 1) & (table_size - 1)) {
        const std::size_t home = home_slot(watched[next].dict);
        const bool reachable = slot <= next ? (slot < home && home <= next)
                                            : (slot < home || home <= next);
        if (reachable) continue;
        watched[slot] = watched[next];
        watched[next] = {};
        slot = next;
    }
    --watched_count;
}

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
    const std::size_t slot = slot_of(dict);
    if (!watched[slot].dict) return 0;
    const std::uint64_t tag = new_tag();  // the epoch moves on with every event
    if (event == PyDict_EVENT_DEALLOCATED)
        free_slot(slot);
    else
        watched[slot].tag = tag;
    return 0;
}

// A dict watcher of this module, registered with `callback` at the first use; false when the
// host has no watcher to give (every watcher slot taken).
struct Watcher {
    int id = -1;
    bool refused = false;

    bool ready(PyDict_WatchCallback callback) noexcept {
        if (id >= 0) return true;
        if (refused) return false;
        host::RaisedException pending = host::fetch_raised();
        id = PyDict_AddWatcher(callback);
        if (id < 0) {
            refused = true;
            PyErr_Clear();
        }
        host::restore_raised(pending);
        return id >= 0;
    }
};
Watcher tags_watcher;

std::uint64_t watch(PyObject* dict, std::size_t slot) noexcept {
    if (watched_count == max_watched || !PyDict_Check(dict) ||
        !tags_watcher.ready(on_dict_event))
        return new_tag();
    if (PyDict_Watch(tags_watcher.id, dict) < 0) {
        PyErr_Clear();
        return new_tag();
    }
    watched[slot] = {dict, new_tag()};
    ++watched_count;
    return watched[slot].tag;
}

}  // namespace

std::uint64_t version_tag(PyObject* dict) noexcept {
    const std::size_t slot = slot_of(dict);
    return watched[slot].dict ? watched[slot].tag : watch(dict, slot);
}

bool is_watched(PyObject* dict) noexcept { return watched[slot_of(dict)].dict != nullptr; }

namespace detail {
std::uint64_t last_watched_tag = 0;
}

// The second watcher, for content marks: it counts the events of every dict it was given.
namespace {
Watcher marks_watcher;
std::uint64_t mark_events = 1;

int count_mark_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++mark_events;
    return 0;
}

}  // namespace

bool ContentMark::take(PyObject* dict) noexcept {
    value_ = 0;
    if constexpr (!host::gil_guards_shared_state) return false;  // the watcher's counter
    if (reinterpret_cast<PyDictObject*>(dict)->ma_values || !marks_watcher.ready(count_mark_event))
        return false;
    if (PyDict_Watch(marks_watcher.id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    value_ = mark_events;
    return true;
}

bool ContentMark::held(PyObject*) const noexcept { return value_ != 0 && value_ == mark_events; }
#else
bool ContentMark::take(PyObject* dict) noexcept {
    if (reinterpret_cast<PyDictObject*>(dict)->ma_values) return false;
    value_ = version_tag(dict);
    return true;
}

bool ContentMark::held(PyObject* dict) const noexcept { return version_tag(dict) == value_; }
#endif

}  // namespace frame
