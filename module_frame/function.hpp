// Frame internals shared between its sources; module bodies use frame.hpp and ops.hpp.
#pragma once

#include "frame.hpp"

namespace frame {

// Readies the function object type (once per process).
bool ready_function_type() noexcept;

// Sets the recorded failure line and returns the previous one.  A function call saves the
// caller's line, runs its body, reads its own and restores the caller's.
int swap_failure_line(int line) noexcept;

// Appends the traceback entry of the function running now, at the line of its failing
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
