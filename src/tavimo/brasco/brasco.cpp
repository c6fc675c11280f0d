// tavimo.brasco: parses one itinerary of a flight search into compact summaries and leg
// detail tables, logging what it finds at debug level.
#include "module_frame/frame.hpp"
#include "module_frame/ops.hpp"
#include "tavimo/brasco/cut_texts.hpp"
#include "tavimo/brasco/leg_rows.hpp"
#include "tavimo/brasco/native_datetime.hpp"
#include "tavimo/brasco/quiet_logging.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>
#include <vector>

namespace {

using frame::CachedBuiltin;
using frame::Constant;
using frame::Global;
using frame::Ref;
using tavimo::leg_rows::RowMemo;
namespace native_datetime = tavimo::native_datetime;

// ---------------------------------------------------------------------------------------
// Constants

Constant k_datetime("datetime");
Constant k_timedelta("timedelta");
Constant k_logging("logging");
Constant k_settings("settings");
Constant k_leg_details_header("leg_details_header");
Constant k_author("__author__");
Constant k_email("__email__");
Constant k_test("__test__");
Constant k_author_name("The tavimo developers");
Constant k_email_address("developers@tavimo.invalid");

Constant k_items("items");

// Keys of the search-result record and its route legs.
Constant k_duration("duration");
Constant k_departure("departure");
Constant k_return("return");
Constant k_routes("routes");
Constant k_local_departure("local_departure");
Constant k_local_arrival("local_arrival");
Constant k_conversion("conversion");
Constant k_route("route");

Constant k_arrow(" -> ");
Constant k_blank(" ");
Constant k_price_separator(" / ");
Constant k_outbound("outbound");
Constant k_inbound("inbound");
Constant k_no_price("x");
Constant k_empty("");

Constant k_label_outbound_duration("Outbound flight duration: ");
Constant k_label_outbound_route("Outbound route: ");
Constant k_label_outbound_departure("Outbound departure time: ");
Constant k_label_outbound_arrival("Outbound arrival time: ");
Constant k_label_price("Price (both ways): ");
Constant k_label_inbound_duration("Inbound flight duration: ");
Constant k_label_inbound_route("Inbound route: ");
Constant k_label_inbound_departure("Inbound departure time: ");
Constant k_label_inbound_arrival("Inbound arrival time: ");

Constant k_zero([] { return PyLong_FromLong(0); });
Constant k_one([] { return PyLong_FromLong(1); });
Constant k_kw_seconds([] { return frame::make_kwnames({"seconds"}); });
Constant k_kw_route_plan([] { return frame::make_kwnames({"route_plan"}); });
Constant k_kw_route_plan_leg([] { return frame::make_kwnames({"route_plan", "leg"}); });

// Module-level names, read at each use.
Global g_timedelta("timedelta");
Global g_logging("logging");
Global g_leg_details_header("leg_details_header");
Global g_route_details("route_details");
Global g_get_ret_times("get_ret_times");

frame::ModuleAttribute a_debug("debug");

CachedBuiltin b_min("min");
CachedBuiltin b_max("max");

// ---------------------------------------------------------------------------------------
// Shared steps

// label + the display text of value.
Ref log_message(PyObject* label, PyObject* value) {
    Ref text = native_datetime::duration_text(value);
    if (!text && !PyErr_Occurred()) text = frame::display_text(value);
    if (!text) return nullptr;
    return frame::concat({label, text.get()});
}

// `logging.debug`, looked up as the host evaluates logging.debug(...): the module's
// `logging` first, then its `debug`.
Ref debug_function() {
    Ref logging = g_logging.get();
    if (!logging) return nullptr;
    return a_debug.get(logging.get());
}

// debug(f"{label}{value}") once debug and the value are at hand.  A message whose making
// can neither fail nor run code (a fixed display text, a duration) is made only when the
// call is not left out as doing nothing.
bool debug_value(PyObject* debug, PyObject* label, PyObject* value) {
    const bool plain = frame::has_fixed_text(value) || native_datetime::is_duration(value);
    if (plain && tavimo::quiet_logging::debug_does_nothing(debug)) return true;
    Ref message = log_message(label, value);
    return message && frame::call(debug, {message.get()});
}

// logging.debug(f"{label}{value}") of a value already at hand.
bool log_value(PyObject* label, PyObject* value) {
    Ref debug = debug_function();
    return debug && debug_value(debug.get(), label, value);
}

// logging.debug(f"{label}{record[key][:-1]}"): as the host evaluates it, `logging.debug` is
// looked up first, then record[key] read.  Cutting an exact text can neither fail nor run
// code and gives an exact text, so that cut, like the message, is made only when the call
// is made; any other value is cut first, as the host cuts it.
bool log_shortened(PyObject* label, PyObject* record, PyObject* key) {
    Ref debug = debug_function();
    if (!debug) return false;
    Ref value = frame::get_item(record, key);
    if (!value) return false;
    if (PyUnicode_CheckExact(value.get()) && tavimo::quiet_logging::debug_does_nothing(debug.get()))
        return true;
    Ref cut = frame::get_slice(value.get(), frame::all_but_last);
    return cut && debug_value(debug.get(), label, cut.get());
}

// ---------------------------------------------------------------------------------------
// route_details

// leg[key], or the value that reading it would give again, as the entry of the leg in the
// memo of this i_parser call (if any) knows it; the value read is noted there.
inline Ref read_leg(PyObject* leg, PyObject* key, RowMemo::Field field, RowMemo::Entry* known,
                    frame::Where where = frame::Where::current()) {
    if (known)
        if (Ref value = known->known(field)) return value;
    Ref value = frame::get_item(leg, key, where);
    if (known && value) known->note(field, value.get());
    return value;
}

// The tables of route_details that a caller keeps.  A table nobody keeps is not made (it
// could not be seen); its rows are still made, as making them reads the legs.
enum class Kept { both, outbound, inbound };

// route_details into `tables` (outbound, inbound), with the rows made earlier in the same
// i_parser call (or none); a table that is not kept stays empty.  A row made for a table
// that is not kept goes to the memo, which may hand that list out later: nobody saw it.
bool route_tables(PyObject* route_plan, RowMemo* memo, Kept kept, Ref (&tables)[2]) {
    for (int inbound = 0; inbound < 2; ++inbound) {
        // The table takes the lookup's reference: on a free-threaded host the header is
        // shared by every thread's tables, and each count written is a write they share.
        Ref header = g_leg_details_header.get();
        if (!header) return false;
        if (kept == Kept::both || (kept == Kept::inbound) == bool(inbound))
            if (!(tables[inbound] = frame::new_list_holding(std::move(header)))) return false;
    }

    return frame::for_each(route_plan, [&](PyObject* leg) {
        tavimo::leg_rows::Row row = tavimo::leg_rows::leg_row(leg, memo);
        if (row.has_failed()) return false;
        Ref is_return = read_leg(leg, k_return, RowMemo::is_return, row.entry());
        if (!is_return) return false;
        int inbound = frame::truth(is_return.get());
        if (inbound < 0) return false;
        PyObject* table = tables[inbound ? 1 : 0].get();
        if (!table) {
            if (memo) memo->keep_unshown(row);
            return true;
        }
        Ref made = row.list();
        return made && frame::append(table, made.get());
    });
}

Ref route_details(PyObject* const* args) {
    Ref tables[2];
    if (!route_tables(args[0], nullptr, Kept::both, tables)) return nullptr;
    return frame::new_tuple({tables[0].get(), tables[1].get()});
}

const frame::FunctionDef route_details_def(
    "route_details", "route_details",
    "\n"
    "    Parses route details\n"
    "\n"
    "    :param route_plan: (list) list of dicts with route route details\n"
    "    :param leg: (str) Inbound or outbound leg\n"
    "    :returns:  (list) list of lists with route details\n"
    "    ",
    {"route_plan", "leg"}, frame::Defaults::AllNone, {"outbound_leg", "inbound_leg"},
    route_details);

// ---------------------------------------------------------------------------------------
// get_ret_times

// get_ret_times into the two display times, with what the memo of an i_parser call (or
// none) knows of the legs.
bool return_times(PyObject* route_plan, RowMemo* memo, Ref& dep_time, Ref& arr_time) {
    tavimo::cut_texts::CutTexts departure_times, arrival_times;
    bool walked = frame::for_each(route_plan, [&](PyObject* leg) {
        RowMemo::Entry* known = memo ? memo->entry_of(leg) : nullptr;
        Ref is_return = read_leg(leg, k_return, RowMemo::is_return, known);
        if (!is_return) return false;
        Ref equal = frame::equals(is_return.get(), k_one);
        if (!equal) return false;
        int counted = frame::truth(equal.get());
        if (counted <= 0) return counted == 0;
        Ref departure = read_leg(leg, k_local_departure, RowMemo::departure, known);
        if (!departure || !departure_times.add(std::move(departure))) return false;
        Ref arrival = read_leg(leg, k_local_arrival, RowMemo::arrival, known);
        return arrival && arrival_times.add(std::move(arrival));
    });
    if (!walked) return false;

    Ref first_departure = departure_times.earliest(b_min.get());
    if (!first_departure) return false;
    dep_time = tavimo::leg_rows::display_time_of_iso(first_departure.get());
    if (!dep_time) return false;
    Ref last_arrival = arrival_times.latest(b_max.get());
    if (!last_arrival) return false;
    arr_time = tavimo::leg_rows::display_time_of_iso(last_arrival.get());
    if (!arr_time) return false;

    // The journey's own times: the earliest departure and the latest arrival chosen above.
    return log_value(k_label_inbound_departure, first_departure.get()) &&
           log_value(k_label_inbound_arrival, last_arrival.get());
}

Ref get_ret_times(PyObject* const* args) {
    Ref dep_time, arr_time;
    if (!return_times(args[0], nullptr, dep_time, arr_time)) return nullptr;
    return frame::new_tuple({dep_time.get(), arr_time.get()});
}

const frame::FunctionDef get_ret_times_def(
    "get_ret_times", "get_ret_times",
    "\n"
    "    Parse return route data and find departure and arrival times\n"
    "\n"
    "    :param route_plan: (list) List of dict with  leg information\n"
    "    :returns: (list) departure time and arrival time\n"
    "    ",
    {"route_plan"}, frame::Defaults::AllNone, {"departure_times", "arrival_times"}, get_ret_times);

// ---------------------------------------------------------------------------------------
// i_parser

// timedelta(seconds=int(search_result["duration"][direction]))
Ref flight_duration(PyObject* search_result, PyObject* direction) {
    Ref duration = frame::get_item(search_result, k_duration);
    if (!duration) return nullptr;
    Ref raw = frame::get_item(duration.get(), direction);
    if (!raw) return nullptr;
    Ref seconds = frame::to_int(raw.get());
    if (!seconds) return nullptr;
    Ref timedelta = g_timedelta.get();
    if (!timedelta) return nullptr;
    if (Ref fast = native_datetime::duration(timedelta.get(), seconds.get())) return fast;
    if (PyErr_Occurred()) return frame::fail_at(frame::Where::current());
    return frame::call(timedelta.get(), {seconds.get()}, k_kw_seconds);
}

// " -> ".join(search_result["routes"][index])
Ref route_text(PyObject* search_result, PyObject* index) {
    Ref routes = frame::get_item(search_result, k_routes);
    if (!routes) return nullptr;
    Ref places = frame::get_item(routes.get(), index);
    if (!places) return nullptr;
    return frame::join_with(k_arrow, places.get());
}

// The price text: str(amount) + " " + currency + " / " for every currency, joined once.
// While every amount is an exact int within a machine word and every currency an exact
// ASCII text, their texts can neither fail nor run code: they are written straight into a
// buffer on the stack, with no text object for each.  From the first other entry on (or
// when the buffer is full), what was written becomes one text and every entry is kept as
// its texts, made by str() and format() in the host's order.
class PriceText {
public:
    bool add(PyObject* currency, PyObject* amount) {
        if (pieces_.empty() && write(currency, amount)) return true;
        Ref amount_text = frame::to_str(amount);
        if (!amount_text) return false;
        Ref currency_text = frame::display_text(currency);
        if (!currency_text || !keep_written()) return false;
        pieces_.push_back(std::move(amount_text));
        pieces_.push_back(Ref::borrow(k_blank));
        pieces_.push_back(std::move(currency_text));
        pieces_.push_back(Ref::borrow(k_price_separator));
        return true;
    }

