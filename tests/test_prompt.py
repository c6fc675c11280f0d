"""`python -m tavimo ask` answered by hand in a real pseudo-terminal."""

import datetime
import importlib.util
import json
import os
import re
import shlex
import sys

import pytest


pexpect = pytest.importorskip("pexpect")

# Skipped only while the module is not built at all; a module that is installed but fails
# to import makes these tests fail.
pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("tavimo.questions") is None, reason="tavimo.questions is not built yet"
)

from tavimo import asking  # noqa: E402  (after the skip conditions)

CLEAR_LINE = "\x15"  # Ctrl-U: drop the text typed so far, and the pre-filled default
IATA_HINT = (
    "Please use 3 letter IATA airport codes. "
    "To find out IATA codes use: tavimo --find-airport <city_name>"
)


def when(days_from_today):
    """A day counted from today as it is when the test runs (a run may pass midnight)."""
    return datetime.date.today() + datetime.timedelta(days=days_from_today)


def day(days_from_today):
    """A date as the questions ask for it."""
    return when(days_from_today).strftime("%d/%m/%Y")


def iso(days_from_today):
    """A date as the answers give it."""
    return when(days_from_today).isoformat()


@pytest.fixture
def ask(tmp_path):
    """Start `tavimo ask ARGS` on a new terminal; with SHELL_TAIL, as a shell command line
    that sends its standard output elsewhere."""
    children = []

    def spawn(*args, shell_tail=None):
        command = [sys.executable, "-I", "-m", "tavimo", "ask", *args]
        if shell_tail is not None:
            command = ["bash", "-c", " ".join(map(shlex.quote, command)) + " " + shell_tail]
        child = pexpect.spawn(
            command[0],
            command[1:],
            cwd=str(tmp_path),
            env=dict(os.environ, TERM="xterm", LC_ALL="C.UTF-8"),
            encoding="utf-8",
            dimensions=(30, 200),
            timeout=20,
        )
        children.append(child)
        return child

    yield spawn
    for child in children:
        child.close(force=True)


def answer(child, question, text):
    child.expect_exact(question)
    child.send(CLEAR_LINE + text + "\r")


def refused(child, why, text):
    """WHY is shown under the open question; TEXT is the next answer to it."""
    child.expect_exact(why)
    child.send(CLEAR_LINE + text + "\r")


def printed_answers(output):
    found = re.search(r'\{\s*"origin".*\}', output, re.S)
    assert found, output
    return json.loads(found.group(0))


def finished(child):
    child.expect(pexpect.EOF)
    child.close()
    return child.exitstatus


def test_round_trip_answers_for_a_script_after_corrections(ask):
    child = ask("--round-trip")
    answer(child, "Origin airport:", "BE1")
    refused(child, IATA_HINT, "ber")
    answer(child, "Destination airport:", "LHR")
    answer(child, "Fly out date (dd/mm/yyyy):", "1 June 2021")
    refused(child, "Please enter the date as dd/mm/yyyy, such as ", day(30))
    answer(child, "Fly back date (dd/mm/yyyy):", day(37))
    answer(child, "Adults (>16 Years)?", "two")
    refused(child, "Please enter a number", "2")
    child.expect_exact("Teens (12-15 Years)?")
    child.send("\r")  # keep the default
    answer(child, "Children (2-11 Years)?", " 1 ")
    answer(child, "Infants (<2 Years)?", "0")
    assert finished(child) == 0
    # codes in capitals, ISO dates, counts as numbers
    assert printed_answers(child.before) == {
        "origin": "BER",
        "destination": "LHR",
        "fly_out_date": iso(30),
        "fly_back_date": iso(37),
        "adults": 2,
        "teens": 0,
        "children": 1,
        "infants": 0,
    }


ALL_GIVEN = {
    "origin": "BER",
    "destination": "LIS",
    "fly_out_date": 20,
    "fly_back_date": 27,
    "adults": "2",
    "teens": "0",
    "children": "0",
    "infants": "1",
}


def options_but(*names):
    """Every answer as an option except those of NAMES, so that only their questions are
    asked."""
    options = ["--round-trip"]
    for key, value in ALL_GIVEN.items():
        if key not in names:
            options += [asking.OPTIONS[key], iso(value) if key in asking.DATES else value]
    return options


