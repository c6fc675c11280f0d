"""Flight-search results: reading responses, parsing their itineraries, choosing and putting
them in order."""

import codecs
import io
import itertools
import json
import math
import operator
import os
import re
import stat
import sys
from collections import namedtuple
from datetime import datetime, timedelta, timezone

from tavimo.errors import UserError

WHITESPACE = json.decoder.WHITESPACE  # type: ignore[attr-defined]  # (not in the stubs)
NUMBER_CHARS = "0123456789eE.+-"

# number: the position in the input, from 1; record: the search-result record as read (its
# local times in the parser's form); parsed: what i_parser made of it; plain: whether the
# record passed plain() as it came.  (A namedtuple: typing costs the command more to import.)
Itinerary = namedtuple("Itinerary", ["number", "record", "parsed", "plain"])


class Problem(Exception):
    """The first thing of a record that the command cannot use, in the response's terms."""


class Unreadable(Exception):
    """A line of JSON Lines input that holds no JSON: reported in its itinerary's place."""


# Reading.  A source holds one JSON document (a response: an array of itineraries, an
# object that holds them under "data", or a single itinerary), or JSON Lines: a JSON value
# a line, each an itinerary or a response of its own.  The first line tells them apart: in
# a document of several lines it is never a whole JSON value.


def opened(source):
    """The name and the binary file of SOURCE, a path or "-" for standard input."""
    if source == "-":
        if sys.stdin is None:
            raise UserError("cannot read standard input: it is closed")
        return "standard input", sys.stdin.buffer
    try:
        return str(source), open(source, "rb")
    except OSError as exc:
        raise UserError("cannot read {}: {}".format(source, exc.strerror or exc))


def whole_value(line):
    """The JSON value of LINE, or Unreadable when it holds none (or more than one)."""
    try:
        return json.loads(line)  # bytes: UTF-8/16/32 and a BOM are detected
    except ValueError as exc:  # JSONDecodeError and UnicodeDecodeError
        return Unreadable(str(exc))


def document_itineraries(name, document):
    """The itinerary records of a source that holds one JSON DOCUMENT."""
    if isinstance(document, dict):
        if isinstance(document.get("data"), list):
            return document["data"]
        if "route" in document:  # one itinerary, as `jq '.data[0]'` gives it
            return [document]
    elif isinstance(document, list):
        return document
    raise no_itineraries(name)


def no_itineraries(name):
    return UserError(
        "{} holds no itineraries: expected a JSON array, an object with a "
        '"data" array, or JSON Lines'.format(name)
    )


def read_document(name, raw):
    """The itinerary records of RAW, the whole of a source that holds one JSON document."""
    document = whole_value(raw)
    if isinstance(document, Unreadable):
        raise UserError("{} is not valid JSON: {}".format(name, document))
    return document_itineraries(name, document)


def line_itineraries(value):
    """The records of one line of JSON Lines: those of a response, or the line's value."""
    if isinstance(value, list):
        return value
    if isinstance(value, dict) and isinstance(value.get("data"), list):
        return value["data"]
    return (value,)


def read_lines(name, first, numbered):
    """The records of JSON Lines, one line at a time (in constant memory): those of FIRST,
    the value of the first line, then those of the NUMBERED lines after it.  A line that
    holds no JSON gives an Unreadable in its place; blank lines are passed over."""
    yield from line_itineraries(first)
    for number, line in numbered:
        if line.strip():
            value = whole_value(line)
            if isinstance(value, Unreadable):  # (its place within the line, not after it)
                yield Unreadable(
                    "line {} of {} is not valid JSON: {}".format(
                        number, name, whole_value(line.strip())
                    )
                )
            else:
                yield from line_itineraries(value)


