"""Exactness at the edges of the fast paths, each scenario run against the native module and
against the plain-Python rendition, which must agree:

- a remembered row or a left-out debug message meets the host's limit on int digits;
- `logging` and its `debug` are looked up before the message of a debug call is made, on
  the left-out path as on the real one;
- a module-name cache does not keep a rebound or deleted value alive;
- a lookup that changes the namespaces it reads leaves no stale cache behind.
"""

import builtins
import contextlib
import gc
import logging
import sys
import types
import weakref
from datetime import datetime

import pytest

from testkit import rendition
import tavimo.brasco as brasco
import tavimo.questions as questions
from conftest import make_leg, make_record
from testkit.hostile import globals_restored

HEADER = brasco.leg_details_header
ROOT = logging.getLogger()


# --- how a debug call is made: at DEBUG, left out, or at WARNING made for real -------------


@contextlib.contextmanager
def logging_mode(mode):
    """The root logger with one handler that keeps the messages, at DEBUG ("debug on") or
    at WARNING: "left out" lets the module leave its debug calls out, "made for real" holds
    an entry of another kind in the level cache, which makes every call for real."""
    kept = []

    class Keep(logging.Handler):
        def emit(self, record):
            kept.append(record.getMessage())

    handlers, old_level = ROOT.handlers[:], ROOT.level
    ROOT.handlers[:] = [Keep()]
    ROOT.setLevel(logging.DEBUG if mode == "debug on" else logging.WARNING)
    ROOT.isEnabledFor(logging.DEBUG)
    if mode == "made for real":
        ROOT._cache["not a level"] = False
    try:
        yield kept
    finally:
        ROOT._cache.pop("not a level", None)
        ROOT.handlers[:] = handlers
        ROOT.setLevel(old_level)


MODES = ["debug on", "left out", "made for real"]


def outcome_of(call):
    try:
        return ("returned", rendition.seen(call(), HEADER))
    except Exception as exc:
        return ("raised", type(exc), str(exc))


def in_mode(mode, module, scenario, builtin_names=()):
    with globals_restored(module, builtin_names), logging_mode(mode) as kept:
        calls = []
        outcome = outcome_of(lambda: scenario(module, calls))
    return outcome, kept, calls


def agree(scenario, mode, builtin_names=()):
    """scenario(module, calls) for the native module and the rendition, in one mode."""
    native = in_mode(mode, brasco, scenario, builtin_names)
    expected = in_mode(mode, rendition, scenario, builtin_names)
    assert native == expected
    return native


# --- the host's limit on int digits -----------------------------------------------------

HUGE = 10**4500  # 4,501 digits: beyond the default limit of 4,300
# The limit came with 3.8.14, 3.9.14, 3.10.7 and 3.11: an older patch release (Debian 11's
# 3.9.2) prints any int, and the calls below then return as the host's own code would.
HOST_LIMITS_DIGITS = hasattr(sys, "set_int_max_str_digits")


def set_digit_limit(limit):
    if HOST_LIMITS_DIGITS:
        sys.set_int_max_str_digits(limit)


@contextlib.contextmanager
def digit_limit(limit):
    old = sys.get_int_max_str_digits() if HOST_LIMITS_DIGITS else 0
    set_digit_limit(limit)
    try:
        yield
    finally:
        set_digit_limit(old)


def limit_failure():
    """What printing a huge int under the default limit gives on this host: ValueError with
    the host's text, or None where the host has no limit."""
    with digit_limit(4300):
        try:
            str(HUGE)
        except ValueError as exc:
            return ("raised", ValueError, str(exc))
    assert not HOST_LIMITS_DIGITS, "the host printed a huge int beyond its limit"
    return None


def assert_met_the_limit(outcome):
    expected = limit_failure()
    if expected is None:
        assert outcome[0] == "returned", outcome
    else:
        assert outcome == expected


class LoweringInt:
    """An int stand-in whose conversion lowers the digit limit first."""

    def __int__(self):
        set_digit_limit(4300)
        return 90000


