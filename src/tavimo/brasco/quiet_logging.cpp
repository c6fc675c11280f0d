// Debug records that nobody will see; see quiet_logging.hpp.
//
// The host's logging.debug(msg), on every CPython from 3.8 to 3.15, is
//
//     def debug(msg, *args, **kwargs):            # module function
//         if len(root.handlers) == 0:
//             basicConfig()
//         root.debug(msg, *args, **kwargs)
//
//     def debug(self, msg, *args, **kwargs):      # Logger.debug
//         if self.isEnabledFor(DEBUG):
//             self._log(DEBUG, msg, args, **kwargs)
//
//     def isEnabledFor(self, level):              # Logger.isEnabledFor
//         if self.disabled:
//             return False
//         try:
//             return self._cache[level]
//         except KeyError:
//             ...                                 # fills the cache under the module lock
//
// It does nothing but return None, and nothing outside it can tell that it ran, when all of
// the following hold (checked by debug_does_nothing, right before the call):
//
//  1. `debug` is the host's function itself, still running its own code; so are
//     Logger.debug and Logger.isEnabledFor as the root logger's class finds them.
//  2. Its globals (logging's namespace) hold no `len` of their own, and the builtins its code
//     reads hold the host's `len`; `root` is an instance of the host's RootLogger, and
//     `DEBUG` an exact int.  Reading these names then runs no code.
//  3. The root logger reads its attributes the plain way: its class has the generic
//     attribute lookup and no class attribute named handlers, disabled or _cache, and its
//     own namespace holds no debug or isEnabledFor that would hide the methods.
//  4. root.handlers is an exact, non-empty list (an empty one makes the call run
//     basicConfig()); root.disabled is False; root._cache is an exact dict of exact ints that
//     maps DEBUG to False.  The cache is only ever read then: a miss would fill it under the
//     logging lock, so the real call is made instead.
//  5. Nothing watches the three frames run: no profile or trace function, no monitoring
//     tool with events (from 3.12), and the call would not come near the recursion limit.
//
// What the skipped call would leave behind at most is a chance for the interpreter to run
// pending signal handlers and switch threads; both happen at the next Python code instead,
// as they would had the signal come a moment later.
//
// The facts of conditions 2 to 4, and which methods the root logger's class finds, are
// remembered with the states of the namespaces and the version tag of the class they come
// from, and are read afresh when any of them changed; the rest is checked every time.
//
// Without the GIL (a free-threaded host) each thread remembers the facts on its own, so that
// no thread writes what another reads.  The states are the watched epoch (dict_states.hpp):
// logging's namespace, the builtins, the root logger's namespace (told of every store on
// 3.13t, which does not specialise, and from 3.14) and its level cache are watched, and the
// facts were read while none of them changed.  What a check then reads of the remembered
// objects (the root logger's class and namespace, the handlers list's length, the version
// tag of the class) lies between two reads of the epoch that give the same value: no
// change of a watched dict began in between, so the objects they hold were alive and still
// theirs while read.  Reading the facts afresh takes strong references and walks the level
// cache inside its critical section.
#include "tavimo/brasco/quiet_logging.hpp"

#include "module_frame/frame.hpp"
#include "module_frame/host.hpp"