def read_first_line(name, file, start):
    """The start of the binary FILE up to the end of its first line that is not blank, read
    a block at a time, and no more than STREAM_ABOVE + 1 bytes (JSON Lines, whose lines are
    short, is not read far ahead of the line being parsed); and whether FILE ended there.

    On a regular file (START its position, see regular_file_position) the blocks are only
    looked through, and what they held read again in one piece: a document on one line is
    its first line, and holding it in blocks to join them would make it twice in memory."""
    blocks, size, content, ended = [], 0, False, False
    while size <= STREAM_ABOVE:
        block = read_chunk(name, file, min(HEAD_BLOCK, STREAM_ABOVE + 1 - size))
        if not block:
            ended = True
            break
        if start is None:
            blocks.append(block)
        size += len(block)
        if not content:
            rest = block.lstrip()
            content = bool(rest)
            if content and b"\n" in rest:
                break
        elif b"\n" in block:
            break
    if start is None:
        return b"".join(blocks), ended
    file.seek(start)
    return read_chunk(name, file, size), ended


def regular_file_position(file):
    """Where the binary FILE stands, if it is a regular file (which can be read again from
    there); None for a pipe, a terminal, a device or a stream in memory."""
    try:
        if stat.S_ISREG(os.fstat(file.fileno()).st_mode):
            return file.tell()
    except (OSError, ValueError):  # no file descriptor, or no place in the file
        pass
    return None


def read_on(name, file, head, start):
    """HEAD, the start of FILE, with what follows it: STREAM_ABOVE + 1 bytes in all at most.
    A regular file (START as for read_first_line) is read again from its start in one
    piece, sparing a copy of the whole."""
    if start is None:
        return head + read_chunk(name, file, STREAM_ABOVE + 1 - len(head))
    file.seek(start)
    return read_chunk(name, file, STREAM_ABOVE + 1)


def read_source(name, file):
    """The itinerary records of the binary FILE: JSON Lines, a line at a time, or one JSON
    document, read whole up to STREAM_ABOVE bytes and record by record past that."""
    start = regular_file_position(file)
    head, ended = read_first_line(name, file, start)
    # the first line that is not blank (a slice of a document on one line would copy it)
    content = NOT_BLANK.search(head)
    end = -1 if content is None else head.find(b"\n", content.start())
    if end >= 0:
        start_of_line = head.rfind(b"\n", 0, content.start()) + 1
        first = whole_value(head[start_of_line : end + 1])
        if not isinstance(first, Unreadable):  # a whole value on the first line
            after = itertools.chain(io.BytesIO(head[end + 1 :] + file.readline()), file)
            numbered = enumerate(after, head.count(b"\n", 0, end) + 2)
            for number, line in numbered:
                if line.strip():  # a second value: JSON Lines
                    return read_lines(name, first, itertools.chain([(number, line)], numbered))
            return document_itineraries(name, first)
    if not ended and len(head) <= STREAM_ABOVE:  # one document: the rest, up to that size
        head = read_on(name, file, head, start)
    if len(head) > STREAM_ABOVE:
        return streamed_itineraries(name, file, head)
    if not head or head.isspace():  # (as strip() would, without a copy)
        raise no_response(name)
    return read_document(name, head)


NOT_BLANK = re.compile(rb"[^ \t\n\r\x0b\x0c]")  # what bytes.strip() keeps


def no_response(name):
    return UserError("{} is empty: expected a flight-search response in JSON".format(name))


def read_chunk(name, file, size):
    try:
        return file.read(size)
    except OSError as exc:
        raise UserError("cannot read {}: {}".format(name, exc.strerror or exc))


STREAM_ABOVE = 32 * 1024 * 1024  # bytes: a document up to this size is read whole
CHUNK = 4 * 1024 * 1024  # bytes read at a time past it
HEAD_BLOCK = 64 * 1024  # bytes read at a time until the first line ends


