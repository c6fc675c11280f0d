"""`python -m tavimo parse` (and `ask` without a terminal) run as a user runs them."""

import copy
import csv
import io
import json
import os
import re
import shutil
import subprocess
import sys
import signal
from importlib.metadata import version
from pathlib import Path

import pytest

from tavimo.airports import folded, index_name
from tavimo.settings import leg_details_header
from tavimo.tables import format_table

pexpect = pytest.importorskip("pexpect")

SAMPLE = json.loads(
    (Path(sys.modules["tavimo"].__file__).with_name("data") / "sample_results.json").read_text(
        encoding="utf-8"
    )
)["data"]


@pytest.fixture(scope="session")
def environment(tmp_path_factory):
    """The command's environment: the C locale in UTF-8, and a cache directory of the
    session's own (the airport index is built there once)."""
    environment = dict(
        os.environ, LC_ALL="C.UTF-8", XDG_CACHE_HOME=str(tmp_path_factory.mktemp("cache"))
    )
    environment.pop("COLUMNS", None)  # it would fit the tables to a width
    return environment


@pytest.fixture
def tavimo(tmp_path, environment):
    """Run the command; standard input is STDIN, or empty (not a terminal)."""

    def run(*args, stdin="", env=None):
        return subprocess.run(
            [sys.executable, "-I", "-m", "tavimo", *args],
            cwd=tmp_path,
            input=stdin,
            capture_output=True,
            encoding="utf-8",
            env=dict(environment, **(env or {})),
            timeout=60,
        )

    return run


@pytest.fixture
def on_terminal(tmp_path, environment):
    """Run the command on a new terminal: its whole output, and its exit status."""

    def run(*args):
        child = pexpect.spawn(
            sys.executable,
            ["-I", "-m", "tavimo", *args],
            cwd=str(tmp_path),
            env=dict(environment, TERM="dumb"),
            encoding="utf-8",
            dimensions=(40, 200),
            timeout=60,
        )
        output = child.read()
        child.close()
        return output.replace("\r\n", "\n"), child.exitstatus

    return run


def cells(output):
    """The table rows of the output, each split into its cells (columns stand 2+ blanks apart)."""
    return [re.split(r"\s{2,}", line.strip()) for line in output.splitlines() if line.strip()]


def itineraries(output):
    """The output split into its itinerary blocks, keyed by the heading's number."""
    blocks = re.split(r"^Itinerary (\d+) ", output, flags=re.M)[1:]
    return {int(number): text for number, text in zip(blocks[::2], blocks[1::2])}


def test_sample_prints_summaries_and_leg_tables(tavimo):
    result = tavimo("parse", "--sample")
    assert (result.returncode, result.stderr) == (0, "")
    blocks = itineraries(result.stdout)
    assert sorted(blocks) == [1, 2, 3, 4, 5]
    rows = cells(result.stdout)
    assert leg_details_header in rows
    # one way, one leg without an operating carrier: its last two cells stay blank
    assert blocks[1].startswith("(one way)") and "Inbound" not in blocks[1]
    assert [
        "Outbound",
        "BER -> LHR",
        "Tue 01 Jun 10:15",
        "1:55:00",
        "Tue 01 Jun 11:10",
        "59 EUR / 72 USD / 51 GBP",
    ] in rows
    assert [
        "Berlin(BER) -> London(LHR)",
        "Tue 01 Jun 10:15 -> Tue 01 Jun 11:10",
        "8562",
        "U2",
    ] in rows
    # a codeshare leg shows the operating airline apart from the selling one
    assert [
        "Frankfurt(FRA) -> Lisbon(LIS)",
        "Sat 12 Jun 10:05 -> Sat 12 Jun 12:05",
        "6813",
        "LH",
        "TP 579",
        "TP",
    ] in rows
    assert [
        "Kraków(KRK) -> Warsaw(WAW)",
        "Wed 23 Jun 06:10 -> Wed 23 Jun 07:05",
        "3904",
        "LO",
        "LO 3904",
        "LO",
    ] in rows
    # round trip: the way back runs from the first return departure to the last arrival,
    # its legs get a table of their own, and the price stands in the outbound row only
    # (the parser's "x" in the inbound summary shows as a blank cell)
    assert [
        "Inbound",
        "LAX -> CDG -> BUD",
        "Tue 20 Jul 15:40",
        "14:50:00",
        "Wed 21 Jul 15:30",
    ] in rows
    assert not re.search(r"\sx$", result.stdout, re.M)
    outbound, inbound = blocks[5].split("Outbound legs")[1].split("Inbound legs")
    assert "Budapest(BUD) -> Amsterdam(AMS)" in outbound
    assert "Paris(CDG) -> Budapest(BUD)" in inbound
    assert "Budapest(BUD) -> Amsterdam(AMS)" not in inbound


