"""route_details: leg detail rows and the two tables."""

from datetime import datetime

import pytest

from conftest import Recording, host_failure, make_leg


def test_rows_and_tables(brasco):
    legs = [make_leg(0), make_leg(1, cityFrom="Paris", flight_no="AF1"), make_leg(0, airline=7)]
    outbound, inbound = brasco.route_details(legs, "outbound")
    header = brasco.leg_details_header
    assert outbound[0] is header and inbound[0] is header
    assert outbound[1:] == [
        [
            "Berlin(BER) -> London(LHR)",
            "Tue 01 Jun 10:15 -> Tue 01 Jun 13:40",
            "42",
            "BA",
            "BA 8472",
            "BA",
        ],
        [
            "Berlin(BER) -> London(LHR)",
            "Tue 01 Jun 10:15 -> Tue 01 Jun 13:40",
            "42",
            "7",
            "BA 8472",
            "BA",
        ],
    ]
    assert inbound[1:] == [
        [
            "Paris(BER) -> London(LHR)",
            "Tue 01 Jun 10:15 -> Tue 01 Jun 13:40",
            "AF1",
            "BA",
            "BA 8472",
            "BA",
        ]
    ]
    # The leg argument is never read: every call returns both tables.
    for leg in ("inbound", None, object()):
        assert brasco.route_details(legs, leg) == (outbound, inbound)


def test_tables_are_new_and_share_the_header(brasco):
    first = brasco.route_details([])
    second = brasco.route_details([])
    assert first == ([brasco.leg_details_header], [brasco.leg_details_header])
    assert first[0] is not second[0] and first[0] is not first[1]


@pytest.mark.parametrize(
    "value, table",
    [
        (0, 0),
        (False, 0),
        (None, 0),
        ("", 0),
        (1, 1),
        (2, 1),
        (True, 1),
        ("yes", 1),
        ("0", 1),
    ],
)
def test_return_truth_value_picks_the_table(brasco, value, table):
    tables = brasco.route_details([make_leg(value)])
    assert len(tables[table]) == 2 and len(tables[1 - table]) == 1


@pytest.mark.parametrize(
    "fields, cells",
    [
        ({"operating_carrier": "", "operating_flight_no": ""}, (" ", "")),
        ({"operating_carrier": None, "operating_flight_no": None}, ("None None", "None")),
        ({"operating_carrier": 1.5, "operating_flight_no": 7}, ("1.5 7", "1.5")),
    ],
)
def test_display_texts(brasco, fields, cells):
    row = brasco.route_details([make_leg(**fields)])[0][1]
    assert (row[4], row[5]) == cells


def test_iterables_of_any_kind_are_walked_once(brasco):
    legs = [make_leg(0), make_leg(1)]
    assert brasco.route_details(iter(legs)) == brasco.route_details(tuple(legs))


def test_reading_order(brasco):
    leg = Recording(make_leg())
    brasco.route_details([leg])
    assert leg.reads == [
        "cityFrom",
        "flyFrom",
        "cityTo",
        "flyTo",
        "local_departure",
        "local_arrival",
        "flight_no",
        "operating_carrier",
        "operating_flight_no",
        "airline",
        "operating_carrier",
        "return",
    ]


@pytest.mark.parametrize(
    "route_plan, error, message",
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        ([None], TypeError, "'NoneType' object is not subscriptable"),
        ([{}], KeyError, "'cityFrom'"),
        ([{k: v for k, v in make_leg().items() if k != "return"}], KeyError, "'return'"),
        ([{k: v for k, v in make_leg().items() if k != "airline"}], KeyError, "'airline'"),
        ([make_leg(local_departure=None)], TypeError, "'NoneType' object is unsliceable"),
        ([make_leg(local_arrival=12)], TypeError, "'int' object is unsliceable"),
        (
            [make_leg(local_departure="2021-06-01T10:15:00")],
            ValueError,
            "Invalid isoformat string: '2021-06-01T10:15:0'",
        ),
        (
            [make_leg(local_departure=["2021-06-01", "x"])],
            *host_failure(datetime.fromisoformat, ["2021-06-01"]),
        ),
        # Slices are hashable from 3.12 on: the mapping then raises KeyError.
        ([make_leg(local_departure={})], *host_failure(lambda: {}[:-1])),
    ],
)
def test_failures(brasco, route_plan, error, message):
    with pytest.raises(error) as raised:
        brasco.route_details(route_plan)
    assert str(raised.value) == message


def test_failing_truth_test_of_return(brasco):
    class Undecided:
        def __bool__(self):
            raise ArithmeticError("undecided")

    with pytest.raises(ArithmeticError, match="^undecided$"):
        brasco.route_details([make_leg(Undecided())])


def test_leg_mapping_failures_propagate_unchanged(brasco):
    class Broken(dict):
        def __getitem__(self, key):
            raise LookupError(key)

    with pytest.raises(LookupError) as raised:
        brasco.route_details([Broken(make_leg())])
    assert raised.value.args == ("cityFrom",)
