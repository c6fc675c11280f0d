"""Hostile callers of tavimo.brasco: its module globals (datetime, timedelta, logging,
leg_details_header, route_details, get_ret_times) rebound, deleted or moved to builtins in
the middle of i_parser, from a log handler; strftime and timedelta that return what they
please.  The scenarios run both ways (testkit.hostile)."""

import builtins
import logging
import types
from datetime import datetime, timedelta

import pytest

import tavimo.brasco as brasco
from conftest import root_handler
from testkit import rendition
from testkit.hostile import OnMessage, Stamped, assert_no_leak, both, globals_restored
from testkit.samples import make_leg, make_record


class NonText(datetime):
    """strftime returns whatever the test put into `result`."""

    result = 42

    def strftime(self, layout):
        return type(self).result


class FailingFormat:
    def __format__(self, how):
        raise LookupError("not displayable")


class Debugger:
    """A stand-in for the logging module: keeps what it is given."""

    def __init__(self):
        self.messages = []

    def debug(self, message):
        self.messages.append(message)


def rebind(name, make):
    """Binds a new value, made by make(), to the module global `name`."""

    def action(module):
        setattr(module, name, make())

    action.__name__ = f"rebind {name}"
    return action


def delete(name):
    def action(module):
        delattr(module, name)

    action.__name__ = f"delete {name}"
    return action


def to_builtins(name, value):
    def action(module):
        delattr(module, name)
        setattr(builtins, name, value)

    action.__name__ = f"move {name} to builtins"
    return action


def triple(*args, **kwargs):
    return ("a", "b", "c")


def single(*args, **kwargs):
    return ["only"]


def pair_iterator(*args, **kwargs):
    return iter(["first", "second"])


def empty_iterator(*args, **kwargs):
    return iter(())


GLOBAL_CHANGES = [
    ("Outbound flight duration", delete("datetime")),
    ("Outbound flight duration", to_builtins("datetime", Stamped)),
    ("Outbound route", rebind("datetime", lambda: Stamped)),
    ("Outbound departure time", rebind("datetime", lambda: Stamped)),
    ("Outbound route", delete("logging")),
    ("Outbound route", rebind("logging", Debugger)),
    ("Outbound route", to_builtins("logging", logging)),
    ("Price (both ways)", delete("route_details")),
    ("Price (both ways)", rebind("route_details", lambda: triple)),
    ("Price (both ways)", rebind("route_details", lambda: single)),
    ("Price (both ways)", rebind("route_details", lambda: pair_iterator)),
    ("Outbound flight duration", delete("timedelta")),
    ("Inbound flight duration", delete("get_ret_times")),
    ("Inbound flight duration", rebind("get_ret_times", lambda: empty_iterator)),
    ("Inbound route", rebind("get_ret_times", lambda: pair_iterator)),
    ("Outbound flight duration", rebind("leg_details_header", lambda: ["new header"])),
    ("Inbound route", rebind("leg_details_header", lambda: ["new header"])),
    ("Inbound route", delete("leg_details_header")),
    ("Inbound route", to_builtins("leg_details_header", ("builtin", "header"))),
]


def parse_with_change(prefix, action, round_trip=True):
    def scenario(module):
        handler = OnMessage(prefix, action, module)
        with root_handler(handler):
            result = module.i_parser(make_record(), round_trip)
        replaced = getattr(module, "logging", None)
        if isinstance(replaced, Debugger):
            return result, replaced.messages
        return result

    return scenario


@pytest.mark.parametrize(
    "prefix, action", GLOBAL_CHANGES, ids=[f"{p} - {a.__name__}" for p, a in GLOBAL_CHANGES]
)
def test_module_globals_changed_by_a_log_handler_take_effect_at_the_next_use(prefix, action):
    outcome, records = both(parse_with_change(prefix, action))
    assert records, "the handler never ran"
    assert_no_leak(parse_with_change(prefix, action))


def test_logging_debug_replaced_in_the_middle_of_a_call():
    """`debug` is fetched from the logging module at every use."""

    def scenario(module):
        kept = []

        def replace(_):
            logging.debug = kept.append

        original = logging.debug
        try:
            with root_handler(OnMessage("Outbound route", replace, module)):
                result = module.i_parser(make_record(), True)
        finally:
            logging.debug = original
        return result, kept

    outcome, records = both(scenario)
    assert outcome[1][1][1][1][0] == ("str", "Outbound departure time: 2021-06-01T10:15:00.000")
    assert len(records) == 2
    assert_no_leak(scenario)


def test_logging_rebound_to_other_modules_and_back():
    """A module of our own as `logging`, whose debug puts the real module back."""

    def scenario(module):
        kept = []
        fake = types.ModuleType("fake_logging")

        def debug(message):
            kept.append(message)
            if message.startswith("Price"):
                module.logging = logging

        fake.debug = debug
        with root_handler(
            OnMessage("Outbound route", lambda m: setattr(m, "logging", fake), module)
        ):
            return module.i_parser(make_record(), True), kept

    outcome, records = both(scenario)
    assert len(outcome[1][1][1][1]) == 3 and len(records) == 2 + 4
    assert_no_leak(scenario)


def test_a_deleted_global_raises_name_error_with_the_native_traceback_entry():
    with globals_restored(brasco):
        scenario = parse_with_change("Outbound route", delete("datetime"))
        with pytest.raises(NameError, match=r"^name 'datetime' is not defined$") as raised:
            scenario(brasco)
    assert "tavimo.brasco.i_parser" in rendition.traceback_names(raised.value)


