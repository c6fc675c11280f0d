"""The benchmark's split of a call's instructions between the module and the interpreter."""

from bench.instruction_split import kind_of, self_cost_by_object, split

# The shape callgrind writes with name compression: an object is named where it is first
# mentioned, which may be a call's target (cob=), and referred to by number afterwards; the
# cost line after calls= is what the callee ran, counted again under the callee's own ob=.
CALLGRIND = """\
version: 1
positions: line
events: Ir
ob=(1) /venv/lib/python3.14/site-packages/tavimo/brasco.cpython-314-x86_64-linux-gnu.so
fl=(1) leg_rows.cpp
fn=(1) leg_row
10 100
+2 20
cob=(2) /usr/bin/python3.14
cfi=(2) ???
cfn=(2) PyDict_GetItemRef
calls=3 0
12 900
* 5
ob=(2)
fl=(2)
fn=(2)
0 900
ob=(3) /usr/lib/x86_64-linux-gnu/libc.so.6
fl=(3) memcpy.S
fn=(3) memcpy
0 40
"""


def test_costs_go_to_the_object_that_ran_them_and_calls_are_not_counted_twice():
    totals = self_cost_by_object(CALLGRIND.splitlines(True))
    assert totals == {
        "/venv/lib/python3.14/site-packages/tavimo/brasco.cpython-314-x86_64-linux-gnu.so": 125,
        "/usr/bin/python3.14": 900,
        "/usr/lib/x86_64-linux-gnu/libc.so.6": 40,
    }


def test_positions_with_addresses_are_skipped_to_the_cost():
    lines = ["positions: instr line\n", "ob=(1) /usr/bin/python3.12\n", "0x4a 7 30\n"]
    assert self_cost_by_object(lines) == {"/usr/bin/python3.12": 30}


def test_objects_are_sorted_into_kinds_and_the_runs_subtracted():
    assert kind_of("/x/tavimo/questions.cpython-38-x86_64-linux-gnu.so") == "the module"
    assert kind_of("/root/.pyenv/versions/3.12.1/lib/libpython3.12.so.1.0") == "the interpreter"
    assert kind_of("/opt/python/bin/python3.13t") == "the interpreter"
    assert kind_of("/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2") == "the loader"
    assert kind_of("/x/lib-dynload/_datetime.cpython-312-x86_64-linux-gnu.so") == "the interpreter"
    assert kind_of("/usr/lib/x86_64-linux-gnu/libm.so.6") == "other"
    with_calls = {"/usr/bin/python3.14": 5000, "/x/tavimo/brasco.so": 3000}
    without_calls = {"/usr/bin/python3.14": 1000, "/x/tavimo/brasco.so": 1000}
    assert split(with_calls, without_calls, 10) == {"the interpreter": 400, "the module": 200}
