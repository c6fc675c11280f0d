"""A plain-Python rendition of tavimo.brasco and of the validators, filters and
get_questions of tavimo.questions: the oracle that the differential and hostile tests hold
the native modules to.

Each function takes the same steps as its native counterpart, in the same order: the same
keys read the same number of times, module-level names looked up at the same moments (the
brasco rendition's own globals `datetime`, `timedelta`, `logging`, `leg_details_header`,
`route_details` and `get_ret_times` play the part of the native module's), the same values
passed to the same callees, the same debug records.  `min` and `max` are taken once, at
import, as the native module does.

A few native failures are worded differently from what the same Python statement gives;
the rendition raises the native wording:

- slicing a value whose type has no subscription at all: TypeError "'<tp_name>' object is
  unsliceable";
- unpacking a pair: ValueError "too many values to unpack (expected 2)" or
  "need more than N value(s) to unpack"; an unpackable object that cannot be iterated
  gives the TypeError of iter().

Argument binding errors are left to Python: the tests compare bodies, not bindings.
"""

import builtins
import contextlib
import ctypes
import logging
from datetime import datetime, timedelta

from tavimo.settings import leg_details_header

DISPLAY_FORMAT = "%a %d %b %H:%M"

# Taken once, like the native module's cached builtins.
_min = builtins.min
_max = builtins.max

# ------------------------------------------------------------------------------------------
# Native wordings

# Offsets into a type object (CPython 3.8 to 3.15, 64-bit; checked at import by
# _check_layout): tp_name, tp_as_sequence, tp_as_mapping, sq_item inside PySequenceMethods
# and mp_subscript inside PyMappingMethods.
# The type's header is an object header (larger on a free-threaded host) and a size.
_HEAD = object.__basicsize__ + ctypes.sizeof(ctypes.c_ssize_t)
_TP_NAME = _HEAD
_TP_AS_SEQUENCE = _HEAD + 10 * ctypes.sizeof(ctypes.c_void_p)
_TP_AS_MAPPING = _HEAD + 11 * ctypes.sizeof(ctypes.c_void_p)
_SQ_ITEM = 3 * ctypes.sizeof(ctypes.c_void_p)
_MP_SUBSCRIPT = ctypes.sizeof(ctypes.c_void_p)


def type_name(cls):
    """The type's tp_name, as C code formats it with %.200s (bytes cut at 200)."""
    raw = ctypes.c_char_p.from_address(id(cls) + _TP_NAME).value
    return raw[:200].decode("utf-8", "replace")


def _has_slot(cls, table_offset, slot_offset):
    table = ctypes.c_void_p.from_address(id(cls) + table_offset).value
    return bool(table) and bool(ctypes.c_void_p.from_address(table + slot_offset).value)


def has_mapping_subscript(cls):
    return _has_slot(cls, _TP_AS_MAPPING, _MP_SUBSCRIPT)


def has_sequence_item(cls):
    return _has_slot(cls, _TP_AS_SEQUENCE, _SQ_ITEM)


def _check_layout():
    class Indexed:
        def __getitem__(self, key):
            return key

    import collections

    expected = {
        int: False,
        str: True,
        list: True,
        dict: True,
        type(None): False,
        collections.deque: False,
        Indexed: True,
    }
    for cls, subscript in expected.items():
        if has_mapping_subscript(cls) != subscript:
            raise ImportError(f"unexpected type layout for {cls!r}")
    if type_name(collections.deque) != "collections.deque" or type_name(Indexed) != "Indexed":
        raise ImportError("unexpected type layout (tp_name)")
    if not has_sequence_item(collections.deque) or has_sequence_item(int):
        raise ImportError("unexpected type layout (sq_item)")


_check_layout()


def cut_last(value):
    """value[:-1], with the native message for a type that cannot be subscripted at all."""
    kind = type(value)
    if not has_mapping_subscript(kind) and not has_sequence_item(kind):
        raise TypeError("'%s' object is unsliceable" % type_name(kind))
    return value[:-1]


def _unpack_message(found):
    if found > 2:
        return "too many values to unpack (expected 2)"
    return "need more than %d value%s to unpack" % (found, "" if found == 1 else "s")


def unpack_pair(value):
    """`a, b = value`, with the native messages."""
    if type(value) is tuple or type(value) is list:
        size = len(value)
        if size != 2:
            raise ValueError(_unpack_message(size))
        return value[0], value[1]
    iterator = iter(value)
    found = []
    while len(found) < 2:
        try:
            found.append(next(iterator))
        except StopIteration:
            raise ValueError(_unpack_message(len(found))) from None
    try:
        next(iterator)
    except StopIteration:
        return found[0], found[1]
    raise ValueError(_unpack_message(3))


# ------------------------------------------------------------------------------------------
# Shared steps


def _render_display_time(iso):
    parse = datetime.fromisoformat
    moment = parse(iso)
    return moment.strftime(DISPLAY_FORMAT)


