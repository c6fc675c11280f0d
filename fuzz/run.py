"""Runs one fuzz target under libFuzzer, from the project root:

    python -m fuzz.run TARGET [libFuzzer options]

The native modules must be the fuzzing build (TAVIMO_FUZZ=1) and the process must start
with the sanitizer runtime and libFuzzer preloaded; ./dev fuzz does both.
"""

import sys

import atheris

from fuzz import targets


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in targets.TARGETS:
        sys.exit("usage: python -m fuzz.run {%s} [libFuzzer options]" % ",".join(targets.TARGETS))
    target, prepare = targets.TARGETS[sys.argv[1]]
    if prepare is not None:
        prepare()
    atheris.Setup([sys.argv[0]] + sys.argv[2:], target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