namespace tavimo::quiet_logging {

using frame::Constant;
using frame::entry_or_null;
using frame::ProcessRef;
using frame::Ref;
using frame::host::class_attribute;

namespace {

Constant k_debug("debug");
Constant k_is_enabled_for("isEnabledFor");
Constant k_root("root");
Constant k_root_logger("RootLogger");
Constant k_logger("Logger");
Constant k_len("len");
Constant k_level_debug("DEBUG");
Constant k_handlers("handlers");
Constant k_disabled("disabled");
Constant k_cache("_cache");
Constant k_file("__file__");

// What the host's logging module was at import.
struct HostLogging {
    ProcessRef module;          // held, so that the namespace below stays alive
    PyObject* names = nullptr;  // its namespace
    ProcessRef debug, logger_debug, is_enabled_for, root_logger_class;
    ProcessRef code_holders[3];
    PyObject* codes[3] = {};  // the code objects of the three functions, as held above
};
HostLogging host;
bool remembered = false;

// Facts of conditions 2 to 4, as last found, with the version tags they hold under.
struct Settled {
    bool valid = false;            // may be reused while the tags hold
    PyObject* builtins = nullptr;  // the namespace debug's code reads builtins from
    PyObject* root = nullptr;      // borrowed: held by logging's namespace while its tag holds
    PyObject* root_names = nullptr;
    PyObject* cache = nullptr;
    PyObject* handlers = nullptr;
    frame::DictStates<2> namespaces;  // logging's and the builtins'
    frame::DictStates<1> root_state;  // the root logger's, where instance namespaces are tagged
    frame::DictStates<1> cache_state;
    unsigned int class_version = 0;
};
#if FRAME_FREE_THREADED
thread_local Settled settled;  // each thread's own: see above
#else
Settled settled;
#endif

// A function of logging's own source, as the host defined it.
bool is_logging_function(PyObject* function, PyObject* names, const char* name) noexcept {
    if (!function || !PyFunction_Check(function) || PyFunction_GET_GLOBALS(function) != names)
        return false;
    PyObject* code = PyFunction_GET_CODE(function);
    PyObject* file = entry_or_null(names, k_file);
    return file && PyUnicode_Check(file) &&
           PyUnicode_Compare(frame::host::code_file_name(code), file) == 0 &&
           PyUnicode_CompareWithASCIIString(frame::host::code_name(code), name) == 0;
}

frame::HostFunction host_len("builtins", "len");

// Condition 1 for the methods: what the root logger's class finds (remembered with the
// class's version tag), and the code they run (a function's code can be replaced without
// its class knowing).
bool methods_are_found(PyTypeObject* cls) noexcept {
    return class_attribute(cls, k_debug) == host.logger_debug.get() &&
           class_attribute(cls, k_is_enabled_for) == host.is_enabled_for.get();
}

// The root logger's class: the host's RootLogger, reading attributes the plain way and
// finding the host's methods (conditions 1 and 3 for the class).
bool is_plain_root_logger_class(PyTypeObject* cls) noexcept {
    return reinterpret_cast<PyObject*>(cls) == host.root_logger_class.get() &&
           cls->tp_getattro == PyObject_GenericGetAttr && !class_attribute(cls, k_handlers) &&
           !class_attribute(cls, k_disabled) && !class_attribute(cls, k_cache) &&
           methods_are_found(cls);
}

// The namespace debug's code reads builtins from, where it is an exact dict; else null.
PyObject* builtins_of_debug() noexcept {
    PyObject* builtins = frame::host::function_builtins(host.debug.get());
    return builtins && PyDict_CheckExact(builtins) ? builtins : nullptr;
}

bool methods_run_their_own_code() noexcept {
    return PyFunction_GET_CODE(host.logger_debug.get()) == host.codes[1] &&
           PyFunction_GET_CODE(host.is_enabled_for.get()) == host.codes[2];
}

#if !FRAME_FREE_THREADED
// The root logger's own namespace: no debug or isEnabledFor of its own, disabled False,
// handlers an exact list and _cache an exact dict.
bool root_names_hold(PyObject* names) noexcept {
    PyObject* handlers = entry_or_null(names, k_handlers);
    PyObject* cache = entry_or_null(names, k_cache);
    return !entry_or_null(names, k_debug) && !entry_or_null(names, k_is_enabled_for) &&
           entry_or_null(names, k_disabled) == Py_False && handlers &&
           PyList_CheckExact(handlers) && cache && PyDict_CheckExact(cache);
}

// The same, for the namespace that was settled: by its version tag where the host keeps it
// for instance namespaces, else read again (and still holding the settled list and cache).
bool settled_root_names_hold() noexcept {
    if constexpr (frame::host::instance_dicts_are_tagged)
        return settled.root_state.held({settled.root_names});
    return root_names_hold(settled.root_names) &&
           entry_or_null(settled.root_names, k_handlers) == settled.handlers &&
           entry_or_null(settled.root_names, k_cache) == settled.cache;
}
#endif

// Conditions 2 to 4, read afresh; fills `settled` when they hold.  The states of the
// namespaces are taken before their first read: a read can run code (a key's __eq__) that
// changes what an earlier read found, so the facts hold only where none of them changed
// meanwhile, and what was read is used only after that is known.
#if FRAME_FREE_THREADED
// entry_or_null with a strong reference, for a fact read afresh without the GIL: another
// thread may take the value out of the dict right after the lookup.
Ref entry_ref(PyObject* dict, PyObject* key) noexcept {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) PyErr_Clear();
    return Ref::steal(value);
}

// Whether the level cache `cache` maps only exact ints, and `level` to False; walked inside
// its critical section, as the host walks a dict another thread may change.
bool cache_says_debug_is_off(PyObject* cache, PyObject* level) noexcept {
    frame::host::CriticalSection locked(cache);
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(cache, &position, &key, &value))
        if (!PyLong_CheckExact(key)) return false;
    return entry_or_null(cache, level) == Py_False;
}

