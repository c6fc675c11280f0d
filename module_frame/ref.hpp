// Owned references to interpreter objects.
//
// A Ref owns exactly one reference, or none.  Copying takes a new reference, moving hands
// the reference over, and destruction gives it back, so no code path can leak or drop a
// reference twice.  An empty Ref is how a failed step is reported: the interpreter's error
// indicator is then set.
#pragma once

#include <Python.h>

#include <utility>

namespace frame {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}

    // Takes over a reference the caller owns (the result of a "new reference" API).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a new reference to an object the caller only borrows.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller, leaving this Ref empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A reference kept for the life of the process by module-wide state.  Unlike Ref it is
// never given back at exit: static destructors run after the interpreter has finalised.
class ProcessRef {
public:
    ProcessRef() noexcept = default;
    ProcessRef(const ProcessRef&) = delete;
    ProcessRef& operator=(const ProcessRef&) = delete;

    void set(Ref value) noexcept {
        Ref old = Ref::steal(object_);
        object_ = value.release();
    }
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace frame
