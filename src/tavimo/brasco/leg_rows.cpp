// The rows of the leg details tables and the display times they show; see leg_rows.hpp.
#include "tavimo/brasco/leg_rows.hpp"

#include "module_frame/host.hpp"
#include "module_frame/ops.hpp"
#include "tavimo/brasco/native_datetime.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

namespace tavimo::leg_rows {

using frame::Constant;
using frame::Global;
using frame::Ref;
using native_datetime::StrftimeChecked;

namespace {

Constant k_fromisoformat("fromisoformat");
Constant k_strftime("strftime");
Constant k_display_format("%a %d %b %H:%M");
Constant k_arrow(" -> ");
Constant k_open("(");
Constant k_close_arrow(") -> ");
Constant k_close(")");
Constant k_blank(" ");

// Keys of a leg.
Constant k_local_departure("local_departure");
Constant k_local_arrival("local_arrival");
Constant k_city_from("cityFrom");
Constant k_fly_from("flyFrom");
Constant k_city_to("cityTo");
Constant k_fly_to("flyTo");
Constant k_flight_no("flight_no");
Constant k_airline("airline");
Constant k_operating_carrier("operating_carrier");
Constant k_operating_flight_no("operating_flight_no");

Global g_datetime("datetime");

// ---------------------------------------------------------------------------------------
// Display times

// A display time: its 16 characters rendered natively, or the text the host made.
struct DisplayTime {
    char native[16];
    Ref text;
    // Where it was rendered natively: the check of the rendering's conditions that covered
    // it, with no code run since.
    std::optional<StrftimeChecked> checked;

    bool is_native() const { return !text; }
    Ref object() const { return text ? text : frame::ascii_text(native, sizeof native); }
    // Its text; one made by the host goes through its display text.
    Ref shown() const { return is_native() ? object() : frame::display_text(text.get()); }
};

// datetime.fromisoformat(iso).strftime("%a %d %b %H:%M") through the host.
Ref render_by_host(PyObject* datetime, PyObject* iso) {
    Ref parse = frame::get_attr(datetime, k_fromisoformat);
    if (!parse) return nullptr;
    Ref moment = frame::call(parse.get(), {iso});
    if (!moment) return nullptr;
    Ref strftime = frame::get_attr(moment.get(), k_strftime);
    if (!strftime) return nullptr;
    return frame::call(strftime.get(), {k_display_format});
}

// Renders value[:-1] natively, where it may: under `checked` when given and `datetime` comes
// from the cache of module names (no lookup, so no code, since the check), else checked
// here after looking `datetime` up (or taking it as already looked up).
bool render_natively(PyObject* value, DisplayTime& shown, Ref& datetime,
                     std::optional<StrftimeChecked> checked) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value) - 1;
    PyObject* cached = checked && !datetime ? g_datetime.cached() : nullptr;
    if (cached) {
        datetime = Ref::borrow(cached);
        if (native_datetime::render(*checked, cached, value, length, shown.native))
            shown.checked = checked;
        return shown.checked.has_value();
    }
    if (!datetime && !(datetime = g_datetime.get())) return false;
    shown.checked = native_datetime::render(datetime.get(), value, length, shown.native);
    return shown.checked.has_value();
}

// The display time of value[:-1], with the module's `datetime` looked up for it (or, given,
// as already looked up for it).  An exact text that renders natively is not sliced: slicing
// it could neither fail nor run code.
bool make_display_time(PyObject* value, DisplayTime& shown, Ref datetime = {},
                       std::optional<StrftimeChecked> checked = std::nullopt) {
    if (PyUnicode_CheckExact(value)) {
        if (render_natively(value, shown, datetime, checked)) return true;
        if (PyErr_Occurred()) return false;
    }
    Ref iso = frame::get_slice(value, frame::all_but_last);
    if (!iso) return false;
    if (!datetime && !(datetime = g_datetime.get())) return false;
    shown.text = render_by_host(datetime.get(), iso.get());
    return bool(shown.text);
}

}  // namespace

Ref display_time_of_iso(PyObject* iso) {
    Ref datetime = g_datetime.get();
    if (!datetime) return nullptr;
    DisplayTime shown;
    if (PyUnicode_CheckExact(iso) &&
        native_datetime::render(datetime.get(), iso, PyUnicode_GET_LENGTH(iso), shown.native))
        return shown.object();
    return render_by_host(datetime.get(), iso);
}

Ref display_time_of(PyObject* record, PyObject* key) {
    Ref value = frame::get_item(record, key);
    DisplayTime shown;
    if (!value || !make_display_time(value.get(), shown)) return nullptr;
    return shown.object();
}

// ---------------------------------------------------------------------------------------
// Rows

