"""Hostile callers: code that changes the module, the record or the logging setup while a
native function is running.

Each scenario runs against tavimo.brasco and against the plain-Python rendition, doing the
same thing to each, and both must agree on the result or exception and on the debug
records; where the rendition does not apply, the documented outcome is checked directly.
Scenarios then run a few hundred times more and must leave the interpreter's allocated
blocks flat.  Module globals and builtins are always put back.
"""
import builtins
import contextlib
import gc
import logging
import sys
import time
import types
from datetime import datetime, timedelta

import pytest

import rendition
import tavimo.brasco as brasco
from conftest import BLOCKS_COUNTED_AT_ONCE, make_leg, make_record, root_handler, run_python
from rendition import observe

try:
    import tavimo.questions as questions
except ImportError:  # not built yet
    questions = None

HEADER = brasco.leg_details_header
POOLED = BLOCKS_COUNTED_AT_ONCE
BRASCO_GLOBALS = ("datetime", "timedelta", "logging", "leg_details_header", "route_details",
                  "get_ret_times")
MISSING = object()


@contextlib.contextmanager
def globals_restored(module, builtin_names=BRASCO_GLOBALS):
    """Puts the module's namespace back as it was, in its order too (a name deleted and
    bound again would otherwise move to the end), and removes or restores any builtins of
    the given names."""
    table = vars(module)
    saved = dict(table)
    saved_builtins = {name: vars(builtins).get(name, MISSING) for name in builtin_names}
    try:
        yield
    finally:
        if [(key, id(value)) for key, value in table.items()] != \
                [(key, id(value)) for key, value in saved.items()]:
            table.clear()
            table.update(saved)
        for name, value in saved_builtins.items():
            if value is MISSING:
                vars(builtins).pop(name, None)
            else:
                vars(builtins)[name] = value


class OnMessage(logging.Handler):
    """Runs action(module) once, when a record starting with `prefix` is emitted."""

    def __init__(self, prefix, action, module):
        super().__init__(logging.DEBUG)
        self.prefix, self.action, self.module, self.done = prefix, action, module, False

    def emit(self, record):
        if not self.done and str(record.msg).startswith(self.prefix):
            self.done = True
            self.action(self.module)


def both(scenario):
    """Runs scenario(module) for the native module and the rendition; returns both
    observations after checking that they agree."""
    with globals_restored(brasco):
        native = observe(lambda: scenario(brasco), HEADER, native_name="tavimo.brasco.")
    with globals_restored(rendition):
        expected = observe(lambda: scenario(rendition), HEADER)
    assert native == expected
    return native


def assert_no_leak(scenario, rounds=150, windows=3):
    """Repeats the native scenario and checks that the allocated blocks stay flat: in at
    least one of several windows of `rounds` runs (a leak grows in every window; a cache
    that the interpreter or logging fills slowly only in the first ones)."""
    if not POOLED:
        return

    def once():
        with globals_restored(brasco):
            try:
                scenario(brasco)
            except Exception:
                pass

    growth = []
    with rendition.runner_handlers_detached():
        for _ in range(30):
            once()
        for _ in range(windows):
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(rounds):
                once()
            gc.collect()
            growth.append(sys.getallocatedblocks() - before)
    assert min(growth) <= 20, f"allocated blocks grew by {growth} per {rounds} runs"


# --- module globals rebound or deleted in the middle of i_parser ---------------------------

class Stamped(datetime):
    """A datetime class of our own: its display times are recognisable."""

    def strftime(self, layout):
        return "stamped " + super().strftime(layout)


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


@pytest.mark.parametrize("prefix, action", GLOBAL_CHANGES,
                         ids=[f"{p} - {a.__name__}" for p, a in GLOBAL_CHANGES])
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
        with root_handler(OnMessage("Outbound route", lambda m: setattr(m, "logging", fake),
                                    module)):
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
    result = brasco.i_parser(record, round_trip)
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
    for call in (lambda: brasco.route_details([make_leg(0, local_arrival=value)]),
                 lambda: brasco.get_ret_times([make_leg(1, local_departure=value)]),
                 lambda: brasco.i_parser(make_record(local_departure=value))):
        with pytest.raises(TypeError) as native:
            call()
        assert str(native.value) == str(host.value) == \
            "sequence index must be integer, not 'slice'"