bool settle() noexcept {
    settled.valid = false;
    PyObject* names = host.names;
    PyObject* builtins = builtins_of_debug();
    if (!builtins) return false;
    frame::DictStates<2> namespaces;
    namespaces.take({names, builtins});
    Ref root = entry_ref(names, k_root);
    Ref level = entry_ref(names, k_level_debug);
    const bool own_len = bool(entry_ref(names, k_len));
    const bool host_len_found = host_len.is(entry_ref(builtins, k_len).get());
    if (!namespaces.held({names, builtins}) || own_len || !host_len_found || !root || !level ||
        !PyLong_CheckExact(level.get()))
        return false;
    auto* cls = Py_TYPE(root.get());
    if (!is_plain_root_logger_class(cls)) return false;
    const unsigned int class_version = frame::host::type_version(cls);
    Ref root_names = Ref::steal(PyObject_GenericGetDict(root.get(), nullptr));
    if (!root_names) {
        PyErr_Clear();
        return false;
    }
    if (!PyDict_CheckExact(root_names.get()) ||
        !frame::host::instance_namespace_is(root.get(), root_names.get()))
        return false;
    frame::DictStates<1> root_state;
    root_state.take({root_names.get()});
    if (entry_ref(root_names.get(), k_debug) || entry_ref(root_names.get(), k_is_enabled_for) ||
        entry_ref(root_names.get(), k_disabled).get() != Py_False)
        return false;
    Ref handlers = entry_ref(root_names.get(), k_handlers);
    Ref cache = entry_ref(root_names.get(), k_cache);
    if (!handlers || !PyList_CheckExact(handlers.get()) || !cache ||
        !PyDict_CheckExact(cache.get()))
        return false;
    frame::DictStates<1> cache_state;
    cache_state.take({cache.get()});
    if (!cache_says_debug_is_off(cache.get(), level.get())) return false;
    // Every state still the epoch of the first: nothing read has changed since its read.
    if (!namespaces.held({names, builtins}) || !root_state.held({root_names.get()}) ||
        !cache_state.held({cache.get()}))
        return false;

    // Without a class version tag the facts hold now but cannot be reused.
    settled.valid = class_version != 0;
    settled.builtins = builtins;
    settled.root = root.get();
    settled.root_names = root_names.get();
    settled.cache = cache.get();
    settled.handlers = handlers.get();
    settled.namespaces = namespaces;
    settled.root_state = root_state;
    settled.cache_state = cache_state;
    settled.class_version = class_version;
    return PyList_GET_SIZE(handlers.get()) > 0;
}
#else
bool settle() noexcept {
    settled.valid = false;
    PyObject* names = host.names;
    PyObject* builtins = builtins_of_debug();
    if (!builtins) return false;
    frame::DictStates<2> namespaces;
    namespaces.take({names, builtins});
    PyObject* root = entry_or_null(names, k_root);
    PyObject* level = entry_or_null(names, k_level_debug);
    const bool own_len = entry_or_null(names, k_len) != nullptr;
    const bool host_len_found = host_len.is(entry_or_null(builtins, k_len));
    if (!namespaces.held({names, builtins}) || own_len || !host_len_found || !root || !level ||
        !PyLong_CheckExact(level))
        return false;
    auto* cls = Py_TYPE(root);
    if (!is_plain_root_logger_class(cls)) return false;
    const unsigned int class_version = frame::host::type_version(cls);
    Ref root_names = Ref::steal(PyObject_GenericGetDict(root, nullptr));
    if (!root_names) {
        PyErr_Clear();
        return false;
    }
    if (!PyDict_CheckExact(root_names.get())) return false;
    frame::DictStates<1> root_state;
    root_state.take({root_names.get()});
    if (!root_names_hold(root_names.get())) return false;
    PyObject* handlers = entry_or_null(root_names.get(), k_handlers);
    PyObject* cache = entry_or_null(root_names.get(), k_cache);
    if (!root_state.held({root_names.get()}) || !namespaces.held({names, builtins})) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(cache, &position, &key, &value))
        if (!PyLong_CheckExact(key)) return false;
    if (entry_or_null(cache, level) != Py_False) return false;

    // Without a class version tag the facts hold now but cannot be reused.
    settled.valid = class_version != 0;
    settled.builtins = builtins;
    settled.root = root;
    settled.root_names = root_names.get();
    settled.cache = cache;
    settled.handlers = handlers;
    settled.namespaces = namespaces;
    settled.root_state = root_state;
    settled.cache_state.take({cache});
    settled.class_version = class_version;
    return true;
}
#endif

#if !FRAME_FREE_THREADED
// Whether the root logger's namespace is still the dict that was settled.  (Its `__dict__`
// can be replaced; a new dict at the same address has another version tag.)
bool same_root_names(PyObject* root, PyObject* names) noexcept {
    Ref current = Ref::steal(PyObject_GenericGetDict(root, nullptr));
    if (!current) PyErr_Clear();
    return current.get() == names;
}
#endif

