"""What the whole `tavimo parse` command costs at scale, against loading and parsing alone.

    python bench/cli.py [--itineraries N] [--repeat N] [--response sample|round-trips]

Two responses of N itineraries each (default 5,000): the bundled sample repeated (mostly
short trips), and round trips of three or four legs each way, made here from the records
of bench/records.py with varied airports, times and flights.  Each run is a fresh
interpreter, as when a user types the command, and the best of the repeats is kept:

  parse only   load the JSON and run i_parser on every record (the round-trip flag taken
               from the record's legs, as the command does), printing nothing;
  table        tavimo parse FILE, output to a file;
  json         tavimo parse FILE --format json, output to a file;
  csv          tavimo parse FILE --format csv, output to a file.

The ratios are each command's time over the parse-only time.
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta

import records

PARSE_ONLY = """\
import json, sys
from tavimo.brasco import i_parser
with open(sys.argv[1], "rb") as file:
    records = json.loads(file.read())["data"]
for record in records:
    i_parser(record, any(leg.get("return") == 1 for leg in record["route"]))
"""

FORMATS = ["table", "json", "csv"]


def sample_records():
    from tavimo.cli import SAMPLE
    with open(SAMPLE, "rb") as file:
        return json.loads(file.read())["data"]


def round_trips(count):
    """COUNT round trips of three or four legs each way, all different."""
    codes = sorted(records.AIRPORTS)
    carriers = ["LH", "KL", "AF", "LX", "OS", "FI", "TP", "U2"]
    start = datetime(2027, 4, 1, 6, 0)
    made = []
    for number in range(count):
        chance = random.Random(number)
        legs = []
        for returning, moment in ((0, start + timedelta(days=number % 90)),
                                  (1, start + timedelta(days=number % 90 + 7))):
            places = chance.sample(codes, 4 + chance.randrange(2))
            if returning:
                places[0] = legs[-1]["flyTo"]  # the way back starts where the way out ended
            for fly_from, fly_to in zip(places, places[1:]):
                moment += timedelta(minutes=chance.randrange(40, 240))
                departure = moment
                moment += timedelta(minutes=chance.randrange(50, 600))
                carrier = chance.choice(carriers)
                flight = chance.randrange(1, 9999)
                codeshare = chance.random() < 0.3
                legs.append(records.leg(
                    number * 10 + len(legs), fly_from, fly_to,
                    departure.strftime("%Y-%m-%dT%H:%M:00.000Z"),
                    moment.strftime("%Y-%m-%dT%H:%M:00.000Z"), carrier, flight,
                    chance.choice(carriers) if codeshare else carrier,
                    chance.randrange(1, 9999) if codeshare else flight, returning))
        out = sum(1 for leg in legs if not leg["return"])
        price = chance.randrange(80, 2500)
        made.append(records.search_result(
            number, legs, chance.randrange(3600, 90000), chance.randrange(3600, 90000),
            {"EUR": price, "USD": price * 122 // 100, "PLN": price * 43 // 10}))
        assert out >= 3
    return made


def best_time(command, output, repeat):
    times = []
    for _ in range(repeat):
        with open(output, "wb") as out:
            start = time.perf_counter()
            subprocess.run(command, stdout=out, check=True)
            times.append(time.perf_counter() - start)
    return min(times)


def response(name, count):
    if name == "round-trips":
        return round_trips(count)
    sample = sample_records()
    return [sample[i % len(sample)] for i in range(count)]


def measure(itineraries, repeat):
    """The best time of each run on ITINERARIES, in seconds."""
    with tempfile.TemporaryDirectory() as work:
        response = os.path.join(work, "results.json")
        output = os.path.join(work, "out")
        with open(response, "w", encoding="utf-8") as file:
            json.dump({"data": itineraries}, file)
        commands = {"parse only": [sys.executable, "-c", PARSE_ONLY, response]}
        for name in FORMATS:
            commands[name] = [sys.executable, "-m", "tavimo", "parse", response,
                              "--format", name]
        best = {name: float("inf") for name in commands}
        for _ in range(repeat):  # in turns, so that drifts of the machine hit all alike
            for name, command in commands.items():
                best[name] = min(best[name], best_time(command, output, 1))
    return best


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--itineraries", type=int, default=5000)
    options.add_argument("--repeat", type=int, default=5)
    options.add_argument("--response", choices=["sample", "round-trips"], action="append",
                         help="the response to time (default: both)")
    args = options.parse_args()

    for name in args.response or ["sample", "round-trips"]:
        best = measure(response(name, args.itineraries), args.repeat)
        print("{}: {} itineraries, best of {} runs".format(name, args.itineraries, args.repeat))
        print("{:<12} {:>9} {:>7}".format("run", "seconds", "ratio"))
        for run, seconds in best.items():
            print("{:<12} {:>9.3f} {:>7.2f}".format(run, seconds, seconds / best["parse only"]))
        print()


if __name__ == "__main__":
    main()
