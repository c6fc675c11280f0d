"""The output formats of parsed itineraries: text tables, and JSON, JSON Lines and CSV for
programs.

The tables show the parser's display texts, but for the times of a direction, which are
those of its first leg's departure and its last leg's arrival, and blanks for nulls.  JSON
and CSV are the machine form described in docs/command.md ("JSON and CSV output"; the schema is
data/itineraries.schema.json): ISO 8601 local times, UTC times where the response has
them, durations in seconds, prices as numbers with their currency codes, carriers and
flight numbers as fields of their own, stops and layovers.  JSON keeps the parser's
display texts beside them, in the "display" object of each itinerary, direction and leg.
"""

import csv
import datetime
import io
import itertools
import operator
import re
import sys
from json.encoder import encode_basestring as encode_string

from tavimo.results import (
    LEG_CODE_NAMES,
    LEG_CODES,
    LEG_TIME_NAMES,
    number,
    split_legs,
    stops,
)
from tavimo.tables import format_table, output_width

SCHEMA_VERSION = 2
SUMMARY_HEADER = ["", "Route", "Departure", "Duration", "Arrival", "Price"]
# The names of a leg table's cells, in their order, as the JSON's display texts of a leg.
LEG_CELLS = ("airports", "times", "flight_no", "airline", "operating_flight_no", "operated_by")
LEG_FIELDS = (
    "from",
    "to",
    "from_city",
    "to_city",
    "airline",
    "flight_number",
    "operating_airline",
    "operating_flight_number",
    "departure",
    "arrival",
)
# Fields of a leg that the parser does not read, in JSON after LEG_FIELDS.
LEG_EXTRAS = ("utc_departure", "utc_arrival", "bags_recheck_required")
CSV_COLUMNS = [
    "itinerary",
    "direction",
    "leg",
    *LEG_FIELDS,
    "duration_seconds",
    "price",
    "currency",
    "id",
    "stops",
    "layover_seconds",
    *LEG_EXTRAS,
]
DISPLAY_FORMAT = "%a %d %b %H:%M"  # the parser's display times
# A memo is emptied when it holds this many entries: JSON Lines input may go on for ever.
MEMO_SIZE = 1 << 14


def display_time(text):
    """A local time text of the record (in the parser's form) as the parser shows it."""
    return datetime.datetime.fromisoformat(text[:-1]).strftime(DISPLAY_FORMAT)


def journey_display(summary, legs, parser_departure, parser_arrival):
    """A direction's departure and arrival as shown: its first leg's departure and its last
    leg's arrival.  The SUMMARY's texts, the parser's display of the PARSER_DEPARTURE and
    PARSER_ARRIVAL it chose (without their last character), where those are the same."""
    if not legs:
        return summary[1], summary[3]
    departure, arrival = legs[0]["local_departure"], legs[-1]["local_arrival"]
    return (
        summary[1] if departure[:-1] == parser_departure else DISPLAY_TIMES[departure],
        summary[3] if arrival[:-1] == parser_arrival else DISPLAY_TIMES[arrival],
    )


def cell(value):
    return "" if value is None else "{}".format(value)


def shown_rows(rows, legs):
    """The parser's leg table ROWS, the texts of a null field of LEGS blank (not "None")."""
    if None not in itertools.chain.from_iterable(map(LEG_CODES, legs)):
        return rows
    shown = []
    for row, leg in zip(rows, legs):
        codes = LEG_CODES(leg)
        if None in codes:
            fly_from, fly_to, city_from, city_to, airline, flight_no, carrier, carrier_no = map(
                cell, codes
            )
            row = [
                "{}({}) -> {}({})".format(city_from, fly_from, city_to, fly_to),
                row[1],
                flight_no,
                airline,
                carrier + " " + carrier_no,
                carrier,
            ]
        shown.append(row)
    return shown


TEXT_ONLY = frozenset((str,))


