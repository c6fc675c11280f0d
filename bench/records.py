"""Search results for the benchmark, shaped as the flight search returns them.

Each record carries the whole set of fields a search result has, not only the ones the
parser reads, so that lookups meet dictionaries of the usual size.
"""

from datetime import datetime, timedelta

# Airport code: city, country, offset of local time from UTC in hours (summer).
AIRPORTS = {
    "BER": ("Berlin", "DE", 2),
    "LHR": ("London", "GB", 1),
    "VIE": ("Vienna", "AT", 2),
    "FRA": ("Frankfurt", "DE", 2),
    "LIS": ("Lisbon", "PT", 1),
    "ZRH": ("Zurich", "CH", 2),
    "BUD": ("Budapest", "HU", 2),
    "AMS": ("Amsterdam", "NL", 2),
    "JFK": ("New York", "US", -4),
    "LAX": ("Los Angeles", "US", -7),
    "CDG": ("Paris", "FR", 2),
    "KEF": ("Reykjavik", "IS", 0),
}


def utc_text(local, offset_hours):
    moment = datetime.fromisoformat(local[:-1]) - timedelta(hours=offset_hours)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.000Z")


def leg(
    number,
    fly_from,
    fly_to,
    departure,
    arrival,
    airline,
    flight_no,
    operating_carrier="",
    operating_flight_no="",
    returning=0,
):
    city_from, _, offset_from = AIRPORTS[fly_from]
    city_to, _, offset_to = AIRPORTS[fly_to]
    return {
        "id": "%013x_0" % (0x1F0A3C5E7 * number),
        "combination_id": "%024x" % (0xA1B2C3D4 * number),
        "flyFrom": fly_from,
        "flyTo": fly_to,
        "cityFrom": city_from,
        "cityCodeFrom": fly_from,
        "cityTo": city_to,
        "cityCodeTo": fly_to,
        "local_departure": departure,
        "utc_departure": utc_text(departure, offset_from),
        "local_arrival": arrival,
        "utc_arrival": utc_text(arrival, offset_to),
        "airline": airline,
        "flight_no": flight_no,
        "operating_carrier": operating_carrier,
        "operating_flight_no": operating_flight_no,
        "fare_basis": "LOWEU",
        "fare_category": "M",
        "fare_classes": "L",
        "return": returning,
        "bags_recheck_required": False,
        "vi_connection": False,
        "guarantee": False,
        "equipment": None,
        "vehicle_type": "aircraft",
    }


def search_result(number, legs, departure_seconds, return_seconds, conversion):
    outbound = [item for item in legs if not item["return"]]
    inbound = [item for item in legs if item["return"]]
    first, last = outbound[0], outbound[-1]
    return {
        "id": "%024x_0" % (0x5EED0000 + number),
        "flyFrom": first["flyFrom"],
        "flyTo": last["flyTo"],
        "cityFrom": first["cityFrom"],
        "cityCodeFrom": first["flyFrom"],
        "cityTo": last["cityTo"],
        "cityCodeTo": last["flyTo"],
        "countryFrom": {"code": AIRPORTS[first["flyFrom"]][1]},
        "countryTo": {"code": AIRPORTS[last["flyTo"]][1]},
        "nightsInDest": 7 if inbound else None,
        "duration": {
            "departure": departure_seconds,
            "return": return_seconds,
            "total": departure_seconds + return_seconds,
        },
        "quality": 189.4,
        "distance": 1432.7,
        "price": next(iter(conversion.values())),
        "conversion": dict(conversion),
        "airlines": sorted({item["airline"] for item in legs}),
        "routes": [[first["flyFrom"]] + [item["flyTo"] for item in outbound]]
        + ([[inbound[0]["flyFrom"]] + [item["flyTo"] for item in inbound]] if inbound else []),
        "local_departure": first["local_departure"],
        "utc_departure": first["utc_departure"],
        "local_arrival": last["local_arrival"],
        "utc_arrival": last["utc_arrival"],
        "route": legs,
        "booking_token": "t" * 420,
        "deep_link": "https://flights.example/booking?token=" + "t" * 64,
        "has_airport_change": False,
        "technical_stops": 0,
    }


ONE_WAY_1_LEG = search_result(
    1,
    [
        leg(1, "BER", "LHR", "2021-06-01T10:15:00.000Z", "2021-06-01T11:10:00.000Z", "U2", 8562),
    ],
    6900,
    0,
    {"EUR": 59, "USD": 72, "GBP": 51},
)

ROUND_TRIP_2_2 = search_result(
    2,
    [
        leg(
            2,
            "VIE",
            "FRA",
            "2021-06-12T07:00:00.000Z",
            "2021-06-12T08:30:00.000Z",
            "LH",
            1233,
            "LH",
            1233,
        ),
        leg(
            3,
            "FRA",
            "LIS",
            "2021-06-12T10:05:00.000Z",
            "2021-06-12T12:05:00.000Z",
            "LH",
            6813,
            "TP",
            579,
        ),
        leg(
            4,
            "LIS",
            "ZRH",
            "2021-06-19T13:30:00.000Z",
            "2021-06-19T17:15:00.000Z",
            "LX",
            2085,
            "LX",
            2085,
            returning=1,
        ),
        leg(
            5,
            "ZRH",
            "VIE",
            "2021-06-19T18:20:00.000Z",
            "2021-06-19T19:40:00.000Z",
            "LX",
            1578,
            "OS",
            562,
            returning=1,
        ),
    ],
    21900,
    18600,
    {"EUR": 412, "USD": 502, "CHF": 451},
)

ROUND_TRIP_3_3 = search_result(
    3,
    [
        leg(6, "BUD", "AMS", "2021-07-03T06:10:00.000Z", "2021-07-03T08:25:00.000Z", "KL", 1972),
        leg(
            7,
            "AMS",
            "KEF",
            "2021-07-03T10:40:00.000Z",
            "2021-07-03T11:55:00.000Z",
            "FI",
            501,
            "FI",
            501,
        ),
        leg(8, "KEF", "JFK", "2021-07-03T16:45:00.000Z", "2021-07-03T18:30:00.000Z", "FI", 615),
        leg(
            9,
            "JFK",
            "CDG",
            "2021-07-17T19:05:00.000Z",
            "2021-07-18T08:20:00.000Z",
            "AF",
            7,
            "AF",
            7,
            returning=1,
        ),
        leg(
            10,
            "CDG",
            "AMS",
            "2021-07-18T10:15:00.000Z",
            "2021-07-18T11:35:00.000Z",
            "KL",
            1228,
            "KL",
            1228,
            returning=1,
        ),
        leg(
            11,
            "AMS",
            "BUD",
            "2021-07-18T13:00:00.000Z",
            "2021-07-18T15:05:00.000Z",
            "KL",
            1975,
            returning=1,
        ),
    ],
    66000,
    50400,
    {"EUR": 1187, "USD": 1446, "HUF": 419511},
)

# What route_details gets alone: the plan of a round trip with two legs each way.
ROUTE_PLAN_2_2 = ROUND_TRIP_2_2["route"]
