"""Threads really running at once: more threads than cores, released together by a barrier,
while another thread changes what they read.

On a free-threaded host the calls run in parallel; with the GIL they interleave at every
switch interval (made as short as the host allows).  Each call reads every value it depends
on a fixed number of times, so whatever the interleaving, its outcome is one that the
plain-Python rendition gives for some choice of the states the changing thread passes
through: the allowed outcomes are found by running the rendition on each of those states.
"""

import functools
import itertools
import locale
import logging
import os
import queue
import subprocess
import sys
import threading
import time
import types
from datetime import datetime, timedelta

import pytest

from testkit import rendition
import tavimo.brasco as brasco
import tavimo.questions as questions
from conftest import FREE_THREADED, RecordList, make_leg, make_record, root_handler

THREADS = 2 * (os.cpu_count() or 1) + 2  # more threads than cores
CALLS = 150  # per thread
TIMEOUT = 120


def outcome(call):
    """A call's result as comparable data, or its exception's type and text."""
    try:
        return ("returned", rendition.seen(call(), rendition.leg_details_header))
    except Exception as exc:  # the outcomes compared include failures
        return ("raised", type(exc), str(exc))


def allowed(call, states):
    """The outcomes of the rendition's `call` over every state: `states` sets one up."""
    found = set()
    for set_up in states:
        set_up()
        found.add(repr(outcome(call)))
    return found


@pytest.fixture(autouse=True)
def fast_switching():
    """With the GIL: threads switch as often as the host allows."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def hold():
    """Keeps a state a little while, so that calls running at once meet it."""
    for _ in range(100):
        pass


def run_together(call, change):
    """`call` CALLS times on each of THREADS threads, all started at one barrier, beside a
    thread that runs `change` over and over until they are done; the outcomes seen."""
    barrier = threading.Barrier(THREADS + 1)
    done = threading.Event()
    seen, failures = set(), []

    def caller():
        try:
            barrier.wait(TIMEOUT)
            mine = {repr(outcome(call)) for _ in range(CALLS)}
            seen.update(mine)
        except BaseException as exc:  # reported below, on the test's own thread
            failures.append(exc)

    def changer():
        try:
            barrier.wait(TIMEOUT)
            while not done.is_set():
                change()
        except BaseException as exc:
            failures.append(exc)

    callers = [threading.Thread(target=caller) for _ in range(THREADS)]
    changing = threading.Thread(target=changer)
    for thread in callers + [changing]:
        thread.start()
    for thread in callers:
        thread.join(TIMEOUT)
    done.set()
    changing.join(TIMEOUT)
    assert not failures, failures
    assert not any(thread.is_alive() for thread in callers + [changing]), "a thread hung"
    return seen


def test_importing_leaves_the_gil_disabled():
    if not FREE_THREADED:
        pytest.skip("only a free-threaded host runs without the GIL")
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    # -W error: a module that re-enabled the GIL would warn (RuntimeWarning).
    script = "import sys, tavimo.brasco, tavimo.questions\nprint(sys._is_gil_enabled())\n"
    done = subprocess.run(
        [sys.executable, "-W", "error", "-c", script],
        env=env,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "False\n", "")


SHARED_LIKE_THE_HOSTS = r"""
import gc, json, sys, threading, weakref

def immortal(thing):
    return sys.getrefcount(thing) >= 2**32 - 1

def ours():
    return [brasco.i_parser, brasco.route_details, questions.get_questions,
            questions.IataCodeValidator.validate]

def started():
    thread = threading.Thread(target=lambda: None)
    thread.start()
    thread.join()

if sys.argv[1] == "thread first":
    started()
    import tavimo.brasco as brasco, tavimo.questions as questions
else:
    import tavimo.brasco as brasco, tavimo.questions as questions
    # Before any thread the functions are only the collector's to free, as the host's.
    assert not any(immortal(function) for function in ours() + [json.loads])
    function = brasco.get_ret_times
    del brasco.get_ret_times
    function.itself = function
    gone = weakref.ref(function)
    del function
    gc.collect()
    assert gone() is None, "a module function held by a cycle alone survived"
    started()
