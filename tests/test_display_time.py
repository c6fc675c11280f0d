"""Display times of tavimo.brasco against the interpreter's own calls.

A display time is datetime.fromisoformat(text[:-1]).strftime("%a %d %b %H:%M").  The module
renders the common layouts natively; these tests hold it to the interpreter's result (or its
exception, type and message) wherever the text, the locale or the module's `datetime` may
take it: the `times` cell of route_details and both times of get_ret_times.
"""

import locale
import random
import sys
import time
import types
from datetime import date, datetime, timedelta

import pytest

from conftest import make_leg

FORMAT = "%a %d %b %H:%M"


def expected_display(text, cls=datetime):
    return cls.fromisoformat(text[:-1]).strftime(FORMAT)


def outcome(function, *args):
    """("ok", result), or the type and message of the exception raised."""
    try:
        return "ok", function(*args)
    except Exception as error:  # the exception itself is what is compared
        return type(error), str(error)


def times_cell(brasco, departure, arrival):
    outbound, _ = brasco.route_details(
        route_plan=[make_leg(0, local_departure=departure, local_arrival=arrival)], leg=None
    )
    return outbound[1][1]


def return_times(brasco, departure, arrival):
    return brasco.get_ret_times([make_leg(1, local_departure=departure, local_arrival=arrival)])


def check_like_python(brasco, text, cls=datetime):
    """The text as departure, as arrival and as both times of a return leg."""
    good = "2021-06-01T13:40:00.000Z"
    expected = outcome(expected_display, text, cls)
    good_display = expected_display(good, cls)

    def joined(first, second):
        return f"{expected_display(first, cls)} -> {expected_display(second, cls)}"

    assert outcome(times_cell, brasco, text, good) == outcome(joined, text, good)
    assert outcome(times_cell, brasco, good, text) == outcome(joined, good, text)
    if expected[0] == "ok":
        assert return_times(brasco, text, text) == (expected[1], expected[1])
        assert times_cell(brasco, text, good) == f"{expected[1]} -> {good_display}"
    else:
        assert outcome(return_times, brasco, text, text) == expected


# ---------------------------------------------------------------------------------------
# Field boundaries.  Every text gets a final "Z", which the cut removes again.

ACCEPTED = [
    "2021-06-01T10:15:00.000",
    "2021-06-01 10:15:00.000",
    "2021-06-01T10:15",
    "2021-06-01T10:15:59",
    "2021-06-01T10:15:00.999999",
    "2021-06-01T00:00:00.000",
    "2021-06-01T23:59:59.999",
    # leap days, 31st days, first and last representable days
    "2000-02-29T12:00",
    "2024-02-29T23:59",
    "2400-02-29T00:00",
    "1600-02-29T00:00",
    "0004-02-29T00:00",
    "2021-02-28T10:00",
    "2021-01-31T10:00",
    "2021-03-31T10:00",
    "2021-05-31T10:00",
    "2021-07-31T10:00",
    "2021-08-31T10:00",
    "2021-10-31T10:00",
    "2021-12-31T23:59:59.999999",
    "0001-01-01T00:00:00.000",
    "9999-12-31T23:59:59.999999",
    # offsets: the local time is shown unchanged
    "2021-06-01T10:15:00.000+05:00",
    "2021-06-01T10:15:00.000-03:30",
    "2021-06-01T10:15+00:00",
    "2021-06-01T10:15-00:00",
    "2021-06-01T10:15:00+23:59",
    "2021-06-01T10:15:00-23:59",
    "2021-06-01T10:15+05:99",
    "2021-06-01T10:15:00.000+05:00:30",
    "2021-06-01T10:15:00.000-05:00:30.123456",
    "0001-01-01T00:00+01:00",
    "9999-12-31T23:59-01:00",
    # layouts that fromisoformat takes although they are unusual
    "2021-06-01",
    "2021-06-01T10",
    "2021-06-01t10:15",
    "2021-06-01_10:15",
    "2021-06-01\x0010:15",
    "2021-06-01\u00e910:15",
    "2021-06-01\U0001f60010:15",
    "2021-06-01T10:15.123",
    "2021-06-01T10:15:00:123456",
    "2021-06-01T10:15x+05:00",
    "2021-06-01T10:15:00.+05:00",
    "2021-06-01T10:15\x00",
]

