"""Output that cannot be written: one line on stderr, and a status that is not 0, for every
command and for --help and --version."""

import os
import signal
import subprocess
import sys
from pathlib import Path

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


class Watched:
    """An output that keeps what is written to it, a piece a call."""

    def __init__(self, terminal=False, failing=False):
        self.terminal, self.failing, self.pieces = terminal, failing, []

    def write(self, text):
        self.pieces.append(text)
        if self.failing:
            raise OSError(28, "No space left on device")

    def isatty(self):
        return self.terminal

    def flush(self):
        pass


@pytest.mark.parametrize("format_", ["table", "json", "jsonl", "csv"])
def test_a_large_output_is_written_in_large_pieces_but_to_a_terminal(
    format_, tmp_path, monkeypatch
):
    import json

    from tavimo import cli, output

    # (the sample's itineraries whose output is all ASCII: another is written as it comes)
    records = json.loads(Path(cli.SAMPLE).read_text(encoding="utf-8"))["data"]
    records = [record for record in records if json.dumps(record, ensure_ascii=False).isascii()]
    path = tmp_path / "r.json"
    path.write_text(json.dumps({"data": records * 20}), encoding="utf-8")
    monkeypatch.setattr(output, "GATHER", 10_000)
    for terminal in (False, True):
        out = Watched(terminal)
        monkeypatch.setattr(sys, "stdout", out)
        assert cli.main(["parse", str(path), "-f", format_]) == 0
        text = "".join(out.pieces)
        assert len(text) > 3 * output.GATHER
        if terminal:  # an itinerary at a time, at least
            assert len(out.pieces) >= len(records) * 20
        else:
            assert len(out.pieces) <= len(text) // output.GATHER + 1
            assert all(len(piece) >= output.GATHER for piece in out.pieces[:-1])


def test_what_is_gathered_is_written_when_the_writing_ends_early():
    from tavimo import output

    out = Watched()
    with pytest.raises(KeyboardInterrupt):
        with output.gathered(out) as gathered:
            gathered.write("one\n")
            gathered.write("two\n")
            raise KeyboardInterrupt
    assert out.pieces == ["one\ntwo\n"]
    # a text that is not all ASCII is not gathered (the encoding of a whole piece would
    # take the slow way), but written in its place
    out = Watched()
    with output.gathered(out) as gathered:
        for text in ("a\n", "b\n", "Kraków\n", "c\n", "東京\n"):
            gathered.write(text)
    assert out.pieces == ["a\nb\n", "Kraków\n", "c\n", "東京\n"]
    # a piece that could not be written is not tried again
    out = Watched(failing=True)
    with pytest.raises(OSError):
        with output.gathered(out) as gathered:
            gathered.write("x" * output.GATHER)
            gathered.write("more")
    assert out.pieces == ["x" * output.GATHER]
