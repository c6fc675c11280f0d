// Durations and display times made natively; see native_datetime.hpp.
#include "tavimo/brasco/native_datetime.hpp"

#include "tavimo/brasco/display_time.hpp"
#include "module_frame/frame.hpp"
#include "module_frame/host.hpp"
#include "module_frame/ops.hpp"

#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace tavimo::native_datetime {

using frame::Constant;
using frame::entry_or_null;
using frame::Ref;

namespace {

Constant k_builtins_name("__builtins__");
Constant k_import("__import__");
Constant k_time("time");
Constant k_spec("__spec__");
Constant k_initializing("_initializing");
Constant k_strftime("strftime");
Constant k_struct_time("struct_time");
Constant k_capsule("datetime_CAPI");
Constant k_datetime_module("datetime");
Constant k_datetime_c_module("_datetime");

// The repr slot that every struct sequence type of the host shares (found at import).
reprfunc struct_sequence_repr = nullptr;

// The conditions below are kept between calls with the states of the namespaces they were
// read from, and those states also tell whether a read ran code that changed what an
// earlier read found.
//
// Without the GIL each thread keeps the facts on its own (thread_local below), the states
// are the watched epoch (dict_states.hpp), and the facts are read afresh with strong
// references.  A check reads what it needs of the remembered objects (whether `__builtins__`
// is still an exact module, the class and namespace of time.__spec__) between two reads of
// the epoch that agree: no change of a watched dict began meanwhile, so each of them was
// still held by its watched namespace, and alive, while it was read.  The time locale is
// the process's, read as the host's strftime reads it.
#if FRAME_FREE_THREADED
#define PER_THREAD thread_local
#else
#define PER_THREAD
#endif

// dict[key] as a new reference; null, without an error, when missing or on failure.
Ref entry(PyObject* dict, PyObject* key) noexcept {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) PyErr_Clear();
    return Ref::steal(value);
}

// The datetime C interface held by a module that the registry holds, or null.
PyDateTime_CAPI* interface_in(PyObject* module_name) noexcept {
    PyObject* module = entry_or_null(PyImport_GetModuleDict(), module_name);
    if (!module || !PyModule_CheckExact(module)) return nullptr;
    PyObject* capsule = entry_or_null(PyModule_GetDict(module), k_capsule);
    if (!capsule || !PyCapsule_IsValid(capsule, PyDateTime_CAPSULE_NAME)) return nullptr;
    return static_cast<PyDateTime_CAPI*>(PyCapsule_GetPointer(capsule, PyDateTime_CAPSULE_NAME));
}

// ---------------------------------------------------------------------------------------
// What the host's strftime runs
//
// datetime.strftime (a C method of the host's own class) calls self.timetuple(), which
// builds the struct_time, and then time.strftime(format, timetuple).  It reaches both
// through the host's import of `time` by name, twice: that calls `__import__` from the
// `__builtins__` of the calling Python frame's globals (a native function has no frame of
// its own), which finds `time` in the module registry and, since it is there, only asks
// its `__spec__._initializing`; the module is then taken from the registry again and its
// `struct_time` and `strftime` attributes are called.  The native rendering equals all of
// that, and none of it runs Python code, when:
//
//   1. the calling frame's globals are an exact dict whose `__builtins__` is an exact
//      module or an exact dict holding the host's own `__import__`;
//   2. the registry's `time` is an exact module (no attribute access of its own) made by
//      the host's `time` module definition;
//   3. its namespace holds a settled `__spec__`: `_initializing` is missing or False, and
//      reading it runs no code (the generic attribute lookup, no class attribute of that
//      name);
//   4. its `strftime` is the host's own C function and its `struct_time` a struct sequence
//      type named "time.struct_time" (only C code makes one) of the plain metaclass;
//   5. the time locale is "C" or "POSIX", whose day and month names the renderer writes.

frame::HostFunction host_import("builtins", "__import__");
frame::HostFunction host_strftime("time", "strftime");

