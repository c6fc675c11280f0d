"""tavimo.questions: question records, answer validators, filters and get_questions."""

import abc
import builtins
import importlib
import inspect
import os
import pickle
import re
import subprocess
import sys

import pytest
import PyInquirer
from prompt_toolkit.buffer import Buffer
from prompt_toolkit.document import Document

from conftest import host_message, needs_blocks_counted_at_once
from testkit import rendition
from testkit.allocations import blocks_left_by
from testkit.hostile import globals_restored
from tavimo import questions

IATA_MESSAGE = (
    "Please use 3 letter IATA airport codes. "
    "To find out IATA codes use: tavimo --find-airport <city_name>"
)
DATE_MESSAGE = "Please enter date in correct format"
NUMBER_MESSAGE = "Please enter a number"
VALIDATORS = ["IataCodeValidator", "DateValidator", "NumberValidator"]
ONE_WAY_NAMES = ["origin", "destination", "fly_out_date", "adults", "teens", "children", "infants"]
FILTERS = [(3, "lambda"), (4, "lambda1"), (5, "lambda2"), (6, "lambda3")]


def entries(exc):
    """The names of the traceback entries that the module added to exc."""
    names, tb = [], exc.__traceback__
    while tb:
        if tb.tb_frame.f_code.co_filename == "tavimo/questions/questions.cpp":
            names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def rejection(validator, text):
    with pytest.raises(PyInquirer.ValidationError) as info:
        validator().validate(Document(text))
    return info.value


class Doc:
    """A document whose text is any object."""

    def __init__(self, text):
        self.text = text


# ---------------------------------------------------------------------------------------
# The module namespace and its records


def test_namespace_in_binding_order():
    names = list(vars(questions))
    assert names[names.index("__builtins__") + 1 :] == [
        "re",
        "Validator",
        "ValidationError",
        "__author__",
        "__email__",
        "date_reg_ex",
        *VALIDATORS,
        "one_way_questions",
        "fly_back_question",
        "get_questions",
        "__test__",
    ]
    assert questions.__doc__ == "Operations module for tavimo"
    assert questions.re is re and questions.__builtins__ is builtins
    assert questions.Validator is PyInquirer.Validator
    assert questions.ValidationError is PyInquirer.ValidationError
    assert questions.__test__ == {}
    assert all(isinstance(questions.__dict__[n], str) for n in ("__author__", "__email__"))


def test_date_pattern_text():
    assert questions.date_reg_ex == (
        r"(^(((0[1-9]|1[0-9]|2[0-8])[\/](0[1-9]|1[012]))|((29|30|31)[\/](0[13578]|1[02]))|"
        r"((29|30)[\/](0[469]|11)))[\/](19|[2-9][0-9])\d\d$)|(^29[\/]02[\/](19|[2-9][0-9])"
        r"(00|04|08|12|16|20|24|28|32|36|40|44|48|52|56|60|64|68|72|76|80|84|88|92|96)$)"
    )
    assert len(questions.date_reg_ex) == 238


@pytest.mark.parametrize(
    "text, matches",
    [
        *[
            (t, True)
            for t in [
                "01/01/2020",
                "31/12/1999",
                "30/04/2020",
                "29/02/2000",
                "29/02/1900",
                "29/02/2100",
                "01/01/1900",
                "01/01/9999",
                "01/01/2020\n",
            ]
        ],
        *[
            (t, False)
            for t in [
                "1/1/2020",
                "31/04/2020",
                "31/09/2020",
                "30/02/2020",
                "29/02/2021",
                "01/13/2020",
                "00/01/2020",
                "01-01-2020",
                "01/01/1899",
                " 01/01/2020",
                "01/01/2020 ",
                "01/01/2020\n\n",
            ]
        ],
    ],
)
def test_date_pattern_matches(text, matches):
    assert bool(re.match(questions.date_reg_ex, text)) is matches


