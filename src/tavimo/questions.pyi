"""The trip questions for the PyInquirer prompt (native module)."""

import abc
import re as re
from typing import Any, Dict, List, Optional, Protocol

from PyInquirer import ValidationError as ValidationError, Validator as Validator

class _Document(Protocol):
    # The validators read nothing but the typed text.
    @property
    def text(self) -> str: ...

# The validators raise ValidationError for a rejected answer.  Validator's metaclass is
# ABCMeta, which the prompt library, having no type information, cannot tell.
class IataCodeValidator(Validator, metaclass=abc.ABCMeta):
    def __init__(self) -> None: ...
    def validate(self, document: _Document) -> None: ...

class DateValidator(Validator, metaclass=abc.ABCMeta):
    def __init__(self) -> None: ...
    def validate(self, document: _Document) -> None: ...

class NumberValidator(Validator, metaclass=abc.ABCMeta):
    def __init__(self) -> None: ...
    def validate(self, document: _Document) -> None: ...

__author__: str
__email__: str
__test__: Dict[str, Any]
date_reg_ex: str
# Records with the keys "type", "name", "message" and "validate" (a validator class); the
# passenger counts add "filter" (text to int) and "default" (text).
one_way_questions: List[Dict[str, Any]]
fly_back_question: Dict[str, Any]

def get_questions(round_trip: Optional[bool] = None) -> List[Dict[str, Any]]: ...