// Condition 1 as last found to hold: for these globals, whose `__builtins__` was this module
// (or dict) with this namespace, while both namespaces are unchanged.  From 3.12 that means
// watching the caller's globals: each later change of them costs a call of the watcher, and
// where they keep changing (a loop at a module's top level) the facts are read afresh.
struct ImportSettled {
    PyObject* globals = nullptr;   // identity only: compared with the frame's
    PyObject* builtins = nullptr;  // held by the globals while they are unchanged
    PyObject* names = nullptr;
    frame::DictStates<2> states;  // of the globals and the names
};
PER_THREAD ImportSettled import_settled;

// Condition 1.
bool import_is_the_hosts() noexcept {
    PyObject* globals = PyEval_GetGlobals();
    if (!globals || !PyDict_CheckExact(globals)) return false;
    ImportSettled& was = import_settled;
#if FRAME_FREE_THREADED
    if (globals == was.globals) {
        const std::uint64_t epoch = frame::watched_epoch();
        if (was.states.held({globals, was.names}) &&
            (was.builtins == was.names || PyModule_CheckExact(was.builtins)) &&
            frame::epoch_still(epoch))
            return true;
    }
#else
    if (globals == was.globals && was.states.held({globals, was.names}) &&
        (was.builtins == was.names || PyModule_CheckExact(was.builtins)))
        return true;
#endif
    was.globals = nullptr;
    Ref builtins = entry(globals, k_builtins_name);
    PyObject* names = nullptr;  // held by builtins
    if (builtins && PyModule_CheckExact(builtins.get()))
        names = PyModule_GetDict(builtins.get());
    else if (builtins && PyDict_CheckExact(builtins.get()))
        names = builtins.get();
    if (!names) return false;
    // Taken after the one read of the globals (what it found is what they hold now) and
    // before the read of the names, which could run code that changes either.
    frame::DictStates<2> states;
    states.take({globals, names});
    // Without the GIL another thread may have rebound `__builtins__` before the states were
    // taken: the globals must still hold what was read.
    if constexpr (FRAME_FREE_THREADED)
        if (entry(globals, k_builtins_name).get() != builtins.get()) return false;
    if (!host_import.is(entry(names, k_import).get()) || !states.held({globals, names}))
        return false;
    was.globals = globals;
    was.builtins = builtins.get();
    was.names = names;
    was.states = states;
    return true;
}

// The instance namespace of `object`, or null when it has none (new reference).
Ref instance_names(PyObject* object) noexcept {
    Ref names = Ref::steal(PyObject_GenericGetDict(object, nullptr));
    if (!names) PyErr_Clear();
    return names;
}

// Condition 3, with `own` the instance namespace of time.__spec__ (null: it has none, so
// there is nothing there to find).
bool spec_is_settled(PyObject* spec, PyObject* own) noexcept {
    PyTypeObject* type = Py_TYPE(spec);
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        frame::host::class_attribute(type, k_initializing))
        return false;
    if (!own) return true;
    if (!PyDict_CheckExact(own)) return false;
    PyObject* initializing = entry_or_null(own, k_initializing);
    return !initializing || initializing == Py_False;
}

// Condition 4, struct_time.
bool is_struct_time_type(PyObject* candidate) noexcept {
    if (!candidate || Py_TYPE(candidate) != &PyType_Type) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(candidate);
    return struct_sequence_repr && type->tp_repr == struct_sequence_repr &&
           std::strcmp(type->tp_name, "time.struct_time") == 0;
}

// Conditions 2 to 4 as last found to hold, with the states they hold under: the registry's,
// the time module's namespace's and that of its __spec__ (the class of time.__spec__ by its
// own version tag).
struct TimeSettled {
    bool valid = false;
    PyObject* time = nullptr;        // held by the registry while it is unchanged
    PyObject* spec = nullptr;        // time.__spec__, held by time's namespace while unchanged
    PyObject* spec_names = nullptr;  // null when time.__spec__ has no instance namespace
    PyTypeObject* spec_class = nullptr;
    frame::DictStates<1> registry, time_names;
    frame::DictStates<1> spec_state;  // of spec_names, where instance namespaces are tagged
    unsigned int spec_class_version = 0;
};
PER_THREAD TimeSettled time_settled;

#if !FRAME_FREE_THREADED
// The own namespace of the settled time.__spec__: by its state where the host keeps one
// for instance namespaces, else read again.
bool spec_names_hold(PyObject* names) noexcept {
    if constexpr (frame::host::instance_dicts_are_tagged)
        return time_settled.spec_state.held({names});
    PyObject* initializing = entry_or_null(names, k_initializing);
    return !initializing || initializing == Py_False;
}
#endif