def test_file_stdin_and_bare_list_read_alike(tavimo, tmp_path):
    expected = tavimo("parse", "--sample").stdout
    (tmp_path / "results.json").write_text(json.dumps({"data": SAMPLE}), encoding="utf-8")
    assert tavimo("parse", "results.json").stdout == expected
    assert tavimo("parse", "-", stdin=json.dumps(SAMPLE)).stdout == expected
    # with no FILE, a pipe is read: `cat results.json | tavimo parse`
    piped = tavimo("parse", stdin=json.dumps(SAMPLE))
    assert (piped.returncode, piped.stdout, piped.stderr) == (0, expected, "")


def test_empty_standard_input_is_not_the_sample(tavimo):
    result = tavimo("parse")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == (
        "tavimo: standard input is empty: expected a flight-search response in JSON\n"
    )


def test_round_trip_flag_applies_to_every_itinerary(tavimo):
    result = tavimo("parse", "--sample", "--round-trip")
    # the one-way itineraries 1 and 4 have no way back to parse
    assert result.returncode == 1
    assert sorted(itineraries(result.stdout)) == [2, 3, 5]
    assert result.stderr.splitlines() == [
        "tavimo: itinerary {}: no return journey: none of its legs is marked as a return leg "
        '("return": 1), so it cannot be parsed as a round trip'.format(number)
        for number in (1, 4)
    ]


@pytest.mark.parametrize(
    "name, content, message",
    [
        ("missing.json", None, "cannot read missing.json: No such file or directory"),
        (".", None, "cannot read .: Is a directory"),
        ("cut.json", b'{"data": [', "cut.json is not valid JSON: Expecting value: line 1"),
        ("latin1.json", b'["Krak\xf3w"]', "latin1.json is not valid JSON: 'utf-8' codec"),
        ("other.json", b'{"results": []}', "other.json holds no itineraries"),
    ],
)
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
    assert result.stderr.splitlines() == [
        "tavimo: itinerary 1: missing field 'conversion'",
        "tavimo: itinerary 3: expected an object, got null",
        "tavimo: itinerary 4: field 'route[1].local_arrival' is not a local date and time "
        'such as 2021-06-01T10:15:00.000Z: "soon"',
    ]


def test_debug_shows_the_parser_log_and_tracebacks(tavimo):
    result = tavimo("parse", "--debug", "-", stdin=json.dumps([SAMPLE[4], {}]))
    assert result.returncode == 1
    assert "Outbound flight duration: 15:05:00" in result.stderr
    assert "Price (both ways): 1094 EUR / 1332 USD / 386420 HUF / " in result.stderr
    assert "Inbound arrival time: 2021-07-21T15:30:00.000" in result.stderr
    # the user's terms, then the exception as the parser raised it
    assert "tavimo: itinerary 2: missing field 'duration' (KeyError: 'duration')" in result.stderr
    assert "Traceback (most recent call last)" in result.stderr


def test_ask_without_any_terminal(tmp_path):
    # a new session has no controlling terminal to ask on
    result = subprocess.run(
        [sys.executable, "-I", "-m", "tavimo", "ask"],
        cwd=tmp_path,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        encoding="utf-8",
        start_new_session=True,
        timeout=60,
    )
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith(
        "tavimo: ask needs a terminal to ask the questions on (cannot open /dev/tty: "
    )
    assert result.stderr.endswith(
        "give every answer as an option instead (see tavimo ask --help)\n"
    )
    assert len(result.stderr.splitlines()) == 1


