"""`tavimo parse` on records that are unusual but not wrong, or wrong in ways the parser does
not see: journeys across the date line, "return" flags, values of the wrong kind, times
with offsets.  Each is shown rightly or reported with the field at fault, never dropped."""

import copy
import json
import re
import sys
from pathlib import Path

import pytest

import tavimo
from tavimo.cli import main

SAMPLE = json.loads(
    (Path(tavimo.__file__).with_name("data") / "sample_results.json").read_text(encoding="utf-8")
)["data"]


@pytest.fixture
def parse(tmp_path, capsys):
    """Run `tavimo parse FILE OPTIONS` on RECORDS: exit status, stdout and stderr."""

    def run(records, *options):
        path = tmp_path / "results.json"
        path.write_text(json.dumps(records), encoding="utf-8")
        status = main(["parse", str(path), *options])
        out, err = capsys.readouterr()
        return status, out, err

    return run


def leg(fly_from, fly_to, departure, arrival, back=0, **fields):
    made = dict(
        copy.deepcopy(SAMPLE[4]["route"][0]),
        flyFrom=fly_from,
        flyTo=fly_to,
        cityFrom=fly_from.title(),
        cityTo=fly_to.title(),
        local_departure=departure + ":00.000Z",
        local_arrival=arrival + ":00.000Z",
    )
    made["return"] = back
    for name in ("utc_departure", "utc_arrival"):
        del made[name]
    made.update(fields)
    return made


def record(*legs):
    made = copy.deepcopy(SAMPLE[4])
    made["route"] = list(legs)
    out = [item for item in legs if item["return"] == 0]
    back = [item for item in legs if item["return"] == 1]
    made["routes"] = [[out[0]["flyFrom"]] + [item["flyTo"] for item in out]]
    if back:
        made["routes"].append([back[0]["flyFrom"]] + [item["flyTo"] for item in back])
    made["local_departure"] = out[0]["local_departure"]
    made["local_arrival"] = out[-1]["local_arrival"]
    return made


def summary_rows(table):
    return [
        line.split("  ")
        for line in table.splitlines()
        if line.startswith(("Outbound ", "Inbound ")) and not line.endswith(" legs")
    ]


# The way back of each: Tokyo to Los Angeles by Honolulu, whose connecting flight leaves at
# an earlier clock time than the first; Sydney to Honolulu by Tokyo, whose last flight
# lands at an earlier clock time than the first.
EASTWARDS = [
    leg("LAX", "NRT", "2021-07-01T11:00", "2021-07-02T14:30"),
    leg("NRT", "HNL", "2021-07-20T21:00", "2021-07-20T09:00", back=1),
    leg("HNL", "LAX", "2021-07-20T11:00", "2021-07-20T19:00", back=1),
]
ARRIVING_EARLIER = [
    leg("HNL", "SYD", "2021-07-01T11:00", "2021-07-02T18:30"),
    leg("SYD", "NRT", "2021-07-20T08:00", "2021-07-20T17:00", back=1),
    leg("NRT", "HNL", "2021-07-20T20:00", "2021-07-20T08:30", back=1),
]


def test_each_way_runs_from_its_first_departure_to_its_last_arrival(parse):
    status, out, err = parse([record(*EASTWARDS), record(*ARRIVING_EARLIER)], "-f", "json")
    assert (status, err) == (0, "")
    first, second = json.loads(out)["itineraries"]
    assert (first["inbound"]["departure"], first["inbound"]["arrival"]) == (
        "2021-07-20T21:00:00",
        "2021-07-20T19:00:00",
    )
    assert (second["inbound"]["departure"], second["inbound"]["arrival"]) == (
        "2021-07-20T08:00:00",
        "2021-07-20T08:30:00",
    )
    # the display keeps the parser's texts, its earliest departure and latest arrival
    assert first["inbound"]["display"]["departure"] == "Tue 20 Jul 11:00"
    assert second["inbound"]["display"]["arrival"] == "Tue 20 Jul 17:00"
    # the table's direction rows show the journey's own times, also where the record's
    # own times out are not its first leg's and its last leg's
    odd_out = record(*EASTWARDS)
    odd_out["local_departure"] = "2021-07-01T10:00:00.000Z"
    status, out, err = parse([odd_out, record(*ARRIVING_EARLIER)])
    times = [[cell.strip() for cell in row if cell.strip()][2::2] for row in summary_rows(out)]
    assert times == [
        ["Thu 01 Jul 11:00", "Fri 02 Jul 14:30"],
        ["Tue 20 Jul 21:00", "Tue 20 Jul 19:00"],
        ["Thu 01 Jul 11:00", "Fri 02 Jul 18:30"],
        ["Tue 20 Jul 08:00", "Tue 20 Jul 08:30"],
    ]


