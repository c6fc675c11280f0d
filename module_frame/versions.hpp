// Which CPython the frame is built for, and the version shims: each one an API of a newer
// host, under its own name, back-filled for the older hosts that lack it, so that a shim
// is simply deleted once its oldest host is no longer supported.  Module sources get it
// through the frame's public headers, for the host checks and the shims alike.
//
// The differences between the hosts the frame runs on, CPython 3.8 to 3.15, and where
// each is met:
// - 3.9: the vectorcall entry point loses its leading underscore; PyMODINIT_FUNC marks the
//   init function exported where the build hides everything else, GCC and clang; a thread
//   state's interpreter is asked of PyThreadState_GetInterpreter, a reference count set by
//   Py_SET_REFCNT (shims below).
// - 3.10: a function keeps the builtins it was made with (host.hpp, function_builtins).
// - 3.11: code objects carry a qualified name and need instructions and a location table of
//   their own; an empty code object is the host's PyCode_NewEmpty, which raises
//   AssertionError if ever run (internal/host_objects.hpp); the thread's handled-exception
//   slot holds only the exception, its type and traceback read from it (host_objects); a
//   dict's keys table records the kind of its keys instead of the lookup function for them
//   (dict_states.cpp).
// - 3.12: the exception being raised is one object, PyErr_Fetch/PyErr_Restore deprecated
//   (host_objects); the version tag of dicts is deprecated and dict watchers replace it,
//   with an epoch that every watched change moves on (dict_states); a module declares
//   whether it supports several interpreters (host_objects); a class's namespace is read
//   with PyType_GetDict (shim below); sys.monitoring can watch calls, and recursion is
//   counted separately for Python frames and C calls (host.hpp).
// - 3.13: _PyUnicode_JoinArray is no longer public (host_objects); class version tags lose
//   their flag; attributes stored in an instance's inline values bypass its dict's watchers
//   (host.hpp); sys.monitoring keeps a summary C code can read (host.cpp);
//   PyDict_GetItemRef and PyList_GetItemRef give strong references (shims below);
//   critical sections lock one object, no-ops with the GIL (host.hpp).
// - 3.13t (free-threaded, Py_GIL_DISABLED): no GIL; see "Free-threaded hosts" in host.hpp.
//   The object header has no ob_refcnt member; a module declares that it runs without the
//   GIL (host_objects).
// - 3.14: an object can be given deferred reference counting (shim below, host.cpp);
//   C calls are no longer counted: the host raises RecursionError when the machine
//   stack comes near a limit it keeps per thread, outside the public thread state
//   (host.cpp, has_recursion_room); the monitoring data of a code object and the count of
//   monitoring events become private (host.cpp); stores into an instance's inline values
//   tell the watchers of its dict again (host.hpp).
// - 3.15: the private part of the thread state grows in front of the stack limits
//   (host.cpp).
#pragma once

#include <Python.h>

#include <cstddef>

#if PY_VERSION_HEX < 0x03080000 || PY_VERSION_HEX >= 0x03100000
#error "the module frame supports CPython 3.8 to 3.15"
#endif

#define FRAME_HOST_AT_LEAST(minor) (PY_VERSION_HEX >= ((0x03 << 24) | ((minor) << 16)))

#ifdef Py_GIL_DISABLED
#define FRAME_FREE_THREADED 1
#else
#define FRAME_FREE_THREADED 0
#endif

#if !FRAME_HOST_AT_LEAST(14)
// 3.14's deferred reference counting for an object this thread has just made and not yet
// shared (1 when given, 0 otherwise): nothing with the GIL, as on 3.14; on 3.13t what the
// host does for the functions of its own modules (host.cpp).
#if FRAME_FREE_THREADED
int PyUnstable_Object_EnableDeferredRefcount(PyObject* object) noexcept;
#else
inline int PyUnstable_Object_EnableDeferredRefcount(PyObject*) noexcept { return 0; }
#endif
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

// 3.9
#if !FRAME_HOST_AT_LEAST(9)
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL

// 3.8's PyMODINIT_FUNC leaves the init function's visibility to the build, which hides
// every symbol by default.  (Windows exports through __declspec on every host.)
#if !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                                     PyObject* kwnames) noexcept {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

// The interpreter of a thread state: 3.8 has no function for it, only the public member.
inline PyInterpreterState* PyThreadState_GetInterpreter(PyThreadState* thread) noexcept {
    return thread->interp;
}
inline void Py_SET_REFCNT(PyObject* object, Py_ssize_t count) noexcept {
    object->ob_refcnt = count;
}
#endif

// 3.12
#if !FRAME_HOST_AT_LEAST(12)
inline PyObject* PyType_GetDict(PyTypeObject* type) noexcept {
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
}
#endif
