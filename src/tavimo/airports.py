"""Finding airports by city or name, in the airport table of the airportsdata package."""
import re
import unicodedata

from tavimo.errors import UserError

# Letters that carry no separable accent but that people type without one all the same.
PLAIN_LETTERS = str.maketrans({
    "ł": "l", "đ": "d", "ð": "d", "ø": "o", "ħ": "h", "ı": "i", "ŧ": "t",
    "æ": "ae", "œ": "oe", "þ": "th",
})


def folded(text):
    """TEXT as compared: case, accents and runs of blanks do not count."""
    decomposed = unicodedata.normalize("NFKD", text.casefold())
    plain = "".join(char for char in decomposed if not unicodedata.combining(char))
    return " ".join(plain.translate(PLAIN_LETTERS).split())


def match_rank(query, starts_a_word, city, name):
    """How well the folded QUERY matches an airport's folded CITY and NAME: lower is
    better, None is no match.  STARTS_A_WORD finds the query at the start of a word."""
    if city == query:
        return 0
    if city.startswith(query):
        return 1
    if starts_a_word.search(city) or starts_a_word.search(name):
        return 2
    if query in city or query in name:
        return 3
    return None


def load_airports():
    """The airports that have an IATA code."""
    try:
        import airportsdata
    except ImportError as exc:
        raise UserError("the airport table is not available: {}".format(exc))
    return [airport for airport in airportsdata.load("IATA").values() if airport["iata"]]


def find_airports(query, airports):
    """The AIRPORTS whose city or name matches QUERY, best matches first.

    A city that is the query comes first, then cities that begin with it, then cities
    and names with a word that begins with it, then any other that holds it; within
    each group by city, name and code.
    """
    wanted = folded(query)
    if not wanted:
        raise UserError("--find-airport needs a city or airport name")
    starts_a_word = re.compile(r"\b" + re.escape(wanted))
    found = []
    for airport in airports:
        rank = match_rank(wanted, starts_a_word, folded(airport["city"]), folded(airport["name"]))
        if rank is not None:
            found.append((rank, airport["city"], airport["name"], airport["iata"], airport))
    found.sort(key=lambda entry: entry[:4])
    return [entry[-1] for entry in found]
