"""The ``korvan-robustness`` command line: arguments, exit statuses, streams.

What the command does lives in :mod:`korvan.cli.command`; this module parses the
arguments and turns every outcome into an exit status:

0 done; 1 a robustness limit failed; 2 bad input (one line on stderr says
what); 3 an unexpected failure (one line naming it and where the traceback
was written; the traceback itself with ``--debug``).
"""

from __future__ import annotations

import argparse
import datetime
import io
import math
import os
import re
import sys
import tempfile
import traceback
from typing import Sequence, TextIO

from korvan import __version__
from korvan.cli import jobs
from korvan.cli.command import (
    DEMO_DATA,
    NativeModuleError,
    RunReport,
    UsageError,
    run,
)
from korvan.cli.sweep import add_arguments as add_sweep_arguments
from korvan.data import BUNDLED, SPLITS
from korvan.metrics import METRICS, default_metric
from korvan.models import INPUT_MODES, MODEL_KINDS
from korvan.utils.constants import CLASSIFICATION, REGRESSION, TASK_TYPES

PROG = "korvan-robustness"
DEFAULT_NOISE_LEVELS = "0.1,0.2,0.3,0.4,0.5"
METHODS = ("normal", "quantile")

__all__ = ["main", "build_parser", "run", "RunReport", "UsageError"]


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage block before the message; one line is easier
    # to read in a terminal and to match in scripts.
    def error(self, message: str) -> None:  # type: ignore[override]
        raise UsageError(message)


# -- argument types ----------------------------------------------------------

def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text.strip()!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text.strip()!r} is not a finite number")
    return value


def _noise_levels(text: str) -> list[float]:
    items = [t.strip() for t in text.split(",")]
    if not text.strip() or any(not t for t in items):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a comma-separated list of numbers, e.g. 0.1,0.2,0.5"
        )
    levels = [_number(t) for t in items]
    for level in levels:
        if level <= 0:
            raise argparse.ArgumentTypeError(
                f"{level:g} is not positive; noise levels must be above 0 "
                f"(the baseline 0 is always included)"
            )
    if len(set(levels)) != len(levels):
        raise argparse.ArgumentTypeError(f"{text!r} repeats a level")
    return levels


def _threshold(text: str) -> float:
    value = _number(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(
            f"{value:g} is not between 0 and 1 (the share of rows in the worst group)"
        )
    return value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def _name_list(text: str) -> list[str]:
    names = [t.strip() for t in text.split(",")]
    if not text.strip() or any(not n for n in names):
        raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list of column names")
    return list(dict.fromkeys(names))


def _size(text: str) -> int:
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmgt]?)i?b?\s*", text, re.IGNORECASE)
    if not match:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size such as 800M or 4G")
    scale = 1024 ** " kmgt".index(match.group(2).lower() or " ")
    return int(float(match.group(1)) * scale)


def _separator(text: str) -> str:
    # A tab is easier to type as \t than as itself.
    return "\t" if text in ("\\t", "tab") else text


