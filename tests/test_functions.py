"""The function objects of tavimo.brasco: attributes, binding, failures, lookups, leaks."""

import contextlib
import ctypes
import dis
import gc
import inspect
import pickle
import sys
import functools
import traceback

import pytest

from conftest import ROOT, make_leg, make_record, needs_blocks_counted_at_once, run_python
from testkit.allocations import blocks_left_by

DOCS = {
    "route_details": "\n    Parses route details\n\n"
    "    :param route_plan: (list) list of dicts with route route details\n"
    "    :param leg: (str) Inbound or outbound leg\n"
    "    :returns:  (list) list of lists with route details\n    ",
    "get_ret_times": "\n    Parse return route data and find departure and arrival times\n\n"
    "    :param route_plan: (list) List of dict with  leg information\n"
    "    :returns: (list) departure time and arrival time\n    ",
    "i_parser": "\n    Parse itinerary data for the results of flight search\n\n"
    "    :param search_result: (dict) A python dictionary with flight information\n"
    "    :param round_trip: (boolean) If it's a round trip\n"
    "    :returns: (list) outbound and inbound leg information\n    ",
}
SIGNATURES = {
    "route_details": "(route_plan=None, leg=None)",
    "get_ret_times": "(route_plan=None)",
    "i_parser": "(search_result=None, round_trip=None)",
}