namespace {

// The lookups of the module's `datetime` for the two times of a row that a caller has done
// already (empty: not done).
struct LookedUp {
    Ref departure, arrival;
};

// f"{departure} -> {arrival}" of the leg's display times: the departure is shown before
// the arrival is read.
Ref times_cell(PyObject* leg, RowMemo::Facts& facts, LookedUp datetimes = {}) {
    DisplayTime departure, arrival;
    Ref departure_value = frame::get_item(leg, k_local_departure);
    if (!departure_value) return nullptr;
    facts.saw(departure_value.get());
    facts.times[0] = departure_value.get();
    if (!make_display_time(departure_value.get(), departure, std::move(datetimes.departure)))
        return nullptr;
    Ref departure_text;
    if (!departure.is_native() && !(departure_text = departure.shown())) return nullptr;
    // Reading a dict of text keys runs no code: a native departure's check still covers
    // the arrival.
    std::optional<StrftimeChecked> still_checked;
    if (departure.checked && !datetimes.arrival && PyDict_CheckExact(leg) &&
        frame::has_text_keys_only(leg))
        still_checked = departure.checked;
    Ref arrival_value = frame::get_item(leg, k_local_arrival);
    if (!arrival_value) return nullptr;
    facts.saw(arrival_value.get());
    facts.times[1] = arrival_value.get();
    if (!make_display_time(arrival_value.get(), arrival, std::move(datetimes.arrival),
                           still_checked))
        return nullptr;
    facts.native_times = departure.is_native() && arrival.is_native();
    if (facts.native_times) {
        char text[36];
        std::copy_n(departure.native, 16, text);
        std::copy_n(" -> ", 4, text + 16);
        std::copy_n(arrival.native, 16, text + 20);
        return frame::ascii_text(text, sizeof text);
    }
    if (!departure_text && !(departure_text = departure.shown())) return nullptr;
    Ref arrival_text = arrival.shown();
    if (!arrival_text) return nullptr;
    return frame::concat({departure_text.get(), k_arrow, arrival_text.get()});
}

// The display text of leg[key].
Ref shown_value(PyObject* leg, PyObject* key, RowMemo::Facts& facts) {
    Ref value = frame::get_item(leg, key);
    if (!value) return nullptr;
    facts.saw(value.get());
    return frame::display_text(value.get());
}

// The six cells of one leg, computed in reading order.
Ref make_row(PyObject* leg, RowMemo::Facts& facts) {
    Ref city_from = shown_value(leg, k_city_from, facts);
    if (!city_from) return nullptr;
    Ref fly_from = shown_value(leg, k_fly_from, facts);
    if (!fly_from) return nullptr;
    Ref city_to = shown_value(leg, k_city_to, facts);
    if (!city_to) return nullptr;
    Ref fly_to = shown_value(leg, k_fly_to, facts);
    if (!fly_to) return nullptr;
    Ref airports = frame::concat({city_from.get(), k_open, fly_from.get(), k_close_arrow,
                                  city_to.get(), k_open, fly_to.get(), k_close});
    if (!airports) return nullptr;

    Ref times = times_cell(leg, facts);
    if (!times) return nullptr;

    Ref flight_no = shown_value(leg, k_flight_no, facts);
    if (!flight_no) return nullptr;
    Ref carrier = shown_value(leg, k_operating_carrier, facts);
    if (!carrier) return nullptr;
    Ref carrier_flight_no = shown_value(leg, k_operating_flight_no, facts);
    if (!carrier_flight_no) return nullptr;
    Ref operating_flight_no = frame::concat({carrier.get(), k_blank, carrier_flight_no.get()});
    if (!operating_flight_no) return nullptr;
    Ref airline = shown_value(leg, k_airline, facts);
    if (!airline) return nullptr;
    Ref operated_by = shown_value(leg, k_operating_carrier, facts);
    if (!operated_by) return nullptr;

    return frame::new_list({airports.get(), times.get(), flight_no.get(), airline.get(),
                            operating_flight_no.get(), operated_by.get()});
}

// The row of a leg whose row this i_parser call made already: its cells again, after the
// two lookups of `datetime` that making it does.  Where the remembered times would no
// longer be rendered natively, the times cell is made afresh with the lookups done here;
// reading the leg again runs no code.  (Free-threaded builds reuse rows by
// reused_row_unseen only.)
[[maybe_unused]] Row reused_row(PyObject* leg, RowMemo::Entry& entry) {
    const Ref* cells = entry.cells;
    LookedUp datetimes;
    Ref times;
    if (!(datetimes.departure = g_datetime.get())) return Row::failed();
    std::optional<StrftimeChecked> checked;
    if (native_datetime::is_host_datetime(datetimes.departure.get()))
        checked = native_datetime::check_strftime();
    if (checked) {
        // The check still covers the second lookup if that runs no code.
        PyObject* cached = g_datetime.cached();
        if (cached)
            datetimes.arrival = Ref::borrow(cached);
        else if (!(datetimes.arrival = g_datetime.get()))
            return Row::failed();
        if (native_datetime::is_host_datetime(datetimes.arrival.get()) &&
            (cached || native_datetime::check_strftime()))
            times = cells[1];
    }
    RowMemo::Facts unused;
    if (!times && !(times = times_cell(leg, unused, std::move(datetimes)))) return Row::failed();
    Ref unshown = entry.take_unshown(times.get());
    return Row::reused(entry, std::move(times), std::move(unshown));
}

// Without the GIL another thread may change the leg at any moment.  A remembered row
// stands for reading the leg again only when the leg is unchanged from before the first
// read of its row until after the last read that reusing the row stands for, and when
// nothing done in between could be told from the host's way: both lookups of `datetime`
// answered by the cache of module names and each display time's conditions checked (reads
// only, as when the row is made).  Then every read of the leg gives what it gave, wherever
// in that span the host would have made it.  Otherwise nothing but those reads has been
// done, and the row is made afresh (empty).
std::optional<Row> reused_row_unseen(PyObject* leg, RowMemo::Entry& entry) {
    for (int time = 0; time < 2; ++time) {
        PyObject* datetime = g_datetime.cached();
        if (!datetime || !native_datetime::is_host_datetime(datetime) ||
            !native_datetime::check_strftime())
            return std::nullopt;
    }
    if (!entry.mark.held(leg)) return std::nullopt;
    Ref times = entry.cells[1];
    Ref unshown = entry.take_unshown(times.get());
    return Row::reused(entry, std::move(times), std::move(unshown));
}

}  // namespace

