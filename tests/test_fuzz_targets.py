"""The fuzz targets in fuzz/ outside the fuzzer: they pass on their seeds and on random bytes,
they catch a native function that answers differently, and their builders reach the odd
shapes.  (The fuzzing itself is ./dev fuzz.)"""

import locale
import random

import pytest

from conftest import ROOT

pytest.importorskip("tavimo.questions")
from fuzz import harness, targets  # noqa: E402  (after the check that both modules are built)

TARGETS = sorted(targets.TARGETS)


def inputs(target, count=150):
    seeds = sorted((ROOT / "fuzz" / "corpus" / target).glob("*"))
    rnd = random.Random(target)
    return [seed.read_bytes() for seed in seeds] + [
        rnd.randbytes(rnd.randrange(0, 200))
        if hasattr(rnd, "randbytes")
        else bytes(rnd.randrange(256) for _ in range(rnd.randrange(0, 200)))
        for _ in range(count)
    ]


@pytest.fixture
def c_time_locale():
    previous = locale.setlocale(locale.LC_TIME)
    yield
    locale.setlocale(locale.LC_TIME, previous)


@pytest.mark.parametrize("target", TARGETS)
def test_targets_pass_on_their_seeds_and_random_bytes(target, c_time_locale):
    run = targets.TARGETS[target][0]
    for data in inputs(target):
        run(data)


def wrong_in_every_way(*args, **kwargs):
    raise RuntimeError("not the native answer")


def test_a_wrong_native_brasco_is_caught(monkeypatch, c_time_locale):
    for name in ("route_details", "get_ret_times", "i_parser"):
        monkeypatch.setattr(harness.brasco, name, wrong_in_every_way)
    for target in ("display_times", "records"):
        with pytest.raises(AssertionError):
            for data in inputs(target, 20):
                targets.TARGETS[target][0](data)


def test_a_wrong_native_question_is_caught(monkeypatch):
    class Wrong:
        validate = wrong_in_every_way

    for name in targets.VALIDATORS:
        monkeypatch.setattr(harness.questions, name, Wrong)
    monkeypatch.setattr(harness.questions, "get_questions", wrong_in_every_way)
    monkeypatch.setattr(targets, "FILTERS", [wrong_in_every_way])
    caught = 0
    for data in inputs("questions", 60):
        try:
            targets.questions_target(data)
        except harness.Mismatch:
            caught += 1
    assert caught > 40


def test_plain_functions_in_place_of_the_native_ones_bind_differently(monkeypatch):
    # The host's own texts for too many positional arguments and repeated keywords are not
    # the native ones, and a body that returns None is not the rendition's.
    plain = {
        "route_details": targets.plain_route_details,
        "i_parser": targets.plain_i_parser,
        "get_ret_times": targets.plain_get_ret_times,
    }
    for name, function in plain.items():
        monkeypatch.setattr(harness.brasco, name, function)
    mismatches = []
    for data in inputs("binding", 300):
        try:
            targets.binding_target(data)
        except harness.Mismatch as error:
            mismatches.append(str(error).split(" ")[0])
    assert {"binding", "body"} <= set(mismatches)


@pytest.mark.parametrize(
    "name, given, keywords, text",
    [
        ("i_parser", 3, [], "i_parser() takes at most 2 positional arguments (3 given)"),
        ("get_ret_times", 2, [], "get_ret_times() takes at most 1 positional argument (2 given)"),
        (
            "route_details",
            1,
            ["route_plan"],
            "route_details() got multiple values for keyword argument 'route_plan'",
        ),
        (
            "route_details",
            1,
            ["leg", "route_plan", "bogus"],
            "route_details() got multiple values for keyword argument 'route_plan'",
        ),
        ("i_parser", 0, ["round"], "i_parser() got an unexpected keyword argument 'round'"),
        ("validate", 3, [], "validate() takes exactly 2 positional arguments (3 given)"),
        ("validate", 1, [], "validate() takes exactly 2 positional arguments (1 given)"),
        ("validate", 0, ["document"], "validate() takes exactly 2 positional arguments (0 given)"),
        ("validate", 1, ["document"], None),
        ("lambda2", 2, [], "lambda2() takes exactly one argument (2 given)"),
        ("lambda2", 1, ["x"], "lambda2() takes no keyword arguments"),
        ("__init__", 1, [], "__init__() takes exactly one argument (2 given)"),
        ("__init__", 0, [], None),
    ],
)
def test_documented_binding_failures(name, given, keywords, text):
    binding = next(b for b in targets.BINDINGS if b.name == name)
    assert targets.documented_binding_failure(binding, given, keywords) == text


def test_the_record_builder_reaches_the_odd_shapes():
    kinds = set()

    def walk(value, depth=0):
        kinds.add(type(value).__name__)
        if depth < 6 and isinstance(value, (list, tuple, dict)):
            items = value.items() if isinstance(value, dict) else enumerate(value)
            for _, item in items:
                walk(item, depth + 1)

    rnd = random.Random(7)
    for _ in range(1000):
        draw = harness.Draw(harness.BytesProvider(bytes(rnd.randrange(256) for _ in range(300))))
        try:
            walk(harness.build(harness.search_result(draw)))
        except UnicodeEncodeError:
            pass
    assert {
        "dict",
        "ReadOnly",
        "FailsOn",
        "Defaulting",
        "list",
        "tuple",
        "list_iterator",
        "Pairs",
        "Text",
        "Sliceable",
        "FailingBool",
        "Decimal",
        "Seconds",
        "FailingInt",
        "float",
        "int",
        "str",
        "NoneType",
        "bytes",
        "deque",
    } <= kinds


def test_near_iso_texts_are_mostly_near():
    rnd = random.Random(3)
    texts = [
        harness.near_iso(
            harness.Draw(harness.BytesProvider(bytes(rnd.randrange(256) for _ in range(60))))
        )
        for _ in range(300)
    ]
    parsed = 0
    for text in texts:
        try:
            harness.rendition.datetime.fromisoformat(text[:-1])
            parsed += 1
        except ValueError:
            pass
    assert 30 < parsed < len(texts)


def test_the_second_time_locale_is_found_as_the_display_times_target_finds_it():
    previous = locale.setlocale(locale.LC_TIME)
    try:
        found = harness.second_time_locale()
    finally:
        locale.setlocale(locale.LC_TIME, previous)
    assert found is None or isinstance(found[0], str)
