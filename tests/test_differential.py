"""The native modules against the plain-Python rendition (testkit/rendition.py), on generated
input.

Every example is built twice from one recipe, so that the native function and the rendition
each get fresh objects (one-shot iterators, mutating mappings and counters behave the same
for both).  Both runs are compared on what a caller can see: the result (types, values, the
identity of the header object), or the exception's type and text; and the debug records,
in order.  A native failure must also carry the function's traceback entry.

Inputs range from valid itineraries to broken shapes: missing keys, wrong types, mappings
that are not dicts, and objects whose __getitem__, __bool__, __eq__, __format__, __str__ or
items() raise (the hostile values and recipes of testkit/recipes.py).
"""

import os
from datetime import datetime, timedelta

import pytest
from hypothesis import HealthCheck, Phase, event, given, settings, strategies as st
from hypothesis.errors import InvalidArgument

import tavimo.brasco as brasco
from testkit import rendition
from testkit.recipes import (
    LEG_KEYS,
    CountingDocument,
    Document,
    ValueErrorDocument,
    build,
    obj,
    validation_outcome,
)
from testkit.rendition import observe
from testkit.samples import make_leg

try:
    import tavimo.questions as questions
except ImportError:  # not built yet
    questions = None

needs_questions = pytest.mark.skipif(questions is None, reason="tavimo.questions is not built")


IN_CI = bool(os.environ.get("CI"))


def examples(count):
    """Moderate, untimed runs.  CI runs a fixed sequence of examples and reports a failing
    one as found: shrinking these nested records can take minutes."""
    phases = [Phase.explicit, Phase.reuse, Phase.generate] + ([] if IN_CI else [Phase.shrink])
    return settings(
        max_examples=count,
        deadline=None,
        derandomize=IN_CI,
        phases=phases,
        suppress_health_check=[
            HealthCheck.too_slow,
            HealthCheck.data_too_large,
            HealthCheck.filter_too_much,
        ],
    )


# ------------------------------------------------------------------------------------------
# Strategies

plain_text = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=8)


@st.composite
def iso_from_fields(draw):
    """Date-time texts field by field, at and beyond every range limit."""
    year = draw(st.sampled_from([1, 4, 1900, 1970, 2000, 2020, 2021, 2100, 9999, 0, 10000]))
    month = draw(st.integers(0, 13))
    day = draw(st.sampled_from([0, 1, 9, 28, 29, 30, 31, 32]))
    hour = draw(st.sampled_from([0, 9, 23, 24]))
    minute = draw(st.sampled_from([0, 59, 60]))
    text = draw(st.sampled_from(["%04d", "%03d", "%05d"])) % year
    text += "-%02d-%02d" % (month, day)
    text += draw(st.sampled_from(["T", "T", " ", "t", "x", "", "TT"]))
    text += "%02d:%02d" % (hour, minute)
    if draw(st.booleans()):
        text += ":%02d" % draw(st.sampled_from([0, 30, 59, 60, 61]))
        if draw(st.booleans()):
            text += "." + "1234567"[: draw(st.integers(0, 7))]
    text += draw(
        st.sampled_from(
            [
                "",
                "",
                "+00:00",
                "-00:00",
                "+05:30",
                "-08:00",
                "+23:59",
                "-23:59",
                "+24:00",
                "+05:99",
                "+01:00:30",
                "+01:00:30.123456",
                "+0100",
                "Z",
                "+1:00",
                "+01:00x",
            ]
        )
    )
    return text + draw(st.sampled_from(["Z", "Z", "Z", "0", "5", "", "é", "\n", ".000Z"]))


@st.composite
def iso_from_moments(draw):
    moment = draw(
        st.datetimes(
            min_value=datetime(1, 1, 1), max_value=datetime(9999, 12, 31, 23, 59, 59, 999999)
        )
    )
    precision = draw(
        st.sampled_from(["auto", "hours", "minutes", "seconds", "milliseconds", "microseconds"])
    )
    text = moment.isoformat(sep=draw(st.sampled_from("T T ")), timespec=precision)
    if draw(st.integers(0, 4)) == 0:
        text = moment.date().isoformat()
    return text + draw(st.sampled_from(["Z", "Z", "0", "+01:00Z"]))


