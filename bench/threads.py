"""How the native parser scales with threads, beside what the machine itself gives.

    python -m bench.threads [--runs N] [--min-time SECONDS] [--json FILE]
    (from the project root; ./dev bench-threads)

Each run measures, one after the other:

  yardstick  a plain Python loop in one process alone, then in two processes at once: the
             steps per second of the two together over those of one.  That is the
             parallelism the machine gives right now (about 2.0 on an idle two-core
             machine, less while other work takes the cores), against which the threads'
             figures are read;
  threads    calls per second of 1, 2 and 4 threads started together and calling for the
             same span of time (--min-time), each on a record of its own (its texts and
             numbers its own, as distinct records of a response have them), native and
             plain Python (bench/peer.py), logging set up as by logging.basicConfig().

Every figure is printed per run, then the median of the runs.  With the GIL the threads take
turns (2/1 near 1); on a free-threaded host with PYTHON_GIL=0 they run at once.
"""

import argparse
import json
import logging
import statistics
import subprocess
import sys
import time

from bench import peer
from bench.run import CASES, calibrate, native, throughput

THREAD_COUNTS = (1, 2, 4)
SCALING_CASES = ["one way, 1 leg", "round trip, 2+2 legs", "round trip, 3+3 legs"]

# The yardstick's loop: waits for the common start, then counts steps of plain Python for
# the given seconds and prints its rate.
YARDSTICK = """
import sys, time
start, seconds = float(sys.argv[1]), float(sys.argv[2])
while time.time() < start:
    pass
steps, began = 0, time.perf_counter()
while True:
    for _ in range(10000):
        steps += 1
    elapsed = time.perf_counter() - began
    if elapsed >= seconds:
        break
print(steps / elapsed)
"""


def processes_rate(count, seconds):
    """Steps per second of `count` processes running the loop at once, summed."""
    start = time.time() + 0.3  # every process started and waiting by then
    children = [
        subprocess.Popen(
            [sys.executable, "-c", YARDSTICK, str(start), str(seconds)],
            stdout=subprocess.PIPE,
            text=True,
        )
        for _ in range(count)
    ]
    return sum(float(child.communicate()[0]) for child in children)


def yardstick(seconds):
    return processes_rate(2, seconds) / processes_rate(1, seconds)


def scaling_run(cases, min_time):
    """Calls per second per case, implementation and thread count, for one run."""
    figures = {}
    for name, function, arguments, number in cases:
        figures[name] = {
            count: throughput(function, arguments, count, number, min_time)
            for count in THREAD_COUNTS
        }
    return figures


def prepared_cases(min_time):
    cases = []
    for name, function_name, arguments in CASES:
        if name not in SCALING_CASES:
            continue
        for kind, module in (("native", native), ("python", peer)):
            if module is None:
                continue
            function = getattr(module, function_name)
            cases.append(
                (f"{name}, {kind}", function, arguments, calibrate(function, arguments, min_time))
            )
    return cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="runs (the median is kept)")
    parser.add_argument(
        "--min-time",
        type=float,
        default=0.2,
        help="least duration of one thread's calls, in seconds",
    )
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE")
    options = parser.parse_args()

    logging.basicConfig()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}, GIL {'on' if gil else 'off'}")
    cases = prepared_cases(options.min_time)
    runs = []
    for run in range(options.runs):
        stick = yardstick(max(options.min_time, 0.3))
        figures = scaling_run(cases, options.min_time)
        runs.append({"yardstick": stick, "figures": figures})
        print(
            f"run {run + 1}: two processes/one {stick:.2f}; "
            + "; ".join(
                f"{name} 2/1 {counts[2] / counts[1]:.2f} 4/1 {counts[4] / counts[1]:.2f}"
                for name, counts in figures.items()
                if name.endswith("native")
            )
        )

    def median(values):
        return statistics.median(values)

    print(
        f"\nmedians of {options.runs} runs; two processes/one: "
        f"{median([run['yardstick'] for run in runs]):.2f} "
        f"(runs: {', '.join('%.2f' % run['yardstick'] for run in runs)})"
    )
    print(
        "%-34s %12s %12s %12s %6s %6s"
        % ("record, implementation", "1 thread /s", "2 threads /s", "4 threads /s", "2/1", "4/1")
    )
    summary = {}
    for name, _, _, _ in cases:
        rates = {
            count: median([run["figures"][name][count] for run in runs]) for count in THREAD_COUNTS
        }
        ratios = {
            f"{count}/1": median(
                [run["figures"][name][count] / run["figures"][name][1] for run in runs]
            )
            for count in (2, 4)
        }
        summary[name] = {"calls_per_s": rates, **ratios}
        print(
            "%-34s %12.0f %12.0f %12.0f %6.2f %6.2f"
            % (name, rates[1], rates[2], rates[4], ratios["2/1"], ratios["4/1"])
        )
    if options.json:
        with open(options.json, "w") as stream:
            json.dump(
                {
                    "python": sys.version.split()[0],
                    "gil": gil,
                    "runs": [
                        {
                            "yardstick": run["yardstick"],
                            "figures": {
                                name: {str(c): v for c, v in counts.items()}
                                for name, counts in run["figures"].items()
                            },
                        }
                        for run in runs
                    ],
                    "medians": {
                        name: {
                            "calls_per_s": {str(c): v for c, v in e["calls_per_s"].items()},
                            "2/1": e["2/1"],
                            "4/1": e["4/1"],
                        }
                        for name, e in summary.items()
                    },
                },
                stream,
                indent=2,
            )
            stream.write("\n")


if __name__ == "__main__":
    main()