def test_one_way_records():
    records = questions.one_way_questions
    assert [r["name"] for r in records] == ONE_WAY_NAMES
    assert [r["message"] for r in records] == [
        "Origin airport:",
        "Destination airport:",
        "Fly out date (dd/mm/yyyy):",
        "Adults (>16 Years)?",
        "Teens (12-15 Years)?",
        "Children (2-11 Years)?",
        "Infants (<2 Years)?",
    ]
    assert [r["validate"] for r in records] == [
        questions.IataCodeValidator,
        questions.IataCodeValidator,
        questions.DateValidator,
        *[questions.NumberValidator] * 4,
    ]
    for record in records[:3]:
        assert list(record) == ["type", "name", "message", "validate"]
    for record in records[3:]:
        assert list(record) == ["type", "name", "message", "validate", "filter", "default"]
    assert {r["type"] for r in records} == {"input"}
    assert [r["default"] for r in records[3:]] == ["1", "0", "0", "0"]
    assert len({id(r) for r in records}) == 7
    assert [r["filter"].__name__ for r in records[3:]] == [name for _, name in FILTERS]
    assert len({id(r["filter"]) for r in records[3:]}) == 4
    assert questions.fly_back_question == {
        "type": "input",
        "name": "fly_back_date",
        "message": "Fly back date (dd/mm/yyyy):",
        "validate": questions.DateValidator,
    }
    assert list(questions.fly_back_question) == ["type", "name", "message", "validate"]


def test_records_keep_the_classes_of_the_import(monkeypatch):
    originals = [r["validate"] for r in questions.one_way_questions]
    for name in VALIDATORS:
        monkeypatch.setattr(questions, name, type(name, (), {}))
    assert [r["validate"] for r in questions.one_way_questions] == originals


@pytest.mark.parametrize("name", VALIDATORS)
def test_validator_class(name):
    cls = getattr(questions, name)
    assert cls.__bases__ == (PyInquirer.Validator,) and type(cls) is abc.ABCMeta
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("tavimo.questions", name, None)
    assert list(vars(cls))[:3] == ["__module__", "__init__", "validate"]
    init, validate = cls.__init__, cls.validate
    assert init.__qualname__ == name + ".__init__"
    assert init.__doc__ == "This is initialization function, usually it's kept empty"
    assert (validate.__qualname__, validate.__doc__, validate.__defaults__) == (
        name + ".validate",
        None,
        None,
    )
    assert str(inspect.signature(validate)) == "(self, document)"
    assert init(object()) is None


# ---------------------------------------------------------------------------------------
# Validators


@pytest.mark.parametrize(
    "name, text",
    [
        *[("IataCodeValidator", t) for t in ["LHR", "lhr", "lHr", "LHR\n"]],
        *[("DateValidator", t) for t in ["01/01/2021", "29/02/2024"]],
        *[("NumberValidator", t) for t in ["3", " 3 ", "0", "-1", "+2", "1_000"]],
    ],
)
def test_accepted(name, text):
    assert getattr(questions, name)().validate(Document(text)) is None


@pytest.mark.parametrize(
    "name, text, message",
    [
        *[("IataCodeValidator", t, IATA_MESSAGE) for t in ["", "LH", "LHRX", "LH1", " LHR", "ÅBC"]],
        *[
            ("DateValidator", t, DATE_MESSAGE)
            for t in ["1/1/2021", "2021-01-01", "31/04/2021", "29/02/2021"]
        ],
        *[("NumberValidator", t, NUMBER_MESSAGE) for t in ["", "abc", "2.5", "two"]],
    ],
)
def test_rejected(name, text, message):
    error = rejection(getattr(questions, name), text)
    assert (error.message, error.cursor_position, str(error)) == (message, len(text), message)
    assert entries(error) == ["tavimo.questions.%s.validate" % name]
    last = error.__traceback__
    while last.tb_next:
        last = last.tb_next
    assert last.tb_frame.f_code.co_name == "tavimo.questions.%s.validate" % name
    buffer = Buffer(validator=getattr(questions, name)())
    buffer.text = text
    assert not buffer.validate()
    assert buffer.validation_error.message == message


def test_number_rejection_has_the_conversion_error_as_context():
    error = rejection(questions.NumberValidator, "two")
    context = error.__context__
    assert type(context) is ValueError and error.__cause__ is None
    assert str(context) == "invalid literal for int() with base 10: 'two'"
    assert entries(context) == ["tavimo.questions.NumberValidator.validate"]
    assert context.__traceback__.tb_next is None