Ref Row::list() const {
    if (list_) return list_;
    return frame::new_list({cells_[0].get(), times_.get(), cells_[2].get(), cells_[3].get(),
                            cells_[4].get(), cells_[5].get()});
}

Row leg_row(PyObject* leg, RowMemo* memo) {
    if (memo)
        if (RowMemo::Entry* entry = memo->entry_of(leg)) {
            if constexpr (frame::host::gil_guards_shared_state) return reused_row(leg, *entry);
            if (std::optional<Row> row = reused_row_unseen(leg, *entry)) return std::move(*row);
        }
    RowMemo::Facts facts;
    if (memo) memo->prepare(leg, facts);
    Ref row = make_row(leg, facts);
    if (!row) return Row::failed();
    RowMemo::Entry* entry = memo ? memo->remember(leg, facts, row.get()) : nullptr;
    return Row::made(std::move(row), entry);
}

// ---------------------------------------------------------------------------------------
// The memo

RowMemo::~RowMemo() { std::destroy_n(entries_.at, count_); }

void RowMemo::Facts::saw(PyObject* value) noexcept {
    plain = plain && (!marked || frame::has_fixed_text(value));
}

void RowMemo::prepare(PyObject* leg, Facts& facts) const noexcept {
    facts.marked = remembering_ && count_ < capacity && PyDict_CheckExact(leg) &&
                   facts.mark.take_of_text_keys(leg);
}

Ref RowMemo::Entry::known(Field field) const noexcept {
    if (!values[field]) return nullptr;
    frame::host::CriticalSection locked(leg.get());
    return mark.held_locked(leg.get()) ? Ref::borrow(values[field]) : Ref();
}

RowMemo::Entry* RowMemo::remember(PyObject* leg, const Facts& facts, PyObject* row) noexcept {
    if (!facts.marked || !facts.plain || !facts.native_times) return nullptr;
    std::size_t slot = 0;
    while (slot < count_ && entries_.at[slot].leg.get() != leg) ++slot;  // a leg made again
    if (slot == capacity) return nullptr;
    if (slot == count_) std::construct_at(&entries_.at[count_++]);
    Entry& entry = entries_.at[slot];
    entry.leg = Ref::borrow(leg);
    for (int i = 0; i < 6; ++i) entry.cells[i] = Ref::borrow(PyList_GET_ITEM(row, i));
    entry.mark = facts.mark;
    entry.unshown = Ref();
    entry.values[departure] = facts.times[0];
    entry.values[arrival] = facts.times[1];
    entry.values[is_return] = nullptr;
    return &entry;
}

void RowMemo::keep_unshown(Row& row) noexcept {
    Entry* entry = row.entry();
    Ref list = row.take_made();
    if (entry && list) entry->unshown = std::move(list);
}

// The kept list, handed out once, for a reused row whose times cell is the remembered one.
// Code run since (a log handler) can have reached the list through the collector only: it
// is handed out while nothing else holds it and it is still exactly the row's six cells.
Ref RowMemo::Entry::take_unshown(PyObject* times) noexcept {
    Ref list = std::move(unshown);
    if (!list || times != cells[1].get() || Py_REFCNT(list.get()) != 1 ||
        PyList_GET_SIZE(list.get()) != 6)
        return nullptr;
    for (int cell = 0; cell < 6; ++cell)
        if (PyList_GET_ITEM(list.get(), cell) != cells[cell].get()) return nullptr;
    return list;
}

RowMemo::Entry* RowMemo::entry_of(PyObject* leg) noexcept {
    for (std::size_t i = 0; i < count_; ++i)
        if (entries_.at[i].leg.get() == leg)
            return entries_.at[i].mark.held(leg) ? &entries_.at[i] : nullptr;
    return nullptr;
}

}  // namespace tavimo::leg_rows