@pytest.mark.parametrize("result", [42, None, b"bytes", ["a", "list"], 3.5,
                                    FailingFormat()],
                         ids=["int", "None", "bytes", "list", "float", "unformattable"])
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


@pytest.mark.parametrize("factory", DURATION_FACTORIES,
                         ids=["negative days", "minus one day", "largest", "smallest",
                              "a microsecond", "subclass", "int", "text", "unformattable"])
def test_durations_made_by_a_rebound_timedelta(factory):
    """The duration records show whatever `timedelta` made, as its display text."""
    def scenario(module):
        module.timedelta = lambda seconds: factory(seconds)
        return module.i_parser(make_record(), True)

    outcome, records = both(scenario)
    if outcome[0] == "returned":
        assert records[0][3] == "Outbound flight duration: " + f"{factory(9300)}"


# --- records and tables changed while they are read --------------------------------------

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


@pytest.mark.parametrize("key, change", RECORD_CHANGES,
                         ids=[f"{k}-{c.__name__}" for k, c in RECORD_CHANGES])
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
    del plan[plan.index(leg) + 1:]


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


# --- the price walk over a conversion table that changes ---------------------------------

class Amount:
    """An amount whose str() first runs change(table)."""

    def __init__(self, table, change, text="5"):
        self.table, self.change, self.text = table, change, text

    def __str__(self):
        self.change(self.table)
        return self.text


class Currency:
    def __format__(self, how):
        return "CUR"


def grow(table):
    table["NEW%d" % len(table)] = 1


def shrink(table):
    table.popitem()


def replace_values(table):
    for key in table:
        if not isinstance(table[key], Amount):
            table[key] = 99


def drop_self(table):
    """Removes the entry being walked: its currency is then held by the walk alone."""
    table.pop(next(key for key, value in table.items() if isinstance(value, Amount)))


def swap_key(table):
    """Replaces another entry by a new one: the size stays, the keys change."""
    table.pop(next(key for key, value in table.items()
                   if not isinstance(value, Amount) and not isinstance(key, Currency)))
    table["NEW"] = 1


TABLE_CHANGES = [grow, shrink, replace_values, drop_self, swap_key]