@pytest.mark.parametrize(
    "flag, shown",
    [("1", '"1"'), (2, "2"), (True, "true"), (None, "null"), (1.0, "1.0"), (-1, "-1")],
)
def test_a_return_flag_other_than_0_or_1_is_reported_not_dropped(parse, flag, shown):
    odd = record(*EASTWARDS)
    odd["route"][2]["return"] = flag
    for format_ in ("table", "json", "csv"):
        status, out, err = parse([SAMPLE[0], odd], "-f", format_)
        assert status == 1
        assert err == (
            "tavimo: itinerary 2: field 'route[2].return' is not 0 (a leg out) "
            "or 1 (a leg back): {}\n".format(shown)
        )
    assert [
        item["itinerary"]
        for item in json.loads(parse([SAMPLE[0], odd], "-f", "json")[1])["itineraries"]
    ] == [1]


def with_amount(amount):
    made = copy.deepcopy(SAMPLE[0])
    made["conversion"] = {"EUR": amount, "USD": 72}
    return made


@pytest.mark.parametrize(
    "amount, shown",
    [
        ("59", '"59"'),
        (True, "true"),
        (float("nan"), "NaN"),
        (None, "null"),
        (float("inf"), "Infinity"),
    ],
)
def test_a_price_that_is_no_number_is_null_sorts_last_and_is_no_table_cell(parse, amount, shown):
    odd = with_amount(amount)
    status, out, err = parse(
        [with_amount(500), odd, with_amount(80)], "-f", "json", "--sort", "price"
    )
    assert (status, err) == (0, "")
    data = json.loads(out)["itineraries"]
    assert [item["itinerary"] for item in data] == [3, 1, 2]
    assert data[2]["prices"] == [
        {"currency": "EUR", "amount": None},
        {"currency": "USD", "amount": 72},
    ]
    status, out, err = parse([odd], "-f", "csv")
    assert status == 0 and out.splitlines()[1].split(",")[14:16] == ["", "EUR"]
    status, out, err = parse([with_amount(80), odd])
    assert status == 1 and "Itinerary 2" not in out and "Itinerary 1" in out
    assert err == "tavimo: itinerary 2: field 'conversion.EUR' is not an amount: {}\n".format(shown)


def test_a_null_code_is_a_blank_cell_and_null(parse):
    odd = copy.deepcopy(SAMPLE[0])
    odd["route"][0].update(flight_no=None, cityTo=None)
    status, out, err = parse([odd])
    assert (status, err) == (0, "")
    assert "None" not in out
    row = [line for line in out.splitlines() if line.startswith("Berlin")][0]
    assert re.split(r"\s{2,}", row) == [
        "Berlin(BER) -> (LHR)",
        "Tue 01 Jun 10:15 -> Tue 01 Jun 11:10",
        "U2",
    ]
    leg_json = json.loads(parse([odd], "-f", "json")[1])["itineraries"][0]["outbound"]["legs"][0]
    assert (leg_json["flight_number"], leg_json["to_city"]) == (None, None)


@pytest.mark.parametrize(
    "field, value, shown",
    [
        ("airline", ["U2"], '["U2"]'),
        ("flight_no", {"number": 8562}, '{"number": 8562}'),
        ("cityFrom", False, "false"),
        ("operating_flight_no", float("nan"), "NaN"),
    ],
)
def test_a_code_that_is_no_text_nor_number_is_reported(parse, field, value, shown):
    odd = copy.deepcopy(SAMPLE[0])
    odd["route"][0][field] = value
    for format_ in ("table", "json", "csv"):
        status, out, err = parse([odd, SAMPLE[1]], "-f", format_)
        assert status == 1 and "['U2']" not in out
        assert err == (
            "tavimo: itinerary 1: field 'route[0].{}' is not a text or a number: {}\n".format(
                field, shown
            )
        )


