"""The output formats of parsed itineraries: text tables, and JSON and CSV for programs.

The tables show the parser's display texts.  JSON and CSV are the machine form described
in README ("JSON and CSV output"; the schema is data/itineraries.schema.json): ISO 8601
local times, durations in seconds, prices as numbers with their currency codes, carriers
and flight numbers as fields of their own.  JSON keeps the parser's display texts beside
them, in the "display" object of each itinerary, direction and leg.
"""
import csv
import datetime
import io
import math
import operator
import sys
from json.encoder import encode_basestring as encode_string

from tavimo.tables import format_table, output_width

SCHEMA_VERSION = 1
SUMMARY_HEADER = ["", "Route", "Departure", "Duration", "Arrival", "Price"]
# The names of a leg table's cells, in their order, as the JSON's display texts of a leg.
LEG_CELLS = ("airports", "times", "flight_no", "airline", "operating_flight_no", "operated_by")
LEG_FIELDS = ("from", "to", "from_city", "to_city", "airline", "flight_number",
              "operating_airline", "operating_flight_number", "departure", "arrival")
CSV_COLUMNS = ["itinerary", "direction", "leg", *LEG_FIELDS, "duration_seconds", "price",
               "currency"]


def itinerary_text(itinerary, width=None):
    """One itinerary as a heading, its summary table and its leg tables, these fitted to
    WIDTH (None: no limit)."""
    outbound, inbound, outbound_legs, inbound_legs = itinerary.parsed
    summary = [["Outbound", *outbound]]
    if inbound:
        # the parser marks the inbound price "x": the price stands in the outbound row only
        summary.append(["Inbound", inbound[0], inbound[1], inbound[2], inbound[3], ""])
    blocks = [
        "Itinerary {} ({})".format(itinerary.number, "round trip" if inbound else "one way"),
        format_table(SUMMARY_HEADER, summary, width),
        "",
        "Outbound legs",
        format_table(outbound_legs[0], outbound_legs[1:], width),
    ]
    if inbound_legs:
        blocks += ["", "Inbound legs", format_table(inbound_legs[0], inbound_legs[1:], width)]
    return "\n".join(blocks)


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
    if (len(text) == 24 and text[10] == "T" and text[4] == text[7] == "-"
            and text[13] == text[16] == ":" and text[19:23] == ".000"):
        return text[:19]
    return iso_time(text[:-1])


def field_text(value):
    """A code or a number of the record as text; None for an empty or missing one."""
    if type(value) is str:
        return value or None
    return None if value is None else format(value, "")


def number(value):
    """An amount as a JSON number, or None when it is none (or not finite)."""
    if type(value) is int:
        return value
    if isinstance(value, str):
        try:
            return int(value)
        except ValueError:
            pass
    try:
        value = float(value)
    except (TypeError, ValueError, OverflowError):
        return None
    return value if math.isfinite(value) else None


def seconds(duration):
    return duration.days * 86400 + duration.seconds


def split_legs(record):
    """The record's legs out and back, as the parser files them (by the truth of "return")."""
    outbound, inbound = [], []
    for leg in record["route"]:
        (inbound if leg["return"] else outbound).append(leg)
    return outbound, inbound


class Memo(dict):
    """KEY -> convert(KEY), each converted once: a response repeats its codes, cities,
    flight numbers and times over and over."""

    def __init__(self, convert):
        super().__init__()
        self.convert = convert

    def __missing__(self, key):
        result = self[key] = self.convert(key)
        return result


class ValueMemo(Memo):
    """(type(VALUE), VALUE) -> convert(VALUE): 1, 1.0 and True are equal keys, but their
    texts differ, hence the type.  A float zero is not kept: 0.0 and -0.0 are equal too."""

    def __missing__(self, key):
        kind, value = key
        result = self.convert(value)
        if value or kind is not float:
            self[key] = result
        return result


LEG_CODE_NAMES = ("flyFrom", "flyTo", "cityFrom", "cityTo", "airline", "flight_no",
                  "operating_carrier", "operating_flight_no")
LEG_TIME_NAMES = ("local_departure", "local_arrival")
LEG_CODES = operator.itemgetter(*LEG_CODE_NAMES)
LEG_TIMES = operator.itemgetter(*LEG_TIME_NAMES)
TEXTS = ValueMemo(field_text)
TIMES = Memo(local_time)  # of texts only