class Answer:
    def __init__(self, raises):
        self.raises = raises

    def __int__(self):
        raise self.raises

    def __len__(self):
        return 7


@pytest.mark.parametrize(
    "text, error_type, message, context_type",
    [
        (None, TypeError, host_message(int, None), None),
        (float("inf"), OverflowError, "cannot convert float infinity to integer", None),
        (Answer(ArithmeticError("no")), ArithmeticError, "no", None),
        (Answer(UnicodeError("no")), PyInquirer.ValidationError, NUMBER_MESSAGE, UnicodeError),
        # The rejection itself fails: len() of a float, while the ValueError is handled.
        (float("nan"), TypeError, "object of type 'float' has no len()", ValueError),
    ],
)
def test_number_validator_catches_only_value_errors(text, error_type, message, context_type):
    with pytest.raises(error_type) as info:
        questions.NumberValidator().validate(Doc(text))
    assert type(info.value) is error_type and str(info.value) == message
    if context_type is None:
        assert info.value.__context__ is None
    else:
        assert type(info.value.__context__) is context_type
    assert entries(info.value) == ["tavimo.questions.NumberValidator.validate"]
    if error_type is PyInquirer.ValidationError:
        assert info.value.cursor_position == 7


def test_number_validator_uses_the_value_error_of_the_import(monkeypatch):
    monkeypatch.setattr(builtins, "ValueError", KeyError)
    assert rejection(questions.NumberValidator, "x").message == NUMBER_MESSAGE


@pytest.mark.parametrize("name", ["IataCodeValidator", "DateValidator"])
def test_pattern_validators_refuse_non_text(name):
    with pytest.raises(TypeError) as info:
        getattr(questions, name)().validate(Doc(None))
    assert str(info.value) == host_message(re.match, "x", None)
    assert entries(info.value) == ["tavimo.questions.%s.validate" % name]


@pytest.mark.parametrize(
    "name, unbound",
    [("IataCodeValidator", "re"), ("DateValidator", "re"), ("DateValidator", "date_reg_ex")],
)
def test_module_names_are_read_before_the_text(monkeypatch, name, unbound):
    monkeypatch.delattr(questions, unbound)
    with pytest.raises(NameError, match="^name '%s' is not defined$" % unbound):
        getattr(questions, name)().validate(object())


def test_date_pattern_is_read_at_each_call(monkeypatch):
    monkeypatch.setattr(questions, "date_reg_ex", r"\d+$")
    assert questions.DateValidator().validate(Document("2021")) is None
    assert rejection(questions.DateValidator, "01/01/2021").message == DATE_MESSAGE


@pytest.mark.parametrize(
    "name, good, bad, message, handled",
    [
        ("IataCodeValidator", "LHR", "LH", IATA_MESSAGE, None),
        ("DateValidator", "01/01/2021", "x", DATE_MESSAGE, None),
        ("NumberValidator", "1", "xyz", NUMBER_MESSAGE, ValueError),
    ],
)
def test_validation_error_is_read_only_to_reject(monkeypatch, name, good, bad, message, handled):
    seen = []

    def recorder(*args, **kwargs):
        # Called while the conversion's ValueError (if any) is the exception being handled.
        seen.append((args, list(kwargs.items()), sys.exc_info()[0]))
        return PyInquirer.ValidationError(**kwargs)

    monkeypatch.setattr(questions, "ValidationError", recorder)
    validator = getattr(questions, name)()
    assert validator.validate(Document(good)) is None and seen == []
    with pytest.raises(PyInquirer.ValidationError):
        validator.validate(Document(bad))
    assert seen == [((), [("message", message), ("cursor_position", len(bad))], handled)]
    monkeypatch.delattr(questions, "ValidationError")
    with pytest.raises(NameError, match="^name 'ValidationError' is not defined$") as info:
        validator.validate(Document(bad))
    context = info.value.__context__
    assert (context and type(context)) is handled


class Odd(Exception):
    def __new__(cls):
        return 5


