// Durations and display times made natively, where that is certain to equal the host's calls.
//
// Each function here is a fast path: it answers only when every condition that makes its
// result the host's own holds at that moment, checked with no Python code running between
// the check and the use.  Otherwise it answers "not here" (an empty result, no error set)
// and the caller makes the host's calls, so that results, errors and everything an observer
// can see stay the host's.
#pragma once

#include "module_frame/ref.hpp"

#include <optional>

namespace tavimo::native_datetime {

// Finds the host's datetime C interface in the module registry, without importing anything;
// called once, while the module body runs.  Never fails: without the interface (a stand-in
// `datetime` module, say) every fast path of this unit answers "not here".
void find_interface() noexcept;

// True when `cls` is the host's own datetime class.
bool is_host_datetime(PyObject* cls) noexcept;

// timedelta(seconds=seconds) when `timedelta` is the host's own class and `seconds` an exact
// int within its range; otherwise empty, without an error (an allocation failure sets one).
frame::Ref duration(PyObject* timedelta, PyObject* seconds) noexcept;

// True when `value` is an exact timedelta of the host.
bool is_duration(PyObject* value) noexcept;

// str(value) of an exact timedelta ("-1 day, 23:59:00", "2:35:00.500000"); otherwise empty,
// without an error (an allocation failure sets one).
frame::Ref duration_text(PyObject* value) noexcept;

// That the host's strftime would run untouched in the C time locale, as the native rendering
// assumes (conditions 1 to 5 in native_datetime.cpp), as a check found it with no code run
// since.  Only the check makes one; a step that has run no code since (no lookup, no call,
// no allocation, nothing that could change what the check read) may hand it on.
class StrftimeChecked {
    StrftimeChecked() = default;
    friend std::optional<StrftimeChecked> check_strftime() noexcept;
};

// The check: empty where the conditions do not hold now.
std::optional<StrftimeChecked> check_strftime() noexcept;

// datetime.fromisoformat(text[:length]).strftime("%a %d %b %H:%M"), written as its 16
// characters to `out`, when `datetime` is the host's own class, `text` an exact ASCII text
// whose first `length` characters the renderer fully validates, and the host's strftime
// would run untouched in the C time locale (checked here).  Empty otherwise, `out`
// undetermined and no error set; the check, where the text was rendered.
std::optional<StrftimeChecked> render(PyObject* datetime, PyObject* text, Py_ssize_t length,
                                      char (&out)[16]) noexcept;

// The same, under a check made earlier.
bool render(StrftimeChecked, PyObject* datetime, PyObject* text, Py_ssize_t length,
            char (&out)[16]) noexcept;

}  // namespace tavimo::native_datetime
