// Rows made once per itinerary.
//
// On a round trip, i_parser asks route_details for the rows of the same route plan twice.
// The rows of its first call are remembered by a RowMemo that lives on i_parser's stack and
// is handed to the body of the module's own route_details (never kept anywhere else), and the
// second call reuses a row where making it afresh is certain to give the same cells:
//
//   - the leg is an exact dict whose keys are all exact texts (as the host records it), so
//     that reading it runs no code, and it is unchanged since before the row was made (its
//     content mark, taken before the first read, still holds);
//   - every value the row read has a display text fixed by the object itself (a text,
//     None, a boolean, or an int short enough that no limit on int digits can refuse its
//     text; see frame::has_fixed_text);
//   - both times were rendered natively when the row was made.  Whether they still would
//     be is for the caller to settle when it reuses the row: the module's `datetime` is
//     looked up for each time, as making the row does, and the native rendering's
//     conditions are checked right before the row is made.
#pragma once

#include "frame.hpp"

namespace tavimo {

class RowMemo {
public:
    // What making a row found out about its leg.
    struct Facts {
        bool plain = true;          // every value read has a fixed display text
        bool native_times = false;  // both times were rendered natively
        bool marked = false;        // the leg may be remembered, and `mark` was taken
        frame::ContentMark mark;

        // Notes a value read from the leg (of a leg that may be remembered).
        void saw(PyObject* value) noexcept;
    };

    // A memo that remembers rows only when `remembering` (a memo that never will costs
    // nothing).
    explicit RowMemo(bool remembering) noexcept : remembering_(remembering) {}
    ~RowMemo();
    RowMemo(const RowMemo&) = delete;
    RowMemo& operator=(const RowMemo&) = delete;

    // Right before a row of `leg` is made: marks the leg in `facts` if its row may be
    // remembered.
    void prepare(PyObject* leg, Facts& facts) const noexcept;

    // Remembers the cells of `row` (a new list of six texts), made from `leg`, when the facts
    // allow it.
    void remember(PyObject* leg, const Facts& facts, PyObject* row) noexcept;

    // The six cells of the remembered row of `leg` while the leg holds what it held then;
    // null otherwise.
    const frame::Ref* cells_of(PyObject* leg) const noexcept;

private:
    struct Entry {
        frame::Ref leg;
        frame::Ref cells[6];  // texts, which nobody can change
        frame::ContentMark mark;
    };
    static constexpr std::size_t capacity = 8;

    bool remembering_;
    std::size_t count_ = 0;
    // Room for the entries; only the first count_ are made (a one-way call makes none).
    union Entries {
        Entries() noexcept {}
        ~Entries() {}
        Entry at[capacity];
    } entries_;
};

}  // namespace tavimo
