// The differences between the interpreters the frame runs on, CPython 3.8 to 3.13, in one
// place.  Everything else in the frame and the module bodies is written once, against the
// helpers below; no other source asks which interpreter it is built for.
//
// What differs, and from which version:
// - 3.9: the vectorcall entry point loses its leading underscore.
// - 3.11: code objects carry a qualified name and need instructions and a location table of
//   their own (an empty code object is the host's PyCode_NewEmpty, which raises
//   AssertionError if ever run); the thread's handled-exception slot holds only the
//   exception (its type and traceback are read from it).
// - 3.12: the exception being raised is one object (PyErr_Fetch/PyErr_Restore are
//   deprecated); the version tag of dicts is deprecated and dict watchers replace it; a
//   module declares whether it supports several interpreters.
// - 3.13: _PyUnicode_JoinArray is no longer public.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if PY_VERSION_HEX < 0x03080000 || PY_VERSION_HEX >= 0x030E0000
#error "the module frame supports CPython 3.8 to 3.13"
#endif

#define FRAME_HOST_AT_LEAST(minor) (PY_VERSION_HEX >= ((0x03 << 24) | ((minor) << 16)))

#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

namespace frame {

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

namespace host {

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
// serves one interpreter).  Writes them from `next` on and returns the next free slot.
inline constexpr int module_slot_count = FRAME_HOST_AT_LEAST(12) ? 1 : 0;
inline PyModuleDef_Slot* add_module_slots(PyModuleDef_Slot* next) noexcept {
#if FRAME_HOST_AT_LEAST(12)
    *next++ = {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#endif
    return next;
}

}  // namespace host
}  // namespace frame