def test_json_machine_fields_beside_the_display_texts(tavimo):
    result = tavimo("parse", "--sample", "--format", "json")
    assert (result.returncode, result.stderr) == (0, "")
    document = json.loads(result.stdout)
    assert document["schema_version"] == 2
    data = document["itineraries"]
    assert [itinerary["itinerary"] for itinerary in data] == [1, 2, 3, 4, 5]
    assert data[0] == {
        "itinerary": 1,
        "id": "0b6d1a4e4b2a0000a1c3d2f1_0",
        "round_trip": False,
        "prices": [
            {"currency": "EUR", "amount": 59},
            {"currency": "USD", "amount": 72},
            {"currency": "GBP", "amount": 51},
        ],
        "outbound": {
            "airports": ["BER", "LHR"],
            "departure": "2021-06-01T10:15:00",
            "arrival": "2021-06-01T11:10:00",
            "utc_departure": "2021-06-01T08:15:00Z",
            "utc_arrival": "2021-06-01T10:10:00Z",
            "duration_seconds": 6900,
            "stops": 0,
            "layovers": [],
            "legs": [
                {
                    "from": "BER",
                    "to": "LHR",
                    "from_city": "Berlin",
                    "to_city": "London",
                    "airline": "U2",
                    "flight_number": "8562",
                    # no operating carrier: null, where the table has a blank cell
                    "operating_airline": None,
                    "operating_flight_number": None,
                    "departure": "2021-06-01T10:15:00",
                    "arrival": "2021-06-01T11:10:00",
                    "utc_departure": "2021-06-01T08:15:00Z",
                    "utc_arrival": "2021-06-01T10:10:00Z",
                    "bags_recheck_required": False,
                    "display": {
                        "airports": "Berlin(BER) -> London(LHR)",
                        "times": "Tue 01 Jun 10:15 -> Tue 01 Jun 11:10",
                        "flight_no": "8562",
                        "airline": "U2",
                        "operating_flight_no": " ",
                        "operated_by": "",
                    },
                }
            ],
            "display": {
                "route": "BER -> LHR",
                "departure": "Tue 01 Jun 10:15",
                "duration": "1:55:00",
                "arrival": "Tue 01 Jun 11:10",
            },
        },
        "inbound": None,
        "display": {"price": "59 EUR / 72 USD / 51 GBP"},
    }
    # the way back: from the first return departure to the last return arrival
    inbound = data[4]["inbound"]
    assert (
        inbound["airports"],
        inbound["departure"],
        inbound["arrival"],
        inbound["duration_seconds"],
        inbound["display"]["duration"],
    ) == (["LAX", "CDG", "BUD"], "2021-07-20T15:40:00", "2021-07-21T15:30:00", 53400, "14:50:00")
    assert [(leg["from"], leg["to"]) for leg in inbound["legs"]] == [("LAX", "CDG"), ("CDG", "BUD")]
    codeshare = data[2]["outbound"]["legs"][1]
    assert (
        codeshare["airline"],
        codeshare["flight_number"],
        codeshare["operating_airline"],
        codeshare["operating_flight_number"],
    ) == ("LH", "6813", "TP", "579")


def test_csv_has_one_row_per_leg_with_its_itinerarys_price(tavimo):
    result = tavimo("parse", "--sample", "--format", "csv")
    rows = list(csv.DictReader(io.StringIO(result.stdout)))
    assert list(rows[0]) == [
        "itinerary",
        "direction",
        "leg",
        "from",
        "to",
        "from_city",
        "to_city",
        "airline",
        "flight_number",
        "operating_airline",
        "operating_flight_number",
        "departure",
        "arrival",
        "duration_seconds",
        "price",
        "currency",
        "id",
        "stops",
        "layover_seconds",
        "utc_departure",
        "utc_arrival",
        "bags_recheck_required",
    ]
    assert len(rows) == 14
    assert rows[0] == {
        "itinerary": "1",
        "direction": "outbound",
        "leg": "1",
        "from": "BER",
        "to": "LHR",
        "from_city": "Berlin",
        "to_city": "London",
        "airline": "U2",
        "flight_number": "8562",
        "operating_airline": "",
        "operating_flight_number": "",
        "departure": "2021-06-01T10:15:00",
        "arrival": "2021-06-01T11:10:00",
        "duration_seconds": "6900",
        "price": "59",
        "currency": "EUR",
        "id": "0b6d1a4e4b2a0000a1c3d2f1_0",
        "stops": "0",
        "layover_seconds": "",
        "utc_departure": "2021-06-01T08:15:00Z",
        "utc_arrival": "2021-06-01T10:10:00Z",
        "bags_recheck_required": "false",
    }
    assert [(row["itinerary"], row["direction"], row["leg"]) for row in rows[4:8]] == [
        ("3", "outbound", "2"),
        ("3", "inbound", "1"),
        ("3", "inbound", "2"),
        ("4", "outbound", "1"),
    ]
    assert rows[6]["duration_seconds"] == "18600" and rows[6]["price"] == "412"


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


