// The rows of the leg details tables and the display times they show.
//
// A row holds six cells of one leg of a route plan, read in order: the airports, the times
// ("Tue 01 Jun 10:15 -> Tue 01 Jun 13:40"), the flight number, the airline, the operating
// flight number and the operating carrier.  A display time is
//
//     datetime.fromisoformat(text).strftime("%a %d %b %H:%M")
//
// with the module's `datetime` looked up for each time, rendered natively where that is
// certain to give the host's text (native_datetime.hpp).
//
// Rows made once per itinerary: on a round trip, i_parser asks route_details for the rows of
// the same route plan twice.  The rows of its first call are remembered by a RowMemo that
// lives on i_parser's stack and is handed to the body of the module's own route_details
// (never kept anywhere else), and the second call reuses a row where making it afresh is
// certain to give the same cells:
//
//   - the leg is an exact dict whose keys are all exact texts (as the host records it), so
//     that reading it runs no code, and it is unchanged since before the row was made (its
//     content mark, taken before the first read, still holds);
//   - every value the row read has a display text fixed by the object itself (a text,
//     None, a boolean, or an int short enough that no limit on int digits can refuse its
//     text; see frame::has_fixed_text);
//   - both times were rendered natively when the row was made.  Whether they still would
//     be is settled when the row is reused: the module's `datetime` is looked up for each
//     time, as making the row does, and the native rendering's conditions are checked.
//
// The memo also knows what some reads of a remembered leg gave (its times, and its "return"
// as route_details read it right after the row): while the leg's content mark holds, the
// leg is the exact dict of text keys it was, so reading it again would run no code and give
// the same object.  i_parser's later reads of those keys take them from the memo then.
//
// The list of a row made for a table that its call does not keep was seen by nobody: the
// memo keeps it, and hands it out once, for the reused row of the same leg whose times
// cell is the remembered one, in place of a new list of the same cells: only while nothing
// else holds it and it holds exactly the row's cells (code run in between can reach it
// through the collector).
#pragma once

#include "module_frame/frame.hpp"

#include <cstddef>
#include <utility>

namespace tavimo::leg_rows {

// The display time of `iso`, a text as fromisoformat receives it.
frame::Ref display_time_of_iso(PyObject* iso);

// The display time of record[key][:-1].
frame::Ref display_time_of(PyObject* record, PyObject* key);

// The rows one i_parser call made, for its second route_details call.
class Row;

class RowMemo {
public:
    // What making a row found out about its leg.
    struct Facts {
        bool plain = true;          // every value read has a fixed display text
        bool native_times = false;  // both times were rendered natively
        bool marked = false;        // the leg may be remembered, and `mark` was taken
        frame::ContentMark mark;
        PyObject* times[2] = {};  // the departure and arrival read (borrowed)

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

    // A read of a leg whose value the memo may know.
    enum Field { departure, arrival, is_return, fields };

    struct Entry {
        frame::Ref leg;
        frame::Ref cells[6];  // texts, which nobody can change
        frame::ContentMark mark;
        frame::Ref unshown;  // the row's list, made with these cells for no caller
        // Values read from the leg (borrowed, looked at only while the mark holds, when the
        // leg still holds them); null where not read.
        PyObject* values[fields] = {};

        // leg[field] as read earlier in this call while the leg is unchanged since; else null.
        // Without the GIL the value is taken while the leg is seen to hold it.
        frame::Ref known(Field field) const noexcept;
        // Notes leg[field], just read, while the leg is unchanged since its row was made.
        void note(Field field, PyObject* value) noexcept {
            if (mark.held(leg.get())) values[field] = value;
        }
        // The kept list of the row, if a reused row with this times cell may take it.
        frame::Ref take_unshown(PyObject* times) noexcept;
    };

    // Remembers the cells of `row` (a new list of six texts), made from `leg`, when the facts
    // allow it; the entry made, or null.
    Entry* remember(PyObject* leg, const Facts& facts, PyObject* row) noexcept;

    // Keeps the list of `row`, just made from `leg` and remembered, for a table that is not
    // kept: a list nobody has seen, which a reused row of the leg may take.
    void keep_unshown(Row& row) noexcept;

    // The remembered row of `leg` while the leg holds what it held then; null otherwise.
    Entry* entry_of(PyObject* leg) noexcept;

private:
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

// A row of a leg details table: the list made for it, or the cells of a row made earlier
// with its times cell as it is now, made into a list only for a table that is kept.
class Row {
public:
    static Row failed() { return {}; }
    // A row made now, remembered in `entry` (or not: null).
    static Row made(frame::Ref list, RowMemo::Entry* entry) {
        return Row(std::move(list), nullptr, {}, entry);
    }
    // A reused row: `unshown` is a list of exactly its cells that nobody has seen, or empty.
    static Row reused(RowMemo::Entry& entry, frame::Ref times, frame::Ref unshown) {
        return Row(std::move(unshown), entry.cells, std::move(times), &entry);
    }

    bool has_failed() const { return !list_ && !cells_; }
    // The row as a list of its six cells.
    frame::Ref list() const;
    // The list made for this row just now (not a reused one), handed over; else empty.
    frame::Ref take_made() noexcept { return cells_ ? frame::Ref() : std::move(list_); }
    // The memo's entry of the row's leg, or null.
    RowMemo::Entry* entry() const { return entry_; }

private:
    Row() = default;
    Row(frame::Ref list, const frame::Ref* cells, frame::Ref times, RowMemo::Entry* entry)
        : list_(std::move(list)), cells_(cells), times_(std::move(times)), entry_(entry) {}
    frame::Ref list_;
    const frame::Ref* cells_ = nullptr;
    frame::Ref times_;
    RowMemo::Entry* entry_ = nullptr;
};

// The row of one leg, reused from `memo` (if any) where it may be.
Row leg_row(PyObject* leg, RowMemo* memo);

}  // namespace tavimo::leg_rows
