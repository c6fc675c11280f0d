"""Hostile callers of tavimo.brasco: what changes between i_parser's two route_details
calls (module globals, legs, keys of another kind, the time locale) shows in the second
call's rows, which are otherwise reused from the first.  The scenarios run both ways
(testkit.hostile)."""

import builtins
import gc
import sys
import time
from datetime import datetime

import pytest

import tavimo.brasco as brasco
from conftest import FREE_THREADED, root_handler
from testkit.hostile import OnMessage, Stamped, both, globals_restored
from testkit.samples import make_leg, make_record


def between_the_two_route_details_calls(action, record=None):
    """A get_ret_times that does `action(module, route_plan)` and then the real work: it runs
    between i_parser's two route_details calls (on `record`, or a fresh sample)."""

    def scenario(module):
        real = module.get_ret_times

        def in_between(route_plan=None):
            action(module, route_plan)
            return real(route_plan=route_plan)

        module.get_ret_times = in_between
        return module.i_parser(record if record is not None else make_record(), True)

    return scenario


def rebind_datetime(module, route):
    module.datetime = Stamped


def change_a_return_leg(module, route):
    route[1]["cityFrom"] = "Paris"
    route[1]["flight_no"] = 7


def replace_a_time(module, route):
    route[1]["local_arrival"] = "2021-06-08T23:59:00.000Z"


def add_a_key_of_another_kind(module, route):
    route[1][("cityFrom",)] = "not a text key"


def swap_the_legs(module, route):
    route.reverse()


@pytest.mark.parametrize(
    "action",
    [
        rebind_datetime,
        change_a_return_leg,
        replace_a_time,
        add_a_key_of_another_kind,
        swap_the_legs,
    ],
    ids=lambda action: action.__name__,
)
def test_what_changes_between_the_two_route_details_calls_shows(action):
    outcome, _ = both(between_the_two_route_details_calls(action))
    assert outcome[0] == "returned"


class CountedKey:
    """A key that stands beside "cityFrom" (same hash) and counts the comparisons that
    looking "cityFrom" up makes with it."""

    compared = 0

    def __hash__(self):
        return hash("cityFrom")

    def __eq__(self, other):
        CountedKey.compared += 1
        return False


@pytest.mark.parametrize("removed_again", [False, True], ids=["kept", "removed again"])
def test_legs_with_a_key_of_another_kind_are_read_again(removed_again):
    """Reading such a leg runs code, so both calls read it, with the same comparisons."""

    def scenario(module):
        record = make_record()
        for index, leg in enumerate(record["route"]):
            key = CountedKey()
            record["route"][index] = colliding = {key: "colliding"}  # met before "cityFrom"
            colliding.update(leg)
            if removed_again:
                del colliding[key]
        CountedKey.compared = 0
        return module.i_parser(record, True), CountedKey.compared

    outcome, _ = both(scenario)
    assert outcome[0] == "returned"


class StrftimeReplacingKey:
    """A key that stands beside "local_arrival" (same hash); comparing with it replaces
    time.strftime, as code run by a lookup may."""

    def __hash__(self):
        return hash("local_arrival")

    def __eq__(self, other):
        time.strftime = lambda fmt, parts, original=ORIGINAL_STRFTIME: (
            "<" + original(fmt, parts) + ">"
        )
        return False


ORIGINAL_STRFTIME = time.strftime


def test_code_run_by_reading_the_arrival_is_met_by_its_display_time():
    """The departure's check of what strftime reaches is reused for the arrival only where
    reading the leg runs no code."""

    def scenario(module):
        leg = {StrftimeReplacingKey(): "colliding"}  # met before "local_arrival"
        leg.update(make_leg(0))
        try:
            time.strftime = ORIGINAL_STRFTIME
            return module.route_details([leg])
        finally:
            time.strftime = ORIGINAL_STRFTIME

    outcome, _ = both(scenario)
    assert "'Tue 01 Jun 10:15 -> <Tue 01 Jun 13:40>'" in repr(outcome)


class AttributeLeg:
    """A leg kept as an object's attributes; its namespace is what route_details reads."""

    def __init__(self, fields):
        for name, value in fields.items():
            setattr(self, name, value)


def test_a_leg_that_is_an_instance_namespace_changed_through_the_instance():
    """Attributes set on the instance may bypass its namespace's dict (3.13's inline
    values): such a leg's row is made again."""

    def scenario(module):
        record = make_record()
        legs = [AttributeLeg(leg) for leg in record["route"]]
        record["route"] = [vars(leg) for leg in legs]

        def rename(module, route):
            legs[0].cityFrom = "Paris"
            legs[1].cityFrom = "Paris"

        return between_the_two_route_details_calls(rename, record)(module)

    outcome, _ = both(scenario)
    assert outcome[0] == "returned" and "Paris" in repr(outcome[1])


def test_datetime_is_looked_up_once_per_display_time_when_rows_are_made_again(
    time_locale_source, monkeypatch
):
    """Each display time looks `datetime` up once, also where a reused row's times are made
    again (here: after the time locale changed between the two route_details calls)."""
    import locale

    name, locpath = time_locale_source
    if locpath is not None:
        monkeypatch.setenv("LOCPATH", locpath)
    looked_up = []

    def builtins_getattr(attribute):
        if attribute != "datetime":
            raise AttributeError(attribute)
        looked_up.append(attribute)
        return datetime

    def to_other_locale(module, route):
        locale.setlocale(locale.LC_TIME, name)

    previous = locale.setlocale(locale.LC_TIME)
    monkeypatch.setattr(builtins, "__getattr__", builtins_getattr, raising=False)
    try:
        with globals_restored(brasco):
            del brasco.datetime  # found through the builtins module's __getattr__ each time
            record = make_record()
            between_the_two_route_details_calls(to_other_locale, record)(brasco)
    finally:
        locale.setlocale(locale.LC_TIME, previous)
    legs = len(record["route"])
    assert len(looked_up) == 4 + 4 * legs