@pytest.mark.parametrize(
    "options, numbers",
    [
        ([], [1, 2, 3, 4]),
        (["--sort", "price"], [2, 1, 3, 4]),  # by the first currency; none comes last
        (["--sort", "duration"], [1, 4, 2, 3]),  # out and back together; ties keep their order
        (["--sort", "departure"], [3, 1, 4, 2]),
        (["--sort", "price", "--limit", "2"], [2, 1]),
        (["-s", "price", "-n", "2"], [2, 1]),
        (["--limit", "3"], [1, 2, 3]),
    ],
)
def test_sort_and_limit(tavimo, four_itineraries, options, numbers):
    result = tavimo("parse", "-", "--format", "json", *options, stdin=four_itineraries)
    assert result.returncode == 0
    data = json.loads(result.stdout)["itineraries"]
    assert [itinerary["itinerary"] for itinerary in data] == numbers


def test_records_past_the_limit_are_still_reported(tavimo):
    result = tavimo("parse", "-", "--limit", "1", stdin=json.dumps([SAMPLE[0], SAMPLE[1], None]))
    assert result.returncode == 1
    assert sorted(itineraries(result.stdout)) == [1]
    assert result.stderr == "tavimo: itinerary 3: expected an object, got null\n"


@pytest.mark.parametrize(
    "args",
    [
        ["parse", "--limit", "0"],
        ["parse", "--format", "xml"],
        ["pars"],
        [],
        ["--find-airport", "Paris", "parse"],
        # no prefix abbreviations: --form is not --format, --lim not --limit
        ["parse", "--sample", "--form", "json"],
        ["parse", "--sample", "--lim", "1"],
        ["parse", "results.json", "--sample"],
        ["airports"],
        ["completion", "tcsh"],
    ],
)
def test_command_line_mistakes_are_one_line(tavimo, args):
    result = tavimo(*args)
    assert (result.returncode, result.stdout) == (2, "")
    assert len(result.stderr.splitlines()) == 1


def test_help_fits_the_terminal_though_making_the_parser_asks_it_nothing(tavimo, environment):
    """Help wraps at the terminal's width (COLUMNS here); the parser is made without
    asking it (which imports shutil, and bz2 and lzma with it, as argparse imports it
    itself before 3.9)."""
    narrow, wide = (tavimo("parse", "--help", env={"COLUMNS": c}).stdout for c in ("60", "130"))
    assert len(narrow.splitlines()) > len(wide.splitlines())
    assert " ".join(narrow.split()) == " ".join(wide.split())
    probe = "import sys, tavimo.cli; tavimo.cli.build_parser(); print('shutil' in sys.modules)"
    made = subprocess.run(
        [sys.executable, "-I", "-c", probe], capture_output=True, text=True, env=environment
    )
    assert made.stdout == "{}\n".format(sys.version_info < (3, 9))


def test_help_reads_as_prose(tavimo):
    text = tavimo("--help").stdout
    assert "tavimo airports krakow" in text and "tavimo ask --round-trip > trip.json" in text
    assert "``" not in text
    assert "lowest first" in " ".join(tavimo("parse", "--help").stdout.split())
    ask_help = " ".join(tavimo("ask", "--help").stdout.split())
    assert '"fly_out_date": "2027-04-01"' in ask_help and "--from CODE" in ask_help


