"""Flight-search results: reading a response, parsing its itineraries, putting them in order."""
import json
import math
import sys
from collections import namedtuple

from tavimo.errors import UserError

# number: the position in the response, from 1; record: the search-result record as read;
# parsed: what i_parser made of it.  (A namedtuple: typing costs the command more to import.)
Itinerary = namedtuple("Itinerary", ["number", "record", "parsed"])


def read_itineraries(source, sample):
    """Load the itinerary records from a file, '-' (stdin) or, for None, the SAMPLE path."""
    if source == "-":
        if sys.stdin is None:
            raise UserError("cannot read standard input: it is closed")
        name, raw = "standard input", sys.stdin.buffer.read()
    else:
        path = sample if source is None else source
        name = str(path)
        try:
            with open(path, "rb") as file:
                raw = file.read()
        except OSError as exc:
            raise UserError("cannot read {}: {}".format(name, exc.strerror or exc))
    if not raw.strip():
        raise UserError("{} is empty: expected a flight-search response in JSON".format(name))
    try:
        document = json.loads(raw)  # bytes: UTF-8/16/32 and a BOM are detected
    except ValueError as exc:  # JSONDecodeError and UnicodeDecodeError
        raise UserError("{} is not valid JSON: {}".format(name, exc))
    itineraries = document.get("data") if isinstance(document, dict) else document
    if not isinstance(itineraries, list):
        raise UserError('{} holds no itineraries: expected a JSON array or an object '
                        'with a "data" array'.format(name))
    return itineraries


def has_return_legs(record):
    """Whether the itinerary flies back: one of its route legs is marked as a return leg."""
    legs = record.get("route") if isinstance(record, dict) else None
    return isinstance(legs, list) and any(
        isinstance(leg, dict) and leg.get("return") == 1 for leg in legs)


def parse_itineraries(records, i_parser, all_round_trips, report):
    """The parsed itineraries, in the order of RECORDS.

    A record counts as a round trip when ALL_ROUND_TRIPS is set or one of its legs is a
    return leg.  A record the parser rejects is passed to REPORT(number, record, round_trip,
    exception) and left out; the others still come.
    """
    for number, record in enumerate(records, 1):
        round_trip = all_round_trips or has_return_legs(record)
        try:
            parsed = i_parser(record, round_trip)
        except Exception as exc:
            report(number, record, round_trip, exc)
            continue
        yield Itinerary(number, record, parsed)


def first_amount(itinerary):
    """The price in the first currency of the record's conversion table, if it is a number."""
    try:
        conversion = itinerary.record["conversion"]
        _currency, amount = next(iter(conversion.items()))
        value = float(amount)
    except Exception:  # no table, an empty or odd one, an amount that is no number
        return None
    return value if math.isfinite(value) else None


def total_duration(itinerary):
    """Flight time out plus, for a round trip, flight time back, in seconds."""
    outbound, inbound = itinerary.parsed[0], itinerary.parsed[1]
    seconds = outbound[2].total_seconds()
    return seconds + inbound[2].total_seconds() if inbound else seconds


def outbound_departure(itinerary):
    """The local date and time of the outbound departure, as the ISO text of the record."""
    return itinerary.record["local_departure"]


# Each order maps an itinerary to its value; itineraries without one come last, and equal
# values keep the order of the response.
ORDERS = {
    "price": first_amount,
    "duration": total_duration,
    "departure": outbound_departure,
}


def in_order(itineraries, order):
    value_of = ORDERS[order]

    def key(itinerary):
        value = value_of(itinerary)
        return (value is None, value if value is not None else 0)
    return sorted(itineraries, key=key)
