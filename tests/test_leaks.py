"""Leaks and memory errors of the native modules.

- In process: every public callable (the three brasco functions, get_questions, the three
  validate methods, the four filters, the validator classes) is called over inputs that
  succeed and inputs that fail, a hundred thousand calls in all.  After a warm-up the
  interpreter's allocated blocks stay flat within a small fixed slack, and the reference
  counts of the objects that the calls touch (their inputs, the module-level objects,
  None, True and False) stay where they were.
- Under valgrind: a short run of leak_script.py loses no block "definitely" whose
  allocation stack passes through our modules, and shows no invalid access in them.  A
  canary module that leaks on purpose, run alongside, proves that such a block is found.
- In the sanitizer run (./dev sanitize): the installed modules are instrumented, and a
  use-after-free or an undefined operation in a native module really ends the process
  with a report.
"""

import math
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import leak_script
import tavimo.brasco as brasco
from conftest import BLOCKS_COUNTED_AT_ONCE, FREE_THREADED, ROOT
from testkit import rendition
from testkit.allocations import blocks
from tools import build_recipe

HERE = pathlib.Path(__file__).resolve().parent
SANITIZE_RUN = os.environ.get("TAVIMO_SANITIZE") == "1"
PRELOADED_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
POOLED = BLOCKS_COUNTED_AT_ONCE

# Calls per callable; together a little over a hundred thousand.
CALLS = {
    "i_parser": 15000,
    "route_details": 10000,
    "get_ret_times": 10000,
    "get_questions": 7000,
    "IataCodeValidator.validate": 8000,
    "DateValidator.validate": 8000,
    "NumberValidator.validate": 8000,
    "IataCodeValidator()": 3000,
    "DateValidator()": 3000,
    "NumberValidator()": 3000,
    "filter adults": 7000,
    "filter teens": 7000,
    "filter children": 7000,
    "filter infants": 7000,
}
BLOCK_SLACK = 50
REFCOUNT_SLACK = 5

WORKLOADS = leak_script.workloads()


def test_every_public_callable_is_exercised_a_hundred_thousand_times_in_all():
    expected = {"i_parser", "route_details", "get_ret_times"}
    if leak_script.questions is not None:
        expected = set(CALLS)
    assert set(WORKLOADS) == expected
    if leak_script.questions is not None:
        assert sum(CALLS.values()) >= 100_000


def reachable(*roots):
    """The objects reachable from roots through containers and closures (by identity)."""
    found, pending = {}, list(roots)
    while pending:
        item = pending.pop()
        if id(item) in found:
            continue
        found[id(item)] = item
        if isinstance(item, dict):
            pending.extend(item.keys())
            pending.extend(item.values())
        elif isinstance(item, (list, tuple, set, frozenset)):
            pending.extend(item)
        elif callable(item) and getattr(item, "__closure__", None):
            pending.extend(cell.cell_contents for cell in item.__closure__)
    return list(found.values())


def module_objects():
    modules = [brasco] + ([leak_script.questions] if leak_script.questions else [])
    objects = []
    for module in modules:
        for name, value in vars(module).items():
            if name not in ("__builtins__", "__loader__", "__spec__"):
                objects.extend(reachable(value))
    return objects


def refcounts(objects):
    return [sys.getrefcount(item) for item in objects]


def shared(item):
    """Objects that the whole interpreter shares (None, True, False, the cached small
    integers, one-character texts, the empty tuple): other code moves their counts a
    little, but a reference leaked or dropped per call would still move them by at least
    the number of rounds."""
    kind = type(item)
    return (
        item is None
        or kind is bool
        or (kind is int and -5 <= item <= 256)
        or (kind is str and len(item) <= 1)
        or (kind is tuple and not item)
    )


