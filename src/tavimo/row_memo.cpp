// Rows made once per itinerary; see row_memo.hpp.
#include "row_memo.hpp"

namespace tavimo {

using frame::Ref;

void RowMemo::Facts::saw(PyObject* value) noexcept {
    plain = plain && (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) ||
                      value == Py_None || PyBool_Check(value));
}

void RowMemo::remember(PyObject* leg, const Facts& facts, PyObject* row) noexcept {
    if (!remembering_ || !facts.plain || !facts.native_times || !PyDict_CheckExact(leg) ||
        count_ == capacity || PyDict_GET_SIZE(leg) > max_items || cells_of(leg))
        return;
    Entry& entry = entries_[count_];
    try {
        if (!frame::host::version_tags_are_free)
            entry.items.reserve(2 * static_cast<std::size_t>(PyDict_GET_SIZE(leg)));
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(leg, &position, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                entry.items.clear();
                return;
            }
            if (frame::host::version_tags_are_free) continue;
            entry.items.push_back(Ref::borrow(key));
            entry.items.push_back(Ref::borrow(value));
        }
    } catch (...) {
        entry.items.clear();  // not remembering a row is always right
        return;
    }
    entry.leg = Ref::borrow(leg);
    for (int i = 0; i < 6; ++i) entry.cells[i] = Ref::borrow(PyList_GET_ITEM(row, i));
    if (frame::host::version_tags_are_free) entry.tag = frame::version_tag(leg);
    ++count_;
}

bool RowMemo::unchanged(const Entry& entry) const noexcept {
    PyObject* leg = entry.leg.get();
    if (frame::host::version_tags_are_free) return frame::version_tag(leg) == entry.tag;
    if (static_cast<std::size_t>(2 * PyDict_GET_SIZE(leg)) != entry.items.size()) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    for (std::size_t i = 0; PyDict_Next(leg, &position, &key, &value); i += 2)
        if (key != entry.items[i].get() || value != entry.items[i + 1].get()) return false;
    return true;
}

const Ref* RowMemo::cells_of(PyObject* leg) const noexcept {
    for (std::size_t i = 0; i < count_; ++i)
        if (entries_[i].leg.get() == leg) return unchanged(entries_[i]) ? entries_[i].cells : nullptr;
    return nullptr;
}

}  // namespace tavimo
