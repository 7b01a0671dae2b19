"""The path the native module imports the result type from."""

from korvan.jsonable import to_jsonable
from korvan.result import ValidationResult

__all__ = ["ValidationResult", "to_jsonable"]