@st.composite
def mutated(draw, texts):
    text = draw(texts)
    for _ in range(draw(st.integers(1, 3))):
        where = draw(st.integers(0, len(text)))
        piece = draw(st.sampled_from(list("0123456789-:T .+Z/") + ["٣", "２", ""]))
        action = draw(st.sampled_from(["insert", "replace", "delete"]))
        if action == "insert":
            text = text[:where] + piece + text[where:]
        elif action == "replace":
            text = text[:where] + piece + text[where + 1 :]
        else:
            text = text[:where] + text[where + 1 :]
    return text


iso_texts = st.one_of(
    iso_from_moments(), iso_from_moments(), iso_from_fields(), mutated(iso_from_moments())
)

time_values = st.one_of(
    iso_texts,
    iso_texts,
    iso_texts,
    st.sampled_from([None, 0, 1.5, "", "Z", ("value", ["2", "0"]), ("value", ("2", "0"))]),
    iso_texts.map(lambda text: obj("Sliceable", text)),
    iso_texts.map(lambda text: obj("Text", text)),
    iso_texts.map(lambda text: obj("deque", text)),
    iso_texts.map(lambda text: obj("bytes", text)),
    iso_texts.map(lambda text: ("list", list(text))),
    st.just(obj("FailingSlice")),
)

display_values = st.one_of(
    plain_text,
    plain_text,
    st.integers(-(10**20), 10**20),
    st.floats(allow_nan=True),
    st.none(),
    st.booleans(),
    st.sampled_from(
        [
            obj("FailingFormat"),
            obj("FailingStr"),
            obj("Text", "ab"),
            obj("Decimal", "1.50"),
            ("tuple", (1, "a")),
            ("list", []),
            obj("Number", 42),
            obj("Number", -7),
            obj("Color"),
            obj("Ratio", 2.5),
            2**63 - 1,
            -(2**63),
            2**63,
            -(2**63) - 1,
            2**64,
        ]
    ),
)

return_values = st.sampled_from(
    [
        0,
        0,
        0,
        1,
        1,
        1,
        2,
        -1,
        True,
        False,
        1.0,
        0.0,
        "1",
        "",
        "0",
        None,
        obj("FailingBool"),
        obj("FailingEq"),
        obj("EqualsFailingBool"),
        obj("Decimal", "1"),
    ]
)


@st.composite
def legs(draw):
    fields = {
        "local_departure": draw(time_values),
        "local_arrival": draw(time_values),
        "return": draw(return_values),
    }
    for key in LEG_KEYS:
        if key not in fields:
            fields[key] = draw(display_values)
    entries = [(key, fields[key]) for key in LEG_KEYS]
    if draw(st.integers(0, 5)) == 0:
        missing = draw(st.sampled_from(LEG_KEYS))
        entries = [(key, value) for key, value in entries if key != missing]
    shape = draw(
        st.sampled_from(
            ["dict"] * 8 + ["readonly", "defaulting", "fails_on", "none", "text", "number"]
        )
    )
    if shape == "dict":
        return ("dict", entries)
    if shape in ("readonly", "defaulting"):
        return (shape, entries)
    if shape == "fails_on":
        return ("fails_on", entries, draw(st.sampled_from(LEG_KEYS)))
    return {"none": None, "text": "leg", "number": 7}[shape]


@st.composite
def good_legs(draw, returning):
    """A well-formed leg whose times keep one layout (the usual case)."""
    start = draw(st.datetimes(min_value=datetime(2000, 1, 1), max_value=datetime(2099, 1, 1)))
    end = start + timedelta(minutes=draw(st.integers(0, 3000)))
    fields = {
        "cityFrom": draw(plain_text),
        "flyFrom": draw(plain_text),
        "cityTo": draw(plain_text),
        "flyTo": draw(plain_text),
        "local_departure": start.isoformat(timespec="milliseconds") + "Z",
        "local_arrival": end.isoformat(timespec="milliseconds") + "Z",
        "flight_no": draw(st.integers(1, 9999)),
        "airline": draw(plain_text),
        "operating_carrier": draw(plain_text),
        "operating_flight_no": draw(plain_text),
        "return": returning,
    }
    return ("dict", [(key, fields[key]) for key in LEG_KEYS])


