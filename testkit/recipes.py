"""Hostile values and recipes for inputs, shared by the differential tests and the fuzz
targets.

A recipe is a plain nested tuple that says how to build an input; build() makes fresh
objects from it each time, so that the native function and the rendition each get their own
(one-shot iterators, mutating mappings and counters behave the same for both).  The hostile
values raise or return the same thing on every build, so that both runs meet the same
behaviour.
"""

import collections
import decimal
import enum
from collections.abc import Mapping

from testkit.samples import Pairs

try:
    import tavimo.questions as questions
except ImportError:  # not built yet
    questions = None


# ------------------------------------------------------------------------------------------
# Hostile values.  Each raises or returns the same thing on every build, so that both runs
# meet the same behaviour.


class Boom(Exception):
    pass


class FailingBool:
    def __bool__(self):
        raise Boom("truth test")

    def __repr__(self):
        return "FailingBool()"


class FailingEq:
    def __eq__(self, other):
        raise Boom("equality")

    __hash__ = object.__hash__

    def __bool__(self):
        return True


class EqualsFailingBool:
    """Compares to anything as an object whose truth test fails."""

    def __eq__(self, other):
        return FailingBool()

    __hash__ = object.__hash__


class FailingFormat:
    def __format__(self, how):
        raise Boom("format")

    def __str__(self):
        return "formatless"


class FailingStr:
    def __str__(self):
        raise Boom("str")

    def __format__(self, how):
        return "formatted"


class Text(str):
    """A str subclass that must never be formatted again once it is a display text."""

    def __format__(self, how):
        return Text("<" + str.__str__(self) + ">")

    def __str__(self):
        return Text("[" + str.__str__(self) + "]")

    def __radd__(self, other):
        raise Boom("radd")


class Number(int):
    """An int subclass that displays and converts to text in its own ways."""

    def __format__(self, how):
        return "formatted %d" % self

    def __str__(self):
        return "text %d" % self


class Color(enum.IntEnum):
    RED = 1  # f"{Color.RED}" is "1", str(Color.RED) is "Color.RED"


class Ratio(float):
    def __format__(self, how):
        return "ratio"


class Sliceable:
    """Not a str, but sliceable into one."""

    def __init__(self, text):
        self.text = text

    def __getitem__(self, key):
        return self.text[key]


class FailingSlice:
    def __getitem__(self, key):
        raise Boom("subscript")


class Seconds:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class FailingInt:
    def __int__(self):
        raise Boom("int")


class ReadOnly(Mapping):
    """A mapping that is not a dict: read through its own subscription."""

    def __init__(self, entries):
        self._entries = dict(entries)

    def __getitem__(self, key):
        return self._entries[key]

    def __iter__(self):
        return iter(self._entries)

    def __len__(self):
        return len(self._entries)


class Defaulting(dict):
    """A dict subclass whose missing keys read as a fixed value."""

    def __missing__(self, key):
        return "missing " + key


class FailsOn(dict):
    """A dict subclass whose subscription fails for one key."""

    def __init__(self, entries, key):
        super().__init__(entries)
        self.failing_key = key

    def __getitem__(self, key):
        if key == self.failing_key:
            raise Boom("reading " + key)
        return super().__getitem__(key)


class FailingItems:
    def items(self):
        raise Boom("items")


class Mutating:
    """An amount whose str() changes the conversion dict that holds it."""

    def __init__(self, table, mode):
        self.table, self.mode = table, mode

    def __str__(self):
        if self.mode == "grow":
            self.table["NEW"] = 1
        elif self.mode == "shrink" and len(self.table) > 1:
            self.table.pop(next(k for k in self.table if self.table[k] is not self))
        elif self.mode == "replace":
            for key in self.table:
                if self.table[key] is not self:
                    self.table[key] = 99
        return "7"


# ------------------------------------------------------------------------------------------
# Recipes: plain nested tuples that say how to build an input.  build() makes fresh objects.


def build(recipe):
    if not isinstance(recipe, tuple) or not recipe or not isinstance(recipe[0], str):
        return recipe
    kind, *rest = recipe
    if kind == "value":
        return rest[0]
    if kind == "dict":
        return {build(key): build(value) for key, value in rest[0]}
    if kind == "list":
        return [build(item) for item in rest[0]]
    if kind == "tuple":
        return tuple(build(item) for item in rest[0])
    if kind == "iter":
        return iter([build(item) for item in rest[0]])
    if kind == "readonly":
        return ReadOnly((key, build(value)) for key, value in rest[0])
    if kind == "defaulting":
        return Defaulting((key, build(value)) for key, value in rest[0])
    if kind == "fails_on":
        return FailsOn(((key, build(value)) for key, value in rest[0]), rest[1])
    if kind == "pairs":
        return Pairs(build(rest[0]))
    if kind == "mutating":
        entries, mode = rest
        table = {build(key): build(value) for key, value in entries}
        table["MUT"] = Mutating(table, mode)
        return table
    if kind == "object":
        return OBJECTS[rest[0]](*rest[1:])
    raise AssertionError(f"unknown recipe {kind}")


OBJECTS = {
    "FailingBool": FailingBool,
    "FailingEq": FailingEq,
    "EqualsFailingBool": EqualsFailingBool,
    "FailingFormat": FailingFormat,
    "FailingStr": FailingStr,
    "Text": Text,
    "Sliceable": Sliceable,
    "FailingSlice": FailingSlice,
    "Seconds": Seconds,
    "FailingInt": FailingInt,
    "FailingItems": FailingItems,
    "deque": lambda text: collections.deque(text),
    "bytes": lambda text: text.encode(),
    "Decimal": decimal.Decimal,
    "Number": Number,
    "Color": lambda: Color.RED,
    "Ratio": Ratio,
}


def obj(name, *args):
    return ("object", name) + args


# The keys of a leg, in the order the flight search gives them.
LEG_KEYS = (
    "cityFrom",
    "flyFrom",
    "cityTo",
    "flyTo",
    "local_departure",
    "local_arrival",
    "flight_no",
    "airline",
    "operating_carrier",
    "operating_flight_no",
    "return",
)


# ------------------------------------------------------------------------------------------
# Documents for the validators, and what a validation came to


class Document:
    def __init__(self, text):
        self.text = text


class CountingDocument:
    """A document whose text changes at every read."""

    def __init__(self, texts):
        self.texts, self.reads = list(texts), 0

    @property
    def text(self):
        self.reads += 1
        return self.texts[min(self.reads, len(self.texts)) - 1]


class ValueErrorDocument:
    @property
    def text(self):
        raise ValueError("no text")


def validation_outcome(call):
    try:
        result = call()
    except Exception as exc:
        context = type(exc.__context__) if exc.__context__ is not None else None
        if questions is not None and isinstance(exc, questions.ValidationError):
            return ("rejected", type(exc), exc.message, exc.cursor_position, context)
        return ("raised", type(exc), str(exc), context)
    return ("accepted", result)
