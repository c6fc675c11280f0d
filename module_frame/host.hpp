// What the fast paths of a module may ask about the host it runs on, in the host's own
// terms: the version tags of classes, what a class lookup finds, the names a code object
// records, the builtins a function reads, how much recursion room is left, whether calls
// are watched.  Each answer reads an interpreter internal (or a different one per host,
// see versions.hpp), in this one place.  Bodies do not need it.
#pragma once

#include "module_frame/versions.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace frame::host {

// ---------------------------------------------------------------------------------------
// Free-threaded hosts
//
// The caches of the frame and the modules' fast paths keep facts from one call for the
// next.  With the GIL nothing can change between a check of such a fact and the use that
// relies on it.  Without it (3.13t, 3.14t) any other thread may change what a fact was read
// from at any moment, so each fact is kept as follows:
//
//  - module names and attributes, the quiet-logging and the display-time conditions: each
//    thread keeps its own (thread_local), so that no thread writes what another reads; the
//    states of the namespaces are one watched epoch that a dict watcher moves on before
//    every change of every watched dict (dict_states.hpp), taken inside the dicts'
//    critical sections; facts are read afresh with strong references; what a check reads
//    of a remembered object lies between two reads of the epoch that agree, so the object
//    was still held by its watched namespace, and alive, while it was read; a value handed
//    out from a cache is one that cannot be freed before the thread next stops for the host
//    (may_keep_borrowed below);
//  - the monitoring summary: states, version and answer per thread (host.cpp);
//  - host functions once recognised: kept with a compare-and-swap (names.cpp);
//  - the keys-table probe and the content marks behind the rows made once per itinerary:
//    on 3.13t read together under the leg's critical section (ContentMark::take_of_text_keys;
//    the mark is the dict's version tag), and a mark is checked again under it after the
//    last read that a remembered row or value stands for, with nothing done in between that
//    anyone could see (leg_rows.cpp); 3.14t keeps no version tag and makes rows afresh.
//    has_text_keys_only alone stays behind this switch, so a check of the display times'
//    conditions covers one display time only: it would let a check made before a later
//    read of a leg stand for one made after it, an order that another thread's changes
//    could tell from the host's.
//
// What needs nothing more is safe without the GIL as it is: facts settled once while the
// module is executed, under the host's import lock and before any of its functions can be
// called, and only read afterwards (constants, cached builtins, the builtins module, the
// datetime C interface, logging's classes, whether min and max are the host's, the readied
// function type); and the per-thread record of the running call.
inline constexpr bool gil_guards_shared_state = !FRAME_FREE_THREADED;

// Two objects' critical sections taken together, as the host takes them (in an order of its
// own, so that two threads taking the same pair cannot deadlock).
class CriticalSection2 {
public:
    CriticalSection2(PyObject* first, PyObject* second) noexcept {
#if FRAME_FREE_THREADED
        PyCriticalSection2_Begin(&section_, first, second);
#else
        (void)first;
        (void)second;
#endif
    }
    ~CriticalSection2() {
#if FRAME_FREE_THREADED
        PyCriticalSection2_End(&section_);
#endif
    }
    CriticalSection2(const CriticalSection2&) = delete;
    CriticalSection2& operator=(const CriticalSection2&) = delete;

private:
#if FRAME_FREE_THREADED
    PyCriticalSection2 section_;
#endif
};