class LoweringFalse:
    """A false `return` flag whose truth test lowers the digit limit first."""

    def __bool__(self):
        set_digit_limit(4300)
        return False


def lowered_between_the_two_route_details_calls():
    return make_record(
        duration={"departure": 9300, "return": LoweringInt()},
        route=[
            make_leg(0, flight_no=HUGE),
            make_leg(
                1,
                local_departure="2021-06-08T18:05:00.000Z",
                local_arrival="2021-06-08T21:30:00.000Z",
            ),
        ],
    )


def lowered_between_two_copies_of_a_leg():
    leg = make_leg(LoweringFalse(), flight_no=HUGE)
    return make_record(route=[leg, leg, make_leg(1)])


@pytest.mark.parametrize(
    "make", [lowered_between_the_two_route_details_calls, lowered_between_two_copies_of_a_leg]
)
def test_a_remembered_row_meets_a_lowered_digit_limit(make):
    def scenario(module, calls):
        with digit_limit(0):
            return module.i_parser(make(), True)

    outcome, _, _ = agree(scenario, "left out")
    assert_met_the_limit(outcome)


def huge_duration(module, calls):
    module.timedelta = lambda seconds: HUGE
    return module.i_parser(make_record(), False)


class HugeCut:
    """A time whose [:-1] is a huge int."""

    def __init__(self, offset):
        self.offset = offset

    def __getitem__(self, key):
        return HUGE + self.offset


class ShownAnyway:
    """A `datetime` that shows any value as one text."""

    @staticmethod
    def fromisoformat(value):
        return ShownAnyway()

    def strftime(self, layout):
        return "shown"


def huge_cut_times(module, calls):
    module.datetime = ShownAnyway
    return module.get_ret_times([make_leg(1, local_departure=HugeCut(0), local_arrival=HugeCut(1))])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("scenario", [huge_duration, huge_cut_times])
def test_a_debug_message_beyond_the_digit_limit_fails_left_out_or_not(scenario, mode):
    with digit_limit(4300):
        outcome, _, _ = agree(scenario, mode)
    assert_met_the_limit(outcome)


# --- the callee of a debug call is looked up before its message is made ------------------


class StandInLogging:
    """A `logging` whose debug keeps what it is given."""

    def __init__(self, calls, fail=False):
        self.calls, self.fail = calls, fail

    def debug(self, message):
        self.calls.append(message)
        if self.fail:
            raise Boom(message)


class Boom(Exception):
    pass


def on_read(key, change):
    """A record that runs change(module, calls) at the second read of `key`."""

    class Record(dict):
        reads = 0

        def __getitem__(self, read):
            if read == key:
                Record.reads += 1
                if Record.reads == 2:
                    change()
            return super().__getitem__(read)

    return Record


def rebind_logging(fail):
    def rebind(module, calls):
        module.logging = StandInLogging(calls, fail)

    return rebind


def delete_logging(module, calls):
    del module.logging


CHANGES = {
    "rebound": rebind_logging(False),
    "rebound to a failing one": rebind_logging(True),
    "deleted": delete_logging,
}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("key", ["local_departure", "local_arrival"])
@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_logging_changed_while_the_message_is_read(change, key, mode):
    def scenario(module, calls):
        record = on_read(key, lambda: change(module, calls))(make_record())
        return module.i_parser(record, True)

    agree(scenario, mode)


class Formatting(str):
    """A time text whose formatting runs `change` first (and whose cut stays one)."""

    change = None

    def __getitem__(self, key):
        return Formatting(str.__getitem__(self, key))

    def __format__(self, spec):
        if Formatting.change:
            change, Formatting.change = Formatting.change, None
            change()
        return str.__format__(self, spec)