REJECTED = [
    "1900-02-29T00:00",
    "2100-02-29T00:00",
    "2021-02-29T00:00",
    "2024-02-30T00:00",
    "2021-04-31T10:00",
    "2021-06-31T10:00",
    "2021-09-31T10:00",
    "2021-11-31T10:00",
    "2021-00-10T10:00",
    "2021-13-10T10:00",
    "2021-06-00T10:00",
    "2021-06-32T10:00",
    "0000-01-01T00:00",
    "0000-12-31T23:59:59.999",
    "2021-06-01T24:00",
    "2021-06-01T99:00",
    "2021-06-01T10:60",
    "2021-06-01T10:15:60",
    # fractions of other lengths
    "2021-06-01T10:15:00.",
    "2021-06-01T10:15:00.1",
    "2021-06-01T10:15:00.12",
    "2021-06-01T10:15:00.1234",
    "2021-06-01T10:15:00.12345",
    "2021-06-01T10:15:00.1234567",
    # offsets out of range or malformed
    "2021-06-01T10:15+24:00",
    "2021-06-01T10:15-24:00",
    "2021-06-01T10:15+23:60",
    "2021-06-01T10:15+99:99",
    "2021-06-01T10:15+05",
    "2021-06-01T10:15+0500",
    "2021-06-01T10:15+5:00",
    "2021-06-01T10:15+05:0x",
    "2021-06-01T10:15:00.000Z",
    "2021-06-01T10:15:00.000 UTC",
    # digits that are not ASCII
    "\uff12021-06-01T10:15",
    "2021-06-01T1\u0660:15",
    "2021-0\u00b2-01T10:15",
    "2021-06-01T10:15:00.00\u0661",
    "2021-06-01T10:15+0\u0665:00",
    # missing or misplaced fields
    "",
    "2021",
    "2021-06",
    "2021-06-0",
    "2021-06-01T",
    "2021-06-01T1",
    "2021-06-01T10:",
    "2021-06-01T10:1",
    "2021-06-01T10:15:",
    "2021-06-01T10:15:0",
    "2021-6-1T10:15",
    "21-06-01T10:15",
    "+2021-06-01T10:15",
    " 2021-06-01T10:15",
    "2021-06-01T10:15 ",
    "2021/06/01T10:15",
    "2021-06-01T10.15",
    "2021-06-01T10:15:00.000\x00",
]


# From 3.11 on fromisoformat takes most ISO 8601 layouts.  Of the texts above it then also
# takes these; the native rendering still leaves them to it (the tests below compare).
ACCEPTED_FROM_3_11 = {
    "2021-06-01T10:15:00.1",
    "2021-06-01T10:15:00.12",
    "2021-06-01T10:15:00.1234",
    "2021-06-01T10:15:00.12345",
    "2021-06-01T10:15:00.1234567",
    "2021-06-01T10:15+05",
    "2021-06-01T10:15+0500",
    "2021-06-01T10:15:00.000Z",
    "2021-06-01T10.15",
}


# 3.14 refuses again some layouts that earlier hosts took and takes hour 24 (midnight of the
# next day); 3.15 refuses an offset's minutes past 59.  The native rendering leaves every
# one of these to the host.
REJECTED_FROM_3_14 = {
    "2021-06-01T10:15.123",
    "2021-06-01T10:15:00:123456",
    "2021-06-01T10:15:00.+05:00",
    "2021-06-01T10.15",
}
ACCEPTED_FROM_3_14 = {"2021-06-01T24:00"}
REJECTED_FROM_3_15 = {"2021-06-01T10:15+05:99"}


def accepted_here(text):
    """Whether this host's fromisoformat takes the text, by the lists above."""
    host = sys.version_info
    return (
        (
            text in ACCEPTED
            or host >= (3, 11)
            and text in ACCEPTED_FROM_3_11
            or host >= (3, 14)
            and text in ACCEPTED_FROM_3_14
        )
        and not (host >= (3, 14) and text in REJECTED_FROM_3_14)
        and not (host >= (3, 15) and text in REJECTED_FROM_3_15)
    )


