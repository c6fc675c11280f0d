"""The fuzz targets: each takes the fuzzer's bytes, builds an input from them and holds the
native modules to the plain-Python rendition (harness.Mismatch on any difference).

- display_times: any text, and texts near the ISO layouts, as the times of return legs
  through get_ret_times and route_details, against the host's fromisoformat and strftime,
  under the C locale and under a second LC_TIME locale;
- records: route_details, get_ret_times and i_parser (one-way and round trip) on records
  built field by field: legs, times, durations, conversions and odd types;
- questions: the validators, the filters and get_questions on any text and odd answers;
- binding: every public function called with any number of positional arguments and any
  keywords, against the binding rules (and a plain Python function of the same signature
  where its texts are the same), then the body against the rendition.
"""

import functools
import locale
import os

from fuzz import harness
from fuzz.harness import Draw, Mismatch, build, compare_brasco, obj, require_equal
from testkit import recipes

# ------------------------------------------------------------------------------------------
# display_times

_locales = {"C": ("C", None)}


def prepare_display_times():
    other = harness.second_time_locale()
    if other is None:
        print("fuzz: no second LC_TIME locale could be had; display_times runs under C only")
    else:
        _locales["other"] = other


def use_time_locale(name):
    locale_name, locpath = _locales[name]
    if locpath is not None:
        os.environ["LOCPATH"] = locpath
    locale.setlocale(locale.LC_TIME, locale_name)


def display_times(data):
    draw = Draw(harness.provider(data))
    use_time_locale(draw.pick(sorted(_locales)))
    texts = [(harness.time_text(draw), harness.time_text(draw)) for _ in range(draw.int(1, 3))]
    plan = (
        "list",
        [
            (
                "dict",
                [
                    (
                        key,
                        departure
                        if key == "local_departure"
                        else arrival
                        if key == "local_arrival"
                        else 1
                        if key == "return"
                        else "X",
                    )
                    for key in harness.LEG_KEYS
                ],
            )
            for departure, arrival in texts
        ],
    )
    compare_brasco("get_ret_times", [plan])
    compare_brasco("route_details", [plan, None])


# ------------------------------------------------------------------------------------------
# records


def records(data):
    draw = Draw(harness.provider(data))
    which = draw.int(0, 3)
    if which == 0:
        compare_brasco(
            "route_details", [harness.route_plan(draw), draw.pick(["outbound", "inbound", None, 3])]
        )
    elif which == 1:
        compare_brasco("get_ret_times", [harness.route_plan(draw)])
    else:
        round_trip = True if which == 3 else draw.pick(harness.ROUND_TRIPS)
        compare_brasco("i_parser", [harness.search_result(draw), round_trip])


# ------------------------------------------------------------------------------------------
# questions

VALIDATORS = {
    "IataCodeValidator": harness.rendition.validate_iata_code,
    "DateValidator": harness.rendition.validate_date,
    "NumberValidator": harness.rendition.validate_number,
}
FILTERS = [record["filter"] for record in harness.questions.one_way_questions if "filter" in record]


def answer_text(draw):
    return draw.one_of(
        lambda: draw.text(16),
        lambda: "%02d/%02d/%04d" % (draw.int(0, 32), draw.int(0, 13), draw.int(0, 10001)),
        lambda: "29/02/%d" % draw.int(1800, 2500),
        lambda: (
            draw.pick(["", " ", "\t", "\u3000", "+", "-"])
            + str(draw.provider.ConsumeInt(12))
            + draw.pick(["", " ", "\n", "_0", "0_"])
        ),
        lambda: "".join(draw.pick("abcxyzABCXYZÅé1 \n-٣") for _ in range(draw.int(0, 5))),
    )


def answer(draw):
    shape = draw.int(0, 9)
    if shape < 7:
        return answer_text(draw)
    if shape == 7:
        return obj("Text", answer_text(draw))
    return draw.pick(
        [
            None,
            5,
            5.5,
            b"123",
            True,
            ("list", ["1"]),
            obj("Number", 3),
            obj("Decimal", "2"),
            obj("FailingInt"),
        ]
    )


def questions_target(data):
    draw = Draw(harness.provider(data))
    namespace = vars(harness.questions)
    which = draw.int(0, 2)
    if which == 0:
        name = draw.pick(sorted(VALIDATORS))
        recipe = answer(draw)
        kind = draw.pick(["plain", "plain", "plain", "counting", "missing", "value_error"])
        document = functools.partial(make_document, kind, recipe)
        native = recipes.validation_outcome(
            lambda: getattr(harness.questions, name)().validate(document())
        )
        expected = recipes.validation_outcome(lambda: VALIDATORS[name](namespace, document()))
        require_equal(name, native, expected, (recipe, kind))
    elif which == 1:
        recipe = answer(draw)
        function = draw.pick(FILTERS)
        native = recipes.validation_outcome(lambda: function(build(recipe)))
        expected = recipes.validation_outcome(lambda: harness.rendition.count_filter(build(recipe)))
        require_equal("filter", native, expected, recipe)
    else:
        recipe = draw.pick(
            [
                True,
                False,
                None,
                0,
                1,
                -1,
                0.0,
                "",
                "no",
                ("list", []),
                ("list", [0]),
                obj("FailingBool"),
                obj("Decimal", "0"),
                draw.text(3),
                draw.number(),
            ]
        )
        native = recipes.validation_outcome(lambda: harness.questions.get_questions(build(recipe)))
        expected = recipes.validation_outcome(
            lambda: harness.rendition.get_questions(namespace, build(recipe))
        )
        require_equal("get_questions", identities(native), identities(expected), recipe)


