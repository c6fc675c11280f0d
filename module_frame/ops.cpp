// Operations for function bodies (see ops.hpp).
#include "module_frame/ops.hpp"

#include "module_frame/host.hpp"
#include "module_frame/internal/host_objects.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace frame {
namespace {

Constant k_minus_one([] { return PyLong_FromLong(-1); });

// Records the failure when `result` is empty, and passes it on.
Ref checked(Ref result, Where where) noexcept {
    if (!result) note_failure(where);
    return result;
}

Ref checked_new(PyObject* result, Where where) noexcept {
    return checked(Ref::steal(result), where);
}

void copy_characters(const char* from, Py_ssize_t length, char* to) noexcept {
    std::memcpy(to, from, static_cast<std::size_t>(length));
}

void raise_unpack_count(Py_ssize_t found) noexcept {
    if (found > 2)
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
    else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                     found == 1 ? "" : "s");
}

}  // namespace

Constant all_but_last([] { return PySlice_New(nullptr, k_minus_one, nullptr); });

std::nullptr_t fail_at(Where where) noexcept {
    note_failure(where);
    return nullptr;
}

Ref lookup_failed(PyObject* key, int found, Where where) noexcept {
    if (found == 0) {
        Ref argument = Ref::steal(PyTuple_Pack(1, key));
        if (argument) PyErr_SetObject(PyExc_KeyError, argument.get());
    }
    return fail_at(where);
}

Ref get_item_of_other(PyObject* object, PyObject* key, Where where) noexcept {
    return checked_new(PyObject_GetItem(object, key), where);
}

Ref get_attr(PyObject* object, PyObject* name, Where where) noexcept {
    return checked_new(PyObject_GetAttr(object, name), where);
}

Ref get_slice(PyObject* object, PyObject* slice, Where where) noexcept {
    if (PyUnicode_CheckExact(object) && PySlice_Check(slice)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(slice, &start, &stop, &step) < 0) return fail_at(where);
        PySlice_AdjustIndices(PyUnicode_GET_LENGTH(object), &start, &stop, step);
        if (step == 1)
            return checked_new(PyUnicode_Substring(object, start, std::max(start, stop)), where);
    }
    PyMappingMethods* mapping = Py_TYPE(object)->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        // Item access by index only, as the host reports it for a slice.
        PySequenceMethods* sequence = Py_TYPE(object)->tp_as_sequence;
        if (sequence && sequence->sq_item)
            PyErr_Format(PyExc_TypeError, "sequence index must be integer, not '%.200s'",
                         Py_TYPE(slice)->tp_name);
        else
            PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable",
                         Py_TYPE(object)->tp_name);
        return fail_at(where);
    }
    return checked_new(mapping->mp_subscript(object, slice), where);
}

Ref call(PyObject* function, std::initializer_list<PyObject*> args, PyObject* kwnames,
         Where where) noexcept {
    std::size_t positional = args.size() - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return checked_new(
        PyObject_Vectorcall(function, const_cast<PyObject**>(args.begin()), positional, kwnames),
        where);
}

Ref display_text(PyObject* value, Where where) noexcept {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyLong_CheckExact(value)) {
        // The decimal digits of an int, written directly when it fits a machine word.
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow) {
            char digits[24];
            const auto written = std::to_chars(digits, digits + sizeof digits, number);
            return ascii_text(digits, written.ptr - digits, where);
        }
    }
    return checked_new(PyObject_Format(value, nullptr), where);
}

bool has_fixed_text_other_than_text(PyObject* value) noexcept {
    if (value == Py_None || PyBool_Check(value)) return true;
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);
    return !overflow;
}

Ref to_str(PyObject* value, Where where) noexcept {
    // str() and format() agree on texts and ints; display_text writes both directly.
    if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value)) return display_text(value, where);
    return checked_new(PyObject_Str(value), where);
}

Ref to_int(PyObject* value, Where where) noexcept {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    return checked_new(PyNumber_Long(value), where);
}

int truth(PyObject* value, Where where) noexcept {
    if (value == Py_True) return 1;
    if (value == Py_False || value == Py_None) return 0;
    int result = PyObject_IsTrue(value);
    if (result < 0) note_failure(where);
    return result;
}

Ref equals(PyObject* a, PyObject* b, Where where) noexcept {
    return checked_new(PyObject_RichCompare(a, b, Py_EQ), where);
}

Py_ssize_t length(PyObject* value, Where where) noexcept {
    Py_ssize_t result = PyObject_Length(value);
    if (result < 0) note_failure(where);
    return result;
}

Ref ascii_text(const char* characters, Py_ssize_t length, Where where) noexcept {
    Ref text = Ref::steal(PyUnicode_New(length, 127));
    if (!text) return fail_at(where);
    copy_characters(characters, length, static_cast<char*>(PyUnicode_DATA(text.get())));
    return text;
}

Ref join(PyObject* const* texts, std::size_t count, Where where) noexcept {
    // Exact ASCII texts, the usual case, are copied straight into the result.
    Py_ssize_t total = 0;
    bool ascii = true;
    for (std::size_t i = 0; ascii && i < count; ++i) {
        ascii = PyUnicode_CheckExact(texts[i]) && PyUnicode_IS_ASCII(texts[i]);
        if (ascii) total += PyUnicode_GET_LENGTH(texts[i]);
    }
    if (ascii) {
        Ref result = Ref::steal(PyUnicode_New(total, 127));
        if (!result) return fail_at(where);
        auto* out = static_cast<char*>(PyUnicode_DATA(result.get()));
        for (std::size_t i = 0; i < count; ++i) {
            const Py_ssize_t length = PyUnicode_GET_LENGTH(texts[i]);
            copy_characters(static_cast<const char*>(PyUnicode_DATA(texts[i])), length, out);
            out += length;
        }
        return result;
    }
    static PyObject* empty = PyUnicode_New(0, 0);
    if (!empty) return fail_at(where);
    return checked_new(host::join_texts(empty, texts, static_cast<Py_ssize_t>(count)), where);
}