def legs_table(header, rows, width):
    """format_table(HEADER, ROWS, WIDTH) of a direction's legs.  A response repeats its
    journeys across itineraries, so a table whose titles and cells are all texts is laid
    out once, keyed by them and the width (str() of any other cell may run code, or give
    different texts for equal cells: 1, 1.0 and True)."""
    try:
        texts = TEXT_ONLY.issuperset(map(type, itertools.chain(header, *rows)))
    except TypeError:  # titles or a row that are no sequence: format_table's to report
        texts = False
    if not texts:
        return format_table(header, rows, width)
    key = (width, tuple(header), *map(tuple, rows))
    return memoized(LEG_TABLES, key, format_table, header, rows, width)


LEG_TABLES: dict = {}


def itinerary_text(itinerary, width=None):
    """One itinerary as a heading, its summary table and its leg tables, these fitted to
    WIDTH (None: no limit)."""
    outbound, inbound, outbound_legs, inbound_legs = itinerary.parsed
    record = itinerary.record
    legs_out, legs_back = split_legs(record)
    # the parser shows the record's own times out, the earliest departure and the latest
    # arrival back: wrong for a way that crosses the date line westwards, or changes in a
    # zone far behind
    departure, arrival = journey_display(
        outbound, legs_out, record["local_departure"][:-1], record["local_arrival"][:-1]
    )
    summary = [["Outbound", outbound[0], departure, outbound[2], arrival, outbound[4]]]
    if inbound:
        # the parser marks the inbound price "x": the price stands in the outbound row only
        departure, arrival = journey_display(
            inbound,
            legs_back,
            min([leg["local_departure"][:-1] for leg in legs_back]),
            max([leg["local_arrival"][:-1] for leg in legs_back]),
        )
        summary.append(["Inbound", inbound[0], departure, inbound[2], arrival, ""])
    blocks = [
        "Itinerary {} ({})".format(itinerary.number, "round trip" if inbound else "one way"),
        format_table(SUMMARY_HEADER, summary, width),
        "",
        "Outbound legs",
        legs_table(outbound_legs[0], shown_rows(outbound_legs[1:], legs_out), width),
    ]
    if inbound_legs:
        blocks += [
            "",
            "Inbound legs",
            legs_table(inbound_legs[0], shown_rows(inbound_legs[1:], legs_back), width),
        ]
    return "\n".join(blocks)


def check_amounts(record):
    """The Problem of an amount of the price that the table cannot show: one that is no
    number (JSON and CSV have null for it)."""
    for currency, amount in record["conversion"].items():
        if number(amount) is None:
            from tavimo.problems import bad, path_of

            raise bad(path_of("conversion", str(currency)), "not an amount", amount)


def write_tables(itineraries, out):
    """The itineraries' tables, a blank line between two itineraries; on a terminal, or
    where COLUMNS says so, fitted to its width."""
    width = output_width(out)
    separator = ""
    for itinerary in itineraries:
        out.write(separator + itinerary_text(itinerary, width) + "\n")
        separator = "\n"


# The machine fields, read from the record beside what the parser made of it.  The parser
# has accepted the record, so the fields it reads are there and its times are valid.


def iso_time(text):
    """A time text as the parser reads it (without the record's last character) in ISO 8601."""
    return datetime.datetime.fromisoformat(text).isoformat()


def local_time(text):
    """The ISO 8601 form of a record's local time text, whose last character (a "Z" that
    does not mean UTC) the parser drops: 2021-06-01T10:15:00.000Z -> 2021-06-01T10:15:00."""
    # The parser has read this text as a date and time; in the usual layout, with no
    # fraction of a second, its first 19 characters are that time's ISO form already.
    if (
        len(text) == 24
        and text[10] == "T"
        and text[4] == text[7] == "-"
        and text[13] == text[16] == ":"
        and text[19:23] == ".000"
    ):
        return text[:19]
    return iso_time(text[:-1])


def field_text(value):
    """A code or a number of the record as text; None for an empty or missing one."""
    if type(value) is str:
        return value or None
    return None if value is None else format(value, "")