@pytest.mark.parametrize(
    "text, iso, shown",
    [
        ("2021-06-01T10:15:00+02:00", "2021-06-01T10:15:00+02:00", "Tue 01 Jun 10:15"),
        ("2021-06-01T10:15:00.000-03:30", "2021-06-01T10:15:00-03:30", "Tue 01 Jun 10:15"),
        ("2021-06-01T10:15:00+0200", "2021-06-01T10:15:00+02:00", "Tue 01 Jun 10:15"),
        ("2021-06-01T10:15:00.000", "2021-06-01T10:15:00", "Tue 01 Jun 10:15"),
        ("2021-06-01T10:15:00", "2021-06-01T10:15:00", "Tue 01 Jun 10:15"),
        ("2021-06-01T10:15:00.5", "2021-06-01T10:15:00.500000", "Tue 01 Jun 10:15"),
        ("2021-06-01T10:15", "2021-06-01T10:15:00", "Tue 01 Jun 10:15"),
        ("2021-06-01T10:15:00.000z", "2021-06-01T10:15:00", "Tue 01 Jun 10:15"),
    ],
)
def test_times_in_standard_forms_are_read(parse, text, iso, shown):
    made = copy.deepcopy(SAMPLE[0])
    made["local_departure"] = made["route"][0]["local_departure"] = text
    status, out, err = parse([made], "-f", "json")
    assert (status, err) == (0, "")
    outbound = json.loads(out)["itineraries"][0]["outbound"]
    assert outbound["departure"] == outbound["legs"][0]["departure"] == iso
    assert outbound["display"]["departure"] == shown


@pytest.mark.parametrize(
    "text",
    [
        "2021-06-01T10:15:00+02:00X",
        "2021-06-01T10:15:00.000X",
        "2021-06-01T10:15:00 ",
        "2021-06-31T10:15:00",
        "2021-06-01T25:15:00",
        "2021-06-01T10:15:00+24:00",
        "soon",
        "2021-06-01T10:15:00.1234567",
        "2021-06-01",
    ],
)
def test_times_in_no_standard_form_are_reported(parse, text):
    made = copy.deepcopy(SAMPLE[0])
    made["route"][0]["local_arrival"] = text
    status, out, err = parse([made, SAMPLE[1]], "-f", "json")
    assert status == 1
    assert [item["itinerary"] for item in json.loads(out)["itineraries"]] == [2]
    assert err == (
        "tavimo: itinerary 1: field 'route[0].local_arrival' is not a local date "
        "and time such as 2021-06-01T10:15:00.000Z: {}\n".format(json.dumps(text))
    )


def test_the_parser_reads_what_ends_in_z_as_ever(parse):
    # a text that ends in "Z" is the parser's to read: its own rules, its own texts
    made = copy.deepcopy(SAMPLE[0])
    made["local_departure"] = "2021-06-01T10:15:00+02:00Z"
    status, out, err = parse([made], "-f", "json")
    assert (status, err) == (0, "")
    display = json.loads(out)["itineraries"][0]["outbound"]["display"]
    assert display["departure"] == "Tue 01 Jun 10:15"


# The quick tests that let most records through as they are, each condition flipped: what
# they let through must be what the whole walk lets through.


def test_each_quick_test_flipped_takes_the_whole_walk(parse):
    from tavimo import results

    odd = copy.deepcopy(SAMPLE[0])
    odd["route"][0].update(flight_no=8562.5, operating_flight_no=1e3)  # finite: shown
    assert (
        json.loads(parse([odd], "-f", "json")[1])["itineraries"][0]["outbound"]["legs"][0][
            "flight_number"
        ]
        == "8562.5"
    )
    unhashable = copy.deepcopy(SAMPLE[0])
    unhashable["route"][0]["return"] = [1]  # no set holds it
    assert parse([unhashable])[2] == (
        "tavimo: itinerary 1: field 'route[0].return' is not 0 (a leg out) or 1 (a leg back): [1]\n"
    )
    no_text = copy.deepcopy(SAMPLE[0])
    no_text["local_departure"] = 5  # the parser's to reject
    assert parse([no_text])[2] == (
        "tavimo: itinerary 1: field 'local_departure' is not a "
        "local date and time such as 2021-06-01T10:15:00.000Z: 5\n"
    )
    # the quick test of a record as most are, each of its conditions flipped
    assert results.plain(SAMPLE[0])
    for change in (
        {"return": 2},
        {"return": True},
        {"return": 1.0},
        {"flight_no": 2.0},
        {"airline": True},
        {"operating_carrier": ["LH"]},
        {"local_arrival": "2021-06-01T10:15:00.000"},
    ):
        changed = copy.deepcopy(SAMPLE[0])
        changed["route"][-1].update(change)
        assert not results.plain(changed), change
    for name, value in (("local_departure", "2021-06-01T10:15:00"), ("local_arrival", "")):
        changed = copy.deepcopy(SAMPLE[0])
        changed[name] = value
        assert not results.plain(changed), name
    for change in ({"local_departure": None}, {"local_departure": 5}):  # no text: TypeError
        changed = copy.deepcopy(SAMPLE[0])
        changed["route"][0].update(change)
        with pytest.raises(TypeError):
            results.plain(changed)
    # a leg without "return", or that is no object, before or after a return leg
    assert results.has_return_legs({"route": [{"return": 1}, {}]})
    assert results.has_return_legs({"route": [{}, 5, {"return": 1}]})
    assert not results.has_return_legs({"route": [{}, {"return": 0}]})


