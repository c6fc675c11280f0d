"""What the whole `tavimo parse` command costs at scale, against loading and parsing alone.

    python -m bench.cli [--itineraries N] [--repeat N] [--response sample|round-trips|short]
    python -m bench.cli --memory MB
    (from the project root)

Three responses of N itineraries each (default 5,000): the bundled sample repeated, round
trips of three or four legs each way between two airports, and short round trips (mostly
one leg or two each way, 1+1 and 2+2), both made here with the records of bench/records.py
from 400 journeys each way with varied stops, times and flights.  Each run is a fresh
interpreter, as when a user types the command, and the commands run in turns (in a new
order each round, drawn with a fixed seed, so that none always follows the same one):

  parse only   load the JSON and run i_parser on every record (the round-trip flag taken
               from the record's legs, as the command does), printing nothing;
  table        tavimo parse FILE, output to a file;
  json         tavimo parse FILE --format json, output to a file;
  csv          tavimo parse FILE --format csv, output to a file.

Printed are the medians of each command's runs and their ratios to parse only: wall-clock
seconds, and the CPU seconds (user and system) of the process, which other work on the
machine disturbs less; the median of each round's ratio of CPU seconds to parse only's in
that round ("paired"), which drifts of the machine's speed move least; and the process's
peak memory (its largest resident set).

--memory MB runs each format once on one document of about MB million bytes (round trips
over and over) and prints its peak memory against the document's size.
"""

import argparse
import json
import os
import random
import statistics
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


def journeys(chance, origin, destination, count, first_day, stops_choice=(2, 3)):
    """COUNT journeys from ORIGIN to DESTINATION over a fortnight, each with a number of
    stops drawn from STOPS_CHOICE: each a list of its legs' fields, and its flight time in
    seconds."""
    via = [code for code in sorted(records.AIRPORTS) if code not in (origin, destination)]
    made = []
    for _ in range(count):
        stops = chance.sample(via, chance.choice(stops_choice))
        moment = first_day + timedelta(
            days=chance.randrange(14), minutes=chance.randrange(0, 1440, 5)
        )
        start, legs = moment, []
        for fly_from, fly_to in zip([origin, *stops], [*stops, destination]):
            departure = moment
            moment += timedelta(minutes=chance.randrange(50, 600, 5))
            carrier, flight = chance.choice(CARRIERS), chance.randrange(1, 9999)
            codeshare = chance.random() < 0.3
            legs.append(
                (
                    fly_from,
                    fly_to,
                    departure.strftime(TIME_LAYOUT),
                    moment.strftime(TIME_LAYOUT),
                    carrier,
                    flight,
                    chance.choice(CARRIERS) if codeshare else carrier,
                    chance.randrange(1, 9999) if codeshare else flight,
                )
            )
            moment += timedelta(minutes=chance.randrange(40, 240, 5))
        made.append((legs, int((moment - start).total_seconds())))
    return made