class JsonCursor:
    """A JSON text read from a file a chunk at a time: TEXT holds what is at hand, POS is
    where reading stands in it.  Values are decoded by the json module's own scanner, so
    they come out as json.loads makes them; errors say where, as json.loads says it."""

    def __init__(self, name, file, head):
        self.name, self.file = name, file
        self.decoder = codecs.getincrementaldecoder(json.detect_encoding(head))(
            "surrogatepass"
        )  # as json.loads decodes bytes
        self.scanner = json.JSONDecoder()
        self.text, self.pos, self.ended = "", 0, False
        self.dropped = 0  # characters of the document before TEXT
        self.lines = 0  # line ends among them
        self.line_start = 0  # where the line of TEXT's first character starts
        self.blank = not head.strip()  # bytes: a byte order mark is no blank
        self.append(head)

    def append(self, data):
        try:
            self.text += self.decoder.decode(data, not data)
        except UnicodeDecodeError as exc:
            raise UserError("{} is not valid JSON: {}".format(self.name, exc))
        self.ended = not data

    def read_more(self):
        """Read on: at least a chunk, and as much as is at hand (a long value is decoded
        again from its start each time, so the reads double)."""
        self.append(read_chunk(self.name, self.file, max(CHUNK, len(self.text))))

    def drop_read(self):
        """Let go of the text read past, once it is more than what is left."""
        pos, text = self.pos, self.text
        if pos * 2 < len(text):
            return
        line_ends = text.count("\n", 0, pos)
        if line_ends:
            self.lines += line_ends
            self.line_start = self.dropped + text.rindex("\n", 0, pos) + 1
        self.dropped += pos
        self.text, self.pos = text[pos:], 0

    def error(self, message, pos):
        """The UserError of invalid JSON at POS of TEXT, worded as json.loads words it."""
        line_ends = self.text.count("\n", 0, pos)
        if line_ends:
            line, column = self.lines + line_ends + 1, pos - self.text.rindex("\n", 0, pos)
        else:
            line, column = self.lines + 1, self.dropped + pos - self.line_start + 1
        return UserError(
            "{} is not valid JSON: {}: line {} column {} (char {})".format(
                self.name, message, line, column, self.dropped + pos
            )
        )

    def peek(self):
        """The next character past blanks, or "" at the end of the document."""
        while True:
            self.pos = WHITESPACE.match(self.text, self.pos).end()
            if self.pos < len(self.text) or self.ended:
                return self.text[self.pos : self.pos + 1]
            self.read_more()

    def value(self):
        """The next value, read on until it is whole."""
        self.peek()
        while True:
            try:
                value, end = self.scanner.raw_decode(self.text, self.pos)
            except ValueError as exc:
                if self.ended:
                    raise self.error(exc.msg, exc.pos)
                self.read_more()
                continue
            # a number at the end of the text may go on past it
            if self.ended or (end < len(self.text) and self.text[end] not in NUMBER_CHARS):
                self.pos = end
                return value
            self.read_more()

    def expect(self, char, message):
        if self.peek() != char:
            raise self.error(message, self.pos)
        self.pos += 1

    def trailing_comma(self, opening, comma):
        """The error of a comma before the end of an array or object, which json.loads
        words differently across Python versions: its own words, for the same text."""
        small = opening + self.text[comma : self.pos + 1]
        try:
            json.loads(small)
        except ValueError as exc:
            return self.error(exc.msg, comma + exc.pos - len(opening))
        raise AssertionError("{!r} decoded".format(small))

    def closed(self, closing, opening):
        """Past the CLOSING character after an item (True), or past the comma before the
        next (False); OPENING begins an array or object with one item, for the words of
        the error of a trailing comma."""
        char = self.peek()
        self.pos += 1
        if char == closing:
            return True
        if char != ",":
            raise self.error("Expecting ',' delimiter", self.pos - 1)
        comma = self.pos - 1
        if self.peek() == closing:
            raise self.trailing_comma(opening, comma)
        return False

    def items(self):
        """The items of the array that starts here, one at a time."""
        self.expect("[", "Expecting value")
        if self.peek() == "]":
            self.pos += 1
            return
        while True:
            self.drop_read()
            yield self.value()
            if self.closed("]", "[0"):
                return

    def members(self):
        """The object that starts here, as (key, cursor at its value) pairs; the caller
        reads each value."""
        self.expect("{", "Expecting value")
        if self.peek() == "}":
            self.pos += 1
            return
        while True:
            if self.peek() != '"':
                raise self.error("Expecting property name enclosed in double quotes", self.pos)
            key = self.value()
            self.expect(":", "Expecting ':' delimiter")
            yield key
            if self.closed("}", '{"": 0'):
                return

    def end(self):
        if self.peek():
            raise self.error("Extra data", self.pos)