@pytest.mark.parametrize(
    "result, raised, message",
    [
        (KeyError, KeyError, ""),
        (5, TypeError, "raise: exception class must be a subclass of BaseException"),
        (
            Odd,
            TypeError,
            "calling %r should have returned an instance of BaseException, not <class 'int'>" % Odd,
        ),
    ],
)
def test_raising_what_validation_error_returns(monkeypatch, result, raised, message):
    monkeypatch.setattr(questions, "ValidationError", lambda **kwargs: result)
    with pytest.raises(raised) as info:
        questions.IataCodeValidator().validate(Document(""))
    assert type(info.value) is raised and str(info.value) == message


def validate_number(text):
    try:
        questions.NumberValidator().validate(Document(text))
    except PyInquirer.ValidationError:
        pass
    return sys.exc_info()


@pytest.mark.parametrize("text", ["5", "five"])
def test_handled_exception_is_restored(text):
    assert validate_number(text) == (None, None, None)
    try:
        raise KeyError("outer")
    except KeyError:
        before = sys.exc_info()
        assert validate_number(text) == before


def test_handled_exception_of_a_generator_is_its_own():
    def steps():
        yield
        with pytest.raises(PyInquirer.ValidationError):
            questions.NumberValidator().validate(Document("x"))
        yield
        yield sys.exc_info()

    generator = steps()
    next(generator)
    try:
        raise KeyError("outer")
    except KeyError:
        next(generator)
    assert next(generator) == (None, None, None)


@pytest.mark.parametrize(
    "call, message, entry",
    [
        (
            lambda v: v.validate(),
            "validate() takes exactly 2 positional arguments (1 given)",
            "validate",
        ),
        (
            lambda v: v.validate(1, 2),
            "validate() takes exactly 2 positional arguments (3 given)",
            "validate",
        ),
        (
            lambda v: v.validate(doc=1),
            "validate() got an unexpected keyword argument 'doc'",
            "validate",
        ),
        (lambda v: type(v)(1), "__init__() takes exactly one argument (2 given)", "__init__"),
        (lambda v: type(v)(x=1), "__init__() takes no keyword arguments", "__init__"),
    ],
)
@pytest.mark.parametrize("name", VALIDATORS)
def test_binding_errors(name, call, message, entry):
    with pytest.raises(TypeError) as info:
        call(getattr(questions, name)())
    assert str(info.value) == message
    assert entries(info.value) == ["tavimo.questions.%s.%s" % (name, entry)]


def test_validate_binds_the_document_by_keyword():
    assert questions.NumberValidator().validate(document=Document("1")) is None


# ---------------------------------------------------------------------------------------
# Filters


@pytest.mark.parametrize("index, name", FILTERS)
def test_filter_converts(index, name):
    convert = questions.one_way_questions[index]["filter"]
    assert (convert.__name__, convert.__qualname__, convert.__module__) == (
        name,
        "<lambda>",
        "tavimo.questions",
    )
    assert (convert.__doc__, convert.__code__, convert.__defaults__) == (None, None, None)
    large = 10**30
    assert convert(large) is large
    assert [convert(v) for v in ["3", " 12 ", True, 2.9, -2.9]] == [3, 12, 1, 2, -2]
    assert type(convert(True)) is int


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda f: f("2.5"), ValueError, "invalid literal for int() with base 10: '2.5'"),
        (lambda f: f("two"), ValueError, "invalid literal for int() with base 10: 'two'"),
        (lambda f: f(""), ValueError, "invalid literal for int() with base 10: ''"),
        (lambda f: f(None), TypeError, host_message(int, None)),
        (lambda f: f(1, 2), TypeError, "{}() takes exactly one argument (2 given)"),
        (lambda f: f(), TypeError, "{}() takes exactly one argument (0 given)"),
        (lambda f: f(x=1), TypeError, "{}() takes no keyword arguments"),
        (lambda f: f(1, x=1), TypeError, "{}() takes no keyword arguments"),
    ],
)
@pytest.mark.parametrize("index, name", FILTERS)
def test_filter_failures(index, name, call, error, message):
    with pytest.raises(error) as info:
        call(questions.one_way_questions[index]["filter"])
    assert str(info.value) == message.format(name)
    assert entries(info.value) == ["tavimo.questions." + name]