def _shortened(record, key):
    return cut_last(record[key])


def _display_time(record, key):
    return _render_display_time(_shortened(record, key))


# ------------------------------------------------------------------------------------------
# route_details


def _leg_row(leg):
    city_from = f"{leg['cityFrom']}"
    fly_from = f"{leg['flyFrom']}"
    city_to = f"{leg['cityTo']}"
    fly_to = f"{leg['flyTo']}"
    # Joined, not formatted again: a display text may be a str subclass.
    airports = "".join((city_from, "(", fly_from, ") -> ", city_to, "(", fly_to, ")"))

    departure = f"{_display_time(leg, 'local_departure')}"
    arrival = f"{_display_time(leg, 'local_arrival')}"
    times = "".join((departure, " -> ", arrival))

    flight_no = f"{leg['flight_no']}"
    carrier = f"{leg['operating_carrier']}"
    carrier_flight_no = f"{leg['operating_flight_no']}"
    operating_flight_no = "".join((carrier, " ", carrier_flight_no))
    airline = f"{leg['airline']}"
    operated_by = f"{leg['operating_carrier']}"
    return [airports, times, flight_no, airline, operating_flight_no, operated_by]


def route_details(route_plan=None, leg=None):
    outbound_leg = [leg_details_header]
    inbound_leg = [leg_details_header]
    for item in route_plan:
        row = _leg_row(item)
        if item["return"]:
            inbound_leg.append(row)
        else:
            outbound_leg.append(row)
    return outbound_leg, inbound_leg


# ------------------------------------------------------------------------------------------
# get_ret_times


def get_ret_times(route_plan=None):
    departure_times = []
    arrival_times = []
    for leg in route_plan:
        if leg["return"] == 1:
            departure_times.append(_shortened(leg, "local_departure"))
            arrival_times.append(_shortened(leg, "local_arrival"))
    first_departure = _min(departure_times)
    dep_time = _render_display_time(first_departure)
    last_arrival = _max(arrival_times)
    arr_time = _render_display_time(last_arrival)
    # The journey's own times: the texts that min and max chose.
    logging.debug(f"Inbound departure time: {first_departure}")
    logging.debug(f"Inbound arrival time: {last_arrival}")
    return dep_time, arr_time


# ------------------------------------------------------------------------------------------
# i_parser


def _flight_duration(search_result, direction):
    raw = search_result["duration"][direction]
    seconds = int(raw)
    return timedelta(seconds=seconds)


def _route_text(search_result, index):
    return " -> ".join(search_result["routes"][index])


def _add_price(price, currency, amount):
    amount_text = str(amount)
    currency_text = f"{currency}"
    return "".join((price, amount_text, " ", currency_text, " / "))


def _price_text(conversion):
    price = ""
    if type(conversion) is dict:
        # The native walk is the host's own dict iteration.
        for currency, amount in conversion.items():
            price = _add_price(price, currency, amount)
        return price
    for item in conversion.items():
        currency, amount = unpack_pair(item)
        price = _add_price(price, currency, amount)
    return price


def i_parser(search_result=None, round_trip=None):
    fly_duration = _flight_duration(search_result, "departure")
    logging.debug(f"Outbound flight duration: {fly_duration}")

    outbound_route = _route_text(search_result, 0)
    logging.debug(f"Outbound route: {outbound_route}")

    departure_time = _display_time(search_result, "local_departure")
    logging.debug(f"Outbound departure time: {_shortened(search_result, 'local_departure')}")

    arrival_time = _display_time(search_result, "local_arrival")
    logging.debug(f"Outbound arrival time: {_shortened(search_result, 'local_arrival')}")

    conversion = search_result["conversion"]
    price = _price_text(conversion)
    logging.debug(f"Price (both ways): {price}")

    outbound_leg_compact = [outbound_route, departure_time, fly_duration, arrival_time, price[:-3]]

    route = search_result["route"]
    outbound_details, _ = unpack_pair(route_details(route_plan=route, leg="outbound"))

    if not round_trip:
        return outbound_leg_compact, "", outbound_details, ""

    return_duration = _flight_duration(search_result, "return")
    logging.debug(f"Inbound flight duration: {return_duration}")
    inbound_route = _route_text(search_result, 1)
    logging.debug(f"Inbound route: {inbound_route}")

    route = search_result["route"]
    ret_departure_time, ret_arrival_time = unpack_pair(get_ret_times(route_plan=route))
    route = search_result["route"]
    _, inbound_details = unpack_pair(route_details(route_plan=route, leg="inbound"))

    inbound_leg_compact = [
        inbound_route,
        ret_departure_time,
        return_duration,
        ret_arrival_time,
        "x",
    ]
    return outbound_leg_compact, inbound_leg_compact, outbound_details, inbound_details


# ------------------------------------------------------------------------------------------
# tavimo.questions: validators, filters and get_questions.  These read the module-level
# names of a namespace (normally the native module's own) at the same moments as the
# native code does.

