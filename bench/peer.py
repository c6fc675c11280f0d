"""The three parsing functions of tavimo.brasco as one would write them in plain Python.

The benchmark times the native module against these.  They do the same work, step for step:
the same reads, the same display times, the same log records and the same results.
"""

import logging
from datetime import datetime, timedelta

from tavimo.settings import leg_details_header


def route_details(route_plan=None, leg=None):
    outbound_leg = [leg_details_header]
    inbound_leg = [leg_details_header]
    for flight in route_plan:
        airports = (
            f"{flight['cityFrom']}({flight['flyFrom']}) -> {flight['cityTo']}({flight['flyTo']})"
        )
        departure = datetime.fromisoformat(flight["local_departure"][:-1]).strftime(
            "%a %d %b %H:%M"
        )
        arrival = datetime.fromisoformat(flight["local_arrival"][:-1]).strftime("%a %d %b %H:%M")
        times = f"{departure} -> {arrival}"
        flight_no = f"{flight['flight_no']}"
        operating_flight_no = f"{flight['operating_carrier']} {flight['operating_flight_no']}"
        airline = f"{flight['airline']}"
        operated_by = f"{flight['operating_carrier']}"
        row = [airports, times, flight_no, airline, operating_flight_no, operated_by]
        if flight["return"]:
            inbound_leg.append(row)
        else:
            outbound_leg.append(row)
    return outbound_leg, inbound_leg


def get_ret_times(route_plan=None):
    departure_times = []
    arrival_times = []
    for flight in route_plan:
        if flight["return"] == 1:
            departure_times.append(flight["local_departure"][:-1])
            arrival_times.append(flight["local_arrival"][:-1])
    first_departure = min(departure_times)
    dep_time = datetime.fromisoformat(first_departure).strftime("%a %d %b %H:%M")
    last_arrival = max(arrival_times)
    arr_time = datetime.fromisoformat(last_arrival).strftime("%a %d %b %H:%M")
    logging.debug(f"Inbound departure time: {first_departure}")
    logging.debug(f"Inbound arrival time: {last_arrival}")
    return dep_time, arr_time


def i_parser(search_result=None, round_trip=None):
    fly_duration = timedelta(seconds=int(search_result["duration"]["departure"]))
    logging.debug(f"Outbound flight duration: {fly_duration}")
    outbound_route = " -> ".join(search_result["routes"][0])
    logging.debug(f"Outbound route: {outbound_route}")
    departure_time = datetime.fromisoformat(search_result["local_departure"][:-1]).strftime(
        "%a %d %b %H:%M"
    )
    logging.debug(f"Outbound departure time: {search_result['local_departure'][:-1]}")
    arrival_time = datetime.fromisoformat(search_result["local_arrival"][:-1]).strftime(
        "%a %d %b %H:%M"
    )
    logging.debug(f"Outbound arrival time: {search_result['local_arrival'][:-1]}")
    price = ""
    for currency, amount in search_result["conversion"].items():
        price += f"{str(amount)} {currency} / "
    logging.debug(f"Price (both ways): {price}")
    outbound_leg_compact = [outbound_route, departure_time, fly_duration, arrival_time, price[:-3]]
    outbound_details, _ = route_details(route_plan=search_result["route"], leg="outbound")

    if round_trip:
        return_duration = timedelta(seconds=int(search_result["duration"]["return"]))
        logging.debug(f"Inbound flight duration: {return_duration}")
        inbound_route = " -> ".join(search_result["routes"][1])
        logging.debug(f"Inbound route: {inbound_route}")
        ret_departure_time, ret_arrival_time = get_ret_times(route_plan=search_result["route"])
        _, inbound_details = route_details(route_plan=search_result["route"], leg="inbound")
        inbound_leg_compact = [
            inbound_route,
            ret_departure_time,
            return_duration,
            ret_arrival_time,
            "x",
        ]
    else:
        inbound_leg_compact = ""
        inbound_details = ""

    return outbound_leg_compact, inbound_leg_compact, outbound_details, inbound_details
