"""The tavimo command line: flight-search results as tables, JSON or CSV; the trip questions;
airport codes by city."""

import argparse
import contextlib
import errno
import functools
import os
import re
import sys

from tavimo import __version__
from tavimo.errors import UserError, UsageError

PROG = "tavimo"
SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "sample_results.json")

DESCRIPTION = """\
Find flights from the command line. 'tavimo parse' shows the itineraries of a
flight-search response, 'tavimo ask' asks where and when to fly and prints the
answers as JSON, and 'tavimo airports' looks up airport codes."""

EXAMPLES = """\
examples:
  tavimo parse results.json                    itineraries as tables
  curl -s URL | tavimo parse -s price -n 3 -f json
  tavimo ask --round-trip > trip.json          answer on the terminal, keep the JSON
  tavimo ask --from KRK --to LIS --out 2027-04-01 --adults 2    no questions at all
  tavimo airports krakow                       airports of Krakow, with their codes
  source <(tavimo completion bash)             completion in this bash session"""

PARSE_DESCRIPTION = """\
Show every itinerary of flight-search responses (a JSON array of itineraries, an object
that holds them under "data", one itinerary, or JSON Lines, an itinerary or a response a
line, as `jq -c '.data[]'` writes them), read from each FILE in turn or standard input
(--sample: the one bundled with tavimo): as text tables, a summary and the legs of each
direction; as JSON, one object with the schema version and the itineraries; as JSON Lines,
an itinerary's object a line; or as CSV, one row per leg (the fields are listed in the
project's docs/command.md, "JSON and CSV output"). An itinerary the parser rejects is
reported on stderr with its number and the field at fault, and the others still show; the
exit status is then 1."""

ORDER_HELP = """\
put the itineraries in this order: 'price' is the amount in the first currency of each
itinerary's price (the first entry of its conversion table), lowest first; 'duration' is
the flight time out plus, for a round trip, back, shortest first; 'departure' is the local
date and time of the outbound departure, earliest first. Itineraries keep their numbers,
equal ones keep the response's order, and ones without a usable price come last"""

CHOICE_HELP = """\
Itineraries that fail a filter are left out (and still checked); --sort and --limit
then apply to the others."""

ASK_DESCRIPTION = """\
Ask where and when to fly and for how many passengers, on the terminal, then print the
answers as one JSON object on standard output, so that they can go to a file or a pipe:
{"origin": "KRK", "destination": "LIS", "fly_out_date": "2027-04-01",
"fly_back_date": "2027-04-08" (null one way), "adults": 2, "teens": 0, "children": 0,
"infants": 0}. Each answer is checked at its question: a code that is no airport's
(nor a metropolitan area's, such as LON), an origin equal to the destination, a date that
is not in the calendar or in the past (dates are dd/mm/yyyy or YYYY-MM-DD, at the
questions and in the options alike), a fly-back date before the fly-out date, no adult,
more infants than adults, or more than 9 passengers in all are explained and asked again.
An answer given as an option is not asked, and is checked in the same way (a refused one
is an error, exit status 2); with the airports and dates given, passenger counts not
given take their defaults (1 adult, no one else) and nothing is asked. Ctrl-C or Ctrl-D
cancels (exit status 130)."""

AIRPORTS_DESCRIPTION = """\
List the airports with an IATA code whose code, city or name matches QUERY
(case, accents and hyphens do not matter: "krakow" finds Kraków, "new-york" New
York, "köln" Cologne), one per line: IATA code, name, city and country code.
The airport whose code is QUERY comes first, then the airports of the
metropolitan area of that code (NYC, LON, PAR, ...), then the airports of the
city that is QUERY, the area's airports and those named international first;
then of cities that begin with it, then cities and names with a word that
begins with it, then the rest. Uses the airportsdata package, its table indexed
once in the user's cache directory."""


AIRPORTS_EPILOG = """\
exit status: 0 when every query found an airport, 1 when one found none (it is
named on stderr; the others still show), 2 for a mistake of the command line, 3
when the search failed (no airport table, output that cannot be written).

examples:
  tavimo airports rome                 FCO, CIA, then the other Romes
  tavimo airports LHR LGW "new york"   three queries
  tavimo airports -f json nyc | jq -r '.queries[].airports[].iata'"""

AIRPORTS_FAILED = 3  # the exit status of a failed search, apart from finding nothing (1)


