"""The output formats of parsed itineraries: text tables, and JSON and CSV for programs.

The tables show the parser's display texts.  JSON and CSV are the machine form described
in README ("JSON and CSV output"; the schema is data/itineraries.schema.json): ISO 8601
local times, durations in seconds, prices as numbers with their currency codes, carriers
and flight numbers as fields of their own.  JSON keeps the parser's display texts beside
them, in the "display" object of each itinerary, direction and leg.
"""
import csv
import datetime
import json
import math
import operator
import sys
from json.encoder import encode_basestring as encode_string

from tavimo.tables import format_table

SCHEMA_VERSION = 1
ENCODER = json.JSONEncoder(ensure_ascii=False)
SUMMARY_HEADER = ["", "Route", "Departure", "Duration", "Arrival", "Price"]
# The names of a leg table's cells, in their order, as the JSON's display texts of a leg.
LEG_CELLS = ("airports", "times", "flight_no", "airline", "operating_flight_no", "operated_by")
LEG_FIELDS = ("from", "to", "from_city", "to_city", "airline", "flight_number",
              "operating_airline", "operating_flight_number", "departure", "arrival")
CSV_COLUMNS = ["itinerary", "direction", "leg", *LEG_FIELDS, "duration_seconds", "price",
               "currency"]


def itinerary_text(itinerary):
    """One itinerary as a heading, its summary table and its leg tables."""
    outbound, inbound, outbound_legs, inbound_legs = itinerary.parsed
    summary = [["Outbound", *outbound]]
    if inbound:
        # the parser marks the inbound price "x": the price stands in the outbound row only
        summary.append(["Inbound", inbound[0], inbound[1], inbound[2], inbound[3], ""])
    blocks = [
        "Itinerary {} ({})".format(itinerary.number, "round trip" if inbound else "one way"),
        format_table(SUMMARY_HEADER, summary),
        "",
        "Outbound legs",
        format_table(outbound_legs[0], outbound_legs[1:]),
    ]
    if inbound_legs:
        blocks += ["", "Inbound legs", format_table(inbound_legs[0], inbound_legs[1:])]
    return "\n".join(blocks)


def write_tables(itineraries, out):
    """The itineraries' tables, a blank line between two itineraries."""
    separator = ""
    for itinerary in itineraries:
        out.write(separator + itinerary_text(itinerary) + "\n")
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
        if "\r" in value:
            WITH_CR.add(value)
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


def prices(record):
    """Every entry of the record's conversion table: [{"currency", "amount"}, ...]."""
    return [{"currency": str(currency), "amount": number(amount)}
            for currency, amount in record["conversion"].items()]


def seconds(duration):
    return duration.days * 86400 + duration.seconds


def split_legs(record):
    """The record's legs out and back, as the parser files them (by the truth of "return")."""
    outbound, inbound = [], []
    for leg in record["route"]:
        (inbound if leg["return"] else outbound).append(leg)
    return outbound, inbound


class Memo(dict):
    """VALUE -> convert(VALUE), kept for texts: a response repeats its codes, cities and
    times over and over.  Other values are converted afresh (1, 1.0 and True are equal
    keys, but their texts differ)."""

    def __init__(self, convert):
        super().__init__()
        self.convert = convert

    def __missing__(self, value):
        result = self.convert(value)
        if type(value) is str:
            self[value] = result
        return result


LEG_CODES = operator.itemgetter("flyFrom", "flyTo", "cityFrom", "cityTo", "airline",
                                "flight_no", "operating_carrier", "operating_flight_no")
LEG_TIMES = operator.itemgetter("local_departure", "local_arrival")
TEXTS = Memo(field_text)
TIMES = Memo(local_time)


def leg_values(leg):
    """The machine fields of a leg, in the order of LEG_FIELDS."""
    return [*map(TEXTS.__getitem__, LEG_CODES(leg)), *map(TIMES.__getitem__, LEG_TIMES(leg))]


def journey_times(record, legs, inbound):
    """A direction's local departure and arrival times, as the parser chooses them: the
    record's own for the way out; the earliest departure and the latest arrival of the
    return legs for the way back."""
    if not inbound:
        return local_time(record["local_departure"]), local_time(record["local_arrival"])
    back = [leg for leg in legs if leg["return"] == 1]
    return (iso_time(min(leg["local_departure"][:-1] for leg in back)),
            iso_time(max(leg["local_arrival"][:-1] for leg in back)))


