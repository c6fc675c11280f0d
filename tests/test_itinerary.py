"""get_ret_times and i_parser: results, log records and failures."""

import datetime
import re

import pytest

from conftest import Pairs, Recording, host_message, make_leg, make_record


def return_leg(departure, arrival, returning=1):
    return make_leg(returning, local_departure=departure, local_arrival=arrival)


# --- get_ret_times -------------------------------------------------------------------------


def test_ret_times_single_return_leg(brasco, debug_log):
    route = [make_leg(0), return_leg("2021-06-08T18:05:00.000Z", "2021-06-08T21:30:00.000Z")]
    assert brasco.get_ret_times(route) == ("Tue 08 Jun 18:05", "Tue 08 Jun 21:30")
    assert debug_log.messages == [
        "Inbound departure time: 2021-06-08T18:05:00.000",
        "Inbound arrival time: 2021-06-08T21:30:00.000",
    ]


def test_ret_times_logs_the_chosen_texts_not_the_last_legs(brasco, debug_log):
    route = [
        return_leg("2021-06-08T20:10:00.000Z", "2021-06-08T21:30:00.000Z"),
        return_leg("2021-06-08T18:05:00.000Z", "2021-06-08T19:20:00.000Z"),
        make_leg(0),
    ]
    assert brasco.get_ret_times(route) == ("Tue 08 Jun 18:05", "Tue 08 Jun 21:30")
    assert debug_log.messages == [
        "Inbound departure time: 2021-06-08T18:05:00.000",
        "Inbound arrival time: 2021-06-08T21:30:00.000",
    ]


@pytest.mark.parametrize(
    "value, counted",
    [
        (1, True),
        (True, True),
        (1.0, True),
        (0, False),
        (2, False),
        ("1", False),
        (None, False),
    ],
)
def test_ret_times_counts_legs_equal_to_one(brasco, value, counted):
    route = [
        return_leg("2021-06-08T18:05:00.000Z", "2021-06-08T21:30:00.000Z", value),
        return_leg("2021-06-09T07:00:00.000Z", "2021-06-09T08:00:00.000Z"),
    ]
    expected = "Tue 08 Jun 18:05" if counted else "Wed 09 Jun 07:00"
    assert brasco.get_ret_times(route)[0] == expected


def test_ret_times_reads_only_return_of_other_legs(brasco):
    assert brasco.get_ret_times(
        [{"return": 0}, return_leg("2021-06-08T18:05:00.000Z", "2021-06-08T21:30:00.000Z")]
    )


@pytest.mark.parametrize(
    "route, error, message",
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        ([], ValueError, host_message(min, [])),
        ([make_leg(2)], ValueError, host_message(min, [])),
        ([{}], KeyError, "'return'"),
        (
            [{"return": 1, "local_departure": "2021-06-08T18:05:00.000Z"}],
            KeyError,
            "'local_arrival'",
        ),
        ([return_leg(None, "x")], TypeError, "'NoneType' object is unsliceable"),
        (
            [return_leg("2021-06-08T18:05:00.000Z", "a"), return_leg(["x"], "b")],
            TypeError,
            "'<' not supported between instances of 'list' and 'str'",
        ),
        (
            [return_leg("2021-13-08T18:05:00.000Z", "2021-06-08T21:30:00.000Z")],
            ValueError,
            host_message(datetime.datetime.fromisoformat, "2021-13-08T18:05:00.000"),
        ),
    ],
)
def test_ret_times_failures_log_nothing(brasco, debug_log, route, error, message):
    with pytest.raises(error) as raised:
        brasco.get_ret_times(route)
    assert str(raised.value) == message
    assert debug_log.messages == []


def test_ret_times_failing_equality(brasco):
    class Odd:
        def __eq__(self, other):
            raise ArithmeticError("no comparison")

    with pytest.raises(ArithmeticError, match="^no comparison$"):
        brasco.get_ret_times([make_leg(Odd())])


# --- i_parser ------------------------------------------------------------------------------