# ---------------------------------------------------------------------------------------
# get_questions

ROUND_TRIP_NAMES = ONE_WAY_NAMES[:3] + ["fly_back_date"] + ONE_WAY_NAMES[3:]


def test_get_questions_function():
    function = questions.get_questions
    assert function.__doc__ == (
        "\n    This function returns a set of questions based on trip type\n\n"
        "    :param round_trip: (boolean) If it's a round trip or not\n"
        "    :return: (list) python list of dictionary based questions\n    "
    )
    assert len(function.__doc__) == 193
    assert (function.__name__, function.__qualname__, function.__module__) == (
        "get_questions",
        "get_questions",
        "tavimo.questions",
    )
    assert function.__defaults__ == (None,) and function.__globals__ is vars(questions)
    assert function.__code__.co_varnames == ("round_trip", "round_trip_questions")
    assert str(inspect.signature(function)) == "(round_trip=None)"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize(
    "function",
    [questions.get_questions, questions.NumberValidator.validate, questions.DateValidator.__init__],
)
def test_pickled_by_qualified_name(function, protocol):
    assert pickle.loads(pickle.dumps(function, protocol)) is function


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((False,), {}), ((None,), {}), ((0,), {}), (("",), {}), ((), {"round_trip": False})],
)
def test_one_way_is_the_module_list(args, kwargs):
    assert questions.get_questions(*args, **kwargs) is questions.one_way_questions
    assert len(questions.one_way_questions) == 7


@pytest.mark.parametrize(
    "args, kwargs", [((True,), {}), (("no",), {}), ((1,), {}), ((), {"round_trip": True})]
)
def test_round_trip_is_a_new_list(args, kwargs):
    one_way = questions.one_way_questions
    records = list(one_way)
    first = questions.get_questions(*args, **kwargs)
    second = questions.get_questions(*args, **kwargs)
    assert type(first) is list and first is not second and first is not one_way
    assert [r["name"] for r in first] == ROUND_TRIP_NAMES
    assert first[3] is questions.fly_back_question and first[4] is one_way[3]
    assert first == second
    assert questions.one_way_questions is one_way and one_way == records
    assert questions.get_questions() is one_way


@pytest.mark.parametrize(
    "bound, expected",
    [
        (["a", "b", "c", "d"], ["a", "b", "c", "F", "d"]),
        (("a", "b"), ["a", "b", "F"]),
        (iter("abcd"), ["a", "b", "c", "F", "d"]),
    ],
)
def test_rebound_questions_are_read_at_each_call(monkeypatch, bound, expected):
    monkeypatch.setattr(questions, "one_way_questions", bound)
    monkeypatch.setattr(questions, "fly_back_question", "F")
    assert questions.get_questions(False) is bound
    assert questions.get_questions(True) == expected


def test_questions_fall_back_to_builtins(monkeypatch):
    monkeypatch.delattr(questions, "one_way_questions")
    monkeypatch.setattr(builtins, "one_way_questions", ["x"], raising=False)
    assert questions.get_questions() == ["x"]


class Unsure:
    def __bool__(self):
        raise ZeroDivisionError("unsure")


@pytest.mark.parametrize(
    "unbound, call, error, message",
    [
        ("one_way_questions", lambda f: f(), NameError, "name 'one_way_questions' is not defined"),
        (
            "one_way_questions",
            lambda f: f(True),
            NameError,
            "name 'one_way_questions' is not defined",
        ),
        (
            "fly_back_question",
            lambda f: f(True),
            NameError,
            "name 'fly_back_question' is not defined",
        ),
        (None, lambda f: f(Unsure()), ZeroDivisionError, "unsure"),
        (
            None,
            lambda f: f(1, 2),
            TypeError,
            "get_questions() takes at most 1 positional argument (2 given)",
        ),
        (
            None,
            lambda f: f(1, round_trip=1),
            TypeError,
            "get_questions() got multiple values for keyword argument 'round_trip'",
        ),
        (
            None,
            lambda f: f(round=1),
            TypeError,
            "get_questions() got an unexpected keyword argument 'round'",
        ),
    ],
)
def test_get_questions_failures(monkeypatch, unbound, call, error, message):
    one_way = questions.one_way_questions
    records = list(one_way)
    if unbound:
        monkeypatch.delattr(questions, unbound)
    with pytest.raises(error) as info:
        call(questions.get_questions)
    assert str(info.value) == message
    assert entries(info.value) == ["tavimo.questions.get_questions"]
    assert one_way == records


