"""The error types of the host package, below every module that raises them."""

from __future__ import annotations

__all__ = ["DataError", "InputError", "UsageError", "NativeModuleError"]


class DataError(ValueError):
    """The data cannot be used as given; the message says why."""


class InputError(DataError):
    """An input file cannot be used; the message says why and what fixes it."""


class UsageError(Exception):
    """Bad input to the command: reported as one line on stderr, exit status 2."""


class NativeModuleError(Exception):
    """The native robustness module is missing or cannot be loaded."""