def test_the_boundary_lists_are_what_the_interpreter_says():
    for text in ACCEPTED + REJECTED:
        expected = "ok" if accepted_here(text) else ValueError
        assert outcome(expected_display, text + "Z")[0] == expected, text


@pytest.mark.parametrize("text", ACCEPTED, ids=repr)
def test_accepted_texts_render_as_the_interpreter_renders_them(brasco, text):
    check_like_python(brasco, text + "Z")


@pytest.mark.parametrize("text", REJECTED, ids=repr)
def test_rejected_texts_raise_the_interpreters_error(brasco, text):
    check_like_python(brasco, text + "Z")


# Offsets near the ranges of their fields.  Up to 3.14 the host takes any two digits for
# the minutes and seconds of an offset (+05:99 is 6:39); 3.15 raises ValueError for minutes
# or seconds past 59.  Every host is followed, with its own result or text.
OFFSETS = [
    "+05:59",
    "+05:60",
    "+05:99",
    "-05:99",
    "+00:60",
    "-00:99",
    "+23:59",
    "+23:60",
    "+05:59:59",
    "+05:59:60",
    "+05:00:99",
    "-05:59:60",
    "+23:59:59",
    "+23:59:60",
    "+05:59:59.999999",
    "+05:59:60.000001",
    "+05:60:00",
    "+24:00",
    "+05:9",
    "+5:99",
]


@pytest.mark.parametrize("offset", OFFSETS)
@pytest.mark.parametrize(
    "layout", ["2021-06-01T10:15{}Z", "2021-06-01T10:15:00.000{}Z", "2021-06-01 23:59:59.999999{}Z"]
)
def test_offsets_near_their_ranges_follow_the_host(brasco, layout, offset):
    check_like_python(brasco, layout.format(offset))


def test_the_offsets_meet_both_outcomes():
    outcomes = {outcome(expected_display, f"2021-06-01T10:15{offset}Z")[0] for offset in OFFSETS}
    assert outcomes == {"ok", ValueError}


@pytest.mark.parametrize(
    "text",
    [
        "2021-06-01T10:15:00.000",  # the last character is dropped whatever it is
        "2021-06-01T10:15:00.000ZZ",
        "2021-06-01T10:15:00.000+05:00",
        "2021-06-01T10:15:00.000\u00e9",
        "Z",
    ],
    ids=repr,
)
def test_the_cut_is_applied_before_parsing(brasco, text):
    check_like_python(brasco, text)


@pytest.mark.parametrize(
    "value",
    [
        b"2021-06-01T10:15:00.000Z",
        bytearray(b"2021-06-01T10:15:00.000Z"),
        list("2021-06-01T10:15:00.000Z"),
        ("2021-06-01T10:15:00.000Z",),
    ],
    ids=lambda value: type(value).__name__,
)
def test_sliceable_values_that_are_not_text_raise_the_interpreters_error(brasco, value):
    check_like_python(brasco, value)


class SlicedElsewhere(str):
    """A text whose slices come from its own subscription."""

    def __getitem__(self, key):
        return "2021-03-02T08:05:00.000"


class PlainSubtext(str):
    pass


@pytest.mark.parametrize(
    "value",
    [
        SlicedElsewhere("2021-06-01T10:15:00.000Z"),
        PlainSubtext("2021-06-01T10:15:00.000Z"),
        PlainSubtext("2021-06-31T10:15:00.000Z"),
    ],
    ids=repr,
)
def test_text_subclasses_are_cut_by_their_own_subscription(brasco, value):
    check_like_python(brasco, value)


# ---------------------------------------------------------------------------------------
# The whole calendar and clock, many legs per call


def render_all(brasco, texts):
    route_plan = [make_leg(0, local_departure=text, local_arrival=text) for text in texts]
    outbound, _ = brasco.route_details(route_plan=route_plan, leg=None)
    return [row[1] for row in outbound[1:]]


def expect_all(texts):
    return [f"{expected_display(text)} -> {expected_display(text)}" for text in texts]


