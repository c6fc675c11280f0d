"""The tables of `tavimo parse`: what a response holds never reaches the terminal raw, and
the tables fit the terminal's width (or COLUMNS), East Asian wide characters counted twice."""

import copy
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from tavimo.tables import UNSAFE, display_width, format_table, output_width, wrapped

pexpect = pytest.importorskip("pexpect")

SAMPLE = json.loads(
    (Path(sys.modules["tavimo"].__file__).with_name("data") / "sample_results.json").read_text(
        encoding="utf-8"
    )
)["data"]

# what a terminal would act on: a clear-screen sequence, a C1 control sequence introducer,
# a right-to-left override, a line separator, a bell, a tab and a newline
HOSTILE = "Ber\x1b[2Jlin\x9b31m\u202eX\u2028\a\t\n"
HOSTILE_SHOWN = "Ber\\x1b[2Jlin\\x9b31m\\u202eX\\u2028\\x07\\t\\n"


@pytest.fixture
def environment():
    environment = dict(os.environ, LC_ALL="C.UTF-8")
    environment.pop("COLUMNS", None)
    return environment


@pytest.fixture
def tavimo(tmp_path, environment):
    """Run `tavimo parse` on RECORDS, with standard output a pipe."""

    def run(records, *args, env=None):
        path = tmp_path / "response.json"
        path.write_text(json.dumps({"data": records}), encoding="utf-8")
        return subprocess.run(
            [sys.executable, "-I", "-m", "tavimo", "parse", str(path), *args],
            capture_output=True,
            encoding="utf-8",
            errors="surrogateescape",
            env=dict(environment, **(env or {})),
            timeout=60,
        )

    return run


def hostile_record():
    record = copy.deepcopy(SAMPLE[0])
    leg = record["route"][0]
    leg["cityFrom"] = HOSTILE
    leg["airline"] = "U\x1b]0;owned\a2"
    leg["flight_no"] = "85\x0062"
    leg["operating_flight_no"] = "\ud800"  # a lone surrogate, which no encoding carries
    return record


def test_tables_show_control_characters_and_sequences_escaped(tavimo):
    result = tavimo([hostile_record()])
    assert (result.returncode, result.stderr) == (0, "")
    assert not re.search(UNSAFE, result.stdout.replace("\n", ""))
    assert HOSTILE_SHOWN + "(BER) -> London(LHR)" in result.stdout
    assert "U\\x1b]0;owned\\x072" in result.stdout
    assert "85\\x0062" in result.stdout
    assert "\\ud800" in result.stdout


def test_machine_formats_keep_the_data_exactly(tavimo):
    record = copy.deepcopy(SAMPLE[0])
    record["route"][0]["cityFrom"] = HOSTILE
    record["route"][0]["airline"] = "U\x1b]0;owned\a2"
    result = tavimo([record], "-f", "json")
    leg = json.loads(result.stdout)["itineraries"][0]["outbound"]["legs"][0]
    assert (leg["from_city"], leg["airline"]) == (HOSTILE, "U\x1b]0;owned\a2")
    result = tavimo([record], "-f", "csv")
    assert HOSTILE in result.stdout and "U\x1b]0;owned\a2" in result.stdout


def test_messages_quote_the_response_escaped(tavimo):
    record = copy.deepcopy(SAMPLE[0])
    record["route"][0]["local_arrival"] = "\x9b2Jsoon\u202e"
    result = tavimo([record])
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and not re.search(UNSAFE, result.stderr[:-1])
    assert "\\x9b2Jsoon\\u202e" in result.stderr


@pytest.mark.parametrize(
    "text, shown",
    [
        ("plain Kraków 東京", "plain Kraków 東京"),
        ("\x00\x1f\x7f\x80\x9f", "\\x00\\x1f\\x7f\\x80\\x9f"),
        ("a\u200bb\u2066c\u2069d\ufeff\u061c", "a\\u200bb\\u2066c\\u2069d\\ufeff\\u061c"),
        ("\u200d\u00a0joined", "\u200d\u00a0joined"),  # the joiner and a no-break space stay
        ("\tpad\nded\n", "pad\\nded"),  # at the edges, blanks as any others
    ],
)
def test_which_characters_are_escaped(text, shown):
    assert format_table(["T"], [[text]]).splitlines()[2] == shown.strip()


def lines_of(text):
    return text.splitlines()


LEG_HEADER = ["Airports", "Departure -> Arrival", "Flight", "Airline"]
LEG_ROWS = [
    ["Budapest(BUD) -> Amsterdam(AMS)", "Fri 09 Jul 06:00 -> Fri 09 Jul 08:20", "1976", "KL"],
    ["東京(HND) -> 大阪(ITM)", "Sat 10 Jul 07:00 -> Sat 10 Jul 08:10", "31", "NH"],
]