print([immortal(function) == immortal(json.loads) for function in ours()])
"""


@pytest.mark.parametrize("order", ["import first", "thread first"])
def test_the_module_functions_count_references_as_the_hosts_own(order):
    """Threads that call a module function do not all write its reference count: like the
    host's own module functions, it is left to the collector, and made immortal where the
    host makes those so (3.13t, once a second thread has started)."""
    if not FREE_THREADED:
        pytest.skip("only a free-threaded host shares a function among threads")
    done = subprocess.run(
        [sys.executable, "-c", SHARED_LIKE_THE_HOSTS, order],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "[True, True, True, True]\n", "")


class TestSharedLegs:
    """Legs, route lists and price tables changed by one thread while others parse them."""

    def test_a_leg_whose_keys_come_and_go(self):
        leg = make_leg(0)
        plan = [leg, make_leg(1, local_departure="2021-06-08T18:05:00.000Z")]

        def change():
            leg["airline"] = "LH"
            del leg["flight_no"]
            hold()
            leg["flight_no"] = 7
            leg["airline"] = "BA"
            hold()

        def state(airline, flight_no):
            def set_up():
                leg.pop("flight_no", None)
                leg["airline"] = airline
                if flight_no is not None:
                    leg["flight_no"] = flight_no

            return set_up

        states = [state(a, n) for a, n in itertools.product(("BA", "LH"), (None, 7))]
        expected = allowed(lambda: rendition.route_details(plan), states)
        state("BA", 7)()
        seen = run_together(lambda: brasco.route_details(plan), change)
        assert seen <= expected

    def test_a_return_leg_changed_while_its_row_is_reused(self):
        # i_parser's second route_details call reuses the return leg's row from the first
        # only while the leg is unchanged: changed in between, or replaced by a leg with a
        # key of another type, the row is read again.
        record = make_record()
        route = record["route"]
        back = route[1]
        other_keys = dict(back)
        other_keys[1] = "a key that is not a text"

        def change():
            back["airline"] = "LH"
            back["flight_no"] = 7
            hold()
            route[1] = other_keys
            back["flight_no"] = 42
            back["airline"] = "BA"
            hold()
            route[1] = back

        def state(airline, flight_no):
            def set_up():
                back["airline"] = airline
                back["flight_no"] = flight_no

            return set_up

        states = [state(a, n) for a, n in itertools.product(("BA", "LH"), (42, 7))]
        expected = allowed(lambda: rendition.i_parser(record, True), states)
        state("BA", 42)()
        seen = run_together(lambda: brasco.i_parser(record, True), change)
        assert seen <= expected

    def test_a_return_leg_read_after_it_changed_is_not_older_than_before(self):
        # The return leg's departure moves on and never comes back.  i_parser reads it in
        # get_ret_times (the inbound summary) before its second route_details call (the
        # inbound row): the row may show a later departure than the summary, never an
        # earlier one, whether the row is reused or read again.
        record = make_record()
        back = record["route"][1]
        start = datetime(2021, 6, 8, 18, 5)
        moves = itertools.count(1)

        def change():
            moment = start + timedelta(minutes=next(moves))
            back["local_departure"] = moment.strftime("%Y-%m-%dT%H:%M:00.000Z")

        def minutes(shown):
            moment = datetime.strptime(f"2021 {shown}", "%Y %a %d %b %H:%M")
            return (moment - start) // timedelta(minutes=1)

        def order():
            result = brasco.i_parser(record, True)
            summary = minutes(result[1][1])
            row = minutes(result[3][1][1].split(" -> ")[0])
            return "in order" if summary <= row else f"summary {summary}, row {row}"

        assert run_together(order, change) == {repr(outcome(lambda: "in order"))}

    def test_a_route_list_grown_shrunk_and_replaced(self):
        first = make_leg(0)
        back = make_leg(
            1, local_departure="2021-06-08T18:05:00.000Z", local_arrival="2021-06-08T21:30:00.000Z"
        )
        other_back = make_leg(
            1,
            local_departure="2021-06-09T07:00:00.000Z",
            local_arrival="2021-06-09T09:45:00.000Z",
            airline="LH",
        )
        extra = make_leg(
            1, local_departure="2021-06-08T06:00:00.000Z", local_arrival="2021-06-08T23:59:00.000Z"
        )
        plan = [first, back]

        def change():
            plan.append(extra)
            plan[1] = other_back
            plan.pop()
            plan[1] = back

        def state(second, tail):
            def set_up():
                plan[:] = [first, second] + tail

            return set_up

        states = [state(s, t) for s, t in itertools.product((back, other_back), ([], [extra]))]
        for function in (brasco.route_details, brasco.get_ret_times):
            copy = getattr(rendition, function.__name__)
            expected = allowed(lambda: copy(plan), states)
            state(back, [])()
            seen = run_together(lambda: function(plan), change)
            assert seen <= expected, function.__name__

    def test_a_price_table_changed_while_walked(self):
        record = make_record()
        conversion = record["conversion"]

        def change():
            conversion["GBP"] = 100
            del conversion["GBP"]

        def state(with_pound):
            def set_up():
                conversion.pop("GBP", None)
                if with_pound:
                    conversion["GBP"] = 100

            return set_up

        expected = allowed(lambda: rendition.i_parser(record, True), [state(False), state(True)])
        # The host's own walk of a dict changed meanwhile fails in one of two ways.
        for text in (
            "dictionary changed size during iteration",
            "dictionary keys changed during iteration",
        ):
            expected.add(repr(("raised", RuntimeError, text)))
        state(False)()
        seen = run_together(lambda: brasco.i_parser(record, True), change)
        assert seen <= expected


class TestModuleGlobals:
    """Module-level names rebound and deleted from one thread while others call."""

    def test_the_leg_table_header_rebound_and_deleted(self):
        header = brasco.leg_details_header
        other = list(header)
        plan = make_record()["route"]

        def change():
            brasco.leg_details_header = other
            del brasco.leg_details_header
            brasco.leg_details_header = header

        try:
            seen = run_together(lambda: brasco.route_details(plan), change)
        finally:
            brasco.leg_details_header = header
        expected_rows = rendition.seen(rendition.route_details(plan), header)
        missing = repr(("raised", NameError, "name 'leg_details_header' is not defined"))
        for text in seen - {missing}:
            kind, tables = eval(text, {"NameError": NameError})  # repr of plain data
            assert kind == "returned"
            # Each table starts with whichever header was bound when it was made.
            for table, expected_table in zip(tables[1], expected_rows[1]):
                assert table[1][1:] == expected_table[1][1:]
                assert table[1][0] in (("header",), rendition.seen(other, header))

    def test_datetime_rebound_to_a_class_of_its_own(self):
        class Moment(datetime):
            pass

        record = make_record()

        def change():
            brasco.datetime = Moment
            brasco.datetime = datetime

        try:
            seen = run_together(lambda: brasco.i_parser(record, True), change)
        finally:
            brasco.datetime = datetime
        assert seen == {repr(outcome(lambda: rendition.i_parser(record, True)))}

    def test_time_strftime_rebound_while_times_are_shown(self):
        """Each display time reaches time.strftime once, natively or through the host."""
        real = time.strftime
        plan = make_record()["route"]

        def fake(layout, moment=None):
            return "fake"

        def change():
            time.strftime = fake
            hold()
            time.strftime = real
            hold()

        try:
            seen = run_together(lambda: brasco.route_details(plan), change)
        finally:
            time.strftime = real
        expected_tables = rendition.route_details(plan)
        for text in seen:
            kind, tables = eval(text)  # repr of plain data
            assert kind == "returned"
            for (_, table), expected in zip(tables[1], expected_tables):
                for (_, row), expected_row in zip(table[1:], expected[1:]):
                    cells = [value for _, value in row]
                    assert cells[:1] + cells[2:] == expected_row[:1] + expected_row[2:]
                    for shown, real_text in zip(
                        cells[1].split(" -> "), expected_row[1].split(" -> ")
                    ):
                        assert shown in (real_text, "fake")

    def test_a_validator_pattern_rebound(self):
        class Document:
            text = "31/02/2021"

        pattern = questions.date_reg_ex
        validator = questions.DateValidator()

        def change():
            questions.date_reg_ex = "^.*$"
            questions.date_reg_ex = pattern

        try:
            seen = run_together(lambda: validator.validate(Document()), change)
        finally:
            questions.date_reg_ex = pattern
        rejected = {text for text in seen if "raised" in text}
        assert seen - rejected <= {repr(("returned", ("NoneType", None)))}
        assert all("ValidationError" in text for text in rejected)


class OneThread:
    """A thread of its own that runs what it is given, one call after another, so that what
    it keeps between calls (its own caches, on a free-threaded host) lives on."""

    def __init__(self):
        self.jobs, self.results = queue.Queue(), queue.Queue()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while (job := self.jobs.get()) is not None:
            self.results.put(outcome(job))

    def run(self, call):
        self.jobs.put(call)
        return self.results.get(timeout=TIMEOUT)

    def stop(self):
        self.jobs.put(None)
        self.thread.join(TIMEOUT)


@pytest.fixture()
def caller():
    """A thread of its own, for calls whose caches must outlive one call."""
    thread = OneThread()
    yield thread
    thread.stop()


class Duration(timedelta):
    pass


class TestNamesKeptPerThread:
    """A thread keeps the module-level names and attributes it found (each thread its own):
    a name rebound or deleted on another thread is what its next call finds."""

    def expect(self, caller, call, native, rendered):
        """A call on `caller` after a change made here: what the rendition gives now."""
        assert caller.run(lambda: call(native)) == outcome(lambda: call(rendered))

    def test_a_name_rebound_deleted_and_bound_again_on_another_thread(self, caller):
        record = make_record()

        def parse(module):
            return module.i_parser(record, True)

        try:
            for duration in (timedelta, Duration, timedelta, Duration):
                self.expect(caller, parse, brasco, rendition)
                brasco.timedelta = rendition.timedelta = duration
                self.expect(caller, parse, brasco, rendition)
            del brasco.timedelta
            del rendition.timedelta
            self.expect(caller, parse, brasco, rendition)
        finally:
            brasco.timedelta = rendition.timedelta = timedelta

    def test_a_name_bound_in_turn_to_values_kept_and_not_kept(self, caller):
        """A thread keeps only values that cannot be freed under it (a class, not a partial
        object); after one it could not keep, the next lookup is not kept either.  Each call
        still finds what is bound when it runs."""
        record = make_record()
        unkept = functools.partial(timedelta)

        def parse(module):
            return module.i_parser(record, True)

        try:
            for duration in (unkept, Duration, Duration, unkept, unkept, timedelta, Duration):
                brasco.timedelta = rendition.timedelta = duration
                for _ in range(2):
                    self.expect(caller, parse, brasco, rendition)
        finally:
            brasco.timedelta = rendition.timedelta = timedelta

    def test_a_builtin_shadowed_and_uncovered_on_another_thread(self, caller):
        """A name found in the builtins is looked up again once the module binds its own."""
        import builtins

        record = make_record()
        try:
            del brasco.timedelta
            builtins.timedelta = timedelta
            assert caller.run(lambda: brasco.i_parser(record, True)) == outcome(
                lambda: rendition.i_parser(record, True)
            )
            builtins.timedelta = Duration
            got = caller.run(lambda: brasco.i_parser(record, True))
            assert "Duration" in repr(got)
        finally:
            del builtins.timedelta
            brasco.timedelta = timedelta

    def test_logging_and_its_debug_replaced_on_another_thread(self, caller):
        record = make_record()
        calls = []
        stand_in = types.ModuleType("logging")
        stand_in.debug = calls.append
        real_debug = logging.debug

        def recorded(message, *args, **kwargs):
            calls.append(message)

        try:
            caller.run(lambda: brasco.i_parser(record, True))
            brasco.logging = stand_in
            caller.run(lambda: brasco.i_parser(record, True))
            made = len(calls)
            assert made > 0
            brasco.logging = logging
            logging.debug = recorded  # the module attribute, kept on its own
            caller.run(lambda: brasco.i_parser(record, True))
            assert len(calls) == 2 * made
            logging.debug = real_debug
            caller.run(lambda: brasco.i_parser(record, True))
            assert len(calls) == 2 * made
        finally:
            brasco.logging = logging
            logging.debug = real_debug

    def test_logging_debug_bound_in_turn_to_values_kept_and_not_kept(self, caller):
        """The module attribute's cache follows the same rule as the names': a nested
        function is not kept, the module's own function is; each call uses what is bound."""
        record = make_record()
        calls = []
        real_debug = logging.debug

        def recorded(message, *args, **kwargs):
            calls.append(message)

        try:
            for debug in (recorded, real_debug, real_debug, recorded, recorded, real_debug):
                logging.debug = debug
                before = len(calls)
                for _ in range(2):
                    caller.run(lambda: brasco.i_parser(record, True))
                assert (len(calls) > before) == (debug is recorded)
        finally:
            logging.debug = real_debug

    def test_timedelta_rebound_while_many_threads_call(self):
        record = make_record()

        def change():
            brasco.timedelta = Duration
            hold()
            brasco.timedelta = timedelta
            hold()

        def picking(classes):
            """A `timedelta` for the rendition that makes its n-th duration of a call
            with classes[n]: the name is looked up once per duration."""

            def set_up():
                turn = iter(classes)
                rendition.timedelta = lambda *args, **kwargs: next(turn)(*args, **kwargs)

            return set_up

        try:
            counted = []
            rendition.timedelta = lambda *a, **k: counted.append(1) or timedelta(*a, **k)
            rendition.i_parser(record, True)
            lookups = len(counted)
            expected = allowed(
                lambda: rendition.i_parser(record, True),
                [
                    picking(classes)
                    for classes in itertools.product((timedelta, Duration), repeat=lookups)
                ],
            )
            seen = run_together(lambda: brasco.i_parser(record, True), change)
        finally:
            brasco.timedelta = rendition.timedelta = timedelta
        assert lookups > 1
        assert seen <= expected


