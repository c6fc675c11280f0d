"""`tavimo airports`: the index in the cache, the ranking, several queries and the output
formats."""

import copy
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tavimo import airports


@pytest.fixture(scope="module")
def schema():
    """The JSON Schema of `tavimo airports -f json` shipped with the package."""
    jsonschema = pytest.importorskip("jsonschema")
    return jsonschema.Draft202012Validator(
        json.loads(
            (Path(airports.__file__).with_name("data") / "airports.schema.json").read_text("utf-8")
        )
    )


@pytest.fixture(scope="module")
def index():
    return airports.build_index()


@pytest.fixture
def cache(tmp_path, monkeypatch):
    """The index file's path in a cache directory of the test's own."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    return tmp_path / "tavimo" / airports.index_name(airports.table_files())


def codes(query, index, count=None):
    return [entry[airports.IATA] for entry in airports.find_airports(query, index)][:count]


def with_checksum(body):
    return airports.index_header(body) + b"\n" + body


def whole_file(cache, index):
    airports.save_index(str(cache.parent), cache.name, index)
    return cache.read_bytes()


@pytest.mark.parametrize(
    "damage",
    [
        lambda whole: b"",
        lambda whole: b"[]",
        lambda whole: b"{}\n[]",
        lambda whole: whole[: len(whole) // 2],  # cut short
        lambda whole: whole[:-1],
        lambda whole: whole.replace(b'"FCO"', b'"FCX"', 1),  # changed after it was written
        lambda whole: whole.split(b"\n", 1)[1],  # no first line
        lambda whole: b"\xff\xfe not JSON",
        lambda whole: whole.split(b"\n", 1)[0] + b"\n" + b"[" * 100000,
        # written whole, checksum and all, but not by this module
        lambda whole: with_checksum(b"[1]"),
        lambda whole: with_checksum(b"[[]]"),
        lambda whole: with_checksum(b'[["FCO"]]'),
        lambda whole: with_checksum(b"[]"),
        lambda whole: with_checksum(whole.split(b"\n", 1)[1][:-1] + b',["XQX"]]'),
    ],
    ids=[
        "empty",
        "empty list",
        "wrong shape",
        "half",
        "last byte",
        "changed",
        "headless",
        "not JSON",
        "nested",
        "number",
        "empty entry",
        "short entry",
        "no entries",
        "short last entry",
    ],
)
def test_a_damaged_index_is_made_again(cache, damage, index, monkeypatch):
    whole = whole_file(cache, index)
    cache.write_bytes(damage(whole))
    builds = []
    monkeypatch.setattr(airports, "build_index", lambda: builds.append(1) or copy.deepcopy(index))
    assert airports.load_index() == index and builds == [1]
    assert cache.read_bytes() == whole  # and the cache healed
    assert airports.load_index() == index and builds == [1]  # and is read again


def test_a_failed_write_leaves_no_file_behind(cache, monkeypatch, index):
    def no_room(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(airports.os, "replace", no_room)
    assert airports.load_index() == index  # still answers
    assert os.listdir(cache.parent) == []


@pytest.mark.skipif(not shutil.which("unshare"), reason="no unshare")
def test_a_full_disk_leaves_no_file_behind(tmp_path):
    # a file system too small for the index, in a mount namespace of the test's own
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode:
        pytest.skip("no mount namespace of our own here (a chroot, no privileges)")
    disk = tmp_path / "disk"
    disk.mkdir()
    script = (
        'mount -t tmpfs -o size=64k tavimo-test "$1" || exit 77; '
        'XDG_CACHE_HOME="$1" "$2" -I -m tavimo airports fco; status=$?; '
        'ls -A "$1/tavimo"; exit $status'
    )
    result = subprocess.run(
        ["unshare", "-m", "sh", "-c", script, "sh", str(disk), sys.executable],
        capture_output=True,
        encoding="utf-8",
        timeout=60,
    )
    if result.returncode == 77:
        pytest.skip("cannot mount a file system here")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith("FCO  ") and result.stdout.endswith("IT\n")


@pytest.mark.parametrize(
    "query, first",
    [
        ("rome", ["FCO", "CIA"]),
        ("Roma", ["FCO", "CIA"]),  # the city's name in Italian too
        ("washington", ["IAD", "DCA"]),
        ("new york", ["JFK", "EWR", "LGA"]),
        ("nyc", ["JFK", "EWR", "LGA"]),
        ("LON", ["LHR", "LGW", "STN", "LTN", "LCY"]),
        ("par", ["CDG", "ORY"]),
        ("München", ["MUC"]),
        ("Köln", ["CGN"]),
        ("munchen", ["MUC"]),
        ("dubai", ["DXB"]),
        ("sha", ["SHA", "PVG"]),  # the airport of the code before the rest of its city's
    ],
)
def test_the_airports_a_traveller_means_come_first(index, query, first):
    assert codes(query, index, len(first)) == first


def test_small_fields_of_the_city_follow_its_airports(index):
    found = codes("washington", index)
    assert found.index("BWI") < found.index("WSG")  # the area's airports, then the fields
    # the airports the table itself places in München are found as well
    assert {
        entry[airports.IATA] for entry in index if "munchen" in entry[airports.CITIES].split("\n")
    } <= set(codes("münchen", index))
    london = codes("london", index)
    assert london[:5] == ["LHR", "LGW", "STN", "LTN", "LCY"] and "BQH" in london


@pytest.fixture
def tavimo(tmp_path_factory):
    """Run `tavimo airports ARGS` with a cache of the module's own: status, stdout, stderr."""
    cache = str(tmp_path_factory.getbasetemp() / "airports-cache")

    def run(*args):
        result = subprocess.run(
            [sys.executable, "-I", "-m", "tavimo", "airports", *args],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            encoding="utf-8",
            timeout=60,
            env=dict(os.environ, LC_ALL="C.UTF-8", XDG_CACHE_HOME=cache),
        )
        return result.returncode, result.stdout, result.stderr

    return run


