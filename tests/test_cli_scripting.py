"""`tavimo parse` for scripts: the trip's facts in the machine formats (ids, stops,
layovers, UTC times), filters and order, JSON Lines in and out, several files, -o."""

import copy
import csv
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tavimo
from tavimo.cli import main

SAMPLE = json.loads(
    (Path(tavimo.__file__).with_name("data") / "sample_results.json").read_text(encoding="utf-8")
)["data"]


@pytest.fixture
def tavimo_parse(tmp_path, capsys, monkeypatch):
    """Run `tavimo parse ARGS` in TMP_PATH: exit status, stdout and stderr."""
    monkeypatch.chdir(tmp_path)

    def run(*args):
        status = main(["parse", *args])
        out, err = capsys.readouterr()
        return status, out, err

    return run


def write(tmp_path, name, records):
    (tmp_path / name).write_text(json.dumps(records), encoding="utf-8")
    return name


def numbers(out):
    return [itinerary["itinerary"] for itinerary in json.loads(out)["itineraries"]]


def test_stops_layovers_and_utc_times(tavimo_parse):
    status, out, err = tavimo_parse("--sample", "-f", "json")
    assert (status, err) == (0, "")
    trip = json.loads(out)["itineraries"][4]
    assert trip["id"] == "4d8a3e0b2f6c0000d5b9a4c3_0"
    outbound = trip["outbound"]
    # BUD -> AMS -> LAX: one stop, at AMS, from 06:20 to 08:00 UTC
    assert (outbound["stops"], outbound["layovers"]) == (
        1,
        [{"airport": "AMS", "seconds": 6000, "self_transfer": False}],
    )
    # LAX -> CDG -> BUD, across the night: from 09:20 to 11:25 UTC at CDG
    assert trip["inbound"]["layovers"] == [
        {"airport": "CDG", "seconds": 7500, "self_transfer": False}
    ]
    assert (outbound["utc_departure"], outbound["utc_arrival"]) == (
        "2021-07-09T04:00:00Z",
        "2021-07-09T19:05:00Z",
    )
    assert [leg["utc_departure"] for leg in outbound["legs"]] == [
        "2021-07-09T04:00:00Z",
        "2021-07-09T08:00:00Z",
    ]
    status, out, err = tavimo_parse("--sample", "-f", "csv")
    rows = [row for row in csv.DictReader(io.StringIO(out)) if row["itinerary"] == "5"]
    assert [
        (row["stops"], row["layover_seconds"], row["bags_recheck_required"]) for row in rows
    ] == [("1", "6000", "false"), ("1", "", "false"), ("1", "7500", "false"), ("1", "", "false")]


def test_layovers_by_the_local_clock_without_utc_times_and_self_transfers(tavimo_parse, tmp_path):
    trip = copy.deepcopy(SAMPLE[4])
    first, second = trip["route"][:2]
    for name in ("utc_departure", "utc_arrival"):
        del first[name]
    second["utc_departure"] = "2021-07-09T10:00:00+02:00"  # the same moment as 08:00Z
    first["bags_recheck_required"] = True
    del second["bags_recheck_required"]
    status, out, err = tavimo_parse(write(tmp_path, "trip.json", [trip]), "-f", "json")
    assert (status, err) == (0, "")
    outbound = json.loads(out)["itineraries"][0]["outbound"]
    # by the local clock: from 08:20 to 10:00 at Amsterdam
    assert outbound["layovers"] == [{"airport": "AMS", "seconds": 6000, "self_transfer": True}]
    assert outbound["utc_departure"] is None
    assert [(leg["utc_departure"], leg["bags_recheck_required"]) for leg in outbound["legs"]] == [
        (None, True),
        ("2021-07-09T08:00:00Z", None),
    ]


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda trip: trip.update(id=["x"]), "field 'id' is not a text or a number: [\"x\"]"),
        (
            lambda trip: trip["route"][1].update(utc_arrival="2021-07-09T12:05:00"),
            "field 'route[1].utc_arrival' is not a UTC date and time such as "
            '2021-06-01T08:15:00.000Z: "2021-07-09T12:05:00"',
        ),
        (
            lambda trip: trip["route"][0].update(utc_departure=5),
            "field 'route[0].utc_departure' is not a UTC date and time such as "
            "2021-06-01T08:15:00.000Z: 5",
        ),
        (
            lambda trip: trip["route"][2].update(bags_recheck_required="no"),
            "field 'route[2].bags_recheck_required' is not true or false: \"no\"",
        ),
    ],
)
def test_machine_fields_of_the_wrong_kind_are_reported(tavimo_parse, tmp_path, change, message):
    trip = copy.deepcopy(SAMPLE[4])
    change(trip)
    name = write(tmp_path, "trip.json", [SAMPLE[0], trip])
    for format_ in ("json", "jsonl", "csv"):
        status, out, err = tavimo_parse(name, "-f", format_)
        assert (status, err) == (1, "tavimo: itinerary 2: {}\n".format(message))
    # the table shows none of them
    assert tavimo_parse(name)[0] == 0