@pytest.mark.parametrize("name", list(DOCS))
def test_function_attributes(brasco, name):
    function = getattr(brasco, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__doc__ == DOCS[name]
    assert function.__module__ == "tavimo.brasco"
    assert function.__globals__ is vars(brasco)
    params = SIGNATURES[name].count("=None")
    assert function.__defaults__ == (None,) * params
    code = function.__code__
    assert code.co_argcount == params and code.co_kwonlyargcount == 0
    assert code.co_posonlyargcount == 0 and code.co_code == host_empty_code().co_code
    assert code.co_name == name
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert pickle.loads(pickle.dumps(function)) is function
    function.__dict__["note"] = 1
    assert function.note == 1
    del function.note
    # The collector's, as the host's own module functions are, until the host makes those
    # immortal (3.13t, once a second thread has started) and this one with them.
    immortal = sys.getrefcount(function) >= 2**32 - 1
    assert gc.is_tracked(function) != immortal and vars(brasco) in gc.get_referents(function)


def host_empty_code():
    """The host's own code object without instructions of its own (PyCode_NewEmpty)."""
    make = ctypes.pythonapi.PyCode_NewEmpty
    make.restype = ctypes.py_object
    make.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
    return make(b"file", b"name", 1)


def test_code_objects_are_complete_host_code_objects(brasco):
    from tavimo import questions

    functions = [
        brasco.route_details,
        brasco.get_ret_times,
        brasco.i_parser,
        questions.get_questions,
        questions.NumberValidator.validate,
    ]
    for function in functions:
        code = function.__code__
        assert code.co_flags & inspect.CO_OPTIMIZED and code.co_flags & inspect.CO_NEWLOCALS
        assert code.co_nlocals == len(code.co_varnames) >= code.co_argcount
        assert code.co_filename.startswith("tavimo/") and code.co_firstlineno > 0
        assert code.replace() == code
        list(dis.get_instructions(code))
        if sys.version_info >= (3, 11):
            assert code.co_qualname == function.__qualname__
            # The location table places every instruction on the first line.
            lines = {line for _, _, line in code.co_lines()}
            assert lines <= {code.co_firstlineno}
            assert all(
                position[:2] == (code.co_firstlineno,) * 2 for position in code.co_positions()
            )


def test_traceback_entry_shows_the_line_of_the_failing_statement(brasco):
    with pytest.raises(TypeError, match="unsliceable") as error:
        brasco.route_details([make_leg(local_departure=None)])
    last = error.value.__traceback__
    while last.tb_next:
        last = last.tb_next
    entry = traceback.extract_tb(error.value.__traceback__)[-1]
    assert entry.lineno == last.tb_lineno == last.tb_frame.f_lineno
    assert last.tb_frame.f_code.co_firstlineno == entry.lineno
    # The entry names the module's source that holds the failing statement, by its path
    # below src/.
    assert entry.filename.startswith("tavimo/brasco/")
    source = (ROOT / "src" / entry.filename).read_text().splitlines()
    assert "get_slice" in source[entry.lineno - 1]
    assert 'File "%s", line %d, in tavimo.brasco.route_details' % (
        entry.filename,
        entry.lineno,
    ) in "".join(
        traceback.format_exception(type(error.value), error.value, error.value.__traceback__)
    )


def test_descriptor_binding(brasco):
    class Holder:
        parse = brasco.get_ret_times

    holder = Holder()
    assert Holder.parse is brasco.get_ret_times
    assert holder.parse.__self__ is holder and holder.parse.__func__ is brasco.get_ret_times
    with pytest.raises(TypeError, match="'Holder' object is not iterable"):
        holder.parse()


def test_function_dict_cycle_is_collected(brasco):
    class Payload:
        pass

    payload = Payload()
    payload.function = brasco.i_parser
    brasco.i_parser.__dict__["payload"] = payload
    import weakref

    alive = weakref.ref(payload)
    del brasco.i_parser.payload, payload
    gc.collect()
    assert alive() is None


def test_a_function_object_lists_its_dict_and_globals_for_the_collector(brasco):
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


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda b: b.i_parser(1, 2, 3),
            "i_parser() takes at most 2 positional arguments (3 given)",
        ),
        (
            lambda b: b.get_ret_times([], []),
            "get_ret_times() takes at most 1 positional argument (2 given)",
        ),
        (
            lambda b: b.route_details([], route_plan=[]),
            "route_details() got multiple values for keyword argument 'route_plan'",
        ),
        (lambda b: b.i_parser(round=True), "i_parser() got an unexpected keyword argument 'round'"),
        # Keywords are examined in call order: the first offending one decides.
        (
            lambda b: b.route_details([], leg=1, route_plan=2, bogus=3),
            "route_details() got multiple values for keyword argument 'route_plan'",
        ),
        (
            lambda b: b.route_details(bogus=3, route_plan=[], leg=1),
            "route_details() got an unexpected keyword argument 'bogus'",
        ),
        # From 3.9 on the interpreter checks a mapping's keys before the function sees them.
        (
            lambda b: b.i_parser(**{1: 2}),
            "i_parser() keywords must be strings"
            if sys.version_info < (3, 9)
            else "keywords must be strings",
        ),
        # Through the generic call protocol the mapping's keys are checked first.
        (lambda b: b.i_parser.__call__(**{1: 2}), "keywords must be strings"),
    ],
)
def test_binding_errors(brasco, call, message):
    with pytest.raises(TypeError) as error:
        call(brasco)
    assert str(error.value) == message
    last = traceback.extract_tb(error.value.__traceback__)[-1].name
    assert last.startswith("tavimo.brasco.") or sys.version_info >= (3, 9)


def test_keywords_bind_by_name_in_any_order(brasco):
    assert brasco.route_details(leg="x", route_plan=()) == brasco.route_details(())
    assert brasco.route_details(**{"route_plan": [], "leg": None}) == brasco.route_details([])


def test_failure_reaches_caller_with_one_entry_per_native_function(brasco):
    record = make_record(route=[make_leg(0, local_arrival=None)])
    with pytest.raises(TypeError) as error:
        brasco.i_parser(record)
    assert str(error.value) == "'NoneType' object is unsliceable"
    entries = traceback.extract_tb(error.value.__traceback__)
    assert [entry.name for entry in entries[-2:]] == [
        "tavimo.brasco.i_parser",
        "tavimo.brasco.route_details",
    ]
    # Each entry names the source of its failing statement: i_parser's call in the body,
    # the time that cannot be cut in the unit that makes the rows.
    assert [entry.filename for entry in entries[-2:]] == [
        "tavimo/brasco/brasco.cpp",
        "tavimo/brasco/leg_rows.cpp",
    ]
    assert all(entry.lineno > 0 for entry in entries[-2:])
    # Different failing statements give different lines.
    with pytest.raises(KeyError) as other:
        brasco.i_parser({})
    assert traceback.extract_tb(other.value.__traceback__)[-1].lineno != entries[-2].lineno