# The JSON is written from templates, the texts put in by the encoder's own string
# function: for thousands of legs this costs a third of making and encoding dicts.
def template(names):
    """A JSON object with the keys NAMES whose values are %s slots."""
    return "{" + ", ".join('"{}": %s'.format(name) for name in names) + "}"


LEG_JSON = template((*LEG_FIELDS, "display")).replace(
    '"display": %s', '"display": ' + template(LEG_CELLS))
JOURNEY_JSON = template(("airports", "departure", "arrival", "duration_seconds", "legs",
                         "display")).replace(
    '"display": %s', '"display": ' + template(("route", "departure", "duration", "arrival")))
ITINERARY_JSON = template(("itinerary", "round_trip", "prices", "outbound", "inbound",
                           "display")).replace('"display": %s', '"display": {"price": %s}')


def json_text(value):
    """The JSON of a text or None."""
    return "null" if value is None else encode_string(value)


TEXTS_JSON = Memo(lambda value: json_text(field_text(value)))
TIMES_JSON = Memo(lambda text: encode_string(local_time(text)))


def journey_json(record, index, summary, table, legs):
    """One direction of an itinerary in JSON: machine fields, legs and display texts."""
    departure, arrival = journey_times(record, legs, index == 1)
    leg_texts = [
        LEG_JSON % (*map(TEXTS_JSON.__getitem__, LEG_CODES(leg)),
                    *map(TIMES_JSON.__getitem__, LEG_TIMES(leg)), *map(encode_string, row))
        for leg, row in zip(legs, table[1:])]
    return JOURNEY_JSON % (
        ENCODER.encode(list(record["routes"][index])), encode_string(departure),
        encode_string(arrival), seconds(summary[2]), "[" + ", ".join(leg_texts) + "]",
        encode_string(summary[0]), encode_string(summary[1]), encode_string(str(summary[2])),
        encode_string(summary[3]))


def itinerary_json(itinerary):
    """One itinerary in JSON; "inbound" is null for a one-way trip."""
    record = itinerary.record
    outbound, inbound, outbound_legs, inbound_legs = itinerary.parsed
    legs_out, legs_back = split_legs(record)
    return ITINERARY_JSON % (
        itinerary.number, "true" if inbound else "false", ENCODER.encode(prices(record)),
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


def first_price(record):
    """The first entry of the record's conversion table: (amount, currency)."""
    for currency, amount in record["conversion"].items():
        currency = str(currency)
        if "\r" in currency:
            WITH_CR.add(currency)
        return number(amount), currency
    return None, None


# Before 3.13 the csv writer leaves a lone "\r" in a cell unquoted (with "\n" ending the
# lines), and readers then take it for a line break; a row with such a text is written
# with every cell quoted.  The texts come through the TEXTS memo, which notes them here.
WITH_CR = set()


class RowWriter:
    """csv.writer's writerow, with the rows that hold a text of WITH_CR quoted whole."""

    def __init__(self, out):
        self.plain = csv.writer(out, lineterminator="\n").writerow
        self.quoted = csv.writer(out, lineterminator="\n", quoting=csv.QUOTE_ALL).writerow

    def __call__(self, row):
        if WITH_CR and not WITH_CR.isdisjoint(row) and sys.version_info < (3, 13):
            self.quoted(row)
        else:
            self.plain(row)


def write_csv(itineraries, out):
    """One row per leg, in the columns of CSV_COLUMNS."""
    writerow = RowWriter(out)
    writerow(CSV_COLUMNS)
    for itinerary in itineraries:
        record = itinerary.record
        price = first_price(record)
        outbound, inbound = itinerary.parsed[:2]
        legs_out, legs_back = split_legs(record)
        directions = [("outbound", outbound, legs_out)]
        if inbound:
            directions.append(("inbound", inbound, legs_back))
        for direction, summary, legs in directions:
            duration = seconds(summary[2])
            for position, leg in enumerate(legs, 1):
                writerow([itinerary.number, direction, position, *leg_values(leg), duration,
                          *price])


WRITERS = {"table": write_tables, "json": write_json, "csv": write_csv}
