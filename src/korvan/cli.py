"""The ``korvan-robustness`` command.

Fits a model on the train split of a CSV file or a bundled data set, runs the
robustness test on it, prints how far the score falls as the features get
noisier, and writes the chart (``chart.png``) and the full result
(``result.json``) to the output folder.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Sequence, TextIO

import numpy as np

from korvan import __version__
from korvan.data import BUNDLED, SPLITS, DataError, DataSet, load_bundled, read_csv
from korvan.metrics import METRICS, default_metric, get_metric, metrics_for_task
from korvan.models import MODEL_KINDS, Model, fit_estimator, make_estimator, wrap_model
from korvan.stats import summary_lines
from korvan.utils.constants import CATEGORICAL, CLASSIFICATION, REGRESSION, TASK_TYPES

PROG = "korvan-robustness"
DEMO_DATA = "diabetes"
DEFAULT_NOISE_LEVELS = "0.1,0.2,0.3,0.4,0.5"
METHODS = ("normal", "quantile")
CHART_FILE = "chart.png"
RESULT_FILE = "result.json"

__all__ = ["main", "build_parser", "run", "RunReport", "UsageError"]


class UsageError(Exception):
    """Bad input from the user: reported as one line on stderr, exit status 2."""


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


def build_parser() -> argparse.ArgumentParser:
    """Return the command's argument parser."""
    parser = _Parser(
        prog=PROG,
        description=(
            "Measure how far a model's score falls when its input features are perturbed.\n"
            "The model is fitted on the train split, then scored on the chosen split with\n"
            "noise of growing size added to the features, several times per level."
        ),
        epilog=(
            "examples:\n"
            f"  {PROG} --demo\n"
            f"  {PROG} --bundled breast_cancer --metric ACC --noise-levels 0.2,0.5,1\n"
            f"  {PROG} data.csv --target price --categorical city,type --sample-weight w\n\n"
            f"--demo is --bundled {DEMO_DATA} with every default: a gradient-boosting\n"
            f"regressor on 442 patients, MSE on the test split at noise levels\n"
            f"{DEFAULT_NOISE_LEVELS}, 10 repeats each.\n\n"
            "Exit status 2 means bad input (one line on stderr says what); files are\n"
            "written only when the test succeeded."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    src = parser.add_argument_group("data (a CSV file, --bundled or --demo)")
    src.add_argument("csv", nargs="?", metavar="CSV",
                     help="CSV file with a header row, one row per sample")
    src.add_argument("--bundled", choices=BUNDLED,
                     help="use a data set that ships with scikit-learn: diabetes (regression) "
                          "or breast_cancer (binary classification)")
    src.add_argument("--demo", action="store_true",
                     help=f"run on the bundled {DEMO_DATA} data with the defaults")
    src.add_argument("--target", metavar="COLUMN", help="target column of the CSV file")
    src.add_argument("--task-type", choices=TASK_TYPES,
                     help="inferred from the target when omitted: labels and few whole "
                          "numbers mean classification, other numbers regression")
    src.add_argument("--categorical", type=_name_list, metavar="COLS",
                     help="comma-separated categorical columns; others are inferred from "
                          "their type (text and true/false columns are categorical)")
    src.add_argument("--sample-weight", metavar="COLUMN",
                     help="column of non-negative sample weights (not used as a feature)")

    test = parser.add_argument_group("model and test")
    test.add_argument("--model", choices=MODEL_KINDS, default="gbm",
                      help="gbm: gradient boosting (default); linear: linear or logistic "
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
    parser.add_argument("--output", default="robustness-output", metavar="DIR",
                        help="folder for chart.png and result.json (default ./robustness-output)")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


# -- progress and timing -----------------------------------------------------

class _Progress:
    """A one-line progress bar over the model calls, drawn only on a terminal."""

    def __init__(self, total: int, stream: TextIO, width: int = 30) -> None:
        self.total = max(total, 1)
        self.stream = stream
        self.width = width
        isatty = getattr(stream, "isatty", None)
        self.enabled = bool(isatty and isatty())
        self.done = 0

    def step(self) -> None:
        self.done += 1
        if self.enabled:
            shown = min(self.done, self.total)
            filled = self.width * shown // self.total
            bar = "#" * filled + "-" * (self.width - filled)
            self.stream.write(f"\rRobustness test [{bar}] {shown}/{self.total} model calls")
            self.stream.flush()

    def close(self) -> None:
        if self.enabled and self.done:
            self.stream.write("\n")
            self.stream.flush()


class _CountingModel:
    """Passes calls to a model while counting and timing them."""

    def __init__(self, model: Model, progress: _Progress) -> None:
        self._model = model
        self._progress = progress
        self.name = model.name
        self.estimator = model.estimator
        self.calls = 0
        self.seconds = 0.0

    @property
    def classes_(self) -> Any:
        return self._model.classes_

    def _call(self, method: Callable[[np.ndarray], np.ndarray], X: np.ndarray) -> np.ndarray:
        start = time.perf_counter()
        try:
            return method(X)
        finally:
            self.seconds += time.perf_counter() - start
            self.calls += 1
            self._progress.step()

    def predict(self, X: np.ndarray) -> np.ndarray:
        return self._call(self._model.predict, X)


class _CountingProbabilisticModel(_CountingModel):
    def predict_proba(self, X: np.ndarray) -> np.ndarray:
        return self._call(self._model.predict_proba, X)  # type: ignore[attr-defined]


def _counting(model: Model, progress: _Progress) -> _CountingModel:
    if hasattr(model, "predict_proba"):
        return _CountingProbabilisticModel(model, progress)
    return _CountingModel(model, progress)


# -- the command -------------------------------------------------------------

@dataclass
class RunReport:
    """What one run of the command did, with where its time went."""

    result: Any
    chart_path: Path
    result_path: Path
    model_calls: int
    fit_seconds: float
    predict_seconds: float
    total_seconds: float


class NativeModuleError(Exception):
    """The native robustness module is missing or cannot be loaded."""


def _load_test_class() -> type:
    # Imported when the command runs, so that --help works without the build.
    try:
        from korvan.factsheet.diagnose.robustness import RobustnessTest
    except ImportError as exc:
        raise NativeModuleError(str(exc)) from exc
    return RobustnessTest


def _load_data(args: argparse.Namespace) -> DataSet:
    sources = [args.csv is not None, args.bundled is not None, args.demo]
    if sum(sources) != 1:
        raise UsageError("give exactly one of: a CSV file, --bundled NAME "
                         f"({', '.join(BUNDLED)}) or --demo")
    csv_only = {"--target": args.target, "--task-type": args.task_type,
                "--categorical": args.categorical, "--sample-weight": args.sample_weight}
    if args.csv is None:
        given = [opt for opt, v in csv_only.items() if v is not None]
        if given:
            raise UsageError(f"{', '.join(given)} appl{'y' if len(given) > 1 else 'ies'} "
                             "to a CSV file only; the bundled data sets fix their own")
        return load_bundled(args.bundled or DEMO_DATA, random_state=args.seed)
    if args.target is None:
        raise UsageError("a CSV file needs --target COLUMN naming the target column")
    frame = read_csv(args.csv)
    types = None
    if args.categorical is not None:
        candidates = [c for c in frame.columns if c not in (args.target, args.sample_weight)]
        for name in args.categorical:
            if name not in candidates:
                raise UsageError(f"--categorical: {name!r} is not a feature column; valid "
                                 f"columns are: {', '.join(map(str, candidates))}")
        types = {c: CATEGORICAL for c in args.categorical}
    return DataSet(frame, args.target, task_type=args.task_type, feature_types=types,
                   sample_weight=args.sample_weight, random_state=args.seed,
                   name=Path(args.csv).stem)


def _check_test_inputs(args: argparse.Namespace, ds: DataSet) -> str:
    """Check the test's options against the data; return the metric to use."""
    n_classes = None if ds.classes is None else len(ds.classes)
    valid = ", ".join(metrics_for_task(ds.task_type, n_classes))
    if args.metric is None:
        metric = default_metric(ds.task_type, n_classes)
    else:
        try:
            entry = get_metric(args.metric)
        except ValueError:
            raise UsageError(f"unknown metric {args.metric!r}; valid metrics for "
                             f"{ds.task_type} are: {valid}") from None
        metric = entry.name
        if entry.task != ds.task_type:
            raise UsageError(f"metric {metric} scores {entry.task}, but "
                             f"{ds.name} is a {ds.task_type} task; valid metrics are: "
                             f"{valid}")
        if not entry.fits(ds.task_type, n_classes):
            raise UsageError(f"metric {metric} scores the probability of one of two classes, "
                             f"but the target has {n_classes}; valid metrics here are: {valid}")
    for fn in args.features or []:
        if fn not in ds.feature_names:
            raise UsageError(f"--features: unknown feature {fn!r}; valid features are: "
                             f"{', '.join(map(str, ds.feature_names))}")
    output = Path(args.output)
    if output.exists() and not output.is_dir():
        raise UsageError(f"--output: {output} exists and is not a folder")
    return metric


def _print_summary(out: TextIO, ds: DataSet, model: Model, args: argparse.Namespace,
                   metric: str, sign: int, result: Any) -> None:
    table = result.table
    X, _, _ = ds.get_X_y_data(args.split)
    features = args.features or ds.feature_names
    better = "higher" if sign > 0 else "lower"
    print(f"Robustness of {model.name} on {ds.name} ({ds.task_type}, {args.split} split, "
          f"{X.shape[0]} rows)", file=out)
    print(f"Metric {metric} ({better} is better), {args.n_repeats} repeats per level, "
          f"{args.method} noise on {len(features)} of {len(ds.feature_names)} features, "
          f"seed {args.seed}", file=out)
    print("", file=out)
    print(f"{metric} per repeat and noise level:", file=out)
    print(table.to_string(float_format=lambda v: f"{v:.6g}"), file=out)
    print("", file=out)
    for line in summary_lines(result.summary, metric):
        print(line, file=out)
    info = result.value["data_info"]
    n_worst, n_rest = len(info["sample_idx1"]), len(info["sample_idx2"])
    print("", file=out)
    first = f"{float(table.columns[1]):g}" if table.shape[1] > 1 else "the first level"
    print(f"Worst group: {n_worst} rows, whose predictions move most at noise {first}; "
          f"remaining: {n_rest} rows", file=out)


def run(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> RunReport:
    """Run the command for parsed arguments.

    Raises
    ------
    UsageError
        For bad input; nothing has been written then.
    """
    started = time.perf_counter()
    try:
        ds = _load_data(args)
    except DataError as exc:
        raise UsageError(str(exc)) from None
    metric = _check_test_inputs(args, ds)
    test_class = _load_test_class()

    X_train, y_train, w_train = ds.get_X_y_data("train")
    estimator = make_estimator(args.model, ds.task_type, random_state=args.seed)
    fit_start = time.perf_counter()
    fit_estimator(estimator, X_train, y_train, w_train)
    fit_seconds = time.perf_counter() - fit_start
    model = wrap_model(estimator)
    sign = get_metric(metric).sign

    progress = _Progress(1 + len(args.noise_levels) * args.n_repeats, stderr)
    counted = _counting(model, progress)
    try:
        result = test_class(ds, counted).run(
            dataset=args.split, metric=metric, n_repeats=args.n_repeats,
            perturb_features=args.features, perturb_method=args.method,
            noise_levels=list(args.noise_levels), threshold=args.threshold,
            random_state=args.seed,
        )
    except ValueError as exc:
        raise UsageError(f"robustness test failed: {exc}") from None
    finally:
        progress.close()

    _print_summary(stdout, ds, model, args, metric, sign, result)
    output = Path(args.output)
    try:
        output.mkdir(parents=True, exist_ok=True)
        chart_path = Path(result.plot(output / CHART_FILE))
        result_path = Path(result.save(output / RESULT_FILE))
    except OSError as exc:
        raise UsageError(f"cannot write to {output}: {exc.strerror or exc}") from None
    total = time.perf_counter() - started
    print("", file=stdout)
    print(f"Chart:  {chart_path}", file=stdout)
    print(f"Result: {result_path}", file=stdout)
    print(f"Time: {total:.2f} s in all; model {fit_seconds + counted.seconds:.2f} s "
          f"(fit {fit_seconds:.2f} s, {counted.calls} predict calls {counted.seconds:.2f} s)",
          file=stdout)
    return RunReport(result=result, chart_path=chart_path, result_path=result_path,
                     model_calls=counted.calls, fit_seconds=fit_seconds,
                     predict_seconds=counted.seconds, total_seconds=total)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status.

    0: done; 1: the native module is missing or the test hit an internal
    error; 2: bad input (one line on stderr says what).
    """
    stdout, stderr = sys.stdout, sys.stderr
    try:
        args = build_parser().parse_args(argv)
        run(args, stdout, stderr)
    except UsageError as exc:
        message = " ".join(str(exc).split())
        print(f"{PROG}: error: {message}", file=stderr)
        return 2
    except NativeModuleError as exc:
        print(f"{PROG}: error: the native robustness module cannot be loaded ({exc}); "
              f"build it with 'make install'", file=stderr)
        return 1
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=stderr)
        return 130
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
