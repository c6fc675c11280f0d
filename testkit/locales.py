"""Finding a time locale other than C, for the tests and the fuzz targets that display
times under a second LC_TIME."""

import locale
import time

LOCALE_CANDIDATES = [
    "de_DE.UTF-8",
    "de_DE.utf8",
    "fr_FR.UTF-8",
    "fr_FR.utf8",
    "es_ES.UTF-8",
    "es_ES.utf8",
]


def try_time_locale(names):
    """Sets LC_TIME to the first of names that is installed and whose day and month names
    differ from C's, and returns that name (None if there is none)."""
    for name in names:
        try:
            locale.setlocale(locale.LC_TIME, name)
        except locale.Error:
            continue
        if time.strftime("%a %b", (2021, 3, 2, 0, 0, 0, 1, 61, 0)) != "Tue Mar":
            return name
    return None