def converted(codes, times, texts_memo, times_memo, convert_text, convert_time):
    """The leg's CODES and TIMES through the memos, or converted afresh where a code is a
    list or an object (which no memo can hold)."""
    try:
        return [*map(texts_memo.__getitem__, zip(map(type, codes), codes)),
                *map(times_memo.__getitem__, times)]
    except TypeError:
        return [*map(convert_text, codes), *map(convert_time, times)]


# The same flight recurs across the itineraries of a response, so each leg is converted
# once, its memo keyed by the fields read (LEG_CODES, LEG_TIMES) and the parser's display
# texts of the leg (its row): LEG_KEY(leg) + row.  Equal
# keys mean equal fields of equal display texts, and so equal machine fields: fields of
# different types can be equal (1, 1.0 and True; 0.0 and -0.0) but their display texts
# then differ (numbers and truth values show no blank, parenthesis or arrow, so the cells
# that join several fields still tell them apart).
LEG_KEY = operator.itemgetter(*LEG_CODE_NAMES, *LEG_TIME_NAMES)
CODES_END = len(LEG_CODE_NAMES)
TIMES_END = CODES_END + len(LEG_TIME_NAMES)


class LegMemo(dict):
    """A leg's key -> convert(codes, times, row), the three read back from the key."""

    def __init__(self, convert):
        super().__init__()
        self.convert = convert

    def __missing__(self, key):
        result = self[key] = self.convert(key[:CODES_END], key[CODES_END:TIMES_END],
                                          key[TIMES_END:])
        return result


def legs_converted(memo, legs, rows):
    """The conversion of each leg with its row, through MEMO, or afresh where a field is
    a list or an object (which no memo can hold)."""
    try:
        return [memo[(*LEG_KEY(leg), *row)] for leg, row in zip(legs, rows)]
    except TypeError:
        return [leg_converted(memo, leg, row) for leg, row in zip(legs, rows)]


def leg_converted(memo, leg, row):
    try:
        return memo[(*LEG_KEY(leg), *row)]
    except TypeError:
        return memo.convert(LEG_CODES(leg), LEG_TIMES(leg), row)


def journey_times_json(record, legs, inbound):
    """A direction's local departure and arrival times in JSON, as the parser chooses them:
    the record's own for the way out; the earliest departure and the latest arrival of the
    return legs for the way back."""
    if not inbound:
        return TIMES_JSON[record["local_departure"]], TIMES_JSON[record["local_arrival"]]
    back = [leg for leg in legs if leg["return"] == 1]
    return (ISO_TIMES_JSON[min(leg["local_departure"][:-1] for leg in back)],
            ISO_TIMES_JSON[max(leg["local_arrival"][:-1] for leg in back)])


# The JSON is written from templates, the texts put in by the encoder's own string
# function: for thousands of legs this costs a third of making and encoding dicts.
def template(names):
    """A JSON object with the keys NAMES whose values are %s slots."""
    return "{" + ", ".join('"{}": %s'.format(name) for name in names) + "}"


LEG_JSON = template((*LEG_FIELDS, "display")).replace(
    '"display": %s', '"display": ' + template(LEG_CELLS))
JOURNEY_JSON = template(("airports", "departure", "arrival", "duration_seconds", "legs",
                         "display"))
SUMMARY_JSON = template(("route", "departure", "duration", "arrival"))
ITINERARY_JSON = template(("itinerary", "round_trip", "prices", "outbound", "inbound",
                           "display")).replace('"display": %s', '"display": {"price": %s}')


def json_text(value):
    """The JSON of a text or None."""
    return "null" if value is None else encode_string(value)


def field_json(value):
    return json_text(field_text(value))


def time_json(text):
    return encode_string(local_time(text))


TEXTS_JSON = ValueMemo(field_json)
TIMES_JSON = Memo(time_json)
ISO_TIMES_JSON = Memo(lambda text: encode_string(iso_time(text)))  # of texts only


def texts_json(texts):
    """The JSON array of TEXTS."""
    return "[" + ", ".join(map(encode_string, texts)) + "]"


PRICE_JSON = '{"currency": %s, "amount": %s}'


def number_json(amount):
    if type(amount) is int:
        return str(amount)
    value = number(amount)
    return "null" if value is None else repr(value)  # an int or a finite float


def prices_json(record):
    """Every entry of the record's conversion table: [{"currency", "amount"}, ...]."""
    return "[" + ", ".join([
        PRICE_JSON % (CURRENCIES_JSON[currency] if type(currency) is str
                      else encode_string(str(currency)),
                      amount if type(amount) is int else number_json(amount))
        for currency, amount in record["conversion"].items()]) + "]"