def test_rows_made_again_in_another_time_locale(time_locale_source, monkeypatch):
    """The second call's rows follow the time locale as it is then."""
    import locale

    name, locpath = time_locale_source
    if locpath is not None:
        monkeypatch.setenv("LOCPATH", locpath)

    def to_other_locale(module, route):
        locale.setlocale(locale.LC_TIME, name)

    previous = locale.setlocale(locale.LC_TIME)
    try:
        with globals_restored(brasco):
            result = between_the_two_route_details_calls(to_other_locale)(brasco)
    finally:
        locale.setlocale(locale.LC_TIME, previous)
    outbound_row, inbound_row = result[2][1], result[3][1]
    assert outbound_row[1] == "Tue 01 Jun 10:15 -> Tue 01 Jun 13:40"
    assert inbound_row[1] != "Tue 08 Jun 18:05 -> Tue 08 Jun 21:30"


@pytest.mark.parametrize(
    "route_of",
    [
        lambda out, back: [out, back],
        lambda out, back: [out, back, back],  # the same leg twice: one list for each
        lambda out, back: [back, out, back, out],
    ],
    ids=["2 legs", "inbound twice", "each twice"],
)
def test_every_row_of_the_result_is_a_list_of_its_own(route_of):
    """A row made for the table the first call does not keep is handed out at most once:
    each row stands alone."""
    record = make_record()
    out, back = record["route"]
    record["route"] = route_of(out, back)
    result = brasco.i_parser(record, True)
    rows = result[2][1:] + result[3][1:]
    assert len({id(row) for row in rows}) == len(rows) == len(record["route"])
    assert all(gc.is_tracked(row) for row in rows)
    expected = brasco.route_details(record["route"])
    assert [result[2], result[3]] == list(expected)
    result[3][1][0] = "changed"
    assert sum(row[0] == "changed" for row in rows) == 1


def changed_by_a_log_handler(prefix, change):
    """i_parser on a fresh sample, the root logger at DEBUG with a handler that does
    change(route) at the first record starting with `prefix`: after the first route_details
    call, while get_ret_times is still the module's own (which reads the legs again, as
    does the second route_details call)."""

    def scenario(module):
        record = make_record()
        action = lambda module: change(record["route"])  # noqa: E731
        with root_handler(OnMessage(prefix, action, module)):
            return module.i_parser(record, True)

    return scenario


def move_the_return_departure(route):
    route[1]["local_departure"] = "2021-06-08T17:00:00.000Z"


def move_the_return_arrival(route):
    route[1]["local_arrival"] = "2021-06-09T01:00:00.000Z"


def make_the_outbound_leg_a_return_leg(route):
    route[0]["return"] = 1


def make_the_return_leg_an_outbound_leg(route):
    route[1]["return"] = 0


LEG_CHANGES = [
    move_the_return_departure,
    move_the_return_arrival,
    make_the_outbound_leg_a_return_leg,
    make_the_return_leg_an_outbound_leg,
]


@pytest.mark.parametrize("change", LEG_CHANGES, ids=lambda change: change.__name__)
@pytest.mark.parametrize(
    "prefix",
    [
        "Outbound departure time",
        "Inbound flight duration",
        "Inbound route",
        "Inbound departure time",
    ],
)
def test_legs_changed_after_their_rows_were_made_are_read_again(prefix, change):
    """The reads that get_ret_times and the second route_details call take from the rows
    of the first call are those of unchanged legs only."""
    _, records = both(changed_by_a_log_handler(prefix, change))
    assert records


class ReturnThatMovesTheDeparture:
    """A leg's "return" whose comparison with 1 (in get_ret_times) moves the leg's
    departure: code run between that read and the next of the same leg."""

    def __init__(self, leg):
        self.leg = leg

    def __bool__(self):
        return True

    def __eq__(self, other):
        self.leg["local_departure"] = "2021-06-08T17:00:00.000Z"
        return True

    __hash__ = None


def test_a_leg_changed_between_two_reads_of_get_ret_times_is_read_again():
    def scenario(module):
        record = make_record()
        back = record["route"][1]
        back["return"] = ReturnThatMovesTheDeparture(back)
        return module.i_parser(record, True)

    outcome, _ = both(scenario)
    assert "Tue 08 Jun 17:00" in repr(outcome)


def unseen_inbound_rows(route):
    """The lists of the inbound rows that the first route_details call made for no caller,
    as code run later can reach them: through the collector."""
    back = route[1]
    back_route = f"{back['cityFrom']}({back['flyFrom']}) -> {back['cityTo']}({back['flyTo']})"
    return [
        candidate
        for candidate in gc.get_objects()
        if type(candidate) is list and len(candidate) == 6 and candidate[0] == back_route
    ]


def test_an_unseen_row_reached_through_the_collector_is_not_handed_out():
    def grow(route):
        for row in unseen_inbound_rows(route):
            row.append("grown")

    _, records = both(changed_by_a_log_handler("Inbound departure time", grow))
    assert records

    kept = []  # held by the handler, the list would be shared with the result
    with globals_restored(brasco):
        result = changed_by_a_log_handler(
            "Inbound departure time", lambda route: kept.extend(unseen_inbound_rows(route))
        )(brasco)
    # 3.14t keeps no rows between the two calls (it marks no dict): nothing to hand out.
    assert kept or (FREE_THREADED and sys.version_info >= (3, 14))
    assert all(row is not result[3][1] for row in kept)
