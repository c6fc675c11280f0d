"""Asking the trip questions on the terminal, and checking that the answers make a trip."""
import contextlib
import datetime
import os
import sys

from tavimo.errors import UserError

DATE_FORMAT = "%d/%m/%Y"  # the form the date questions ask for


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
        raise UserError("ask needs a terminal to ask the questions on "
                        "(cannot open /dev/tty: {})".format(exc.strerror or exc))
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


def prompt(questions):
    """The answers to QUESTIONS from the prompt library, or None when the user cancelled."""
    # From its own module: the fork for Python 3.10 on replaces the package attribute
    # `prompt` by that module once the first prompt has run.
    from PyInquirer.prompt import prompt as library_prompt
    answers = library_prompt(questions)
    if any(question["name"] not in answers for question in questions):
        return None
    return answers


def calendar_day(text):
    try:
        return datetime.datetime.strptime(text.strip(), DATE_FORMAT).date()
    except ValueError:
        return None


def trip_problem(answers, today):
    """What keeps ANSWERS from making a trip: (the question to ask again, why), or None."""
    origin, destination = answers["origin"].strip(), answers["destination"].strip()
    if origin.upper() == destination.upper():
        return "destination", "{} is the origin too; choose another destination.".format(
            destination)
    days = {}
    for name in [name for name in ("fly_out_date", "fly_back_date") if name in answers]:
        days[name] = calendar_day(answers[name])
        if days[name] is None:
            return name, "{} is not a day of the calendar.".format(answers[name])
    if days["fly_out_date"] < today:
        return "fly_out_date", "The fly out date {} is in the past.".format(
            answers["fly_out_date"])
    if "fly_back_date" in days and days["fly_back_date"] < days["fly_out_date"]:
        return "fly_back_date", "The fly back date {} is before the fly out date {}.".format(
            answers["fly_back_date"], answers["fly_out_date"])
    return None


def tell(text):
    print(text, flush=True)


def ask_trip(questions, today, ask=prompt, say=tell):
    """The answers to QUESTIONS once they make a trip, or None when the user cancelled.

    Each problem found is told with SAY, and its question asked again, the last answer
    given as the default.
    """
    answers = ask(questions)
    by_name = {question["name"]: question for question in questions}
    while answers is not None:
        problem = trip_problem(answers, today)
        if problem is None:
            return answers
        name, why = problem
        say(why)
        again = ask([dict(by_name[name], default=answers[name])])
        if again is None:
            return None
        answers.update(again)
    return None