def utc_time(text):
    """A UTC time text of the response in ISO 8601, with its "Z" (2021-06-01T08:15:00.000Z
    -> 2021-06-01T08:15:00Z); ValueError for a text that is none."""
    if not isinstance(text, str):
        raise ValueError(text)
    if (
        len(text) == 24
        and text.endswith(".000Z")
        and text[10] == "T"
        and text[4] == text[7] == "-"
        and text[13] == text[16] == ":"
        and text.isascii()
    ):
        # the usual layout: its first 19 characters are the ISO form, if they are a time
        return datetime.datetime.fromisoformat(text[:19]).isoformat() + "Z"
    from tavimo.results import standard_time

    zulu = text[-1:] in ("Z", "z")
    moment = standard_time(text[:-1] if zulu else text)
    if moment is None or zulu == (moment.tzinfo is not None):  # neither Z nor an offset
        raise ValueError(text)
    if not zulu:
        moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return moment.isoformat() + "Z"


def seconds(duration):
    return duration.days * 86400 + duration.seconds


class Memo(dict):
    """KEY -> convert(KEY), each converted once: a response repeats its codes, cities,
    flight numbers and times over and over."""

    def __init__(self, convert):
        super().__init__()
        self.convert = convert

    def __missing__(self, key):
        if len(self) >= MEMO_SIZE:
            self.clear()
        result = self[key] = self.convert(key)
        return result


class ValueMemo(Memo):
    """(type(VALUE), VALUE) -> convert(VALUE): 1, 1.0 and True are equal keys, but their
    texts differ, hence the type.  A float zero is not kept: 0.0 and -0.0 are equal too."""

    def __missing__(self, key):
        kind, value = key
        result = self.convert(value)
        if value or kind is not float:
            if len(self) >= MEMO_SIZE:
                self.clear()
            self[key] = result
        return result


TEXTS = ValueMemo(field_text)
TIMES = Memo(local_time)  # of texts only
DISPLAY_TIMES = Memo(display_time)  # of texts only
UTC_TIMES = Memo(utc_time)  # of texts only


def utc_value(text):
    return None if text is None else UTC_TIMES[text]


TRUTHS = frozenset((bool, type(None)))


def check_machine_fields(record):
    """The Problem of a field that JSON and CSV hold apart from what the parser reads: the
    itinerary's id, a leg's UTC times and whether its bags must be checked in again.
    (Each test runs over all legs at once.)"""
    identity = record.get("id")
    if identity.__class__ not in (str, int, type(None)):
        from tavimo.problems import check_text

        check_text(identity, "id")
    route = record["route"]
    try:
        utc_times = {*map(dict.get, route, UTC_DEPARTURE), *map(dict.get, route, UTC_ARRIVAL)}
        utc_times.discard(None)
        if not UTC_TIMES.keys() >= utc_times:
            for text in utc_times:  # converted now, once
                UTC_TIMES[text]
    except Exception:  # a list or an object, or a text that is no UTC time
        for index, leg in enumerate(route):
            odd_utc_time(index, leg)
    if not TRUTHS.issuperset(map(type, map(dict.get, route, BAGS))):
        for index, leg in enumerate(route):
            bags = leg.get("bags_recheck_required")
            if bags is not None and bags.__class__ is not bool:
                from tavimo.problems import bad, path_of

                raise bad(
                    path_of(path_of("route", index), "bags_recheck_required"),
                    "not true or false",
                    bags,
                )


UTC_DEPARTURE = itertools.repeat("utc_departure")
UTC_ARRIVAL = itertools.repeat("utc_arrival")
BAGS = itertools.repeat("bags_recheck_required")


def odd_utc_time(index, leg):
    """Raise the Problem of the first UTC time of the leg at INDEX that is none."""
    for name in ("utc_departure", "utc_arrival"):
        try:
            utc_value(leg.get(name))
        except Exception:
            from tavimo.problems import bad, path_of

            raise bad(
                path_of(path_of("route", index), name),
                "not a UTC date and time such as 2021-06-01T08:15:00.000Z",
                leg.get(name),
            ) from None


CHECKS = {
    "table": check_amounts,
    "json": check_machine_fields,
    "jsonl": check_machine_fields,
    "csv": check_machine_fields,
}


def converted(codes, times, texts_memo, times_memo, convert_text, convert_time):
    """The leg's CODES and TIMES through the memos, or converted afresh where a code is a
    list or an object (which no memo can hold)."""
    try:
        return [
            *map(texts_memo.__getitem__, zip(map(type, codes), codes)),
            *map(times_memo.__getitem__, times),
        ]
    except TypeError:
        return [*map(convert_text, codes), *map(convert_time, times)]


