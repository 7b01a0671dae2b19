"""The ``korvan-robustness`` command line: exit statuses and streams.

What the command does lives in :mod:`korvan.cli.run`; this module turns every
outcome into an exit status:

0 done; 1 a robustness limit failed; 2 bad input (one line on stderr says
what); 3 an unexpected failure (one line naming it and where the traceback
was written; the traceback itself with ``--debug``); 130 on Ctrl-C and 143 on
SIGTERM (one line; nothing written, no worker left).
"""

from __future__ import annotations

import os
import sys

from korvan.cli import signals

# Importing what follows takes a second or more; a Ctrl-C meanwhile ends the
# process with one line instead of a traceback through the imports.
_BEFORE_IMPORTS = signals.during_start()

import datetime  # noqa: E402
import io  # noqa: E402
import tempfile  # noqa: E402
import traceback  # noqa: E402
import warnings  # noqa: E402
from typing import Sequence, TextIO  # noqa: E402

from korvan.cli.options import PROG, parse  # noqa: E402
from korvan.cli.run import run  # noqa: E402
from korvan.errors import Interrupted, NativeModuleError, UsageError  # noqa: E402
from korvan.text import escape_controls  # noqa: E402

signals.restore(_BEFORE_IMPORTS)

__all__ = ["main", "console"]


# -- streams and failures ----------------------------------------------------

class _PipeSafe:
    """A terminal stream that goes quiet once its reader has gone (``cmd | head -1``).

    Everything written is shown with terminal controls escaped: names come
    from the user's files, and a column named ``ESC ] 0; ... BEL`` must not
    retitle the terminal it is printed to.  ``raw`` writes the command's own
    control characters (the progress bar's carriage return).
    """

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self.closed_pipe = False

    def write(self, text: str) -> int:
        self.raw(escape_controls(text))
        return len(text)

    def raw(self, text: str) -> None:
        if not self.closed_pipe:
            try:
                self._stream.write(text)
            except BrokenPipeError:
                self._gone()

    def flush(self) -> None:
        if not self.closed_pipe:
            try:
                self._stream.flush()
            except BrokenPipeError:
                self._gone()

    def isatty(self) -> bool:
        isatty = getattr(self._stream, "isatty", None)
        return bool(isatty and isatty())

    def _gone(self) -> None:
        self.closed_pipe = True
        # What is still buffered, and the interpreter's own flush at exit, go
        # nowhere instead of into the closed pipe.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self._stream.fileno())
            os.close(devnull)
        except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
            pass



def _save_traceback(text: str) -> str:
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    fd, path = tempfile.mkstemp(prefix=f"{PROG}-{stamp}-", suffix=".log")
    with os.fdopen(fd, "w", encoding="utf-8") as fh:
        fh.write(text)
    return path



def _unexpected(exc: BaseException, debug: bool, stderr: TextIO) -> int:
    text = "".join(traceback.format_exception(exc))
    summary = " ".join(f"{type(exc).__name__}: {exc}".split())
    if debug:
        stderr.write(text)
        print(f"{PROG}: unexpected failure: {summary}", file=stderr)
        return 3
    try:
        where = f"the traceback is in {_save_traceback(text)}"
    except OSError:
        where = "run again with --debug for the traceback"
    print(f"{PROG}: unexpected failure: {summary}; {where}", file=stderr)
    return 3



def _open_standard_streams() -> None:
    # Started with a stream closed (`>&-`), the first file opened would take
    # its descriptor, and whatever is printed would land in that file.
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            os.open(os.devnull, os.O_RDWR)  # the lowest free descriptor: fd



def _stop_workers() -> None:
    # Worker processes stay ready for the next run in this process; after an
    # interrupt there is none, and they go at once instead of when they notice.
    try:
        from korvan.cli.jobs import stop_workers

        stop_workers()
    except Exception:  # already gone
        pass



def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status.

    0: done; 1: a robustness limit (--max-drop) failed; 2: bad input (one
    line on stderr says what); 3: an unexpected failure, the native module
    missing included; 130 on Ctrl-C, 143 on SIGTERM.
    """
    previous = signals.during_run()
    try:
        return _main(argv)
    finally:
        signals.restore(previous)



def console() -> None:
    """The installed ``korvan-robustness`` command: run, then exit with the status."""
    signals.during_run()
    status = _main(None)
    # The outcome is settled: a Ctrl-C while the interpreter shuts down must
    # not print a traceback.
    signals.settled()
    sys.exit(status)



def _main(argv: Sequence[str] | None) -> int:
    _open_standard_streams()
    # Started with a stream closed, Python has None for it.
    stdout = _PipeSafe(sys.stdout or open(os.devnull, "w"))  # noqa: SIM115
    stderr = _PipeSafe(sys.stderr or open(os.devnull, "w"))  # noqa: SIM115
    debug = "--debug" in (sys.argv[1:] if argv is None else list(argv))
    with warnings.catch_warnings(record=True) as caught:
        # The libraries' warnings (numpy on infinities, scikit-learn on
        # feature names) are not the command's answer; --debug shows them.
        warnings.simplefilter("always")
        try:
            status = _guarded(argv, stdout, stderr, debug)
        except Interrupted as exc:  # a second signal while the first or an error is answered
            signals.settled()
            print(f"{PROG}: {signals.message_for(exc.signum)}", file=stderr)
            status = signals.status_for(exc.signum)
    if debug:
        for w in caught:
            stderr.write(warnings.formatwarning(w.message, w.category, w.filename, w.lineno))
    try:
        stdout.flush()
        stderr.flush()
    except (OSError, ValueError):
        pass
    return status



def _guarded(argv: Sequence[str] | None, stdout: _PipeSafe, stderr: _PipeSafe,
             debug: bool) -> int:
    try:
        opts = parse(argv)
        report = run(opts, stdout, stderr)
        stdout.flush()
        if report.verdict is not None and not report.verdict.passed:
            return 1
    except UsageError as exc:
        message = " ".join(str(exc).split())
        print(f"{PROG}: error: {message}", file=stderr)
        return 2
    except Interrupted as exc:
        signals.settled()  # one answer, even to a second Ctrl-C
        _stop_workers()
        print(f"{PROG}: {signals.message_for(exc.signum)}", file=stderr)
        return signals.status_for(exc.signum)
    except NativeModuleError as exc:
        print(f"{PROG}: error: the native robustness module cannot be loaded ({exc}); "
              f"build it with 'make install'", file=stderr)
        return 3
    except SystemExit as exc:  # --help
        stdout.flush()
        return exc.code if isinstance(exc.code, int) else 0
    except BrokenPipeError:  # --help | head -1: argparse writes to the pipe itself
        stdout._gone()
        return 0
    except KeyboardInterrupt:  # outside the main thread, where no handler is set
        _stop_workers()
        print(f"{PROG}: interrupted", file=stderr)
        return 130
    except Exception as exc:
        return _unexpected(exc, debug, stderr)
    return 0



if __name__ == "__main__":
    console()
