"""Ctrl-C and SIGTERM: one line and an exit status at any moment of the command.

Three stages, each with its own answer:

- start-up (importing numpy, pandas, scikit-learn: up to a few seconds):
  nothing has been written and no worker started, so the process says so in
  one line and ends on the spot;
- the run: the signal becomes :class:`~korvan.errors.Interrupted`, which
  unwinds the run (temporary files and worker processes are removed on the
  way) up to :func:`korvan.cli.main.main`;
- once the output files are in place the outcome is settled: the signal is
  ignored while the summary is printed and the process exits.

This module imports only the standard library and ``korvan.errors``, so the
command can install the start-up handlers before anything heavy is imported.
"""

from __future__ import annotations

import os
import signal
import threading
from typing import Any

from korvan.errors import Interrupted

__all__ = ["SIGNALS", "status_for", "message_for", "during_start", "during_run", "settled",
           "restore"]

PROG = "korvan-robustness"
SIGNALS = (signal.SIGINT, signal.SIGTERM)


def status_for(signum: int) -> int:
    """The shell's status for death by ``signum``: 130 for Ctrl-C, 143 for SIGTERM."""
    return 128 + signum


def message_for(signum: int) -> str:
    return "interrupted" if signum == signal.SIGINT else "terminated"


Handlers = dict[int, Any]


def _install(handler: Any) -> Handlers:
    # Handlers can only be set from the main thread (an embedding program may
    # call main() from another); there the default behaviour stays.
    if threading.current_thread() is not threading.main_thread():
        return {}
    return {signum: signal.signal(signum, handler) for signum in SIGNALS}


def restore(previous: Handlers) -> None:
    """Put back the handlers an ``install`` call returned."""
    for signum, handler in previous.items():
        signal.signal(signum, handler if handler is not None else signal.SIG_DFL)


def _exit_at_start(signum: int, frame: Any) -> None:
    os.write(2, f"{PROG}: {message_for(signum)}\n".encode())
    os._exit(status_for(signum))


def _raise(signum: int, frame: Any) -> None:
    raise Interrupted(signum)


def during_start() -> Handlers:
    """End the process at once, with one line, on a signal before the run begins."""
    return _install(_exit_at_start)


def during_run() -> Handlers:
    """Turn a signal into :class:`Interrupted` for the run to unwind."""
    return _install(_raise)


def settled() -> Handlers:
    """The outputs are in place: a late signal no longer changes the outcome.

    Only where the command's own handlers are in force: a program that runs
    the command's parts itself keeps its Ctrl-C.
    """
    if signal.getsignal(signal.SIGINT) is not _raise:
        return {}
    return _install(signal.SIG_IGN)
