"""Why the parser rejected an itinerary, in the terms of the response rather than Python's.

Runs only for a rejected record: it walks the record in the order the parser reads it and
names the first field the parser cannot use, with its path as jq writes it (route[1].
local_arrival) and its whole value as JSON.
"""
import datetime
import json

from tavimo.results import has_return_legs

TIME_EXAMPLE = "2021-06-01T10:15:00.000Z"
LEG_FIELDS = ("cityFrom", "flyFrom", "cityTo", "flyTo", "local_departure", "local_arrival",
              "flight_no", "operating_carrier", "operating_flight_no", "airline", "return")
LEG_TIMES = ("local_departure", "local_arrival")


class Problem(Exception):
    """The first thing of a record that the parser cannot use."""


def shown(value):
    try:
        return json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError):
        return repr(value)


def path_of(path, key):
    if isinstance(key, int):
        return "{}[{}]".format(path, key)
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
            raise (bad(path, "not an object", container) if path
                   else Problem("expected an object, got {}".format(shown(container))))
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


def check_time(value, path):
    try:
        datetime.datetime.fromisoformat(value[:-1])
    except (TypeError, ValueError, KeyError, IndexError):
        raise bad(path, "not a local date and time such as " + TIME_EXAMPLE, value)


def check_route(route):
    if not isinstance(route, list):
        raise bad("route", "not a list of legs", route)
    for index, leg in enumerate(route):
        path = path_of("route", index)
        for name in LEG_FIELDS:
            value = get(leg, name, path)
            if name in LEG_TIMES:
                check_time(value, path_of(path, name))


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
            raise Problem('no return journey: none of its legs is marked as a return leg '
                          '("return": 1), so it cannot be parsed as a round trip')
        check_seconds(get(duration, "return", "duration"), "duration.return")
        check_places(get(record["routes"], 1, "routes"), "routes[1]")


def explain(record, round_trip, exc):
    """What keeps the parser from RECORD, in the response's terms; the exception's own text
    when the record shows none of the known problems."""
    try:
        check_record(record, round_trip)
    except Problem as problem:
        return str(problem)
    return str(exc) or type(exc).__name__
