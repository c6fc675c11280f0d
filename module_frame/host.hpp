// The differences between the interpreters the frame runs on, CPython 3.8 to 3.15, in one
// place.  Everything else in the frame and the module bodies is written once, against the
// helpers below; no other source asks which interpreter it is built for.
//
// What differs, and from which version:
// - 3.9: the vectorcall entry point loses its leading underscore; PyMODINIT_FUNC marks the
//   init function exported where the build hides everything else (GCC, clang).
// - 3.11: code objects carry a qualified name and need instructions and a location table of
//   their own (an empty code object is the host's PyCode_NewEmpty, which raises
//   AssertionError if ever run); the thread's handled-exception slot holds only the
//   exception (its type and traceback are read from it); a dict's keys table records the
//   kind of its keys instead of the lookup function for them.
// - 3.12: the exception being raised is one object (PyErr_Fetch/PyErr_Restore are
//   deprecated); the version tag of dicts is deprecated and dict watchers replace it (with
//   an epoch that every watched change moves on); a module declares whether it supports
//   several interpreters.
// - 3.10: a function keeps the builtins it was made with.
// - 3.12 and 3.13: sys.monitoring can watch calls; recursion is counted separately for
//   Python frames and C calls.
// - 3.13: _PyUnicode_JoinArray is no longer public; class version tags lose their flag;
//   attributes stored in an instance's inline values bypass its dict's watchers;
//   PyDict_GetItemRef and PyList_GetItemRef give strong references (back-filled below for
//   older hosts); critical sections lock one object (no-ops with the GIL).
// - 3.13t (free-threaded, Py_GIL_DISABLED): no GIL; see "Free-threaded hosts" below.  The
//   object header has no ob_refcnt member; a module declares that it runs without the GIL.
// - 3.14: C calls are no longer counted: the host raises RecursionError when the machine
//   stack comes near a limit it keeps per thread (outside the public thread state); the
//   monitoring data of a code object and the count of monitoring events become private;
//   stores into an instance's inline values tell the watchers of its dict again.
// - 3.15: the private part of the thread state grows in front of the stack limits.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if PY_VERSION_HEX < 0x03080000 || PY_VERSION_HEX >= 0x03100000
#error "the module frame supports CPython 3.8 to 3.15"
#endif

#define FRAME_HOST_AT_LEAST(minor) (PY_VERSION_HEX >= ((0x03 << 24) | ((minor) << 16)))

#ifdef Py_GIL_DISABLED
#define FRAME_FREE_THREADED 1
#else
#define FRAME_FREE_THREADED 0
#endif

#if !FRAME_HOST_AT_LEAST(13)
// The strong-reference lookups of 3.13, for older hosts (where the GIL keeps a borrowed
// reference alive until the caller runs code, so taking one at once is the same).
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) noexcept {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(value);
    *result = value;
    return value ? 1 : PyErr_Occurred() ? -1 : 0;
}
inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t index) noexcept {
    PyObject* item = PyList_GetItem(list, index);
    Py_XINCREF(item);
    return item;
}
#endif

#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