def test_fly_back_question_is_needed_only_for_a_round_trip(monkeypatch):
    monkeypatch.delattr(questions, "fly_back_question")
    assert questions.get_questions(False) is questions.one_way_questions


# ---------------------------------------------------------------------------------------
# Hostile callers: the module globals (re, date_reg_ex, ValidationError, one_way_questions,
# fly_back_question) rebound or deleted between calls, read afresh by each call, and a
# ValidationError rebound to what is no exception class

QUESTIONS_GLOBALS = (
    "re",
    "date_reg_ex",
    "ValidationError",
    "one_way_questions",
    "fly_back_question",
)


def test_validators_read_their_globals_at_every_call():
    with globals_restored(questions, QUESTIONS_GLOBALS):
        validator = questions.DateValidator()
        assert validator.validate(Doc("01/01/2021")) is None
        questions.date_reg_ex = r"^\d{4}$"
        assert validator.validate(Doc("2021")) is None
        with pytest.raises(questions.ValidationError):
            validator.validate(Doc("01/01/2021"))
        del questions.date_reg_ex
        with pytest.raises(NameError, match=r"^name 'date_reg_ex' is not defined$"):
            validator.validate(Doc("01/01/2021"))
        del questions.re
        # `re` is read before the document: a document without text still gives NameError.
        for cls in (questions.IataCodeValidator, questions.DateValidator):
            with pytest.raises(NameError, match=r"^name 're' is not defined$"):
                cls().validate(object())
        assert questions.NumberValidator().validate(Doc("3")) is None


class NotAnException(Exception):
    def __new__(cls, *args, **kwargs):
        return 5


@pytest.mark.parametrize(
    "replacement, error, message",
    [
        (lambda **kwargs: LookupError(kwargs["message"]), LookupError, "Please enter a number"),
        (lambda **kwargs: KeyboardInterrupt, KeyboardInterrupt, ""),
        (
            lambda **kwargs: NotAnException,
            TypeError,
            f"calling <class '{__name__}.NotAnException'> should have returned an "
            "instance of BaseException, not <class 'int'>",
        ),
        (
            lambda **kwargs: "text",
            TypeError,
            "raise: exception class must be a subclass of BaseException",
        ),
    ],
)
def test_a_rebound_validation_error_is_raised_as_documented(replacement, error, message):
    with globals_restored(questions, QUESTIONS_GLOBALS):
        questions.ValidationError = replacement
        with pytest.raises(error) as raised:
            questions.NumberValidator().validate(Doc("x"))
    assert str(raised.value) == message
    assert isinstance(raised.value.__context__, ValueError)


def test_get_questions_with_its_lists_rebound_or_deleted():
    namespace = vars(questions)
    with globals_restored(questions, QUESTIONS_GLOBALS):
        questions.one_way_questions = ("a", "b", "c", "d")
        assert questions.get_questions() is questions.one_way_questions
        assert (
            questions.get_questions(True)
            == rendition.get_questions(namespace, True)
            == ["a", "b", "c", questions.fly_back_question, "d"]
        )
        questions.one_way_questions = iter(["a"])
        assert questions.get_questions(True) == ["a", questions.fly_back_question]
        del questions.fly_back_question
        assert questions.get_questions(False) is questions.one_way_questions
        with pytest.raises(NameError, match=r"^name 'fly_back_question' is not defined$"):
            questions.get_questions(True)
        questions.one_way_questions = None
        builtins.fly_back_question = "from builtins"
        with pytest.raises(TypeError, match="not iterable"):
            questions.get_questions(True)
        del questions.one_way_questions
        with pytest.raises(NameError, match=r"^name 'one_way_questions' is not defined$"):
            questions.get_questions()
    assert len(questions.get_questions(True)) == 8 and len(questions.one_way_questions) == 7