def test_weekdays_and_month_names_across_the_calendar(brasco):
    days = set()
    for year in range(1, 10000):
        days.update({date(year, 1, 1), date(year, 2, 28), date(year, 3, 1), date(year, 12, 31)})
        if year % 4 == 0 and (year % 100 != 0 or year % 400 == 0):
            days.add(date(year, 2, 29))
    day = date(1999, 12, 1)
    while day < date(2002, 1, 31):
        days.add(day)
        day += timedelta(days=1)
    texts = [day.isoformat() + "T12:30:00.000Z" for day in sorted(days)]
    assert render_all(brasco, texts) == expect_all(texts)


def test_every_minute_of_a_day(brasco):
    texts = [
        f"2021-06-01{separator}{hour:02}:{minute:02}{tail}"
        for hour in range(24)
        for minute in range(60)
        for separator, tail in (("T", ":59.123456Z"), (" ", "Z"))
    ]
    assert render_all(brasco, texts) == expect_all(texts)


@pytest.mark.parametrize("text", ["2021-06-01T10:15:00.000Z", "2024-02-29 23:59Z"])
def test_each_character_of_the_date_and_time_replaced(brasco, text):
    """The characters on either side of the digits and the separators, at every place of
    the date and time: each text rendered, or refused, as the host does."""
    for at in range(16):
        for character in "/0369:;?@-T .\x7f":
            changed = text[:at] + character + text[at + 1 :]
            assert outcome(times_cell, brasco, changed, changed) == outcome(
                lambda: f"{expected_display(changed)} -> {expected_display(changed)}"
            ), changed


def random_text(rnd):
    """A date-time text near the common layouts, often with one fault."""
    year = rnd.choice([rnd.randrange(0, 10000), 0, 1, 1900, 2000, 2100, 9999])
    text = "%04d-%02d-%02d%s%02d:%02d" % (
        year,
        rnd.randrange(0, 14),
        rnd.choice([rnd.randrange(0, 33), 28, 29, 30, 31]),
        rnd.choice("T T T  tx\x00"),
        rnd.randrange(0, 26),
        rnd.randrange(0, 62),
    )
    if rnd.random() < 0.7:
        text += ":%02d" % rnd.randrange(0, 62)
        if rnd.random() < 0.6:
            text += "." + "".join(
                rnd.choice("0123456789") for _ in range(rnd.choice([0, 1, 2, 3, 3, 6, 6, 7]))
            )
    if rnd.random() < 0.3:
        text += "%s%02d:%02d" % (
            rnd.choice("+-"),
            rnd.choice([0, 5, 23, 24, rnd.randrange(100)]),
            rnd.choice([0, 30, 59, 60, rnd.randrange(100)]),
        )
    if rnd.random() < 0.25:
        at = rnd.randrange(len(text) + 1)
        text = text[:at] + rnd.choice("0123456789:-+.T Z\u0661\uff10") + text[at + 1 :]
    return text + "Z"


def test_random_texts_near_the_common_layouts(brasco):
    rnd = random.Random(20210601)
    texts = [random_text(rnd) for _ in range(20000)]
    good = [text for text in texts if outcome(expected_display, text)[0] == "ok"]
    bad = [text for text in texts if outcome(expected_display, text)[0] != "ok"]
    assert len(good) > 5000 and len(bad) > 5000
    assert render_all(brasco, good) == expect_all(good)
    for text in bad:
        assert outcome(times_cell, brasco, text, text) == outcome(expected_display, text), text


# ---------------------------------------------------------------------------------------
# Another LC_TIME locale: its own day and month names

LOCALE_TEXTS = [
    "2021-03-02T08:05:00.000Z",
    "2021-05-20T10:35:00.000Z",
    "2021-10-07T23:59:00.000Z",
    "2021-12-05 00:00Z",
    "2021-06-01T10:15:00+05:00Z",
]


@pytest.mark.parametrize("text", LOCALE_TEXTS)
def test_another_time_locale_gives_its_own_names(brasco, other_time_locale, text):
    wanted = expected_display(text)
    # The C names would be wrong here; the locale must be the one in force.
    locale.setlocale(locale.LC_TIME, "C")
    c_names = expected_display(text)
    locale.setlocale(locale.LC_TIME, other_time_locale)
    assert wanted != c_names
    assert times_cell(brasco, text, text) == f"{wanted} -> {wanted}"
    assert return_times(brasco, text, text) == (wanted, wanted)


