"""The calls to count instructions of, one record of the benchmark N times.

    python -m bench.instructions RECORD N [--python]      (from the project root)

RECORD is one of one-way, round-trip-2+2, round-trip-3+3, route-details, get-ret-times;
--python runs the plain-Python peer instead of tavimo.brasco.  Logging is set up as by
logging.basicConfig(), as in the benchmark.  Run under callgrind twice, with N calls and
with none, the difference of the two totals over N is what one call costs:

    valgrind --tool=callgrind --callgrind-out-file=N.out python -m bench.instructions one-way 2000
    valgrind --tool=callgrind --callgrind-out-file=0.out python -m bench.instructions one-way 0

(the totals are the "summary:" lines of the two files; PYTHONHASHSEED=0 keeps the runs
alike).  The calls run 50 times first, so that caches and the interpreter's specialised
code are settled in both runs.
"""

import argparse
import logging

from bench import peer, records

RECORDS = {
    "one-way": ("i_parser", (records.ONE_WAY_1_LEG, False)),
    "round-trip-2+2": ("i_parser", (records.ROUND_TRIP_2_2, True)),
    "round-trip-3+3": ("i_parser", (records.ROUND_TRIP_3_3, True)),
    "route-details": ("route_details", (records.ROUTE_PLAN_2_2, "outbound")),
    "get-ret-times": ("get_ret_times", (records.ROUND_TRIP_3_3["route"],)),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("record", choices=RECORDS)
    parser.add_argument("calls", type=int)
    parser.add_argument("--python", action="store_true", help="the plain-Python peer")
    options = parser.parse_args()
    if options.python:
        module = peer
    else:
        import tavimo.brasco as module
    logging.basicConfig()
    name, arguments = RECORDS[options.record]
    function = getattr(module, name)
    for _ in range(50):
        function(*arguments)
    for _ in range(options.calls):
        function(*arguments)


if __name__ == "__main__":
    main()