def streamed_itineraries(name, file, head):
    """The records of a large response, decoded one at a time from the top-level array or
    the "data" member, so that the document's objects are never all held at once.  What
    comes before the first record is checked here: the records' iterator, or a list when
    there are none."""
    records = document_items(JsonCursor(name, file, head))
    try:
        first = next(records)
    except StopIteration:
        return []
    return itertools.chain([first], records)


def document_items(cursor):
    start = cursor.peek()
    if start == "[":
        yield from cursor.items()
    elif start == "{":
        yield from data_items(cursor)
    elif not start and cursor.blank:
        raise no_response(cursor.name)
    else:
        cursor.value()  # the error of a document with no value
        cursor.end()
        raise no_itineraries(cursor.name)
    cursor.end()


def data_items(cursor):
    """The items of the object's "data" array; its other members are read and let go."""
    streamed = False
    for key in cursor.members():
        if key == "data" and streamed:  # json.loads keeps the last: too late for that
            raise UserError('{} holds "data" more than once'.format(cursor.name))
        if key == "data" and cursor.peek() == "[":
            yield from cursor.items()
            streamed = True
        else:
            cursor.value()
    if not streamed:
        raise no_itineraries(cursor.name)


class Reading:
    """The itinerary records of SOURCES (paths, "-" for standard input; none: the SAMPLE
    path), one source after another; `name` is the source of the records being read.

    With FAILED, a source that cannot be read is passed to FAILED(name, message) and the
    next one read; without, its UserError is raised.
    """

    def __init__(self, sources, sample, failed=None):
        self.sources = sources or [sample]
        self.failed = failed
        self.name = None

    def __iter__(self):
        for source in self.sources:
            self.name = "standard input" if source == "-" else str(source)
            try:
                name, file = opened(source)
                try:
                    yield from one_at_a_time(read_source(name, file))
                finally:
                    if source != "-":
                        file.close()
            except UserError as exc:
                if self.failed is None:
                    raise
                self.failed(self.name, str(exc))


def one_at_a_time(records):
    """The RECORDS of a source, one at a time.  A list (a document read whole) lets go of
    each record as it is taken: the record is freed once the command is done with it, while
    it is still in the processor's caches, rather than with all the others at the end, when
    none is (freeing 5,000 short round trips then took 20 ms, a twelfth of parsing them)."""
    if records.__class__ is not list:
        yield from records
        return
    for index in range(len(records)):
        record = records[index]
        records[index] = None
        yield record


# Parsing.

# A date and time in the standard forms a response may carry where it has no final "Z":
# 2021-06-01T10:15:00, with a fraction of a second, with an offset (+02:00 or +0200).
STANDARD_TIME = re.compile(
    r"(\d{4})-(\d\d)-(\d\d)[T ](\d\d):(\d\d)(?::(\d\d)(?:\.(\d{1,6}))?)?"
    r"(?:([+-])(\d\d):?(\d\d))?",
    re.ASCII,
)


