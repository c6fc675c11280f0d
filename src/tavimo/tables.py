"""Plain text tables: a header line, a line of dashes, one line per row.

Every cell is shown as its text, stripped of surrounding blanks and left-aligned; columns
stand two blanks apart, and each is at least two characters wider than its title.  Lines
carry no trailing blanks.  Widths are display widths: East Asian wide characters take two
columns and combining marks none.  Cells are expected to hold one line each.

What a terminal would act on rather than show (control characters, the start of an escape
sequence, bidirectional overrides, line separators) is shown escaped, as \\x1b or \\u202e.
A table given a width it does not fit in has its widest columns wrapped, a cell over
several lines, rather than lines the terminal would fold.
"""

import functools
import itertools
import os
import re
import unicodedata

COLUMN_GAP = "  "
TITLE_MARGIN = 2
# The narrowest a wrapped column gets: below it, words would be cut into pieces of a few
# characters, and the line is better left too long.
NARROWEST_WRAP = 6

# C0 and C1 controls and DEL, the zero-width space and the invisible operators, the
# marks and overrides of bidirectional text, line and paragraph separators, the byte
# order mark, and lone surrogates (which no terminal encoding can carry).  The joiners
# U+200C and U+200D stay: scripts and emoji sequences are written with them.
UNSAFE = (
    "[\x00-\x1f\x7f-\x9f\u061c\u200b\u200e\u200f\u2028-\u202e"
    "\u2060-\u2064\u2066-\u2069\ufeff\ud800-\udfff]"
)
ESCAPES = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def escaped_char(match):
    char = match.group()
    code = ord(char)
    return ESCAPES.get(char) or ("\\x%02x" % code if code < 0x100 else "\\u%04x" % code)


@functools.lru_cache(maxsize=None)
def unsafe_pattern():
    return re.compile(UNSAFE)  # when needed: compiling costs the command's start


def terminal_safe(text):
    """TEXT with what a terminal would act on (UNSAFE) shown as escapes."""
    return unsafe_pattern().sub(escaped_char, text)


@functools.lru_cache(maxsize=None)  # a character's width never changes
def char_width(char):
    if unicodedata.combining(char) or unicodedata.category(char) in ("Mn", "Me", "Cf"):
        return 0
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


def display_width(text):
    return len(text) if text.isascii() else sum(map(char_width, text))


def pad(text, width):
    """TEXT followed by blanks up to WIDTH display columns."""
    return text + " " * (width - display_width(text))


def aligned(lines, widths, ascii_only):
    """LINES of cells padded to the column WIDTHS and joined, with no trailing blanks."""
    if ascii_only:
        padded = (map(str.ljust, line, widths) for line in lines)
    else:
        padded = (map(pad, line, widths) for line in lines)
    return "\n".join(COLUMN_GAP.join(line).rstrip() for line in padded)


def cell_texts(rows):
    """ROWS as lists of cell texts, stripped of blanks and made safe for a terminal; and
    whether they are all ASCII."""
    rows = [list(map(str.strip, map(str, row))) for row in rows]
    joined = "".join(map("".join, rows))
    if not joined.isprintable():  # a control character, or a rarer one of UNSAFE
        rows = [list(map(terminal_safe, row)) for row in rows]
        joined = "".join(map("".join, rows))
    return rows, joined.isascii()


def layout(rows, widths):
    """ROWS as cell texts, the column WIDTHS widened to fit them, and whether all is ASCII."""
    rows, ascii_only = cell_texts(rows)
    width_of = len if ascii_only else display_width
    if rows:
        columns = zip(*rows)
        widths = [max(width, *map(width_of, column)) for width, column in zip(widths, columns)]
    return rows, widths, ascii_only


def line_width(widths):
    return sum(widths) + len(COLUMN_GAP) * (len(widths) - 1)


