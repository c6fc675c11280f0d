"""Hostile callers of tavimo.questions: its module globals (re, date_reg_ex,
ValidationError, one_way_questions, fly_back_question) rebound or deleted between calls,
read afresh by each call, and a ValidationError rebound to what is no exception class."""

import builtins

import pytest

from testkit import rendition
from testkit.hostile import globals_restored

try:
    import tavimo.questions as questions
except ImportError:  # not built yet
    questions = None

needs_questions = pytest.mark.skipif(questions is None, reason="tavimo.questions is not built")
QUESTIONS_GLOBALS = (
    "re",
    "date_reg_ex",
    "ValidationError",
    "one_way_questions",
    "fly_back_question",
)


class Document:
    def __init__(self, text):
        self.text = text


@needs_questions
def test_validators_read_their_globals_at_every_call():
    with globals_restored(questions, QUESTIONS_GLOBALS):
        validator = questions.DateValidator()
        assert validator.validate(Document("01/01/2021")) is None
        questions.date_reg_ex = r"^\d{4}$"
        assert validator.validate(Document("2021")) is None
        with pytest.raises(questions.ValidationError):
            validator.validate(Document("01/01/2021"))
        del questions.date_reg_ex
        with pytest.raises(NameError, match=r"^name 'date_reg_ex' is not defined$"):
            validator.validate(Document("01/01/2021"))
        del questions.re
        # `re` is read before the document: a document without text still gives NameError.
        for cls in (questions.IataCodeValidator, questions.DateValidator):
            with pytest.raises(NameError, match=r"^name 're' is not defined$"):
                cls().validate(object())
        assert questions.NumberValidator().validate(Document("3")) is None


class NotAnException(Exception):
    def __new__(cls, *args, **kwargs):
        return 5


@needs_questions
@pytest.mark.parametrize(
    "replacement, error, message",
    [
        (lambda **kwargs: LookupError(kwargs["message"]), LookupError, "Please enter a number"),
        (lambda **kwargs: KeyboardInterrupt, KeyboardInterrupt, ""),
        (
            lambda **kwargs: NotAnException,
            TypeError,
            "calling <class 'test_hostile_questions.NotAnException'> should have returned an "
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
            questions.NumberValidator().validate(Document("x"))
    assert str(raised.value) == message
    assert isinstance(raised.value.__context__, ValueError)


@needs_questions
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
