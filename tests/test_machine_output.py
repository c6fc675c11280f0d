"""`tavimo parse --format json|csv`: the schema shipped with the package holds for the sample
and for random records, and the machine fields say what the record says."""

import csv
import datetime
import io
import json
import math
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import tavimo
from tavimo import formats, results
from tavimo.brasco import i_parser

jsonschema = pytest.importorskip("jsonschema")

DATA = Path(tavimo.__file__).with_name("data")
SCHEMA = json.loads((DATA / "itineraries.schema.json").read_text(encoding="utf-8"))
VALIDATOR = jsonschema.Draft202012Validator(SCHEMA)
SAMPLE = json.loads((DATA / "sample_results.json").read_text(encoding="utf-8"))["data"]


def parsed(records):
    def report(number, record, round_trip, exc):
        raise exc

    return list(results.parse_itineraries(records, i_parser, False, report))


def as_json(records):
    out = io.StringIO()
    formats.write_json(parsed(records), out)
    return json.loads(out.getvalue())


def as_csv(records):
    out = io.StringIO()
    formats.write_csv(parsed(records), out)
    return list(csv.DictReader(io.StringIO(out.getvalue())))


def test_the_schema_is_a_schema():
    jsonschema.Draft202012Validator.check_schema(SCHEMA)


def test_sample_and_empty_response_follow_the_schema():
    VALIDATOR.validate(as_json(SAMPLE))
    assert as_json([]) == {"schema_version": 2, "itineraries": []}


@pytest.mark.parametrize(
    "change",
    [
        lambda document: document.update(schema_version=1),
        lambda document: document["itineraries"][0].update(price="59 EUR"),
        lambda document: document["itineraries"][0]["outbound"].update(departure="Tue 01 Jun"),
        lambda document: document["itineraries"][1].update(inbound=None),
        lambda document: document["itineraries"][0]["outbound"]["legs"][0].update(airline=""),
    ],
)
def test_the_schema_catches_what_it_is_for(change):
    document = as_json(SAMPLE)
    change(document)
    assert not VALIDATOR.is_valid(document)


def test_csv_cells_with_line_breaks_read_back_on_every_host():
    record = json.loads(json.dumps(SAMPLE[0]))
    record["route"][0]["cityFrom"] = "Ber\rlin"
    record["route"][0]["cityTo"] = "Lon\ndon"
    record["conversion"] = {"E\rUR": 59}
    rows = as_csv([record, SAMPLE[1]])
    assert [(row["from_city"], row["to_city"], row["currency"]) for row in rows[:2]] == [
        ("Ber\rlin", "Lon\ndon", "E\rUR"),
        ("Prague", "Barcelona", "EUR"),
    ]


def test_legs_alike_but_for_the_types_of_their_fields_each_keep_their_own():
    # each direction's legs are converted once per response: equal values of other types
    # (1 and 1.0; 0.0 and -0.0) must not share a conversion
    numbers = [1, 1.0, 0.0, -0.0, 0, "1", 1.5]
    response = []
    for number in numbers:
        record = json.loads(json.dumps(SAMPLE[0]))
        record["route"][0]["flight_no"] = number
        response.append(record)
    expected = ["1", "1.0", "0.0", "-0.0", "0", "1", "1.5"]
    assert [
        itinerary["outbound"]["legs"][0]["flight_number"]
        for itinerary in as_json(response)["itineraries"]
    ] == expected
    assert [row["flight_number"] for row in as_csv(response)] == expected


def test_legs_alike_but_for_their_utc_times_or_bags_flag_each_keep_their_own():
    # the direction memo's key holds these beside the fields the parser reads; each is read back
    # from its own place in the key
    changes = [
        {},
        {"utc_departure": "2021-06-01T01:00:00.000Z"},
        {"utc_arrival": "2021-06-01T02:00:00.000Z"},
        {"bags_recheck_required": True},
        {"bags_recheck_required": False},
        {"bags_recheck_required": None},
    ]
    response = []
    for change in changes:
        record = json.loads(json.dumps(SAMPLE[0]))
        for name in ("utc_departure", "utc_arrival", "bags_recheck_required"):
            record["route"][0].pop(name, None)
        record["route"][0].update(change)
        response.append(record)
    legs = [itinerary["outbound"]["legs"][0] for itinerary in as_json(response)["itineraries"]]
    rows = [row for row in as_csv(response) if row["leg"] == "1" and row["direction"] == "outbound"]
    expected = [
        (None, None, None),
        ("2021-06-01T01:00:00Z", None, None),
        (None, "2021-06-01T02:00:00Z", None),
        (None, None, True),
        (None, None, False),
        (None, None, None),
    ]
    names = ("utc_departure", "utc_arrival", "bags_recheck_required")
    assert [tuple(leg[name] for name in names) for leg in legs] == expected
    csv_texts = {None: "", True: "true", False: "false"}
    assert [tuple(row[name] for name in names) for row in rows] == [
        tuple(value if isinstance(value, str) else csv_texts[value] for value in leg)
        for leg in expected
    ]