// Whether an object found in a shared namespace may be kept borrowed between calls and used
// after a check that the namespace still holds it, though another thread may take it out
// of the namespace at any moment after the check.  Always with the GIL (nothing runs between
// the check and the use).  Without it, only where the object cannot be freed before this
// thread next stops for the host: an immortal object, or one with deferred reference
// counting, which only the garbage collector frees, after stopping every thread at a point
// where it waits or runs Python code (3.13t and 3.14t give it to modules, classes and
// top-level functions, the frame to a module's functions; 3.13t makes them immortal once a
// second thread starts).  A cache on such a host keeps only what this answers true for, and
// increments a reference of an immortal object without touching memory that other threads
// write.
//
// Reads the object's collector bits (PyObject.ob_gc_bits, public on free-threaded hosts);
// the bit's value is the host's private _PyGC_BITS_DEFERRED, 64 in 3.13t and 3.14t.
inline bool may_keep_borrowed(PyObject* object) noexcept {
#if FRAME_FREE_THREADED
    constexpr std::uint8_t deferred_reference_counting = 64;
    return _Py_IsImmortal(object) ||
           (std::atomic_ref<std::uint8_t>(object->ob_gc_bits).load(std::memory_order_relaxed) &
            deferred_reference_counting) != 0;
#else
    (void)object;
    return true;
#endif
}

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
    Py_SET_REFCNT(object, count);
}

// The version tag of a class: it changes whenever the class or one of its bases changes;
// 0 while the class has none (a lookup through the class gives it one).  Up to 3.12 a
// flag says whether the tag is valid; from 3.13 a valid tag is one other than 0.
inline unsigned int type_version(PyTypeObject* type) noexcept {
#if FRAME_FREE_THREADED
    // Written by the host with relaxed atomic stores, under its type lock.
    return std::atomic_ref<unsigned int>(type->tp_version_tag).load(std::memory_order_relaxed);
#elif FRAME_HOST_AT_LEAST(13)
    return type->tp_version_tag;
#else
    return type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG ? type->tp_version_tag : 0;
#endif
}

// What looking `name` up on the class `type` finds along its method resolution order, as
// attribute lookup does it (through the host's type cache), borrowed; null when nothing is
// found.  No error is set.
inline PyObject* class_attribute(PyTypeObject* type, PyObject* name) noexcept {
    return _PyType_Lookup(type, name);
}

// The namespace of a class (a new reference): what its `__dict__` proxies.
inline PyObject* class_namespace(PyTypeObject* type) noexcept { return PyType_GetDict(type); }

// The file and the name a code object records, borrowed.
inline PyObject* code_file_name(PyObject* code) noexcept {
    return reinterpret_cast<PyCodeObject*>(code)->co_filename;
}
inline PyObject* code_name(PyObject* code) noexcept {
    return reinterpret_cast<PyCodeObject*>(code)->co_name;
}

// Whether every change to the instance namespace of an object (its `__dict__`) changes that
// dict's version tag.  On 3.13 an attribute stored in an instance's inline values does not
// go through the dict, nor tell its watchers, even after the dict was made; facts about
// such a namespace must be read afresh there.  From 3.14 every store, delete and
// specialised store tells the watchers of a dict that was made.  The free-threaded 3.13t
// does not specialise at all (ENABLE_SPECIALIZATION is 0 there, pycore_code.h): every
// store goes through _PyObject_StoreInstanceAttribute, which tells the watchers of a dict
// that was made, inside its critical section.
inline constexpr bool instance_dicts_are_tagged =
    !FRAME_HOST_AT_LEAST(13) || FRAME_HOST_AT_LEAST(14) || FRAME_FREE_THREADED;

#if FRAME_FREE_THREADED
// Whether `object`'s instance namespace (its `__dict__`) is `dict` now, read without a
// reference: for a class whose instances keep their namespace where the host manages it
// (Py_TPFLAGS_MANAGED_DICT), the pointer one word before the object on a free-threaded
// 3.13t and 3.14t (MANAGED_DICT_OFFSET, pycore_object.h), which the host writes with a
// release store; false for any other class.
// managed_namespace_is: the same for an object whose class is known to be such a class.
inline bool managed_namespace_is(PyObject* object, PyObject* dict) noexcept {
    auto* slot = reinterpret_cast<PyObject**>(object) - 1;
    return std::atomic_ref<PyObject*>(*slot).load(std::memory_order_acquire) == dict;
}
inline bool instance_namespace_is(PyObject* object, PyObject* dict) noexcept {
    return (Py_TYPE(object)->tp_flags & Py_TPFLAGS_MANAGED_DICT) &&
           managed_namespace_is(object, dict);
}
#endif

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

}  // namespace frame::host