class TestLogging:
    def test_handlers_added_and_levels_changed_mid_run(self):
        record = make_record()
        root = logging.getLogger()
        kept = RecordList()
        old_level = root.level

        def change():
            root.setLevel(logging.DEBUG)
            root.addHandler(kept)
            root.setLevel(logging.WARNING)
            root.removeHandler(kept)

        expected = {repr(outcome(lambda: rendition.i_parser(record, True)))}
        with root_handler(RecordList()) as alone:
            rendition.i_parser(record, True)
        try:
            seen = run_together(lambda: brasco.i_parser(record, True), change)
        finally:
            root.removeHandler(kept)
            root.setLevel(old_level)
        assert seen == expected
        assert set(kept.messages) <= set(alone.messages)


class TestDebugCallsLeftOutPerThread:
    """Each thread remembers on its own why its debug calls may be left out: a change made on
    another thread (the level, the handlers, the root logger's switch, a monitoring tool) is
    met by the next call, which then makes its debug calls as the rendition does."""

    @pytest.fixture()
    def record(self, caller):
        record = make_record()
        root = logging.getLogger()
        handlers, level = root.handlers[:], root.level
        root.handlers[:] = [logging.NullHandler()]
        root.setLevel(logging.WARNING)
        caller.run(lambda: brasco.i_parser(record, True))  # remembered, left out
        yield record
        root.handlers[:] = handlers
        root.setLevel(level)
        root.disabled = False

    def messages_of(self, call):
        with root_handler(RecordList()) as handler:
            call()
        return handler.messages

    def test_debug_turned_on(self, caller, record):
        expected = self.messages_of(lambda: rendition.i_parser(record, True))
        assert expected
        assert self.messages_of(lambda: caller.run(lambda: brasco.i_parser(record, True))) == (
            expected
        )
        kept = RecordList()
        logging.getLogger().addHandler(kept)  # at WARNING again: nothing
        caller.run(lambda: brasco.i_parser(record, True))
        assert kept.messages == []

    def test_the_handlers_emptied_in_place(self, caller, record):
        """With no handler, the host's logging.debug runs basicConfig() first."""
        root = logging.getLogger()
        root.handlers.clear()
        caller.run(lambda: brasco.i_parser(record, True))
        assert [type(handler) for handler in root.handlers] == [logging.StreamHandler]

    def test_the_root_logger_switched_off_and_on(self, caller, record):
        root = logging.getLogger()
        root.disabled = True
        root.setLevel(logging.DEBUG)
        kept = RecordList()
        root.addHandler(kept)
        caller.run(lambda: brasco.i_parser(record, True))
        assert kept.messages == []
        root.disabled = False
        caller.run(lambda: brasco.i_parser(record, True))
        assert kept.messages == self.messages_of(lambda: rendition.i_parser(record, True))

    @pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is new in 3.12")
    def test_a_monitoring_tool_set(self, caller, record):
        monitoring = sys.monitoring
        tool = 4
        started = []
        monitoring.use_tool_id(tool, "tavimo tests")
        try:
            monitoring.register_callback(
                tool, monitoring.events.PY_START, lambda code, offset: started.append(code.co_name)
            )
            monitoring.set_events(tool, monitoring.events.PY_START)
            caller.run(lambda: brasco.i_parser(record, True))
            monitoring.set_events(tool, 0)
        finally:
            monitoring.free_tool_id(tool)
        assert "isEnabledFor" in started


