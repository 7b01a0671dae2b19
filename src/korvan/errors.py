"""The error types of the host package, below every module that raises them."""

from __future__ import annotations

__all__ = ["DataError", "InputError", "UsageError", "NativeModuleError", "Interrupted"]


class DataError(ValueError):
    """The data cannot be used as given; the message says why."""


class InputError(DataError):
    """An input file cannot be used; the message says why and what fixes it."""


class UsageError(Exception):
    """Bad input to the command: reported as one line on stderr, exit status 2."""


class NativeModuleError(Exception):
    """The native robustness module is missing or cannot be loaded."""


class Interrupted(KeyboardInterrupt):
    """The command was told to stop (Ctrl-C, or SIGTERM from a supervisor).

    A subclass of KeyboardInterrupt so that everything that cleans up after
    Ctrl-C cleans up after it too; its own type tells it apart from a
    KeyboardInterrupt that a user's model raises itself.
    """

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum
