"""Finding airports by code, city or name, in the airport table of the airportsdata package.

Loading that table takes about half a second, so the airports with an IATA code are kept,
already folded for comparison, in an index file in the user's cache directory
($XDG_CACHE_HOME/tavimo, or ~/.cache/tavimo).  The file's name carries a key made from the
installed table's files, so a new airportsdata version makes a new index, in place of the
one that environment had.  An index file that is not what this module writes (truncated,
emptied, of another shape) is made again; it is written to a temporary file beside it and
renamed, so that no reader ever sees half of one.  Where the cache cannot be written the
index is simply built again for every query.

The table knows no airport's size, so the ranking uses what it does know: the airports of a
metropolitan area (IATA's multi-airport cities: LON, NYC, ...) come first, the busiest of
them first where METROS below orders them, then airports whose name says "international".
"""

import json
import os
import re
import unicodedata

from tavimo.errors import UserError

INDEX_FORMAT = 3  # raised whenever the entries below change
# Letters that carry no separable accent but that people type without one all the same.
PLAIN_LETTERS = str.maketrans(
    {
        "ł": "l",
        "đ": "d",
        "ð": "d",
        "ø": "o",
        "ħ": "h",
        "ı": "i",
        "ŧ": "t",
        "æ": "ae",
        "œ": "oe",
        "þ": "th",
        "-": " ",
    }
)

# Metropolitan areas whose airports the table lists in no useful order, or not all of: the
# airports of each, the busiest first.  Those of the other metropolitan areas of the table
# follow its own order.  (EWR and BWI serve New York and Washington in IATA's terms, but
# the table places them in Newark and Baltimore.)
METROS = {
    "NYC": ("New York", ["JFK", "EWR", "LGA"]),
    "WAS": ("Washington", ["IAD", "DCA", "BWI"]),
    "LON": ("London", ["LHR", "LGW", "STN", "LTN", "LCY"]),
    "PAR": ("Paris", ["CDG", "ORY"]),
    "ROM": ("Rome", ["FCO", "CIA"]),
    "MIL": ("Milan", ["MXP", "BGY", "LIN"]),
    "CHI": ("Chicago", ["ORD", "MDW"]),
    "TYO": ("Tokyo", ["HND", "NRT"]),
    "OSA": ("Osaka", ["KIX", "ITM", "UKB"]),
    "SEL": ("Seoul", ["ICN", "GMP"]),
    "BJS": ("Beijing", ["PEK", "PKX"]),
    "SHA": ("Shanghai", ["PVG", "SHA"]),
    "MOW": ("Moscow", ["SVO", "DME", "VKO"]),
    "STO": ("Stockholm", ["ARN", "BMA"]),
    "IST": ("Istanbul", ["IST", "SAW", "ISL"]),
    "SAO": ("Sao Paulo", ["GRU", "CGH", "VCP"]),
    "BUE": ("Buenos Aires", ["EZE", "AEP"]),
    "YTO": ("Toronto", ["YYZ", "YTZ"]),
    "DFW": ("Dallas", ["DFW", "DAL"]),
    "HOU": ("Houston", ["IAH", "HOU"]),
    "DXB": ("Dubai", ["DXB", "DWC"]),
    "TCI": ("Tenerife", ["TFS", "TFN"]),
    "THR": ("Tehran", ["IKA", "THR"]),
    "ANK": ("Ankara", ["ESB", "ANK"]),
    "IEV": ("Kyiv", ["KBP", "IEV"]),
    "DKR": ("Dakar", ["DSS", "DKR"]),
    "SLU": ("St Lucia", ["UVF", "SLU"]),
}

# Names of a city in its own language (or another that travellers use) that the table may
# not give, each group folded: a query for one name also looks for the others.
CITY_NAMES = [
    {"munich", "munchen"},
    {"cologne", "koln"},
    {"nuremberg", "nurnberg"},
    {"hanover", "hannover"},
    {"vienna", "wien"},
    {"prague", "praha"},
    {"warsaw", "warszawa"},
    {"krakow", "cracow"},
    {"rome", "roma"},
    {"milan", "milano"},
    {"turin", "torino"},
    {"naples", "napoli"},
    {"florence", "firenze"},
    {"venice", "venezia"},
    {"genoa", "genova"},
    {"lisbon", "lisboa"},
    {"seville", "sevilla"},
    {"brussels", "bruxelles", "brussel"},
    {"antwerp", "antwerpen"},
    {"the hague", "den haag"},
    {"copenhagen", "kobenhavn"},
    {"gothenburg", "goteborg"},
    {"geneva", "geneve", "genf"},
    {"athens", "athina"},
    {"bucharest", "bucuresti"},
    {"belgrade", "beograd", "belgrad"},
    {"moscow", "moskva"},
    {"kyiv", "kiev"},
    {"saint petersburg", "st petersburg", "sankt peterburg"},
    {"mexico city", "ciudad de mexico"},
    {"beijing", "peking"},
    {"cairo", "al qahirah"},
    {"mumbai", "bombay"},
    {"basel", "bale"},
]

