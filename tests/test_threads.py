"""Calls on several threads: each call keeps to itself.

The interpreter lock is released whenever Python code runs inside a call (a log handler, a
value's __format__, a document's text, a truth test), so another thread's call can start
and finish in between.  The interleavings below are forced step by step; the stress test
lets the interpreter switch threads as often as it can.
"""

import logging
import sys
import threading

import pytest

import tavimo.brasco as brasco
import tavimo.questions as questions
from conftest import make_leg, make_record, root_handler
from testkit.samples import Pairs

TIMEOUT = 20


def native_entries(exc):
    """(name, line) of the native traceback entries of an exception and of its context."""
    entries = []
    while exc is not None:
        entry = exc.__traceback__
        while entry is not None:
            code = entry.tb_frame.f_code
            if code.co_filename.endswith(".cpp"):
                entries.append((code.co_name, entry.tb_lineno))
            entry = entry.tb_next
        exc = exc.__context__
    return entries


def outcome(call):
    """What a caller sees of a call: its result, or its exception with the native entries."""
    try:
        return ("returned", repr(call()))
    except Exception as exc:
        return ("raised", type(exc).__name__, str(exc), native_entries(exc))


class GateOnRecord(logging.Handler):
    """Stops the thread at the first debug record whose message starts with `prefix`
    (in handle(), before the handler's own lock is taken)."""

    def __init__(self, gate, prefix):
        super().__init__(logging.DEBUG)
        self.gate, self.prefix = gate, prefix

    def handle(self, record):
        if record.getMessage().startswith(self.prefix):
            self.gate()
        return super().handle(record)

    def emit(self, record):
        pass


class Gate:
    """A point inside calls where a thread stops until it is let through.  Each armed
    thread stops at the first gate it reaches, once; threads not armed run through."""

    def __init__(self):
        self.armed = set()
        self.order = []  # threads in the order they stopped
        self.released = {}
        self.reached = threading.Event()

    def __call__(self):
        ident = threading.get_ident()
        if ident not in self.armed:
            return
        self.armed.discard(ident)
        release = self.released.setdefault(ident, threading.Event())
        self.order.append(ident)
        self.reached.set()
        assert release.wait(TIMEOUT), "never let through"


def run_crossed(call_a, call_b, gate):
    """A stops at the gate, B starts and stops there too, A finishes, then B finishes."""
    results = [None, None]
    done = [threading.Event(), threading.Event()]

    def runner(index, call):
        gate.armed.add(threading.get_ident())
        results[index] = outcome(call)
        done[index].set()

    a = threading.Thread(target=runner, args=(0, call_a))
    b = threading.Thread(target=runner, args=(1, call_b))
    a.start()
    assert gate.reached.wait(TIMEOUT)
    gate.reached.clear()
    b.start()
    assert gate.reached.wait(TIMEOUT)
    first, second = gate.order
    gate.released[first].set()
    assert done[0].wait(TIMEOUT)
    gate.released[second].set()
    assert done[1].wait(TIMEOUT)
    a.join(TIMEOUT)
    b.join(TIMEOUT)
    return results


# ---------------------------------------------------------------------------------------
# Values that run Python code in the middle of a call, and stop there when armed


class Held:
    """A value whose display text, truth value and integer conversion pass the gate."""

    def __init__(self, gate, value):
        self.gate, self.value = gate, value

    def __format__(self, spec):
        self.gate()
        return format(self.value, spec)

    def __bool__(self):
        self.gate()
        return bool(self.value)

    def __int__(self):
        self.gate()
        return int(self.value)


class HeldDocument:
    def __init__(self, gate, text):
        self.gate, self._text = gate, text

    @property
    def text(self):
        self.gate()
        return self._text


def broken_record():
    return make_record(conversion=None)


def one_way_record():
    return make_record(route=[make_leg(0)])


# Each case: a call for thread A and one for thread B, made from a fresh gate, and the
# prefix of the debug record that stops them (None: the values stop them themselves).
CASES = {
    "i_parser": (
        lambda gate: lambda: brasco.i_parser(make_record(), True),
        lambda gate: lambda: brasco.i_parser(broken_record(), True),
        "Outbound flight duration",
    ),
    "i_parser both fail": (
        lambda gate: lambda: brasco.i_parser(make_record(routes=[["A"]]), True),
        lambda gate: lambda: brasco.i_parser(make_record(conversion=Pairs([(1,)])), False),
        "Outbound flight duration",
    ),
    "get_ret_times": (
        lambda gate: lambda: brasco.get_ret_times(make_record()["route"]),
        lambda gate: (
            lambda: brasco.get_ret_times(
                [make_leg(1), {"return": 0, "local_departure": "2021-06-01T10:15:00.000Z"}]
            )
        ),
        "Inbound departure time",
    ),
    "route_details": (
        lambda gate: lambda: brasco.route_details([make_leg(0, airline=Held(gate, "BA"))]),
        lambda gate: (
            lambda: brasco.route_details(
                [{**make_leg(1, airline=Held(gate, "LH")), "return": Held(gate, [])}]
            )
        ),
        None,
    ),
    "NumberValidator.validate": (
        lambda gate: lambda: questions.NumberValidator().validate(HeldDocument(gate, "x")),
        lambda gate: lambda: questions.get_questions(Held(gate, 1)),
        None,
    ),
    "DateValidator.validate": (
        lambda gate: lambda: questions.DateValidator().validate(HeldDocument(gate, "1/1")),
        lambda gate: lambda: questions.IataCodeValidator().validate(HeldDocument(gate, None)),
        None,
    ),
    "filters": (
        lambda gate: lambda: questions.one_way_questions[3]["filter"](Held(gate, 2)),
        lambda gate: lambda: questions.one_way_questions[4]["filter"](Held(gate, "x")),
        None,
    ),
}


