"""`python -m tavimo parse` (and `ask` without a terminal) run as a user runs them."""
import copy
import csv
import io
import json
import os
import re
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import pytest

from tavimo.airports import folded
from tavimo.settings import leg_details_header
from tavimo.tables import format_table

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
    assert result.stderr.splitlines() == [
        "tavimo: itinerary {} has no return journey "
        "(IndexError: list index out of range)".format(number) for number in (1, 4)]


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


def test_ask_without_any_terminal(tmp_path):
    # a new session has no controlling terminal to ask on
    result = subprocess.run(
        [sys.executable, "-I", "-m", "tavimo", "ask"], cwd=tmp_path, stdin=subprocess.DEVNULL,
        capture_output=True, encoding="utf-8", start_new_session=True, timeout=60)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith("tavimo: ask needs a terminal to ask the questions on "
                                    "(cannot open /dev/tty: ")
    assert len(result.stderr.splitlines()) == 1


def test_json_names_the_summary_fields_and_the_leg_cells(tavimo):
    result = tavimo("parse", "--format", "json")
    assert (result.returncode, result.stderr) == (0, "")
    data = json.loads(result.stdout)
    assert [itinerary["itinerary"] for itinerary in data] == [1, 2, 3, 4, 5]
    assert data[0] == {
        "itinerary": 1, "round_trip": False, "price": "59 EUR / 72 USD / 51 GBP",
        "outbound": {
            "route": "BER -> LHR", "departure": "Tue 01 Jun 10:15", "duration": "1:55:00",
            "duration_seconds": 6900, "arrival": "Tue 01 Jun 11:10",
            "legs": [dict(zip(leg_details_header, [
                "Berlin(BER) -> London(LHR)", "Tue 01 Jun 10:15 -> Tue 01 Jun 11:10",
                "8562", "U2", " ", ""]))],
        },
        "inbound": None,
    }
    inbound = data[4]["inbound"]
    assert (inbound["route"], inbound["duration"], inbound["duration_seconds"]) == (
        "LAX -> CDG -> BUD", "14:50:00", 53400)
    assert [leg["Airports"] for leg in inbound["legs"]] == [
        "Los Angeles(LAX) -> Paris(CDG)", "Paris(CDG) -> Budapest(BUD)"]


def test_csv_has_one_row_per_leg(tavimo):
    result = tavimo("parse", "--format", "csv")
    rows = list(csv.reader(io.StringIO(result.stdout)))
    assert rows[0] == ["Itinerary", "Direction", *leg_details_header]
    assert len(rows) == 1 + 14
    assert ["3", "inbound", "Zurich(ZRH) -> Vienna(VIE)", "Sat 19 Jun 18:20 -> Sat 19 Jun 19:40",
            "1578", "LX", "OS 562", "OS"] in rows
    assert [row[:2] for row in rows[1:4]] == [["1", "outbound"], ["2", "outbound"],
                                              ["2", "inbound"]]


@pytest.fixture
def four_itineraries():
    """A cheap one whose first currency is dear, a round trip, an early departure, no price."""
    dear_first = copy.deepcopy(SAMPLE[0])
    dear_first["conversion"] = {"EUR": 500, "USD": 1}
    early = copy.deepcopy(SAMPLE[3])
    early["local_departure"] = "2021-05-30T09:00:00.000Z"
    no_price = copy.deepcopy(SAMPLE[0])
    no_price["conversion"] = {}
    return json.dumps([dear_first, SAMPLE[1], early, no_price])


@pytest.mark.parametrize("options, numbers", [
    ([], [1, 2, 3, 4]),
    (["--sort", "price"], [2, 1, 3, 4]),        # by the first currency; none comes last
    (["--sort", "duration"], [1, 4, 2, 3]),     # out and back together; ties keep their order
    (["--sort", "departure"], [3, 1, 4, 2]),
    (["--sort", "price", "--limit", "2"], [2, 1]),
    (["--limit", "3"], [1, 2, 3]),
])
def test_sort_and_limit(tavimo, four_itineraries, options, numbers):
    result = tavimo("parse", "-", "--format", "json", *options, stdin=four_itineraries)
    assert result.returncode == 0
    assert [itinerary["itinerary"] for itinerary in json.loads(result.stdout)] == numbers


def test_records_past_the_limit_are_still_reported(tavimo):
    result = tavimo("parse", "-", "--limit", "1", stdin=json.dumps([SAMPLE[0], SAMPLE[1], None]))
    assert result.returncode == 1
    assert sorted(itineraries(result.stdout)) == [1]
    assert result.stderr.startswith("tavimo: itinerary 3: TypeError")


def test_command_line_mistakes_are_one_line(tavimo):
    for args in (["parse", "--limit", "0"], ["parse", "--format", "xml"], ["pars"], [],
                 ["--find-airport", "Paris", "parse"]):
        result = tavimo(*args)
        assert (result.returncode, result.stdout) == (2, ""), args
        assert len(result.stderr.splitlines()) == 1, args


def test_help_reads_as_prose(tavimo):
    text = tavimo("--help").stdout
    assert "--find-airport CITY" in text and "tavimo ask --round-trip > trip.json" in text
    assert "``" not in text
    assert "lowest first" in " ".join(tavimo("parse", "--help").stdout.split())


def test_installed_command_and_version():
    command = Path(sys.executable).with_name("tavimo")
    result = subprocess.run([str(command), "--version"], capture_output=True, encoding="utf-8")
    assert (result.returncode, result.stdout) == (0, "tavimo {}\n".format(version("tavimo")))


def test_module_runs_from_the_repository_root():
    # the checkout holds no package directory at its top, so the installed one is found
    result = subprocess.run([sys.executable, "-m", "tavimo", "parse"], capture_output=True,
                            cwd=Path(__file__).parents[1], encoding="utf-8", timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert "Itinerary 5 (round trip)" in result.stdout


@pytest.mark.parametrize("city", ["krakow", "KRAKÓW", " Kraków "])
def test_find_airport_ignores_case_and_accents(tavimo, city):
    result = tavimo("--find-airport", city)
    assert (result.returncode, result.stderr) == (0, "")
    first = cells(result.stdout)[0]
    assert first[0] == "KRK" and first[2:] == ["Kraków", "PL"]


def test_find_airport_puts_the_city_first(tavimo):
    rows = cells(tavimo("--find-airport", "london").stdout)
    assert all(len(row) == 4 for row in rows)
    cities = [row[2] for row in rows]
    others = cities.index("East London")  # a word of the city, after the city itself
    assert set(cities[:others]) == {"London"} and "London" not in cities[others:]
    assert "LHR" in [row[0] for row in rows[:others]]


def test_find_airport_without_match(tavimo):
    result = tavimo("--find-airport", "Xyzzy Nowhere")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == "tavimo: no airport found for 'Xyzzy Nowhere'\n"


def test_table_layout():
    # titles get two columns of room, cells lose their blanks, wide characters count twice
    assert format_table(["", "City", "Code"], [["a", " Kraków ", "KRK"], ["b", "東京", ""]]) == (
        "    City    Code\n"
        "--  ------  ------\n"
        "a   Kraków  KRK\n"
        "b   東京")
    assert format_table(["Airports"], []) == "Airports\n----------"


@pytest.mark.parametrize("text, plain", [
    ("Kraków", "krakow"), ("ŁÓDŹ", "lodz"), ("  São   Paulo ", "sao paulo"),
    ("Zürich", "zurich"), ("Straße", "strasse"), ("Tromsø", "tromso"),
])
def test_airport_names_compare_without_case_and_accents(text, plain):
    assert folded(text) == plain
