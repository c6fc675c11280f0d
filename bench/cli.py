"""What the whole `tavimo parse` command costs at scale, against loading and parsing alone.

    python -m bench.cli [--itineraries N] [--repeat N] [--response sample|round-trips]
    (from the project root)

Two responses of N itineraries each (default 5,000): the bundled sample repeated (mostly
short trips), and round trips of three or four legs each way between two airports, made
here with the records of bench/records.py from 400 journeys each way with varied stops,
times and flights.  Each run is a fresh
interpreter, as when a user types the command, and the best of the repeats is kept:

  parse only   load the JSON and run i_parser on every record (the round-trip flag taken
               from the record's legs, as the command does), printing nothing;
  table        tavimo parse FILE, output to a file;
  json         tavimo parse FILE --format json, output to a file;
  csv          tavimo parse FILE --format csv, output to a file.

The ratios are each command's time over the parse-only time: wall-clock seconds, and the
CPU seconds (user and system) of the process, which other work on the machine disturbs
less.
"""
import argparse
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta

from bench import records

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


CARRIERS = ["LH", "KL", "AF", "LX", "OS", "FI", "TP", "U2"]
TIME_LAYOUT = "%Y-%m-%dT%H:%M:00.000Z"


def journeys(chance, origin, destination, count, first_day):
    """COUNT journeys from ORIGIN to DESTINATION of three or four legs over a fortnight:
    each a list of its legs' fields, and its flight time in seconds."""
    via = [code for code in sorted(records.AIRPORTS) if code not in (origin, destination)]
    made = []
    for _ in range(count):
        stops = chance.sample(via, 2 + chance.randrange(2))
        moment = first_day + timedelta(days=chance.randrange(14),
                                       minutes=chance.randrange(0, 1440, 5))
        start, legs = moment, []
        for fly_from, fly_to in zip([origin, *stops], [*stops, destination]):
            departure = moment
            moment += timedelta(minutes=chance.randrange(50, 600, 5))
            carrier, flight = chance.choice(CARRIERS), chance.randrange(1, 9999)
            codeshare = chance.random() < 0.3
            legs.append((fly_from, fly_to, departure.strftime(TIME_LAYOUT),
                         moment.strftime(TIME_LAYOUT), carrier, flight,
                         chance.choice(CARRIERS) if codeshare else carrier,
                         chance.randrange(1, 9999) if codeshare else flight))
            moment += timedelta(minutes=chance.randrange(40, 240, 5))
        made.append((legs, int((moment - start).total_seconds())))
    return made


def round_trips(count):
    """COUNT round trips between two airports, as a search finds them: each a way out and
    a way back of three or four legs, drawn from 400 journeys each way (so flights recur
    across itineraries, as in a real response)."""
    chance = random.Random(2027)
    pool = 400
    out = journeys(chance, "BUD", "LAX", pool, datetime(2027, 4, 1))
    back = journeys(chance, "LAX", "BUD", pool, datetime(2027, 4, 20))
    pairs = chance.sample(range(pool * pool), count)
    made = []
    for number, pair in enumerate(pairs):
        (legs_out, seconds_out), (legs_back, seconds_back) = out[pair // pool], back[pair % pool]
        legs = [records.leg(index, *fields, returning=returning)
                for returning, journey in ((0, legs_out), (1, legs_back))
                for index, fields in enumerate(journey)]
        price = chance.randrange(300, 2500)
        made.append(records.search_result(
            number, legs, seconds_out, seconds_back,
            {"EUR": price, "USD": price * 122 // 100, "PLN": price * 43 // 10}))
    return made


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_once(command, output):
    """The wall-clock and CPU seconds of one run of COMMAND, its output to OUTPUT."""
    with open(output, "wb") as out:
        cpu, start = cpu_of_children(), time.perf_counter()
        subprocess.run(command, stdout=out, check=True)
        return time.perf_counter() - start, cpu_of_children() - cpu


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
        best = {name: (float("inf"), float("inf")) for name in commands}
        for _ in range(repeat):  # in turns, so that drifts of the machine hit all alike
            for name, command in commands.items():
                wall, cpu = run_once(command, output)
                best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
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
        print("{:<12} {:>9} {:>7} {:>9} {:>7}".format("run", "seconds", "ratio", "CPU s",
                                                     "ratio"))
        base_wall, base_cpu = best["parse only"]
        for run, (wall, cpu) in best.items():
            print("{:<12} {:>9.3f} {:>7.2f} {:>9.3f} {:>7.2f}".format(
                run, wall, wall / base_wall, cpu, cpu / base_cpu))
        print()


if __name__ == "__main__":
    main()
