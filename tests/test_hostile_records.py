"""Hostile callers of tavimo.brasco: records, route plans and legs changed while they are
read.  The scenarios run both ways (testkit.hostile)."""

import pytest

from testkit.hostile import assert_no_leak, both
from testkit.samples import make_leg, make_record


class Watched(dict):
    """A record that runs `on_read(self, key)` before every read."""

    def __init__(self, entries, on_read):
        super().__init__(entries)
        self.on_read = on_read

    def __getitem__(self, key):
        self.on_read(self, key)
        return super().__getitem__(key)


def once_on(key, change):
    state = {"done": False}

    def on_read(record, read_key):
        if read_key == key and not state["done"]:
            state["done"] = True
            change(record)

    return on_read


def later_departure(record):
    record["local_departure"] = "2021-06-02T11:00:00.000Z"


def drop(key):
    def change(record):
        del record[key]

    return change


def clear(record):
    record.clear()


def swap_route(record):
    record["route"] = [make_leg(1)]


RECORD_CHANGES = [
    ("local_departure", later_departure),  # read twice: the log shows the second value
    ("conversion", drop("route")),
    ("duration", clear),
    ("route", swap_route),  # every read of the plan sees the new one
    ("routes", drop("duration")),  # a round trip reads duration again
]


@pytest.mark.parametrize(
    "key, change", RECORD_CHANGES, ids=[f"{k}-{c.__name__}" for k, c in RECORD_CHANGES]
)
@pytest.mark.parametrize("round_trip", [False, True])
def test_record_changed_while_it_is_read(key, change, round_trip):
    def scenario(module):
        record = Watched(make_record(), once_on(key, change))
        return module.i_parser(record, round_trip)

    both(scenario)
    assert_no_leak(scenario)


class SelfEditingLeg(dict):
    """A leg whose first read of `key` runs change(leg, plan)."""

    def __init__(self, entries, plan, key, change):
        super().__init__(entries)
        self.plan, self.key, self.change, self.done = plan, key, change, False

    def __getitem__(self, key):
        if key == self.key and not self.done:
            self.done = True
            self.change(self, self.plan)
        return super().__getitem__(key)


def append_leg(leg, plan):
    plan.append(make_leg(0, cityFrom="Appended"))


def clear_plan(leg, plan):
    plan.clear()  # the leg being read is now referenced by the walk alone


def remove_next(leg, plan):
    del plan[plan.index(leg) + 1 :]


def replace_value(leg, plan):
    dict.__setitem__(leg, "cityFrom", "Replaced")


PLAN_CHANGES = [append_leg, clear_plan, remove_next, replace_value]


def editing_plan(change, key="cityFrom", returning=1):
    plan = []
    plan.append(SelfEditingLeg(make_leg(returning), plan, key, change))
    plan.append(make_leg(1, cityFrom="Second", local_departure="2021-06-01T09:00:00.000Z"))
    return plan


@pytest.mark.parametrize("change", PLAN_CHANGES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("function", ["route_details", "get_ret_times"])
def test_route_plan_changed_while_it_is_walked(function, change):
    key = "cityFrom" if function == "route_details" else "local_departure"

    def scenario(module):
        return getattr(module, function)(editing_plan(change, key))

    both(scenario)
    assert_no_leak(scenario)


class Disappearing:
    """A display value that removes itself, and the leg's `return`, from its leg while
    it is being formatted."""

    def __init__(self, leg, key):
        self.leg, self.key = leg, key

    def __format__(self, how):
        del self.leg[self.key]
        del self.leg["return"]
        self.leg = None  # the leg held this value; now the walk alone does
        return "gone"


@pytest.mark.parametrize("key", ["cityFrom", "airline", "operating_carrier"])
def test_a_value_that_deletes_itself_from_its_leg_while_formatted(key):
    def scenario(module):
        leg = make_leg(0)
        leg[key] = Disappearing(leg, key)
        return module.route_details([leg])

    outcome, _ = both(scenario)
    if key == "operating_carrier":  # read a second time, after it has gone
        assert outcome == ("raised", KeyError, "'operating_carrier'")
    else:
        assert outcome == ("raised", KeyError, "'return'")
    assert_no_leak(scenario)