@pytest.mark.parametrize("option", ["--version", "-V"])
def test_installed_command_and_version(option):
    command = Path(sys.executable).with_name("tavimo")
    result = subprocess.run([str(command), option], capture_output=True, encoding="utf-8")
    assert (result.returncode, result.stdout) == (0, "tavimo {}\n".format(version("tavimo")))


def test_version_does_not_read_the_package_metadata():
    result = subprocess.run(
        [
            sys.executable,
            "-I",
            "-c",
            "import sys; from tavimo.cli import main\n"
            "try: main(['--version'])\nexcept SystemExit: pass\n"
            "print('importlib.metadata' in sys.modules, file=sys.stderr)",
        ],
        capture_output=True,
        encoding="utf-8",
        timeout=60,
    )
    assert result.stderr == "False\n"


def test_module_runs_from_the_repository_root():
    # the checkout holds no package directory at its top, so the installed one is found
    result = subprocess.run(
        [sys.executable, "-m", "tavimo", "parse", "--sample"],
        capture_output=True,
        stdin=subprocess.DEVNULL,
        cwd=Path(__file__).parents[1],
        encoding="utf-8",
        timeout=60,
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert "Itinerary 5 (round trip)" in result.stdout


def test_no_input_on_a_terminal_is_a_mistake(on_terminal):
    # the sample is shown only when asked for: a terminal gets a hint, not made-up flights
    output, status = on_terminal("parse")
    assert status == 2
    assert output == (
        "tavimo: no input: give a FILE, pipe a response in (curl -s URL | "
        "tavimo parse), or --sample for the bundled sample (see tavimo parse "
        "--help)\n"
    )
    output, status = on_terminal("parse", "--sample")
    assert status == 0 and "Itinerary 5 (round trip)" in output


def test_a_closed_pipe_ends_quietly(tmp_path, environment):
    # more output than a pipe holds, so that the reader's going away is met mid-write
    (tmp_path / "many.json").write_text(json.dumps(SAMPLE * 400), encoding="utf-8")
    for format_ in ("table", "json", "csv"):
        child = subprocess.Popen(
            [sys.executable, "-I", "-m", "tavimo", "parse", "many.json", "-f", format_],
            cwd=tmp_path,
            env=environment,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        child.stdout.readline()  # `tavimo parse | head -1`
        child.stdout.close()
        assert child.wait(timeout=60) == -signal.SIGPIPE, format_  # 141 in the shell
        assert child.stderr.read() == b"", format_
        child.stderr.close()


@pytest.mark.parametrize("city", ["krakow", "KRAKÓW", " Kraków ", "KRK", "krk"])
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


def test_airports_by_prefix_put_the_cities_with_more_airports_first(tavimo):
    rows = cells(tavimo("airports", "lon").stdout)
    cities = [row[2] for row in rows]
    londons = [index for index, city in enumerate(cities) if city == "London"]
    assert londons == list(range(len(londons))) and len(londons) >= 7
    assert {"LHR", "LGW", "STN"} <= {row[0] for row in rows[: londons[-1] + 1]}
    assert rows[0][3] == "GB" and cities.index("Londolovit") == len(londons)


def test_airports_hyphens_and_blanks_alike_and_words_make_one_query(tavimo):
    expected = tavimo("airports", "new york").stdout
    assert "JFK" in expected
    assert tavimo("airports", "New-York").stdout == expected
    assert tavimo("airports", "new", "york").stdout == expected


def test_airports_limit(tavimo, on_terminal):
    assert [row[0] for row in cells(tavimo("airports", "-n", "2", "london").stdout)] == [
        "LHR",
        "LGW",
    ]
    assert len(tavimo("airports", "lon").stdout.splitlines()) > 10  # a pipe gets them all
    output, status = on_terminal("airports", "lon")  # a terminal the first ten
    lines = output.splitlines()
    assert status == 0 and len(lines) == 11
    assert re.fullmatch(r"tavimo: \d+ more; --limit N shows more", lines[0])


def test_airport_index_is_kept_in_the_cache_and_its_absence_only_costs_time(tavimo, tmp_path):
    cache = tmp_path / "cache"
    first = tavimo("airports", "krk", env={"XDG_CACHE_HOME": str(cache)})
    assert [path.name[:9] for path in (cache / "tavimo").iterdir()] == ["airports-"]
    unwritable = tmp_path / "a file"
    unwritable.write_text("")
    result = tavimo("airports", "krk", env={"XDG_CACHE_HOME": str(unwritable)})
    assert (result.returncode, result.stdout, result.stderr) == (0, first.stdout, "")


def test_airport_index_name_follows_the_table_of_each_environment(tmp_path):
    names = []
    for folder in ("one", "two"):  # two environments, each with its own airportsdata
        (tmp_path / folder).mkdir()
        table = tmp_path / folder / "airports.csv"
        table.write_text("a")
        before = index_name([str(table)])
        assert index_name([str(table)]) == before
        table.write_text("ab")  # another version of the table
        after = index_name([str(table)])
        assert after != before and after.rsplit("-", 1)[0] == before.rsplit("-", 1)[0]
        names.append(after)
    assert names[0].rsplit("-", 1)[0] != names[1].rsplit("-", 1)[0]


def completions(script, *words, cwd=None):
    """What the bash completion SCRIPT offers for the command line WORDS (the last one
    being completed)."""
    program = (
        "source /dev/stdin; COMP_WORDS=({}); COMP_CWORD={}; _tavimo; "
        'printf "%s\\n" "${{COMPREPLY[@]}}"'
    ).format(" ".join("'{}'".format(word) for word in ("tavimo",) + words), len(words))
    result = subprocess.run(
        ["bash", "-c", program],
        input=script,
        capture_output=True,
        cwd=cwd,
        encoding="utf-8",
        timeout=60,
    )
    assert result.stderr == ""
    return sorted(filter(None, result.stdout.splitlines()))


def test_bash_completion(tavimo, tmp_path):
    script = tavimo("completion", "bash").stdout
    assert completions(script, "") == sorted(["parse", "ask", "airports", "completion"])
    assert completions(script, "-") == sorted(["-h", "--help", "-V", "--version", "--find-airport"])
    assert completions(script, "pa") == ["parse"]
    assert completions(script, "parse", "--f") == ["--format"]
    assert completions(script, "parse", "-f", "") == ["csv", "json", "jsonl", "table"]
    assert completions(script, "parse", "--sort", "d") == ["departure", "duration"]
    assert completions(script, "ask", "--ro") == ["--round-trip"]
    assert completions(script, "completion", "") == ["bash", "fish", "zsh"]
    (tmp_path / "results.json").write_text("[]")
    assert completions(script, "parse", "res", cwd=tmp_path) == ["results.json"]  # a FILE


def test_zsh_completion(tavimo, tmp_path):
    script = tavimo("completion", "zsh").stdout
    assert script.startswith("#compdef tavimo\n")
    assert "'(-f --format)'{-f,--format}'[text tables]:format:(table json jsonl csv)'" in script
    assert "parse) _arguments" in script and "':file:_files'" in script
    assert "'airports:find airport codes by city, name or code'" in script
    zsh = shutil.which("zsh")
    if zsh:
        path = tmp_path / "_tavimo"
        path.write_text(script)
        check = subprocess.run([zsh, "-n", str(path)], capture_output=True, encoding="utf-8")
        assert (check.returncode, check.stderr) == (0, "")


def test_table_layout():
    # titles get two columns of room, cells lose their blanks, wide characters count twice
    assert format_table(["", "City", "Code"], [["a", " Kraków ", "KRK"], ["b", "東京", ""]]) == (
        "    City    Code\n--  ------  ------\na   Kraków  KRK\nb   東京"
    )
    assert format_table(["Airports"], []) == "Airports\n----------"


@pytest.mark.parametrize(
    "text, plain",
    [
        ("Kraków", "krakow"),
        ("ŁÓDŹ", "lodz"),
        ("  São   Paulo ", "sao paulo"),
        ("Zürich", "zurich"),
        ("Straße", "strasse"),
        ("Tromsø", "tromso"),
    ],
)
def test_airport_names_compare_without_case_and_accents(text, plain):
    assert folded(text) == plain