@pytest.mark.parametrize(
    "text, iso",
    [
        ("2021-06-01T08:15:00.000Z", "2021-06-01T08:15:00Z"),
        ("2021-06-01T08:15:00.500Z", "2021-06-01T08:15:00.500000Z"),
        ("2021-06-01T10:15:00+02:00", "2021-06-01T08:15:00Z"),
        ("2021-06-01T08:15:00Z", "2021-06-01T08:15:00Z"),
        ("2021-02-30T08:15:00.000Z", None),
        ("2021-06-01T08:15:00.000", None),
        ("2021-06-01T08:15:00.000X", None),
        ("2021-06-01T08:15:00.000Z ", None),
    ],
)
def test_utc_times_in_the_usual_layout_and_others(parse, text, iso):
    made = copy.deepcopy(SAMPLE[0])
    made["route"][0]["utc_departure"] = text
    status, out, err = parse([made], "-f", "json")
    if iso is None:
        assert status == 1 and "field 'route[0].utc_departure' is not a UTC date" in err
    else:
        assert (status, err) == (0, "")
        assert json.loads(out)["itineraries"][0]["outbound"]["utc_departure"] == iso


def test_memos_emptied_when_full_still_convert_rightly(parse, monkeypatch):
    from tavimo import formats

    expected = [parse(SAMPLE * 3, "-f", format_)[1] for format_ in ("json", "csv", "table")]
    monkeypatch.setattr(formats, "MEMO_SIZE", 2)
    for memo in (
        formats.PRICES_JSON,
        *formats.JOURNEY_MEMOS,
        *formats.DIRECTION_MEMOS,
        formats.TIMES_JSON,
        formats.UTC_TIMES,
        formats.LEG_TABLES,
    ):
        memo.clear()
    assert [parse(SAMPLE * 3, "-f", format_)[1] for format_ in ("json", "csv", "table")] == expected
    assert len(formats.PRICES_JSON) <= 2 and len(formats.TIMES_JSON) <= 2
    assert all(len(memo) <= 2 for memo in (*formats.JOURNEY_MEMOS, *formats.DIRECTION_MEMOS))
    assert len(formats.LEG_TABLES) <= 2


@pytest.mark.parametrize(
    "flags, out, back",
    [
        ([0, 0, 1, 1], [0, 1], [2, 3]),  # legs out first: cut in two
        ([0, 1, 0, 1], [0, 2], [1, 3]),
        ([1, 0], [1], [0]),
        ([0, 0], [0, 1], []),
        ([1, 1], [], [0, 1]),
        ([], [], []),
        ([0, False, 1, True, 1.0], [0, 1], [2, 3, 4]),
        ([0, "", 1], [0, 1], [2]),  # false, but not 0: taken apart leg by leg
        ([0, 2, 1], [0], [1, 2]),
        ([0, None, 1, 1], [0, 1], [2, 3]),
    ],
)
def test_legs_are_split_by_their_return_flags_in_their_order(flags, out, back):
    from tavimo import results

    legs = [{"return": flag, "at": position} for position, flag in enumerate(flags)]
    made_out, made_back = results.split_legs({"route": legs})
    assert [made["at"] for made in made_out] == out
    assert [made["at"] for made in made_back] == back
    assert type(made_out) is list and type(made_back) is list