    // Whether every entry so far was written directly (the text is then exact ASCII).
    bool is_written() const { return pieces_.empty(); }
    // The text written directly but its last `count` characters.
    Ref written_but_last(Py_ssize_t count) const {
        return frame::ascii_text(written_, length_ > count ? length_ - count : 0);
    }

    Ref finish() const {
        if (pieces_.empty()) return frame::ascii_text(written_, length_);
        std::vector<PyObject*> items;
        items.reserve(pieces_.size());
        for (const Ref& piece : pieces_) items.push_back(piece.get());
        return frame::join(items.data(), items.size());
    }

private:
    // Writes "<amount> <currency> / " into the buffer; false (nothing written) when the
    // entry is not of the kinds above or does not fit.
    bool write(PyObject* currency, PyObject* amount) noexcept {
        if (!PyLong_CheckExact(amount) || !PyUnicode_CheckExact(currency) ||
            !PyUnicode_IS_ASCII(currency))
            return false;
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(amount, &overflow);
        if (overflow) return false;
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
        const std::size_t digit_count = static_cast<std::size_t>(end - digits);
        const auto currency_length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(currency));
        if (digit_count + currency_length + 4 > sizeof written_ - length_) return false;
        append(digits, digit_count);
        append(" ", 1);
        append(static_cast<const char*>(PyUnicode_DATA(currency)), currency_length);
        append(" / ", 3);
        return true;
    }

