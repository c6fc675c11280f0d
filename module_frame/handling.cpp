// Handling an exception inside a function body (see handling.hpp).
//
// The exception being handled lives in the innermost slot of the thread's stack of handled
// exceptions (a generator running on the thread has a slot of its own).  The interpreter's
// own `except` saves that slot as it is, fills it and puts the saved content back when the
// handler ends; this does the same.  PyErr_GetExcInfo would not do: it reports the nearest
// slot that holds an exception, so restoring its result could copy an outer exception into
// a generator's empty slot.
#include "module_frame/handling.hpp"
#include "module_frame/internal/function.hpp"
#include "module_frame/internal/host_objects.hpp"

namespace frame {

bool Handler::take(PyObject* match) noexcept {
    if (taken_ || !PyErr_ExceptionMatches(match)) return false;
    add_running_function_traceback();
    saved_ = host::exchange_handled(host::take_raised_for_handling());
    taken_ = true;
    return true;
}

Handler::~Handler() {
    if (taken_) host::release(host::exchange_handled(saved_));
}

}  // namespace frame
