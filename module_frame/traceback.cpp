// Where failures happened: the failing line of the running function, and the traceback
// entries that name native functions.
#include "frame.hpp"
#include "function.hpp"

#include <frameobject.h>

#include <utility>

namespace frame {
namespace {
// The innermost running call of each thread (see RunningCall).
thread_local RunningCall* innermost_call = nullptr;
}  // namespace

RunningCall::RunningCall(const FunctionDef* def) noexcept
    : def(def), outer_(std::exchange(innermost_call, this)) {}

RunningCall::~RunningCall() { innermost_call = outer_; }

RunningCall* RunningCall::innermost() noexcept { return innermost_call; }

void note_failure(Where where) noexcept {
    if (innermost_call) innermost_call->failure_line = static_cast<int>(where.line());
}

void add_traceback(const char* function_name, int line) noexcept {
    host::RaisedException raised = host::fetch_raised();
    Ref code = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(module_def().source_path, function_name, line)));
    Ref globals = Ref::borrow(module_dict());
    if (!globals) globals = Ref::steal(PyDict_New());
    Ref host_frame;
    if (code && globals)
        host_frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        globals.get(), nullptr)));
    // A failure to make the entry must not replace the exception being reported.
    PyErr_Clear();
    host::restore_raised(raised);
    if (!host_frame) return;
    // The entry's line is the first line of its code object, on every host.
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(host_frame.get()));
}

}  // namespace frame
