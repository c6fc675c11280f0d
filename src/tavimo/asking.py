"""The trip questions: answers from the command line or the terminal, checked at the question.

Every answer goes through its question's own validator (from tavimo.questions), then
through the trip checks of this module, which see the other answers known so far: a code
that is no airport's, an origin that is the destination, a date that no calendar has or
that is in the past, a fly-back date before the fly-out date, no adult, more infants than
adults, more than MAX_PASSENGERS in all.  Dates are taken as dd/mm/yyyy, the form the date
questions name, or as YYYY-MM-DD, the form of the options.  On the terminal a refused
answer is explained under the question, which stays open; given as an option, it is an
error of the command line.

The answers come out as a script wants them: airport codes in capitals, dates in ISO 8601
(2027-04-01), passenger counts as numbers.
"""

import contextlib
import datetime
import os
import re
import sys

from tavimo.errors import UserError, UsageError

DATE_FORMAT = "%d/%m/%Y"  # the form the date questions ask for
ISO_DATE = "%Y-%m-%d"  # the form of the answers, and of dates given as options
DATE_SHAPE = re.compile(r"\d\d/\d\d/\d{4}\Z")
ISO_DATE_SHAPE = re.compile(r"\d{4}-\d\d-\d\d\Z")
COUNTS = ("adults", "teens", "children", "infants")
DATES = ("fly_out_date", "fly_back_date")
PLACES = ("origin", "destination")
ANSWERS = PLACES + DATES + COUNTS  # the keys of the answers, in this order
MAX_PASSENGERS = 9  # in all, as airlines take them on one booking


class Text:
    """The one thing a validator reads of the prompt's document: the text typed."""

    def __init__(self, text):
        self.text = text


def calendar_day(text):
    """The day of TEXT, in either form that dates are taken in; None if there is none."""
    try:
        if ISO_DATE_SHAPE.match(text):
            return datetime.date.fromisoformat(text)
        return datetime.datetime.strptime(text, DATE_FORMAT).date()
    except ValueError:
        return None


def layout_of(text, expected):
    """The form of the date TEXT, or the one EXPECTED where TEXT has neither."""
    if ISO_DATE_SHAPE.match(text):
        return ISO_DATE
    return DATE_FORMAT if DATE_SHAPE.match(text) else expected


def form_name(layout):
    return "YYYY-MM-DD" if layout == ISO_DATE else "dd/mm/yyyy"


def shown_date(day, layout=DATE_FORMAT):
    return day.strftime(layout)


def place_problem(name, code, answers, codes):
    if codes is not None and code not in codes:
        return "{} is no airport's code: tavimo airports CITY finds the codes of a city.".format(
            code
        )
    other = answers.get("destination" if name == "origin" else "origin")
    if other == code:
        return (
            "{} is the origin too; choose another destination.".format(code)
            if name == "destination"
            else "{} is the destination too; choose another origin.".format(code)
        )
    return None


def date_problem(name, day, answers, today, layout):
    if day < today:
        return "The {} {} is in the past.".format(name.replace("_", " "), shown_date(day, layout))
    out, back = (
        (day, answers.get("fly_back_date"))
        if name == "fly_out_date"
        else (answers.get("fly_out_date"), day)
    )
    if out is not None and back is not None and back < out:
        return "The fly back date {} is before the fly out date {}.".format(
            shown_date(back, layout), shown_date(out, layout)
        )
    return None


def count_problem(name, count, answers):
    if count < 0:
        return "A number of passengers cannot be negative."
    if name == "adults" and count < 1:
        return "At least one adult travels."
    adults = count if name == "adults" else answers.get("adults")
    infants = count if name == "infants" else answers.get("infants")
    if adults is not None and infants is not None and infants > adults:
        return "No more infants than adults ({}): each infant travels on an adult's lap.".format(
            adults
        )
    travelling = count + sum(answers.get(other) or 0 for other in COUNTS if other != name)
    if travelling > MAX_PASSENGERS:
        return "At most {} passengers travel on one booking; that makes {}.".format(
            MAX_PASSENGERS, travelling
        )
    return None


def answer_value(question, text):
    """The answer of an accepted TEXT: a code in capitals, a date, a count."""
    name = question["name"]
    if name in PLACES:
        return text.strip().upper()
    if name in DATES:
        return calendar_day(text.strip())
    return question["filter"](text)


def problem(question, text, answers, today, expected=DATE_FORMAT, codes=None):
    """Why TEXT does not answer QUESTION, given the other ANSWERS known; None if it does.
    Dates are shown in the form they were given in, else in the form EXPECTED; airport
    codes are checked against the set CODES, where it is given."""
    name = question["name"]
    if name in DATES:
        return date_text_problem(question, text.strip(), answers, today, expected)
    from tavimo.questions import ValidationError

    try:
        question["validate"]().validate(Text(text))
    except ValidationError as refused:
        return refused.message
    value = answer_value(question, text)
    if name in PLACES:
        return place_problem(name, value, answers, codes)
    return count_problem(name, value, answers)