@st.composite
def route_plans(draw, valid=False):
    if valid:
        items = draw(st.lists(st.one_of(good_legs(0), good_legs(1)), max_size=5))
        if not any(item[1][-1][1] == 1 for item in items):
            items.append(draw(good_legs(1)))
    else:
        items = draw(st.lists(st.one_of(legs(), good_legs(0), good_legs(1)), max_size=5))
    container = draw(
        st.sampled_from(["list"] if valid else ["list"] * 6 + ["tuple", "iter", "none", "number"])
    )
    if container == "none":
        return None
    if container == "number":
        return 3
    return (container, items)


seconds_values = st.one_of(
    st.integers(-(10**6), 10**6),
    st.integers(-(10**15), 10**15),
    st.integers(-(10**30), 10**30),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(0, 10**6).map(str),
    st.sampled_from(
        [
            "12.5",
            " 42 ",
            "1_000",
            "",
            "x",
            True,
            None,
            ("list", []),
            obj("Seconds", 90000),
            obj("Seconds", 10**20),
            obj("FailingInt"),
            obj("Number", 3600),
            obj("Color"),
            False,
            obj("Decimal", "9300.9"),
            86399999999999,
            86400000000000,
            -86399999999999,
            -86400000000000,
        ]
    ),
)

places = st.lists(
    st.text(alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=3, max_size=3), max_size=4
)
route_names = st.one_of(
    places.map(lambda items: ("list", items)),
    places.map(lambda items: ("list", items)),
    places.map(lambda items: ("tuple", items)),
    places.map(lambda items: ("iter", items)),
    st.sampled_from(["XYZ", "", None, ("list", ["A", 1]), ("list", [obj("Text", "T")])]),
)


@st.composite
def routes_entries(draw):
    items = draw(st.lists(route_names, max_size=3))
    shape = draw(st.sampled_from(["list"] * 5 + ["tuple", "dict", "none"]))
    if shape == "dict":
        return ("dict", list(enumerate(items)))
    if shape == "none":
        return None
    return (shape, items)


currencies = st.one_of(
    st.sampled_from(["EUR", "USD", "GBP", "", "€"]),
    st.integers(-9, 9),
    st.sampled_from([None, ("tuple", (1, 2)), obj("Text", "CHF"), obj("FailingFormat")]),
)
amounts = st.one_of(
    st.integers(-(10**6), 10**6),
    st.floats(allow_nan=True),
    plain_text,
    st.sampled_from(
        [
            None,
            obj("Decimal", "12.50"),
            obj("FailingStr"),
            obj("Text", "5"),
            obj("Number", 120),
            obj("Color"),
            obj("Ratio", 1.5),
            True,
            2**70,
        ]
    ),
)
pair_items = st.one_of(
    st.tuples(currencies, amounts).map(lambda pair: ("tuple", pair)),
    st.tuples(currencies, amounts).map(lambda pair: ("list", list(pair))),
    st.tuples(currencies, amounts).map(lambda pair: ("iter", list(pair))),
    st.sampled_from(
        [
            ("tuple", ("A",)),
            ("tuple", ("A", 1, 2)),
            ("list", []),
            "ab",
            "abc",
            5,
            ("iter", ["A"]),
            ("iter", ["A", 1, 2]),
            None,
        ]
    ),
)


@st.composite
def conversions(draw):
    entries = draw(
        st.lists(st.tuples(currencies, amounts), max_size=4, unique_by=lambda pair: repr(pair[0]))
    )
    shape = draw(
        st.sampled_from(
            ["dict"] * 6
            + ["readonly", "defaulting", "pairs", "none", "items_fail", "grow", "shrink", "replace"]
        )
    )
    if shape == "dict":
        return ("dict", entries)
    if shape in ("readonly", "defaulting"):
        return (shape, entries)
    if shape == "pairs":
        container = draw(st.sampled_from(["list", "tuple", "iter"]))
        return ("pairs", (container, draw(st.lists(pair_items, max_size=4))))
    if shape == "none":
        return None
    if shape == "items_fail":
        return obj("FailingItems")
    return ("mutating", entries, shape)