@pytest.fixture
def priced(tmp_path):
    """The sample's five itineraries: 59 EUR direct (U2); 187 direct both ways (VY); 412
    with a stop each way (LH, LX); 120 (instead of 689) with two stops (LO, AF); 1094 with
    a stop each way (KL, DL, AF)."""
    trips = copy.deepcopy(SAMPLE)
    trips[3]["conversion"] = {"EUR": 120}
    return write(tmp_path, "priced.json", trips)


@pytest.mark.parametrize(
    "options, expected",
    [
        (["--max-price", "187"], [1, 2, 4]),
        (["--max-price", "186.99"], [1, 4]),
        (["--direct"], [1, 2]),
        (["--max-stops", "0"], [1, 2]),
        (["--max-stops", "1"], [1, 2, 3, 5]),
        (["--airline", "vy"], [2]),
        (["--airline", "U2", "--airline", "LO"], [1]),  # AF flies a leg of 4
        (["--airline", "U2", "--airline", "lo,AF"], [1, 4]),
        (["--airline", "U2,LO,AF,VY", "--max-price", "150"], [1, 4]),
        (["--airline", "KL,DL"], []),  # AF flies one leg
        (["--sort", "price", "--reverse"], [5, 3, 2, 4, 1]),
        (["--sort", "price", "-r", "--direct", "-n", "1"], [2]),
        (["--sort", "departure", "--reverse"], [5, 4, 3, 2, 1]),
    ],
)
def test_filters_and_order(tavimo_parse, priced, options, expected):
    status, out, err = tavimo_parse(priced, "-f", "json", *options)
    assert (status, err) == (0, "")
    assert numbers(out) == expected


def test_reverse_keeps_ties_in_order_and_the_priceless_last(tavimo_parse, tmp_path):
    trips = [copy.deepcopy(SAMPLE[0]) for _ in range(4)]
    trips[1]["conversion"] = {"EUR": "free"}
    trips[3]["conversion"] = {"EUR": 100}
    name = write(tmp_path, "ties.json", trips)
    assert numbers(tavimo_parse(name, "-f", "json", "-s", "price", "-r")[1]) == [4, 1, 3, 2]
    # a filtered-out itinerary is still checked; a table without any says so
    status, out, err = tavimo_parse(write(tmp_path, "one.json", [None, SAMPLE[4]]), "--direct")
    assert (status, out) == (1, "")
    status, out, err = tavimo_parse(write(tmp_path, "p.json", [SAMPLE[4]]), "--direct")
    assert (status, out, err) == (0, "No itineraries.\n", "")


@pytest.mark.parametrize(
    "options, message",
    [
        (["--reverse"], "tavimo: --reverse needs --sort (see tavimo parse --help)"),
        (["--max-price", "-5"], "expected an amount such as 120 or 99.50, got '-5'"),
        (["--max-price", "nan"], "expected an amount such as 120 or 99.50, got 'nan'"),
        (["--max-stops", "-1"], "expected a whole number of 0 or more, got '-1'"),
        (["--max-stops", "1", "--direct"], "not allowed with argument"),
    ],
)
def test_filter_mistakes_are_usage_errors(tavimo, options, message):
    result = tavimo("parse", "--sample", *options)
    assert (result.returncode, result.stdout) == (2, "")
    assert message in result.stderr and len(result.stderr.splitlines()) == 1


@pytest.fixture
def tavimo(tmp_path):
    def run(*args, stdin=""):
        return subprocess.run(
            [sys.executable, "-I", "-m", "tavimo", *args],
            cwd=tmp_path,
            input=stdin,
            capture_output=True,
            encoding="utf-8",
            env=dict(os.environ, LC_ALL="C.UTF-8"),
            timeout=60,
        )

    return run


