"""`python -m tavimo parse` (and `ask` without a terminal) run as a user runs them."""
import copy
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from tavimo.settings import leg_details_header

SAMPLE = json.loads(
    (Path(sys.modules["tavimo"].__file__).with_name("data") / "sample_results.json")
    .read_text(encoding="utf-8"))["data"]


@pytest.fixture
def tavimo(tmp_path):
    def run(*args, stdin=None):
        return subprocess.run(
            [sys.executable, "-I", "-m", "tavimo", *args],
            cwd=tmp_path, input=stdin, capture_output=True, encoding="utf-8",
            env=dict(os.environ, LC_ALL="C.UTF-8"), timeout=60)
    return run


def cells(output):
    """The table rows of the output, each split into its cells (columns stand 2+ blanks apart)."""
    return [re.split(r"\s{2,}", line.strip()) for line in output.splitlines() if line.strip()]


def itineraries(output):
    """The output split into its itinerary blocks, keyed by the heading's number."""
    blocks = re.split(r"^Itinerary (\d+) ", output, flags=re.M)[1:]
    return {int(number): text for number, text in zip(blocks[::2], blocks[1::2])}


def test_sample_prints_summaries_and_leg_tables(tavimo):
    result = tavimo("parse")
    assert (result.returncode, result.stderr) == (0, "")
    blocks = itineraries(result.stdout)
    assert sorted(blocks) == [1, 2, 3, 4, 5]
    rows = cells(result.stdout)
    assert leg_details_header in rows
    # one way, one leg without an operating carrier: its last two cells stay blank
    assert blocks[1].startswith("(one way)") and "Inbound" not in blocks[1]
    assert ["Outbound", "BER -> LHR", "Tue 01 Jun 10:15", "1:55:00", "Tue 01 Jun 11:10",
            "59 EUR / 72 USD / 51 GBP"] in rows
    assert ["Berlin(BER) -> London(LHR)", "Tue 01 Jun 10:15 -> Tue 01 Jun 11:10",
            "8562", "U2"] in rows
    # a codeshare leg shows the operating airline apart from the selling one
    assert ["Frankfurt(FRA) -> Lisbon(LIS)", "Sat 12 Jun 10:05 -> Sat 12 Jun 12:05",
            "6813", "LH", "TP 579", "TP"] in rows
    assert ["Kraków(KRK) -> Warsaw(WAW)", "Wed 23 Jun 06:10 -> Wed 23 Jun 07:05",
            "3904", "LO", "LO 3904", "LO"] in rows
    # round trip: the way back runs from the first return departure to the last arrival,
    # its legs get a table of their own, and the price stands in the outbound row only
    assert ["Inbound", "LAX -> CDG -> BUD", "Tue 20 Jul 15:40", "14:50:00",
            "Wed 21 Jul 15:30", "x"] in rows
    outbound, inbound = blocks[5].split("Outbound legs")[1].split("Inbound legs")
    assert "Budapest(BUD) -> Amsterdam(AMS)" in outbound
    assert "Paris(CDG) -> Budapest(BUD)" in inbound
    assert "Budapest(BUD) -> Amsterdam(AMS)" not in inbound


def test_file_stdin_and_bare_list_read_alike(tavimo, tmp_path):
    expected = tavimo("parse").stdout
    (tmp_path / "results.json").write_text(json.dumps({"data": SAMPLE}), encoding="utf-8")
    assert tavimo("parse", "results.json").stdout == expected
    assert tavimo("parse", "-", stdin=json.dumps(SAMPLE)).stdout == expected


def test_round_trip_flag_applies_to_every_itinerary(tavimo):
    result = tavimo("parse", "--round-trip")
    # the one-way itineraries 1 and 4 have no way back to parse
    assert result.returncode == 1
    assert sorted(itineraries(result.stdout)) == [2, 3, 5]
    assert re.findall(r"itinerary (\d+): IndexError", result.stderr) == ["1", "4"]


@pytest.mark.parametrize("name, content, message", [
    ("missing.json", None, "cannot read missing.json: No such file or directory"),
    (".", None, "cannot read .: Is a directory"),
    ("cut.json", b'{"data": [', "cut.json is not valid JSON: Expecting value: line 1"),
    ("latin1.json", b'["Krak\xf3w"]', "latin1.json is not valid JSON: 'utf-8' codec"),
    ("other.json", b'{"results": []}', "other.json holds no itineraries"),
])
def test_unusable_input(tavimo, tmp_path, name, content, message):
    if content is not None:
        (tmp_path / name).write_bytes(content)
    result = tavimo("parse", name)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith("tavimo: " + message)
    assert len(result.stderr.splitlines()) == 1


def test_bad_records_are_reported_and_the_rest_still_prints(tavimo):
    no_price = copy.deepcopy(SAMPLE[0])
    del no_price["conversion"]
    bad_time = copy.deepcopy(SAMPLE[1])
    bad_time["route"][1]["local_arrival"] = "soon"
    result = tavimo("parse", "-", stdin=json.dumps([no_price, SAMPLE[0], None, bad_time]))
    assert result.returncode == 1
    assert sorted(itineraries(result.stdout)) == [2]
    errors = result.stderr.splitlines()
    assert errors[0] == "tavimo: itinerary 1: KeyError: 'conversion'"
    assert errors[1].startswith("tavimo: itinerary 3: TypeError: ")
    assert errors[2].startswith("tavimo: itinerary 4: ValueError: ")
    assert len(errors) == 3


def test_debug_shows_the_parser_log_and_tracebacks(tavimo):
    result = tavimo("parse", "--debug", "-", stdin=json.dumps([SAMPLE[4], {}]))
    assert result.returncode == 1
    assert "Outbound flight duration: 15:05:00" in result.stderr
    assert "Price (both ways): 1094 EUR / 1332 USD / 386420 HUF / " in result.stderr
    assert "Inbound arrival time: 2021-07-21T15:30:00.000" in result.stderr
    assert "tavimo: itinerary 2: KeyError: 'duration'" in result.stderr
    assert "Traceback (most recent call last)" in result.stderr


def test_ask_needs_a_terminal(tavimo):
    result = tavimo("ask", stdin="")
    assert (result.returncode, result.stderr) == (1, "tavimo: ask needs an interactive terminal\n")