good_fields = {
    "duration": st.tuples(st.integers(-(10**6), 10**7), st.integers(-(10**6), 10**7)).map(
        lambda pair: ("dict", [("departure", pair[0]), ("return", pair[1])])
    ),
    "routes": st.tuples(places, places).map(
        lambda pair: ("list", [("list", pair[0]), ("list", pair[1])])
    ),
    "local_departure": iso_from_moments(),
    "local_arrival": iso_from_moments(),
    "conversion": st.lists(
        st.tuples(st.sampled_from(["EUR", "USD", "GBP", "CHF"]), st.integers(0, 10**4)),
        max_size=3,
        unique_by=lambda pair: pair[0],
    ).map(lambda entries: ("dict", entries)),
    "route": route_plans(valid=True),
}


@st.composite
def wild_durations(draw):
    if draw(st.integers(0, 8)) == 0:
        return draw(
            st.sampled_from(
                [
                    ("dict", [("departure", 60)]),
                    None,
                    ("readonly", [("departure", 1), ("return", 2)]),
                ]
            )
        )
    return ("dict", [("departure", draw(seconds_values)), ("return", draw(seconds_values))])


wild_fields = {
    "duration": wild_durations(),
    "routes": routes_entries(),
    "local_departure": time_values,
    "local_arrival": time_values,
    "conversion": conversions(),
    "route": route_plans(),
}


@st.composite
def search_results(draw):
    """Mostly well-formed records with at most one wild field; some wild throughout."""
    keys = list(good_fields)
    if draw(st.integers(0, 2)) == 0:
        entries = [(key, draw(wild_fields[key])) for key in keys]
    else:
        broken = draw(st.sampled_from(keys + [None] * 3))
        entries = [
            (key, draw((wild_fields if key == broken else good_fields)[key])) for key in keys
        ]
    if draw(st.integers(0, 8)) == 0:
        missing = draw(st.sampled_from(keys))
        entries = [(key, value) for key, value in entries if key != missing]
    shape = draw(st.sampled_from(["dict"] * 8 + ["readonly", "fails_on", "none"]))
    if shape == "fails_on":
        return ("fails_on", entries, draw(st.sampled_from(keys)))
    if shape == "none":
        return None
    return (shape, entries)


round_trips = st.sampled_from(
    [True, True, False, None, 0, 1, "", "no", ("list", []), obj("FailingBool")]
)

# ------------------------------------------------------------------------------------------
# Running and comparing


def compare(name, recipes):
    function = getattr(brasco, name)
    native = observe(
        lambda: function(*[build(r) for r in recipes]),
        brasco.leg_details_header,
        native_name="tavimo.brasco." + name,
    )
    expected = observe(
        lambda: getattr(rendition, name)(*[build(r) for r in recipes]), rendition.leg_details_header
    )
    assert native == expected
    note_outcome(name, native[0])
    return native


def note_outcome(name, outcome):
    """Tallies outcomes for --hypothesis-show-statistics (inside a property test only)."""
    if outcome[0] == "raised":
        label = f"{name} raised {outcome[1].__name__}"
    else:
        round_trip = name == "i_parser" and outcome[1][1][1][0] == "list"
        label = f"{name} returned" + (" a round trip" if round_trip else "")
    try:
        event(label)
    except InvalidArgument:
        pass


def test_rendition_shares_the_header_and_the_imported_classes():
    assert rendition.leg_details_header is brasco.leg_details_header
    assert rendition.datetime is brasco.datetime and rendition.timedelta is brasco.timedelta
    assert rendition.logging is brasco.logging


# --- route_details, get_ret_times, i_parser --------------------------------------------------


@examples(150)
@given(route_plans(), st.sampled_from(["outbound", "inbound", None, 3]))
def test_route_details(route_plan, leg):
    compare("route_details", [route_plan, leg])


