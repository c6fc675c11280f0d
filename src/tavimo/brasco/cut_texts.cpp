// The earliest and latest of texts cut by [:-1]; see cut_texts.hpp.
#include "tavimo/brasco/cut_texts.hpp"

#include "module_frame/ops.hpp"

#include <algorithm>
#include <cstring>

namespace tavimo::cut_texts {

using frame::Ref;

namespace {
frame::HostFunction host_min("builtins", "min"), host_max("builtins", "max");
}  // namespace

Ref CutTexts::earliest(PyObject* min, frame::Where where) const {
    return extreme(min, host_min.is(min), -1, where);
}

Ref CutTexts::latest(PyObject* max, frame::Where where) const {
    return extreme(max, host_max.is(max), 1, where);
}

bool CutTexts::add(Ref value, frame::Where where) {
    if (PyUnicode_CheckExact(value.get())) {
        entries_.push_back({std::move(value), false});
        return true;
    }
    Ref cut = frame::get_slice(value.get(), frame::all_but_last, where);
    if (!cut) return false;
    entries_.push_back({std::move(cut), true});
    return true;
}

Ref CutTexts::extreme(PyObject* builtin, bool builtin_is_hosts, int order,
                      frame::Where where) const {
    bool direct = builtin_is_hosts && !entries_.empty();
    for (const Entry& entry : entries_) direct = direct && PyUnicode_CheckExact(entry.text.get());
    if (!direct) {
        Ref texts = as_list(where);
        return texts ? frame::call(builtin, {texts.get()}, nullptr, where) : nullptr;
    }
    const Entry* chosen = &entries_.front();
    for (const Entry& entry : entries_)
        if (compare(entry, *chosen) * order > 0) chosen = &entry;
    return cut_of(*chosen, where);
}

Py_ssize_t CutTexts::length_of(const Entry& entry) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(entry.text.get());
    return entry.cut || length == 0 ? length : length - 1;
}

// The order of two cut texts by code points, as PyUnicode_Compare gives it.
int CutTexts::compare(const Entry& a, const Entry& b) noexcept {
    PyObject* x = a.text.get();
    PyObject* y = b.text.get();
    const Py_ssize_t x_length = length_of(a), y_length = length_of(b);
    const Py_ssize_t common = std::min(x_length, y_length);
    const int x_kind = PyUnicode_KIND(x), y_kind = PyUnicode_KIND(y);
    const void* x_data = PyUnicode_DATA(x);
    const void* y_data = PyUnicode_DATA(y);
    if (x_kind == PyUnicode_1BYTE_KIND && y_kind == PyUnicode_1BYTE_KIND) {
        if (int order = std::memcmp(x_data, y_data, static_cast<std::size_t>(common)))
            return order < 0 ? -1 : 1;
    } else {
        for (Py_ssize_t i = 0; i < common; ++i) {
            const Py_UCS4 p = PyUnicode_READ(x_kind, x_data, i);
            const Py_UCS4 q = PyUnicode_READ(y_kind, y_data, i);
            if (p != q) return p < q ? -1 : 1;
        }
    }
    return x_length < y_length ? -1 : x_length > y_length ? 1 : 0;
}

Ref CutTexts::cut_of(const Entry& entry, frame::Where where) {
    if (entry.cut) return entry.text;
    return frame::get_slice(entry.text.get(), frame::all_but_last, where);
}

Ref CutTexts::as_list(frame::Where where) const {
    Ref texts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(entries_.size())));
    if (!texts) return frame::fail_at(where);
    Py_ssize_t index = 0;
    for (const Entry& entry : entries_) {
        Ref text = cut_of(entry, where);
        if (!text) return nullptr;
        PyList_SET_ITEM(texts.get(), index++, text.release());
    }
    return texts;
}

}  // namespace tavimo::cut_texts
