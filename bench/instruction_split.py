"""Where the instructions of one call run: in the module's own code or in the interpreter's.

    python -m bench.instruction_split N.out 0.out N        (from the project root)

N.out and 0.out are the callgrind files of `python -m bench.instructions RECORD N` and of the
same with 0 calls (see bench/instructions.py).  Each instruction is counted in the shared
object whose code ran it: the module (with what it inlines from the host's headers:
reference counts, type checks), the interpreter (every C API function the module calls and
the host's own extension modules; for the plain-Python peer, all of the work), the C
library and the loader.  The difference of the two files over N is what one call costs in
each.

A host that runs its own code faster lowers the interpreter's share only; the module's own
share stays what the compiler made of it on every host.
"""

import argparse
import re

_NAMED = re.compile(r"\((\d+)\)(?: (.*))?$")


def self_cost_by_object(lines):
    """{object path: instructions run in its own code} from the lines of a callgrind file."""
    names, totals = {}, {}
    positions = 1
    current = None
    skip_next_cost = False

    def named(value):
        match = _NAMED.match(value)
        if match is None:  # written without name compression
            return value
        number, name = match.groups()
        if name is not None:
            names[number] = name
        return names.get(number, number)

    for line in lines:
        line = line.rstrip("\n")
        if line.startswith("positions:"):
            positions = len(line.split()) - 1
        elif line.startswith("ob="):
            current = named(line[3:])
        elif line.startswith("cob="):
            named(line[4:])  # may be the first mention of an object's name
        elif line.startswith("calls="):
            skip_next_cost = True  # the next cost line is the callee's, not this code's
        elif line[:1].isdigit() or line[:1] in ("+", "-", "*"):
            if skip_next_cost:
                skip_next_cost = False
                continue
            fields = line.split()
            if len(fields) > positions:
                totals[current] = totals.get(current, 0) + int(fields[positions])
    return totals


def kind_of(path):
    name = path.rsplit("/", 1)[-1]
    if "tavimo" in path and name.startswith(("brasco.", "questions.")):
        return "the module"
    if (
        name.startswith("libpython")
        or re.fullmatch(r"python3(\.\d+t?)?", name)
        or "/lib-dynload/" in path
    ):  # the host's own extension modules (_datetime, time)
        return "the interpreter"
    if name.startswith("libc.so"):
        return "the C library"
    if name.startswith("ld-linux"):
        return "the loader"
    return "other"


def split(with_calls, without_calls, calls):
    """{kind: instructions per call}, the difference of two runs over the calls made."""
    per_kind = {}
    for totals, sign in ((with_calls, 1), (without_calls, -1)):
        for path, count in totals.items():
            kind = kind_of(path or "")
            per_kind[kind] = per_kind.get(kind, 0) + sign * count
    return {kind: count / calls for kind, count in per_kind.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("with_calls", help="callgrind file of the run with N calls")
    parser.add_argument("without_calls", help="callgrind file of the run with none")
    parser.add_argument("calls", type=int, help="N")
    options = parser.parse_args()
    runs = []
    for path in (options.with_calls, options.without_calls):
        with open(path) as lines:
            runs.append(self_cost_by_object(lines))
    shares = split(*runs, options.calls)
    total = sum(shares.values())
    for kind, count in sorted(shares.items(), key=lambda item: -item[1]):
        if abs(count) >= 0.5:
            print(f"{kind:16} {count:9.0f}  {count / total:6.1%}")
    print(f"{'total':16} {total:9.0f}")


if __name__ == "__main__":
    main()
