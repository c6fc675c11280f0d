"""Flight-search results: reading a response, parsing its itineraries, putting them in order."""
import codecs
import itertools
import json
import math
import sys
from collections import namedtuple

from tavimo.errors import UserError

WHITESPACE = json.decoder.WHITESPACE
NUMBER_CHARS = "0123456789eE.+-"

# number: the position in the response, from 1; record: the search-result record as read;
# parsed: what i_parser made of it.  (A namedtuple: typing costs the command more to import.)
Itinerary = namedtuple("Itinerary", ["number", "record", "parsed"])


def read_itineraries(source, sample):
    """Load the itinerary records from a file, '-' (stdin) or, for None, the SAMPLE path.

    A response larger than STREAM_ABOVE bytes is read as it comes (streamed_itineraries):
    the records then come one at a time, and a fault late in the document is reported
    after the itineraries before it."""
    if source == "-":
        if sys.stdin is None:
            raise UserError("cannot read standard input: it is closed")
        return read_response("standard input", sys.stdin.buffer, own_file=False)
    path = sample if source is None else source
    name = str(path)
    try:
        file = open(path, "rb")
    except OSError as exc:
        raise UserError("cannot read {}: {}".format(name, exc.strerror or exc))
    records = read_response(name, file, own_file=True)
    if isinstance(records, list):
        file.close()
    return records  # the streamed records close the file when they end


def read_chunk(name, file, size):
    try:
        return file.read(size)
    except OSError as exc:
        raise UserError("cannot read {}: {}".format(name, exc.strerror or exc))


def read_response(name, file, own_file):
    """The records of the response in FILE: a list, or an iterator over a large one (which
    closes FILE at its end when it is OWN_FILE)."""
    raw = read_chunk(name, file, max(STREAM_ABOVE + 1, 4))  # 4: to tell the encoding
    if len(raw) > STREAM_ABOVE:
        return streamed_itineraries(name, file, raw, own_file)
    if not raw.strip():
        raise UserError("{} is empty: expected a flight-search response in JSON".format(name))
    try:
        document = json.loads(raw)  # bytes: UTF-8/16/32 and a BOM are detected
    except ValueError as exc:  # JSONDecodeError and UnicodeDecodeError
        raise UserError("{} is not valid JSON: {}".format(name, exc))
    itineraries = document.get("data") if isinstance(document, dict) else document
    if not isinstance(itineraries, list):
        raise no_itineraries(name)
    return itineraries


def no_itineraries(name):
    return UserError('{} holds no itineraries: expected a JSON array or an object '
                     'with a "data" array'.format(name))


STREAM_ABOVE = 32 * 1024 * 1024  # bytes: a document up to this size is read whole
CHUNK = 4 * 1024 * 1024  # bytes read at a time past it


class JsonCursor:
    """A JSON text read from a file a chunk at a time: TEXT holds what is at hand, POS is
    where reading stands in it.  Values are decoded by the json module's own scanner, so
    they come out as json.loads makes them; errors say where, as json.loads says it."""

    def __init__(self, name, file, head):
        self.name, self.file = name, file
        self.decoder = codecs.getincrementaldecoder(json.detect_encoding(head))(
            "surrogatepass")  # as json.loads decodes bytes
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
        return UserError("{} is not valid JSON: {}: line {} column {} (char {})".format(
            self.name, message, line, column, self.dropped + pos))

    def peek(self):
        """The next character past blanks, or "" at the end of the document."""
        while True:
            self.pos = WHITESPACE.match(self.text, self.pos).end()
            if self.pos < len(self.text) or self.ended:
                return self.text[self.pos:self.pos + 1]
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
        small = opening + self.text[comma:self.pos + 1]
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
                raise self.error("Expecting property name enclosed in double quotes",
                                 self.pos)
            key = self.value()
            self.expect(":", "Expecting ':' delimiter")
            yield key
            if self.closed("}", '{"": 0'):
                return

    def end(self):
        if self.peek():
            raise self.error("Extra data", self.pos)


def streamed_itineraries(name, file, head, own_file):
    """The records of a large response, decoded one at a time from the top-level array or
    the "data" member, so that the document's objects are never all held at once.  What
    comes before the first record is checked here: the records' iterator, or a list when
    there are none."""
    records = document_items(JsonCursor(name, file, head), own_file)
    try:
        first = next(records)
    except StopIteration:
        return []
    return itertools.chain([first], records)


def document_items(cursor, own_file):
    try:
        start = cursor.peek()
        if start == "[":
            yield from cursor.items()
        elif start == "{":
            yield from data_items(cursor)
        elif not start and cursor.blank:
            raise UserError("{} is empty: expected a flight-search response in JSON"
                            .format(cursor.name))
        else:
            cursor.value()  # the error of a document with no value
            cursor.end()
            raise no_itineraries(cursor.name)
        cursor.end()
    finally:
        if own_file:
            cursor.file.close()


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


def has_return_legs(record):
    """Whether the itinerary flies back: one of its route legs is marked as a return leg."""
    legs = record.get("route") if isinstance(record, dict) else None
    return isinstance(legs, list) and any(
        isinstance(leg, dict) and leg.get("return") == 1 for leg in legs)


def parse_itineraries(records, i_parser, all_round_trips, report):
    """The parsed itineraries, in the order of RECORDS.

    A record counts as a round trip when ALL_ROUND_TRIPS is set or one of its legs is a
    return leg.  A record the parser rejects is passed to REPORT(number, record, round_trip,
    exception) and left out; the others still come.
    """
    for number, record in enumerate(records, 1):
        round_trip = all_round_trips or has_return_legs(record)
        try:
            parsed = i_parser(record, round_trip)
        except Exception as exc:
            report(number, record, round_trip, exc)
            continue
        yield Itinerary(number, record, parsed)


def first_amount(itinerary):
    """The price in the first currency of the record's conversion table, if it is a number."""
    try:
        conversion = itinerary.record["conversion"]
        _currency, amount = next(iter(conversion.items()))
        value = float(amount)
    except Exception:  # no table, an empty or odd one, an amount that is no number
        return None
    return value if math.isfinite(value) else None


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


def in_order(itineraries, order):
    value_of = ORDERS[order]

    def key(itinerary):
        value = value_of(itinerary)
        return (value is None, value if value is not None else 0)
    return sorted(itineraries, key=key)
