"""Calls every public callable of the native modules over inputs that succeed and inputs
that fail, swallowing the expected exceptions.

test_leaks.py imports `workloads()` to count allocated blocks and reference counts around
many rounds; run as a script (`PYTHONPATH=. python tests/leak_script.py ROUNDS` from the
project root) it is what valgrind watches.  It needs nothing but the installed package and
the test-support package (testkit).
"""

import sys

import tavimo.brasco as brasco
from testkit.samples import Pairs, make_leg, make_record

try:
    import tavimo.questions as questions
except ImportError:  # not built yet
    questions = None


class Failing:
    """A value whose truth test, equality and formatting all fail."""

    def __bool__(self):
        raise ArithmeticError("truth")

    def __eq__(self, other):
        raise ArithmeticError("equality")

    __hash__ = object.__hash__

    def __format__(self, how):
        raise ArithmeticError("format")


class Resizing:
    """An amount whose str() changes the size of the conversion dict being walked (by one
    key, added and removed in turn, so that the dict does not grow over many calls)."""

    def __init__(self, table):
        self.table = table

    def __str__(self):
        if "NEW" in self.table:
            del self.table["NEW"]
        else:
            self.table["NEW"] = 1
        return "1"


def leg(returning=0, **fields):
    return make_leg(returning, **fields)


def search_result(**fields):
    """A record whose return leg has an offset time and a broken one."""
    record = make_record(
        conversion={"EUR": 120, "USD": 140.5},
        route=[
            leg(0),
            leg(
                1,
                local_departure="2021-06-08T18:05:00+01:00Z",
                local_arrival="2021 06 08T21:30:00Z",
            ),
        ],
    )
    record.update(fields)
    return record


def attempt(function, *args, **kwargs):
    """A zero-argument call of function that swallows any Exception."""

    def call():
        try:
            function(*args, **kwargs)
        except Exception:
            pass

    call.__qualname__ = getattr(function, "__name__", "call")
    return call


class Document:
    def __init__(self, text):
        self.text = text


def brasco_workloads():
    route = search_result()["route"]
    growing = {"EUR": 1}
    growing["USD"] = Resizing(growing)
    i_parser = brasco.i_parser
    return {
        "route_details": [
            attempt(brasco.route_details, route, "outbound"),
            attempt(brasco.route_details, route_plan=tuple(route), leg="inbound"),
            attempt(brasco.route_details, []),
            attempt(brasco.route_details),
            attempt(brasco.route_details, [{}]),
            attempt(brasco.route_details, [leg(local_departure=None)]),
            attempt(brasco.route_details, [leg(local_arrival="2021-13-01T00:00Z")]),
            attempt(brasco.route_details, [leg(returning=Failing())]),
            attempt(brasco.route_details, [leg(airline=Failing())]),
            attempt(brasco.route_details, [leg(flight_no=None, operating_carrier=None)]),
            attempt(brasco.route_details, route, None, None),
            attempt(brasco.route_details, route, route_plan=route),
            attempt(brasco.route_details, plan=route),
        ],
        "get_ret_times": [
            attempt(brasco.get_ret_times, route),
            attempt(brasco.get_ret_times, route_plan=iter(route)),
            attempt(brasco.get_ret_times, []),
            attempt(brasco.get_ret_times),
            attempt(brasco.get_ret_times, [{"return": 1}]),
            attempt(brasco.get_ret_times, [leg(1, local_departure=5)]),
            attempt(brasco.get_ret_times, [leg(1), leg(1, local_departure=["x", "y"])]),
            attempt(brasco.get_ret_times, [leg(Failing())]),
            attempt(brasco.get_ret_times, [leg(1, local_arrival="2021-06-01T25:00Z")]),
            attempt(brasco.get_ret_times, route, route),
        ],
        "i_parser": [
            attempt(i_parser, search_result()),
            attempt(i_parser, search_result(), True),
            attempt(i_parser, search_result(), round_trip="yes"),
            attempt(i_parser),
            attempt(i_parser, {}),
            attempt(i_parser, search_result(duration={"departure": "1.5"})),
            attempt(i_parser, search_result(duration={"departure": float("inf")})),
            attempt(i_parser, search_result(duration={"departure": 10**20})),
            attempt(i_parser, search_result(routes=[]), True),
            attempt(i_parser, search_result(routes=[["BER", 1]])),
            attempt(i_parser, search_result(local_departure=7)),
            attempt(i_parser, search_result(local_arrival="2021-06-01T10:15:00")),
            attempt(i_parser, search_result(conversion=None)),
            attempt(i_parser, search_result(conversion=growing)),
            attempt(i_parser, search_result(conversion=Pairs([("EUR", 1, 2)]))),
            attempt(i_parser, search_result(conversion=Pairs([iter(["EUR"])]))),
            attempt(i_parser, search_result(conversion=Pairs([("EUR", 1), 5]))),
            attempt(i_parser, search_result(route=[leg(0)]), True),
            attempt(i_parser, search_result(route=None)),
            attempt(i_parser, search_result(), Failing()),
            attempt(i_parser, search_result(), True, None),
            attempt(i_parser, search_result(), round=True),
        ],
    }


def questions_workloads():
    if questions is None:
        return {}
    workloads = {
        "get_questions": [
            attempt(questions.get_questions),
            attempt(questions.get_questions, False),
            attempt(questions.get_questions, True),
            attempt(questions.get_questions, round_trip="yes"),
            attempt(questions.get_questions, Failing()),
            attempt(questions.get_questions, True, True),
            attempt(questions.get_questions, trip=True),
        ],
    }
    texts = ["LHR", "lh", "01/01/2021", "31/04/2021", "3", " 12 ", "two", "", None, 5, b"x"]
    for name in ("IataCodeValidator", "DateValidator", "NumberValidator"):
        cls = getattr(questions, name)
        validator = cls()
        calls = [attempt(validator.validate, Document(text)) for text in texts]
        calls += [
            attempt(validator.validate, object()),
            attempt(validator.validate),
            attempt(validator.validate, Document("x"), 1),
            attempt(validator.validate, document=Document("LHR")),
            attempt(cls.validate, validator, Document("3")),
        ]
        workloads[name + ".validate"] = calls
        workloads[name + "()"] = [attempt(cls), attempt(cls, 1), attempt(cls, x=1)]
    for record in questions.one_way_questions:
        if "filter" in record:
            count_filter = record["filter"]
            workloads["filter " + record["name"]] = [
                attempt(count_filter, answer)
                for answer in ("3", " 12 ", 5, True, 2.5, "2.5", "", None, "1_000")
            ] + [
                attempt(count_filter),
                attempt(count_filter, "1", "2"),
                attempt(count_filter, x="1"),
            ]
    return workloads


def workloads():
    """Name -> list of zero-argument calls, for every public callable."""
    result = brasco_workloads()
    result.update(questions_workloads())
    return result


def main(rounds):
    everything = workloads()
    for _ in range(rounds):
        for calls in everything.values():
            for call in calls:
                call()
    print("calls:", rounds * sum(len(calls) for calls in everything.values()))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 20)