def test_directions_alike_but_for_their_airports_or_a_leg_each_keep_their_own():
    # a direction is made once per response, keyed by its airports, summary and legs
    first = json.loads(json.dumps(SAMPLE[0]))
    other_airports = json.loads(json.dumps(first))
    other_airports["routes"] = [["BER", "LGW"]]
    other_bags = json.loads(json.dumps(first))
    other_bags["route"][0]["bags_recheck_required"] = not first["route"][0].get(
        "bags_recheck_required", False
    )
    outbound = [
        itinerary["outbound"]
        for itinerary in as_json([first, other_airports, other_bags, first])["itineraries"]
    ]
    assert [journey["airports"] for journey in outbound] == [
        ["BER", "LHR"],
        ["BER", "LGW"],
        ["BER", "LHR"],
        ["BER", "LHR"],
    ]
    assert outbound[0] == outbound[3] != outbound[2]
    assert (
        outbound[2]["legs"][0]["bags_recheck_required"]
        is not outbound[0]["legs"][0]["bags_recheck_required"]
    )


def test_directions_whose_legs_lack_their_extras_or_hold_them_null_are_alike():
    # a direction's memo key reads a leg's UTC times and bags flag by name where all its
    # legs have them, else with null for one missing: the two keys must agree
    whole = json.loads(json.dumps(SAMPLE[0]))
    for leg in whole["route"]:
        leg.update(utc_departure=None, utc_arrival=None, bags_recheck_required=None)
    lacking = json.loads(json.dumps(whole))
    del lacking["route"][0]["utc_arrival"]
    flagged = json.loads(json.dumps(lacking))
    flagged["route"][0]["bags_recheck_required"] = False
    response = [whole, lacking, flagged, lacking]
    outbound = [itinerary["outbound"] for itinerary in as_json(response)["itineraries"]]
    assert outbound[0] == outbound[1] == outbound[3] != outbound[2]
    assert outbound[2]["legs"][0]["bags_recheck_required"] is False
    rows = as_csv(response)
    first_legs = [row for row in rows if row["leg"] == "1" and row["direction"] == "outbound"]
    assert [row["bags_recheck_required"] for row in first_legs] == ["", "", "false", ""]


def test_directions_alike_but_for_the_types_of_a_code_each_keep_their_own():
    # 1 and 1.0 are equal keys: the direction's key tells them apart by the parser's
    # display texts of its legs
    response = []
    for value in (1, 1.0, "1", 1):
        record = json.loads(json.dumps(SAMPLE[0]))
        record["route"][0]["operating_flight_no"] = value
        response.append(record)
    outbound = [itinerary["outbound"] for itinerary in as_json(response)["itineraries"]]
    assert [journey["legs"][0]["operating_flight_number"] for journey in outbound] == [
        "1",
        "1.0",
        "1",
        "1",
    ]
    assert outbound[0]["legs"][0]["display"]["operating_flight_no"].endswith(" 1")
    assert outbound[1]["legs"][0]["display"]["operating_flight_no"].endswith(" 1.0")
    assert outbound[0] == outbound[2] == outbound[3]
    rows = [row for row in as_csv(response) if row["leg"] == "1"]
    assert [row["operating_flight_number"] for row in rows] == ["1", "1.0", "1", "1"]


def test_prices_from_a_template_are_the_prices_made_one_by_one():
    # a template per list of currencies, where all are texts and all amounts whole
    # numbers; equal currencies of other types (1 and True, 0.0 and -0.0) are shown apart
    conversions = [
        {"EUR": 5, "USD": 6},
        {"EUR": 7, "USD": -8},
        {"E%UR": 5, "%s": 7, "%%": 9},  # the template's own slots must stay the amounts'
        {"EUR": True},
        {"EUR": 5.0},
        {"EUR": math.nan},
        {"EUR": "5"},
        {"EUR": None},
        {"EUR": 2**70},
        {},
        {1: 5},
        {True: 5},
        {0.0: 1},
        {-0.0: 1},
        {"EUR": 5, 1: 6},
    ]
    for conversion in conversions:
        record = {"conversion": conversion}
        assert formats.prices_json(record) == formats.prices_made_json(conversion), conversion
        assert formats.prices_json(record) == formats.prices_made_json(conversion), conversion
    assert json.loads(formats.prices_json({"conversion": {"E%UR": 5, "%s": 7}})) == [
        {"currency": "E%UR", "amount": 5},
        {"currency": "%s", "amount": 7},
    ]
    assert formats.prices_json({"conversion": {True: 5}}) == '[{"currency": "True", "amount": 5}]'
    assert formats.prices_json({"conversion": {"EUR": True}}) == (
        '[{"currency": "EUR", "amount": null}]'
    )