def make_document(kind, recipe):
    if kind == "plain":
        return recipes.Document(build(recipe))
    if kind == "counting":
        return recipes.CountingDocument([build(recipe), "LHR", "29/02/2000", "12"])
    if kind == "missing":
        return object()
    return recipes.ValueErrorDocument()


def identities(outcome):
    """A list of question records by the identities of its records."""
    if outcome[0] == "accepted":
        return ("accepted", [id(record) for record in outcome[1]])
    return outcome


# ------------------------------------------------------------------------------------------
# binding


class Name(str):
    """A keyword name that is a str subclass."""


def plain_route_details(route_plan=None, leg=None):
    pass


def plain_get_ret_times(route_plan=None):
    pass


def plain_i_parser(search_result=None, round_trip=None):
    pass


def plain_get_questions(round_trip=None):
    pass


def plain_validate(self, document):
    pass


class Binding:
    """One public function: its parameters, how to call the native one and the rendition,
    and the plain Python function of the same signature."""

    def __init__(self, name, function, params, required, plain=None, body=None):
        self.name, self.function, self.params, self.required = name, function, params, required
        self.plain, self.body = plain, body

    @property
    def call(self):
        """The function itself (a brasco function as the module holds it now)."""
        if self.name in BRASCO_NAMES:
            return getattr(harness.brasco, self.name)
        return self.function


BRASCO_NAMES = {"route_details", "get_ret_times", "i_parser"}


def brasco_binding(name, params, plain):
    def body(args, kwargs):
        return harness.observe(
            lambda: getattr(harness.rendition, name)(*args, **kwargs),
            harness.rendition.leg_details_header,
        )

    return Binding(name, None, params, False, plain, body)


def validator_binding(class_name):
    def body(args, kwargs):
        bound = dict(zip(("self", "document"), args), **kwargs)
        return recipes.validation_outcome(
            lambda: VALIDATORS[class_name](vars(harness.questions), bound["document"])
        )

    validate = getattr(harness.questions, class_name).validate
    return Binding("validate", validate, ("self", "document"), True, plain_validate, body)


def questions_body(args, kwargs):
    return recipes.validation_outcome(
        lambda: harness.rendition.get_questions(vars(harness.questions), *args, **kwargs)
    )


def filter_body(args, kwargs):
    return recipes.validation_outcome(lambda: harness.rendition.count_filter(*args))


BINDINGS = [
    brasco_binding("route_details", ("route_plan", "leg"), plain_route_details),
    brasco_binding("get_ret_times", ("route_plan",), plain_get_ret_times),
    brasco_binding("i_parser", ("search_result", "round_trip"), plain_i_parser),
    Binding(
        "get_questions",
        harness.questions.get_questions,
        ("round_trip",),
        False,
        plain_get_questions,
        questions_body,
    ),
    *[validator_binding(name) for name in sorted(VALIDATORS)],
    *[
        Binding(function.__name__, function, ("x",), True, None, filter_body)
        for function in FILTERS
    ],
    *[
        Binding("__init__", getattr(harness.questions, name), ("self",), True)
        for name in sorted(VALIDATORS)
    ],
]


def documented_binding_failure(binding, given, keywords):
    """The TypeError text of a call with `given` positional arguments and these keyword
    names, or None if it binds."""
    name, params = binding.name, binding.params
    if binding.plain is None:  # one argument, no keywords
        if keywords:
            return "%s() takes no keyword arguments" % name
        count = given + (1 if name == "__init__" else 0)
        return None if count == 1 else "%s() takes exactly one argument (%d given)" % (name, count)
    if given > len(params):
        return too_many(binding, given)
    for key in keywords:
        if not isinstance(key, str):
            return "%s() keywords must be strings" % name
        if key in params[:given]:
            return "%s() got multiple values for keyword argument '%s'" % (name, key)
        if key not in params:
            return "%s() got an unexpected keyword argument '%s'" % (name, key)
    if binding.required:
        bound = set(params[:given]) | set(keywords)
        for index, param in enumerate(params):
            if param not in bound:
                return too_many(binding, index)
    return None


def too_many(binding, given):
    count = len(binding.params)
    return "%s() takes %s %d positional argument%s (%d given)" % (
        binding.name,
        "exactly" if binding.required else "at most",
        count,
        "" if count == 1 else "s",
        given,
    )


def argument(draw):
    return draw.pick(
        [
            None,
            ("list", []),
            "outbound",
            0,
            1,
            True,
            "",
            ("dict", []),
            ("list", [("dict", [("return", 1), ("local_departure", "x"), ("local_arrival", "y")])]),
            obj("Text", "LHR"),
        ]
    )