# The same journeys recur across the itineraries of a response, so each direction is
# converted once, its memo keyed by its legs' fields that the output is made of: those the
# parser reads (LEG_CODES, LEG_TIMES) and those of LEG_EXTRAS (legs_fields), with the
# parser's display texts of its legs (its rows, compared rather than hashed:
# memoized_with_rows).  Equal fields with equal display texts mean equal machine fields:
# fields of different types can be equal (1, 1.0 and True; 0.0 and -0.0) but their
# display texts then differ (numbers and truth values show no blank, parenthesis or
# arrow, so the cells that join several fields still tell them apart).  The extras need
# no such help: the checks have let through texts or None for the UTC times, and True,
# False or None for the bags flag.  Most records need no rows either (memoized_direction).
LEG_KEY = operator.itemgetter(*LEG_CODE_NAMES, *LEG_TIME_NAMES)
LEG_WHOLE = operator.itemgetter(*LEG_CODE_NAMES, *LEG_TIME_NAMES, *LEG_EXTRAS)
CODES_END = len(LEG_CODE_NAMES)
TIMES_END = CODES_END + len(LEG_TIME_NAMES)


def legs_fields(legs):
    """The fields of each of LEGS that its output is made of: its codes, times and
    LEG_EXTRAS."""
    try:
        return tuple(map(LEG_WHOLE, legs))
    except KeyError:  # a leg without one of LEG_EXTRAS: null
        return tuple((*LEG_KEY(leg), *map(leg.get, LEG_EXTRAS)) for leg in legs)


def memoized_with_rows(memo, key, rows, make, *args):
    """MEMO's conversion of KEY and ROWS (the rows of a leg table), made by MAKE(*ARGS)
    when missing, or afresh when KEY holds a field that is a list or an object.  The rows
    are compared rather than hashed: a direction's rows are long texts, new in every
    record, and hashing them cost more than the comparison of those of a direction met
    before (each key holds the conversions of the rows seen with it, a few at most)."""
    try:
        entries = memo.get(key)
    except TypeError:
        return make(*args)
    if entries is None:
        if len(memo) >= MEMO_SIZE:
            memo.clear()
        entries = memo[key] = []
    else:
        for made_rows, made in entries:
            if made_rows == rows:
                return made
        if len(entries) >= ROWS_PER_KEY:
            entries.clear()
    made = make(*args)
    entries.append(([*map(list, rows)], made))
    return made


ROWS_PER_KEY = 8


def memoized_direction(plain, memos, key, table, make, *args):
    """The conversion of a direction of the memo KEY and leg TABLE, made by MAKE(*ARGS) when
    missing, from MEMOS: a memo for the directions of plain records, one for the others.

    A plain record (results.plain) has texts, whole numbers or null as its legs' codes
    and texts as their times, so its fields equal by == are equal in type too, and the
    parser's rows of its legs are made of those fields alone (the times' display texts
    follow the locale, which the command leaves as it is): KEY alone decides, and the
    rows need not be compared.  Another record may hold 1.0 where a plain one holds 1,
    hence a memo of its own, keyed by the rows too (memoized_with_rows)."""
    plain_memo, memo = memos
    if not plain:
        return memoized_with_rows(memo, key, table[1:], make, *args)
    made = plain_memo.get(key)  # (the key of a plain record holds no list or object)
    if made is None:
        if len(plain_memo) >= MEMO_SIZE:
            plain_memo.clear()
        made = plain_memo[key] = make(*args)
    return made


def memoized(memo, key, make, *args):
    """MEMO[KEY], made by MAKE(*ARGS) when missing, or afresh when KEY holds a field that
    is a list or an object."""
    try:
        made = memo.get(key)
    except TypeError:
        return make(*args)
    if made is None:
        if len(memo) >= MEMO_SIZE:
            memo.clear()
        made = memo[key] = make(*args)
    return made


