"""Output that cannot be written: one line on stderr, and a status that is not 0, for every
command and for --help and --version."""

import os
import signal
import subprocess
import sys

import pytest

from test_cli_usage import tavimo


WRITES = [
    ["--help"],
    ["parse", "--help"],
    ["-V"],
    ["parse", "--sample"],
    ["parse", "--sample", "-f", "json"],
    ["completion", "bash"],
]


@pytest.mark.parametrize("args", WRITES)
def test_a_full_disk_is_one_line_and_status_1(args):
    with open("/dev/full", "w") as full:
        result = tavimo(*args, stdout=full)
    assert (result.returncode, result.stderr) == (
        1,
        "tavimo: cannot write the output: No space left on device\n",
    )


@pytest.mark.parametrize("args", WRITES)
def test_a_closed_output_is_one_line_and_status_1(args):
    result = subprocess.run(
        ["sh", "-c", 'exec "$@" >&-', "sh", sys.executable, "-I", "-m", "tavimo", *args],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        encoding="utf-8",
        timeout=60,
    )
    assert (result.returncode, result.stderr) == (
        1,
        "tavimo: cannot write the output: standard output is closed\n",
    )


@pytest.mark.parametrize("args", [["--help"], ["airports", "--help"], ["--version"]])
def test_help_to_a_pipe_nobody_reads_ends_as_parse_does(args):
    # the same quiet end as `tavimo parse big.json | head`: killed by SIGPIPE (141)
    reader, writer = os.pipe()
    os.close(reader)
    with os.fdopen(writer, "w") as pipe:
        result = tavimo(*args, stdout=pipe)
    assert (result.returncode, result.stderr) == (-signal.SIGPIPE, "")