def build_parser() -> argparse.ArgumentParser:
    """Return the command's argument parser."""
    parser = _Parser(
        prog=PROG,
        description=(
            "Measure how far a model's score falls when its input features are perturbed.\n"
            "The model (loaded with --model-file, or fitted on the train split) is scored\n"
            "on the chosen split with noise of growing size added to the features,\n"
            "several times per level."
        ),
        epilog=(
            "examples:\n"
            f"  {PROG} data.parquet --target churn --model-file model.skops\n"
            f"  {PROG} --demo\n"
            f"  {PROG} --bundled breast_cancer --metric ACC --noise-levels 0.2,0.5,1\n"
            f"  {PROG} data.csv --target price --categorical city,type --sample-weight w\n\n"
            f"--demo is --bundled {DEMO_DATA} with every default: a gradient-boosting\n"
            f"regressor on 442 patients, MSE on the test split at noise levels\n"
            f"{DEFAULT_NOISE_LEVELS}, 10 repeats each.\n\n"
            "Exit status: 0 done; 1 the --max-drop limit failed; 2 bad input (one line\n"
            "on stderr says what); 3 an unexpected failure (one line, and where the\n"
            "traceback was written).\n"
            "Files are written only when the whole run succeeded, all of them or none."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    src = parser.add_argument_group("data (a CSV or Parquet file, --bundled or --demo)")
    src.add_argument("data", nargs="?", metavar="DATA",
                     help="CSV file with a header row, or a .parquet file; one row per sample")
    src.add_argument("--sep", type=_separator, default=",", metavar="SEP",
                     help="field separator of a CSV file (default ','; \\t for tabs)")
    src.add_argument("--bundled", choices=BUNDLED,
                     help="use a data set that ships with scikit-learn: diabetes (regression) "
                          "or breast_cancer (binary classification)")
    src.add_argument("--demo", action="store_true",
                     help=f"run on the bundled {DEMO_DATA} data with the defaults")
    src.add_argument("--target", metavar="COLUMN", help="target column of the data file")
    src.add_argument("--task-type", choices=TASK_TYPES,
                     help="inferred from the target when omitted: labels and few whole "
                          "numbers mean classification, other numbers regression")
    src.add_argument("--categorical", type=_name_list, metavar="COLS",
                     help="comma-separated categorical columns; others are inferred from "
                          "their type (text and true/false columns are categorical)")
    src.add_argument("--sample-weight", metavar="COLUMN",
                     help="column of non-negative sample weights (not used as a feature)")
    src.add_argument("--drop", type=_name_list, metavar="COLS",
                     help="comma-separated columns to leave out: identifiers, dates, free text")

    test = parser.add_argument_group("model and test")
    test.add_argument("--model-file", metavar="PATH",
                      help="a fitted model to test instead of fitting one: a .skops file, or "
                           "with --allow-pickle a .joblib, .pkl or .pickle file")
    test.add_argument("--allow-pickle", action="store_true",
                      help="load pickle-based model files, which can run any code while they "
                           "load: only for files you trust")
    test.add_argument("--trust", type=_name_list, metavar="TYPES",
                      help="comma-separated types a .skops file may hold beyond those skops "
                           "trusts by default")
    test.add_argument("--input", choices=INPUT_MODES, default="auto",
                      help="what the model is handed: frame (the data's columns and dtypes), "
                           "array (a float matrix, categories as codes) or auto (default: a "
                           "frame for models fitted on one)")
    test.add_argument("--model", choices=MODEL_KINDS, default="gbm",
                      help="without --model-file, the model fitted on the train split: gbm: "
                           "gradient boosting (default); linear: linear or logistic "
                           "regression; forest: random forest")
    test.add_argument("--split", choices=SPLITS, default="test",
                      help="rows to score: main (all), train or test (default; 30%% of rows)")
    test.add_argument("--metric", metavar="NAME",
                      help=f"one of {', '.join(METRICS)}; default "
                           f"{default_metric(REGRESSION)} for regression, "
                           f"{default_metric(CLASSIFICATION, 2)} for two classes, "
                           f"{default_metric(CLASSIFICATION, 3)} for more")
    test.add_argument("--n-repeats", type=_positive_int, default=10, metavar="N",
                      help="perturbed scorings per noise level (default 10)")
    test.add_argument("--features", type=_name_list, metavar="COLS",
                      help="comma-separated features to perturb (default: all)")
    test.add_argument("--method", choices=METHODS, default="normal",
                      help="normal: add Gaussian noise of level x the feature's standard "
                           "deviation (default); quantile: shift each value's quantile by "
                           "up to half the level. Categorical features are resampled with "
                           "probability level either way")
    test.add_argument("--noise-levels", type=_noise_levels, default=DEFAULT_NOISE_LEVELS,
                      metavar="LEVELS",
                      help=f"comma-separated positive noise levels (default {DEFAULT_NOISE_LEVELS})")
    test.add_argument("--threshold", type=_threshold, default=0.1, metavar="SHARE",
                      help="share of scored rows whose predictions move most at the first "
                           "noise level, reported as the worst group (default 0.1)")
    test.add_argument("--seed", type=_seed, default=0,
                      help="seed of the train/test split, the model and the noise (default 0)")
    out = parser.add_argument_group("output")
    out.add_argument("--output", default="robustness-output", metavar="DIR",
                     help="folder for chart.png, result.json and report.html "
                          "(default ./robustness-output)")
    out.add_argument("--no-html", action="store_true",
                     help="do not write report.html, the self-contained HTML report")
    out.add_argument("--worst-rows", metavar="PATH.csv",
                     help="also write the worst group's rows with their features, target, "
                          "baseline prediction and gap to this CSV file")
    out.add_argument("--max-memory", type=_size, metavar="SIZE",
                     help="memory the predictions may take, e.g. 4G (default: half of the "
                          "available memory)")
    out.add_argument("--debug", action="store_true",
                     help="on an unexpected failure, print the whole traceback")
    jobs.add_arguments(parser)
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    add_sweep_arguments(parser)
    return parser



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
        args = build_parser().parse_args(argv)
        report = run(args, stdout, stderr)  # type: ignore[arg-type]
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