def journey_times_json(record, legs):
    """A direction's local departure and arrival times in JSON: its first leg's departure
    and its last leg's arrival (the record's own where it has no leg)."""
    if not legs:
        return TIMES_JSON[record["local_departure"]], TIMES_JSON[record["local_arrival"]]
    return TIMES_JSON[legs[0]["local_departure"]], TIMES_JSON[legs[-1]["local_arrival"]]


def layover_seconds(key):
    """The seconds between a leg's arrival and the next leg's departure, KEY holding their
    local times and UTC times: by the UTC times where both are known, else by the local
    clock (of one airport, or of two in the same city)."""
    local_arrival, local_departure, utc_arrival, utc_departure = key
    if utc_arrival is not None and utc_departure is not None:
        start, end = (
            datetime.datetime.fromisoformat(UTC_TIMES[text][:-1])
            for text in (utc_arrival, utc_departure)
        )
    else:
        start, end = (
            datetime.datetime.fromisoformat(text[:-1]) for text in (local_arrival, local_departure)
        )
        if (start.tzinfo is None) != (end.tzinfo is None):  # one offset given: the clock
            start, end = start.replace(tzinfo=None), end.replace(tzinfo=None)
    return seconds(end - start)


LAYOVERS = Memo(layover_seconds)


def layover_key(arrived, leaving):
    """What the layover between the legs ARRIVED and LEAVING is made of: its place (and
    the type of its code: 1 and 1.0 are equal keys), times and the bags flag."""
    place = arrived["flyTo"]
    return (
        type(place),
        place,
        arrived["local_arrival"],
        leaving["local_departure"],
        arrived.get("utc_arrival"),
        leaving.get("utc_departure"),
        arrived.get("bags_recheck_required"),
    )


def layovers(legs):
    """The layovers between LEGS, in seconds."""
    return [
        LAYOVERS[layover_key(arrived, leaving)[2:6]] for arrived, leaving in zip(legs, legs[1:])
    ]


# The JSON is written from templates, the texts put in by the encoder's own string
# function: for thousands of legs this costs a third of making and encoding dicts.
def template(names):
    """A JSON object with the keys NAMES whose values are %s slots."""
    return "{" + ", ".join('"{}": %s'.format(name) for name in names) + "}"


LEG_JSON = template((*LEG_FIELDS, *LEG_EXTRAS, "display")).replace(
    '"display": %s', '"display": ' + template(LEG_CELLS)
)
JOURNEY_JSON = template(
    (
        "airports",
        "departure",
        "arrival",
        "utc_departure",
        "utc_arrival",
        "duration_seconds",
        "stops",
        "layovers",
        "legs",
        "display",
    )
)
LAYOVER_JSON = template(("airport", "seconds", "self_transfer"))
SUMMARY_JSON = template(("route", "departure", "duration", "arrival"))
ITINERARY_JSON = template(
    ("itinerary", "id", "round_trip", "prices", "outbound", "inbound", "display")
).replace('"display": %s', '"display": {"price": %s}')
TRUTH_JSON = {True: "true", False: "false", None: "null"}


def json_text(value):
    """The JSON of a text or None."""
    return "null" if value is None else encode_string(value)


def field_json(value):
    """json_text(field_text(VALUE)), a text and a whole number taken straight."""
    if value.__class__ is str:
        return encode_string(value) if value else "null"
    if value.__class__ is int:  # (a flight number: its text)
        return '"%d"' % value
    return json_text(field_text(value))


def time_json(text):
    return encode_string(local_time(text))


TIMES_JSON = Memo(time_json)
UTC_JSON = Memo(lambda text: json_text(utc_value(text)))  # of texts and None


def texts_json(texts):
    """The JSON array of TEXTS."""
    return "[" + ", ".join(map(encode_string, texts)) + "]"


PRICE_JSON = '{"currency": %s, "amount": %s}'


def number_json(amount):
    if type(amount) is int:
        return str(amount)
    value = number(amount)
    return "null" if value is None else repr(value)  # a finite float


def prices_json(record):
    """Every entry of the record's conversion table: [{"currency", "amount"}, ...].

    A response names the same currencies in every record, so the array is a template
    made once per list of currencies where all are texts (equal keys of other types, 1
    and True, or 0.0 and -0.0, are shown apart), its amounts put in where all are whole
    numbers (of type int, which %s shows as number_json does)."""
    conversion = record["conversion"]
    currencies = (*conversion,)
    amounts = (*conversion.values(),)
    if TEXT_ONLY.issuperset(map(type, currencies)) and INT_ONLY.issuperset(map(type, amounts)):
        return PRICES_JSON[currencies] % amounts
    return prices_made_json(conversion)