def test_back_in_the_c_locale_the_c_names_return(brasco, other_time_locale):
    text = "2021-03-02T08:05:00.000Z"
    try:
        locale.setlocale(locale.LC_TIME, "C")
        assert times_cell(brasco, text, text) == "Tue 02 Mar 08:05 -> Tue 02 Mar 08:05"
        locale.setlocale(locale.LC_TIME, other_time_locale)
        assert times_cell(brasco, text, text) != "Tue 02 Mar 08:05 -> Tue 02 Mar 08:05"
    finally:
        locale.setlocale(locale.LC_TIME, other_time_locale)


# ---------------------------------------------------------------------------------------
# The module's `datetime` rebound, or strftime's own helpers changed


class Bracketed(datetime):
    def strftime(self, fmt):
        return "[" + super().strftime(fmt) + "]"


class HourLater(datetime):
    @classmethod
    def fromisoformat(cls, text):
        return datetime.fromisoformat(text) + timedelta(hours=1)


class Unchanged(datetime):
    pass


@pytest.mark.parametrize("cls", [Bracketed, HourLater, Unchanged], ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "text", ["2021-06-01T10:15:00.000Z", "2021-06-01 23:59Z", "2021-06-31T10:15:00.000Z"], ids=repr
)
def test_a_datetime_subclass_in_the_module_is_used(brasco, monkeypatch, cls, text):
    monkeypatch.setattr(brasco, "datetime", cls)
    check_like_python(brasco, text, cls)


def test_the_rebound_datetime_shows_in_the_results(brasco, monkeypatch):
    monkeypatch.setattr(brasco, "datetime", Bracketed)
    text = "2021-06-01T10:15:00.000Z"
    assert times_cell(brasco, text, text) == "[Tue 01 Jun 10:15] -> [Tue 01 Jun 10:15]"
    assert return_times(brasco, text, text) == ("[Tue 01 Jun 10:15]", "[Tue 01 Jun 10:15]")
    monkeypatch.undo()
    assert times_cell(brasco, text, text) == "Tue 01 Jun 10:15 -> Tue 01 Jun 10:15"


def test_a_datetime_that_is_no_class_is_used(brasco, monkeypatch):
    fake = types.SimpleNamespace(
        fromisoformat=lambda text: types.SimpleNamespace(strftime=lambda fmt: text + "|" + fmt)
    )
    monkeypatch.setattr(brasco, "datetime", fake)
    text = "2021-06-01T10:15:00.000Z"
    assert return_times(brasco, text, text) == (
        "2021-06-01T10:15:00.000|" + FORMAT,
        "2021-06-01T10:15:00.000|" + FORMAT,
    )


def test_a_replaced_time_strftime_is_what_datetime_strftime_calls(brasco, monkeypatch):
    original = time.strftime
    monkeypatch.setattr(time, "strftime", lambda fmt, parts: "<" + original(fmt, parts) + ">")
    text = "2021-06-01T10:15:00.000Z"
    wanted = expected_display(text)
    assert wanted == "<Tue 01 Jun 10:15>"
    assert times_cell(brasco, text, text) == f"{wanted} -> {wanted}"
    assert return_times(brasco, text, text) == (wanted, wanted)


# ---------------------------------------------------------------------------------------
# What the host's strftime reaches, changed: the native rendering must step aside, so that
# the same calls and lookups happen as in the host's own way.


