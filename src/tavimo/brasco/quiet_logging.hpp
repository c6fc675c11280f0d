// Debug records that nobody will see.
//
// tavimo.brasco logs every value it finds with logging.debug, which at the usual WARNING
// level runs three Python functions only to find that DEBUG is off.  This unit tells when
// such a call is certain to do nothing observable, so that it can be left out (see the
// conditions in quiet_logging.cpp); everywhere else the real call is made.
#pragma once

#include <Python.h>

namespace tavimo::quiet_logging {

// Remembers the host's logging module, bound under `logging` while the module body runs,
// and the functions and classes a debug call goes through.  Never fails: what cannot be
// recognised as the host's own simply means that no call is ever left out.
void remember_host_logging(PyObject* logging) noexcept;

// True when calling `debug` (what the module's `logging.debug` is now) with one text would
// do nothing that anyone can observe.  Checked right before the call, with no Python code
// running in between.
bool debug_does_nothing(PyObject* debug) noexcept;

}  // namespace tavimo::quiet_logging