def prices_made_json(conversion):
    return (
        "["
        + ", ".join(
            [
                PRICE_JSON
                % (
                    CURRENCIES_JSON[currency]
                    if currency.__class__ is str
                    else encode_string(str(currency)),
                    amount if amount.__class__ is int else number_json(amount),
                )
                for currency, amount in conversion.items()
            ]
        )
        + "]"
    )


CURRENCIES_JSON = Memo(encode_string)  # of texts only
INT_ONLY = frozenset((int,))


def prices_template(currencies):
    """The JSON of a conversion table of the CURRENCIES (texts), with a %s slot for each
    amount."""
    return (
        "["
        + ", ".join(
            [
                PRICE_JSON % (CURRENCIES_JSON[currency].replace("%", "%%"), "%s")
                for currency in currencies
            ]
        )
        + "]"
    )


PRICES_JSON = Memo(prices_template)  # of tuples of texts only


def leg_json(fields, row):
    """A leg's FIELDS (in the order of legs_fields: codes, times and LEG_EXTRAS) and its ROW
    of display texts in JSON.  Made once per direction, which seldom shares a leg with
    another: a memo of legs would cost more to key than the leg costs to make."""
    try:
        times = TIMES_JSON[fields[CODES_END]], TIMES_JSON[fields[CODES_END + 1]]
    except TypeError:  # no text: what the time's conversion makes of it
        times = time_json(fields[CODES_END]), time_json(fields[CODES_END + 1])
    return LEG_JSON % (
        *map(field_json, fields[:CODES_END]),
        *times,
        UTC_JSON[fields[TIMES_END]],
        UTC_JSON[fields[TIMES_END + 1]],
        TRUTH_JSON[fields[TIMES_END + 2]],
        *map(encode_string, row),
    )


def layover_json(key):
    """The JSON of a layover of the layover_key KEY: where, how long, and whether the bags
    are checked in again there (the leg before's bags_recheck_required: a self-transfer)."""
    return LAYOVER_JSON % (field_json(key[1]), LAYOVERS[key[2:6]], TRUTH_JSON[key[6]])


LAYOVERS_JSON = Memo(layover_json)


def layovers_json(legs):
    """The layovers between LEGS in JSON."""
    return (
        "["
        + ", ".join(
            [
                LAYOVERS_JSON[layover_key(arrived, leaving)]
                for arrived, leaving in zip(legs, legs[1:])
            ]
        )
        + "]"
    )


def summary_json(summary):
    """The display texts of a compact summary, and its duration in seconds, in JSON."""
    route, departure, duration, arrival = summary
    return (
        SUMMARY_JSON
        % (
            encode_string(route),
            encode_string(departure),
            encode_string(str(duration)),
            encode_string(arrival),
        ),
        seconds(duration),
    )


SUMMARIES_JSON = Memo(summary_json)  # keyed by texts and a duration: no other type is equal


def journey_json(record, index, summary, table, legs, plain):
    """One direction of an itinerary in JSON: machine fields, legs and display texts.

    A response repeats its journeys across itineraries, so a direction with legs is made
    once, its memo keyed by its airports (the texts of "routes"), its summary and its
    legs and rows (legs_fields), which hold all that its JSON is made of; PLAIN: whether
    its record is plain (memoized_direction)."""
    if not legs:
        return journey_made(record, index, summary, table, legs, ())
    fields = legs_fields(legs)
    key = (tuple(record["routes"][index]), summary[0], summary[1], summary[2], summary[3], fields)
    return memoized_direction(
        plain, JOURNEY_MEMOS, key, table, journey_made, record, index, summary, table, legs, fields
    )


PLAIN_JOURNEYS_JSON: dict = {}
JOURNEYS_JSON: dict = {}
JOURNEY_MEMOS = (PLAIN_JOURNEYS_JSON, JOURNEYS_JSON)