def test_csv_price_and_id_are_what_the_csv_module_writes():
    # joined as they are where no field needs quotes; each condition flipped takes the
    # csv module's way, and the two agree
    texts = ["EUR", "", " lead", "a,b", 'a"b', "a\rb", "a\nb", "é", "\x00", "a;b\t"]
    amounts = [5, -5, 5.0, True, None, math.nan, "5", 2**70]
    identities = ["x_1", 7, None, True, "", *texts]

    def outcome(make):
        try:
            return make()
        except Exception as exc:  # (the csv module refuses a NUL on 3.10)
            return type(exc)

    for currency in texts:
        for amount in amounts:
            for identity in identities:
                record = {"id": identity, "conversion": {currency: amount}}
                fields = [results.number(amount), currency, formats.field_text(identity)]
                assert outcome(lambda: formats.price_and_id_csv(record)) == outcome(
                    lambda: formats.csv_text(fields)
                ), (currency, amount, identity)
    assert formats.price_and_id_csv({"id": "x", "conversion": {}}) == ",,x"
    # a leg's fields: texts and None joined as they are, all else the csv module's
    for fields in (
        ["BER", None, "", "Berlin", "U2"],
        [""],
        ["x"],
        [None],
        [],
        ["BER", 5],
        ["BER", 5.5],
        ["BER", True],
        *(["BER", text, None] for text in texts),
    ):
        assert outcome(lambda: formats.csv_line(fields)) == outcome(
            lambda: formats.csv_text(fields)
        ), fields


def test_directions_of_equal_fields_but_other_display_texts_each_keep_their_own(monkeypatch):
    # 0, 0.0 and -0.0 are equal fields: a direction of a record with a float (not plain) is
    # kept apart from those of plain records, in a memo that compares its rows, the parser's
    # texts of them, and keeps a few conversions per key (emptied past that)
    response = []
    for value in (0, 0.0, -0.0, 0, 0.0, -0.0, 0):
        record = json.loads(json.dumps(SAMPLE[0]))
        record["route"][0]["operating_flight_no"] = value
        response.append(record)
    expected = ["0", "0.0", "-0.0", "0", "0.0", "-0.0", "0"]
    for per_key in (formats.ROWS_PER_KEY, 1):
        monkeypatch.setattr(formats, "ROWS_PER_KEY", per_key)
        for memo in (*formats.JOURNEY_MEMOS, *formats.DIRECTION_MEMOS):
            memo.clear()
        outbound = [itinerary["outbound"] for itinerary in as_json(response)["itineraries"]]
        assert [journey["legs"][0]["operating_flight_number"] for journey in outbound] == expected
        rows = [row for row in as_csv(response) if row["leg"] == "1"]
        assert [row["operating_flight_number"] for row in rows] == expected
        assert max(map(len, formats.JOURNEYS_JSON.values())) == min(per_key, 2)
        assert len(formats.PLAIN_JOURNEYS_JSON) == len(formats.PLAIN_DIRECTIONS_CSV) == 1


# Random records the command accepts: any text or number (or null) as a code, name or
# flight number, time texts in the layouts that `datetime.fromisoformat` reads on every
# host, with the response's final "Z" or without it.
# (No NUL: the csv module reads none before 3.11; it writes them as they are.)
texts = st.text(st.characters(blacklist_characters="\x00"), max_size=6)
values = st.one_of(
    texts, st.integers(-(10**6), 10**6), st.none(), st.floats(allow_nan=False, allow_infinity=False)
)
amounts = st.one_of(
    st.integers(-(10**9), 10**9),
    st.floats(),
    texts,
    st.none(),
    st.sampled_from(["59", "-7", "12.50", "1e3"]),
)
offsets = st.none() | st.integers(-23 * 60 - 59, 23 * 60 + 59).map(
    lambda minutes: datetime.timezone(datetime.timedelta(minutes=minutes))
)


@st.composite
def times(draw):
    moment = draw(
        st.datetimes(
            datetime.datetime(1900, 1, 1), datetime.datetime(9999, 1, 1), timezones=offsets
        )
    )
    layout = draw(st.sampled_from(["seconds", "milliseconds", "microseconds"]))
    return moment.isoformat(timespec=layout) + draw(st.sampled_from(["Z", "z", ""]))