CURRENCIES_JSON = Memo(encode_string)  # of texts only


def leg_json(codes, times, row):
    """A leg's fields and its ROW of display texts in JSON."""
    return LEG_JSON % (*converted(codes, times, TEXTS_JSON, TIMES_JSON, field_json, time_json),
                       *map(encode_string, row))


LEGS_JSON = LegMemo(leg_json)


def summary_json(summary):
    """The display texts of a compact summary, and its duration in seconds, in JSON."""
    route, departure, duration, arrival = summary
    return (SUMMARY_JSON % (encode_string(route), encode_string(departure),
                            encode_string(str(duration)), encode_string(arrival)),
            seconds(duration))


SUMMARIES_JSON = Memo(summary_json)  # keyed by texts and a duration: no other type is equal


def journey_json(record, index, summary, table, legs):
    """One direction of an itinerary in JSON: machine fields, legs and display texts."""
    departure, arrival = journey_times_json(record, legs, index == 1)
    display, duration = SUMMARIES_JSON[summary[0], summary[1], summary[2], summary[3]]
    leg_texts = legs_converted(LEGS_JSON, legs, table[1:])
    # the parser has joined the airports of "routes", which are texts then
    return JOURNEY_JSON % (
        texts_json(record["routes"][index]), departure, arrival, duration,
        "[" + ", ".join(leg_texts) + "]", display)


def itinerary_json(itinerary):
    """One itinerary in JSON; "inbound" is null for a one-way trip."""
    record = itinerary.record
    outbound, inbound, outbound_legs, inbound_legs = itinerary.parsed
    legs_out, legs_back = split_legs(record)
    return ITINERARY_JSON % (
        itinerary.number, "true" if inbound else "false", prices_json(record),
        journey_json(record, 0, outbound, outbound_legs, legs_out),
        journey_json(record, 1, inbound, inbound_legs, legs_back) if inbound else "null",
        encode_string(outbound[4]))


def write_json(itineraries, out):
    """One JSON object: the schema version and the itineraries, one per line."""
    out.write('{"schema_version": %d, "itineraries": [' % SCHEMA_VERSION)
    separator = "\n"
    for itinerary in itineraries:
        out.write(separator + itinerary_json(itinerary))
        separator = ",\n"
    out.write("]}\n" if separator == "\n" else "\n]}\n")


def csv_text(fields):
    """FIELDS as a piece of a CSV line: quoted where the csv module quotes them, or all
    quoted where one holds a lone "\r", which the csv module leaves unquoted before 3.13
    (readers then take it for the end of the line)."""
    out = io.StringIO()
    lone_cr = not CSV_QUOTES_CR and any(isinstance(field, str) and "\r" in field
                                        for field in fields)
    # (the line's end is what makes the writer quote a "\n" in a field, on older hosts)
    csv.writer(out, lineterminator="\n",
               quoting=csv.QUOTE_ALL if lone_cr else csv.QUOTE_MINIMAL).writerow(fields)
    return out.getvalue()[:-1]


CSV_QUOTES_CR = sys.version_info >= (3, 13)
CSV_ROW = "%d,%s,%d,%s,%d,%s\n"  # itinerary, direction, leg, its fields, duration, price


def leg_csv(codes, times, _row):
    return csv_text(converted(codes, times, TEXTS, TIMES, field_text, local_time))


LEGS_CSV = LegMemo(leg_csv)


def first_price_csv(record):
    """The first entry of the record's conversion table, as the CSV's price and currency."""
    for currency, amount in record["conversion"].items():
        return csv_text([number(amount), str(currency)])
    return ","


def write_csv(itineraries, out):
    """One row per leg, in the columns of CSV_COLUMNS; each leg's fields made once."""
    out.write(csv_text(CSV_COLUMNS) + "\n")
    for itinerary in itineraries:
        price = first_price_csv(itinerary.record)
        outbound, inbound, outbound_legs, inbound_legs = itinerary.parsed
        legs_out, legs_back = split_legs(itinerary.record)
        directions = [("outbound", outbound, legs_out, outbound_legs)]
        if inbound:
            directions.append(("inbound", inbound, legs_back, inbound_legs))
        out.write("".join([
            CSV_ROW % (itinerary.number, direction, position, leg, seconds(summary[2]), price)
            for direction, summary, legs, table in directions
            for position, leg in enumerate(legs_converted(LEGS_CSV, legs, table[1:]), 1)]))


WRITERS = {"table": write_tables, "json": write_json, "csv": write_csv}