def journey_made(record, index, summary, table, legs, fields):
    """The JSON of a direction whose LEGS have the FIELDS of legs_fields."""
    departure, arrival = journey_times_json(record, legs)
    utc_departure, utc_arrival = (
        (UTC_JSON[fields[0][TIMES_END]], UTC_JSON[fields[-1][TIMES_END + 1]])
        if legs
        else ("null", "null")
    )
    display, duration = SUMMARIES_JSON[summary[0], summary[1], summary[2], summary[3]]
    leg_texts = [*map(leg_json, fields, table[1:])]
    # the parser has joined the airports of "routes", which are texts then
    return JOURNEY_JSON % (
        texts_json(record["routes"][index]),
        departure,
        arrival,
        utc_departure,
        utc_arrival,
        duration,
        stops(legs),
        layovers_json(legs) if len(legs) > 1 else "[]",
        "[" + ", ".join(leg_texts) + "]",
        display,
    )


def itinerary_json(itinerary, shape=ITINERARY_JSON):
    """One itinerary in JSON, in SHAPE: ITINERARY_JSON, or it with what goes before or after
    it in the output (its text is long: joined to them, it was copied once more); "inbound"
    is null for a one-way trip."""
    record = itinerary.record
    outbound, inbound, outbound_legs, inbound_legs = itinerary.parsed
    legs_out, legs_back = split_legs(record)
    return shape % (
        itinerary.number,
        field_json(record.get("id")),
        "true" if inbound else "false",
        prices_json(record),
        journey_json(record, 0, outbound, outbound_legs, legs_out, itinerary.plain),
        journey_json(record, 1, inbound, inbound_legs, legs_back, itinerary.plain)
        if inbound
        else "null",
        encode_string(outbound[4]),
    )


def write_json(itineraries, out):
    """One JSON object: the schema version and the itineraries, one per line."""
    out.write('{"schema_version": %d, "itineraries": [' % SCHEMA_VERSION)
    shape = FIRST_ITINERARY_JSON
    for itinerary in itineraries:
        out.write(itinerary_json(itinerary, shape))
        shape = NEXT_ITINERARY_JSON
    out.write("]}\n" if shape is FIRST_ITINERARY_JSON else "\n]}\n")


FIRST_ITINERARY_JSON = "\n" + ITINERARY_JSON
NEXT_ITINERARY_JSON = ",\n" + ITINERARY_JSON
ITINERARY_LINE_JSON = ITINERARY_JSON + "\n"


def write_json_lines(itineraries, out):
    """JSON Lines: each itinerary's JSON object on a line of its own."""
    for itinerary in itineraries:
        out.write(itinerary_json(itinerary, ITINERARY_LINE_JSON))


def csv_text(fields):
    """FIELDS as a piece of a CSV line: quoted where the csv module quotes them, or all
    quoted where one holds a lone "\r", which the csv module leaves unquoted before 3.13
    (readers then take it for the end of the line)."""
    out = io.StringIO()
    lone_cr = not CSV_QUOTES_CR and any(
        isinstance(field, str) and "\r" in field for field in fields
    )
    # (the line's end is what makes the writer quote a "\n" in a field, on older hosts)
    csv.writer(
        out, lineterminator="\n", quoting=csv.QUOTE_ALL if lone_cr else csv.QUOTE_MINIMAL
    ).writerow(fields)
    return out.getvalue()[:-1]


CSV_QUOTES_CR = sys.version_info >= (3, 13)
# A row in three: the itinerary and direction; the leg, its fields and the duration; after
# the price, currency and id, the stops, layover and the leg's extras.
ROW_START, LEG_START, LEG_END = "%d,%s,", "%d,%s,%d,", ",%d,%s,%s\n"
TRUTH_CSV = {True: "true", False: "false", None: ""}


def leg_csv(fields):
    """The CSV of a leg's LEG_FIELDS and of its LEG_EXTRAS (ISO times and truth values,
    which need no quotes), from its FIELDS in the order of legs_fields.  Made once per
    direction, as leg_json."""
    departure, arrival, bags = fields[TIMES_END:]
    return (
        csv_line(
            converted(
                fields[:CODES_END],
                fields[CODES_END:TIMES_END],
                TEXTS,
                TIMES,
                field_text,
                local_time,
            )
        ),
        ",".join((utc_value(departure) or "", utc_value(arrival) or "", TRUTH_CSV[bags])),
    )