class FormattingDuration:
    def __init__(self, change):
        self.change = change

    def __format__(self, spec):
        self.change()
        return "2:35:00"

    def __str__(self):
        return "2:35:00"


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
@pytest.mark.parametrize("where", ["get_ret_times", "duration"])
def test_logging_changed_while_the_message_is_formatted(where, change, mode):
    def scenario(module, calls):
        if where == "duration":
            module.timedelta = lambda seconds: FormattingDuration(lambda: change(module, calls))
            return module.i_parser(make_record(), False)
        module.datetime = ShownAnyway
        Formatting.change = lambda: change(module, calls)
        try:
            return module.get_ret_times(
                [
                    make_leg(
                        1,
                        local_departure=Formatting("2021-06-08x"),
                        local_arrival=Formatting("2021-06-09x"),
                    )
                ]
            )
        finally:
            Formatting.change = None

    agree(scenario, mode)


# --- a module-name cache does not keep what it found ------------------------------------


def left_behind(module, name, make, use):
    """Whether the value found under `name` outlives its rebinding: use() finds what make()
    gave, the name is bound back, and nothing else holds that value."""
    original = vars(module)[name]
    setattr(module, name, make())
    gone = weakref.ref(vars(module)[name])
    try:
        use()
    finally:
        setattr(module, name, original)
    gc.collect()
    return gone() is not None


class Document:
    def __init__(self, text):
        self.text = text


def stand_in_re():
    module = types.ModuleType("re")
    module.match = lambda pattern, text: True
    return module


class Questions(list):
    pass


class RefusedDocument(Exception):
    def __init__(self, message=None, cursor_position=None):
        super().__init__(message)


CACHED_NAMES = {
    "brasco datetime": (
        brasco,
        "datetime",
        lambda: type("DateTime", (datetime,), {}),
        lambda: brasco.get_ret_times(make_record()["route"]),
    ),
    "brasco logging": (
        brasco,
        "logging",
        lambda: StandInLogging([]),
        lambda: brasco.i_parser(make_record(), False),
    ),
    "brasco route_details": (
        brasco,
        "route_details",
        lambda: lambda **kw: ([], []),
        lambda: brasco.i_parser(make_record(), False),
    ),
    "questions one_way_questions": (
        questions,
        "one_way_questions",
        lambda: Questions(),
        lambda: questions.get_questions(False),
    ),
    "questions re": (
        questions,
        "re",
        stand_in_re,
        lambda: questions.IataCodeValidator().validate(Document("BER")),
    ),
    "questions ValidationError": (
        questions,
        "ValidationError",
        lambda: type("Refused", (RefusedDocument,), {}),
        lambda: pytest.raises(RefusedDocument, questions.NumberValidator().validate, Document("x")),
    ),
}


@pytest.mark.parametrize("module, name, make, use", CACHED_NAMES.values(), ids=CACHED_NAMES.keys())
def test_a_rebound_value_is_not_kept_alive(module, name, make, use):
    with globals_restored(module, ()):
        assert not left_behind(module, name, make, use)


def test_a_replaced_logging_debug_is_not_kept_alive():
    with globals_restored(brasco, ()):
        stand_in = types.ModuleType("logging")
        stand_in.debug = lambda message: None
        gone = weakref.ref(stand_in.debug)
        brasco.logging = stand_in
        del stand_in
        brasco.i_parser(make_record(), False)
        brasco.logging = logging
        gc.collect()
        assert gone() is None


# --- a lookup that changes a namespace ----------------------------------------------------


class Binding:
    """A key with the hash of `collides_with` whose comparison, once armed, binds `name` to
    `value` in a namespace (once), in the middle of the lookup that meets it."""

    def __init__(self, collides_with, namespace, name, value):
        self.collides_with, self.namespace = collides_with, namespace
        self.name, self.value, self.armed = name, value, False

    def __hash__(self):
        return hash(self.collides_with)

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            self.namespace[self.name] = self.value
        return False


@contextlib.contextmanager
def colliding_key(table, collides_with, namespace, name, value, then_stored=None):
    """A Binding in `table`, armed, taken out again afterwards.  `then_stored`: a value
    stored under `collides_with` after the key (armed only after that: storing compares),
    so that a lookup of that name meets the key first."""
    key = Binding(collides_with, namespace, name, value)
    table[key] = None
    if then_stored is not None:
        table[collides_with] = then_stored
    key.armed = True
    try:
        yield key
    finally:
        table.pop(key, None)


