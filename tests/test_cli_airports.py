"""`tavimo airports`: the index in the cache, the ranking, several queries and the output
formats."""
import json
import os
import shutil
import subprocess
import sys

import pytest

from tavimo import airports


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


def whole_file(cache):
    airports.load_index()
    return cache.read_bytes()


@pytest.mark.parametrize("damage", [
    lambda whole: b"", lambda whole: b"[]", lambda whole: b"{}\n[]",
    lambda whole: whole[:len(whole) // 2],  # cut short
    lambda whole: whole[:-1],
    lambda whole: whole.replace(b'"FCO"', b'"FCX"', 1),  # changed after it was written
    lambda whole: whole.split(b"\n", 1)[1],  # no first line
    lambda whole: b"\xff\xfe not JSON",
    lambda whole: whole.split(b"\n", 1)[0] + b"\n" + b"[" * 100000,
], ids=["empty", "empty list", "wrong shape", "half", "last byte", "changed", "headless",
        "not JSON", "nested"])
def test_a_damaged_index_is_made_again(cache, damage, index):
    whole = whole_file(cache)
    cache.write_bytes(damage(whole))
    assert airports.load_index() == index
    assert cache.read_bytes() == whole  # and the cache healed


def test_a_failed_write_leaves_no_file_behind(cache, monkeypatch, index):
    def no_room(*args):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(airports.os, "replace", no_room)
    assert airports.load_index() == index  # still answers
    assert os.listdir(cache.parent) == []


@pytest.mark.skipif(not shutil.which("unshare"), reason="no unshare")
def test_a_full_disk_leaves_no_file_behind(tmp_path):
    # a file system too small for the index, in a mount namespace of the test's own
    disk = tmp_path / "disk"
    disk.mkdir()
    script = ('mount -t tmpfs -o size=64k tavimo-test "$1" || exit 77; '
              'XDG_CACHE_HOME="$1" "$2" -I -m tavimo airports fco; status=$?; '
              'ls -A "$1/tavimo"; exit $status')
    result = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", str(disk),
                             sys.executable], capture_output=True, encoding="utf-8",
                            timeout=60)
    if result.returncode == 77:
        pytest.skip("cannot mount a file system here")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith("FCO  ") and result.stdout.endswith("IT\n")


@pytest.mark.parametrize("query, first", [
    ("rome", ["FCO", "CIA"]), ("Roma", ["FCO", "CIA"]),  # the city's name in Italian too
    ("washington", ["IAD", "DCA"]), ("new york", ["JFK", "EWR", "LGA"]),
    ("nyc", ["JFK", "EWR", "LGA"]), ("LON", ["LHR", "LGW", "STN", "LTN", "LCY"]),
    ("par", ["CDG", "ORY"]), ("München", ["MUC"]), ("Köln", ["CGN"]), ("munchen", ["MUC"]),
    ("dubai", ["DXB"]),
    ("sha", ["SHA", "PVG"]),  # the airport of the code before the rest of its city's
])
def test_the_airports_a_traveller_means_come_first(index, query, first):
    assert codes(query, index, len(first)) == first


def test_small_fields_of_the_city_follow_its_airports(index):
    found = codes("washington", index)
    assert found.index("BWI") < found.index("WSG")  # the area's airports, then the fields
    assert "OBF" in codes("münchen", index)  # the table's own München is found as well
    london = codes("london", index)
    assert london[:5] == ["LHR", "LGW", "STN", "LTN", "LCY"] and "BQH" in london


def test_a_metropolitan_code_is_a_known_code(index):
    known = airports.known_codes(index)
    assert {"NYC", "LON", "KRK", "EWR"} <= known and "XQX" not in known


@pytest.mark.parametrize("text, expected", [
    ("new york", True), ("NYC", True), ("köln", True), ("lhr lgw", False), ("york", True),
    ("new yor", False),
])
def test_names_a_city(index, text, expected):
    assert airports.names_a_city(text, index) is expected