def round_trips(count, stops_choice=(2, 3)):
    """COUNT round trips between two airports, as a search finds them: each a way out and
    a way back with a number of stops from STOPS_CHOICE (by default three or four legs),
    drawn from 400 journeys each way (so flights recur across itineraries, as in a real
    response)."""
    chance = random.Random(2027)
    pool = 400
    out = journeys(chance, "BUD", "LAX", pool, datetime(2027, 4, 1), stops_choice)
    back = journeys(chance, "LAX", "BUD", pool, datetime(2027, 4, 20), stops_choice)
    pairs = chance.sample(range(pool * pool), count)
    return [
        round_trip(chance, number, out[pair // pool], back[pair % pool])
        for number, pair in enumerate(pairs)
    ]


def short_trips(count):
    """COUNT short round trips: nine in ten fly as many legs back as out, one or two each
    way (1+1 and 2+2), the rest one leg one way and two the other; drawn, as in
    round_trips, from 400 journeys each way of each length."""
    chance = random.Random(2028)
    pool = 400
    out = [journeys(chance, "BER", "LIS", pool, datetime(2027, 4, 1), (stops,)) for stops in (0, 1)]
    back = [
        journeys(chance, "LIS", "BER", pool, datetime(2027, 4, 20), (stops,)) for stops in (0, 1)
    ]
    made = []
    for number in range(count):
        stops_out = chance.randrange(2)
        stops_back = stops_out if chance.random() < 0.9 else 1 - stops_out
        made.append(
            round_trip(
                chance, number, chance.choice(out[stops_out]), chance.choice(back[stops_back])
            )
        )
    return made


def round_trip(chance, number, journey_out, journey_back):
    """The search result of a round trip NUMBER of the journeys out and back."""
    (legs_out, seconds_out), (legs_back, seconds_back) = journey_out, journey_back
    legs = [
        records.leg(index, *fields, returning=returning)
        for returning, journey in ((0, legs_out), (1, legs_back))
        for index, fields in enumerate(journey)
    ]
    price = chance.randrange(300, 2500)
    return records.search_result(
        number,
        legs,
        seconds_out,
        seconds_back,
        {"EUR": price, "USD": price * 122 // 100, "PLN": price * 43 // 10},
    )


def run_once(command, output):
    """The wall-clock seconds, CPU seconds and peak memory (bytes) of one run of COMMAND,
    its output to OUTPUT."""
    with open(output, "wb") as out:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=out)
        _pid, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = (
            os.waitstatus_to_exitcode(status)
            if hasattr(os, "waitstatus_to_exitcode")
            else status >> 8
        )
    if process.returncode:
        raise subprocess.CalledProcessError(process.returncode, command)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


RESPONSES = {
    "sample": lambda count: [SAMPLE_RECORDS[i % len(SAMPLE_RECORDS)] for i in range(count)],
    "round-trips": lambda count: round_trips(count),
    "short": lambda count: short_trips(count),
}
SAMPLE_RECORDS = sample_records()


def commands_on(response):
    commands = {"parse only": [sys.executable, "-c", PARSE_ONLY, response]}
    for name in FORMATS:
        commands[name] = [sys.executable, "-m", "tavimo", "parse", response, "--format", name]
    return commands


def measure(itineraries, repeat):
    """Every run's (wall, CPU, peak memory) of each command on ITINERARIES."""
    with tempfile.TemporaryDirectory() as work:
        response = os.path.join(work, "results.json")
        output = os.path.join(work, "out")
        with open(response, "w", encoding="utf-8") as file:
            json.dump({"data": itineraries}, file)
        commands = commands_on(response)
        runs = {name: [] for name in commands}
        order = random.Random(1)
        for _ in range(repeat):  # in turns, so that drifts of the machine hit all alike
            for name in order.sample(list(commands), len(commands)):
                runs[name].append(run_once(commands[name], output))
    return runs


def print_times(name, count, runs):
    print(
        "{}: {} itineraries, medians of {} runs in turns".format(
            name, count, len(runs["parse only"])
        )
    )
    print(
        "{:<12} {:>9} {:>7} {:>9} {:>7} {:>7} {:>9}".format(
            "run", "seconds", "ratio", "CPU s", "ratio", "paired", "peak MB"
        )
    )
    medians = {
        run: [statistics.median(figures) for figures in zip(*each)] for run, each in runs.items()
    }
    base_wall, base_cpu, _ = medians["parse only"]
    for run, (wall, cpu, peak) in medians.items():
        paired = statistics.median(
            own[1] / base[1] for own, base in zip(runs[run], runs["parse only"])
        )
        print(
            "{:<12} {:>9.3f} {:>7.2f} {:>9.3f} {:>7.2f} {:>7.2f} {:>9.0f}".format(
                run, wall, wall / base_wall, cpu, cpu / base_cpu, paired, peak / 1e6
            )
        )
    print()


def write_large_response(path, megabytes):
    """A response of about MEGABYTES million bytes in one JSON document, written a record
    at a time: 5,000 round trips over and over."""
    texts = [json.dumps(record) for record in round_trips(5000)]
    size, count = 0, 0
    with open(path, "w", encoding="utf-8") as file:
        file.write('{"data": [')
        while size < megabytes * 1e6:
            text = texts[count % len(texts)]
            file.write((",\n" if count else "\n") + text)
            size += len(text) + 2
            count += 1
        file.write("\n]}\n")
    return count


def measure_memory(megabytes):
    """The peak memory of each format on a response of MEGABYTES, against its size."""
    with tempfile.TemporaryDirectory() as work:
        response = os.path.join(work, "large.json")
        count = write_large_response(response, megabytes)
        size = os.path.getsize(response)
        print("one document of {:.0f} MB, {} itineraries".format(size / 1e6, count))
        print("{:<12} {:>9} {:>9} {:>7}".format("run", "seconds", "peak MB", "ratio"))
        for name, command in commands_on(response).items():
            if name == "parse only":
                continue  # loading the whole document is what the command no longer does
            wall, _cpu, peak = run_once(command, os.devnull)
            print("{:<12} {:>9.1f} {:>9.0f} {:>7.2f}".format(name, wall, peak / 1e6, peak / size))
        print()


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--itineraries", type=int, default=5000)
    options.add_argument("--repeat", type=int, default=5)
    options.add_argument(
        "--response",
        choices=sorted(RESPONSES),
        action="append",
        help="the response to time (default: all)",
    )
    options.add_argument(
        "--memory",
        type=float,
        metavar="MB",
        help="instead, the peak memory of each format on one document of about MB million bytes",
    )
    args = options.parse_args()

    if args.memory:
        measure_memory(args.memory)
        return
    for name in args.response or list(RESPONSES):
        runs = measure(RESPONSES[name](args.itineraries), args.repeat)
        print_times(name, args.itineraries, runs)


if __name__ == "__main__":
    main()
