"""The output formats of parsed itineraries: text tables, JSON and CSV."""
import csv
import json

from tavimo.settings import leg_details_header
from tavimo.tables import format_table

ENCODER = json.JSONEncoder(ensure_ascii=False)
SUMMARY_HEADER = ["", "Route", "Departure", "Duration", "Arrival", "Price"]


def itinerary_text(itinerary):
    """One itinerary as a heading, its summary table and its leg tables."""
    outbound, inbound, outbound_legs, inbound_legs = itinerary.parsed
    summary = [["Outbound", *outbound]]
    if inbound:
        summary.append(["Inbound", *inbound])
    blocks = [
        "Itinerary {} ({})".format(itinerary.number, "round trip" if inbound else "one way"),
        format_table(SUMMARY_HEADER, summary),
        "",
        "Outbound legs",
        format_table(outbound_legs[0], outbound_legs[1:]),
    ]
    if inbound_legs:
        blocks += ["", "Inbound legs", format_table(inbound_legs[0], inbound_legs[1:])]
    return "\n".join(blocks)


def write_tables(itineraries, out):
    """The itineraries' tables, a blank line between two itineraries."""
    separator = ""
    for itinerary in itineraries:
        out.write(separator + itinerary_text(itinerary) + "\n")
        separator = "\n"


def seconds(duration):
    value = duration.total_seconds()
    return int(value) if value.is_integer() else value


def journey(summary, legs):
    """One direction of an itinerary: its summary fields and its legs."""
    route, departure, duration, arrival = summary[:4]
    header, *rows = legs
    return {
        "route": route,
        "departure": departure,
        "duration": str(duration),
        "duration_seconds": seconds(duration),
        "arrival": arrival,
        "legs": [dict(zip(header, row)) for row in rows],
    }


def itinerary_object(itinerary):
    """One itinerary as plain data; the inbound journey is None for a one-way trip."""
    outbound, inbound, outbound_legs, inbound_legs = itinerary.parsed
    return {
        "itinerary": itinerary.number,
        "round_trip": bool(inbound),
        "price": outbound[4],
        "outbound": journey(outbound, outbound_legs),
        "inbound": journey(inbound, inbound_legs) if inbound else None,
    }


def write_json(itineraries, out):
    """One JSON array, one itinerary object per line."""
    separator = "[\n"
    for itinerary in itineraries:
        out.write(separator + ENCODER.encode(itinerary_object(itinerary)))
        separator = ",\n"
    out.write("[]\n" if separator == "[\n" else "\n]\n")


def write_csv(itineraries, out):
    """One row per leg, after the itinerary's number and the leg's direction."""
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["Itinerary", "Direction", *leg_details_header])
    for itinerary in itineraries:
        _outbound, _inbound, outbound_legs, inbound_legs = itinerary.parsed
        for direction, legs in (("outbound", outbound_legs), ("inbound", inbound_legs)):
            for row in legs[1:] if legs else ():
                writer.writerow([itinerary.number, direction, *row])


WRITERS = {"table": write_tables, "json": write_json, "csv": write_csv}
