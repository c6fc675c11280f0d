// How the host keeps an exception, the one being raised and the one being handled: the
// types alone, which a Handler (handling.hpp) holds by value.  Moving exceptions between
// the thread and these is the frame's own work (internal/host_objects.hpp).
#pragma once

#include "module_frame/versions.hpp"

#include <type_traits>

namespace frame::host {

// An exception as older hosts keep it (type, value, traceback) and as newer ones do (the
// exception object alone).  Owned references.
struct ExceptionParts {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};
struct ExceptionObject {
    PyObject* value = nullptr;
};

// The exception being raised, taken off the thread and put back unchanged.
using RaisedException =
    std::conditional_t<FRAME_HOST_AT_LEAST(12), ExceptionObject, ExceptionParts>;

// The content of the innermost slot of the thread's stack of handled exceptions: what
// `except` fills and sys.exc_info() reports.
using HandledSlot = std::conditional_t<FRAME_HOST_AT_LEAST(11), ExceptionObject, ExceptionParts>;

}  // namespace frame::host