# Each check at its question: the answer refused, why, and the answer then taken.  (The
# prompt redraws only what changed of a message, so each session shows one refusal.)
@pytest.mark.parametrize(
    "name, question, wrong, why, right, value",
    [
        ("origin", "Origin airport:", "BE1", IATA_HINT, "ber", "BER"),
        (
            "destination",
            "Destination airport:",
            "ber",
            "BER is the origin too; choose another destination.",
            "lis",
            "LIS",
        ),
        (
            "fly_out_date",
            "Fly out date",
            "31/02/2027",
            "31/02/2027 is not a day of the calendar (dates are dd/mm/yyyy).",
            day(2),
            iso(2),
        ),
        # the date pattern takes 29/02 of every year ending in 00, the calendar does not
        (
            "fly_out_date",
            "Fly out date",
            "29/02/2100",
            "29/02/2100 is not a day of the calendar (dates are dd/mm/yyyy).",
            day(2),
            iso(2),
        ),
        (
            "fly_out_date",
            "Fly out date",
            day(-1),
            "The fly out date {} is in the past.".format(day(-1)),
            lambda: day(0),  # (today when the test runs)
            lambda: iso(0),
        ),
        (
            "fly_back_date",
            "Fly back date",
            day(19),
            "The fly back date {} is before the fly out date {}.".format(day(19), day(20)),
            day(20),
            iso(20),
        ),  # the same day is a trip
        ("adults", "Adults", "0", "At least one adult travels.", "1", 1),
        ("teens", "Teens", "-1", "A number of passengers cannot be negative.", "3", 3),
        (
            "infants",
            "Infants",
            "3",
            "No more infants than adults (2): each infant travels on an adult's lap.",
            "2",
            2,
        ),
    ],
)
def test_each_check_at_its_question(ask, name, question, wrong, why, right, value):
    right, value = (made() if callable(made) else made for made in (right, value))
    if name in asking.COUNTS:
        # with the places and dates given, counts left out take their defaults unasked
        child = ask(*options_but("origin", name))
        answer(child, "Origin airport:", "BER")
    else:
        child = ask(*options_but(name))
    answer(child, question, wrong)
    refused(child, why, right)
    assert finished(child) == 0
    assert printed_answers(child.before)[name] == value


def test_answers_go_to_a_file_and_questions_stay_on_the_terminal(ask, tmp_path):
    child = ask(*options_but("destination"), shell_tail="> answers.json")
    answer(child, "Destination airport:", "lis")
    assert finished(child) == 0
    assert "origin" not in child.before  # the answers went to the file, not the terminal
    assert json.loads((tmp_path / "answers.json").read_text(encoding="utf-8")) == {
        "origin": "BER",
        "destination": "LIS",
        "fly_out_date": iso(20),
        "fly_back_date": iso(27),
        "adults": 2,
        "teens": 0,
        "children": 0,
        "infants": 1,
    }


@pytest.mark.parametrize("key", ["c", "d"])
def test_ctrl_c_and_ctrl_d_cancel_a_pipe(ask, tmp_path, key):
    child = ask(shell_tail="| cat > answers.json; exit ${PIPESTATUS[0]}")
    answer(child, "Origin airport:", "PRG")
    answer(child, "Destination airport:", "BCN")
    answer(child, "Fly out date (dd/mm/yyyy):", day(1))
    child.expect(["Adults", "Fly back date"])  # one way: no fly-back date
    assert child.after == "Adults"
    child.send(CLEAR_LINE)  # Ctrl-D ends an empty answer only
    child.sendcontrol(key)
    child.expect_exact("tavimo: cancelled")
    assert finished(child) == 130
    assert (tmp_path / "answers.json").read_text(encoding="utf-8") == ""


def test_only_what_the_options_leave_out_is_asked(ask):
    child = ask("--from", "krk", "--back", iso(9), "--adults", "2", "--infants", "1")
    answer(child, "Destination airport:", "KRK")  # checked against the origin given
    refused(child, "KRK is the origin too; choose another destination.", "LIS")
    answer(child, "Fly out date (dd/mm/yyyy):", day(10))  # ... and the fly-back date
    refused(
        child, "The fly back date {} is before the fly out date {}.".format(day(9), day(10)), day(2)
    )
    answer(child, "Teens (12-15 Years)?", "0")
    answer(child, "Children (2-11 Years)?", "0")
    assert finished(child) == 0
    assert "Adults" not in child.before and "Infants" not in child.before
    assert printed_answers(child.before) == {
        "origin": "KRK",
        "destination": "LIS",
        "fly_out_date": iso(2),
        "fly_back_date": iso(9),
        "adults": 2,
        "teens": 0,
        "children": 0,
        "infants": 1,
    }


def test_checks_see_the_other_answers_known():
    from tavimo.questions import get_questions

    questions = {question["name"]: question for question in get_questions(True)}
    today = datetime.date(2030, 6, 10)

    def problem(name, text, **known):
        return asking.problem(questions[name], text, known, today)

    # an answer asked before its partner is checked against the partner given as an option
    assert problem("origin", "lis", destination="LIS") == (
        "LIS is the destination too; choose another origin."
    )
    assert problem("fly_out_date", "20/06/2030", fly_back_date=datetime.date(2030, 6, 15)) == (
        "The fly back date 15/06/2030 is before the fly out date 20/06/2030."
    )
    assert problem("adults", "1", infants=2) == (
        "No more infants than adults (1): each infant travels on an adult's lap."
    )
    assert problem("fly_back_date", "09/06/2030") == "The fly back date 09/06/2030 is in the past."
    assert problem("fly_out_date", "10/06/2030") is None  # today is not in the past
    assert problem("destination", "ber", origin="LHR") is None
    assert problem("infants", "2", adults=2) is None