def standard_time(text):
    """The datetime of TEXT in one of the STANDARD_TIME forms, or None."""
    match = STANDARD_TIME.fullmatch(text)
    if match is None:
        return None
    year, month, day, hour, minute, second, fraction, sign, hours, minutes = match.groups()
    try:
        zone = None
        if sign:
            offset = timedelta(hours=int(hours), minutes=int(minutes))
            zone = timezone(-offset if sign == "-" else offset)
        return datetime(
            int(year),
            int(month),
            int(day),
            int(hour),
            int(minute),
            int(second or 0),
            int((fraction or "0").ljust(6, "0")),
            zone,
        )
    except ValueError:  # out of the calendar or the clock, or an offset of a day or more
        return None


def has_return_legs(record):
    """Whether the itinerary flies back: one of its route legs is marked as a return leg."""
    legs = record.get("route") if isinstance(record, dict) else None
    if not isinstance(legs, list):
        return False
    try:
        return 1 in map(RETURN, legs)
    except Exception:  # a leg that is no object, or has no "return"
        return any(isinstance(leg, dict) and leg.get("return") == 1 for leg in legs)


# What the command reads of a leg beside its times.
RETURN = operator.itemgetter("return")
LEG_CODE_NAMES = (
    "flyFrom",
    "flyTo",
    "cityFrom",
    "cityTo",
    "airline",
    "flight_no",
    "operating_carrier",
    "operating_flight_no",
)
LEG_TIME_NAMES = ("local_departure", "local_arrival")
LEG_CODES = operator.itemgetter(*LEG_CODE_NAMES)
LEG_TIMES = operator.itemgetter(*LEG_TIME_NAMES)
# A leg's codes, times and "return" at once, for plain(): each leg gives PLAIN_STRIDE values.
PLAIN_FIELDS = operator.itemgetter(*LEG_CODE_NAMES, *LEG_TIME_NAMES, "return")
PLAIN_STRIDE = len(LEG_CODE_NAMES) + len(LEG_TIME_NAMES) + 1
FIRST_TIME, RETURN_FLAG = len(LEG_CODE_NAMES), PLAIN_STRIDE - 1
PLAIN_CODES = frozenset((str, int, type(None)))
FLAGS = frozenset((0, 1))
ZULU = itertools.repeat("Z")


def plain(record):
    """The legs' "return" flags where the record is as most are, else None: its legs'
    "return" 0 or 1, their codes texts or whole numbers (or null), all local times texts
    ending in "Z".  (Each test runs over all legs at once: a record has many.)  A time
    that is no text raises TypeError, which the caller takes as a no."""
    values = [*itertools.chain.from_iterable(map(PLAIN_FIELDS, record["route"]))]
    flags = values[RETURN_FLAG::PLAIN_STRIDE]
    # every value a text, a whole number or null: then flags equal to 0 or 1 are numbers
    if (
        PLAIN_CODES.issuperset(map(type, values))
        and FLAGS.issuperset(flags)
        and all(
            map(
                str.endswith,
                [
                    record["local_departure"],
                    record["local_arrival"],
                    *values[FIRST_TIME::PLAIN_STRIDE],
                    *values[FIRST_TIME + 1 :: PLAIN_STRIDE],
                ],
                ZULU,
            )
        )
    ):
        return flags
    return None


def prepared(record):
    """RECORD as the parser is to read it, and its legs' return flags where it is plain()
    (else None); or the Problem that keeps the command from it.

    Most records are as they come.  A local time in a standard form that the parser does
    not read (with an offset, or without the final "Z") is put in the parser's form, in a
    copy; a leg whose "return" is not 0 or 1, a code, name or number that is no text or
    number, or a time in no form of a date and time raises its Problem.  A field missing,
    or a leg that is no object, is the parser's to report.
    """
    if record.__class__ is not dict:
        return record, None
    try:
        flags = plain(record)
        if flags is not None:
            return record, flags
    except Exception:  # a field missing, or a value that cannot be in a set: look closer
        pass
    from tavimo import problems

    return problems.usable(record), None