# One airport in the index, as a list of these fields, in this order.
FIELDS = (
    "iata",
    "name",
    "city",
    "country",
    "metro",  # the code of its metropolitan area, or ""
    "cities",  # the folded names of its city and of its metropolitan area, a line each
    "folded_name",
    "in_city",
    "of_name",
    "standing",  # lower for the busier: see standing()
    "details",  # DETAILS, tab-separated: only shown, never compared
)
(IATA, NAME, CITY, COUNTRY, METRO, CITIES, FOLDED_NAME, IN_CITY, OF_NAME, STANDING, DETAILS) = (
    range(len(FIELDS))
)
FIELD_TYPES = (str, str, str, str, str, str, str, int, int, int, str)
DETAILS_FIELDS = ("icao", "subdivision", "timezone", "latitude", "longitude")
# The fields shown by `tavimo airports -f json` and `-f tsv`, in this order.
SHOWN = (
    "iata",
    "icao",
    "name",
    "city",
    "subdivision",
    "country",
    "metro",
    "timezone",
    "latitude",
    "longitude",
)


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
        raise UserError(
            "the airport table is not available: the airportsdata package is not installed"
        )
    folder = os.path.dirname(spec.origin)
    return [
        spec.origin,
        os.path.join(folder, "airports.csv"),
        os.path.join(folder, "iata_macs.csv"),
    ]


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
    return "airports-{}-{}.json".format(digest(os.path.dirname(files[0])), digest("|".join(state)))


def cache_dir():
    base = os.environ.get("XDG_CACHE_HOME")
    if not base or not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tavimo")


def metro_areas(airportsdata):
    """Code -> (city name, its airports' codes, the busiest first), from METROS and from
    the table's multi-airport cities (where the package has them: the airport of the
    area's code first)."""
    metros = {}
    load = getattr(airportsdata, "load_iata_macs", None)
    try:
        table = load() if load else {}
    except (LookupError, ValueError):  # an area's airport missing from the table itself
        table = {}
    for code, metro in table.items():
        metros[code] = (
            metro["name"],
            sorted(metro["airports"], key=lambda airport: (airport != code, airport)),
        )
    metros.update(METROS)
    return metros


def standing(name, position):
    """Lower for the busier airport: POSITION among its metropolitan area's (None outside
    one), else whether its NAME (folded) says it is international."""
    if position is not None:
        return position
    return 10 if re.search(r"\b(international|intl)\b", name) else 11


def build_index():
    """Every airport with an IATA code, as a list of FIELDS; a city is its folded name
    within its country."""
    try:
        import airportsdata

        table = airportsdata.load("IATA")
        metros = metro_areas(airportsdata)
    except ImportError as exc:
        raise UserError("the airport table is not available: {}".format(exc))
    member = {}  # airport code -> (metro code, folded metro name, position)
    for code, (city, members) in metros.items():
        for position, airport in enumerate(members):
            member.setdefault(airport, (code, folded(city), position))
    entries = []
    per_city, per_name = {}, {}
    for airport in table.values():
        code = airport["iata"]
        if not code:
            continue
        city, country = folded(airport["city"]), airport["country"]
        per_city[city, country] = per_city.get((city, country), 0) + 1
        per_name[city] = per_name.get(city, 0) + 1
        metro, metro_city, position = member.get(code, ("", city, None))
        cities = city if metro_city == city else city + "\n" + metro_city
        name = folded(airport["name"])
        details = "\t".join(
            " ".join(str(airport[key]).split()) for key in ("icao", "subd", "tz", "lat", "lon")
        )
        entries.append(
            [
                code,
                airport["name"],
                airport["city"],
                country,
                metro,
                cities,
                name,
                0,
                0,
                standing(name, position),
                details,
            ]
        )
    for entry in entries:
        city = entry[CITIES].split("\n")[0]
        entry[IN_CITY], entry[OF_NAME] = per_city[city, entry[COUNTRY]], per_name[city]
    return entries


