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
pytestmark = pytest.mark.skipif(importlib.util.find_spec("tavimo.questions") is None,
                                reason="tavimo.questions is not built yet")

from tavimo import asking  # noqa: E402  (after the skip conditions)
from tavimo.asking import trip_problem  # noqa: E402

CLEAR_LINE = "\x15"  # Ctrl-U: drop the text typed so far, and the pre-filled default
IATA_HINT = ("Please use 3 letter IATA airport codes. "
             "To find out IATA codes use: tavimo --find-airport <city_name>")


def day(days_from_today):
    return (datetime.date.today() + datetime.timedelta(days=days_from_today)).strftime("%d/%m/%Y")


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
            command[0], command[1:], cwd=str(tmp_path),
            env=dict(os.environ, TERM="xterm", LC_ALL="C.UTF-8"), encoding="utf-8",
            dimensions=(30, 200), timeout=20)
        children.append(child)
        return child

    yield spawn
    for child in children:
        child.close(force=True)


def answer(child, question, text):
    child.expect_exact(question)
    child.send(CLEAR_LINE + text + "\r")


def printed_answers(output):
    found = re.search(r'\{\s*"origin".*\}', output, re.S)
    assert found, output
    return json.loads(found.group(0))


def test_round_trip_answers_after_corrections(ask):
    child = ask("--round-trip")
    answer(child, "Origin airport:", "BE1")
    child.expect_exact(IATA_HINT)
    child.send(CLEAR_LINE + "ber\r")
    answer(child, "Destination airport:", "LHR")
    answer(child, "Fly out date (dd/mm/yyyy):", "31/04/2021")
    child.expect_exact("Please enter date in correct format")
    child.send(CLEAR_LINE + day(30) + "\r")
    answer(child, "Fly back date (dd/mm/yyyy):", day(37))
    answer(child, "Adults (>16 Years)?", "two")
    child.expect_exact("Please enter a number")
    child.send(CLEAR_LINE + "2\r")
    child.expect_exact("Teens (12-15 Years)?")
    child.send("\r")  # keep the default
    answer(child, "Children (2-11 Years)?", " 1 ")
    answer(child, "Infants (<2 Years)?", "0")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert printed_answers(child.before) == {
        "origin": "ber", "destination": "LHR", "fly_out_date": day(30),
        "fly_back_date": day(37), "adults": 2, "teens": 0, "children": 1, "infants": 0,
    }


def test_answers_that_make_no_trip_are_asked_again_and_only_json_is_redirected(ask, tmp_path):
    child = ask("--round-trip", shell_tail="> answers.json")
    answer(child, "Origin airport:", "BER")
    answer(child, "Destination airport:", "ber")
    answer(child, "Fly out date (dd/mm/yyyy):", "01/06/2021")
    answer(child, "Fly back date (dd/mm/yyyy):", day(10))
    for question in ("Adults", "Teens", "Children", "Infants"):
        answer(child, question, "1")
    # one problem at a time, in the order of the questions, each with its reason
    child.expect_exact("ber is the origin too; choose another destination.")
    answer(child, "Destination airport:", "LIS")
    child.expect_exact("The fly out date 01/06/2021 is in the past.")
    answer(child, "Fly out date (dd/mm/yyyy):", day(20))
    child.expect_exact("The fly back date {} is before the fly out date {}.".format(
        day(10), day(20)))
    answer(child, "Fly back date (dd/mm/yyyy):", day(20))  # the same day is a trip
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert "origin" not in child.before  # the answers went to the file, not the terminal
    assert json.loads((tmp_path / "answers.json").read_text(encoding="utf-8")) == {
        "origin": "BER", "destination": "LIS", "fly_out_date": day(20),
        "fly_back_date": day(20), "adults": 1, "teens": 1, "children": 1, "infants": 1,
    }


def test_one_way_skips_the_fly_back_date_and_ctrl_c_cancels_a_pipe(ask, tmp_path):
    child = ask(shell_tail="| cat > answers.json; exit ${PIPESTATUS[0]}")
    answer(child, "Origin airport:", "PRG")
    answer(child, "Destination airport:", "BCN")
    answer(child, "Fly out date (dd/mm/yyyy):", day(1))
    child.expect(["Adults", "Fly back date"])
    assert child.after == "Adults"
    child.sendcontrol("c")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 130
    assert (tmp_path / "answers.json").read_text(encoding="utf-8") == ""


@pytest.mark.parametrize("changes, problem", [
    ({}, None),
    ({"destination": " ber "}, ("destination", "ber is the origin too; choose another "
                                               "destination.")),
    ({"fly_out_date": "09/06/2030"}, ("fly_out_date", "The fly out date 09/06/2030 is in the "
                                                      "past.")),
    ({"fly_out_date": "10/06/2030", "fly_back_date": "10/06/2030"}, None),
    ({"fly_back_date": "09/06/2030"}, ("fly_back_date", "The fly back date 09/06/2030 is "
                                                        "before the fly out date 10/06/2030.")),
    # the date questions take 29/02 of any year ending in 00
    ({"fly_back_date": "29/02/2100"}, ("fly_back_date", "29/02/2100 is not a day of the "
                                                        "calendar.")),
])
def test_trip_problems(changes, problem):
    answers = {"origin": "BER", "destination": "LHR", "fly_out_date": "10/06/2030",
               "fly_back_date": "17/06/2030", **changes}
    assert trip_problem(answers, datetime.date(2030, 6, 10)) == problem
    del answers["fly_back_date"]  # one way
    one_way_problem = None if problem and problem[0] == "fly_back_date" else problem
    assert trip_problem(answers, datetime.date(2030, 6, 10)) == one_way_problem


def test_a_question_is_asked_again_with_the_last_answer_as_default():
    from tavimo.questions import get_questions
    questions = get_questions(False)
    replies = [{"origin": "BER", "destination": "BER", "fly_out_date": "10/06/2030",
                "adults": 1, "teens": 0, "children": 0, "infants": 0},
               {"destination": "LHR"}]
    asked, told = [], []

    def ask(questions):
        asked.append(questions)
        return replies.pop(0)
    answers = asking.ask_trip(questions, datetime.date(2030, 6, 1), ask=ask, say=told.append)
    assert answers["destination"] == "LHR" and list(answers) == [q["name"] for q in questions]
    assert told == ["BER is the origin too; choose another destination."]
    assert asked[1] == [dict(questions[1], default="BER")]
    # cancelling the question asked again cancels it all
    replies[:] = [dict(answers, destination="BER"), None]
    assert asking.ask_trip(questions, datetime.date(2030, 6, 1), ask=ask, say=told.append) is None