def parse_itineraries(records, i_parser, all_round_trips, report, check=None):
    """The parsed itineraries, in the order of RECORDS.

    A record counts as a round trip when ALL_ROUND_TRIPS is set or one of its legs is a
    return leg.  A record the parser rejects, or that CHECK(record) (the record as parsed)
    raises for, is passed to REPORT(number, record, round_trip, exception) and left out;
    the others still come.
    """
    for number, record in enumerate(records, 1):
        try:
            if record.__class__ is Unreadable:
                raise record
            usable, flags = prepared(record)
            round_trip = all_round_trips or (
                has_return_legs(usable) if flags is None else 1 in flags
            )
            parsed = i_parser(usable, round_trip)
            if check is not None:
                check(usable)
        except Exception as exc:
            report(number, record, all_round_trips or has_return_legs(record), exc)
            continue
        yield Itinerary(number, usable, parsed, flags is not None)


# Choosing and ordering.


def number(value):
    """An amount of the response as a number, or None where it is none: a text, a truth
    value, null, NaN or an infinity."""
    kind = value.__class__
    if kind is int or (kind is float and math.isfinite(value)):
        return value
    return None


def first_amount(itinerary):
    """The price in the first currency of the record's conversion table, if it is a number."""
    for amount in itinerary.record["conversion"].values():
        return number(amount)
    return None


def split_legs(record):
    """The record's legs out and back, in the response's order."""
    route = record["route"]
    flags = list(map(RETURN, route))
    out = flags.count(0)
    # most routes list the legs out first: flags equal to 0 (all false), then to 1 (all
    # true; an empty text or a null is false but equal to neither, and fails the test)
    if flags[out:].count(1) == len(flags) - out:
        return route[:out], route[out:]
    return (
        list(itertools.compress(route, map(operator.not_, flags))),
        list(itertools.compress(route, flags)),
    )


def stops(legs):
    """The number of stops of a direction: its legs but one."""
    return max(len(legs) - 1, 0)


def total_duration(itinerary):
    """Flight time out plus, for a round trip, flight time back, in seconds."""
    outbound, inbound = itinerary.parsed[0], itinerary.parsed[1]
    seconds = outbound[2].total_seconds()
    return seconds + inbound[2].total_seconds() if inbound else seconds


def outbound_departure(itinerary):
    """The local date and time of the outbound departure, as the ISO text of the record."""
    return itinerary.record["local_departure"]


# Each order maps an itinerary to its value; itineraries without one come last, and equal
# values keep the order of the response.
ORDERS = {
    "price": first_amount,
    "duration": total_duration,
    "departure": outbound_departure,
}


def in_order(itineraries, order, reverse=False):
    """ITINERARIES by their value in ORDER, lowest first (highest with REVERSE); those
    without a value last, and equal ones in the order they came."""
    value_of = ORDERS[order]
    valued, without = [], []
    for itinerary in itineraries:
        value = value_of(itinerary)
        if value is None:
            without.append(itinerary)
        else:
            valued.append((value, itinerary))
    valued.sort(key=operator.itemgetter(0), reverse=reverse)  # stable either way
    return [itinerary for _value, itinerary in valued] + without


def chosen(itineraries, max_price=None, max_stops=None, airlines=None):
    """The ITINERARIES that cost at most MAX_PRICE (in the first currency; one without a
    price does not), stop at most MAX_STOPS times each way, and fly only with AIRLINES (a
    set of codes in capitals)."""
    for itinerary in itineraries:
        if max_price is not None:
            amount = first_amount(itinerary)
            if amount is None or amount > max_price:
                continue
        if max_stops is not None or airlines:
            outbound, inbound = split_legs(itinerary.record)
            if max_stops is not None and (
                stops(outbound) > max_stops or stops(inbound) > max_stops
            ):
                continue
            if airlines and not all(
                leg["airline"] is not None and str(leg["airline"]).upper() in airlines
                for leg in outbound + inbound
            ):
                continue
        yield itinerary
