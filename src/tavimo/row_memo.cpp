// Rows made once per itinerary; see row_memo.hpp.
#include "row_memo.hpp"

#include "ops.hpp"

#include <memory>

namespace tavimo {

using frame::Ref;

RowMemo::~RowMemo() { std::destroy_n(entries_.at, count_); }

void RowMemo::Facts::saw(PyObject* value) noexcept {
    plain = plain && (!marked || frame::has_fixed_text(value));
}

void RowMemo::prepare(PyObject* leg, Facts& facts) const noexcept {
    facts.marked = remembering_ && count_ < capacity && PyDict_CheckExact(leg) &&
                   frame::host::has_text_keys_only(leg) && facts.mark.take(leg);
}

void RowMemo::remember(PyObject* leg, const Facts& facts, PyObject* row) noexcept {
    if (!facts.marked || !facts.plain || !facts.native_times) return;
    std::size_t slot = 0;
    while (slot < count_ && entries_.at[slot].leg.get() != leg) ++slot;  // a leg made again
    if (slot == capacity) return;
    if (slot == count_) std::construct_at(&entries_.at[count_++]);
    Entry& entry = entries_.at[slot];
    entry.leg = Ref::borrow(leg);
    for (int i = 0; i < 6; ++i) entry.cells[i] = Ref::borrow(PyList_GET_ITEM(row, i));
    entry.mark = facts.mark;
}

const Ref* RowMemo::cells_of(PyObject* leg) const noexcept {
    for (std::size_t i = 0; i < count_; ++i)
        if (entries_.at[i].leg.get() == leg)
            return entries_.at[i].mark.held(leg) ? entries_.at[i].cells : nullptr;
    return nullptr;
}

}  // namespace tavimo
