// Frame internals shared between its sources; module bodies use frame.hpp and ops.hpp.
#pragma once

#include "module_frame/frame.hpp"

namespace frame {

// The host's builtins module, fetched once, as an import statement gets it (not through a
// replaceable `__import__`); its namespace is the same dict for the life of the process.
Ref builtins_module() noexcept;

// Readies the function object type (once per process).
bool ready_function_type() noexcept;

// One running call of a native function, or the module body while the exec step runs it:
// what a failure inside it needs for its traceback entry.  It lives on the stack of the
// call, and note_failure() writes to the innermost one of the running thread.  Native calls
// nest strictly within a thread, so each thread's chain is its own: another thread's call,
// started while this one runs Python code, never sees or changes it.
class RunningCall {
public:
    // Enters the call (def is null for the module body).
    explicit RunningCall(const FunctionDef* def) noexcept;
    // Leaves it: the enclosing call of this thread is the innermost one again.
    ~RunningCall();
    RunningCall(const RunningCall&) = delete;
    RunningCall& operator=(const RunningCall&) = delete;

    // The innermost call of the running thread, or null.
    static RunningCall* innermost() noexcept;

    const FunctionDef* const def;
    // The source file (as the compiler named it) and line of the statement that failed;
    // null and 0 while none has.
    const char* failure_file = nullptr;
    int failure_line = 0;

private:
    RunningCall* const outer_;
};

// Appends the traceback entry of the innermost running function, at the line of its failing
// statement, to the exception being raised (for a body that handles the exception itself).
void add_running_function_traceback() noexcept;

// Links `item` at the end of an intrusive list kept in declaration order.
template <class T>
void append_to(T*& first, T* item) noexcept {
    T** slot = &first;
    while (*slot) slot = &(*slot)->next_;
    *slot = item;
}

}  // namespace frame
