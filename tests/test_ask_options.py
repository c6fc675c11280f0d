"""`tavimo ask` with its answers as options: for scripts and CI, with no terminal at all."""

import datetime
import json
import subprocess
import sys

import pytest

from conftest import TODAY


def when(days_from_today, layout="%Y-%m-%d"):
    return (TODAY + datetime.timedelta(days=days_from_today)).strftime(layout)


def ask(*options):
    """`tavimo ask OPTIONS` in a session of its own: no controlling terminal to ask on."""
    return subprocess.run(
        [sys.executable, "-I", "-m", "tavimo", "ask", *options],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        encoding="utf-8",
        start_new_session=True,
        timeout=60,
    )


TRIP = ["--from", "krk", "--to", "LIS", "--out", when(30)]


def test_a_whole_trip_needs_no_terminal():
    result = ask(*TRIP, "--back", when(37, "%d/%m/%Y"), "--adults", "2", "--infants", "1")
    assert (result.returncode, result.stderr) == (0, "")
    assert json.loads(result.stdout) == {
        "origin": "KRK",
        "destination": "LIS",
        "fly_out_date": when(30),
        "fly_back_date": when(37),
        "adults": 2,
        "teens": 0,
        "children": 0,
        "infants": 1,
    }
    # one way: the fly-back date is null, and the counts not given are the defaults
    assert json.loads(ask(*TRIP).stdout) == {
        "origin": "KRK",
        "destination": "LIS",
        "fly_out_date": when(30),
        "fly_back_date": None,
        "adults": 1,
        "teens": 0,
        "children": 0,
        "infants": 0,
    }


@pytest.mark.parametrize(
    "options, message",
    [
        (["--to", "KRK"], "--to: KRK is the origin too; choose another destination"),
        (
            ["--from", "K1K"],
            "--from: Please use 3 letter IATA airport codes. To find out IATA "
            "codes use: tavimo --find-airport <city_name>",
        ),
        (
            ["--out", "2027-02-31"],
            "--out: 2027-02-31 is not a day of the calendar (dates are YYYY-MM-DD)",
        ),
        (
            ["--out", "31/02/2027"],
            "--out: 31/02/2027 is not a day of the calendar (dates are dd/mm/yyyy)",
        ),
        # the form the option names first (--help: YYYY-MM-DD, or dd/mm/yyyy)
        (["--out", "tomorrow"], "--out: Please enter the date as YYYY-MM-DD, such as "),
        (["--out", when(-1)], "--out: The fly out date {} is in the past".format(when(-1))),
        (
            ["--back", when(29)],
            "--back: The fly back date {} is before the fly out date {}".format(when(29), when(30)),
        ),
        (["--adults", "0"], "--adults: At least one adult travels"),
        (["--adults", "two"], "--adults: Please enter a number"),
        (["--children", "-2"], "--children: A number of passengers cannot be negative"),
        (
            ["--adults", "2", "--infants", "3"],
            "--infants: No more infants than adults (2): each infant travels on an adult's lap",
        ),
        # a count left out takes its default, and is checked as well
        (
            ["--infants", "2"],
            "--infants: No more infants than adults (1): each infant travels on an adult's lap",
        ),
    ],
)
def test_answers_given_are_checked_as_at_their_questions(options, message):
    # the last option of a name wins, so each case overrides the valid trip
    result = ask(*TRIP, *options)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("tavimo: " + message)
    assert result.stderr.endswith(" (see tavimo ask --help)\n")
    assert len(result.stderr.splitlines()) == 1


def test_answers_left_out_need_a_terminal():
    result = ask("--from", "KRK", "--to", "LIS")
    assert (result.returncode, result.stdout) == (1, "")
    assert "ask needs a terminal" in result.stderr
