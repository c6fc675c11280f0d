"""The ``tavimo`` command line: show flight-search results and ask the trip questions.

``python -m tavimo parse [FILE]`` prints the itineraries of a search response as text tables;
``python -m tavimo ask`` prompts for a trip and prints the answers as JSON.
"""
import argparse
import contextlib
import io
import json
import logging
import os
import sys
import traceback
from pathlib import Path

from tabulate import tabulate

PROG = "tavimo"
SAMPLE = Path(__file__).with_name("data") / "sample_results.json"
SUMMARY_HEADER = ["", "Route", "Departure", "Duration", "Arrival", "Price"]


class UserError(Exception):
    """A failure that the user can fix, reported as one line on stderr."""


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--debug", action="store_true",
                        help="log at debug level on stderr and show tracebacks of failures")

    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    parse = commands.add_parser(
        "parse", parents=[common], help="show the itineraries of a flight-search response",
        description="Print every itinerary of a flight-search response (a JSON array of "
                    "itineraries, or an object that holds them under \"data\") as a summary "
                    "table and its leg tables.")
    parse.add_argument("file", nargs="?", metavar="FILE",
                       help="the response to read; '-' reads standard input "
                            "(default: the sample bundled with tavimo)")
    parse.add_argument("--round-trip", action="store_true",
                       help="parse every itinerary as a round trip; without this flag an "
                            "itinerary is a round trip when one of its legs is a return leg")
    parse.set_defaults(run=run_parse)

    ask = commands.add_parser(
        "ask", parents=[common], help="ask the trip questions and print the answers as JSON",
        description="Ask where and when to fly and for how many passengers, then print the "
                    "answers as a JSON object. Ctrl-C cancels.")
    ask.add_argument("--round-trip", action="store_true", help="also ask for the fly-back date")
    ask.set_defaults(run=run_ask)
    return parser


def read_itineraries(source):
    """Load the itinerary records from FILE, '-' (stdin) or, for None, the bundled sample."""
    if source == "-":
        name, raw = "standard input", sys.stdin.buffer.read()
    else:
        path = SAMPLE if source is None else Path(source)
        name = str(path)
        try:
            raw = path.read_bytes()
        except OSError as exc:
            raise UserError("cannot read {}: {}".format(name, exc.strerror or exc))
    try:
        document = json.loads(raw)  # bytes: UTF-8/16/32 and a BOM are detected
    except ValueError as exc:  # JSONDecodeError and UnicodeDecodeError
        raise UserError("{} is not valid JSON: {}".format(name, exc))
    itineraries = document.get("data") if isinstance(document, dict) else document
    if not isinstance(itineraries, list):
        raise UserError('{} holds no itineraries: expected a JSON array or an object '
                        'with a "data" array'.format(name))
    return itineraries


def has_return_legs(record):
    """Whether the itinerary flies back: one of its route legs is marked as a return leg."""
    legs = record.get("route") if isinstance(record, dict) else None
    return isinstance(legs, list) and any(
        isinstance(leg, dict) and leg.get("return") == 1 for leg in legs)


def leg_table(details):
    header, *rows = details
    return tabulate(rows, headers=header, disable_numparse=True)


def format_itinerary(number, parsed):
    """Render one result of ``i_parser``; one-way results hold "" for the inbound parts."""
    outbound, inbound, outbound_legs, inbound_legs = parsed
    summary = [["Outbound", *outbound]]
    if inbound:
        summary.append(["Inbound", *inbound])
    blocks = [
        "Itinerary {} ({})".format(number, "round trip" if inbound else "one way"),
        tabulate(summary, headers=SUMMARY_HEADER, disable_numparse=True),
        "",
        "Outbound legs",
        leg_table(outbound_legs),
    ]
    if inbound_legs:
        blocks += ["", "Inbound legs", leg_table(inbound_legs)]
    return "\n".join(blocks)


def run_parse(args):
    try:
        from tavimo.brasco import i_parser
    except ImportError as exc:
        raise UserError("the itinerary parser is not available: {}".format(exc))
    itineraries = read_itineraries(args.file)
    if not itineraries:
        print("No itineraries.")
    failures = printed = 0
    for number, record in enumerate(itineraries, 1):
        round_trip = args.round_trip or has_return_legs(record)
        try:
            text = format_itinerary(number, i_parser(record, round_trip))
        except Exception as exc:
            # A bad record spoils only its own itinerary; the others still print.
            failures += 1
            error("itinerary {}: {}".format(number, describe(exc)))
            if args.debug:
                traceback.print_exc()
            continue
        print("\n" + text if printed else text, flush=True)
        printed += 1
    return 1 if failures else 0


def run_ask(args):
    # The prompt draws on the terminal itself and cannot work from a pipe or a file.
    if not (sys.stdin.isatty() and sys.stdout.isatty()):
        raise UserError("ask needs an interactive terminal")
    try:
        from PyInquirer import prompt
        from tavimo.questions import get_questions
    except ImportError as exc:
        raise UserError("the trip questions are not available: {}".format(exc))
    questions = get_questions(args.round_trip)
    # On Ctrl-C the prompt prints a note of its own and hands back no answers.  With
    # PyInquirer 1.0.3 (prompt_toolkit 1) the note goes to sys.stdout and the questions go
    # straight to the terminal; its fork for Python 3.10 on (prompt_toolkit 3) draws the
    # questions on sys.stdout and takes the note as an option.
    if prompt_toolkit_major() < 3:
        with contextlib.redirect_stdout(io.StringIO()):
            answers = prompt(questions)
    else:
        answers = prompt(questions, keyboard_interrupt_msg="")
    if any(question["name"] not in answers for question in questions):
        return 130
    print(json.dumps(answers, indent=2))
    return 0


def prompt_toolkit_major():
    import prompt_toolkit
    return int(prompt_toolkit.__version__.split(".")[0])


def describe(exc):
    text = str(exc)
    return "{}: {}".format(type(exc).__name__, text) if text else type(exc).__name__


def error(message):
    print("{}: {}".format(PROG, message), file=sys.stderr, flush=True)


def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.debug:
        logging.basicConfig(level=logging.DEBUG, format="%(levelname)s %(name)s: %(message)s")
    try:
        return args.run(args)
    except UserError as exc:
        error(str(exc))
        return 1
    except KeyboardInterrupt:
        return 130
    except EOFError:  # Ctrl-D at a question
        return 1
    except BrokenPipeError:
        # The reader went away (tavimo parse | head); keep the final flush from failing too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as exc:
        if args.debug:
            raise
        error(describe(exc))
        return 1