Ref join_with(PyObject* separator, PyObject* iterable, Where where) noexcept {
    return checked_new(PyUnicode_Join(separator, iterable), where);
}

Ref all_but_last_of(PyObject* text, Py_ssize_t count, Where where) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    return checked_new(PyUnicode_Substring(text, 0, length > count ? length - count : 0), where);
}

Ref new_list(std::initializer_list<PyObject*> items, Where where) noexcept {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return fail_at(where);
    Py_ssize_t index = 0;
    for (PyObject* item : items) PyList_SET_ITEM(list.get(), index++, Ref::borrow(item).release());
    return list;
}

Ref new_list_holding(Ref item, Where where) noexcept {
    Ref list = Ref::steal(PyList_New(1));
    if (!list) return fail_at(where);
    PyList_SET_ITEM(list.get(), 0, item.release());
    return list;
}

Ref new_tuple(std::initializer_list<PyObject*> items, Where where) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return fail_at(where);
    Py_ssize_t index = 0;
    for (PyObject* item : items)
        PyTuple_SET_ITEM(tuple.get(), index++, Ref::borrow(item).release());
    return tuple;
}

bool append(PyObject* list, PyObject* item, Where where) noexcept {
    if (PyList_Append(list, item) == 0) return true;
    note_failure(where);
    return false;
}

PyObject* make_kwnames(std::initializer_list<const char*> names) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return nullptr;
    Py_ssize_t index = 0;
    for (const char* name : names) {
        PyObject* text = PyUnicode_InternFromString(name);
        if (!text) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), index++, text);
    }
    return tuple.release();
}

bool unpack_pair(PyObject* value, Ref& first, Ref& second, Where where) noexcept {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        host::CriticalSection section(value);  // a list's size and items read together
        Py_ssize_t size = Py_SIZE(value);
        if (size != 2) {
            raise_unpack_count(size);
            note_failure(where);
            return false;
        }
        PyObject** items =
            PyTuple_CheckExact(value) ? &PyTuple_GET_ITEM(value, 0) : &PyList_GET_ITEM(value, 0);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) return fail_at(where), false;
    Ref items[2];
    for (Py_ssize_t found = 0; found < 2; ++found) {
        items[found] = Ref::steal(PyIter_Next(iterator.get()));
        if (items[found]) continue;
        if (!PyErr_Occurred()) raise_unpack_count(found);
        return fail_at(where), false;
    }
    if (Ref extra = Ref::steal(PyIter_Next(iterator.get()))) {
        raise_unpack_count(3);
        return fail_at(where), false;
    }
    if (PyErr_Occurred()) return fail_at(where), false;
    first = std::move(items[0]);
    second = std::move(items[1]);
    return true;
}

Iteration::Iteration(PyObject* iterable, Where where) noexcept : where_(where) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        sequence_ = iterable;
        return;
    }
    iterator_ = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator_) {
        failed_ = true;
        note_failure(where_);
    }
}

Ref Iteration::next() noexcept {
    if (sequence_) {
        // The size is read at each step: the list may change while it is walked.
        Ref item = PyList_CheckExact(sequence_)
                       ? Ref::steal(host::list_item_or_null(sequence_, index_))
                   : index_ < PyTuple_GET_SIZE(sequence_)
                       ? Ref::borrow(PyTuple_GET_ITEM(sequence_, index_))
                       : nullptr;
        if (item) ++index_;
        return item;
    }
    if (!iterator_) return nullptr;
    Ref item = Ref::steal(PyIter_Next(iterator_.get()));
    if (!item && PyErr_Occurred()) {
        failed_ = true;
        note_failure(where_);
    }
    return item;
}

DictItems::DictItems(PyObject* dict, Where where) noexcept
    : dict_(dict), size_(PyDict_GET_SIZE(dict)), left_(size_), where_(where) {}

bool DictItems::fail(const char* message) noexcept {
    PyErr_SetString(PyExc_RuntimeError, message);
    note_failure(where_);
    failed_ = true;
    return false;
}

bool DictItems::next(Ref& key, Ref& value) noexcept {
    if (failed_) return false;
    {
        // Each step under the dict's critical section, as the host's iterator takes it.
        host::CriticalSection section(dict_);
        if (PyDict_GET_SIZE(dict_) != size_)
            return fail("dictionary changed size during iteration");
        PyObject *found_key, *found_value;
        if (!PyDict_Next(dict_, &position_, &found_key, &found_value)) return false;
        key = Ref::borrow(found_key);
        value = Ref::borrow(found_value);
    }
    if (left_-- == 0) return fail("dictionary keys changed during iteration");
    return true;
}

std::nullptr_t raise(PyObject* value, Where where) noexcept {
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
    } else if (PyExceptionClass_Check(value)) {
        Ref instance = Ref::steal(PyObject_CallObject(value, nullptr));
        if (instance && PyExceptionInstance_Check(instance.get()))
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
        else if (instance)
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         value, Py_TYPE(instance.get()));
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
    }
    return fail_at(where);
}

}  // namespace frame
