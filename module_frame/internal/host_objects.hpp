// How the host wants the frame's own objects made and its exceptions moved: joined texts,
// code objects, the raised and the handled exception, module slots.  Frame internals.
#pragma once

#include "module_frame/exceptions.hpp"

namespace frame::host {

// separator.join(texts) over an array of exact texts.
PyObject* join_texts(PyObject* separator, PyObject* const* texts, Py_ssize_t count) noexcept;

// The code object of a function: no instructions of its own (3.11+: the host's empty
// body), positional parameters first among the local names.
PyObject* new_function_code(const char* filename, const char* name, const char* qualname,
                            int first_line, int params, PyObject* varnames) noexcept;

// Takes the exception being raised off the thread.
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

// The exception being raised, taken off the thread as the content of a handled slot:
// normalised, with its traceback attached.
HandledSlot take_raised_for_handling() noexcept;
// Puts `content` into the innermost slot and returns what the slot held.
HandledSlot exchange_handled(HandledSlot content) noexcept;
// Gives the references of `content` back.
void release(HandledSlot content) noexcept;

// The module-definition slots a host needs beyond create and exec (3.12+: the module
// serves one interpreter; free-threaded: it runs without the GIL, see host.hpp).  Writes
// them from `next` on and returns the next free slot.
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

}  // namespace frame::host
