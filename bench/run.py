"""How much the native parser costs, per call, against plain Python and against its floor.

    python -m bench.run [--json FILE] [--beside FILE] [--repeat N] [--min-time SECONDS]
    (from the project root)

For each record the same call is timed three ways, in turns within one process, and the best
of the repeats is kept:

  native   tavimo.brasco's function;
  python   the plain-Python rendition of the same function (bench/peer.py);
  floor    only the logging.debug calls the function has to make, with the very messages it
           logs, ready-made, in a loop: what the host's own logging costs;
  build    for i_parser, a C function that reads the record as i_parser does and builds a
           result of the same shape from ready-made texts (bench/build_floor.cpp, compiled
           here): the cost of the result itself, what no implementation can go below.

Logging is set up as by logging.basicConfig(): the root logger at WARNING with a handler, so
the debug calls are made and dropped, as in a normal run of the tool.  A second table times
native and python with the root logger at DEBUG and a handler that formats every record
(into a null stream), where every debug call has to be made.

--beside FILE prints the ratios native/python of another run (its --json file, from another
host, say) beside this run's.

A third table runs the same calls on one thread and on two threads at once (the machine has
two cores), all calling for the same span of time, each on a copy of the record of its own
(new texts and numbers, as distinct records of a response), and gives the calls per second
of both and their ratio: near 2 where the calls run in parallel (a free-threaded host), near
1 where they take turns under the GIL.

Before timing, the native and the Python results and log records are compared once for every
record, so that the figures always compare the same work.
"""

import argparse
import gc
import itertools
import json
import locale
import logging
import os
import sys
import threading
import time

try:
    import tavimo.settings  # noqa: F401  (installed package first, then the source tree)
except ImportError:
    sys.path.append(
        os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
    )

from bench import peer, records  # noqa: E402

try:
    import tavimo.brasco as native

    native_missing = None
except ImportError as error:
    native = None
    native_missing = str(error)

CASES = [
    # name, function, arguments
    ("one way, 1 leg", "i_parser", (records.ONE_WAY_1_LEG, False)),
    ("round trip, 2+2 legs", "i_parser", (records.ROUND_TRIP_2_2, True)),
    ("round trip, 3+3 legs", "i_parser", (records.ROUND_TRIP_3_3, True)),
    ("route_details, 2+2 legs", "route_details", (records.ROUTE_PLAN_2_2, "outbound")),
    ("get_ret_times, 3+3 legs", "get_ret_times", (records.ROUND_TRIP_3_3["route"],)),
]


class Capture(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


def logged_call(function, arguments):
    """The result of function(*arguments) and the messages it logged."""
    root = logging.getLogger()
    capture = Capture()
    level, handlers = root.level, root.handlers[:]
    root.handlers[:] = [capture]
    root.setLevel(logging.DEBUG)
    try:
        return function(*arguments), capture.messages
    finally:
        root.handlers[:] = handlers
        root.setLevel(level)


def log_floor(messages):
    for message in messages:
        logging.debug(message)


def compile_build_floor():
    """bench/build_floor.cpp built for this interpreter, or None (with the reason printed)."""
    import importlib.util
    import subprocess
    import sysconfig
    import tempfile

    from tools import build_recipe

    compiler = build_recipe.quick_compiler("build-floor")
    if compiler is None:
        print("bench: no C++ compiler: no build figure", file=sys.stderr)
        return None
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "build_floor.cpp")
    output = os.path.join(
        tempfile.mkdtemp(prefix="tavimo-bench-"),
        "build_floor" + sysconfig.get_config_var("EXT_SUFFIX"),
    )
    made = subprocess.run(
        build_recipe.quick_build_command("build-floor", compiler, [source], output),
        capture_output=True,
        text=True,
    )
    if made.returncode != 0:
        print(
            "bench: bench/build_floor.cpp did not compile: no build figure\n" + made.stderr,
            file=sys.stderr,
        )
        return None
    spec = importlib.util.spec_from_file_location("build_floor", output)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_loop(function, arguments, number):
    calls = itertools.repeat(arguments, number)
    start = time.perf_counter()
    for call_arguments in calls:
        function(*call_arguments)
    return time.perf_counter() - start


def calibrate(function, arguments, min_time):
    """A loop count whose run lasts at least min_time (1, 2, 5, 10, 20, 50, ...)."""
    for exponent in itertools.count():
        for factor in (1, 2, 5):
            number = factor * 10**exponent
            if run_loop(function, arguments, number) >= min_time:
                return number
    raise AssertionError("unreachable")


