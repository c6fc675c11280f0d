"""Settings of the tavimo command-line tool."""

# Column titles of a leg detail table, in the cell order of its rows.
leg_details_header = [
    "Airports",
    "Departure -> Arrival",
    "Flight",
    "Airline",
    "Operating flight",
    "Operated by",
]