def test_globals_are_read_afresh_on_every_call():
    """Whatever a call found last time, a rebinding or deletion since shows at once."""
    record = make_record()
    with globals_restored(brasco):
        plain = brasco.i_parser(record, True)
        brasco.datetime = Stamped
        assert brasco.i_parser(record, True)[0][1] == "stamped " + plain[0][1]
        del brasco.datetime
        with pytest.raises(NameError, match="'datetime'"):
            brasco.i_parser(record, True)
        builtins.datetime = Stamped
        assert brasco.i_parser(record, True)[1][1] == "stamped " + plain[1][1]
        del builtins.datetime
        with pytest.raises(NameError, match="'datetime'"):
            brasco.get_ret_times(record["route"])
        brasco.datetime = datetime
        assert brasco.i_parser(record, True) == plain


class BuiltinsLookups:
    """Counts the lookups of `datetime` that fall through to the builtins module's
    __getattr__, with the module's own binding deleted."""

    def __init__(self, monkeypatch, value=datetime):
        self.count = 0
        self.value = value
        monkeypatch.delattr(brasco, "datetime")
        monkeypatch.setattr(builtins, "__getattr__", self, raising=False)

    def __call__(self, name):
        if name != "datetime":
            raise AttributeError(name)
        self.count += 1
        return self.value


class Later(datetime):
    """A datetime the native rendering does not take: every display time goes the host's
    way."""


@pytest.mark.parametrize("value", [datetime, Later], ids=["native", "host's way"])
@pytest.mark.parametrize("round_trip", [False, True], ids=["one way", "round trip"])
@pytest.mark.parametrize("legs", [1, 3])
def test_datetime_is_read_once_per_display_time(monkeypatch, value, round_trip, legs):
    route = [make_leg((n + 1) % 2) for n in range(legs)]
    record = make_record(route=route)
    lookups = BuiltinsLookups(monkeypatch, value)
    brasco.i_parser(record, round_trip)
    assert lookups.count == (4 + 4 * legs if round_trip else 2 + 2 * legs)
    lookups.count = 0
    brasco.route_details(route)
    assert lookups.count == 2 * legs
    lookups.count = 0
    brasco.get_ret_times(route)
    assert lookups.count == 2


def test_a_slice_of_an_index_only_sequence_fails_as_the_host_reports_it():
    from collections import deque

    value = deque("2021-06-01T10:15:00.000Z")
    with pytest.raises(TypeError) as host:
        value[:-1]
    for call in (
        lambda: brasco.route_details([make_leg(0, local_arrival=value)]),
        lambda: brasco.get_ret_times([make_leg(1, local_departure=value)]),
        lambda: brasco.i_parser(make_record(local_departure=value)),
    ):
        with pytest.raises(TypeError) as native:
            call()
        assert str(native.value) == str(host.value) == "sequence index must be integer, not 'slice'"


@pytest.mark.parametrize(
    "result",
    [42, None, b"bytes", ["a", "list"], 3.5, FailingFormat()],
    ids=["int", "None", "bytes", "list", "float", "unformattable"],
)
def test_strftime_returning_a_non_text(result):
    """The summaries and get_ret_times hold strftime's object itself; the times cell holds
    its display text."""

    def scenario(module):
        module.datetime = NonText
        return module.i_parser(make_record(), True)

    with globals_restored(brasco):
        NonText.result = result
        outcome, _ = both(scenario)
    if isinstance(result, FailingFormat):
        assert outcome == ("raised", LookupError, "not displayable")
        return
    with globals_restored(brasco):
        brasco.datetime = NonText
        parsed = brasco.i_parser(make_record(), True)
        assert parsed[0][1] is result and parsed[0][3] is result
        assert parsed[1][1] is result and parsed[1][3] is result
        assert parsed[2][1][1] == f"{result} -> {result}"
        assert brasco.get_ret_times(make_record()["route"]) == (result, result)


def test_a_departure_time_that_cannot_be_displayed_fails_before_the_arrival_is_read():
    """The times cell is f"{departure} -> {arrival}": the departure's display text is made
    before local_arrival is read."""

    def scenario(module):
        module.datetime = NonText
        leg = make_leg(0)
        del leg["local_arrival"]
        return module.route_details([leg])

    with globals_restored(brasco):
        NonText.result = FailingFormat()
        outcome, _ = both(scenario)
    assert outcome == ("raised", LookupError, "not displayable")


class LongDelta(timedelta):
    def __str__(self):
        return "a long time"


DURATION_FACTORIES = [
    lambda seconds: timedelta(days=-3, microseconds=5),
    lambda seconds: timedelta(days=-1, seconds=1, microseconds=999999),
    lambda seconds: timedelta(days=999999999, seconds=86399, microseconds=999999),
    lambda seconds: -timedelta(days=999999999),
    lambda seconds: timedelta(microseconds=1),
    lambda seconds: LongDelta(seconds=seconds),
    lambda seconds: seconds,
    lambda seconds: str(seconds),
    lambda seconds: FailingFormat(),
]


@pytest.mark.parametrize(
    "factory",
    DURATION_FACTORIES,
    ids=[
        "negative days",
        "minus one day",
        "largest",
        "smallest",
        "a microsecond",
        "subclass",
        "int",
        "text",
        "unformattable",
    ],
)
def test_durations_made_by_a_rebound_timedelta(factory):
    """The duration records show whatever `timedelta` made, as its display text."""

    def scenario(module):
        module.timedelta = lambda seconds: factory(seconds)
        return module.i_parser(make_record(), True)

    outcome, records = both(scenario)
    if outcome[0] == "returned":
        assert records[0][3] == "Outbound flight duration: " + f"{factory(9300)}"