def test_the_collector_passes_over_the_read_response_only_while_the_command_runs(
    parse, monkeypatch
):
    import gc

    from tavimo import formats

    seen = []
    write_json = formats.WRITERS["json"]

    def watched(itineraries, out):
        seen.append((gc.isenabled(), gc.get_freeze_count()))
        write_json(itineraries, out)

    monkeypatch.setitem(formats.WRITERS, "json", watched)
    was_enabled = gc.isenabled()
    already = gc.get_freeze_count()  # (3.12 starts with objects of its own frozen)
    froze = False
    try:
        expected = parse(SAMPLE, "-f", "json")
        during = seen.pop()[1]
        if already:  # frozen objects not the command's: left as they are, none added
            assert during <= already and gc.get_freeze_count() <= already
        else:
            assert during > 0 and gc.get_freeze_count() == 0
        gc.disable()  # off: left off, and nothing frozen
        assert parse(SAMPLE, "-f", "json") == expected
        assert seen.pop() == (False, already) and not gc.isenabled()
        gc.enable()
        if not already:
            gc.freeze()  # the caller's own frozen objects: none added, none let go
            froze = True
            frozen = gc.get_freeze_count()  # (less as some of them die)
            assert parse(SAMPLE, "-f", "json") == expected
            enabled, during = seen.pop()
            assert enabled and during <= frozen and 0 < gc.get_freeze_count() <= during
    finally:
        if froze:
            gc.unfreeze()
        if was_enabled:
            gc.enable()


def test_the_collector_passes_seldom_only_while_the_command_runs(parse, monkeypatch):
    import gc

    from tavimo import cli, formats, results

    seen = []
    write_json = formats.WRITERS["json"]

    def watched(itineraries, out):
        seen.append(gc.get_threshold())
        write_json(itineraries, out)

    read = []  # the response is read with the collector's passes seldom too
    whole_value = results.whole_value
    monkeypatch.setattr(
        results, "whole_value", lambda raw: read.append(gc.get_threshold()) or whole_value(raw)
    )
    monkeypatch.setitem(formats.WRITERS, "json", watched)
    before = gc.get_threshold()
    was_enabled = gc.isenabled()
    try:
        for young in (700, cli.YOUNG_PASS_EVERY + 1, 0):  # raised; higher or none: kept
            gc.set_threshold(young, *before[1:])
            assert parse(SAMPLE, "-f", "json")[0] == 0
            assert (
                read.pop()
                == seen.pop()
                == ((cli.YOUNG_PASS_EVERY, *before[1:]) if young == 700 else (young, *before[1:]))
            )
            assert gc.get_threshold() == (young, *before[1:])
        gc.set_threshold(*before)
        gc.disable()  # off: left as it is
        assert parse(SAMPLE, "-f", "json")[0] == 0
        assert seen.pop() == before and gc.get_threshold() == before
        gc.enable()
        with pytest.raises(SystemExit):  # restored however the command ends
            monkeypatch.setitem(formats.WRITERS, "json", lambda *_: sys.exit(3))
            cli.main(["parse", "--sample", "-f", "json"])
        assert gc.get_threshold() == before
    finally:
        gc.set_threshold(*before)
        if was_enabled:
            gc.enable()


def test_leg_tables_are_laid_out_once_only_where_all_is_text():
    from tavimo import formats, tables

    header, rows = ["A", "B"], [["x", "yy"], ["zzz", ""]]
    formats.LEG_TABLES.clear()
    for width in (None, 8, None, 8):  # the width is part of the key
        assert formats.legs_table(header, rows, width) == tables.format_table(header, rows, width)

    class Shown:
        calls = 0

        def __str__(self):
            Shown.calls += 1
            return "s"

    for _ in range(2):  # str() of any other cell runs every time
        assert formats.legs_table(header, [["x", Shown()]], None) == tables.format_table(
            header, [["x", "s"]], None
        )
    assert Shown.calls == 2
    assert [formats.legs_table(header, [["x", value]], None) for value in (1, 1.0, True)] == [
        tables.format_table(header, [["x", text]], None) for text in ("1", "1.0", "True")
    ]
    for odd_rows in ([5], [["x", []]]):  # format_table's own error, or a cell in no key
        try:
            expected = tables.format_table(header, odd_rows, None)
        except TypeError as exc:
            with pytest.raises(TypeError, match=re.escape(str(exc))):
                formats.legs_table(header, odd_rows, None)
        else:
            assert formats.legs_table(header, odd_rows, None) == expected
