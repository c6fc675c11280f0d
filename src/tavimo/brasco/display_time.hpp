// Display times without the round trip through the interpreter.
//
// A display time is what
//
//     datetime.fromisoformat(text).strftime("%a %d %b %H:%M")
//
// gives, for example "Tue 01 Jun 10:15" for 2021-06-01T10:15:00.000.  Those two calls cost
// a few microseconds each and are most of the work of parsing an itinerary, so this file
// renders the common layouts natively.  It is a fast path only: it answers just where its
// text is certainly the one the two calls would give, and leaves everything else (odd
// layouts, bad fields, errors, other locales) to the real calls.
#pragma once

#include <cstddef>

namespace tavimo::display_time {

// True when the process's LC_TIME locale is "C" or "POSIX" (as setlocale(LC_TIME, nullptr)
// reports it), so that strftime's day and month names are the C ones.
bool time_locale_is_c() noexcept;

// If `iso` (`length` ASCII bytes: the text that fromisoformat would receive) is a date-time
// that datetime.fromisoformat accepts on every supported host (3.8 on) and that this fully
// validates, writes what strftime("%a %d %b %H:%M") gives in the C locale (exactly 16
// characters, no terminating NUL) to `out` and returns true.  Returns false for anything
// else, with `out` left undetermined; the caller then makes the real calls, so errors and odd
// cases stay the interpreter's.
//
// Handled, every field range-checked as the datetime constructor does:
//
//     YYYY-MM-DD?HH:MM[:SS[.fff|.ffffff]][+HH:MM|-HH:MM]
//
// where ? is 'T' or ' ', the year lies in 1..9999, the offset's minutes in 00..59 and the
// offset is less than a day.
bool render_in_c_locale(const char* iso, std::size_t length, char (&out)[16]) noexcept;

}  // namespace tavimo::display_time
