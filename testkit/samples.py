"""Sample flight-search records and mapping shapes shared by the tests, the fuzz targets and
the leak script.

Plain Python only (no pytest), so that the leak script can run it under valgrind.
"""


def make_leg(returning=0, **fields):
    leg = {
        "cityFrom": "Berlin",
        "flyFrom": "BER",
        "cityTo": "London",
        "flyTo": "LHR",
        "local_departure": "2021-06-01T10:15:00.000Z",
        "local_arrival": "2021-06-01T13:40:00.000Z",
        "flight_no": 42,
        "airline": "BA",
        "operating_carrier": "BA",
        "operating_flight_no": "8472",
        "return": returning,
    }
    leg.update(fields)
    return leg


def make_record(**fields):
    record = {
        "duration": {"departure": 9300, "return": 90000},
        "routes": [["BER", "LHR"], ["LHR", "BER"]],
        "local_departure": "2021-06-01T10:15:00.000Z",
        "local_arrival": "2021-06-01T13:40:00.000Z",
        "conversion": {"EUR": 120, "USD": 140},
        "route": [
            make_leg(0),
            make_leg(
                1,
                cityFrom="London",
                flyFrom="LHR",
                cityTo="Berlin",
                flyTo="BER",
                local_departure="2021-06-08T18:05:00.000Z",
                local_arrival="2021-06-08T21:30:00.000Z",
            ),
        ],
    }
    record.update(fields)
    return record


class Pairs:
    """A conversion table that is not a dict: items() gives what it was made with."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items