def check_same_work(cases):
    """Native and Python give equal results and log equal records; exits otherwise."""
    for name, function_name, arguments in cases:
        native_result, native_log = logged_call(getattr(native, function_name), arguments)
        python_result, python_log = logged_call(getattr(peer, function_name), arguments)
        if native_result != python_result or native_log != python_log:
            sys.exit(
                f"bench: {name}: the native module and bench/peer.py differ, so timing "
                f"them compares different work.\n  native: {native_result!r}\n"
                f"          {native_log!r}\n  python: {python_result!r}\n"
                f"          {python_log!r}"
            )


def measure(cases, repeat, min_time, build_floor=None, with_floors=True):
    plans = []
    for name, function_name, arguments in cases:
        result, messages = logged_call(getattr(peer, function_name), arguments)
        runs = {"python": (getattr(peer, function_name), arguments)}
        if with_floors:
            runs["floor"] = (log_floor, (messages,))
        if with_floors and build_floor is not None and function_name == "i_parser":
            runs["build"] = (build_floor.build, (*arguments, result, peer.leg_details_header))
        if native is not None:
            runs = {"native": (getattr(native, function_name), arguments), **runs}
        numbers = {
            kind: calibrate(function, args, min_time) for kind, (function, args) in runs.items()
        }
        plans.append((name, len(messages), runs, numbers))

    best = {(name, kind): float("inf") for name, _, runs, _ in plans for kind in runs}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            for name, _, runs, numbers in plans:
                for kind, (function, args) in runs.items():
                    seconds = run_loop(function, args, numbers[kind]) / numbers[kind]
                    best[name, kind] = min(best[name, kind], seconds)
    finally:
        if gc_was_enabled:
            gc.enable()

    results = {}
    for name, log_records, runs, _ in plans:
        entry = {"log_records": log_records}
        for kind in ("native", "python", "floor", "build"):
            entry[kind + "_ns"] = round(best[name, kind] * 1e9, 1) if kind in runs else None
        entry["native/python"] = ratio(entry["native_ns"], entry["python_ns"])
        entry["native/floor"] = (
            ratio(entry["native_ns"], entry["floor_ns"]) if log_records else None
        )
        entry["native/build"] = ratio(entry["native_ns"], entry["build_ns"])
        results[name] = entry
    return results


THREAD_CASES = ["one way, 1 leg", "round trip, 3+3 legs"]


def own_copy(value):
    """A copy of a record down to its texts and numbers, as records of one response are
    distinct (each a new object from the JSON decoder; a deep copy would share them, and
    threads reading one text or number all write its reference count).  Keys stay shared,
    as the decoder shares them across a response; containers of other types are not
    copied."""
    if type(value) is dict:
        return {key: own_copy(item) for key, item in value.items()}
    if type(value) in (list, tuple):
        return type(value)(own_copy(item) for item in value)
    if type(value) is str:
        return value.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")
    if type(value) in (int, float):
        return type(value)(repr(value))
    return value