// Conditions 2 to 4: what was settled still holds while none of its namespaces and not the
// root logger's class has changed.  Logging's namespace is checked first: while it is
// unchanged, it still holds the settled root logger.
#if FRAME_FREE_THREADED
// The same, and the handlers list not empty (part of condition 4 that no state covers):
// while the epoch is the one the facts were read at, checked again after the reads of the
// remembered objects.
bool names_hold() noexcept {
    if (settled.valid) {
        const std::uint64_t epoch = frame::watched_epoch();
        if (settled.namespaces.held({host.names, settled.builtins}) &&
            settled.root_state.held({settled.root_names}) &&
            settled.cache_state.held({settled.cache})) {
            PyTypeObject* cls = Py_TYPE(settled.root);
            // The class is looked into only once it is known to be the host's (the root
            // logger read here may be gone, if the epoch has moved meanwhile).
            const bool hold = reinterpret_cast<PyObject*>(cls) == host.root_logger_class.get() &&
                              frame::host::type_version(cls) == settled.class_version &&
                              frame::host::managed_namespace_is(settled.root, settled.root_names) &&
                              PyList_GET_SIZE(settled.handlers) > 0;
            if (hold && frame::epoch_still(epoch)) return true;
        }
    }
    return settle();
}
#else
bool names_hold() noexcept {
    // The builtins namespace of debug's code is its own from 3.10, and before that
    // comes from logging's namespace: unchanged while that is.
    if (settled.valid && settled.namespaces.held({host.names, settled.builtins})) {
        PyTypeObject* cls = Py_TYPE(settled.root);
        if (reinterpret_cast<PyObject*>(cls) == host.root_logger_class.get() &&
            frame::host::type_version(cls) == settled.class_version &&
            same_root_names(settled.root, settled.root_names) && settled_root_names_hold() &&
            settled.cache_state.held({settled.cache}))
            return true;
    }
    return settle();
}
#endif

}  // namespace

void remember_host_logging(PyObject* logging) noexcept {
    if (remembered || !PyModule_CheckExact(logging)) return;
    PyObject* names = PyModule_GetDict(logging);
    PyObject* debug = entry_or_null(names, k_debug);
    PyObject* logger = entry_or_null(names, k_logger);
    PyObject* root_logger = entry_or_null(names, k_root_logger);
    if (!logger || !PyType_Check(logger) || !root_logger || !PyType_Check(root_logger) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(root_logger),
                          reinterpret_cast<PyTypeObject*>(logger)))
        return;
    Ref logger_names =
        Ref::steal(frame::host::class_namespace(reinterpret_cast<PyTypeObject*>(logger)));
    if (!logger_names) {
        PyErr_Clear();
        return;
    }
    PyObject* logger_debug = entry_or_null(logger_names.get(), k_debug);
    PyObject* is_enabled_for = entry_or_null(logger_names.get(), k_is_enabled_for);
    if (!is_logging_function(debug, names, "debug") ||
        !is_logging_function(logger_debug, names, "debug") ||
        !is_logging_function(is_enabled_for, names, "isEnabledFor"))
        return;
    host.module.set(Ref::borrow(logging));
    host.names = names;
    host.debug.set(Ref::borrow(debug));
    host.logger_debug.set(Ref::borrow(logger_debug));
    host.is_enabled_for.set(Ref::borrow(is_enabled_for));
    host.root_logger_class.set(Ref::borrow(root_logger));
    PyObject* functions[3] = {debug, logger_debug, is_enabled_for};
    for (int i = 0; i < 3; ++i) {
        host.codes[i] = PyFunction_GET_CODE(functions[i]);
        host.code_holders[i].set(Ref::borrow(host.codes[i]));
    }
    remembered = true;
}

bool debug_does_nothing(PyObject* debug) noexcept {
    // Condition 1 for the function called, and condition 5.
    if (!remembered || debug != host.debug.get() || PyFunction_GET_CODE(debug) != host.codes[0] ||
        !frame::host::has_recursion_room(8) || frame::host::calls_are_watched(host.codes, 3))
        return false;
    // Conditions 2 to 4 (and the methods found), then the code the methods run and the part
    // of condition 4 that no version tag covers (the handlers list is changed in place).
#if FRAME_FREE_THREADED
    return names_hold() && methods_run_their_own_code();
#else
    return names_hold() && methods_run_their_own_code() && PyList_GET_SIZE(settled.handlers) > 0;
#endif
}

}  // namespace tavimo::quiet_logging
