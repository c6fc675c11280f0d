// How the host wants the frame's own objects made; see internal/host_objects.hpp.
#include "module_frame/internal/host_objects.hpp"

#include "module_frame/ref.hpp"

namespace frame::host {

// Up to 3.12 the host's own join over an array (_PyUnicode_JoinArray, private; 3.13 takes it
// out of the headers): the public PyUnicode_Join needs a sequence made for it first.  Only
// texts that are not all ASCII come here (ops.cpp copies those itself); i_parser of a
// one-way record with two non-ASCII cities costs 18.2k instructions a call on 3.12 this way,
// 18.7k through a tuple and PyUnicode_Join, and 18.8k copying with PyUnicode_CopyCharacters
// (callgrind, 2,000 calls less none).
PyObject* join_texts(PyObject* separator, PyObject* const* texts, Py_ssize_t count) noexcept {
#if FRAME_HOST_AT_LEAST(13)
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(texts[i]).release());
    return PyUnicode_Join(separator, tuple.get());
#else
    return _PyUnicode_JoinArray(separator, const_cast<PyObject**>(texts), count);
#endif
}

PyObject* new_function_code(const char* filename, const char* name, const char* qualname,
                            int first_line, int params, PyObject* varnames) noexcept {
    // The host's own empty code object, given the function's parameters and locals.
    Ref empty =
        Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, name, first_line)));
    Ref replace = empty ? Ref::steal(PyObject_GetAttrString(empty.get(), "replace")) : nullptr;
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref fields = Ref::steal(PyDict_New());
    if (!replace || !no_args || !fields) return nullptr;
    const auto set = [&](const char* field, PyObject* value) {
        return value && PyDict_SetItemString(fields.get(), field, value) == 0;
    };
    const bool filled =
        set("co_argcount", Ref::steal(PyLong_FromLong(params)).get()) &&
        set("co_nlocals", Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames))).get()) &&
        set("co_varnames", varnames) &&
        set("co_flags", Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS)).get())
#if FRAME_HOST_AT_LEAST(11)
        && set("co_qualname", Ref::steal(PyUnicode_FromString(qualname)).get())
#endif
        ;
    (void)qualname;
    if (!filled) return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), fields.get());
}

HandledSlot take_raised_for_handling() noexcept {
    HandledSlot taken;
#if FRAME_HOST_AT_LEAST(12)
    taken.value = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyException_SetTraceback(value, traceback ? traceback : Py_None);
#if FRAME_HOST_AT_LEAST(11)
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    taken.value = value;
#else
    taken.type = type;
    taken.value = value;
    taken.traceback = traceback;
#endif
#endif
    return taken;
}

HandledSlot exchange_handled(HandledSlot content) noexcept {
    _PyErr_StackItem* slot = PyThreadState_Get()->exc_info;
    HandledSlot held;
    held.value = slot->exc_value;
    slot->exc_value = content.value;
#if !FRAME_HOST_AT_LEAST(11)
    held.type = slot->exc_type;
    held.traceback = slot->exc_traceback;
    slot->exc_type = content.type;
    slot->exc_traceback = content.traceback;
#endif
    return held;
}

void release(HandledSlot content) noexcept {
    Py_XDECREF(content.value);
#if !FRAME_HOST_AT_LEAST(11)
    Py_XDECREF(content.type);
    Py_XDECREF(content.traceback);
#endif
}

}  // namespace frame::host