def keyword_name(draw, binding):
    return draw.one_of(
        lambda: draw.pick(binding.params),
        lambda: draw.pick(binding.params),
        lambda: Name(draw.pick(binding.params)),
        lambda: draw.pick(
            [
                "self",
                "document",
                "route_plan",
                "leg",
                "round",
                "x",
                "",
                "route_plan ",
                "Route_plan",
                "rоute_plan",
                "leg\x00",
                "\udc80",
            ]
        ),
        lambda: draw.text(6),
    )


def outcome(call):
    try:
        return ("returned", call())
    except TypeError as error:
        return ("TypeError", str(error))
    except Exception as error:
        return ("raised", type(error), str(error))


def binding_target(data):
    draw = Draw(harness.provider(data))
    binding = draw.pick(BINDINGS)
    if binding.name == "validate" and draw.int(0, 3):
        args = [(binding, "self"), ("document",)]  # the usual two, then more or fewer
        args = args[: draw.int(0, 3)] + [argument(draw) for _ in range(draw.int(0, 1))]
    else:
        args = [argument(draw) for _ in range(draw.int(0, 4))]
    keywords = {}
    for _ in range(draw.int(0, 3)):
        keywords[keyword_name(draw, binding)] = argument(draw)
    # A key that is not a text at all: the interpreter's own refusal.
    odd_key = binding.plain is not None and draw.chance(16)
    via = draw.pick(["call", "call", "__call__", "partial"])

    def call(function):
        values = [make_argument(binding, item) for item in args]
        named = {key: build(value) for key, value in keywords.items()}
        if odd_key:
            named[1] = 2
        if via == "__call__":
            function = function.__call__
        elif via == "partial":
            function = functools.partial(function)
        return function(*values, **named)

    got = outcome(lambda: call(binding.call))
    expected = (
        documented_binding_failure(binding, len(args), list(keywords)) if not odd_key else None
    )
    recipe = (binding.name, args, keywords, odd_key, via)
    if odd_key:
        # A key that is not a text (given last).  Through the generic call protocol
        # (__call__) the mapping's keys are checked first; otherwise some hosts refuse it
        # before any function sees it, as they do for a plain function called the same way,
        # and the others let the binding rules examine it in its turn.
        plain = outcome(lambda: call(binding.plain))
        if via == "__call__":
            plain = ("TypeError", "keywords must be strings")
        elif plain != ("TypeError", "keywords must be strings"):
            plain = (
                "TypeError",
                documented_binding_failure(binding, len(args), list(keywords) + [1]),
            )
        require_equal("binding", got, plain, recipe)
        return
    if expected is not None:
        require_equal("binding", got, ("TypeError", expected), recipe)
        require_same_as_plain(binding, args, keywords, expected, recipe)
        return
    if got[0] == "TypeError" and is_binding_text(got[1], binding):
        raise Mismatch("binding refused a call that binds\n  input: %r\n  got: %r" % (recipe, got))
    if binding.body is not None:
        values = [make_argument(binding, item) for item in args]
        named = {key: build(value) for key, value in keywords.items()}
        expected_body = binding.body(values, named)
        values = [make_argument(binding, item) for item in args]
        named = {key: build(value) for key, value in keywords.items()}
        if binding.name in BRASCO_NAMES:
            native_body = harness.observe(
                lambda: binding.call(*values, **named), harness.brasco.leg_details_header
            )
        else:
            native_body = recipes.validation_outcome(lambda: binding.call(*values, **named))
        require_equal("body", native_body, expected_body, recipe)


def make_argument(binding, item):
    if item == (binding, "self"):
        return getattr(harness.questions, _validator_of(binding))()
    if item == ("document",):
        return recipes.Document("LHR")
    return build(item)


def _validator_of(binding):
    return next(
        name for name in VALIDATORS if getattr(harness.questions, name).validate is binding.call
    )


def is_binding_text(text, binding):
    return text.startswith(binding.name + "() ") and any(
        part in text for part in ("positional argument", "keyword", "exactly one argument")
    )


def require_same_as_plain(binding, args, keywords, expected, recipe):
    """A plain Python function of the same signature refuses the same calls; where the
    host words the refusal as the binding rules do, the texts are the same."""
    if binding.plain is None:
        return
    plain = outcome(lambda: binding.plain(*[None] * len(args), **{k: None for k in keywords}))
    if plain[0] != "TypeError":
        raise Mismatch("a plain function binds this call\n  input: %r" % (recipe,))
    kind = " got an unexpected keyword argument "
    if kind in plain[1] and kind in expected:
        # From 3.13 the host adds a suggestion of its own (". Did you mean 'leg'?").
        plain_text = plain[1].replace("plain_", "").split(". Did you mean ")[0]
        require_equal(
            "binding (host wording)", ("TypeError", expected), ("TypeError", plain_text), recipe
        )


TARGETS = {
    "display_times": (display_times, prepare_display_times),
    "records": (records, None),
    "questions": (questions_target, None),
    "binding": (binding_target, None),
}
