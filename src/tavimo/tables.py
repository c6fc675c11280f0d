"""Plain text tables: a header line, a line of dashes, one line per row.

Every cell is shown as its text, stripped of surrounding blanks and left-aligned; columns
stand two blanks apart, and each is at least two characters wider than its title.  Lines
carry no trailing blanks.  Widths are display widths: East Asian wide characters take two
columns and combining marks none.  Cells are expected to hold one line each.
"""
import functools
import unicodedata

COLUMN_GAP = "  "
TITLE_MARGIN = 2


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


def layout(rows, widths):
    """ROWS as cell texts, the column WIDTHS widened to fit them, and whether all is ASCII."""
    rows = [list(map(str.strip, map(str, row))) for row in rows]
    ascii_only = "".join(map("".join, rows)).isascii()
    width_of = len if ascii_only else display_width
    if rows:
        columns = zip(*rows)
        widths = [max(width, *map(width_of, column)) for width, column in zip(widths, columns)]
    return rows, widths, ascii_only


def format_table(header, rows):
    """The table of ROWS (sequences of cells) under the column titles of HEADER."""
    header = list(map(str, header))
    titles_ascii = "".join(header).isascii()
    widths = [(len(title) if titles_ascii else display_width(title)) + TITLE_MARGIN
              for title in header]
    rows, widths, ascii_only = layout(rows, widths)
    lines = [header, ["-" * width for width in widths], *rows]
    return aligned(lines, widths, ascii_only and titles_ascii)


def format_columns(rows):
    """ROWS of texts in aligned columns, with no header."""
    rows = list(rows)
    if not rows:
        return ""
    rows, widths, ascii_only = layout(rows, [0] * len(rows[0]))
    return aligned(rows, widths, ascii_only)