def csv_line(fields):
    """csv_text(FIELDS): joined as they are where all are texts (or None, an empty field)
    that the csv module writes as they are, in a line of several fields."""
    if len(fields) > 1 and CSV_TEXT_OR_NONE.issuperset(map(type, fields)):
        texts = [field or "" for field in fields]
        if not CSV_SPECIAL.search("".join(texts)):
            return ",".join(texts)
    return csv_text(fields)


def price_and_id_csv(record):
    """The first entry of the record's conversion table, as the CSV's price and currency,
    and the itinerary's id."""
    identity = field_text(record.get("id"))
    for currency, amount in record["conversion"].items():
        if (
            amount.__class__ is int
            and currency.__class__ is str
            and identity.__class__ in CSV_TEXT_OR_NONE
            and not CSV_SPECIAL.search(currency)
            and (identity is None or not CSV_SPECIAL.search(identity))
        ):
            # texts that the csv module writes as they are, in a line of several fields,
            # on every host, and a whole number as str() shows it: the module's own line
            return "%d,%s,%s" % (amount, currency, identity or "")
        return csv_text([number(amount), str(currency), identity])
    return csv_text([None, None, identity])


# What makes the csv module quote a field, or may: a NUL too before 3.11 (3.10 refuses it)
CSV_SPECIAL = re.compile('[,"\r\n\x00]')
CSV_TEXT_OR_NONE = frozenset((str, type(None)))


def legs_csv(number, direction, summary, legs, table, before, plain):
    """The rows of the LEGS of a DIRECTION, BEFORE holding their itinerary's price,
    currency and id; each leg's fields made once."""
    start = ROW_START % (number, direction)
    return [
        start + head + before + tail for head, tail in direction_csv(summary, legs, table, plain)
    ]


def direction_csv(summary, legs, table, plain):
    """Each leg's row of a direction (the legs of its SUMMARY and leg TABLE) but for the
    itinerary's parts, split where its price goes.  A response repeats its journeys
    across itineraries, so this is made once per direction, keyed by its duration and its
    legs and rows (legs_fields), which hold all else that the rows are made of; PLAIN:
    whether its record is plain (memoized_direction)."""
    if not legs:
        return []
    fields = legs_fields(legs)
    return memoized_direction(
        plain,
        DIRECTION_MEMOS,
        (summary[2], fields),
        table,
        direction_made_csv,
        summary,
        legs,
        fields[: len(table) - 1],  # (a leg without a row has none)
    )


PLAIN_DIRECTIONS_CSV: dict = {}
DIRECTIONS_CSV: dict = {}
DIRECTION_MEMOS = (PLAIN_DIRECTIONS_CSV, DIRECTIONS_CSV)


def direction_made_csv(summary, legs, fields):
    """The rows of direction_csv, of LEGS whose FIELDS are those of legs_fields."""
    duration, count = seconds(summary[2]), stops(legs)
    return [
        (LEG_START % (position, texts, duration), LEG_END % (count, wait, extras))
        for position, ((texts, extras), wait) in enumerate(
            zip(map(leg_csv, fields), [*layovers(legs), ""]), 1
        )
    ]


def write_csv(itineraries, out):
    """One row per leg, in the columns of CSV_COLUMNS."""
    out.write(csv_text(CSV_COLUMNS) + "\n")
    for itinerary in itineraries:
        record = itinerary.record
        before = price_and_id_csv(record)
        outbound, inbound, outbound_legs, inbound_legs = itinerary.parsed
        legs_out, legs_back = split_legs(record)
        position, plain = itinerary.number, itinerary.plain
        rows = legs_csv(position, "outbound", outbound, legs_out, outbound_legs, before, plain)
        if inbound:
            rows += legs_csv(position, "inbound", inbound, legs_back, inbound_legs, before, plain)
        out.write("".join(rows))


WRITERS = {"table": write_tables, "json": write_json, "jsonl": write_json_lines, "csv": write_csv}