IATA_PATTERN = "^[a-zA-Z]{3}$"
DATE_PATTERN = (
    r"(^(((0[1-9]|1[0-9]|2[0-8])[\/](0[1-9]|1[012]))|((29|30|31)[\/](0[13578]|1[02]))|"
    r"((29|30)[\/](0[469]|11)))[\/](19|[2-9][0-9])\d\d$)|(^29[\/]02[\/](19|[2-9][0-9])"
    r"(00|04|08|12|16|20|24|28|32|36|40|44|48|52|56|60|64|68|72|76|80|84|88|92|96)$)"
)
IATA_MESSAGE = (
    "Please use 3 letter IATA airport codes. To find out IATA codes use: "
    "tavimo --find-airport <city_name>"
)
DATE_MESSAGE = "Please enter date in correct format"
NUMBER_MESSAGE = "Please enter a number"


def lookup(namespace, name):
    """A module-level name: the namespace, then the builtins, else NameError."""
    try:
        return namespace[name]
    except KeyError:
        pass
    try:
        return getattr(builtins, name)
    except AttributeError:
        raise NameError("name '%s' is not defined" % name) from None


def _reject(namespace, document, message):
    error_class = lookup(namespace, "ValidationError")
    raise error_class(message=message, cursor_position=len(document.text))


def _match_or_reject(namespace, match, pattern, document, message):
    if match(pattern, document.text):
        return None
    _reject(namespace, document, message)


def validate_iata_code(namespace, document):
    match = lookup(namespace, "re").match
    return _match_or_reject(namespace, match, IATA_PATTERN, document, IATA_MESSAGE)


def validate_date(namespace, document):
    match = lookup(namespace, "re").match
    pattern = lookup(namespace, "date_reg_ex")
    return _match_or_reject(namespace, match, pattern, document, DATE_MESSAGE)


def validate_number(namespace, document, value_error=ValueError):
    try:
        int(document.text)
    except value_error:
        _reject(namespace, document, NUMBER_MESSAGE)
    return None


def count_filter(answer):
    return int(answer)


def get_questions(namespace, round_trip=None):
    is_round_trip = bool(round_trip)
    questions = lookup(namespace, "one_way_questions")
    if not is_round_trip:
        return questions
    back = lookup(namespace, "fly_back_question")
    round_trip_questions = list(questions)
    round_trip_questions.insert(3, back)
    return round_trip_questions


# ------------------------------------------------------------------------------------------
# Observing a call as a caller sees it, for comparisons
#
# These helpers use names of their own: the tests rebind `logging` and `timedelta` above.

_logging = logging
_timedelta = timedelta


class Records(_logging.Handler):
    """Collects what reaches the root logger: level, logger, message and arguments."""

    def __init__(self):
        super().__init__(_logging.DEBUG)
        self.seen = []

    def emit(self, record):
        self.seen.append((record.levelno, record.name, type(record.msg), record.msg, record.args))


def seen(value, header):
    """What a caller can see of a result, as comparable plain data: containers by type
    and content, the header object by identity, anything unusual by type and text."""
    if value is header:
        return ("header",)
    kind = type(value)
    if kind in (tuple, list):
        return (kind.__name__, [seen(item, header) for item in value])
    if kind is float and value != value:
        return ("float", "nan")
    if kind in (str, int, float, bool, bytes, _timedelta, type(None)):
        return (kind.__name__, value)
    return (kind.__name__, str(value))


def traceback_names(exc):
    names, entry = [], exc.__traceback__
    while entry is not None:
        names.append(entry.tb_frame.f_code.co_name)
        entry = entry.tb_next
    return names


def observe(call, header, native_name=None):
    """The outcome of call() (its result, or its exception's type and text) and the debug
    records written meanwhile.  With native_name, a failure must carry a traceback entry
    whose name starts with it."""
    root = _logging.getLogger()
    handler, old_level = Records(), root.level
    root.addHandler(handler)
    root.setLevel(_logging.DEBUG)
    try:
        try:
            result = call()
        except Exception as exc:
            if native_name:
                names = traceback_names(exc)
                assert any(name.startswith(native_name) for name in names), (names, exc)
            outcome = ("raised", type(exc), str(exc))
        else:
            outcome = ("returned", seen(result, header))
    finally:
        root.removeHandler(handler)
        root.setLevel(old_level)
    return outcome, handler.seen


@contextlib.contextmanager
def runner_handlers_detached(level=_logging.WARNING):
    """Detaches the root logger's handlers (the test runner's among them, which keep every
    record) and sets its level, for code that is run many times over to count memory."""
    root = _logging.getLogger()
    handlers, old_level = root.handlers[:], root.level
    root.handlers = []
    root.setLevel(level)
    try:
        yield
    finally:
        root.handlers = handlers
        root.setLevel(old_level)