    void append(const char* characters, std::size_t count) noexcept {
        std::memcpy(written_ + length_, characters, count);
        length_ += static_cast<Py_ssize_t>(count);
    }

    // What was written, as the first piece; true when there was nothing to keep.
    bool keep_written() {
        if (!pieces_.empty() || length_ == 0) return true;
        Ref text = frame::ascii_text(written_, length_);
        if (!text) return false;
        pieces_.push_back(std::move(text));
        length_ = 0;
        return true;
    }

    char written_[256];
    Py_ssize_t length_ = 0;
    std::vector<Ref> pieces_;
};

// The price text of every currency in conversion, each followed by " / ", into `price`.
bool read_prices(PyObject* conversion, PriceText& price) {
    if (PyDict_CheckExact(conversion))
        return frame::for_each_item(conversion, [&](PyObject* currency, PyObject* amount) {
            return price.add(currency, amount);
        });
    Ref items_method = frame::get_attr(conversion, k_items);
    if (!items_method) return false;
    Ref items = frame::call(items_method.get(), {});
    if (!items) return false;
    return frame::for_each(items.get(), [&](PyObject* item) {
        Ref currency, amount;
        return frame::unpack_pair(item, currency, amount) &&
               price.add(currency.get(), amount.get());
    });
}

// logging.debug(f"Price (both ways): {price}"), then price[:-3], the price shown.  A price
// written directly is an exact text, whose message and cut can neither fail nor run code:
// where the debug call is left out, the whole text is not made either, only its cut.
Ref logged_price_shown(const PriceText& price) {
    Ref debug = debug_function();
    if (!debug) return nullptr;
    if (price.is_written() && tavimo::quiet_logging::debug_does_nothing(debug.get()))
        return price.written_but_last(3);
    Ref text = price.finish();
    if (!text || !debug_value(debug.get(), k_label_price, text.get())) return nullptr;
    return frame::all_but_last_of(text.get(), 3);
}