class Spy:
    """Scenarios that change what datetime.strftime reaches, each recording what it sees."""

    def __init__(self, monkeypatch):
        self.monkeypatch, self.events = monkeypatch, []
        self.globals = {"__builtins__": __builtins__}

    def recorder(self, label, result):
        def record(*args, **kwargs):
            self.events.append((label, args[0] if args else None))
            return result(*args, **kwargs)

        return record

    def import_in_caller_globals(self):
        import builtins

        namespace = dict(vars(builtins))
        namespace["__import__"] = self.recorder("import", builtins.__import__)
        self.globals = {"__builtins__": namespace}

    def import_in_builtins(self):
        import builtins

        self.monkeypatch.setattr(
            builtins, "__import__", self.recorder("import", builtins.__import__)
        )

    def time_with_attribute_access_of_its_own(self):
        events = self.events

        class Watched(types.ModuleType):
            def __getattribute__(self, name):
                events.append(("getattr", name))
                return super().__getattribute__(name)

        watched = Watched("time")
        watched.__dict__.update(vars(time))
        self.monkeypatch.setitem(__import__("sys").modules, "time", watched)

    def spec_found_by_a_module_getattr(self):
        def missing(name):
            self.events.append(("__getattr__", name))
            raise AttributeError(name)

        self.monkeypatch.delattr(time, "__spec__")
        self.monkeypatch.setattr(time, "__getattr__", missing, raising=False)

    def spec_read_by_a_property(self):
        events = self.events

        class Spec:
            @property
            def _initializing(self):
                events.append(("spec", "_initializing"))
                return False

        self.monkeypatch.setattr(time, "__spec__", Spec())

    def spec_still_initializing_flag_set_to_a_value(self):
        class Flag:
            def __bool__(inner):
                self.events.append(("spec", "bool"))
                return False

        spec = types.SimpleNamespace(_initializing=Flag())
        self.monkeypatch.setattr(time, "__spec__", spec)

    def struct_time_replaced(self):
        self.monkeypatch.setattr(
            time, "struct_time", self.recorder("struct_time", time.struct_time)
        )

    def run(self, code, **names):
        """Runs code from a frame whose globals are this scenario's."""
        namespace = dict(self.globals, **names)
        exec(code, namespace)
        return namespace["result"]


SCENARIOS = [
    name for name in vars(Spy) if not name.startswith("_") and name not in ("recorder", "run")
]


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_changes_to_what_strftime_reaches_are_met_as_the_host_meets_them(
    brasco, monkeypatch, scenario
):
    departure, arrival = "2021-06-01T10:15:00.000Z", "2021-06-01T13:40:00.000+02:00Z"
    spy = Spy(monkeypatch)
    getattr(spy, scenario)()
    spy.events.clear()
    host = spy.run(
        "result = [datetime.fromisoformat(t[:-1]).strftime(FORMAT) for t in texts]",
        datetime=datetime,
        FORMAT=FORMAT,
        texts=[departure, arrival],
    )
    host_events, spy.events[:] = spy.events[:], []
    native = spy.run(
        "result = route_details([leg])[0][1][1]",
        route_details=brasco.route_details,
        leg=make_leg(0, local_departure=departure, local_arrival=arrival),
    )
    native_events = spy.events[:]
    monkeypatch.undo()
    assert native == " -> ".join(host)
    assert native_events == host_events
    assert host_events  # the scenario did change what strftime reaches


@pytest.mark.parametrize("change", ["globals rebound", "builtins changed in place"])
def test_an_import_changed_after_a_call_from_the_same_globals_is_met(brasco, change):
    """What a caller's globals reach is remembered for them; a later change counts."""
    import builtins

    departure, arrival = "2021-06-01T10:15:00.000Z", "2021-06-01T13:40:00.000Z"
    own_builtins = dict(vars(builtins))
    namespace = {
        "__builtins__": builtins if change == "globals rebound" else own_builtins,
        "route_details": brasco.route_details,
        "datetime": datetime,
        "FORMAT": FORMAT,
        "leg": make_leg(0, local_departure=departure, local_arrival=arrival),
        "texts": [departure, arrival],
    }
    native = compile("result = route_details([leg])[0][1][1]", "<caller>", "exec")
    host = compile(
        "result = [datetime.fromisoformat(t[:-1]).strftime(FORMAT) for t in texts]",
        "<caller>",
        "exec",
    )
    exec(native, namespace)  # what these globals reach is now known
    imported = []

    def recording_import(name, *args, **kwargs):
        imported.append(name)
        return builtins.__import__(name, *args, **kwargs)

    own_builtins["__import__"] = recording_import
    namespace["__builtins__"] = own_builtins
    exec(native, namespace)
    native_imports, imported[:] = imported[:], []
    exec(host, namespace)
    assert native_imports == imported and imported


def test_time_blocked_in_the_registry_fails_as_strftime_fails(brasco, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "time", None)
    text = "2021-06-01T10:15:00.000Z"
    assert outcome(return_times, brasco, text, text) == outcome(expected_display, text)