@pytest.mark.parametrize("name", sorted(WORKLOADS))
def test_calls_leave_blocks_and_reference_counts_flat(name):
    calls = WORKLOADS[name]
    rounds = math.ceil(CALLS[name] / len(calls))

    def run(count):
        for _ in range(count):
            for call in calls:
                call()

    watched = reachable(*calls) + module_objects() + [None, True, False]
    growth = []
    with rendition.runner_handlers_detached():
        run(max(20, rounds // 10))  # warm-up: caches, free lists, interned texts
        # Two windows of half the rounds each: a leak grows in both, a cache that fills
        # slowly only in the first.
        for _ in range(2):
            blocks_before = blocks()  # collects first, so that old garbage moves no count
            counts_before = refcounts(watched)
            run(rounds // 2)
            growth.append(blocks() - blocks_before)
        counts_after = refcounts(watched)

    if POOLED:
        assert min(growth) <= BLOCK_SLACK, f"{name}: blocks grew by {growth} per window"
    changed = [
        (repr(item)[:80], before, after)
        for item, before, after in zip(watched, counts_before, counts_after)
        if abs(after - before) > (rounds // 8 if shared(item) else REFCOUNT_SLACK)
    ]
    assert not changed, f"{name}: reference counts moved: {changed}"


# --- valgrind -----------------------------------------------------------------------------

LEAKING_CANARY = r"""
#include <Python.h>

/* Loses one text on purpose: what a reference leak looks like to valgrind.  (A lost
   container stays linked in the collector's lists, so valgrind sees it as reachable; the
   in-process counts catch those.) */
static PyObject* lose_a_text(PyObject* self, PyObject* unused) {
    static int count = 0;
    PyObject* text = PyUnicode_FromFormat("lost text %d", ++count);
    if (!text) return NULL;
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {{"lose_a_text", lose_a_text, METH_NOARGS, NULL},
                                {NULL, NULL, 0, NULL}};
static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "leak_canary", NULL, -1,
                                        methods};
PyMODINIT_FUNC PyInit_leak_canary(void) { return PyModule_Create(&definition); }
"""

# A stack frame in our modules: the shared object, or (with debug information) a source of
# the module bodies or the frame.
OUR_OBJECTS = re.compile(
    r"/tavimo/(brasco|questions)\.[^/\s)]*\.so"
    r"|(^|/)(tavimo|module_frame)/([\w.]+/)?[\w.]+\.[ch]pp:\d+"
)
CANARY_OBJECT = re.compile(r"leak_canary\.(c:\d+|[^/\s)]*\.so)")


def compile_extension(directory, name, source, kind="canary"):
    compiler = build_recipe.quick_compiler(kind)
    if compiler is None:
        pytest.skip("no C compiler")
    source_path = directory / (name + ".c")
    source_path.write_text(source)
    output = directory / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    command = build_recipe.quick_build_command(kind, compiler, [source_path], output)
    subprocess.run(command, check=True, env=clean_environment())
    return output


def clean_environment(**changes):
    """This environment without the sanitizer runtime preloaded."""
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    env.update(changes)
    return env


def loss_records(report):
    """The blocks of a valgrind report: lists of lines, one block per message."""
    records, current = [], []
    for line in report.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if not body.strip():
            if current:
                records.append(current)
            current = []
        else:
            current.append(body)
    if current:
        records.append(current)
    return records


# The host importing a module: what that module's import allocates is its own, even when a
# module body of ours asked for the import (3.12 keeps some texts of code it loads at exit).
IMPORTING = re.compile(r"\bimport_find_and_load\b|\bPyImport_ImportModuleLevelObject\b")


# The host interning a text: 3.12 makes interned texts immortal and does not free them at
# exit (3.13 does), so a text that a module interned and whose last holder went away while
# the interpreter was finalised is lost by the host.
INTERNING = re.compile(r"\bPyUnicode_Intern(FromString|InPlace)\b")
HOST_LOSES_INTERNED_TEXTS = sys.version_info[:2] == (3, 12)


def made_by(record, pattern):
    """Whether the stack of a record reaches a frame matching pattern before any frame of
    an import (or, where the host loses them, of interning a text); stacks are listed
    innermost first."""
    for line in record[1:]:
        if pattern.search(line):
            return True
        if IMPORTING.search(line) or (HOST_LOSES_INTERNED_TEXTS and INTERNING.search(line)):
            return False
    return False


def findings(report, pattern):
    """Definitely lost blocks and invalid accesses made by code matching pattern."""
    bad = []
    for record in loss_records(report):
        head = record[0]
        if (
            "definitely lost" in head or head.startswith("Invalid ") or "uninitialised" in head
        ) and made_by(record, pattern):
            bad.append("\n".join(record))
    return bad


@pytest.mark.slow
@pytest.mark.compiles
@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@pytest.mark.skipif(PRELOADED_ASAN, reason="valgrind cannot run with the sanitizer runtime")
@pytest.mark.skipif(
    FREE_THREADED,
    reason="a free-threaded host has no PYTHONMALLOC=malloc, "
    "which valgrind needs to see every block",
)
def test_valgrind_finds_no_block_lost_by_our_modules(tmp_path):
    compile_extension(tmp_path, "leak_canary", LEAKING_CANARY)
    driver = tmp_path / "driver.py"
    driver.write_text(
        textwrap.dedent(f"""
        import runpy
        import sys
        sys.path[:0] = [{str(ROOT)!r}, {str(tmp_path)!r}]
        import leak_canary
        leak_script = runpy.run_path({str(HERE / "leak_script.py")!r})
        for _ in range(3):
            leak_canary.lose_a_text()
        leak_script["main"](8)
    """)
    )
    log = tmp_path / "valgrind.log"
    result = subprocess.run(
        [
            "valgrind",
            "--leak-check=full",
            "--show-leak-kinds=definite",
            "--fullpath-after=",
            "--errors-for-leak-kinds=definite",
            "--num-callers=40",
            "--log-file=" + str(log),
            sys.executable,
            str(driver),
        ],
        env=clean_environment(PYTHONMALLOC="malloc"),
        capture_output=True,
        text=True,
        timeout=600,
        cwd=str(tmp_path),
    )
    assert "calls:" in result.stdout, result.stderr
    report = log.read_text()
    assert findings(report, CANARY_OBJECT), "the canary's lost text was not found:\n" + report
    assert not findings(report, OUR_OBJECTS), "\n\n".join(findings(report, OUR_OBJECTS))


# --- the sanitizer run --------------------------------------------------------------------

MEMORY_ERROR_CANARY = r"""
#include <Python.h>
#include <limits.h>
#include <stdlib.h>

/* A read after free, and a signed overflow: what the sanitizer run must never let pass. */
static PyObject* read_after_free(PyObject* self, PyObject* unused) {
    volatile char* buffer = malloc(16);
    buffer[0] = 1;
    free((void*)buffer);
    return PyLong_FromLong(buffer[0]);
}

static PyObject* overflow(PyObject* self, PyObject* arg) {
    volatile int value = (int)PyLong_AsLong(arg);
    return PyLong_FromLong(value + INT_MAX);
}

static PyMethodDef methods[] = {{"read_after_free", read_after_free, METH_NOARGS, NULL},
                                {"overflow", overflow, METH_O, NULL},
                                {NULL, NULL, 0, NULL}};
static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "memory_canary", NULL, -1,
                                        methods};
PyMODINIT_FUNC PyInit_memory_canary(void) { return PyModule_Create(&definition); }
"""

sanitize_run_only = pytest.mark.skipif(not SANITIZE_RUN, reason="only in ./dev sanitize")


@sanitize_run_only
@pytest.mark.parametrize("name", ["brasco", "questions"])
def test_installed_modules_are_instrumented(name):
    module = {"brasco": brasco, "questions": leak_script.questions}[name]
    if module is None:
        pytest.skip("tavimo.questions is not built")
    assert PRELOADED_ASAN and os.environ.get("PYTHONMALLOC") == "malloc"
    binary = pathlib.Path(module.__file__).read_bytes()
    assert b"__asan_init" in binary and b"__ubsan_handle" in binary


@pytest.mark.slow
@pytest.mark.compiles
@sanitize_run_only
@pytest.mark.parametrize(
    "call, report",
    [
        ("read_after_free()", "heap-use-after-free"),
        ("overflow(1)", "signed integer overflow"),
    ],
)
def test_a_memory_error_in_a_native_module_fails_the_process(tmp_path, call, report):
    compile_extension(tmp_path, "memory_canary", MEMORY_ERROR_CANARY, "sanitized-canary")
    # The reports of this run go to stderr, not to the run's report directory.
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":log_path=stderr"
    env["UBSAN_OPTIONS"] = env.get("UBSAN_OPTIONS", "") + ":log_path=stderr"
    result = subprocess.run(
        [sys.executable, "-c", f"import memory_canary; memory_canary.{call}; print('survived')"],
        cwd=str(tmp_path),
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode != 0 and "survived" not in result.stdout, result.stderr
    assert report in result.stderr
