// Handling an exception inside a function body (see handling.hpp).
//
// The exception being handled lives in the innermost slot of the thread's stack of handled
// exceptions (a generator running on the thread has a slot of its own).  The interpreter's
// own `except` saves that slot as it is, fills it and puts the saved content back when the
// handler ends; this does the same.  PyErr_GetExcInfo would not do: it reports the nearest
// slot that holds an exception, so restoring its result could copy an outer exception into
// a generator's empty slot.
#include "handling.hpp"
#include "function.hpp"

namespace frame {
namespace {

_PyErr_StackItem* innermost_slot() noexcept { return PyThreadState_Get()->exc_info; }

}  // namespace

bool Handler::take(PyObject* match) noexcept {
    if (taken_ || !PyErr_ExceptionMatches(match)) return false;
    add_running_function_traceback();

    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyException_SetTraceback(value, traceback ? traceback : Py_None);

    _PyErr_StackItem* slot = innermost_slot();
    saved_type_ = slot->exc_type;
    saved_value_ = slot->exc_value;
    saved_traceback_ = slot->exc_traceback;
    slot->exc_type = type;
    slot->exc_value = value;
    slot->exc_traceback = traceback;
    taken_ = true;
    return true;
}

Handler::~Handler() {
    if (!taken_) return;
    _PyErr_StackItem* slot = innermost_slot();
    Ref type = Ref::steal(slot->exc_type);
    Ref value = Ref::steal(slot->exc_value);
    Ref traceback = Ref::steal(slot->exc_traceback);
    slot->exc_type = saved_type_;
    slot->exc_value = saved_value_;
    slot->exc_traceback = saved_traceback_;
}

}  // namespace frame