class Parser(argparse.ArgumentParser):
    """Command-line mistakes are one line on stderr, exit status 2, that names the command
    at fault and suggests the option or choice meant; no prefix abbreviations of options
    (--form is not --format)."""

    def __init__(self, *args, **kwargs):
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)

    # While the parser is made, argparse formats each argument's metavar and help to check
    # them, and a usage line for the commands' name: nothing that is shown or that depends
    # on the width, for which a formatter asks the terminal (importing shutil, with bz2 and
    # lzma: 3 ms of the command's start).  Those formatters get a width of their own; help
    # and usage messages still fit the terminal.
    def add_argument(self, *args, **kwargs):
        with self.formatters_unshown():
            return super().add_argument(*args, **kwargs)

    def add_subparsers(self, **kwargs):
        with self.formatters_unshown():
            return super().add_subparsers(**kwargs)

    @contextlib.contextmanager
    def formatters_unshown(self):
        shown = self.formatter_class
        self.formatter_class = functools.partial(shown, width=CHECKS_WIDTH)
        try:
            yield
        finally:
            self.formatter_class = shown

    def parse_known_args(self, args=None, namespace=None):
        # An unknown option is reported before anything else (argparse would take the value
        # after it for a positional, and complain of that), and by the command it was
        # given to, not by the program.
        arguments = sys.argv[1:] if args is None else list(args)
        unknown = self.unknown_option(arguments)
        if unknown is not None:
            self.error(
                "unrecognized option {}{}".format(
                    unknown, suggestion(unknown.split("=", 1)[0], self.option_names())
                )
            )
        namespace, extras = super().parse_known_args(arguments, namespace)
        if extras and self.prog != PROG and not self.has_commands():
            self.error("unrecognized arguments: {}".format(" ".join(extras)))
        return namespace, extras

    def has_commands(self):
        return any(isinstance(action, argparse._SubParsersAction) for action in self._actions)

    def option_names(self):
        return [name for action in self._actions for name in action.option_strings]

    def unknown_option(self, arguments):
        """The first argument that looks like an option of this parser and is none, up to
        the command (of a parser that has commands) or "--"."""
        known = set(self.option_names())
        takes_value = {
            name for action in self._actions if action.nargs != 0 for name in action.option_strings
        }
        has_commands = self.has_commands()
        arguments = iter(arguments)
        for argument in arguments:
            if argument == "--":
                return None
            if not argument.startswith("-") or argument == "-" or NUMBER.match(argument):
                if has_commands:
                    return None
                continue
            name = argument.split("=", 1)[0] if argument.startswith("--") else argument[:2]
            if name not in known:
                return argument
            if name in takes_value and name == argument:
                next(arguments, None)  # its value, whatever it looks like
        return None

    def error(self, message):
        # The choice meant, in one form on every host (3.14 on may suggest it themselves).
        message = re.sub(r", maybe you meant '.*?'\?", "", message)
        choice = INVALID_CHOICE.search(message)
        if choice:
            choices = [word.strip("'") for word in choice.group(2).split(", ")]
            message += suggestion(choice.group(1), choices, "'{}'")
        self.exit(2, "{}: {} (see {} --help)\n".format(self.prog, message, self.prog))

    def _print_message(self, message, file=None):
        # Help, usage and the version as argparse writes them, but a failed write is not
        # ignored (as 3.13 on do): main reports it.
        if message:
            (file or sys.stderr).write(message)


CHECKS_WIDTH = 80  # of the formatters that argparse makes for its checks
NUMBER = re.compile(r"-\d+$|-\d*\.\d+$")  # a negative number is a value, not an option
INVALID_CHOICE = re.compile(r"invalid choice: '(.*?)' \(choose from (.*)\)$")


def suggestion(wrong, right, shape="{}"):
    """ "; did you mean X?" for the one of RIGHT that is closest to WRONG, or ""."""
    import difflib

    close = difflib.get_close_matches(wrong, right, n=1)
    return "; did you mean {}?".format(shape.format(close[0])) if close else ""


def positive_count(text):
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(
            "expected a whole number of at least 1, got {!r}".format(text)
        )
    return count


def amount(text):
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(
            "expected an amount such as 120 or 99.50, got {!r}".format(text)
        )
    return value


def stop_count(text):
    if not text.isdigit():  # also no sign: 0, 1, 2...
        raise argparse.ArgumentTypeError(
            "expected a whole number of 0 or more, got {!r}".format(text)
        )
    return int(text)