def date_text_problem(question, text, answers, today, expected):
    """Why the date TEXT does not answer QUESTION; None if it does."""
    from tavimo.questions import ValidationError

    layout = layout_of(text, expected)
    day = calendar_day(text)
    typed = text
    if ISO_DATE_SHAPE.match(text):
        if day is None:
            return "{} is not a day of the calendar (dates are YYYY-MM-DD).".format(text)
        typed = shown_date(day)  # the question's validator takes its own form only
    try:
        question["validate"]().validate(Text(typed))
    except ValidationError:
        if DATE_SHAPE.match(typed):
            return "{} is not a day of the calendar (dates are {}).".format(text, form_name(layout))
        other = ISO_DATE if expected == DATE_FORMAT else DATE_FORMAT
        return "Please enter the date as {}, such as {}, or as {}.".format(
            form_name(expected), shown_date(today, expected), form_name(other)
        )
    if day is None:  # the question's pattern takes 29/02 of every year ending in 00
        return "{} is not a day of the calendar (dates are dd/mm/yyyy).".format(text)
    return date_problem(question["name"], day, answers, today, layout)


def checked(question, answers, today, codes=None):
    """QUESTION for the prompt, with a validator that also makes the trip checks; its
    answer left as typed (answer_value converts it)."""
    from tavimo.questions import ValidationError, Validator

    class TripValidator(Validator):
        def validate(self, document):
            why = problem(question, document.text, answers, today, codes=codes)
            if why is not None:
                raise ValidationError(message=why, cursor_position=len(document.text))

    record = {key: value for key, value in question.items() if key != "filter"}
    record["validate"] = TripValidator
    return record


@contextlib.contextmanager
def standard_streams_on_terminal():
    """Inside the block, standard input and output are the controlling terminal.

    The prompt reads and draws on file descriptors 0 and 1, whatever they were; pointing
    them at the terminal, as password prompts do, lets the caller's standard output go to
    a file or a pipe all the same.  It is restored when the block ends.
    """
    try:
        terminal = os.open("/dev/tty", os.O_RDWR)
    except OSError as exc:
        raise UserError(
            "ask needs a terminal to ask the questions on "
            "(cannot open /dev/tty: {}); give every answer as an option "
            "instead (see tavimo ask --help)".format(exc.strerror or exc)
        )
    try:
        sys.stdout.flush()
        saved = os.dup(0), os.dup(1)
        try:
            os.dup2(terminal, 0)
            os.dup2(terminal, 1)
            yield
        finally:
            sys.stdout.flush()  # what was written inside the block belongs to the terminal
            for fd, original in enumerate(saved):
                os.dup2(original, fd)
                os.close(original)
    finally:
        os.close(terminal)


def prompt(question):
    """The text typed for QUESTION, or None when the user cancelled (Ctrl-C or Ctrl-D)."""
    # From its own module: the fork for Python 3.10 on replaces the package attribute
    # `prompt` by that module once the first prompt has run.
    from PyInquirer.prompt import prompt as library_prompt

    try:
        answers = library_prompt([question], keyboard_interrupt_msg="")
    except EOFError:  # Ctrl-D on an empty answer
        return None
    return answers.get(question["name"])


def option_answers(questions, given, today, codes=None):
    """The answers GIVEN as options (name -> text), checked as at their questions, in the
    order of the questions; a refused one is a UsageError that names its option."""
    answers = {}
    for question in questions:
        name = question["name"]
        if given.get(name) is None:
            continue
        text = given[name]
        why = problem(question, text, answers, today, ISO_DATE, codes)
        if why is not None:
            raise UsageError("{}: {}".format(OPTIONS[name], why.rstrip(".")))
        answers[name] = answer_value(question, text)
    return answers


# The option of each answer, for `tavimo ask` and its messages.
OPTIONS = {
    "origin": "--from",
    "destination": "--to",
    "fly_out_date": "--out",
    "fly_back_date": "--back",
    "adults": "--adults",
    "teens": "--teens",
    "children": "--children",
    "infants": "--infants",
}


def ask_trip(questions, answers, today, ask=prompt, codes=None):
    """ANSWERS completed by asking the QUESTIONS they lack, or None when the user cancelled."""
    answers = dict(answers)
    for question in questions:
        name = question["name"]
        if name in answers:
            continue
        text = ask(checked(question, answers, today, codes))
        if text is None:
            return None
        answers[name] = answer_value(question, text)
    return answers


def needs_prompt(questions, answers):
    """Whether a question is left to ask: the counts take their questions' defaults when
    everything else was given."""
    missing = [question for question in questions if question["name"] not in answers]
    return any(question["name"] not in COUNTS for question in missing)


def with_default_counts(questions, given):
    """GIVEN (name -> text) with each count not given set to its question's default."""
    filled = dict(given)
    for question in questions:
        if question["name"] in COUNTS and filled.get(question["name"]) is None:
            filled[question["name"]] = question["default"]
    return filled


def script_answers(answers):
    """The answers as printed: every key, ISO dates, fly_back_date null for a one-way trip."""
    return {
        name: (
            answers.get(name).isoformat()
            if name in DATES and answers.get(name)
            else answers.get(name)
        )
        for name in ANSWERS
    }