// Conditions 2 to 4, read afresh.
bool settle_time() noexcept {
    TimeSettled& settled = time_settled;
    settled.valid = false;
    PyObject* modules = PyImport_GetModuleDict();
    Ref time = entry(modules, k_time);
    if (!time || !PyModule_CheckExact(time.get())) return false;
    const PyModuleDef* def = PyModule_GetDef(time.get());
    if (!def || !def->m_name || std::strcmp(def->m_name, "time") != 0) return false;
    // The states are taken after the one read of the registry (what it found is what it
    // holds now) and before the reads of time's namespace: a read can run code (a key's
    // __eq__) that changes what an earlier one found, so the facts hold only where neither
    // changed meanwhile, and time.__spec__ is looked at only once that is known.
    frame::DictStates<1> registry, time_names;
    PyObject* names = PyModule_GetDict(time.get());
    registry.take({modules});
    time_names.take({names});
    // Without the GIL another thread may have changed the registry before its state was
    // taken: it must still hold what was read.
    if constexpr (FRAME_FREE_THREADED)
        if (entry(modules, k_time).get() != time.get()) return false;
    Ref spec = entry(names, k_spec);
    const bool host_strftime_found = host_strftime.is(entry(names, k_strftime).get());
    const bool struct_time_found = is_struct_time_type(entry(names, k_struct_time).get());
    if (!spec || !host_strftime_found || !struct_time_found) return false;
    if (!registry.held({modules}) || !time_names.held({names})) return false;
    PyTypeObject* spec_class = Py_TYPE(spec.get());
    const unsigned int spec_class_version = frame::host::type_version(spec_class);
    Ref spec_names = instance_names(spec.get());
    if (spec_names && !PyDict_CheckExact(spec_names.get())) return false;
    // Without the GIL a check finds the namespace of time.__spec__ by the pointer the host
    // keeps for the class, without a reference (see time_is_the_hosts).
#if FRAME_FREE_THREADED
    if (!spec_names || !frame::host::instance_namespace_is(spec.get(), spec_names.get()))
        return false;
#endif
    if (spec_names) settled.spec_state.take({spec_names.get()});
    if (!spec_is_settled(spec.get(), spec_names.get())) return false;
    if (!registry.held({modules}) || !time_names.held({names}) ||
        (spec_names && !settled.spec_state.held({spec_names.get()})))
        return false;
    // Without a class version tag the facts hold now but cannot be reused.
    settled.valid = spec_class_version != 0;
    settled.spec_class_version = spec_class_version;
    settled.time = time.get();
    settled.spec = spec.get();
    settled.spec_names = spec_names.get();
    settled.spec_class = spec_class;
    settled.registry = registry;
    settled.time_names = time_names;
    return true;
}

// Conditions 2 to 4: what was settled still holds while the registry, the time module's
// namespace, the namespace of time.__spec__ and its class are unchanged; the registry holds
// the time module while it is unchanged, and so on inwards.
#if FRAME_FREE_THREADED
bool time_is_the_hosts() noexcept {
    TimeSettled& was = time_settled;
    if (was.valid) {
        const std::uint64_t epoch = frame::watched_epoch();
        // The class is looked into only once it is known to be the settled one (the
        // __spec__ read here may be gone, if the epoch has moved meanwhile).
        if (was.registry.held({PyImport_GetModuleDict()}) &&
            was.time_names.held({PyModule_GetDict(was.time)}) &&
            was.spec_state.held({was.spec_names}) && PyModule_CheckExact(was.time) &&
            Py_TYPE(was.spec) == was.spec_class &&
            frame::host::type_version(was.spec_class) == was.spec_class_version &&
            frame::host::managed_namespace_is(was.spec, was.spec_names) &&
            frame::epoch_still(epoch))
            return true;
    }
    return settle_time();
}
#else
bool time_is_the_hosts() noexcept {
    TimeSettled& was = time_settled;
    if (was.valid && was.registry.held({PyImport_GetModuleDict()}) &&
        PyModule_CheckExact(was.time) && was.time_names.held({PyModule_GetDict(was.time)}) &&
        Py_TYPE(was.spec) == was.spec_class &&
        frame::host::type_version(was.spec_class) == was.spec_class_version) {
        Ref spec_names = instance_names(was.spec);
        if (spec_names.get() == was.spec_names &&
            (!spec_names || spec_names_hold(spec_names.get())))
            return true;
    }
    return settle_time();
}
#endif

}  // namespace

