"""The peak memory of `tavimo parse` on JSON Lines input, for a short and a long stream.

    python -m bench.json_lines [--itineraries N] [--times K]
    (from the project root)

Writes N round trips (default 10,000, made as bench/cli.py makes them) as JSON Lines, and
K times as many (default 8), then runs `tavimo parse FILE --format F` on each, as a fresh
process, for every format, its output to /dev/null, and prints each run's peak resident
memory (the kernel's accounting of the finished process) and seconds.  Reading a line at
a time, the peak should not grow with the stream.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

from bench.cli import round_trips

FORMATS = ["table", "jsonl", "csv"]


def peak_and_seconds(command):
    """The peak resident memory in MiB and the wall-clock seconds of one run of COMMAND."""
    with open(os.devnull, "wb") as nowhere:
        start = time.perf_counter()
        child = subprocess.Popen(command, stdout=nowhere)
        _pid, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
    if status != 0:
        raise SystemExit("{} ended with status {}".format(" ".join(command), status))
    return usage.ru_maxrss / 1024, seconds  # ru_maxrss is in KiB on Linux


def write_stream(path, itineraries, times):
    """The stream of ITINERARIES round trips, TIMES over, as JSON Lines at PATH."""
    trips = [json.dumps(trip) + "\n" for trip in round_trips(itineraries)]
    with open(path, "w", encoding="utf-8") as file:
        for _ in range(times):
            file.writelines(trips)


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--itineraries", type=int, default=10000)
    options.add_argument("--times", type=int, default=8)
    options.add_argument("--write", metavar="PATH", help=argparse.SUPPRESS)
    args = options.parse_args()
    if args.write:
        write_stream(args.write, args.itineraries, args.times)
        return

    with tempfile.TemporaryDirectory() as work:
        print(
            "{:<8} {:>12} {:>10} {:>9} {:>9}".format(
                "format", "itineraries", "input MB", "peak MiB", "seconds"
            )
        )
        for times in (1, args.times):
            # written by another process: a child's peak starts from its parent's
            path = os.path.join(work, "stream.jsonl")
            subprocess.run(
                [
                    sys.executable,
                    "-m",
                    "bench.json_lines",
                    "--write",
                    path,
                    "--itineraries",
                    str(args.itineraries),
                    "--times",
                    str(times),
                ],
                check=True,
            )
            size = os.path.getsize(path) / 1e6
            for name in FORMATS:
                peak, seconds = peak_and_seconds(
                    [sys.executable, "-m", "tavimo", "parse", path, "--format", name]
                )
                print(
                    "{:<8} {:>12} {:>10.0f} {:>9.1f} {:>9.2f}".format(
                        name, args.itineraries * times, size, peak, seconds
                    )
                )


if __name__ == "__main__":
    main()