def format_table(header, rows, width=None):
    """The table of ROWS (sequences of cells) under the column titles of HEADER, its widest
    columns wrapped where its lines would be longer than WIDTH (None: no limit)."""
    try:
        header, widths, titles_ascii = TITLES[tuple(header)]
    except TypeError:  # a title that is a list or an object
        header, widths, titles_ascii = titles_layout(header)
    widths = list(widths)
    rows = rows if isinstance(rows, list) else list(rows)
    count = len(header)
    cells = list(map(str.strip, map(str, itertools.chain.from_iterable(rows))))
    joined = "".join(cells)
    if not joined.isprintable():  # a control character, or a rarer one of UNSAFE
        cells = list(map(terminal_safe, cells))
        joined = "".join(cells)
    if len(cells) != count * len(rows):  # rows of other lengths than the header's
        return uneven_table(header, rows, widths, width, titles_ascii)
    ascii_only = titles_ascii and joined.isascii()
    if rows:
        width_of = len if ascii_only else display_width
        widths = [
            max(width_, *map(width_of, cells[column::count]))
            for column, width_ in enumerate(widths)
        ]
    if width is not None and line_width(widths) > width:
        rows = [cells[start : start + count] for start in range(0, len(cells), count)]
        return wrapped_table(header, rows, widths, width)
    if not titles_ascii:
        rows = [cells[start : start + count] for start in range(0, len(cells), count)]
        return aligned([header, ["-" * width_ for width_ in widths], *rows], widths, False)
    # the usual table at its quickest: a %-format per line, the title lines made once
    widths = tuple(widths)
    head = HEADS[(*header, *widths)]
    if not rows:
        return head
    if ascii_only:
        body = "\n".join([LINE_FORMATS[widths]] * len(rows)) % tuple(cells)
    else:  # each cell padded by its own count of characters, for its display width
        body = "\n".join([WIDE_LINE_FORMATS[count]] * len(rows)) % tuple(
            [
                part
                for cell, width_ in zip(cells, widths * len(rows))
                for part in (width_ + len(cell) - display_width(cell), cell)
            ]
        )
    if not all(cells[count - 1 :: count]):  # an empty last cell leaves blanks behind
        body = "\n".join(map(str.rstrip, body.split("\n")))
    return head + "\n" + body


def titles_layout(titles):
    """The texts of TITLES, the widths their columns need, and whether all is ASCII."""
    header = list(map(str, titles))
    titles_ascii = "".join(header).isascii()
    widths = [
        (len(title) if titles_ascii else display_width(title)) + TITLE_MARGIN for title in header
    ]
    return header, tuple(widths), titles_ascii


class Titles(dict):
    """Column titles -> titles_layout(titles), kept where all are texts (1 and True are
    equal titles, but not equal texts)."""

    def __missing__(self, titles):
        layout = titles_layout(titles)
        if all(type(title) is str for title in titles):
            self[titles] = layout
        return layout


TITLES = Titles()


def uneven_table(header, rows, widths, width, titles_ascii):
    """The table of rows not all as long as the header: columns as far as they go."""
    rows, widths, ascii_only = layout(rows, widths)
    if width is not None and line_width(widths) > width:
        return wrapped_table(header, rows, widths, width)
    lines = [header, ["-" * width for width in widths], *rows]
    return aligned(lines, widths, ascii_only and titles_ascii)


class LineFormats(dict):
    """Column widths -> the %-format of a line of cells padded to them (the last not)."""

    def __missing__(self, widths):
        line = self[widths] = COLUMN_GAP.join(
            ["%-{}s".format(width) for width in widths[:-1]] + ["%s"]
        )
        return line


LINE_FORMATS = LineFormats()


class WideLineFormats(dict):
    """A number of columns -> the %-format of a line of cells each padded to the width
    given before it (the last not: "%.0s" takes its width and shows nothing)."""

    def __missing__(self, count):
        line = self[count] = COLUMN_GAP.join(["%-*s"] * (count - 1) + ["%.0s%s"])
        return line


WIDE_LINE_FORMATS = WideLineFormats()


