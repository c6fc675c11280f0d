// `except <class>:` for function bodies.
//
// A body that handles a failure declares a Handler where the handler would begin and lets
// it take the exception that has just been raised:
//
//     Ref value = frame::to_int(text.get());
//     if (!value) {
//         frame::Handler handler;
//         if (!handler.take(b_value_error.get())) return nullptr;
//         ...   // an exception raised here gets the taken one as its __context__
//     }         // the exception handled before is back in place
//
// As in the host language, the taken exception first gets the traceback entry of the
// running function, then becomes "the exception being handled" (what sys.exc_info()
// reports), and stays so until the Handler goes out of scope, when the exception that was
// being handled before is put back.
#pragma once

#include "module_frame/exceptions.hpp"
#include "module_frame/frame.hpp"

namespace frame {

class Handler {
public:
    Handler() noexcept = default;
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;
    ~Handler();

    // If the exception being raised is an instance of `match` (an exception class, or a
    // subclass of it), appends the entry of the running function at the line of the
    // failing statement, clears the error and makes the exception the one being handled;
    // true then.  Otherwise false, the exception still raised and untouched.  A Handler
    // takes at most one exception.
    bool take(PyObject* match) noexcept;

private:
    bool taken_ = false;
    // What the innermost handled-exception slot held before take().
    host::HandledSlot saved_;
};

}  // namespace frame