@examples(60)
@given(route_plans(valid=True))
def test_route_details_on_well_formed_plans(route_plan):
    outcome, _ = compare("route_details", [route_plan, "outbound"])
    assert outcome[0] == "returned"


@examples(150)
@given(route_plans())
def test_get_ret_times(route_plan):
    compare("get_ret_times", [route_plan])


CUT_TEXTS = [
    "",
    "a",
    "ab",
    "abc",
    "b",
    "a\u00e9",
    "a\u00e9x",
    "a\u20acx",
    "a\U0001f600",
    "a\U0001f600x",
    "\u00e9",
    "\u20ac",
    "aa",
]


@examples(200)
@given(
    st.lists(
        st.tuples(st.sampled_from(CUT_TEXTS), st.sampled_from(CUT_TEXTS)), min_size=1, max_size=5
    )
)
def test_get_ret_times_chooses_among_texts_of_every_width_and_length(times):
    """The earliest and latest of the cut texts, by code points (the chosen one shows in
    the error text of its display time)."""
    plan = [
        make_leg(1, local_departure=departure, local_arrival=arrival)
        for departure, arrival in times
    ]
    compare("get_ret_times", [plan])


@examples(60)
@given(route_plans(valid=True))
def test_get_ret_times_on_well_formed_plans(route_plan):
    outcome, records = compare("get_ret_times", [route_plan])
    assert outcome[0] == "returned" and len(records) == 2


@examples(250)
@given(search_results(), round_trips)
def test_i_parser(search_result, round_trip):
    compare("i_parser", [search_result, round_trip])


@examples(60)
@given(st.lists(time_values, min_size=1, max_size=4))
def test_display_times_of_many_layouts(texts):
    """The times cell and get_ret_times render every layout as fromisoformat/strftime do."""
    plan = (
        "list",
        [
            (
                "dict",
                [
                    (
                        key,
                        text
                        if key in ("local_departure", "local_arrival")
                        else (1 if key == "return" else "X"),
                    )
                    for key in LEG_KEYS
                ],
            )
            for text in texts
        ],
    )
    compare("route_details", [plan, None])
    compare("get_ret_times", [plan])


def test_well_formed_round_trip_gives_summaries_and_tables():
    recipe = (
        "dict",
        [
            ("duration", ("dict", [("departure", 9300), ("return", 90000)])),
            ("routes", ("list", [("list", ["BER", "LHR"]), ("list", ["LHR", "BER"])])),
            ("local_departure", "2021-05-20T10:35:00.000Z"),
            ("local_arrival", "2021-05-20T13:40:00.000Z"),
            ("conversion", ("dict", [("EUR", 120), ("USD", 140)])),
            (
                "route",
                (
                    "list",
                    [
                        (
                            "dict",
                            [
                                (
                                    key,
                                    "2021-06-01T10:15:00.000Z"
                                    if key.startswith("local")
                                    else (0 if key == "return" else key),
                                )
                                for key in LEG_KEYS
                            ],
                        ),
                        (
                            "dict",
                            [
                                (
                                    key,
                                    "2021-06-08T18:05:00.000Z"
                                    if key.startswith("local")
                                    else (1 if key == "return" else key),
                                )
                                for key in LEG_KEYS
                            ],
                        ),
                    ],
                ),
            ),
        ],
    )
    outcome, records = compare("i_parser", [recipe, True])
    assert outcome[0] == "returned"
    result = brasco.i_parser(build(recipe), True)
    assert result[0] == [
        "BER -> LHR",
        "Thu 20 May 10:35",
        timedelta(seconds=9300),
        "Thu 20 May 13:40",
        "120 EUR / 140 USD",
    ]
    assert result[1][4] == "x" and len(records) == 9


# --- tavimo.questions: validators, filters, get_questions ----------------------------------