def expected(make_call):
    """The outcome of a call made alone, its gate never armed."""
    return outcome(make_call(Gate()))


@pytest.mark.parametrize("case", CASES)
def test_crossed_calls_keep_their_own_state(case):
    make_a, make_b, prefix = CASES[case]
    alone = expected(make_a), expected(make_b)
    gate = Gate()
    if prefix:
        with root_handler(GateOnRecord(gate, prefix)):
            results = run_crossed(make_a(gate), make_b(gate), gate)
    else:
        results = run_crossed(make_a(gate), make_b(gate), gate)
    assert results == list(alone)
    # Nothing of either call is left behind for the next one.
    assert expected(make_a) == alone[0] and expected(make_b) == alone[1]


def test_i_parser_finishing_before_a_call_it_overlapped():
    """The recipe of a crash: B enters while A waits in a handler, A returns while B
    waits, and later calls must not reach anything of A's finished call."""
    gate = Gate()
    with root_handler(GateOnRecord(gate, "Outbound flight duration")):
        results = run_crossed(
            lambda: brasco.i_parser(make_record(), True),
            lambda: brasco.i_parser(make_record(), True),
            gate,
        )
    alone = outcome(lambda: brasco.i_parser(make_record(), True))
    assert results == [alone, alone]
    assert outcome(lambda: brasco.route_details(make_record()["route"])) == outcome(
        lambda: brasco.route_details(make_record()["route"])
    )
    assert (
        brasco.i_parser(one_way_record())[2][1:]
        == brasco.route_details(one_way_record()["route"])[0][1:]
    )


class Lingering(str):
    """A display text whose release runs the gate: it stops a thread while its call is
    unwinding from a failure that has already been noted."""

    gate = None

    def __del__(self):
        if Lingering.gate is not None:
            Lingering.gate()


class LingeringValue:
    def __format__(self, spec):
        return Lingering("lingering")


def test_the_failing_line_of_a_call_is_its_own():
    # A fails on a missing cityTo, B on a missing local_arrival further on; each stops
    # while its text of cityFrom is released, after its failure was noted.
    def call_a():
        return brasco.route_details([{"cityFrom": LingeringValue(), "flyFrom": "X"}])

    def call_b():
        leg = make_leg(0, cityFrom=LingeringValue())
        del leg["local_arrival"]
        return brasco.route_details([leg])

    alone = outcome(call_a), outcome(call_b)
    assert alone[0][3] != alone[1][3]  # two different failing lines
    gate = Gate()
    Lingering.gate = gate
    try:
        results = run_crossed(call_a, call_b, gate)
    finally:
        Lingering.gate = None
    assert results == list(alone)


# ---------------------------------------------------------------------------------------
# Stress: many threads, many calls, the interpreter switching as often as it can


def stress_calls():
    document = type("Document", (), {})
    good, bad = document(), document()
    good.text, bad.text = "12", "twelve"
    return [
        lambda: brasco.i_parser(make_record(), True),
        lambda: brasco.i_parser(one_way_record()),
        lambda: brasco.i_parser(broken_record(), True),
        lambda: brasco.i_parser(make_record(routes=[["A"]]), True),
        lambda: brasco.route_details(make_record()["route"], "inbound"),
        lambda: brasco.route_details([make_leg(0, local_departure=None)]),
        lambda: brasco.get_ret_times(make_record()["route"]),
        lambda: brasco.get_ret_times([]),
        lambda: questions.NumberValidator().validate(good),
        lambda: questions.NumberValidator().validate(bad),
        lambda: questions.IataCodeValidator().validate(bad),
        lambda: questions.get_questions(True),
        lambda: questions.one_way_questions[3]["filter"]("7"),
        lambda: questions.one_way_questions[3]["filter"]("seven"),
    ]


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


@pytest.mark.parametrize("with_handler", [False, True], ids=["no handler", "debug handler"])
def test_many_threads_many_calls(fast_switching, with_handler):
    calls = stress_calls()
    wanted = [outcome(call) for call in calls]
    mismatches = []
    rounds = 300

    def worker(offset):
        for n in range(rounds):
            index = (n + offset) % len(calls)
            got = outcome(calls[index])
            if got != wanted[index]:
                mismatches.append((index, got))

    class Quiet(logging.Handler):
        def emit(self, record):
            record.getMessage()

    def run():
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    if with_handler:
        with root_handler(Quiet()):
            run()
    else:
        run()
    assert mismatches == []