def build_parser():
    debug = Parser(add_help=False)
    debug.add_argument(
        "--debug",
        action="store_true",
        help="log at debug level on stderr, and show the exception and traceback of each failure",
    )

    parser = Parser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "-V",
        "--version",
        action="version",
        version="{} {}".format(PROG, __version__),
        help="print the version and exit",
    )
    parser.add_argument(
        "--find-airport", metavar="QUERY", help="the same as 'tavimo airports QUERY'"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    parse = commands.add_parser(
        "parse",
        parents=[debug],
        help="show the itineraries of a flight-search response",
        description=PARSE_DESCRIPTION,
    )
    source = parse.add_mutually_exclusive_group()
    source.add_argument(
        "file",
        nargs="*",
        default=[],
        metavar="FILE",
        help="the responses to read, one after another (itineraries are "
        "numbered on across them); '-' or none reads standard input "
        "(none on a terminal is a mistake: --sample shows the sample)",
    )
    source.add_argument(
        "--sample", action="store_true", help="show the sample response bundled with tavimo"
    )
    parse.add_argument(
        "--round-trip",
        action="store_true",
        help="parse every itinerary as a round trip; without this flag an "
        "itinerary is a round trip when one of its legs is a return leg",
    )
    parse.add_argument(
        "-f",
        "--format",
        choices=["table", "json", "jsonl", "csv"],
        default="table",
        help="text tables (the default); JSON, one object with the "
        "itineraries; JSON Lines, an itinerary a line; or CSV, one row "
        "per leg",
    )
    parse.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write the results to FILE instead of standard output; FILE is "
        "replaced only once they are all written",
    )
    parse.add_argument("-s", "--sort", choices=["price", "duration", "departure"], help=ORDER_HELP)
    parse.add_argument(
        "-r",
        "--reverse",
        action="store_true",
        help="with --sort: highest, longest or latest first (ones without a "
        "usable price still last)",
    )
    parse.add_argument(
        "-n",
        "--limit",
        type=positive_count,
        metavar="N",
        help="show only the first N itineraries (after --sort: the cheapest, "
        "fastest or earliest N)",
    )
    choice = parse.add_argument_group("filters", CHOICE_HELP)
    choice.add_argument(
        "--max-price",
        type=amount,
        metavar="AMOUNT",
        help="only itineraries that cost at most AMOUNT in the first "
        "currency of their price (ones without a usable price are "
        "left out)",
    )
    stops = choice.add_mutually_exclusive_group()
    stops.add_argument(
        "--max-stops",
        type=stop_count,
        metavar="N",
        help="only itineraries with at most N stops each way",
    )
    stops.add_argument(
        "--direct",
        dest="max_stops",
        action="store_const",
        const=0,
        help="only direct flights: the same as --max-stops 0",
    )
    choice.add_argument(
        "--airline",
        action="append",
        metavar="CODE",
        help="only itineraries whose every leg is sold by the airline of "
        "this IATA code; again (or CODE,CODE) for more airlines",
    )
    parse.set_defaults(run=run_parse)

    ask = commands.add_parser(
        "ask",
        parents=[debug],
        help="ask the trip questions and print the answers as JSON",
        description=ASK_DESCRIPTION,
    )
    ask.add_argument(
        "--round-trip",
        action="store_true",
        help="also ask for the fly-back date (implied by --back)",
    )
    answers = ask.add_argument_group("answers given on the command line")
    answers.add_argument(
        "--from",
        dest="origin",
        metavar="CODE",
        help="the origin airport's IATA code, or a metropolitan area's (LON)",
    )
    answers.add_argument(
        "--to",
        dest="destination",
        metavar="CODE",
        help="the destination airport's IATA code, or a metropolitan area's",
    )
    answers.add_argument(
        "--out",
        dest="fly_out_date",
        metavar="DATE",
        help="the fly-out date, YYYY-MM-DD (or dd/mm/yyyy)",
    )
    answers.add_argument(
        "--back",
        dest="fly_back_date",
        metavar="DATE",
        help="the fly-back date, YYYY-MM-DD (or dd/mm/yyyy): a round trip",
    )
    for name, who in (
        ("adults", "adults (over 16)"),
        ("teens", "teens (12 to 15)"),
        ("children", "children (2 to 11)"),
        ("infants", "infants (under 2)"),
    ):
        answers.add_argument("--" + name, dest=name, metavar="N", help="the number of " + who)
    ask.set_defaults(run=run_ask)

    airports = commands.add_parser(
        "airports",
        help="find airport codes by city, name or code",
        description=AIRPORTS_DESCRIPTION,
        epilog=AIRPORTS_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    airports.add_argument(
        "query",
        nargs="+",
        metavar="QUERY",
        help="a city, an airport name or an IATA code; each argument is "
        "one query, but words that together name a city are one "
        "(tavimo airports new york)",
    )
    airports.add_argument(
        "-f",
        "--format",
        choices=["table", "json", "tsv"],
        default="table",
        help="columns of text (the default); JSON, one object with the "
        "airports of each query; or TSV, a header line and a line "
        "per airport",
    )
    airports.add_argument(
        "-n",
        "--limit",
        type=positive_count,
        metavar="N",
        help="show at most N airports of each query (default: 10 in a "
        "table on a terminal, all otherwise)",
    )
    airports.set_defaults(run=run_airports, failure_status=AIRPORTS_FAILED)

    completion = commands.add_parser(
        "completion",
        help="print a shell completion script",
        description="Print the completion script of tavimo for bash, zsh or fish. "
        "bash: add 'source <(tavimo completion bash)' to ~/.bashrc. zsh: "
        "'tavimo completion zsh > ~/.zfunc/_tavimo', with ~/.zfunc in $fpath "
        "before compinit. fish: 'tavimo completion fish > "
        "~/.config/fish/completions/tavimo.fish'.",
    )
    completion.add_argument("shell", choices=["bash", "zsh", "fish"])
    completion.set_defaults(run=run_completion)
    return parser


def native(module, what):
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise UserError("{} not available: {}".format(what, exc))


def note(message):
    from tavimo.tables import terminal_safe  # messages quote the response's values

    print("{}: {}".format(PROG, terminal_safe(message)), file=sys.stderr, flush=True)


def input_source(args):
    """The FILEs to read, '-' for standard input, or None for the bundled sample."""
    if args.sample:
        return None
    if args.file:
        return args.file
    if sys.stdin is not None and sys.stdin.isatty():
        raise UsageError(
            "no input: give a FILE, pipe a response in "
            "(curl -s URL | tavimo parse), or --sample for the bundled sample"
        )
    return ["-"]


def output_to(path):
    """Standard output, or for PATH (not '-') a context giving the file to write there."""
    if path is None or path == "-":
        return contextlib.nullcontext(sys.stdout)
    from tavimo.output import replacing_file

    return replacing_file(path)


def run_parse(args):
    i_parser = native("tavimo.brasco", "the itinerary parser is").i_parser
    import itertools
    from tavimo import formats, output, results

    if args.reverse and not args.sort:
        raise UsageError("--reverse needs --sort")
    sources = input_source(args)
    several = sources is not None and len(sources) > 1
    failures = shown_count = 0

    def failed(name, message):
        nonlocal failures
        failures += 1
        note(message)

    def report(number, record, round_trip, exc):
        nonlocal failures
        from tavimo import problems

        failures += 1
        message = "itinerary {}: {}".format(number, problems.explain(record, round_trip, exc))
        if several:
            message = "{}: {}".format(reading.name, message)
        if args.debug:
            import traceback

            note("{} ({})".format(message, describe(exc)))
            traceback.print_exc()
        else:
            note(message)

    def counted(itineraries):
        nonlocal shown_count
        for shown_count, itinerary in enumerate(itineraries, 1):
            yield itinerary

    reading = results.Reading(sources, SAMPLE, failed if several else None)
    with collector_passing_seldom(), contextlib.ExitStack() as stack:
        records = iter(reading)
        for first in records:  # the first source's mistakes come before any output
            records = itertools.chain([first], records)
            break
        stack.enter_context(collector_passing_over_read())
        parsed = results.parse_itineraries(
            records, i_parser, args.round_trip, report, formats.CHECKS[args.format]
        )
        shown = parsed
        if args.max_price is not None or args.max_stops is not None or args.airline:
            airlines = {
                code.strip().upper()
                for codes in args.airline or ()
                for code in codes.split(",")
                if code.strip()
            }
            shown = results.chosen(shown, args.max_price, args.max_stops, airlines)
        if args.sort:
            shown = results.in_order(shown, args.sort, args.reverse)
        if args.limit:
            shown = itertools.islice(shown, args.limit)
        with output_to(args.output) as file, output.gathered(file) as out:
            formats.WRITERS[args.format](counted(shown), out)
            for _ in parsed:  # records past the limit are still checked, and reported
                pass
            if not shown_count and not failures and args.format == "table":
                out.write("No itineraries.\n")
    return 1 if failures else 0


def collector_passing_seldom():
    """A context in which the garbage collector's young passes come at most every
    YOUNG_PASS_EVERY new objects, as it was before the context ends (not where the
    collector is off, or passes seldom already).  Reading a response makes tens of
    thousands of containers, and the command's memos keep thousands of small tuples: a
    young pass every 2,000 of them found no cycle, and each older pass walked all that
    was read so far (5 to 10% of the command's time)."""
    import gc

    restored = contextlib.ExitStack()
    threshold = gc.get_threshold()
    # (0: no automatic passes)
    if gc.isenabled() and threshold[0] and threshold[0] < YOUNG_PASS_EVERY:
        restored.callback(gc.set_threshold, *threshold)
        gc.set_threshold(YOUNG_PASS_EVERY, *threshold[1:])
    return restored


def collector_passing_over_read():
    """A context in which the garbage collector passes over the objects there are now: a
    response read whole, tens of thousands of objects with no cycle to collect, which a
    pass of the collector's older generations would walk each time (a tenth of the
    command's time for 5,000 itineraries).  Not where the collector is off, or objects are
    frozen already (the caller's own, or the host's: 3.12 starts with some; left as they
    are, since unfreezing lets go of all of them)."""
    import gc

    restored = contextlib.ExitStack()
    if gc.isenabled() and not gc.get_freeze_count():
        restored.callback(gc.unfreeze)  # (they join the oldest generation)
        gc.freeze()
    return restored


YOUNG_PASS_EVERY = 100_000


def run_ask(args):
    questions_module = native("tavimo.questions", "the trip questions are")
    import datetime
    import json
    from tavimo import airports, asking

    today = datetime.date.today()
    codes = airports.known_codes(airports.load_index())
    given = {name: getattr(args, name) for name in asking.ANSWERS}
    questions = questions_module.get_questions(
        args.round_trip or given["fly_back_date"] is not None
    )
    answers = asking.option_answers(questions, given, today, codes)
    if asking.needs_prompt(questions, answers):
        with asking.standard_streams_on_terminal():
            answers = asking.ask_trip(questions, answers, today, codes=codes)
        if answers is None:
            note("cancelled")
            return 130
    else:
        answers = asking.option_answers(
            questions, asking.with_default_counts(questions, given), today, codes
        )
    print(json.dumps(asking.script_answers(answers), indent=2))
    return 0


def airport_queries(words, index):
    """The queries of the command line: each of WORDS, but adjacent words that together
    name a city or a code are one query ("new york")."""
    from tavimo import airports

    queries, start = [], 0
    while start < len(words):
        end = min(len(words), start + 5)  # no city's name has more words
        while end > start + 1 and not airports.names_a_city(" ".join(words[start:end]), index):
            end -= 1
        queries.append(" ".join(words[start:end]))
        start = end
    return queries


def run_airports(args):
    from tavimo import airports

    if not all(map(airports.folded, args.query)):
        raise UsageError("give a city, an airport name or an IATA code to look for")
    index = airports.load_index()
    queries = airport_queries(args.query, index)
    found = [(query, airports.find_airports(query, index)) for query in queries]
    limit = args.limit
    if limit is None and args.format == "table" and sys.stdout.isatty():
        limit = 10
    if limit is not None:
        for query, entries in found:
            if args.format == "table" and len(entries) > limit:
                note(
                    "{}{} more; --limit N shows more".format(
                        "{}: ".format(query) if len(found) > 1 else "", len(entries) - limit
                    )
                )
        found = [(query, entries[:limit]) for query, entries in found]
    AIRPORT_WRITERS[args.format](found, sys.stdout)
    missing = [query for query, entries in found if not entries]
    for query in missing:
        note("no airport found for {!r}".format(query))
    return 1 if missing else 0


def write_airport_table(found, out):
    """Columns of text; under a line with its query where there are several."""
    from tavimo.tables import format_columns

    blocks = []
    for query, entries in found:
        if entries:
            table = format_columns(entry[:4] for entry in entries)
            blocks.append(table if len(found) == 1 else "{}:\n{}".format(query, table))
    if blocks:
        out.write("\n\n".join(blocks) + "\n")


def write_airport_json(found, out):
    import json
    from tavimo.airports import shown

    document = {
        "schema_version": 1,
        "queries": [
            {"query": query, "airports": [shown(entry) for entry in entries]}
            for query, entries in found
        ],
    }
    out.write(json.dumps(document, ensure_ascii=False, indent=2) + "\n")


def write_airport_tsv(found, out):
    from tavimo.airports import SHOWN, shown

    def cell(value):
        return "" if value is None else " ".join(str(value).split())

    lines = ["\t".join(("query",) + SHOWN)]
    for query, entries in found:
        for entry in entries:
            fields = shown(entry)
            lines.append("\t".join(map(cell, [query] + [fields[name] for name in SHOWN])))
    out.write("\n".join(lines) + "\n")


AIRPORT_WRITERS = {
    "table": write_airport_table,
    "json": write_airport_json,
    "tsv": write_airport_tsv,
}


def run_completion(args):
    from tavimo import completion

    sys.stdout.write(completion.script(args.shell, build_parser()))
    return 0


def describe(exc):
    text = str(exc)
    return "{}: {}".format(type(exc).__name__, text) if text else type(exc).__name__


def dispatch(parser, args):
    if args.find_airport is not None:
        if args.command:
            parser.error("--find-airport takes no command")
        args.query, args.limit, args.format = [args.find_airport], None, "table"
        args.failure_status = AIRPORTS_FAILED
        return run_airports(args)
    if not args.command:
        parser.error("a command is needed: parse, ask, airports or completion")
    return args.run(args)


def end_by_broken_pipe():
    """The reader went away (tavimo parse | head): end as a tool killed by SIGPIPE does,
    quietly, with the status the shell shows for it (141)."""
    import signal

    sys.stderr.flush()
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)
    return 128 + signal.SIGPIPE  # where the signal cannot end the process


