"""Finding airports by code, city or name, in the airport table of the airportsdata package.

Loading that table takes about half a second, so the airports with an IATA code are kept,
already folded for comparison, in an index file in the user's cache directory
($XDG_CACHE_HOME/tavimo, or ~/.cache/tavimo).  The file's name carries a key made from the
installed table's files, so a new airportsdata version makes a new index, in place of the
one that environment had.  Where the cache
cannot be written the index is simply built again for every query.
"""
import json
import os
import re
import unicodedata

from tavimo.errors import UserError

INDEX_FORMAT = 2  # raised whenever the entries below change
# Letters that carry no separable accent but that people type without one all the same.
PLAIN_LETTERS = str.maketrans({
    "ł": "l", "đ": "d", "ð": "d", "ø": "o", "ħ": "h", "ı": "i", "ŧ": "t",
    "æ": "ae", "œ": "oe", "þ": "th", "-": " ",
})


def folded(text):
    """TEXT as compared: case, accents, hyphens and runs of blanks do not count."""
    decomposed = unicodedata.normalize("NFKD", text.casefold())
    plain = "".join(char for char in decomposed if not unicodedata.combining(char))
    return " ".join(plain.translate(PLAIN_LETTERS).split())


def table_files():
    """The files of the installed airportsdata package, found without importing it."""
    import importlib.util
    spec = importlib.util.find_spec("airportsdata")
    if spec is None or not spec.origin:
        raise UserError("the airport table is not available: the airportsdata package is "
                        "not installed")
    folder = os.path.dirname(spec.origin)
    return [spec.origin, os.path.join(folder, "airports.csv")]


def digest(text):
    import zlib  # (hashlib costs more to import than the whole query)
    return "{:08x}".format(zlib.crc32(text.encode("utf-8", "surrogateescape")))


def index_name(files):
    """The index file's name: "airports-PLACE-STATE.json", where PLACE stands for the
    installed table's folder (each environment keeps an index of its own) and STATE
    changes with the table (its files' sizes and times)."""
    state = [str(INDEX_FORMAT)]
    for path in files:
        try:
            status = os.stat(path)
        except OSError:
            continue
        state.append("{}:{}".format(status.st_size, status.st_mtime_ns))
    return "airports-{}-{}.json".format(digest(os.path.dirname(files[0])),
                                        digest("|".join(state)))


def cache_dir():
    base = os.environ.get("XDG_CACHE_HOME")
    if not base or not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tavimo")


def build_index():
    """Every airport with an IATA code: [code, name, city, country, folded city, folded
    name, airports of its city, airports of every city of that name]; a city is its
    folded name within its country."""
    try:
        import airportsdata
        table = airportsdata.load("IATA")
    except ImportError as exc:
        raise UserError("the airport table is not available: {}".format(exc))
    entries = []
    per_city, per_name = {}, {}
    for airport in table.values():
        if not airport["iata"]:
            continue
        city, country = folded(airport["city"]), airport["country"]
        per_city[city, country] = per_city.get((city, country), 0) + 1
        per_name[city] = per_name.get(city, 0) + 1
        entries.append([airport["iata"], airport["name"], airport["city"], country, city,
                        folded(airport["name"])])
    for entry in entries:
        entry += [per_city[entry[4], entry[3]], per_name[entry[4]]]
    return entries


def save_index(folder, name, entries):
    """Write the index atomically, in place of the environment's older one; any failure
    only costs speed."""
    try:
        os.makedirs(folder, exist_ok=True)
        temporary = os.path.join(folder, ".{}.{}".format(name, os.getpid()))
        with open(temporary, "w", encoding="utf-8") as file:
            json.dump(entries, file, ensure_ascii=False, separators=(",", ":"))
        os.replace(temporary, os.path.join(folder, name))
        place = name.rsplit("-", 1)[0] + "-"
        for other in os.listdir(folder):
            if other.startswith(place) and other != name:
                os.remove(os.path.join(folder, other))
    except OSError:
        pass


def load_index():
    """The airport index, from the cache when it holds the one of the installed table."""
    folder = cache_dir()
    name = index_name(table_files())
    try:
        with open(os.path.join(folder, name), "rb") as file:
            return json.loads(file.read())
    except (OSError, ValueError):
        pass
    entries = build_index()
    save_index(folder, name, entries)
    return entries


def match_rank(query, code, starts_a_word, city, name):
    """How well the folded QUERY matches an airport's CODE (lower case) and folded CITY
    and NAME: lower is better, None is no match.  STARTS_A_WORD finds the query at the
    start of a word."""
    if code == query:
        return 0
    if city == query:
        return 1
    if city.startswith(query):
        return 2
    if starts_a_word.search(city) or starts_a_word.search(name):
        return 3
    if query in city or query in name:
        return 4
    return None


def find_airports(query, index):
    """The airports of INDEX that match QUERY, best first: as entries [code, name, city,
    country, ...].

    The airport whose code is the query comes first, then airports of the city that is the
    query, then of cities that begin with it, then cities and names with a word that
    begins with it, then any other that holds it.  Within each group the cities whose name
    has more airports come first (the Londons' nine before Londolovit's one), then by city,
    the cities of that name with more airports first (London in GB before London in
    Canada), then by name and code.
    """
    wanted = folded(query)
    if not wanted:
        raise UserError("give a city, an airport name or an IATA code to look for")
    starts_a_word = re.compile(r"\b" + re.escape(wanted))
    found = []
    for entry in index:
        code, name, city, country, folded_city, folded_name, in_city, of_name = entry
        rank = match_rank(wanted, code.lower(), starts_a_word, folded_city, folded_name)
        if rank is not None:
            found.append((rank, -of_name, folded_city, -in_city, country, name, code, entry))
    found.sort(key=lambda item: item[:7])
    return [item[-1] for item in found]