number_texts = st.one_of(
    st.integers(-(10**30), 10**30).map(str),
    st.tuples(
        st.sampled_from(["", " ", "\t", "\n", "\u3000"]),
        st.sampled_from(["", "+", "-"]),
        st.text(alphabet="0123456789_", min_size=0, max_size=6),
        st.sampled_from(["", " ", "\n"]),
    ).map("".join),
    st.sampled_from(
        [
            "٣",
            "１２",
            "1.5",
            "2.5",
            "1e3",
            "0x10",
            "two",
            "",
            " ",
            "1__0",
            "_1",
            "1_",
            "0_0",
            "00",
            "+",
            "-",
            "½",
        ]
    ),
)
date_texts = st.one_of(
    st.tuples(st.integers(0, 32), st.integers(0, 13), st.integers(1890, 10001)).map(
        lambda d: "%02d/%02d/%04d" % d
    ),
    st.tuples(st.integers(0, 32), st.integers(0, 13), st.integers(0, 99)).map(
        lambda d: "29/02/19%02d" % d[2] if d[0] % 2 else "%d/%d/20%02d" % d
    ),
    st.sampled_from(
        [
            "01/01/2021\n",
            "01/01/2021 ",
            " 01/01/2021",
            "01-01-2021",
            "2021-01-01",
            "٠١/٠١/٢٠٢١",
            "01/01/2021\n\n",
            "29/02/2000",
            "29/02/1900",
            "31/04/2021",
        ]
    ),
)
iata_texts = st.text(alphabet="abcxyzABCXYZÅé1 \n-", max_size=5)
answer_texts = st.one_of(plain_text, number_texts, date_texts, iata_texts)
answers = st.one_of(
    answer_texts,
    answer_texts,
    answer_texts,
    st.sampled_from([None, 5, 5.5, b"123", True, ("list", ["1"])]),
    answer_texts.map(lambda text: obj("Text", text)),
)


VALIDATORS = {
    "IataCodeValidator": rendition.validate_iata_code,
    "DateValidator": rendition.validate_date,
    "NumberValidator": rendition.validate_number,
}


@needs_questions
def test_rendition_date_pattern_is_the_modules():
    assert questions.date_reg_ex == rendition.DATE_PATTERN and len(questions.date_reg_ex) == 238


@needs_questions
@examples(300)
@given(
    st.sampled_from(sorted(VALIDATORS)),
    answers,
    st.sampled_from(["plain", "plain", "plain", "counting", "missing", "value_error"]),
)
def test_validators(name, answer, document_kind):
    namespace = vars(questions)

    def document():
        if document_kind == "plain":
            return Document(build(answer))
        if document_kind == "counting":
            return CountingDocument([build(answer), "LHR", "29/02/2000", "12"])
        if document_kind == "missing":
            return object()
        return ValueErrorDocument()

    native = validation_outcome(lambda: getattr(questions, name)().validate(document()))
    expected = validation_outcome(lambda: VALIDATORS[name](namespace, document()))
    assert native == expected


@needs_questions
@examples(200)
@given(answers)
def test_filters(answer):
    filters = [record["filter"] for record in questions.one_way_questions if "filter" in record]
    assert len(filters) == 4
    for count_filter in filters:
        value = build(answer)
        native = validation_outcome(lambda: count_filter(value))
        expected = validation_outcome(lambda: rendition.count_filter(build(answer)))
        assert native == expected
        if native[0] == "accepted":
            assert type(native[1]) is int
            if type(value) is int:
                assert native[1] is value


@needs_questions
@examples(100)
@given(
    st.sampled_from(
        [
            True,
            False,
            None,
            0,
            1,
            -1,
            0.0,
            "",
            "no",
            "False",
            ("list", []),
            ("list", [0]),
            obj("FailingBool"),
            obj("Decimal", "0"),
        ]
    )
)
def test_get_questions(round_trip):
    namespace = vars(questions)
    before = list(questions.one_way_questions)
    native = validation_outcome(lambda: questions.get_questions(build(round_trip)))
    expected = validation_outcome(lambda: rendition.get_questions(namespace, build(round_trip)))
    assert native[:2] == expected[:2]
    if native[0] == "accepted":
        assert native[1] == expected[1]
        assert [id(record) for record in native[1]] == [id(record) for record in expected[1]]
        assert (native[1] is questions.one_way_questions) == (
            expected[1] is questions.one_way_questions
        )
    else:
        assert native == expected
    assert questions.one_way_questions == before
    assert [id(record) for record in questions.one_way_questions] == [id(r) for r in before]