class Heads(dict):
    """The titles and the column widths -> the title line and the line of dashes."""

    def __missing__(self, key):
        count = len(key) // 2
        titles, widths = key[:count], key[count:]
        head = self[key] = (
            (LINE_FORMATS[widths] % titles).rstrip()
            + "\n"
            + COLUMN_GAP.join(["-" * width for width in widths])
        )
        return head


HEADS = Heads()


def format_columns(rows):
    """ROWS of texts in aligned columns, with no header."""
    rows = list(rows)
    if not rows:
        return ""
    rows, widths, ascii_only = layout(rows, [0] * len(rows[0]))
    return aligned(rows, widths, ascii_only)


# Fitting a table to a width: the widest columns are narrowed to one width, as much as
# the line needs, and their cells wrapped at blanks (a word wider than the column is cut).


def longest_word(texts):
    return max((display_width(word) for text in texts for word in text.split()), default=0)


def narrowed_widths(widths, floors, room):
    """WIDTHS with the widest lowered to a common cap, none below its FLOOR, so that the
    columns take at most ROOM display columns if they can."""

    def total(cap):
        return sum(max(min(width, cap), floor) for width, floor in zip(widths, floors))

    low, high = 0, max(widths)  # the largest cap that fits, by bisection
    while low < high:
        cap = (low + high + 1) // 2
        if total(cap) <= room:
            low = cap
        else:
            high = cap - 1
    return [max(min(width, low), floor) for width, floor in zip(widths, floors)]


def fitted_widths(columns, widths, width):
    """The column WIDTHS narrowed to fit WIDTH: first down to the longest word of each
    column, and only when that is not enough further, words then being cut."""
    room = width - len(COLUMN_GAP) * (len(widths) - 1)
    floors = [
        min(width_, max(longest_word(column), NARROWEST_WRAP))
        for width_, column in zip(widths, columns)
    ]
    if sum(floors) > room:
        floors = [min(width_, NARROWEST_WRAP) for width_ in widths]
    return narrowed_widths(widths, floors, room)


def cut(word, width):
    """The longest start of WORD that fits WIDTH (at least one character), and the rest."""
    used = 0
    for index, char in enumerate(word):
        used += char_width(char)
        if used > width and index:
            return word[:index], word[index:]
    return word, ""


def wrapped(text, width):
    """TEXT as lines of at most WIDTH display columns, broken at blanks where it can be."""
    if display_width(text) <= width:
        return [text]
    lines, line = [], ""
    for word in text.split():
        while display_width(word) > width:
            if line:
                lines.append(line)
                line = ""
            piece, word = cut(word, width)
            lines.append(piece)
        if not line:
            line = word
        elif display_width(line) + 1 + display_width(word) <= width:
            line += " " + word
        else:
            lines.append(line)
            line = word
    if line:
        lines.append(line)
    return lines


def wrapped_table(header, rows, widths, width):
    """The table fitted to WIDTH: the titles' margins given up first, then the widest
    columns narrowed, each row over as many lines as its tallest cell needs."""
    columns = list(zip(header, *rows))
    widths = [max(map(display_width, column)) for column in columns]
    if line_width(widths) > width:
        widths = fitted_widths(columns, widths, width)
    lines = []
    for row in [header, None, *rows]:
        if row is None:
            lines.append(["-" * width_ for width_ in widths])
            continue
        cells = [wrapped(cell, width_) for cell, width_ in zip(row, widths)]
        height = max(map(len, cells))
        lines += [
            [cell[line] if line < len(cell) else "" for cell in cells] for line in range(height)
        ]
    return aligned(lines, widths, False)


def output_width(out):
    """The width tables may take on OUT: COLUMNS where it is set to a number, else the
    terminal's when OUT is a terminal, else None (no limit: the layout scripts rely on)."""
    columns = os.environ.get("COLUMNS", "").strip()
    if columns.isascii() and columns.isdigit() and int(columns) > 0:
        return int(columns)
    try:
        if out.isatty():
            return os.get_terminal_size(out.fileno()).columns or None
    except (AttributeError, ValueError, OSError):  # no file behind it, or closed
        pass
    return None