def save_index(folder, name, entries):
    """Write the index atomically, in place of the environment's older one: into a
    temporary file beside it, then renamed, so that a full disk leaves nothing behind.  Any
    failure only costs speed."""
    import tempfile

    try:
        os.makedirs(folder, exist_ok=True)
        handle, temporary = tempfile.mkstemp(prefix="." + name + ".", dir=folder)
    except OSError:
        return
    try:
        body = json.dumps(entries, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        with open(handle, "wb") as file:
            file.write(index_header(body) + b"\n" + body)
        os.replace(temporary, os.path.join(folder, name))
    except OSError:
        try:
            os.remove(temporary)
        except OSError:
            pass
        return
    place = name.rsplit("-", 1)[0] + "-"
    try:
        for other in os.listdir(folder):
            if other.startswith(place) and other != name:
                os.remove(os.path.join(folder, other))
    except OSError:
        pass


def index_header(body):
    """The first line of an index file: its format, and a checksum of the BODY after it."""
    import zlib

    return '{{"format":{},"crc32":{}}}'.format(INDEX_FORMAT, zlib.crc32(body)).encode("ascii")


def read_index(path):
    """The airports of the index file at PATH, or None where it cannot be read or is not
    whole: its checksum tells a file cut short, emptied or changed since it was written."""
    try:
        with open(path, "rb") as file:
            header, _, body = file.read().partition(b"\n")
        if header != index_header(body):
            return None
        entries = json.loads(body)
    except (OSError, ValueError, RecursionError):
        return None
    # The checksum stands for the rest: its ends are checked only against a file written
    # whole by another program.
    if (
        type(entries) is not list
        or not entries
        or not all(map(well_formed, entries[:: len(entries) - 1 or 1]))
    ):
        return None
    return entries


def well_formed(entry):
    return (
        type(entry) is list
        and len(entry) == len(FIELD_TYPES)
        and all(map(isinstance, entry, FIELD_TYPES))
    )


def load_index():
    """The airport index, from the cache when it holds a sound one of the installed table."""
    folder = cache_dir()
    name = index_name(table_files())
    entries = read_index(os.path.join(folder, name))
    if entries is None:
        entries = build_index()
        save_index(folder, name, entries)
    return entries


def known_codes(index):
    """Every airport code and metropolitan-area code of INDEX."""
    codes = {entry[IATA] for entry in index}
    codes.update(entry[METRO] for entry in index if entry[METRO])
    return codes


def search_texts(wanted):
    """The folded query WANTED, and the other names of the city it names."""
    for names in CITY_NAMES:
        if wanted in names:
            return sorted(names, key=lambda name: name != wanted)
    return [wanted]


def match_rank(query, code, entry, starts_a_word):
    """How well the folded QUERY (CODE in capitals) matches an airport ENTRY: lower is
    better, None is no match.  STARTS_A_WORD finds the query at the start of a word."""
    if entry[IATA] == code:
        return 0
    if entry[METRO] == code:
        return 1
    cities, name = entry[CITIES], entry[FOLDED_NAME]
    if query not in cities and query not in name:
        return None  # the way of most airports, so the first to be tried
    lines = cities.split("\n")
    if query in lines:
        return 2
    if any(city.startswith(query) for city in lines):
        return 3
    if starts_a_word.search(cities) or starts_a_word.search(name):
        return 4
    return 5


def ranked(rank, entry):
    """The sort key of a match: the airport of the code, then the metropolitan area's,
    then those of the city named, the busiest first; then the others by city, the cities
    whose name has more airports first, and the cities of that name with more airports
    first."""
    city = entry[CITIES].split("\n")[0]
    if rank <= 2:
        order = (entry[STANDING], -entry[IN_CITY], entry[COUNTRY], city)
    else:
        order = (-entry[OF_NAME], city, -entry[IN_CITY], entry[COUNTRY], entry[STANDING])
    return (rank,) + order + (entry[NAME], entry[IATA])


def find_airports(query, index):
    """The airports of INDEX that match QUERY, best first: as index entries (FIELDS).

    The airport whose code is the query comes first, then the airports of the
    metropolitan area of that code, then airports of the city that is the query (by any of
    its names), then of cities that begin with it, then cities and names with a word that
    begins with it, then any other that holds it.
    """
    wanted = folded(query)
    if not wanted:
        raise UserError("give a city, an airport name or an IATA code to look for")
    texts = [
        (text, text.upper(), re.compile(r"\b" + re.escape(text))) for text in search_texts(wanted)
    ]
    found = []
    for entry in index:
        ranks = [
            rank
            for rank in (match_rank(text, code, entry, starts) for text, code, starts in texts)
            if rank is not None
        ]
        if ranks:
            found.append(ranked(min(ranks), entry) + (entry,))
    found.sort(key=lambda item: item[:-1])
    return [item[-1] for item in found]


def names_a_city(query, index):
    """Whether QUERY is an airport or metropolitan-area code, or the name of a city."""
    wanted = folded(query)
    texts = search_texts(wanted) if wanted else []
    for text in texts:
        code = text.upper()
        if any(
            entry[IATA] == code or entry[METRO] == code or text in entry[CITIES].split("\n")
            for entry in index
        ):
            return True
    return False


def shown(entry):
    """The fields of ENTRY that are shown (SHOWN), by name: texts, the latitude and
    longitude numbers, None for a field the table leaves empty."""
    fields = dict(zip(FIELDS, entry))
    fields.update(zip(DETAILS_FIELDS, entry[DETAILS].split("\t")))
    for key in ("latitude", "longitude"):
        fields[key] = float(fields[key]) if fields[key] else None
    return {name: fields[name] if fields[name] != "" else None for name in SHOWN}