@pytest.fixture
def restore(brasco):
    saved = dict(vars(brasco))
    yield
    for name in (
        "datetime",
        "timedelta",
        "logging",
        "leg_details_header",
        "route_details",
        "get_ret_times",
    ):
        setattr(brasco, name, saved[name])


def test_module_globals_are_read_at_each_use(brasco, restore):
    import builtins

    header = ["mine"]
    brasco.leg_details_header = header
    assert brasco.route_details([])[0][0] is header
    del brasco.leg_details_header
    with pytest.raises(NameError) as error:
        brasco.route_details([])
    assert str(error.value) == "name 'leg_details_header' is not defined"
    assert traceback.extract_tb(error.value.__traceback__)[-1].name == "tavimo.brasco.route_details"
    builtins.leg_details_header = header
    try:
        assert brasco.route_details([])[0][0] is header
    finally:
        del builtins.leg_details_header


class EqualityRefused:
    """A `return` value that is true but cannot be compared: route_details takes it,
    get_ret_times fails on it."""

    def __bool__(self):
        return True

    def __eq__(self, other):
        raise ValueError("no comparing")

    __hash__ = object.__hash__


def outcome_of_i_parser(brasco, record):
    try:
        return "returned", brasco.i_parser(record, True)
    except Exception as exc:
        entries = traceback.extract_tb(exc.__traceback__)
        return "raised", type(exc), str(exc), [(e.name, e.lineno) for e in entries[-3:]]


@pytest.mark.parametrize("failing", [None, "get_ret_times", "route_details"])
def test_own_functions_run_directly_as_calls_through_them(brasco, restore, failing):
    """i_parser runs the module's own route_details and get_ret_times directly; calling
    them through their function objects gives the same results, exceptions and entries."""

    def record():
        legs = [make_leg(0), make_leg(1)]
        if failing == "get_ret_times":
            legs[1]["return"] = EqualityRefused()
        elif failing == "route_details":
            legs[1]["local_arrival"] = None
        return make_record(route=legs)

    direct = outcome_of_i_parser(brasco, record())
    own_route_details, own_get_ret_times = brasco.route_details, brasco.get_ret_times
    brasco.route_details = functools.partial(own_route_details)
    brasco.get_ret_times = functools.partial(own_get_ret_times)
    called = outcome_of_i_parser(brasco, record())
    assert direct == called
    if failing:
        names = [name for name, _ in direct[3]]
        assert names[names.index("tavimo.brasco.i_parser") + 1] == "tavimo.brasco." + failing


@pytest.mark.parametrize(
    "name", ["timedelta", "logging", "route_details", "get_ret_times", "datetime"]
)
def test_deleted_global_gives_name_error_in_i_parser(brasco, restore, name):
    delattr(brasco, name)
    with pytest.raises(NameError) as error:
        brasco.i_parser(make_record(), True)
    assert str(error.value) == f"name '{name}' is not defined"
    assert traceback.extract_tb(error.value.__traceback__)[-1].name.startswith("tavimo.brasco.")


def test_rebound_callees_are_used_by_the_next_call(brasco, restore):
    calls = []

    def fake_route_details(route_plan=None, leg=None):
        calls.append(leg)
        return ("out", "in")

    brasco.route_details = fake_route_details
    brasco.get_ret_times = lambda route_plan=None: ("dep", "arr")
    result = brasco.i_parser(make_record(), True)
    assert calls == ["outbound", "inbound"]
    assert result[2:] == ("out", "in") and result[1][1] == "dep" and result[1][3] == "arr"