def json_lines(records):
    return "".join(json.dumps(record) + "\n" for record in records)


def test_json_lines_out_and_in(tavimo):
    document = json.loads(tavimo("parse", "--sample", "-f", "json").stdout)
    lines = tavimo("parse", "--sample", "-f", "jsonl").stdout
    assert [json.loads(line) for line in lines.splitlines()] == document["itineraries"]
    # `jq -c '.data[]' | tavimo parse` reads as the response does, and so do lines that
    # are whole responses, and blank lines
    for stdin in (
        json_lines(SAMPLE),
        json_lines(SAMPLE[:2]) + "\n" + json_lines(SAMPLE[2:]),
        json_lines([SAMPLE[:2], {"data": SAMPLE[2:4]}, SAMPLE[4]]),
    ):
        result = tavimo("parse", "-f", "json", stdin=stdin)
        assert (result.returncode, result.stderr) == (0, "")
        assert json.loads(result.stdout) == document
    # one itinerary alone, as `jq '.data[0]'` writes it
    single = tavimo("parse", "-f", "jsonl", stdin=json.dumps(SAMPLE[2], indent=2))
    assert single.stdout == lines.splitlines(keepends=True)[2].replace(
        '"itinerary": 3', '"itinerary": 1'
    )


def test_a_line_that_is_no_json_is_reported_and_the_rest_shown(tavimo):
    stdin = json_lines(SAMPLE[:2]) + '{"cut": \n' + json_lines(SAMPLE[2:3])
    result = tavimo("parse", "-f", "jsonl", stdin=stdin)
    assert result.returncode == 1
    assert [json.loads(line)["itinerary"] for line in result.stdout.splitlines()] == [1, 2, 4]
    assert result.stderr == (
        "tavimo: itinerary 3: line 3 of standard input is not valid "
        "JSON: Expecting value: line 1 column 8 (char 7)\n"
    )


def test_several_files_one_after_another(tavimo, tmp_path):
    write(tmp_path, "a.json", {"data": SAMPLE[:2]})
    (tmp_path / "b.jsonl").write_text(json_lines([SAMPLE[2], None]))
    (tmp_path / "c.json").write_text("{")
    result = tavimo(
        "parse",
        "a.json",
        "b.jsonl",
        "missing.json",
        "c.json",
        "-",
        "-f",
        "jsonl",
        stdin=json_lines(SAMPLE[3:]),
    )
    assert result.returncode == 1
    assert [json.loads(line)["itinerary"] for line in result.stdout.splitlines()] == [1, 2, 3, 5, 6]
    assert result.stderr.splitlines() == [
        "tavimo: b.jsonl: itinerary 4: expected an object, got null",
        "tavimo: cannot read missing.json: No such file or directory",
        "tavimo: c.json is not valid JSON: Expecting property name enclosed in double "
        "quotes: line 1 column 2 (char 1)",
    ]
    # one source that cannot be read: nothing but the error
    result = tavimo("parse", "c.json", "-f", "json")
    assert (result.returncode, result.stdout) == (1, "")


def test_output_file_is_replaced_once_whole(tavimo, tmp_path):
    expected = tavimo("parse", "--sample", "-f", "csv").stdout
    result = tavimo("parse", "--sample", "-f", "csv", "-o", "legs.csv")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert (tmp_path / "legs.csv").read_text() == expected
    assert sorted(path.name for path in tmp_path.iterdir()) == ["legs.csv"]
    # a failure leaves the old file as it was, and no temporary one beside it
    result = tavimo("parse", "missing.json", "--output", "legs.csv")
    assert result.returncode == 1
    assert (tmp_path / "legs.csv").read_text() == expected
    assert sorted(path.name for path in tmp_path.iterdir()) == ["legs.csv"]
    # the input may be the output; devices are written as they are; '-' is stdout
    write(tmp_path, "trip.json", SAMPLE)
    assert tavimo("parse", "trip.json", "-f", "json", "-o", "trip.json").returncode == 0
    assert json.loads((tmp_path / "trip.json").read_text())["itineraries"][0]["id"]
    assert tavimo("parse", "--sample", "-o", os.devnull).returncode == 0
    assert tavimo("parse", "--sample", "-f", "csv", "-o", "-").stdout == expected
    result = tavimo("parse", "--sample", "-o", "no/such/folder/out.txt")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == (
        "tavimo: cannot write no/such/folder/out.txt: No such file or directory\n"
    )
