"""`python -m tavimo ask` answered by hand in a real pseudo-terminal."""
import importlib.util
import json
import os
import re
import sys

import pytest

pexpect = pytest.importorskip("pexpect")

# Skipped only while the module is not built at all; a module that is installed but fails
# to import makes these tests fail.
pytestmark = pytest.mark.skipif(importlib.util.find_spec("tavimo.questions") is None,
                                reason="tavimo.questions is not built yet")

CLEAR_LINE = "\x15"  # Ctrl-U: drop the text typed so far, and the pre-filled default
IATA_HINT = ("Please use 3 letter IATA airport codes. "
             "To find out IATA codes use: tavimo --find-airport <city_name>")


@pytest.fixture
def ask(tmp_path):
    children = []

    def spawn(*args):
        child = pexpect.spawn(
            sys.executable, ["-I", "-m", "tavimo", "ask", *args], cwd=str(tmp_path),
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
    child.send(CLEAR_LINE + "01/06/2021\r")
    answer(child, "Fly back date (dd/mm/yyyy):", "08/06/2021")
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
        "origin": "ber", "destination": "LHR", "fly_out_date": "01/06/2021",
        "fly_back_date": "08/06/2021", "adults": 2, "teens": 0, "children": 1, "infants": 0,
    }


def test_one_way_skips_the_fly_back_date_and_ctrl_c_cancels_quietly(ask):
    child = ask()
    answer(child, "Origin airport:", "PRG")
    answer(child, "Destination airport:", "BCN")
    answer(child, "Fly out date (dd/mm/yyyy):", "04/06/2021")
    child.expect(["Adults", "Fly back date"])
    assert child.after == "Adults"
    child.sendcontrol("c")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 130
    assert "origin" not in child.before
    assert "Cancelled" not in child.before