class ClosedOutput:
    """Standard output of a command started without one (tavimo ... >&-): every write
    fails, as a write to a closed file descriptor does."""

    def write(self, text):
        raise OSError(errno.EBADF, "standard output is closed")

    def writelines(self, lines):
        self.write("")

    def flush(self):
        pass  # nothing was ever held back

    def isatty(self):
        return False


# The errors of a write that say the output cannot take it, whatever was written.
OUTPUT_ERRORS = {errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EIO, errno.EBADF}


def output_failed(exc):
    """Whether EXC is the failure of writing to standard output: one of OUTPUT_ERRORS, or
    an error that writing what is left of the output meets again."""
    if exc.errno in OUTPUT_ERRORS:
        return True
    try:
        sys.stdout.flush()
    except OSError:
        return True
    return False


def drop_output():
    """Send what is left of the output to /dev/null, so that the interpreter's own flush at
    exit does not fail on it a second time."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, sys.stdout.fileno())
        finally:
            os.close(null)
    except (OSError, ValueError, AttributeError):  # no descriptor to point elsewhere
        pass


def main(argv=None):
    if sys.stdout is None:  # started with standard output closed
        sys.stdout = ClosedOutput()
    parser = build_parser()
    args = argparse.Namespace()
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit as exc:  # --help, --version, or a mistake on the command line
            sys.stdout.flush()  # where writing the help fails, it fails here
            return exc.code
        debug = getattr(args, "debug", False)
        if debug:
            import logging

            logging.basicConfig(level=logging.DEBUG, format="%(levelname)s %(name)s: %(message)s")
        status = dispatch(parser, args)
        sys.stdout.flush()
        return status
    except UserError as exc:
        note(
            str(exc)
            if exc.status == 1
            else "{} (see {} --help)".format(
                exc, " ".join(filter(None, [PROG, getattr(args, "command", None)]))
            )
        )
        return getattr(args, "failure_status", 1) if exc.status == 1 else exc.status
    except KeyboardInterrupt:
        note("cancelled")
        return 130
    except BrokenPipeError:
        return end_by_broken_pipe()
    except OSError as exc:
        if not output_failed(exc):
            return failed(args, exc)
        drop_output()
        note("cannot write the output: {}".format(exc.strerror or exc))
        return getattr(args, "failure_status", 1)
    except Exception as exc:
        return failed(args, exc)


def failed(args, exc):
    """Report EXC, a failure that is no mistake of the user's: its traceback too under
    --debug."""
    if getattr(args, "debug", False):
        raise exc
    note(describe(exc))
    return getattr(args, "failure_status", 1)
