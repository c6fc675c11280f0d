"""The tavimo command line: flight-search results as tables, JSON or CSV; the trip questions;
airport codes by city."""
import argparse
import datetime
import itertools
import json
import logging
import os
import sys
import traceback

from tavimo.errors import UserError

PROG = "tavimo"
SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "sample_results.json")

DESCRIPTION = """\
Find flights from the command line. 'tavimo parse' shows the itineraries of a
flight-search response, 'tavimo ask' asks where and when to fly and prints the
answers as JSON, and 'tavimo --find-airport CITY' looks up airport codes."""

EXAMPLES = """\
examples:
  tavimo parse results.json                    itineraries as tables
  tavimo parse results.json --sort price --limit 3 --format json
  tavimo ask --round-trip > trip.json          answer on the terminal, keep the JSON
  tavimo --find-airport krakow                 airports of Krakow, with their codes"""

PARSE_DESCRIPTION = """\
Show every itinerary of a flight-search response (a JSON array of itineraries, or an
object that holds them under "data"): as text tables, a summary and the legs of each
direction; as JSON, one array of itinerary objects; or as CSV, one row per leg. An
itinerary the parser rejects is reported on stderr with its number, and the others still
show; the exit status is then 1."""

ORDER_HELP = """\
put the itineraries in this order: 'price' is the amount in the first currency of each
itinerary's price (the first entry of its conversion table), lowest first; 'duration' is
the flight time out plus, for a round trip, back, shortest first; 'departure' is the local
date and time of the outbound departure, earliest first. Itineraries keep their numbers,
equal ones keep the response's order, and ones without a usable price come last"""

ASK_DESCRIPTION = """\
Ask where and when to fly and for how many passengers, on the terminal, then print the
answers as one JSON object on standard output, so that they can go to a file or a pipe.
An origin equal to the destination, a fly-out date in the past and a fly-back date before
the fly-out date are explained and asked again. Ctrl-C cancels (exit status 130)."""


class Parser(argparse.ArgumentParser):
    """Command-line mistakes are one line on stderr, exit status 2."""

    def error(self, message):
        self.exit(2, "{}: {} (see {} --help)\n".format(self.prog, message, self.prog))


class VersionAction(argparse.Action):
    """--version: the installed distribution's version, looked up only when asked for."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        from importlib.metadata import PackageNotFoundError, version
        try:
            text = version(PROG)
        except PackageNotFoundError:
            text = "(not installed)"
        print(PROG, text)
        parser.exit()


def positive_count(text):
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError("expected a whole number of at least 1, got {!r}"
                                         .format(text))
    return count


def build_parser():
    common = Parser(add_help=False)
    common.add_argument("--debug", action="store_true",
                        help="log at debug level on stderr and show tracebacks of failures")

    parser = Parser(
        prog=PROG, description=DESCRIPTION, epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action=VersionAction, help="print the version and exit")
    parser.add_argument("--find-airport", metavar="CITY",
                        help="list the airports whose city or name matches CITY (case and "
                             "accents do not matter), best matches first, one per line: "
                             "IATA code, name, city and country code")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    parse = commands.add_parser(
        "parse", parents=[common], help="show the itineraries of a flight-search response",
        description=PARSE_DESCRIPTION)
    parse.add_argument("file", nargs="?", metavar="FILE",
                       help="the response to read; '-' reads standard input "
                            "(default: the sample bundled with tavimo)")
    parse.add_argument("--round-trip", action="store_true",
                       help="parse every itinerary as a round trip; without this flag an "
                            "itinerary is a round trip when one of its legs is a return leg")
    parse.add_argument("--format", choices=["table", "json", "csv"], default="table",
                       help="text tables (the default); JSON, one array of itinerary objects; "
                            "or CSV, one row per leg with the itinerary's number and the "
                            "leg's direction")
    parse.add_argument("--sort", choices=["price", "duration", "departure"], help=ORDER_HELP)
    parse.add_argument("--limit", type=positive_count, metavar="N",
                       help="show only the first N itineraries (after --sort: the cheapest, "
                            "fastest or earliest N)")
    parse.set_defaults(run=run_parse)

    ask = commands.add_parser(
        "ask", parents=[common], help="ask the trip questions and print the answers as JSON",
        description=ASK_DESCRIPTION)
    ask.add_argument("--round-trip", action="store_true", help="also ask for the fly-back date")
    ask.set_defaults(run=run_ask)
    return parser


def run_parse(args):
    try:
        from tavimo.brasco import i_parser
    except ImportError as exc:
        raise UserError("the itinerary parser is not available: {}".format(exc))
    from tavimo import formats, results

    records = results.read_itineraries(args.file, SAMPLE)
    if not records and args.format == "table":
        print("No itineraries.")
    failures = 0

    def report(number, record, round_trip, exc):
        nonlocal failures
        failures += 1
        if (isinstance(exc, IndexError) and round_trip
                and not results.has_return_legs(record)):
            error("itinerary {} has no return journey ({})".format(number, describe(exc)))
        else:
            error("itinerary {}: {}".format(number, describe(exc)))
        if args.debug:
            traceback.print_exc()

    parsed = results.parse_itineraries(records, i_parser, args.round_trip, report)
    shown = results.in_order(parsed, args.sort) if args.sort else parsed
    if args.limit:
        shown = itertools.islice(shown, args.limit)
    formats.WRITERS[args.format](shown, sys.stdout)
    for _ in parsed:  # records past the limit are still checked, and reported
        pass
    return 1 if failures else 0


def run_ask(args):
    try:
        from tavimo.questions import get_questions
    except ImportError as exc:
        raise UserError("the trip questions are not available: {}".format(exc))
    from tavimo import asking

    questions = get_questions(args.round_trip)
    with asking.standard_streams_on_terminal():
        answers = asking.ask_trip(questions, datetime.date.today())
    if answers is None:
        return 130
    print(json.dumps(answers, indent=2))
    return 0


def run_find_airport(city):
    from tavimo import airports
    from tavimo.tables import format_columns

    found = airports.find_airports(city, airports.load_airports())
    if not found:
        raise UserError("no airport found for {!r}".format(city))
    print(format_columns([airport["iata"], airport["name"], airport["city"], airport["country"]]
                         for airport in found))
    return 0


def describe(exc):
    text = str(exc)
    return "{}: {}".format(type(exc).__name__, text) if text else type(exc).__name__


def error(message):
    print("{}: {}".format(PROG, message), file=sys.stderr, flush=True)


def dispatch(parser, args):
    if args.find_airport is not None:
        if args.command:
            parser.error("--find-airport takes no command")
        return run_find_airport(args.find_airport)
    if not args.command:
        parser.error("a command is needed: parse or ask (or --find-airport CITY)")
    return args.run(args)


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    debug = getattr(args, "debug", False)
    if debug:
        logging.basicConfig(level=logging.DEBUG, format="%(levelname)s %(name)s: %(message)s")
    try:
        return dispatch(parser, args)
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
        if debug:
            raise
        error(describe(exc))
        return 1
