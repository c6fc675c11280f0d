"""The checks of `tavimo ask` that need the airport table or see every count, and dates in
either form at the questions and the options alike."""

import datetime
import os
import sys

import pytest

from conftest import TODAY
from test_ask_options import ask  # `tavimo ask` with no terminal to ask on

pexpect = pytest.importorskip("pexpect")
questions_module = pytest.importorskip("tavimo.questions")

from tavimo import asking  # noqa: E402  (after the skip conditions)

QUESTIONS = {question["name"]: question for question in questions_module.get_questions(True)}
DAY = datetime.date(2030, 6, 10)
CODES = {"KRK", "LIS", "LON", "EWR"}


def problem(name, text, expected=asking.DATE_FORMAT, **known):
    return asking.problem(QUESTIONS[name], text, known, DAY, expected, CODES)


@pytest.mark.parametrize(
    "name, text, why",
    [
        (
            "origin",
            "xqx",
            "XQX is no airport's code: tavimo airports CITY finds the codes of a city.",
        ),
        ("origin", "lon", None),
        ("destination", "ewr", None),
        # the date questions take the form of the options too, and answer in the form typed
        ("fly_out_date", "2030-06-20", None),
        ("fly_out_date", " 20/06/2030 ", None),
        ("fly_out_date", "2030-06-09", "The fly out date 2030-06-09 is in the past."),
        (
            "fly_out_date",
            "2030-02-30",
            "2030-02-30 is not a day of the calendar (dates are YYYY-MM-DD).",
        ),
        (
            "fly_out_date",
            "30/02/2030",
            "30/02/2030 is not a day of the calendar (dates are dd/mm/yyyy).",
        ),
        (
            "fly_out_date",
            "June 20",
            "Please enter the date as dd/mm/yyyy, such as 10/06/2030, or as YYYY-MM-DD.",
        ),
        ("adults", "9", None),
        ("adults", "10", "At most 9 passengers travel on one booking; that makes 10."),
        (
            "adults",
            "99999999999999999999999",
            "At most 9 passengers travel on one booking; that makes 99999999999999999999999.",
        ),
    ],
)
def test_checks(name, text, why):
    assert problem(name, text) == why


def test_checks_that_see_the_other_answers():
    assert problem("children", "4", adults=3, teens=3) == (
        "At most 9 passengers travel on one booking; that makes 10."
    )
    assert problem("infants", "3", adults=3, teens=3) is None  # 9 in all
    assert problem("fly_back_date", "2030-06-19", fly_out_date=datetime.date(2030, 6, 20)) == (
        "The fly back date 2030-06-19 is before the fly out date 2030-06-20."
    )
    # an option's message names the option's own form first
    assert problem("fly_out_date", "soon", asking.ISO_DATE) == (
        "Please enter the date as YYYY-MM-DD, such as 2030-06-10, or as dd/mm/yyyy."
    )
    assert asking.answer_value(QUESTIONS["fly_out_date"], "2030-06-20") == datetime.date(
        2030, 6, 20
    )
    assert asking.problem(QUESTIONS["origin"], "XQX", {}, DAY) is None  # no table given


TRIP = ["--from", "KRK", "--to", "LIS", "--out", (TODAY + datetime.timedelta(30)).isoformat()]


@pytest.mark.parametrize(
    "options, message",
    [
        (
            ["--to", "XQX"],
            "--to: XQX is no airport's code: tavimo airports CITY finds the codes of a city",
        ),
        (
            ["--adults", "5", "--children", "5"],
            "--children: At most 9 passengers travel on one booking; that makes 10",
        ),
    ],
)
def test_options_are_checked_against_the_table_and_the_bound(options, message):
    result = ask(*TRIP, *options)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == "tavimo: {} (see tavimo ask --help)\n".format(message)


def test_a_metropolitan_code_is_an_answer():
    result = ask(*TRIP, "--to", "lon")
    assert result.returncode == 0 and '"destination": "LON"' in result.stdout


def test_on_the_terminal_codes_are_checked_and_dates_taken_in_iso(tmp_path):
    out = (TODAY + datetime.timedelta(5)).isoformat()
    counts = ["--adults", "1", "--teens", "0", "--children", "0", "--infants", "0"]
    child = pexpect.spawn(
        sys.executable,
        ["-I", "-m", "tavimo", "ask", "--to", "LIS", *counts],
        cwd=str(tmp_path),
        timeout=20,
        encoding="utf-8",
        dimensions=(30, 200),
        env=dict(os.environ, TERM="xterm", LC_ALL="C.UTF-8"),
    )
    try:
        child.expect_exact("Origin airport:")
        child.send("xqx\r")
        child.expect_exact("XQX is no airport's code: tavimo airports CITY finds the codes")
        child.send("\x15KRK\r")
        child.expect_exact("Fly out date (dd/mm/yyyy):")
        child.send(out + "\r")
        child.expect(pexpect.EOF)
    finally:
        child.close(force=True)
    assert child.exitstatus == 0
    assert '"fly_out_date": "{}"'.format(out) in child.before
    assert '"origin": "KRK"' in child.before
