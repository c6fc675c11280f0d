"""Hostile callers: code that changes the module, the record or the logging setup while a
native function is running (tests/test_hostile_*.py).

Each scenario runs against tavimo.brasco and against the plain-Python rendition, doing the
same thing to each, and both must agree on the result or exception and on the debug
records; where the rendition does not apply, the documented outcome is checked directly.
Scenarios then run a few hundred times more and must leave the interpreter's allocated
blocks flat.  Module globals and builtins are always put back.
"""

import builtins
import contextlib
import logging
from datetime import datetime

import tavimo.brasco as brasco
from testkit import rendition
from testkit.allocations import BLOCKS_COUNTED_AT_ONCE, blocks_left_by
from testkit.rendition import observe

HEADER = brasco.leg_details_header
BRASCO_GLOBALS = (
    "datetime",
    "timedelta",
    "logging",
    "leg_details_header",
    "route_details",
    "get_ret_times",
)
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
        if [(key, id(value)) for key, value in table.items()] != [
            (key, id(value)) for key, value in saved.items()
        ]:
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
    if not BLOCKS_COUNTED_AT_ONCE:
        return

    def once():
        with globals_restored(brasco):
            try:
                scenario(brasco)
            except Exception:
                pass

    with rendition.runner_handlers_detached():
        growth = [blocks_left_by(once, rounds=rounds, warmup=30)]
        growth += [blocks_left_by(once, rounds=rounds) for _ in range(windows - 1)]
    assert min(growth) <= 20, f"allocated blocks grew by {growth} per {rounds} runs"


class Stamped(datetime):
    """A datetime class of our own: its display times are recognisable."""

    def strftime(self, layout):
        return "stamped " + super().strftime(layout)