// 3.9's PyMODINIT_FUNC on 3.8: there the macro leaves the init function's visibility to the
// build, which hides every symbol by default.  (Windows exports through __declspec on every
// host.)
#if !FRAME_HOST_AT_LEAST(9) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace frame {
namespace host {

// ---------------------------------------------------------------------------------------
// Free-threaded hosts
//
// The caches of the frame (module names and attributes, the version tags and content marks
// behind them) and the modules' fast paths (debug calls left out, display times made
// natively, rows reused, the keys-table probe) keep facts from one call for the next and
// check them with plain reads of host structures: dict entries as borrowed references,
// keys tables, class version tags, a function's code.  With the GIL nothing can change
// between such a check and the use that relies on it.  A free-threaded host keeps those
// structures consistent only under each object's own lock, and any other thread may change
// them, or the cache itself, at any moment; making every check and every cached fact safe
// would need a lock around each, which takes away what they save.  So on a free-threaded
// build every one of them is compiled out here, behind this one switch, and each call takes
// the host's way: names looked up with strong references, attributes read with getattr,
// the logging call made, every row made.  The one fast path kept there is the native
// display time, whose conditions are cheap to read afresh: they are checked at each call,
// every object looked at held by a strong reference, with nothing kept for the next call.
// A function of the host is then recognised by what it is each time, never remembered.
//
// What stays is safe without the GIL as it is: facts settled once while the module is
// executed, under the host's import lock and before any of its functions can be called,
// and only read afterwards (constants, cached builtins, the builtins module, the datetime
// C interface, logging's classes, whether min and max are the host's, the readied function
// type); and the per-thread record of the running call.
inline constexpr bool gil_guards_shared_state = !FRAME_FREE_THREADED;

// A critical section on one object, as the host's own code takes it around reading or
// walking a dict or a list that another thread may change: the object's lock on a
// free-threaded host (released while the thread waits or runs Python code that blocks,
// as the host's are), nothing with the GIL.
class CriticalSection {
public:
    explicit CriticalSection(PyObject* object) noexcept {
#if FRAME_FREE_THREADED
        PyCriticalSection_Begin(&section_, object);
#else
        (void)object;
#endif
    }
    ~CriticalSection() {
#if FRAME_FREE_THREADED
        PyCriticalSection_End(&section_);
#endif
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#if FRAME_FREE_THREADED
    PyCriticalSection section_;
#endif
};

// list[index] as a new reference, or null (with no error) past the end: what the host's
// list iterator reads at each step, the size checked as the item is taken.
inline PyObject* list_item_or_null(PyObject* list, Py_ssize_t index) noexcept {
    if (index >= PyList_GET_SIZE(list)) return nullptr;
#if FRAME_FREE_THREADED
    PyObject* item = PyList_GetItemRef(list, index);  // the list may have shrunk meanwhile
    if (!item) PyErr_Clear();
#else
    PyObject* item = PyList_GET_ITEM(list, index);
    Py_INCREF(item);
#endif
    return item;
}

// Gives a statically allocated object (a type) its reference count before it is readied:
// a free-threaded object header splits the count into a thread-local and a shared part.
inline void set_static_refcount(PyObject* object, Py_ssize_t count) noexcept {
#if FRAME_HOST_AT_LEAST(9)
    Py_SET_REFCNT(object, count);
#else
    object->ob_refcnt = count;
#endif
}

}  // namespace host

// A number that changes whenever `dict` (an exact dict) changes, and that no other state of
// any dict shares.  From 3.12 the dict is watched from its first use on; when it cannot be
// watched, every call gives a new number, so that a cache keyed on it never hits.
#if FRAME_HOST_AT_LEAST(12)
std::uint64_t version_tag(PyObject* dict) noexcept;
#else
inline std::uint64_t version_tag(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

#if FRAME_HOST_AT_LEAST(12)
// Whether `dict` is watched, so that its version tag is its own and kept up to date.
bool is_watched(PyObject* dict) noexcept;
namespace detail {
extern std::uint64_t last_watched_tag;  // the last tag given (host.cpp)
}
// A number that changes whenever any watched dict changes or goes away.
inline std::uint64_t watched_epoch() noexcept { return detail::last_watched_tag; }
#endif

// The states of a few exact dicts, taken together, for a cache to tell later whether any of
// them has changed since.  Up to 3.11 these are the dicts' version tags, compared one by one.
// From 3.12 the tags come from the dict watchers; while every one of the dicts is watched,
// the watched epoch (which any change of any watched dict moves on) answers in one read,
// and the tags are compared one by one only after some watched dict changed.
template <std::size_t N>
class DictStates {
public:
    // Takes the states of `dicts` now.
    void take(const std::array<PyObject*, N>& dicts) noexcept {
        for (std::size_t i = 0; i < N; ++i) tags_[i] = version_tag(dicts[i]);
#if FRAME_HOST_AT_LEAST(12)
        epoch_ = 0;
        for (PyObject* dict : dicts)
            if (!is_watched(dict)) return;
        epoch_ = watched_epoch();
#endif
    }

    // Whether none of `dicts` (the same dicts as taken) has changed since.  They are looked
    // at in order, up to the first that changed, so a later one need only be alive while
    // the earlier ones are unchanged (a namespace that an earlier one holds, say).
    bool held(const std::array<PyObject*, N>& dicts) noexcept {
#if FRAME_HOST_AT_LEAST(12)
        if (epoch_ != 0 && epoch_ == watched_epoch()) return true;
#endif
        for (std::size_t i = 0; i < N; ++i)
            if (version_tag(dicts[i]) != tags_[i]) return false;
#if FRAME_HOST_AT_LEAST(12)
        // Still the same tags, so all still watched if they were: the epoch is now.
        if (epoch_ != 0) epoch_ = watched_epoch();
#endif
        return true;
    }

private:
    std::uint64_t tags_[N] = {};
#if FRAME_HOST_AT_LEAST(12)
    std::uint64_t epoch_ = 0;  // 0: not every dict was watched
#endif
};

// A mark of an exact dict's contents at one moment, for dicts that come and go (the legs of
// a route plan), which the table behind version_tag is not meant for.  Up to 3.11 it is the
// dict's version tag.  From 3.12 the dict is given to a second watcher, which only counts
// its events; the mark is the count, and holds while no dict that watcher was ever given
// has changed (or gone away) since: dicts of passing data that nobody changes.  A dict that
// shares its values with an object (an instance's namespace) is never marked.
class ContentMark {
public:
    // Marks `dict` now; false when it cannot be marked.
    bool take(PyObject* dict) noexcept;
    // Whether `dict`, marked by take(), is unchanged since.
    bool held(PyObject* dict) const noexcept;

private:
    std::uint64_t value_ = 0;
};

namespace host {

// Whether `dict` (an exact dict) keeps its keys in a table of its own whose keys are all
// exact texts, as the host itself records it: from 3.11 the kind of the keys table, up to
// 3.10 the lookup function the table uses; the host gives either up for good at the first
// key of another type.  Looking a text up in such a dict compares texts only and runs no
// code.  False too where the host's record cannot be read (found at the first use, from
// dicts made for the purpose).
bool has_text_keys_only(PyObject* dict) noexcept;

// fn(*args) through the vectorcall protocol.
inline PyObject* vectorcall(PyObject* function, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) noexcept {
#if FRAME_HOST_AT_LEAST(9)
    return PyObject_Vectorcall(function, args, nargsf, kwnames);
#else
    return _PyObject_Vectorcall(function, args, nargsf, kwnames);
#endif
}

// separator.join(texts) over an array of exact texts.
PyObject* join_texts(PyObject* separator, PyObject* const* texts, Py_ssize_t count) noexcept;

// The code object of a function: no instructions of its own (3.11+: the host's empty
// body), positional parameters first among the local names.
PyObject* new_function_code(const char* filename, const char* name, const char* qualname,
                            int first_line, int params, PyObject* varnames) noexcept;

// An exception as older hosts keep it (type, value, traceback) and as newer ones do (the
// exception object alone).  Owned references.
struct ExceptionParts {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};
struct ExceptionObject {
    PyObject* value = nullptr;
};

// The exception being raised, taken off the thread and put back unchanged.
using RaisedException =
    std::conditional_t<FRAME_HOST_AT_LEAST(12), ExceptionObject, ExceptionParts>;

inline RaisedException fetch_raised() noexcept {
    RaisedException raised;
#if FRAME_HOST_AT_LEAST(12)
    raised.value = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&raised.type, &raised.value, &raised.traceback);
#endif
    return raised;
}

// Raises `raised` again; its references go back to the thread.
inline void restore_raised(RaisedException raised) noexcept {
#if FRAME_HOST_AT_LEAST(12)
    PyErr_SetRaisedException(raised.value);
#else
    PyErr_Restore(raised.type, raised.value, raised.traceback);
#endif
}

// The content of the innermost slot of the thread's stack of handled exceptions: what
// `except` fills and sys.exc_info() reports.
using HandledSlot = std::conditional_t<FRAME_HOST_AT_LEAST(11), ExceptionObject, ExceptionParts>;

// The exception being raised, taken off the thread as the content of a handled slot:
// normalised, with its traceback attached.
HandledSlot take_raised_for_handling() noexcept;
// Puts `content` into the innermost slot and returns what the slot held.
HandledSlot exchange_handled(HandledSlot content) noexcept;
// Gives the references of `content` back.
void release(HandledSlot content) noexcept;

// The module-definition slots a host needs beyond create and exec (3.12+: the module
// serves one interpreter; free-threaded: it runs without the GIL, see above).  Writes them
// from `next` on and returns the next free slot.
inline constexpr int module_slot_count = (FRAME_HOST_AT_LEAST(12) ? 1 : 0) + FRAME_FREE_THREADED;
inline PyModuleDef_Slot* add_module_slots(PyModuleDef_Slot* next) noexcept {
#if FRAME_HOST_AT_LEAST(12)
    *next++ = {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#endif
#if FRAME_FREE_THREADED
    *next++ = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#endif
    return next;
}

// The version tag of a class: it changes whenever the class or one of its bases changes;
// 0 while the class has none (a lookup through the class gives it one).  Up to 3.12 a
// flag says whether the tag is valid; from 3.13 a valid tag is one other than 0.
inline unsigned int type_version(PyTypeObject* type) noexcept {
#if FRAME_HOST_AT_LEAST(13)
    return type->tp_version_tag;
#else
    return type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG ? type->tp_version_tag : 0;
#endif
}

// Whether every change to the instance namespace of an object (its `__dict__`) changes that
// dict's version tag.  On 3.13 an attribute stored in an instance's inline values does not
// go through the dict, nor tell its watchers, even after the dict was made; facts about
// such a namespace must be read afresh there.  From 3.14 every store, delete and
// specialised store tells the watchers of a dict that was made.
inline constexpr bool instance_dicts_are_tagged =
    !FRAME_HOST_AT_LEAST(13) || FRAME_HOST_AT_LEAST(14);

// Whether `calls` nested calls of Python code, made from here through a C call or two, fit
// before the host raises RecursionError: room on the counters the host keeps (up to 3.10
// the depth against the limit; 3.11 one counter; 3.12 and 3.13 one for Python frames and
// one for C calls) and, from 3.14, on the machine stack above the host's limit for it.
#if FRAME_HOST_AT_LEAST(14)
bool has_recursion_room(int calls) noexcept;
#else
inline bool has_recursion_room(int calls) noexcept {
    PyThreadState* thread = PyThreadState_Get();
#if FRAME_HOST_AT_LEAST(12)
    return thread->py_recursion_remaining >= calls && thread->c_recursion_remaining >= calls;
#elif FRAME_HOST_AT_LEAST(11)
    return thread->recursion_remaining >= calls;
#else
    return Py_GetRecursionLimit() - thread->recursion_depth >= calls;
#endif
}
#endif

// Whether running Python code now could be seen from outside its own effects: a profile or
// trace function is set on the thread, or (from 3.12) a monitoring tool has events set,
// for every code object or for one of `codes` (code objects the caller would run).
bool calls_are_watched(PyObject* const* codes, std::size_t count) noexcept;

// The namespace a function's code takes builtins from: from 3.10 the function's own, fixed
// when it was made; before, what `__builtins__` of its globals holds at the call (a module
// or a dict; null when missing).
#if FRAME_HOST_AT_LEAST(10)
inline PyObject* function_builtins(PyObject* function) noexcept {
    return reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
}
#else
PyObject* function_builtins(PyObject* function) noexcept;
#endif

}  // namespace host
}  // namespace frame