// A body's own results written to its caller's handles: what run_as_call_of gets back for
// them is this mark of success, never seen by anyone.
Ref succeeded(bool done) { return done ? Ref::borrow(Py_None) : nullptr; }

// get_ret_times(route_plan=route) through the module's get_ret_times, unpacked.  When that
// is still this module's own function, its body is run directly, with the reads of the legs
// that the rows made, and gives the two times with no pair made for them.
bool call_get_ret_times(PyObject* route, RowMemo& rows, Ref& departure, Ref& arrival) {
    Ref callee = g_get_ret_times.get();
    if (!callee) return false;
    const auto call_line = frame::Where::current();  // the same entry either way
    if (frame::is_function_of(callee.get(), get_ret_times_def))
        return bool(frame::run_as_call_of(
            get_ret_times_def,
            [&] { return succeeded(return_times(route, &rows, departure, arrival)); }, call_line));
    Ref pair = frame::call(callee.get(), {route}, k_kw_route_plan, call_line);
    return pair && frame::unpack_pair(pair.get(), departure, arrival);
}

// route_details(route_plan=route, leg=leg) through the module's route_details, unpacked.
// When that is still this module's own function, its body is run with the rows this
// i_parser call made already, making only the table that i_parser keeps (the other stays
// empty), with no pair made for them.
bool call_route_details(PyObject* route, PyObject* leg, Kept kept, RowMemo& rows, Ref& outbound,
                        Ref& inbound) {
    Ref callee = g_route_details.get();
    if (!callee) return false;
    const auto call_line = frame::Where::current();  // the same entry either way
    if (frame::is_function_of(callee.get(), route_details_def)) {
        Ref tables[2];
        const bool done = bool(frame::run_as_call_of(
            route_details_def, [&] { return succeeded(route_tables(route, &rows, kept, tables)); },
            call_line));
        outbound = std::move(tables[0]);
        inbound = std::move(tables[1]);
        return done;
    }
    Ref pair = frame::call(callee.get(), {route, leg}, k_kw_route_plan_leg, call_line);
    return pair && frame::unpack_pair(pair.get(), outbound, inbound);
}