@contextlib.contextmanager
def bound_during_the_builtins_lookup(namespace, name, in_builtins, in_module):
    """`name` missing from the namespace, `in_builtins` under it in the builtins, met after a
    key whose comparison binds `in_module` in the namespace."""
    del namespace[name]
    with colliding_key(vars(builtins), name, namespace, name, in_module, in_builtins):
        try:
            yield
        finally:
            vars(builtins).pop(name, None)


class OtherDateTime(datetime):
    def strftime(self, layout):
        return "the module's"


@pytest.mark.parametrize("mode", ["debug on", "left out"])
def test_a_name_bound_in_the_module_during_its_builtins_lookup_is_found_next(mode):
    def scenario(module, calls):
        with bound_during_the_builtins_lookup(vars(module), "datetime", datetime, OtherDateTime):
            first = module.get_ret_times(make_record()["route"])
            return first, module.get_ret_times(make_record()["route"])

    def shown(departure, arrival):
        return ("tuple", [("str", departure), ("str", arrival)])

    native = in_mode(mode, brasco, scenario, ["datetime"])
    assert native[0] == (
        "returned",
        (
            "tuple",
            [shown("Tue 08 Jun 18:05", "the module's"), shown("the module's", "the module's")],
        ),
    )
    if sys.version_info >= (3, 11):
        # Up to 3.10 the host's own cache of a global in a function's code (once the code
        # has run a thousand times) takes the namespaces' versions after the lookup too,
        # and keeps the builtins' value: there the rendition's outcome depends on its past.
        assert native == in_mode(mode, rendition, scenario, ["datetime"])


def refusing_re():
    module = types.ModuleType("re")
    module.match = lambda pattern, text: None
    return module


def test_a_validator_name_bound_during_its_builtins_lookup_is_found_next():
    import re

    namespace = vars(questions)

    def validate(native):
        if native:
            return questions.IataCodeValidator().validate(Document("BER"))
        return rendition.validate_iata_code(namespace, Document("BER"))

    outcomes = []
    for native in (True, False):
        with globals_restored(questions, ["re"]):
            with bound_during_the_builtins_lookup(namespace, "re", re, refusing_re()):
                outcomes.append([outcome_of(lambda: validate(native)) for _ in range(2)])
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][0] == ("returned", ("NoneType", None))
    assert outcomes[0][1][:2] == ("raised", questions.ValidationError)


# --- facts of the fast paths read from namespaces that a read changes ---------------------


def test_the_root_logger_rebound_while_logging_is_read():
    kept = []

    class Keep(logging.Handler):
        def emit(self, record):
            kept.append(record.getMessage())

    other_root = logging.RootLogger(logging.DEBUG)
    other_root.addHandler(Keep())

    def scenario(module, calls):
        names = vars(logging)
        try:
            # `len` is read after `root` when the debug calls are checked.
            with colliding_key(names, "len", names, "root", other_root):
                return module.get_ret_times(make_record()["route"])
        finally:
            logging.root = ROOT

    for mode in ("left out", "made for real"):
        del kept[:]
        agree(scenario, mode)
        assert (
            kept
            == [
                "Inbound departure time: 2021-06-08T18:05:00.000",
                "Inbound arrival time: 2021-06-08T21:30:00.000",
            ]
            * 2
        )


def test_time_strftime_rebound_while_time_is_read():
    import time

    def strftime(layout, moment=None):
        return "by the stand-in"

    def scenario(module, calls):
        names = vars(time)
        with globals_restored(time, ()):
            # `struct_time` is read after `strftime` when the display times are checked;
            # stored again after the key, the lookup meets the key first.
            struct_time = names.pop("struct_time")
            with colliding_key(names, "struct_time", names, "strftime", strftime, struct_time):
                return module.get_ret_times(make_record()["route"])

    outcome, _, _ = agree(scenario, "left out")
    assert outcome == ("returned", ("tuple", [("str", "by the stand-in")] * 2))