@pytest.mark.parametrize("change", TABLE_CHANGES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("position", ["first", "last"])
def test_conversion_table_changed_during_the_price_walk(change, position):
    def scenario(module):
        # The currency and the amount are held by the table alone.
        amount = Amount(None, change)
        if position == "first":
            table = {Currency(): amount, "EUR": 120}
        else:
            table = {"EUR": 120, Currency(): amount}
        amount.table = table
        del amount
        return module.i_parser(make_record(conversion=table))

    outcome, records = both(scenario)
    if change in (grow, shrink, drop_self):
        assert outcome == ("raised", RuntimeError, "dictionary changed size during iteration")
        assert not any("Price" in record[3] for record in records)
    if change is swap_key:
        # As the host's own walk over the same table meets it.
        table = {"EUR": 120, "USD": Amount(None, change)} if position == "last" else \
            {"USD": Amount(None, change), "EUR": 120}
        table["USD"].table = table
        try:
            for currency, amount in table.items():
                str(amount)
        except RuntimeError as error:
            assert outcome == ("raised", RuntimeError, str(error))
        else:
            assert outcome[0] == "returned"
    assert_no_leak(scenario)


def test_a_growing_table_behind_items_fails_as_python_does():
    """A mapping that is not an exact dict is walked through items(): Python's own view."""
    class Table(dict):
        pass

    def scenario(module):
        table = Table(EUR=1)
        table["USD"] = Amount(table, grow)
        return module.i_parser(make_record(conversion=table))

    outcome, _ = both(scenario)
    assert outcome == ("raised", RuntimeError, "dictionary changed size during iteration")


def test_same_size_key_swaps_during_the_walk_do_not_crash():
    """Deleting one key and adding another keeps the size: the walk goes on (which entries
    it still meets is the dict's business) and must neither crash nor leak."""
    def swap(table):
        key = next(k for k in table if k != "EUR" and not isinstance(table[k], Amount))
        del table[key]
        table["Z" + key] = 1

    def scenario(module):
        table = {"EUR": 1, "USD": 2, "GBP": 3}
        table["CHF"] = Amount(table, swap)
        table["JPY"] = 4
        return module.i_parser(make_record(conversion=table))

    with globals_restored(brasco):
        result = scenario(brasco)
    assert result[0][4].startswith("1 EUR / 2 USD / 3 GBP / 5 CHF")
    assert_no_leak(scenario)


# --- recursion from inside a log handler --------------------------------------------------

def records_logged_by_handlers_are_handled():
    """Whether a record logged from inside a handler reaches the handlers: 3.13.4 and later
    drop it (the host's guard against a handler that logs), so a handler cannot call the
    modules' functions and see their records."""
    class Inner(logging.Handler):
        def __init__(self):
            super().__init__(logging.DEBUG)
            self.messages = []

        def emit(self, record):
            self.messages.append(record.getMessage())
            if record.getMessage() == "outer":
                logging.debug("inner")

    with root_handler(Inner()) as handler:
        logging.debug("outer")
    return handler.messages == ["outer", "inner"]


HANDLERS_LOG = records_logged_by_handlers_are_handled()


class Recursing(logging.Handler):
    """Calls module.i_parser again from within each "Outbound route" record, down to
    `depth` levels (None: without end)."""

    def __init__(self, module, depth):
        super().__init__(logging.DEBUG)
        self.module, self.depth, self.level_now, self.results = module, depth, 0, []

    def emit(self, record):
        if not str(record.msg).startswith("Outbound route"):
            return
        if self.depth is not None and self.level_now >= self.depth:
            return
        self.level_now += 1
        try:
            self.results.append(self.module.i_parser(make_record(), self.level_now % 2 == 0))
        finally:
            self.level_now -= 1


def test_i_parser_called_again_from_a_log_handler():
    def scenario(module):
        handler = Recursing(module, depth=4)
        with root_handler(handler):
            result = module.i_parser(make_record(), True)
        return result, handler.results

    outcome, records = both(scenario)
    if HANDLERS_LOG:
        assert outcome[0] == "returned" and len(outcome[1][1][1][1]) == 4
        assert len(records) == 5 * 9 - 4 * 2  # four nested calls, two of them one-way
    else:  # one nested call, whose records the host drops
        assert outcome[0] == "returned" and len(outcome[1][1][1][1]) == 1
        assert len(records) == 9
    assert_no_leak(scenario, rounds=100)


@pytest.mark.skipif(not HANDLERS_LOG, reason="the host drops records logged by handlers")
def test_unbounded_recursion_from_a_log_handler_is_a_recursion_error():
    handler = Recursing(brasco, depth=None)
    with root_handler(handler), pytest.raises(RecursionError):
        brasco.i_parser(make_record(), True)
    assert handler.level_now == 0
    # Nothing is left broken: the module parses as before.
    assert brasco.i_parser(make_record(), True) == rendition.i_parser(make_record(), True)


def test_unbounded_recursion_through_route_details():
    """route_details rebound to a function that calls i_parser again."""
    def again(route_plan=None, leg=None):
        return brasco.i_parser(make_record(), True)

    with globals_restored(brasco):
        brasco.route_details = again
        with pytest.raises(RecursionError):
            brasco.i_parser(make_record())
    assert brasco.i_parser(make_record())[3] == ""


# --- reference cycles through a function's __dict__ ---------------------------------------

def test_a_function_object_lists_its_dict_and_globals_for_the_collector():
    function = brasco.route_details
    attribute = {"note": "kept"}
    function.note = attribute
    try:
        referents = gc.get_referents(function)
        assert function.__dict__ in referents and vars(brasco) in referents
        assert any(value is attribute for value in function.__dict__.values())
    finally:
        del function.note


CYCLES = r"""
import gc, weakref
import tavimo.brasco as brasco

class Payload:
    pass

def cycle_through_dict(function):
    # function -> __dict__ -> payload -> function, and function -> __dict__ -> function.
    payload = Payload()
    payload.function = function
    function.payload = payload
    function.itself = function
    return weakref.ref(function), weakref.ref(payload)

gc.disable()
function = brasco.route_details
del brasco.route_details  # nothing but `function` holds it now
refs = cycle_through_dict(function)
gc.collect()
assert all(ref() is not None for ref in refs)  # still held by `function`
del function
assert all(ref() is not None for ref in refs)  # held by the cycle alone
gc.collect()
assert all(ref() is None for ref in refs), "a cycle through a function's __dict__ survived"

try:
    import tavimo.questions as questions
except ImportError:
    questions = None
if questions is not None:
    count_filter = questions.one_way_questions[3].pop("filter")
    refs = cycle_through_dict(count_filter)
    del count_filter
    gc.collect()
    assert all(ref() is None for ref in refs), "a filter in a cycle survived"
print("collected")
"""


def test_reference_cycles_through_a_function_dict_are_collected():
    """In a fresh interpreter: a function object that only a cycle through its own
    __dict__ keeps alive is freed by gc.collect()."""
    assert "collected" in run_python(CYCLES).stdout


# --- tavimo.questions: module globals changed --------------------------------------------

needs_questions = pytest.mark.skipif(questions is None, reason="tavimo.questions is not built")
QUESTIONS_GLOBALS = ("re", "date_reg_ex", "ValidationError", "one_way_questions",
                     "fly_back_question")


class Document:
    def __init__(self, text):
        self.text = text


@needs_questions
def test_validators_read_their_globals_at_every_call():
    with globals_restored(questions, QUESTIONS_GLOBALS):
        validator = questions.DateValidator()
        assert validator.validate(Document("01/01/2021")) is None
        questions.date_reg_ex = r"^\d{4}$"
        assert validator.validate(Document("2021")) is None
        with pytest.raises(questions.ValidationError):
            validator.validate(Document("01/01/2021"))
        del questions.date_reg_ex
        with pytest.raises(NameError, match=r"^name 'date_reg_ex' is not defined$"):
            validator.validate(Document("01/01/2021"))
        del questions.re
        # `re` is read before the document: a document without text still gives NameError.
        for cls in (questions.IataCodeValidator, questions.DateValidator):
            with pytest.raises(NameError, match=r"^name 're' is not defined$"):
                cls().validate(object())
        assert questions.NumberValidator().validate(Document("3")) is None


class NotAnException(Exception):
    def __new__(cls, *args, **kwargs):
        return 5


@needs_questions
@pytest.mark.parametrize("replacement, error, message", [
    (lambda **kwargs: LookupError(kwargs["message"]), LookupError,
     "Please enter a number"),
    (lambda **kwargs: KeyboardInterrupt, KeyboardInterrupt, ""),
    (lambda **kwargs: NotAnException, TypeError,
     "calling <class 'test_hostile.NotAnException'> should have returned an instance of "
     "BaseException, not <class 'int'>"),
    (lambda **kwargs: "text", TypeError,
     "raise: exception class must be a subclass of BaseException"),
])
def test_a_rebound_validation_error_is_raised_as_documented(replacement, error, message):
    with globals_restored(questions, QUESTIONS_GLOBALS):
        questions.ValidationError = replacement
        with pytest.raises(error) as raised:
            questions.NumberValidator().validate(Document("x"))
    assert str(raised.value) == message
    assert isinstance(raised.value.__context__, ValueError)


@needs_questions
def test_get_questions_with_its_lists_rebound_or_deleted():
    namespace = vars(questions)
    with globals_restored(questions, QUESTIONS_GLOBALS):
        questions.one_way_questions = ("a", "b", "c", "d")
        assert questions.get_questions() is questions.one_way_questions
        assert questions.get_questions(True) == rendition.get_questions(namespace, True) == \
            ["a", "b", "c", questions.fly_back_question, "d"]
        questions.one_way_questions = iter(["a"])
        assert questions.get_questions(True) == ["a", questions.fly_back_question]
        del questions.fly_back_question
        assert questions.get_questions(False) is questions.one_way_questions
        with pytest.raises(NameError, match=r"^name 'fly_back_question' is not defined$"):
            questions.get_questions(True)
        questions.one_way_questions = None
        builtins.fly_back_question = "from builtins"
        with pytest.raises(TypeError, match="not iterable"):
            questions.get_questions(True)
        del questions.one_way_questions
        with pytest.raises(NameError, match=r"^name 'one_way_questions' is not defined$"):
            questions.get_questions()
    assert len(questions.get_questions(True)) == 8 and len(questions.one_way_questions) == 7


# --- rows of the first route_details call reused by the second ---------------------------

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


@pytest.mark.parametrize("action", [rebind_datetime, change_a_return_leg, replace_a_time,
                                    add_a_key_of_another_kind, swap_the_legs],
                         ids=lambda action: action.__name__)
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
        time.strftime = lambda fmt, parts, original=ORIGINAL_STRFTIME: "<" + original(fmt, parts) + ">"
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
        time_locale_source, monkeypatch):
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