NAMESPACE_CHANGES = {
    "item": lambda ns, value: ns.__setitem__("leg_details_header", value),
    "update": lambda ns, value: ns.update(leg_details_header=value),
    "setdefault": lambda ns, value: (
        ns.pop("leg_details_header"),
        ns.setdefault("leg_details_header", value),
    ),
    "global statement": lambda ns, value: exec(
        "global leg_details_header\nleg_details_header = value", ns, {"value": value}
    ),
    "attribute": lambda ns, value: setattr(
        sys.modules["tavimo.brasco"], "leg_details_header", value
    ),
}


@pytest.mark.parametrize("change", list(NAMESPACE_CHANGES))
def test_a_cached_global_sees_every_kind_of_change(brasco, restore, change):
    # The lookup caches are keyed on the namespaces' version (3.12 on: dict watchers).
    for round in range(3):
        brasco.route_details([])
        header = [change, round]
        NAMESPACE_CHANGES[change](vars(brasco), header)
        assert brasco.route_details([])[0][0] is header


def test_a_cached_builtin_sees_changes_of_the_builtins(brasco, restore):
    import builtins

    header = ["from builtins"]
    del brasco.leg_details_header
    builtins.leg_details_header = header
    try:
        assert brasco.route_details([])[0][0] is header
        builtins.leg_details_header = other = ["other"]
        assert brasco.route_details([])[0][0] is other
        vars(brasco)["leg_details_header"] = header
        assert brasco.route_details([])[0][0] is header
    finally:
        del builtins.leg_details_header


def test_lookups_stay_exact_through_many_logging_namespaces(brasco, restore):
    # More namespaces than the frame watches at once, each dropped while others are made.
    import types

    kept = []
    for number in range(150):
        namespace = types.ModuleType("log%d" % number)
        seen = []
        namespace.debug = seen.append
        brasco.logging = namespace
        brasco.i_parser(make_record())
        assert len(seen) == 5
        if number % 3 == 0:
            kept.append((namespace, seen))
    for namespace, seen in kept:
        later = []
        namespace.debug = later.append
        brasco.logging = namespace
        brasco.i_parser(make_record())
        assert len(later) == 5


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers exist from 3.12")
def test_caches_without_a_dict_watcher_never_hit():
    pytest.importorskip("_testcapi")
    result = run_python("""
        import _testcapi
        taken = []
        try:
            while True:
                taken.append(_testcapi.add_dict_watcher(0))
        except RuntimeError:
            pass
        import tavimo.brasco as brasco
        for round in range(3):
            header = [round]
            brasco.leg_details_header = header
            print(brasco.route_details([])[0][0] is header, end=" ")
    """)
    assert result.stdout.split() == ["True"] * 3


def leak_cases(brasco):
    record = make_record()
    broken = make_record(route=[make_leg(1, flyTo=None), {"return": 0}])
    return [
        lambda: brasco.i_parser(record, True),
        lambda: brasco.i_parser(record),
        lambda: brasco.route_details(record["route"], "outbound"),
        lambda: brasco.get_ret_times(record["route"]),
        lambda: brasco.i_parser(broken, True),
        lambda: brasco.i_parser(make_record(conversion=None)),
        lambda: brasco.get_ret_times([]),
        lambda: brasco.route_details([{"cityFrom": 1}]),
        lambda: brasco.i_parser(1, 2, 3),
        lambda: brasco.route_details(bogus=1),
    ]


@needs_blocks_counted_at_once
def test_no_leaks_over_thousands_of_calls(brasco):
    cases = leak_cases(brasco)

    def run_cases():
        for case in cases:
            with contextlib.suppress(Exception):
                case()

    assert blocks_left_by(run_cases, rounds=3000, warmup=200) < 50


def test_logging_debug_is_looked_up_at_each_call(brasco, monkeypatch):
    import logging

    seen = []
    brasco.i_parser(make_record())
    monkeypatch.setattr(logging, "debug", seen.append)
    brasco.i_parser(make_record())
    assert len(seen) == 5
    monkeypatch.undo()

    class Sink:
        def __init__(self):
            self.debug = seen.append

    monkeypatch.setattr(brasco, "logging", Sink())
    brasco.get_ret_times(make_record()["route"])
    assert len(seen) == 7 and seen[-1].startswith("Inbound arrival time: ")