@pytest.mark.parametrize("width", [86, 70, 50, 40])
def test_a_table_too_wide_wraps_its_widest_columns_within_the_width(width):
    natural = format_table(LEG_HEADER, LEG_ROWS)
    assert max(map(display_width, lines_of(natural))) > width
    table = format_table(LEG_HEADER, LEG_ROWS, width)
    assert max(map(display_width, lines_of(table))) <= width
    # every character of every cell is still there, and the narrow columns are not wrapped
    shown = " ".join(line for line in lines_of(table) if set(line) != {"-", " "}).split()
    given = [cell for row in [LEG_HEADER, *LEG_ROWS] for cell in row]
    assert sorted("".join(shown)) == sorted("".join("".join(given).split()))
    assert "1976" in table and "KL" in table


def test_a_table_that_fits_is_laid_out_as_without_a_width():
    natural = format_table(LEG_HEADER, LEG_ROWS)
    assert format_table(LEG_HEADER, LEG_ROWS, max(map(display_width, lines_of(natural)))) == natural
    assert format_table(["A", "B"], [["x", "y"]], 1000) == format_table(["A", "B"], [["x", "y"]])


def test_wrapping_breaks_at_blanks_and_cuts_only_words_too_wide():
    assert wrapped("Budapest(BUD) -> Amsterdam(AMS)", 16) == ["Budapest(BUD) ->", "Amsterdam(AMS)"]
    assert wrapped("Amsterdam(AMS)", 6) == ["Amster", "dam(AM", "S)"]
    # a wide character takes two columns, and is never split
    assert wrapped("東京東京東", 4) == ["東京", "東京", "東"]
    assert wrapped("東京", 1) == ["東", "京"]


def test_a_width_too_small_for_any_table_still_shows_every_cell():
    table = format_table(LEG_HEADER, LEG_ROWS, 10)
    assert "Amster" in table and "KL" in table and "1976" in table


@pytest.mark.parametrize(
    "columns, expected",
    [
        ("72", 72),
        (" 90 ", 90),
        ("0", None),
        ("-5", None),
        ("wide", None),
        ("", None),
        ("²", None),
    ],
)
def test_output_width_follows_columns_in_a_pipe(monkeypatch, columns, expected):
    monkeypatch.setenv("COLUMNS", columns)
    read, write = os.pipe()
    with open(read, "rb"), open(write, "w") as out:
        assert output_width(out) == expected


def test_a_pipe_keeps_the_layout_and_columns_fits_it(tavimo):
    wide = tavimo(SAMPLE)
    assert max(map(len, lines_of(wide.stdout))) > 100  # no limit in a pipe
    fitted = tavimo(SAMPLE, env={"COLUMNS": "80"})
    assert (fitted.returncode, fitted.stderr) == (0, "")
    assert max(map(display_width, lines_of(fitted.stdout))) <= 80
    assert fitted.stdout.count("Itinerary ") == wide.stdout.count("Itinerary ")


def test_a_terminal_gets_tables_of_its_width(tmp_path, environment):
    path = tmp_path / "response.json"
    path.write_text(json.dumps(SAMPLE), encoding="utf-8")
    child = pexpect.spawn(
        sys.executable,
        ["-I", "-m", "tavimo", "parse", str(path)],
        env=dict(environment, TERM="dumb"),
        encoding="utf-8",
        dimensions=(40, 72),
        timeout=60,
    )
    output = child.read().replace("\r\n", "\n")
    child.close()
    assert child.exitstatus == 0
    assert "Paris(CDG) ->" in output
    assert max(map(display_width, lines_of(output))) <= 72


def test_rows_of_other_lengths_than_the_header_keep_their_layout():
    # columns as far as every row goes, as the tables always had them
    assert format_table(["A", "B"], [["x"], ["yy", "z"]]) == "A\n---\nx\nyy"
    assert format_table(["A", "B"], [["x\x1b", "Kraków", "extra"]]) == (
        "A      B\n-----  ------\nx\\x1b  Kraków"
    )


def test_wide_and_combining_characters_are_padded_by_their_display_width():
    assert format_table(["A", "B", "C"], [["東京x", "e\u0301e", "京"], ["b", "Kraków", "z"]]) == (
        "A      B       C\n-----  ------  ---\n東京x  e\u0301e      京\nb      Kraków  z"
    )


def test_titles_of_different_types_show_as_their_own_texts():
    # 1, 1.0 and True are equal titles, which must not share a layout
    assert [format_table([title], [["a"]]).splitlines()[0] for title in (1, True, 1.0, "1")] == [
        "1",
        "True",
        "1.0",
        "1",
    ]
