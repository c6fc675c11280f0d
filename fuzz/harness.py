"""What the fuzz targets share: the test suite's oracle and hostile values, the comparison
that turns a difference into a failure, and `Draw`, which builds inputs from the fuzzer's
bytes.

Every target compares the native modules with the plain-Python rendition in
testkit/rendition.py, on inputs built twice from one recipe (testkit/recipes.py, as in
tests/test_differential.py), so that each side gets fresh objects.  Anything but equal
outcomes raises `Mismatch`, which the fuzzer reports as a finding, as it does a crash or a
sanitizer report.
"""

import locale
import os
import pathlib
import shutil
import subprocess
import sys

import tavimo.brasco as brasco
import tavimo.questions as questions  # noqa: F401  (the targets call it through here)
from testkit import rendition
from testkit.locales import LOCALE_CANDIDATES, try_time_locale
from testkit.recipes import LEG_KEYS, build, obj  # noqa: F401  (the targets' too)
from testkit.rendition import observe


try:
    from atheris import FuzzedDataProvider as provider
except ImportError:  # the test suite's environments: the targets run on a stand-in
    provider = None


class BytesProvider:
    """The few FuzzedDataProvider calls the builders use, for running the targets without
    the fuzzer (the test suite).  The same bytes make other inputs than under atheris."""

    def __init__(self, data):
        self.data = bytes(data)

    def _take(self, count):
        taken, self.data = self.data[:count], self.data[count:]
        return int.from_bytes(taken.ljust(count, b"\0"), "little")

    def ConsumeIntInRange(self, low, high):
        span = high - low
        return low + self._take((span.bit_length() + 7) // 8) % (span + 1) if span else low

    def ConsumeBool(self):
        return bool(self._take(1) & 1)

    def ConsumeInt(self, size):
        value = self._take(size)
        return value - (1 << (8 * size - 1)) if size else 0

    def ConsumeRegularFloat(self):
        return self.ConsumeInt(4) / 8.0

    def ConsumeFloat(self):
        return self.ConsumeRegularFloat()

    def ConsumeUnicode(self, count):
        return "".join(chr(self._take(2) % 0x3000) for _ in range(min(count, len(self.data))))


if provider is None:
    provider = BytesProvider


class Mismatch(AssertionError):
    """The native outcome differs from the expected one."""


def require_equal(what, native, expected, recipe):
    if native != expected:
        raise Mismatch(
            "%s differs\n  input:    %r\n  native:   %r\n  expected: %r"
            % (what, recipe, native, expected)
        )


def compare_brasco(name, recipes):
    """brasco.<name> against rendition.<name>, both on fresh objects from the recipes:
    result or exception, and the debug records."""
    try:
        native_args = [build(r) for r in recipes]
    except UnicodeEncodeError:  # bytes of a text with lone surrogates: no input at all
        return None
    expected_args = [build(r) for r in recipes]
    function = getattr(brasco, name)
    native = observe(
        lambda: function(*native_args),
        brasco.leg_details_header,
        native_name="tavimo.brasco." + name,
    )
    expected = observe(
        lambda: getattr(rendition, name)(*expected_args), rendition.leg_details_header
    )
    require_equal(name, native, expected, recipes)
    return native


# ------------------------------------------------------------------------------------------
# Inputs from the fuzzer's bytes


class Draw:
    """Choices taken from an atheris.FuzzedDataProvider.  Once the bytes run out every
    choice is the first one, so short inputs give plain values."""

    def __init__(self, provider):
        self.provider = provider

    def int(self, low, high):
        return self.provider.ConsumeIntInRange(low, high)

    def pick(self, choices):
        return choices[self.int(0, len(choices) - 1)]

    def one_of(self, *makers):
        """The value of one of the makers (called without arguments), the others unmade."""
        return self.pick(makers)()

    def chance(self, one_in):
        return self.int(0, one_in - 1) == one_in - 1

    def bool(self):
        return self.provider.ConsumeBool()

    def text(self, longest):
        """Any text, lone surrogates included."""
        return self.provider.ConsumeUnicode(self.int(0, longest))

    def number(self):
        return self.one_of(
            lambda: self.int(-(10**6), 10**6),
            lambda: self.provider.ConsumeInt(16),
            self.provider.ConsumeRegularFloat,
            self.provider.ConsumeFloat,
        )

    def listed(self, item, most):
        return [item() for _ in range(self.int(0, most))]


def near_iso(draw):
    """A date-time text built field by field, each field mostly in range and otherwise at
    or beyond its limits, sometimes edited in a few places afterwards."""

    def field(low, high, usual_high):
        return draw.one_of(lambda: draw.int(low + 1, usual_high), lambda: draw.int(low, high))

    year = draw.one_of(
        lambda: "%04d" % draw.int(1, 9999),
        lambda: (
            draw.pick(["%03d", "%05d", "%d"]) % draw.pick([1, 1900, 1970, 2021, 9999, 0, 10000])
        ),
    )
    text = "%s-%02d-%02d" % (year, field(0, 13, 12), field(0, 32, 28))
    layout = draw.int(0, 3)
    if layout > 0:
        text += draw.one_of(
            lambda: draw.pick(["T", " "]), lambda: draw.pick(["t", "x", "", "TT", "\x00", "\u3000"])
        )
        text += "%02d:%02d" % (field(-1, 25, 23), field(-1, 61, 59))
        if layout > 1:
            text += ":%02d" % field(-1, 61, 59)
            if layout > 2:
                digits = draw.one_of(lambda: "0123456789", lambda: "0123456789٣２")
                text += "." + "".join(draw.pick(digits) for _ in range(draw.int(0, 8)))
    if draw.chance(4):
        text += draw.pick(
            [
                "+00:00",
                "-00:00",
                "+05:30",
                "-23:59",
                "+24:00",
                "+05:99",
                "+01:00:30",
                "+01:00:30.123456",
                "+0100",
                "Z",
                "+1:00",
                "+01",
            ]
        )
    for _ in range(draw.int(0, 3) if draw.chance(3) else 0):
        where = draw.int(0, len(text))
        piece = draw.pick(list("0123456789-:T .+Z/,") + ["٣", "２", "", "\u0300", "\udc80"])
        action = draw.int(0, 2)
        if action == 0:
            text = text[:where] + piece + text[where:]
        elif action == 1:
            text = text[:where] + piece + text[where + 1 :]
        else:
            text = text[:where] + text[where + 1 :]
    return text + draw.pick(["Z", "Z", "Z", "", "0", ".000Z", "é", "\n"])


def time_text(draw):
    return near_iso(draw) if draw.int(0, 3) else draw.text(40)


def time_value(draw):
    """What a record may hold where a time should be: mostly texts, then other shapes."""
    shape = draw.int(0, 15)
    if shape < 10:
        return time_text(draw)
    if shape == 10:
        return draw.pick([None, 0, 1.5, "", "Z", ("value", ["2", "0"])])
    kind = draw.pick(["Sliceable", "Text", "deque", "bytes", "FailingSlice"])
    return obj(kind, time_text(draw)) if kind != "FailingSlice" else obj(kind)


def display_value(draw):
    shape = draw.int(0, 6)
    if shape < 3:
        return draw.text(10)
    if shape == 3:
        return draw.number()
    return draw.pick(
        [
            None,
            True,
            obj("FailingFormat"),
            obj("FailingStr"),
            obj("Text", "ab"),
            obj("Decimal", "1.50"),
            ("tuple", (1, "a")),
            ("list", []),
            obj("Number", 42),
            obj("Color"),
            obj("Ratio", 2.5),
            2**63,
            -(2**63) - 1,
        ]
    )


RETURN_VALUES = [
    0,
    1,
    0,
    1,
    2,
    -1,
    True,
    False,
    1.0,
    0.0,
    "1",
    "",
    None,
    obj("FailingBool"),
    obj("FailingEq"),
    obj("EqualsFailingBool"),
    obj("Decimal", "1"),
]


def leg(draw):
    fields = {key: display_value(draw) for key in LEG_KEYS}
    fields["local_departure"] = time_value(draw)
    fields["local_arrival"] = time_value(draw)
    fields["return"] = draw.pick(RETURN_VALUES)
    entries = [(key, fields[key]) for key in LEG_KEYS]
    if draw.chance(6):
        missing = draw.pick(LEG_KEYS)
        entries = [entry for entry in entries if entry[0] != missing]
    shape = draw.int(0, 13)
    if shape < 8:
        return ("dict", entries)
    if shape < 10:
        return (draw.pick(["readonly", "defaulting"]), entries)
    if shape == 10:
        return ("fails_on", entries, draw.pick(LEG_KEYS))
    return draw.pick([None, "leg", 7])


def route_plan(draw):
    if draw.chance(3):
        return good_route_plan(draw)
    items = draw.listed(
        lambda: draw.one_of(lambda: leg(draw), lambda: good_leg(draw, draw.int(0, 1))), 4
    )
    container = draw.int(0, 9)
    if container < 6:
        return ("list", items)
    return [("tuple", items), ("iter", items), None, 3][container - 6]


def seconds(draw):
    return draw.one_of(
        lambda: draw.int(-(10**6), 10**7),
        lambda: draw.provider.ConsumeInt(8),
        draw.number,
        lambda: str(draw.int(0, 10**6)),
        lambda: draw.text(8),
        lambda: obj("Seconds", draw.provider.ConsumeInt(9)),
        lambda: draw.pick(
            [
                None,
                True,
                ("list", []),
                obj("FailingInt"),
                obj("Number", 3600),
                obj("Decimal", "9300.9"),
                " 42 ",
                "1_000",
                "12.5",
                86399999999999,
                86400000000000,
                -86400000000000,
                -86399999999999,
            ]
        ),
    )


def places(draw):
    return [
        draw.one_of(
            lambda: draw.pick(["BER", "LHR", "JFK", "", "X", 1, obj("Text", "T")]),
            lambda: draw.text(4),
        )
        for _ in range(draw.int(0, 4))
    ]


def routes(draw):
    items = [
        (draw.pick(["list", "list", "tuple", "iter"]), places(draw)) for _ in range(draw.int(0, 3))
    ]
    items += draw.pick([[], [], ["XYZ"], [None]])
    shape = draw.int(0, 7)
    if shape < 5:
        return ("list", items)
    return [("tuple", items), ("dict", list(enumerate(items))), None][shape - 5]


def conversion(draw):
    def currency():
        return draw.one_of(
            lambda: draw.pick(
                ["EUR", "USD", "", "€", None, obj("Text", "CHF"), obj("FailingFormat")]
            ),
            lambda: draw.text(4),
            lambda: draw.int(-9, 9),
        )

    def amount():
        return draw.one_of(
            draw.number,
            lambda: draw.text(6),
            lambda: draw.pick(
                [
                    None,
                    obj("Decimal", "12.50"),
                    obj("FailingStr"),
                    obj("Number", 120),
                    obj("Ratio", 1.5),
                    True,
                    2**70,
                    obj("Color"),
                    obj("Text", "5"),
                ]
            ),
        )

    entries, seen_keys = [], set()
    for _ in range(draw.int(0, 4)):
        key = currency()
        if repr(key) not in seen_keys:
            seen_keys.add(repr(key))
            entries.append((key, amount()))
    shape = draw.int(0, 13)
    if shape < 6:
        return ("dict", entries)
    if shape < 8:
        return (draw.pick(["readonly", "defaulting"]), entries)
    if shape == 8:
        pairs = [
            draw.one_of(
                lambda: ("tuple", (currency(), amount())),
                lambda: ("list", [currency(), amount()]),
                lambda: ("iter", [currency(), amount()]),
                lambda: draw.pick(
                    [
                        ("tuple", ("A",)),
                        ("tuple", ("A", 1, 2)),
                        ("iter", ["A"]),
                        "ab",
                        "abc",
                        5,
                        None,
                    ]
                ),
            )
            for _ in range(draw.int(0, 4))
        ]
        return ("pairs", (draw.pick(["list", "tuple", "iter"]), pairs))
    if shape == 9:
        return draw.pick([None, obj("FailingItems")])
    return ("mutating", entries, draw.pick(["grow", "shrink", "replace"]))


# Well-formed values, so that most records get past their first fields: a record has at most
# one wild field, or is wild throughout.


def good_iso(draw):
    """A valid time in one of the layouts that results use."""
    text = "%04d-%02d-%02d" % (draw.int(1, 9999), draw.int(1, 12), draw.int(1, 28))
    text += "T%02d:%02d" % (draw.int(0, 23), draw.int(0, 59))
    return text + draw.pick(
        [":00.000Z", ":%02d.%03dZ" % (draw.int(0, 59), draw.int(0, 999)), ":00Z", "Z", ":00+02:00Z"]
    )


def good_leg(draw, returning):
    fields = {key: draw.one_of(lambda: draw.text(6), lambda: draw.int(0, 9999)) for key in LEG_KEYS}
    fields.update(
        local_departure=good_iso(draw), local_arrival=good_iso(draw), **{"return": returning}
    )
    return ("dict", [(key, fields[key]) for key in LEG_KEYS])


def good_route_plan(draw):
    items = [good_leg(draw, draw.int(0, 1)) for _ in range(draw.int(0, 4))]
    return ("list", items + [good_leg(draw, 1)])


GOOD_FIELDS = {
    "duration": lambda draw: (
        "dict",
        [("departure", draw.int(0, 10**7)), ("return", draw.int(0, 10**7))],
    ),
    "routes": lambda draw: (
        "list",
        [
            ("list", [draw.pick(["BER", "LHR", "JFK"]) for _ in range(draw.int(1, 3))])
            for _ in range(2)
        ],
    ),
    "local_departure": good_iso,
    "local_arrival": good_iso,
    "conversion": lambda draw: (
        "dict",
        [(currency, draw.int(0, 10**4)) for currency in ["EUR", "USD", "GBP"][: draw.int(0, 3)]],
    ),
    "route": good_route_plan,
}

RECORD_FIELDS = {
    "duration": lambda draw: (
        ("dict", [("departure", seconds(draw)), ("return", seconds(draw))])
        if draw.int(0, 7)
        else draw.pick([("dict", [("departure", 60)]), None])
    ),
    "routes": routes,
    "local_departure": time_value,
    "local_arrival": time_value,
    "conversion": conversion,
    "route": route_plan,
}


def search_result(draw):
    wild = draw.pick([None] + list(RECORD_FIELDS) + ["all"])
    entries = [
        (key, (RECORD_FIELDS if wild in (key, "all") else GOOD_FIELDS)[key](draw))
        for key in RECORD_FIELDS
    ]
    if draw.chance(8):
        missing = draw.pick(list(RECORD_FIELDS))
        entries = [entry for entry in entries if entry[0] != missing]
    shape = draw.int(0, 10)
    if shape < 8:
        return ("dict", entries)
    if shape == 8:
        return ("readonly", entries)
    if shape == 9:
        return ("fails_on", entries, draw.pick(list(RECORD_FIELDS)))
    return None


ROUND_TRIPS = [True, False, None, 0, 1, "", "no", ("list", []), obj("FailingBool")]


# ------------------------------------------------------------------------------------------
# A second LC_TIME locale, whose day and month names differ from C's


def second_time_locale():
    """(name, LOCPATH or None) of such a locale, made with localedef under the fuzzing
    environment if none is installed; None if there is no way to get one."""
    previous = locale.setlocale(locale.LC_TIME)
    try:
        name = try_time_locale(LOCALE_CANDIDATES)
        if name is not None:
            return name, None
        source = "/usr/share/i18n/locales/de_DE"
        if shutil.which("localedef") is None or not os.path.exists(source):
            return None
        directory = pathlib.Path(sys.prefix) / "locales"
        if not (directory / "de_DE.UTF-8").exists():
            directory.mkdir(exist_ok=True)
            subprocess.run(
                ["localedef", "-c", "-i", "de_DE", "-f", "UTF-8", str(directory / "de_DE.UTF-8")],
                capture_output=True,
                timeout=120,
            )
        os.environ["LOCPATH"] = str(directory)
        if try_time_locale(["de_DE.UTF-8"]) is None:
            return None
        return "de_DE.UTF-8", str(directory)
    finally:
        locale.setlocale(locale.LC_TIME, previous)