def test_several_queries_each_under_its_own_line(tavimo):
    status, out, err = tavimo("LHR", "lgw", "new", "york")  # words of a city are one query
    assert (status, err) == (0, "")
    blocks = out.split("\n\n")
    assert [block.split("\n", 1)[0] for block in blocks] == ["LHR:", "lgw:", "new york:"]
    assert blocks[1].splitlines()[1].startswith("LGW  London Gatwick Airport")
    assert [line[:3] for line in blocks[2].splitlines()[1:4]] == ["JFK", "EWR", "LGA"]


def test_a_query_that_finds_nothing_is_named_and_the_others_still_show(tavimo):
    status, out, err = tavimo("LHR", "xyzzy")
    assert (status, err) == (1, "tavimo: no airport found for 'xyzzy'\n")
    assert out.startswith("LHR:\nLHR  London Heathrow Airport")
    assert tavimo("-f", "json", "xyzzy")[:2] == (
        1,
        '{\n  "schema_version": 1,\n  '
        '"queries": [\n    {\n      "query": '
        '"xyzzy",\n      "airports": []\n    }\n'
        "  ]\n}\n",
    )


def test_json_and_tsv_hold_the_same_airports(tavimo, schema, index):
    status, out, err = tavimo("-f", "json", "-n", "3", "nyc", "krk")
    assert (status, err) == (0, "")
    document = json.loads(out)
    schema.validate(document)
    assert document["schema_version"] == 1
    assert [query["query"] for query in document["queries"]] == ["nyc", "krk"]
    krk = document["queries"][1]["airports"]
    assert krk == [airports.shown(next(entry for entry in index if entry[0] == "KRK"))]
    assert (
        krk[0]["icao"],
        krk[0]["city"],
        krk[0]["country"],
        krk[0]["metro"],
        krk[0]["timezone"],
        round(krk[0]["latitude"]),
        round(krk[0]["longitude"]),
    ) == ("EPKK", "Kraków", "PL", None, "Europe/Warsaw", 50, 20)
    assert [airport["metro"] for airport in document["queries"][0]["airports"]] == ["NYC"] * 3
    status, out, err = tavimo("-f", "tsv", "-n", "3", "nyc", "krk")
    rows = [line.split("\t") for line in out.splitlines()]
    assert rows[0] == ["query"] + list(airports.SHOWN)
    assert [dict(zip(rows[0], row)) for row in rows[1:]] == [
        dict(
            airport,
            query=query["query"],
            latitude=repr(airport["latitude"]),
            longitude=repr(airport["longitude"]),
            metro=airport["metro"] or "",
        )
        for query in document["queries"]
        for airport in query["airports"]
    ]


def test_every_airport_follows_the_schema(index, schema):
    schema.check_schema(schema.schema)
    schema.validate(
        {
            "schema_version": 1,
            "queries": [{"query": "all", "airports": list(map(airports.shown, index))}],
        }
    )
    assert not schema.is_valid({"schema_version": 1, "queries": [{"query": "x", "airports": [{}]}]})


@pytest.mark.parametrize("args", [["-f", "xml", "rome"], [""], ["-n", "0", "rome"]])
def test_mistakes_exit_2(tavimo, args):
    status, out, err = tavimo(*args)
    assert (status, out) == (2, "") and len(err.splitlines()) == 1


def test_a_failed_search_exits_3(monkeypatch, capsys):
    from tavimo import cli

    with open("/dev/full", "w") as full:
        result = subprocess.run(
            [sys.executable, "-I", "-m", "tavimo", "airports", "rome"],
            stdout=full,
            stderr=subprocess.PIPE,
            encoding="utf-8",
            timeout=60,
        )
    assert (result.returncode, result.stderr) == (
        3,
        "tavimo: cannot write the output: No space left on device\n",
    )

    def no_table():
        raise airports.UserError("the airport table is not available: gone")

    monkeypatch.setattr(airports, "table_files", no_table)
    assert cli.main(["airports", "rome"]) == 3
    assert capsys.readouterr() == ("", "tavimo: the airport table is not available: gone\n")


def test_metropolitan_areas_without_the_table_of_them(monkeypatch):
    # an airportsdata that has no such table, or a broken one, leaves the areas of METROS
    import airportsdata

    def broken():
        raise KeyError("XXX")

    monkeypatch.setattr(airportsdata, "load_iata_macs", broken)
    assert airports.metro_areas(airportsdata) == airports.METROS
    monkeypatch.delattr(airportsdata, "load_iata_macs")
    assert airports.metro_areas(airportsdata) == airports.METROS
