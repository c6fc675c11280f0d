"""Hostile callers of tavimo.brasco: reference cycles through a native function's
__dict__, which the collector must see and free."""

import gc

import tavimo.brasco as brasco
from conftest import run_python


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