class TestDisplayTimesPerThread:
    """Each thread remembers on its own that the host's strftime would run untouched: a
    change made on another thread to what it reaches is met by the next call, which then
    shows the times the host's way, as the rendition does."""

    @pytest.fixture()
    def plan(self, caller):
        plan = make_record()["route"]
        caller.run(lambda: brasco.route_details(plan))  # remembered, rendered natively
        return plan

    def same_on(self, caller, plan):
        assert caller.run(lambda: brasco.route_details(plan)) == outcome(
            lambda: rendition.route_details(plan)
        )

    def test_time_strftime_replaced(self, caller, plan):
        real = time.strftime
        try:
            time.strftime = lambda layout, moment=None: "fake"
            self.same_on(caller, plan)
            assert "fake" in repr(caller.run(lambda: brasco.route_details(plan)))
        finally:
            time.strftime = real
        self.same_on(caller, plan)

    def test_the_registry_given_another_time(self, caller, plan):
        stand_in = types.ModuleType("time")
        stand_in.strftime = lambda layout, moment=None: "stand-in"
        stand_in.struct_time = time.struct_time
        try:
            sys.modules["time"] = stand_in
            self.same_on(caller, plan)
            assert "stand-in" in repr(caller.run(lambda: brasco.route_details(plan)))
        finally:
            sys.modules["time"] = time
        self.same_on(caller, plan)

    def test_the_import_replaced_in_the_builtins(self, caller, plan):
        import builtins

        real, imported = builtins.__import__, []

        def counting(name, *args, **kwargs):
            imported.append((threading.get_ident(), name))
            return real(name, *args, **kwargs)

        try:
            builtins.__import__ = counting
            self.same_on(caller, plan)
        finally:
            builtins.__import__ = real
        assert (caller.thread.ident, "time") in imported

    def test_another_time_locale(self, caller, plan, other_time_locale):
        self.same_on(caller, plan)
        locale.setlocale(locale.LC_TIME, "C")
        self.same_on(caller, plan)


def test_function_names_rebound_while_read():
    function = brasco.route_details
    names = ("route_details", "other_name")

    def change():
        function.__qualname__ = names[1]
        function.__name__ = names[1]
        function.__qualname__ = names[0]
        function.__name__ = names[0]

    def read():
        return (
            function.__name__,
            function.__qualname__,
            repr(function).split(" at ")[0],
            function.__reduce__(),
        )

    try:
        seen = run_together(read, change)
    finally:
        function.__name__ = function.__qualname__ = names[0]
    for text in seen:
        assert text.count("route_details") + text.count("other_name") == 4