# ---------------------------------------------------------------------------------------
# Loading and memory


def test_import_returns_the_loaded_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "tavimo.questions")
    assert importlib.import_module("tavimo.questions") is questions


IMPORT_TWICE = """
import builtins, sys, traceback
value_error = ValueError
{}
try:
    import tavimo.questions
except BaseException as exc:
    print(type(exc).__name__, exc, traceback.extract_tb(exc.__traceback__)[-1].name, sep="|")
# Mended, a new attempt runs the whole module body again.
builtins.ValueError = value_error
sys.path.remove({!r})
sys.modules.pop("PyInquirer", None)
import tavimo.questions
print(len(tavimo.questions.get_questions(True)))
"""


@pytest.mark.parametrize(
    "fake_library, spoil, expected",
    [
        ("class Validator: pass", "", "ImportError|cannot import name ValidationError"),
        ("ValidationError = Exception", "", "ImportError|cannot import name Validator"),
        (None, "del builtins.ValueError", "NameError|name 'ValueError' is not defined"),
    ],
)
def test_failed_import(tmp_path, fake_library, spoil, expected):
    fake = tmp_path / "fake"
    if fake_library is not None:
        (fake / "PyInquirer").mkdir(parents=True)
        (fake / "PyInquirer" / "__init__.py").write_text(fake_library)
    result = subprocess.run(
        [sys.executable, "-c", IMPORT_TWICE.format(spoil, str(fake))],
        cwd=str(tmp_path),
        env=dict(os.environ, PYTHONPATH=str(fake)),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.stdout == expected + "|init tavimo.questions\n8\n", result.stderr


@needs_blocks_counted_at_once
def test_no_memory_is_kept_by_calls():
    classes = [getattr(questions, name) for name in VALIDATORS]
    good = [Document(t) for t in ("LHR", "01/01/2021", "12")]
    bad = [Document(t) for t in ("LH", "1/1/2021", "twelve")]
    filters = [questions.one_way_questions[index]["filter"] for index, _ in FILTERS]
    failing = [lambda: questions.get_questions(1, 2), lambda: questions.get_questions(Unsure())]
    for cls, good_doc, bad_doc in zip(classes, good, bad):
        failing += [
            lambda cls=cls, doc=bad_doc: cls().validate(doc),
            lambda cls=cls: cls().validate(Doc(None)),
            lambda cls=cls: cls().validate(),
            lambda cls=cls: cls(1),
        ]
    for convert in filters:
        failing += [lambda f=convert: f("x"), lambda f=convert: f(None), lambda f=convert: f()]

    def exercise():
        for cls, good_doc in zip(classes, good):
            cls().validate(good_doc)
        for convert in filters:
            convert(" 7 ")
        questions.get_questions()
        questions.get_questions(True)
        for call in failing:
            try:
                call()
            except Exception:
                pass

    assert blocks_left_by(exercise, rounds=3000, warmup=300) < 100


KEEPING_LIBRARY = """
import sys
kept = []
class Keeper(type):
    def __new__(meta, name, bases, namespace):
        cls = super().__new__(meta, name, bases, namespace)
        kept.append(cls)
        if name == "NumberValidator":
            # Make the module body fail after the first classes exist.
            del sys.modules["tavimo.questions"].IataCodeValidator
        return cls
class Validator(metaclass=Keeper):
    pass
class ValidationError(Exception):
    pass
"""


def test_functions_kept_from_a_failed_import_do_not_crash(tmp_path):
    (tmp_path / "PyInquirer").mkdir()
    (tmp_path / "PyInquirer" / "__init__.py").write_text(KEEPING_LIBRARY)
    script = """
import PyInquirer
try:
    import tavimo.questions
except NameError as exc:
    print(exc)
try:
    PyInquirer.kept[1]().validate(type("Doc", (), {"text": "LHR"})())
except NameError as exc:
    print(exc)
"""
    result = subprocess.run(
        [sys.executable, "-c", script],
        cwd=str(tmp_path),
        env=dict(os.environ, PYTHONPATH=str(tmp_path)),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.stdout == (
        "name 'IataCodeValidator' is not defined\nname 're' is not defined\n"
    ), result.stderr
