"""Why the parser rejected an itinerary, in the terms of the response rather than Python's.

Runs only for a rejected record: it walks the record in the order the parser reads it and
names the first field the parser cannot use, with its path as jq writes it (route[1].
local_arrival) and its whole value as JSON.
"""

import datetime
import json
import math
import re

from tavimo.results import (
    LEG_CODE_NAMES,
    LEG_TIME_NAMES,
    Problem,
    Unreadable,
    has_return_legs,
    standard_time,
)

TIME_EXAMPLE = "2021-06-01T10:15:00.000Z"
LEG_FIELDS = (
    "cityFrom",
    "flyFrom",
    "cityTo",
    "flyTo",
    "local_departure",
    "local_arrival",
    "flight_no",
    "operating_carrier",
    "operating_flight_no",
    "airline",
    "return",
)
RECORD_TIMES = ("local_departure", "local_arrival")
KEY = re.compile(r"[A-Za-z_][A-Za-z0-9_]*", re.ASCII)


def shown(value):
    try:
        return json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError):
        return repr(value)


def path_of(path, key):
    if isinstance(key, int):
        return "{}[{}]".format(path, key)
    if not KEY.fullmatch(key):  # as jq writes it: .conversion["E U R"]
        return "{}[{}]".format(path, json.dumps(key, ensure_ascii=False))
    return "{}.{}".format(path, key) if path else key


def bad(path, what, value):
    return Problem("field '{}' is {}: {}".format(path, what, shown(value)))


def get(container, key, path=""):
    """CONTAINER[KEY], or the Problem of its absence; PATH is the container's own path."""
    if isinstance(key, int):
        if not isinstance(container, list):
            raise bad(path, "not a list", container)
        if key >= len(container):
            raise Problem("field '{}' has no item {}".format(path, key))
    else:
        if not isinstance(container, dict):
            raise (
                bad(path, "not an object", container)
                if path
                else Problem("expected an object, got {}".format(shown(container)))
            )
        if key not in container:
            raise Problem("missing field '{}'".format(path_of(path, key)))
    return container[key]


def check_seconds(value, path):
    try:
        datetime.timedelta(seconds=int(value))
    except (TypeError, ValueError):
        raise bad(path, "not a whole number of seconds", value)
    except OverflowError:
        raise bad(path, "out of range for a duration", value)


def check_places(value, path):
    if isinstance(value, str):
        return
    if not isinstance(value, list) or not all(isinstance(place, str) for place in value):
        raise bad(path, "not a list of airport codes", value)


def ends_in_z(value):
    return isinstance(value, str) and value[-1:] in ("Z", "z")


def check_time(value, path):
    """A local time: as the parser reads it where it ends in "Z" (without that), else in
    a standard form."""
    if isinstance(value, str) and not ends_in_z(value):
        if standard_time(value) is None:
            raise bad(path, "not a local date and time such as " + TIME_EXAMPLE, value)
        return
    try:
        datetime.datetime.fromisoformat(value[:-1])
    except (TypeError, ValueError, KeyError, IndexError):
        raise bad(path, "not a local date and time such as " + TIME_EXAMPLE, value)


def parser_time(value, path):
    """VALUE in the form the parser reads: as it is where it ends in "Z" (or is no text:
    the parser says what is wrong with it), else its standard form's, with a "Z"."""
    if not isinstance(value, str) or ends_in_z(value):
        return value
    moment = standard_time(value)
    if moment is None:
        raise bad(path, "not a local date and time such as " + TIME_EXAMPLE, value)
    return moment.isoformat() + "Z"


def check_text(value, path):
    """A code, name or number: a text, a number (not NaN nor infinite), or null."""
    kind = type(value)
    if not (kind in (str, int, type(None)) or (kind is float and math.isfinite(value))):
        raise bad(path, "not a text or a number", value)


def check_return(value, path):
    if type(value) is not int or value not in (0, 1):
        raise bad(path, "not 0 (a leg out) or 1 (a leg back)", value)


def usable(record):
    """A copy of RECORD with its local times in the parser's form, or the Problem of a
    leg's "return", code or time (see results.prepared).  A field missing, or a leg that
    is no object, is left for the parser to raise its own exception."""
    record = dict(record)
    for name in RECORD_TIMES:
        if name in record:
            record[name] = parser_time(record[name], name)
    route = record.get("route")
    if isinstance(route, list):
        record["route"] = [
            usable_leg(leg, path_of("route", index)) for index, leg in enumerate(route)
        ]
    return record


def usable_leg(leg, path):
    if not isinstance(leg, dict):
        return leg
    leg = dict(leg)
    if "return" in leg:
        check_return(leg["return"], path_of(path, "return"))
    for name in LEG_CODE_NAMES:
        if name in leg:
            check_text(leg[name], path_of(path, name))
    for name in LEG_TIME_NAMES:
        if name in leg:
            leg[name] = parser_time(leg[name], path_of(path, name))
    return leg


def check_route(route):
    if not isinstance(route, list):
        raise bad("route", "not a list of legs", route)
    for index, leg in enumerate(route):
        path = path_of("route", index)
        for name in LEG_FIELDS:
            value = get(leg, name, path)
            if name in LEG_TIME_NAMES:
                check_time(value, path_of(path, name))
            elif name == "return":
                check_return(value, path_of(path, name))
            else:
                check_text(value, path_of(path, name))


def check_record(record, round_trip):
    """Raise the Problem the parser meets first in RECORD, if any of the known ones."""
    duration = get(record, "duration")
    check_seconds(get(duration, "departure", "duration"), "duration.departure")
    check_places(get(get(record, "routes"), 0, "routes"), "routes[0]")
    for name in ("local_departure", "local_arrival"):
        check_time(get(record, name), name)
    conversion = get(record, "conversion")
    if not isinstance(conversion, dict):
        raise bad("conversion", "not an object of amounts by currency", conversion)
    check_route(get(record, "route"))
    if round_trip:
        if not has_return_legs(record):
            raise Problem(
                "no return journey: none of its legs is marked as a return leg "
                '("return": 1), so it cannot be parsed as a round trip'
            )
        check_seconds(get(duration, "return", "duration"), "duration.return")
        check_places(get(record["routes"], 1, "routes"), "routes[1]")


def explain(record, round_trip, exc):
    """What keeps the parser from RECORD, in the response's terms; the exception's own text
    when the record shows none of the known problems."""
    if isinstance(exc, Unreadable):
        return str(exc)
    try:
        check_record(record, round_trip)
    except Problem as problem:
        return str(problem)
    return str(exc) or type(exc).__name__
