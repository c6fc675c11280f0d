// Operations that function bodies are written in.  Each mirrors one host-language
// construct, gives the same result and the same exception, and on failure records the
// caller's line (see frame.hpp).
#pragma once

#include "module_frame/frame.hpp"

#include <initializer_list>
#include <utility>

namespace frame {

// Records the line of a failure whose exception is already set; returns null for
// `return fail_at(where);`.
std::nullptr_t fail_at(Where where) noexcept;

// obj[key] where obj is not an exact dict; and the failure of an exact dict's lookup
// (`found`: 0 for a missing key, which raises KeyError(key), -1 with the error set).
Ref get_item_of_other(PyObject* object, PyObject* key, Where where) noexcept;
Ref lookup_failed(PyObject* key, int found, Where where) noexcept;

// obj[key]; an exact dict is read directly (here, as items of records are read dozens of
// times a call) and a missing key raises KeyError(key).
inline Ref get_item(PyObject* object, PyObject* key, Where where = Where::current()) noexcept {
    if (!PyDict_CheckExact(object)) return get_item_of_other(object, key, where);
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(object, key, &value);
    if (found > 0) return Ref::steal(value);
    return lookup_failed(key, found, where);
}
// obj.name
Ref get_attr(PyObject* object, PyObject* name, Where where = Where::current()) noexcept;
// obj[slice]; a type without any subscription raises "'%.200s' object is unsliceable".
Ref get_slice(PyObject* object, PyObject* slice, Where where = Where::current()) noexcept;
// The slice [:-1], for get_slice.
extern Constant all_but_last;

// fn(*args) with keyword names for the trailing arguments (a tuple of texts, or null).
Ref call(PyObject* function, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr,
         Where where = Where::current()) noexcept;

// f"{value}": a text unchanged, anything else formatted with an empty format.
Ref display_text(PyObject* value, Where where = Where::current()) noexcept;
// Whether the display text of `value` is fixed by the object alone, so that making it can
// neither fail nor run code: an exact text, None, a boolean, or an exact int that fits a
// machine word (a longer one may exceed the host's limit on int digits, which any code can
// lower to as few as 640 digits).  Texts, the usual case, are told here.
bool has_fixed_text_other_than_text(PyObject* value) noexcept;
inline bool has_fixed_text(PyObject* value) noexcept {
    return PyUnicode_CheckExact(value) || has_fixed_text_other_than_text(value);
}
// str(value)
Ref to_str(PyObject* value, Where where = Where::current()) noexcept;
// int(value); an exact int is returned unchanged.
Ref to_int(PyObject* value, Where where = Where::current()) noexcept;
// bool(value): 1, 0, or -1 with an error set.
int truth(PyObject* value, Where where = Where::current()) noexcept;
// a == b
Ref equals(PyObject* a, PyObject* b, Where where = Where::current()) noexcept;
// len(value), or -1 with an error set.
Py_ssize_t length(PyObject* value, Where where = Where::current()) noexcept;

// A new text from ASCII characters (not checked: the caller wrote them).
Ref ascii_text(const char* characters, Py_ssize_t length, Where where = Where::current()) noexcept;

// separator.join(iterable)
Ref join_with(PyObject* separator, PyObject* iterable, Where where = Where::current()) noexcept;
// text[:-count] of an exact text (count > 0): all of it but its last `count` characters.
Ref all_but_last_of(PyObject* text, Py_ssize_t count, Where where = Where::current()) noexcept;

// The concatenation of texts.
Ref join(PyObject* const* texts, std::size_t count, Where where = Where::current()) noexcept;
inline Ref concat(std::initializer_list<PyObject*> texts, Where where = Where::current()) noexcept {
    return join(texts.begin(), texts.size(), where);
}

Ref new_list(std::initializer_list<PyObject*> items, Where where = Where::current()) noexcept;
// A list of one item, given the reference held (no count written for the list's own).
Ref new_list_holding(Ref item, Where where = Where::current()) noexcept;
Ref new_tuple(std::initializer_list<PyObject*> items, Where where = Where::current()) noexcept;
bool append(PyObject* list, PyObject* item, Where where = Where::current()) noexcept;
// A new tuple of interned names, for keyword calls.
PyObject* make_kwnames(std::initializer_list<const char*> names) noexcept;

// `a, b = value`: exactly two items from a tuple, a list or any iterable.
bool unpack_pair(PyObject* value, Ref& first, Ref& second, Where where = Where::current()) noexcept;

// `for item in iterable: visit(item)`; visit gets a borrowed item and returns false on
// failure.  Exact lists and tuples are walked directly.
class Iteration {
public:
    Iteration(PyObject* iterable, Where where) noexcept;
    // The next item, or an empty Ref at the end (done() true) or on failure (error set).
    Ref next() noexcept;
    bool failed() const noexcept { return failed_; }

private:
    PyObject* sequence_ = nullptr;  // exact list or tuple, borrowed
    Ref iterator_;
    Py_ssize_t index_ = 0;
    bool failed_ = false;
    Where where_;
};

template <class Visit>
bool for_each(PyObject* iterable, Visit&& visit, Where where = Where::current()) noexcept {
    Iteration iteration(iterable, where);
    while (Ref item = iteration.next())
        if (!visit(item.get())) return false;
    return !iteration.failed();
}

// `for key, value in dict.items(): visit(key, value)` over an exact dict, walked as the
// host's dict iterator walks it: the size is checked before every step ("dictionary
// changed size during iteration"), and an entry found after as many entries as the dict
// held means that keys were replaced meanwhile ("dictionary keys changed during
// iteration").  visit gets the key and value, held for the step, and returns false on
// failure.
class DictItems {
public:
    DictItems(PyObject* dict, Where where) noexcept;
    // The next entry into key and value (true); false at the end or on failure (failed()).
    bool next(Ref& key, Ref& value) noexcept;
    bool failed() const noexcept { return failed_; }

private:
    bool fail(const char* message) noexcept;
    PyObject* dict_;
    Py_ssize_t size_, left_, position_ = 0;
    bool failed_ = false;
    Where where_;
};

template <class Visit>
bool for_each_item(PyObject* dict, Visit&& visit, Where where = Where::current()) noexcept {
    DictItems items(dict, where);
    Ref key, value;
    while (items.next(key, value))
        if (!visit(key.get(), value.get())) return false;
    return !items.failed();
}

// `raise value`: an exception instance raises itself, an exception class is instantiated.
std::nullptr_t raise(PyObject* value, Where where = Where::current()) noexcept;

}  // namespace frame