Ref i_parser(PyObject* const* args) {
    PyObject* search_result = args[0];
    PyObject* round_trip = args[1];

    Ref fly_duration = flight_duration(search_result, k_departure);
    if (!fly_duration || !log_value(k_label_outbound_duration, fly_duration.get())) return nullptr;

    Ref outbound_route = route_text(search_result, k_zero);
    if (!outbound_route || !log_value(k_label_outbound_route, outbound_route.get())) return nullptr;

    Ref departure_time = tavimo::leg_rows::display_time_of(search_result, k_local_departure);
    if (!departure_time) return nullptr;
    if (!log_shortened(k_label_outbound_departure, search_result, k_local_departure))
        return nullptr;

    Ref arrival_time = tavimo::leg_rows::display_time_of(search_result, k_local_arrival);
    if (!arrival_time) return nullptr;
    if (!log_shortened(k_label_outbound_arrival, search_result, k_local_arrival)) return nullptr;

    Ref conversion = frame::get_item(search_result, k_conversion);
    if (!conversion) return nullptr;
    PriceText price;
    if (!read_prices(conversion.get(), price)) return nullptr;
    Ref price_shown = logged_price_shown(price);
    if (!price_shown) return nullptr;
    Ref outbound_leg_compact =
        frame::new_list({outbound_route.get(), departure_time.get(), fly_duration.get(),
                         arrival_time.get(), price_shown.get()});
    if (!outbound_leg_compact) return nullptr;

    Ref route = frame::get_item(search_result, k_route);
    if (!route) return nullptr;
    // Rows are remembered for a second route_details call only when it is certain to come
    // (telling the truth of another round_trip would run its code before its time).
    RowMemo rows(round_trip == Py_True);
    Ref outbound_details, unused;
    if (!call_route_details(route.get(), k_outbound, Kept::outbound, rows, outbound_details,
                            unused))
        return nullptr;

    int is_round_trip = frame::truth(round_trip);
    if (is_round_trip < 0) return nullptr;
    if (!is_round_trip)
        return frame::new_tuple(
            {outbound_leg_compact.get(), k_empty, outbound_details.get(), k_empty});

    Ref return_duration = flight_duration(search_result, k_return);
    if (!return_duration || !log_value(k_label_inbound_duration, return_duration.get()))
        return nullptr;
    Ref inbound_route = route_text(search_result, k_one);
    if (!inbound_route || !log_value(k_label_inbound_route, inbound_route.get())) return nullptr;

    route = frame::get_item(search_result, k_route);
    if (!route) return nullptr;
    Ref ret_departure_time, ret_arrival_time;
    if (!call_get_ret_times(route.get(), rows, ret_departure_time, ret_arrival_time))
        return nullptr;
    route = frame::get_item(search_result, k_route);
    if (!route) return nullptr;
    Ref inbound_details;
    if (!call_route_details(route.get(), k_inbound, Kept::inbound, rows, unused, inbound_details))
        return nullptr;

    Ref inbound_leg_compact =
        frame::new_list({inbound_route.get(), ret_departure_time.get(), return_duration.get(),
                         ret_arrival_time.get(), k_no_price});
    if (!inbound_leg_compact) return nullptr;
    return frame::new_tuple({outbound_leg_compact.get(), inbound_leg_compact.get(),
                             outbound_details.get(), inbound_details.get()});
}