def throughput(function, arguments, threads, number, seconds):
    """Calls per second of `threads` threads, started together, each calling on a record of
    its own (as threads parsing a response would) until `seconds` have passed, in runs of a
    fiftieth of `number` calls (`number`: the calls that last at least `seconds` on one
    thread).  All of them run for the whole span, as the yardstick's processes do, so that
    a thread that happens to finish its share later does not run alone at the end."""
    start_line = threading.Barrier(threads + 1)
    chunk = max(1, number // 50)
    calls = [0] * threads
    deadline = 0.0

    def worker(index, own_arguments):
        start_line.wait()
        made = 0
        while True:
            run_loop(function, own_arguments, chunk)
            made += chunk
            if time.perf_counter() >= deadline:
                break
        calls[index] = made

    pool = [
        threading.Thread(target=worker, args=(index, own_copy(arguments)))
        for index in range(threads)
    ]
    for thread in pool:
        thread.start()
    start = time.perf_counter()
    deadline = start + seconds
    start_line.wait()
    for thread in pool:
        thread.join()
    return sum(calls) / (time.perf_counter() - start)


def measure_threads(cases, repeat, min_time):
    results = {}
    for name, function_name, arguments in cases:
        if name not in THREAD_CASES:
            continue
        for kind, module in (("native", native), ("python", peer)):
            if module is None:
                continue
            function = getattr(module, function_name)
            number = calibrate(function, arguments, min_time)
            best = {
                threads: max(
                    throughput(function, arguments, threads, number, min_time)
                    for _ in range(repeat)
                )
                for threads in (1, 2)
            }
            results[f"{name}, {kind}"] = {
                "1_thread_calls_per_s": round(best[1]),
                "2_threads_calls_per_s": round(best[2]),
                "2/1": ratio(best[2], best[1]),
            }
    return results


def ratio(numerator, denominator):
    if numerator is None or not denominator:
        return None
    return round(numerator / denominator, 3)


def show(value, pattern):
    return "-" if value is None else pattern % value


def show_beside(results, other):
    """This run's native/python beside another run's, record by record."""
    here, there = "Python " + sys.version.split()[0], "Python " + other["python"]
    print("\nnative/python beside %s:" % there)
    print("%-24s %14s %14s" % ("record", here, there))
    for name, entry in results.items():
        theirs = other["results"].get(name, {}).get("native/python")
        print(
            "%-24s %14s %14s" % (name, show(entry["native/python"], "%.3f"), show(theirs, "%.3f"))
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE")
    parser.add_argument("--repeat", type=int, default=7, help="timed runs per call (best kept)")
    parser.add_argument(
        "--min-time", type=float, default=0.1, help="least duration of one timed run, in seconds"
    )
    parser.add_argument(
        "--beside",
        metavar="FILE",
        help="a --json file of another run, whose ratios are printed beside",
    )
    options = parser.parse_args()
    other = None
    if options.beside:
        with open(options.beside) as stream:
            other = json.load(stream)

    logging.basicConfig()
    lc_time = locale.setlocale(locale.LC_TIME)
    print(f"Python {sys.version.split()[0]}, LC_TIME {lc_time}")
    if native is None:
        print(
            f"tavimo.brasco cannot be imported ({native_missing}): timing only the plain-Python "
            "rendition and the floor",
            file=sys.stderr,
        )
    else:
        print(f"native: {native.__file__}")
        check_same_work(CASES)

    build_floor = compile_build_floor()
    results = measure(CASES, options.repeat, options.min_time, build_floor)

    header = (
        "record",
        "logs",
        "native ns",
        "python ns",
        "floor ns",
        "build ns",
        "native/python",
        "native/floor",
        "native/build",
    )
    print("%-24s %4s %10s %10s %9s %9s %14s %13s %13s" % header)
    for name, entry in results.items():
        print(
            "%-24s %4d %10s %10s %9s %9s %14s %13s %13s"
            % (
                name,
                entry["log_records"],
                show(entry["native_ns"], "%.0f"),
                show(entry["python_ns"], "%.0f"),
                show(entry["floor_ns"], "%.0f"),
                show(entry["build_ns"], "%.0f"),
                show(entry["native/python"], "%.3f"),
                show(entry["native/floor"], "%.3f"),
                show(entry["native/build"], "%.3f"),
            )
        )

    # Every debug call made: the root logger at DEBUG, each record formatted.
    root = logging.getLogger()
    handlers, level = root.handlers[:], root.level
    formatting = logging.StreamHandler(open(os.devnull, "w"))
    formatting.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
    root.handlers[:] = [formatting]
    root.setLevel(logging.DEBUG)
    try:
        debug_results = measure(CASES, options.repeat, options.min_time, with_floors=False)
    finally:
        root.handlers[:] = handlers
        root.setLevel(level)
        formatting.stream.close()
    if other is not None:
        show_beside(results, other)
    print("\nwith DEBUG on and a formatting handler:")
    print("%-24s %10s %10s %14s" % ("record", "native ns", "python ns", "native/python"))
    for name, entry in debug_results.items():
        print(
            "%-24s %10s %10s %14s"
            % (
                name,
                show(entry["native_ns"], "%.0f"),
                show(entry["python_ns"], "%.0f"),
                show(entry["native/python"], "%.3f"),
            )
        )

    thread_results = measure_threads(CASES, options.repeat, options.min_time)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"\none thread against two at once (GIL {'on' if gil else 'off'}):")
    print("%-32s %14s %14s %8s" % ("record, implementation", "1 thread /s", "2 threads /s", "2/1"))
    for name, entry in thread_results.items():
        print(
            "%-32s %14d %14d %8.3f"
            % (name, entry["1_thread_calls_per_s"], entry["2_threads_calls_per_s"], entry["2/1"])
        )

    if options.json:
        with open(options.json, "w") as stream:
            json.dump(
                {
                    "python": sys.version.split()[0],
                    "lc_time": lc_time,
                    "native_module": None if native is None else native.__file__,
                    "repeat": options.repeat,
                    "min_time": options.min_time,
                    "results": results,
                    "debug_on": debug_results,
                    "gil": gil,
                    "threads": thread_results,
                },
                stream,
                indent=2,
            )
            stream.write("\n")


if __name__ == "__main__":
    main()