@st.composite
def legs(draw, returning):
    return {
        "cityFrom": draw(values),
        "flyFrom": draw(values),
        "cityTo": draw(values),
        "flyTo": draw(values),
        "local_departure": draw(times()),
        "local_arrival": draw(times()),
        "flight_no": draw(values),
        "airline": draw(values),
        "operating_carrier": draw(values),
        "operating_flight_no": draw(values),
        "return": returning,
        "bags_recheck_required": draw(st.none() | st.booleans()),
    }


@st.composite
def records(draw):
    route = draw(st.lists(legs(0), max_size=3)) + draw(st.lists(legs(1), max_size=3))
    return {
        "duration": {
            "departure": draw(st.integers(0, 10**6)),
            "return": draw(st.integers(0, 10**6)),
        },
        "routes": draw(st.lists(st.lists(st.text(max_size=4), max_size=4), min_size=2, max_size=2)),
        "local_departure": draw(times()),
        "local_arrival": draw(times()),
        "conversion": draw(st.dictionaries(texts, amounts, max_size=4)),
        "route": draw(st.permutations(route)),
    }


def iso(text):
    return datetime.datetime.fromisoformat(text.rstrip("Zz")).isoformat()


def text_of(value):
    return None if value in (None, "") else format(value, "")


@settings(max_examples=150, deadline=None)
@given(st.lists(records(), min_size=1, max_size=3))
def test_random_records_follow_the_schema_and_say_what_the_record_says(response):
    document = as_json(response)
    VALIDATOR.validate(document)
    rows = as_csv(response)
    for record, itinerary in zip(response, document["itineraries"]):
        out = [leg for leg in record["route"] if not leg["return"]]
        back = [leg for leg in record["route"] if leg["return"]]
        assert itinerary["round_trip"] == bool(back)
        # every conversion entry, its amount a number where the record's is one
        assert [price["currency"] for price in itinerary["prices"]] == list(record["conversion"])
        for price, amount in zip(itinerary["prices"], record["conversion"].values()):
            if type(amount) is int or (type(amount) is float and math.isfinite(amount)):
                assert price["amount"] == amount
            else:  # a text, null, NaN or an infinity
                assert price["amount"] is None
        outbound = itinerary["outbound"]
        # each way from its first leg's departure to its last leg's arrival
        first, last = (out[0], out[-1]) if out else (record, record)
        assert (outbound["departure"], outbound["arrival"], outbound["duration_seconds"]) == (
            iso(first["local_departure"]),
            iso(last["local_arrival"]),
            record["duration"]["departure"],
        )
        journeys = [(outbound, out)]
        if back:
            inbound = itinerary["inbound"]
            assert (inbound["departure"], inbound["arrival"]) == (
                iso(back[0]["local_departure"]),
                iso(back[-1]["local_arrival"]),
            )
            assert inbound["duration_seconds"] == record["duration"]["return"]
            journeys.append((inbound, back))
        for journey, its_legs in journeys:
            assert len(journey["legs"]) == len(its_legs)
            assert journey["stops"] == len(journey["layovers"]) == max(len(its_legs) - 1, 0)
            assert [layover["self_transfer"] for layover in journey["layovers"]] == [
                leg["bags_recheck_required"] for leg in its_legs[:-1]
            ]
            for leg, source in zip(journey["legs"], its_legs):
                assert (
                    leg["from"],
                    leg["to"],
                    leg["airline"],
                    leg["flight_number"],
                    leg["operating_airline"],
                ) == tuple(
                    map(
                        text_of,
                        (
                            source["flyFrom"],
                            source["flyTo"],
                            source["airline"],
                            source["flight_no"],
                            source["operating_carrier"],
                        ),
                    )
                )
                assert (leg["departure"], leg["arrival"]) == (
                    iso(source["local_departure"]),
                    iso(source["local_arrival"]),
                )
    # the CSV holds the same leg fields, an empty cell for null
    json_legs = [
        (itinerary, direction, number, leg)
        for itinerary in document["itineraries"]
        for direction in ("outbound", "inbound")
        if itinerary[direction]
        for number, leg in enumerate(itinerary[direction]["legs"], 1)
    ]
    assert len(rows) == len(json_legs)
    for row, (itinerary, direction, number, leg) in zip(rows, json_legs):
        assert (row["itinerary"], row["direction"], row["leg"]) == (
            str(itinerary["itinerary"]),
            direction,
            str(number),
        )
        assert row["duration_seconds"] == str(itinerary[direction]["duration_seconds"])
        for name in formats.LEG_FIELDS:
            assert row[name] == (leg[name] or "")
        first = itinerary["prices"][0] if itinerary["prices"] else {"currency": "", "amount": None}
        assert row["currency"] == first["currency"]
        assert row["price"] == ("" if first["amount"] is None else str(first["amount"]))