const frame::FunctionDef i_parser_def(
    "i_parser", "i_parser",
    "\n"
    "    Parse itinerary data for the results of flight search\n"
    "\n"
    "    :param search_result: (dict) A python dictionary with flight information\n"
    "    :param round_trip: (boolean) If it's a round trip\n"
    "    :returns: (list) outbound and inbound leg information\n"
    "    ",
    {"search_result", "round_trip"}, frame::Defaults::AllNone,
    {"fly_duration", "outbound_route", "departure_time", "arrival_time"}, i_parser);

// ---------------------------------------------------------------------------------------
// Module body

// The host's datetime C interface, for the native fast paths; never fails.
bool find_datetime_interface() {
    native_datetime::find_interface();
    return true;
}

// The host's logging module as imported, for leaving out debug calls that do nothing.
bool remember_host_logging() {
    if (PyObject* logging = PyDict_GetItemWithError(frame::module_dict(), k_logging))
        tavimo::quiet_logging::remember_host_logging(logging);
    PyErr_Clear();
    return true;
}

bool module_body() {
    return frame::import_names(k_datetime, {k_datetime, k_timedelta}, 0) &&
           find_datetime_interface() && frame::import_module(k_logging) &&
           remember_host_logging() && frame::import_names(k_settings, {k_leg_details_header}, 1) &&
           frame::bind(k_author, k_author_name) && frame::bind(k_email, k_email_address) &&
           frame::bind_function(route_details_def) && frame::bind_function(get_ret_times_def) &&
           frame::bind_function(i_parser_def) && frame::bind_empty_mapping(k_test);
}

const frame::ModuleDef module_definition{"brasco", "tavimo.brasco", "brasco for tavimo",
                                         "tavimo/brasco/brasco.cpp", module_body};

}  // namespace

PyMODINIT_FUNC PyInit_brasco() { return frame::initialise(module_definition); }