def test_round_trip(brasco, debug_log):
    record = make_record()
    outbound, inbound, outbound_details, inbound_details = brasco.i_parser(record, True)
    assert outbound == [
        "BER -> LHR",
        "Tue 01 Jun 10:15",
        datetime.timedelta(seconds=9300),
        "Tue 01 Jun 13:40",
        "120 EUR / 140 USD",
    ]
    assert inbound == [
        "LHR -> BER",
        "Tue 08 Jun 18:05",
        datetime.timedelta(days=1, hours=1),
        "Tue 08 Jun 21:30",
        "x",
    ]
    assert (outbound_details, inbound_details) == brasco.route_details(record["route"])
    assert debug_log.messages == [
        "Outbound flight duration: 2:35:00",
        "Outbound route: BER -> LHR",
        "Outbound departure time: 2021-06-01T10:15:00.000",
        "Outbound arrival time: 2021-06-01T13:40:00.000",
        "Price (both ways): 120 EUR / 140 USD / ",
        "Inbound flight duration: 1 day, 1:00:00",
        "Inbound route: LHR -> BER",
        "Inbound departure time: 2021-06-08T18:05:00.000",
        "Inbound arrival time: 2021-06-08T21:30:00.000",
    ]
    assert all(
        record.levelname == "DEBUG" and record.name == "root" for record in debug_log.records
    )


@pytest.mark.parametrize("round_trip", [None, False, 0, ""])
def test_one_way_reads_no_inbound_data(brasco, debug_log, round_trip):
    record = Recording(make_record(routes=[["BER"]], duration={"departure": 9300}))
    result = brasco.i_parser(record, round_trip)
    assert result[1] == "" and result[3] == ""
    assert result[0][0] == "BER" and len(debug_log.messages) == 5
    assert record.reads == [
        "duration",
        "routes",
        "local_departure",
        "local_departure",
        "local_arrival",
        "local_arrival",
        "conversion",
        "route",
    ]


def test_round_trip_passes_the_same_route_object(brasco, monkeypatch):
    seen = []
    original_details, original_times = brasco.route_details, brasco.get_ret_times

    def spy_details(**kwargs):
        seen.append(kwargs["route_plan"])
        return original_details(**kwargs)

    def spy_times(**kwargs):
        seen.append(kwargs["route_plan"])
        return original_times(**kwargs)

    monkeypatch.setattr(brasco, "route_details", spy_details)
    monkeypatch.setattr(brasco, "get_ret_times", spy_times)
    record = make_record()
    brasco.i_parser(record, "no")
    assert len(seen) == 3 and all(plan is record["route"] for plan in seen)


@pytest.mark.parametrize(
    "seconds, shown",
    [
        (0, "0:00:00"),
        (90000, "1 day, 1:00:00"),
        (-60, "-1 day, 23:59:00"),
        (9300.9, "2:35:00"),
        ("9300", "2:35:00"),
        (True, "0:00:01"),
    ],
)
def test_durations(brasco, debug_log, seconds, shown):
    result = brasco.i_parser(make_record(duration={"departure": seconds}))
    assert str(result[0][2]) == shown and isinstance(result[0][2], datetime.timedelta)
    assert debug_log.messages[0] == "Outbound flight duration: " + shown


@pytest.mark.parametrize(
    "conversion, logged, shown",
    [
        ({}, "", ""),
        ({"EUR": 120}, "120 EUR / ", "120 EUR"),
        ({"EUR": 120.5, 7: "x"}, "120.5 EUR / x 7 / ", "120.5 EUR / x 7"),
        ([("GBP", 99)], "99 GBP / ", "99 GBP"),
    ],
)
def test_price(brasco, debug_log, conversion, logged, shown):
    source = conversion if isinstance(conversion, dict) else Pairs(conversion)
    result = brasco.i_parser(make_record(conversion=source))
    assert result[0][4] == shown
    assert debug_log.messages[4] == "Price (both ways): " + logged


class Amount(int):
    pass