void find_interface() noexcept {
    PyDateTimeAPI = interface_in(k_datetime_c_module);
    if (!PyDateTimeAPI) PyDateTimeAPI = interface_in(k_datetime_module);
    if (Ref info = Ref::steal(PyFloat_GetInfo()))
        struct_sequence_repr = Py_TYPE(info.get())->tp_repr;
    PyErr_Clear();
}

bool is_host_datetime(PyObject* cls) noexcept {
    return PyDateTimeAPI && cls == reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType);
}

Ref duration(PyObject* timedelta, PyObject* seconds) noexcept {
    if (!PyDateTimeAPI || timedelta != reinterpret_cast<PyObject*>(PyDateTimeAPI->DeltaType) ||
        !PyLong_CheckExact(seconds))
        return nullptr;
    int overflow = 0;
    const long long total = PyLong_AsLongLongAndOverflow(seconds, &overflow);
    if (overflow) return nullptr;
    constexpr long long day = 86400, max_days = 999999999;
    long long days = total / day, rest = total % day;
    if (rest < 0) rest += day, --days;
    if (days > max_days || days < -max_days) return nullptr;
    return Ref::steal(PyDateTimeAPI->Delta_FromDelta(static_cast<int>(days), static_cast<int>(rest),
                                                     0, 1, PyDateTimeAPI->DeltaType));
}

bool is_duration(PyObject* value) noexcept { return PyDateTimeAPI && PyDelta_CheckExact(value); }

Ref duration_text(PyObject* value) noexcept {
    if (!is_duration(value)) return nullptr;
    const int days = PyDateTime_DELTA_GET_DAYS(value);
    const int seconds = PyDateTime_DELTA_GET_SECONDS(value);
    const int microseconds = PyDateTime_DELTA_GET_MICROSECONDS(value);
    char text[48];
    char* out = text;
    auto put_digits = [&](int number, int width) {
        char digits[12];
        const auto written = std::to_chars(digits, digits + sizeof digits, number);
        for (auto length = written.ptr - digits; length < width; ++length) *out++ = '0';
        out = std::copy(digits, written.ptr, out);
    };
    auto put = [&](const char* piece) {
        while (*piece) *out++ = *piece++;
    };
    if (days) {
        put_digits(days, 1);
        put(days == 1 || days == -1 ? " day, " : " days, ");
    }
    put_digits(seconds / 3600, 1);
    put(":");
    put_digits(seconds / 60 % 60, 2);
    put(":");
    put_digits(seconds % 60, 2);
    if (microseconds) {
        put(".");
        put_digits(microseconds, 6);
    }
    return frame::ascii_text(text, out - text);
}

namespace {
// The rendering, for whichever check covers it.
bool render_text(PyObject* datetime, PyObject* text, Py_ssize_t length, char (&out)[16]) noexcept {
    return is_host_datetime(datetime) && PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text) &&
           length >= 0 && length <= PyUnicode_GET_LENGTH(text) &&
           display_time::render_in_c_locale(static_cast<const char*>(PyUnicode_DATA(text)),
                                            static_cast<std::size_t>(length), out);
}
}  // namespace

bool render(StrftimeChecked, PyObject* datetime, PyObject* text, Py_ssize_t length,
            char (&out)[16]) noexcept {
    return render_text(datetime, text, length, out);
}

std::optional<StrftimeChecked> render(PyObject* datetime, PyObject* text, Py_ssize_t length,
                                      char (&out)[16]) noexcept {
    // The text first: the rendering reads only it, and most texts that fail fail there.
    if (!render_text(datetime, text, length, out)) return std::nullopt;
    return check_strftime();
}

std::optional<StrftimeChecked> check_strftime() noexcept {
    if (display_time::time_locale_is_c() && import_is_the_hosts() && time_is_the_hosts())
        return StrftimeChecked();
    return std::nullopt;
}

}  // namespace tavimo::native_datetime
