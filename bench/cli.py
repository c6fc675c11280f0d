"""What the whole `tavimo parse` command costs at scale, against loading and parsing alone.

    python -m bench.cli [--itineraries N] [--repeat N]   (from the project root)

A response of N itineraries (default 5,000) is made by repeating the bundled sample.  Each
run is a fresh interpreter, as when a user types the command, and the best of the repeats
is kept:

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
import subprocess
import sys
import tempfile
import time

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


def best_time(command, output, repeat):
    times = []
    for _ in range(repeat):
        with open(output, "wb") as out:
            start = time.perf_counter()
            subprocess.run(command, stdout=out, check=True)
            times.append(time.perf_counter() - start)
    return min(times)


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--itineraries", type=int, default=5000)
    options.add_argument("--repeat", type=int, default=5)
    args = options.parse_args()

    sample = sample_records()
    records = [sample[i % len(sample)] for i in range(args.itineraries)]
    with tempfile.TemporaryDirectory() as work:
        response = os.path.join(work, "results.json")
        output = os.path.join(work, "out")
        with open(response, "w", encoding="utf-8") as file:
            json.dump({"data": records}, file)
        commands = {"parse only": [sys.executable, "-c", PARSE_ONLY, response]}
        for name in FORMATS:
            commands[name] = [sys.executable, "-m", "tavimo", "parse", response,
                              "--format", name]
        best = {name: float("inf") for name in commands}
        for _ in range(args.repeat):  # in turns, so that drifts of the machine hit all alike
            for name, command in commands.items():
                best[name] = min(best[name], best_time(command, output, 1))

    print("{} itineraries, best of {} runs".format(args.itineraries, args.repeat))
    print("{:<12} {:>9} {:>7}".format("run", "seconds", "ratio"))
    for name, seconds in best.items():
        print("{:<12} {:>9.3f} {:>7.2f}".format(name, seconds, seconds / best["parse only"]))


if __name__ == "__main__":
    main()