class Currency(str):
    pass


# Entries that cannot be written straight into the price text, each after one that can:
# every amount is an exact int within a machine word and every currency an exact ASCII text,
# or the entry is made the host's way from there on.
@pytest.mark.parametrize(
    "entry",
    [
        ("USD", 2**63 - 1),
        ("USD", -(2**63)),
        ("USD", 2**63),
        ("USD", -(2**63) - 1),
        ("USD", 10**30),
        ("USD", True),
        ("USD", Amount(7)),
        ("USD", 7.5),
        ("USD", "7"),
        ("CHF\u20ac", 7),
        (Currency("USD"), 7),
        (5, 7),
        (None, 7),
    ],
    ids=repr,
)
def test_price_entries_written_and_made(brasco, debug_log, entry):
    conversion = dict([("EUR", 120), entry, ("GBP", 99)])
    logged = "".join(f"{str(amount)} {currency} / " for currency, amount in conversion.items())
    assert brasco.i_parser(make_record(conversion=conversion))[0][4] == logged[:-3]
    assert debug_log.messages[4] == "Price (both ways): " + logged


@pytest.mark.parametrize("currencies", [1, 10, 11, 12, 40])
def test_price_longer_than_what_is_written_at_once(brasco, debug_log, currencies):
    """Long prices: what does not fit where entries are written directly is made as texts."""
    conversion = {f"C{i:03d}" + "X" * 16: -(10**17) - i for i in range(currencies)}
    logged = "".join(f"{amount} {currency} / " for currency, amount in conversion.items())
    assert brasco.i_parser(make_record(conversion=conversion))[0][4] == logged[:-3]
    assert debug_log.messages[4] == "Price (both ways): " + logged


@pytest.mark.parametrize(
    "places, route",
    [([], ""), (["AAA"], "AAA"), ("XYZ", "X -> Y -> Z"), (("A", "B", "C"), "A -> B -> C")],
)
def test_routes(brasco, places, route):
    assert brasco.i_parser(make_record(routes=[places]))[0][0] == route


class Growing(dict):
    pass


def growing_conversion():
    conversion = {"EUR": 1}

    class Amount:
        def __str__(self):
            conversion["USD"] = 2
            return "1"

    conversion["EUR"] = Amount()
    return conversion


def unpack_result(value):
    return lambda route_plan=None, leg=None: value


@pytest.mark.parametrize(
    "change, error, message, logged",
    [
        ({"duration": None}, TypeError, "'NoneType' object is not subscriptable", 0),
        ({"duration": {}}, KeyError, "'departure'", 0),
        (
            {"duration": {"departure": "1.5"}},
            ValueError,
            "invalid literal for int() with base 10: '1.5'",
            0,
        ),
        (
            {"duration": {"departure": float("inf")}},
            OverflowError,
            "cannot convert float infinity to integer",
            0,
        ),
        (
            {"duration": {"departure": 10**14}},
            OverflowError,
            "days=1157407407; must have magnitude <= 999999999",
            0,
        ),
        ({"routes": []}, IndexError, "list index out of range", 1),
        ({"routes": [[1]]}, TypeError, "sequence item 0: expected str instance, int found", 1),
        ({"local_departure": None}, TypeError, "'NoneType' object is unsliceable", 2),
        (
            {"local_arrival": "2021-06-01T13:40:00"},
            ValueError,
            "Invalid isoformat string: '2021-06-01T13:40:0'",
            3,
        ),
        ({"conversion": None}, AttributeError, "'NoneType' object has no attribute 'items'", 4),
        (
            {"conversion": growing_conversion()},
            RuntimeError,
            "dictionary changed size during iteration",
            4,
        ),
        ({"route": None}, TypeError, "'NoneType' object is not iterable", 5),
    ],
)
def test_failures_keep_earlier_records(brasco, debug_log, change, error, message, logged):
    record = make_record()
    record.update(change)
    with pytest.raises(error) as raised:
        brasco.i_parser(record, True)
    assert str(raised.value) == message
    assert len(debug_log.messages) == logged


