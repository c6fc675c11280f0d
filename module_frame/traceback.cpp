// Where failures happened: the failing line of the running function, and the traceback
// entries that name native functions.
#include "module_frame/frame.hpp"
#include "module_frame/internal/function.hpp"
#include "module_frame/internal/host_objects.hpp"

#include <frameobject.h>

#include <string>
#include <string_view>
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
    if (!innermost_call) return;
    innermost_call->failure_file = where.file_name();
    innermost_call->failure_line = static_cast<int>(where.line());
}

namespace {
// The path an entry names for `file`: the body's own source path, or that of another file
// of the module, in the same folder.
std::string entry_path(const char* file) {
    const std::string_view body = module_def().source_path;
    if (!file) return std::string(body);
    const std::string_view compiled = file;
    const auto name_start = compiled.find_last_of('/');
    const auto folder_end = body.find_last_of('/');
    std::string path(folder_end == std::string_view::npos ? std::string_view()
                                                          : body.substr(0, folder_end + 1));
    path += name_start == std::string_view::npos ? compiled : compiled.substr(name_start + 1);
    return path;
}
}  // namespace

void add_traceback(const char* function_name, const char* file, int line) noexcept {
    host::RaisedException raised = host::fetch_raised();
    Ref code;
    try {
        code = Ref::steal(reinterpret_cast<PyObject*>(
            PyCode_NewEmpty(entry_path(file).c_str(), function_name, line)));
    } catch (...) {  // no memory for the path: the entry is left out, as below
    }
    Ref globals = Ref::borrow(module_dict());
    if (!globals) globals = Ref::steal(PyDict_New());
    Ref python_frame;
    if (code && globals)
        python_frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        globals.get(), nullptr)));
    // A failure to make the entry must not replace the exception being reported.
    PyErr_Clear();
    host::restore_raised(raised);
    if (!python_frame) return;
    // The entry's line is the first line of its code object, on every host.
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(python_frame.get()));
}

}  // namespace frame
