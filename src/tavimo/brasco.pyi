"""Parsing of one itinerary of a flight-search response (native module)."""

import logging as logging
from datetime import datetime as datetime, timedelta as timedelta
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple, Union

# A leg record of a search result's "route" list, and the search result itself.
_Leg = Mapping[str, Any]
_SearchResult = Mapping[str, Any]
# [route, departure display time, duration, arrival display time, price text]; the
# inbound summary holds "x" as its price.
_Compact = List[Union[str, timedelta]]
# leg_details_header followed by one row of six display texts per leg.
_LegTable = List[List[str]]

leg_details_header: List[str]
__author__: str
__email__: str
__test__: Dict[str, Any]

# The parameters default to None, but every function fails with TypeError when called
# without its route plan or search result.
def route_details(
    route_plan: Optional[Iterable[_Leg]] = None, leg: Optional[str] = None
) -> Tuple[_LegTable, _LegTable]: ...
def get_ret_times(route_plan: Optional[Iterable[_Leg]] = None) -> Tuple[str, str]: ...

# Items 1 and 3 are "" for a one-way trip.
def i_parser(
    search_result: Optional[_SearchResult] = None, round_trip: Optional[bool] = None
) -> Tuple[_Compact, Union[_Compact, str], _LegTable, Union[_LegTable, str]]: ...