@pytest.mark.parametrize(
    "result, message",
    [
        ((1, 2, 3), "too many values to unpack (expected 2)"),
        ([1], "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
        (iter([1]), "need more than 1 value to unpack"),
        (iter([1, 2, 3]), "too many values to unpack (expected 2)"),
    ],
)
def test_pair_unpacking(brasco, monkeypatch, result, message):
    monkeypatch.setattr(brasco, "route_details", unpack_result(result))
    with pytest.raises(ValueError) as raised:
        brasco.i_parser(make_record())
    assert str(raised.value) == message


def test_round_trip_failures_after_outbound_records(brasco, debug_log):
    no_return_duration = make_record(duration={"departure": 60})
    with pytest.raises(KeyError, match="'return'"):
        brasco.i_parser(no_return_duration, True)
    assert len(debug_log.messages) == 5
    debug_log.records.clear()
    with pytest.raises(IndexError):
        brasco.i_parser(make_record(routes=[["A"]]), True)
    assert len(debug_log.messages) == 6
    debug_log.records.clear()
    with pytest.raises(ValueError, match=re.escape(host_message(min, []))):
        brasco.i_parser(make_record(route=[make_leg(0)]), True)
    assert len(debug_log.messages) == 7


def test_truth_test_of_round_trip_may_fail(brasco):
    class Undecided:
        def __bool__(self):
            raise ArithmeticError("undecided")

    with pytest.raises(ArithmeticError):
        brasco.i_parser(make_record(), Undecided())


def test_no_arguments(brasco, debug_log):
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        brasco.i_parser()
    assert debug_log.messages == []


@pytest.mark.parametrize(
    "duration",
    [
        datetime.timedelta(0),
        datetime.timedelta(days=1),
        datetime.timedelta(days=-1),
        datetime.timedelta(days=-3, seconds=86395),
        datetime.timedelta(microseconds=5),
        datetime.timedelta(days=999999999, seconds=86399, microseconds=999999),
        datetime.timedelta.min,
        datetime.timedelta(hours=23, minutes=59, seconds=59),
    ],
)
def test_logged_durations_read_as_the_host_writes_them(brasco, debug_log, monkeypatch, duration):
    monkeypatch.setattr(brasco, "timedelta", lambda seconds: duration)
    brasco.i_parser(make_record())
    assert debug_log.messages[0] == "Outbound flight duration: " + str(duration)


@pytest.mark.parametrize("number", [0, 7, -7, 2**63 - 1, -(2**63), 2**64, -(10**30)])
def test_integer_cells_read_as_the_host_writes_them(brasco, number):
    row = brasco.route_details([make_leg(flight_no=number)])[0][1]
    assert row[2] == str(number)


class Stamped(datetime.datetime):
    def strftime(self, format):
        return "<" + super().strftime(format) + ">"


@pytest.mark.parametrize(
    "change",
    [
        lambda brasco, route: route[1].update(cityFrom="Changed"),
        lambda brasco, route: route[1].__setitem__("flight_no", 12345678901234567890),
        lambda brasco, route: setattr(brasco, "datetime", Stamped),
        lambda brasco, route: route.append(dict(route[1])),
    ],
)
def test_second_table_sees_changes_made_between_the_calls(brasco, monkeypatch, change):
    """The round trip's inbound table is made after get_ret_times ran: whatever changed in
    between shows, exactly as a fresh route_details call would show it."""
    original = brasco.get_ret_times

    def changing_ret_times(route_plan=None):
        result = original(route_plan=route_plan)
        change(brasco, route_plan)
        return result

    monkeypatch.setattr(brasco, "get_ret_times", changing_ret_times)
    monkeypatch.setattr(brasco, "datetime", brasco.datetime)
    record = make_record()
    outbound_before = brasco.route_details(record["route"])[0]
    result = brasco.i_parser(record, True)
    assert result[2] == outbound_before
    assert result[3] == brasco.route_details(record["route"])[1]
