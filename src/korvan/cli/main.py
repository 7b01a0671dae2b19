"""The ``korvan-robustness`` command line: exit statuses and streams.

What the command does lives in :mod:`korvan.cli.run`; this module turns every
outcome into an exit status:

0 done; 1 a robustness limit failed; 2 bad input (one line on stderr says
what); 3 an unexpected failure (one line naming it and where the traceback
was written; the traceback itself with ``--debug``).
"""

from __future__ import annotations

import datetime
import io
import os
import sys
import tempfile
import traceback
from typing import Sequence, TextIO

from korvan.cli.options import PROG, parse
from korvan.cli.run import run
from korvan.errors import NativeModuleError, UsageError

__all__ = ["main"]


# -- streams and failures ----------------------------------------------------

class _PipeSafe:
    """A stream that goes quiet once its reader has gone (``cmd | head -1``)."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self.closed_pipe = False

    def write(self, text: str) -> int:
        if not self.closed_pipe:
            try:
                self._stream.write(text)
            except BrokenPipeError:
                self._gone()
        return len(text)

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



def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status.

    0: done; 1: a robustness limit (--max-drop) failed; 2: bad input (one
    line on stderr says what); 3: an unexpected failure, the native module
    missing included.
    """
    stdout, stderr = _PipeSafe(sys.stdout), sys.stderr
    debug = "--debug" in (sys.argv[1:] if argv is None else list(argv))
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
    except NativeModuleError as exc:
        print(f"{PROG}: error: the native robustness module cannot be loaded ({exc}); "
              f"build it with 'make install'", file=stderr)
        return 3
    except SystemExit as exc:  # --help
        stdout.flush()
        return exc.code if isinstance(exc.code, int) else 0
    except BrokenPipeError:  # --help | head -1: argparse writes to the pipe itself
        _PipeSafe(sys.stdout)._gone()
        return 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=stderr)
        return 130
    except Exception as exc:
        return _unexpected(exc, debug, stderr)
    return 0



if __name__ == "__main__":
    raise SystemExit(main())
