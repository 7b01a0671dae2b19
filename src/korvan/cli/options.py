"""The command's options: one parser, one set of argument types, one typed result.

:func:`parse` is the only place that sees :mod:`argparse`; everything after it
reads an :class:`Options`.
"""

from __future__ import annotations

import argparse
import math
import re
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Sequence

from korvan import __version__
from korvan.data import BUNDLED, SPLITS
from korvan.errors import UsageError
from korvan.metrics import METRICS, default_metric
from korvan.models import INPUT_MODES, MODEL_KINDS
from korvan.constants import CLASSIFICATION, REGRESSION, TASK_TYPES

__all__ = ["PROG", "DEMO_DATA", "Options", "MaxDrop", "build_parser", "parse"]

PROG = "korvan-robustness"
DEMO_DATA = "diabetes"
DEFAULT_NOISE_LEVELS = "0.1,0.2,0.3,0.4,0.5"
DEFAULT_MODEL = "gbm"
METHODS = ("normal", "quantile")
#: Bar chart of the drop per feature, written beside the box plot.
FEATURES_CHART_FILE = "features.png"
#: The sweep as JSON, written beside the result.
FEATURES_FILE = "features.json"


@dataclass(frozen=True)
class MaxDrop:
    """A limit on the relative drop of the mean score, at one level or any."""

    limit: float
    level: float | None = None

    def __str__(self) -> str:
        return f"{self.limit:g}" + ("" if self.level is None else f"@{self.level:g}")



class _Parser(argparse.ArgumentParser):
    # argparse prints the usage block before the message; one line is easier
    # to read in a terminal and to match in scripts.
    def error(self, message: str) -> None:  # type: ignore[override]
        raise UsageError(message)



# -- argument types ----------------------------------------------------------

def _number(text: str, what: str | None = None) -> float:
    """A finite number; ``what`` names it in the message when one option holds several."""
    shown = text.strip()
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{what + ' ' if what else ''}{shown!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{what} must be a finite number, got {shown!r}" if what
                                         else f"{shown!r} is not a finite number")
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



def _whole_number(text: str, least: int, wording: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be {wording}, got {value}")
    return value



def _positive_int(text: str) -> int:
    return _whole_number(text, 1, "at least 1")



def _seed(text: str) -> int:
    return _whole_number(text, 0, "0 or more")



def _name_list(text: str) -> list[str]:
    names = [t.strip() for t in text.split(",")]
    if not text.strip() or any(not n for n in names):
        raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list of column names")
    return list(dict.fromkeys(names))



def _model_kinds(text: str) -> list[str]:
    kinds = [t.strip() for t in text.split(",")]
    for kind in kinds:
        if kind not in MODEL_KINDS:
            raise argparse.ArgumentTypeError(
                f"{kind!r} is not a model; choose from {', '.join(MODEL_KINDS)}, or several "
                f"separated by commas (gbm,linear) to compare them")
    if len(set(kinds)) != len(kinds):
        raise argparse.ArgumentTypeError(f"{text!r} names a model twice")
    return kinds



def _size(text: str) -> int:
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmgt]?)i?b?\s*", text, re.IGNORECASE)
    if not match:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size such as 800M or 4G")
    scale = 1024 ** " kmgt".index(match.group(2).lower() or " ")
    return int(float(match.group(1)) * scale)



def _separator(text: str) -> str:
    # A tab is easier to type as \t than as itself.
    return "\t" if text in ("\\t", "tab") else text



#: What ``--workers`` accepts.
WORKER_KINDS = ("threads", "processes")


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text.strip()!r} is not a whole number") from None
    if value == 0 or value < -1:
        raise argparse.ArgumentTypeError(
            f"{value} workers makes no sense; give a positive number, or -1 for every core")
    return value



def max_drop_arg(text: str) -> MaxDrop:
    """Parse ``LIMIT`` or ``LIMIT@LEVEL`` (``0.05``, ``5%``, ``0.05@0.2``)."""
    limit_text, at, level_text = text.partition("@")
    percent = limit_text.strip().endswith("%")
    # "5%" is the share 0.05, the way people write a limit.
    limit = _number(limit_text.strip().removesuffix("%"), "the limit")
    if percent:
        limit /= 100.0
    if limit < 0:
        raise argparse.ArgumentTypeError(f"the limit must be >= 0 (0.05 allows a 5% drop), got {limit:g}")
    if not at:
        return MaxDrop(limit)
    level = _number(level_text, "the noise level")
    if level <= 0:
        raise argparse.ArgumentTypeError(f"the noise level must be positive, got {level:g}")
    return MaxDrop(limit, level)



def groups_arg(text: str) -> list[list[str]]:
    """Parse ``"a,b;c"`` into ``[["a", "b"], ["c"]]``: groups split by ``;``, names by ``,``."""
    groups = []
    for i, part in enumerate(text.split(";"), start=1):
        names = [name.strip() for name in part.split(",")]
        if not any(names):
            raise argparse.ArgumentTypeError(f"group {i} is empty; write groups as \"a,b;c\"")
        if not all(names):
            raise argparse.ArgumentTypeError(f"group {i} has an empty feature name: {part.strip()!r}")
        groups.append(names)
    return groups



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
            f"  {PROG} --demo --model gbm,linear,forest\n"
            f"  {PROG} data.csv --target price --categorical city,type --sample-weight w\n\n"
            f"--demo is --bundled {DEMO_DATA} with every default: a gradient-boosting\n"
            f"regressor on 442 patients, MSE on the test split at noise levels\n"
            f"{DEFAULT_NOISE_LEVELS}, 10 repeats each.\n\n"
            "Exit status: 0 done; 1 the --max-drop limit failed; 2 bad input (one line\n"
            "on stderr says what); 3 an unexpected failure (one line, and where the\n"
            "traceback was written); 130 on Ctrl-C, 143 on SIGTERM (one line).\n"
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
                     help="comma-separated categorical columns; others are categorical when "
                          "the model encodes them (a pipeline's encoders, the categorical "
                          "features of LightGBM, XGBoost, CatBoost or HistGradientBoosting) "
                          "or holds text or true/false values")
    src.add_argument("--numerical", type=_name_list, metavar="COLS",
                     help="comma-separated columns to perturb as numbers whatever their type")
    src.add_argument("--drop-missing-target", action="store_true",
                     help="leave out the rows without a target value (the command says how "
                          "many) instead of refusing the file")
    src.add_argument("--sample-weight", metavar="COLUMN",
                     help="column of non-negative sample weights (not used as a feature)")
    src.add_argument("--drop", type=_name_list, metavar="COLS",
                     help="comma-separated columns to leave out: identifiers, dates, free text")

    test = parser.add_argument_group("model and test")
    test.add_argument("--model-file", metavar="PATH", action="append",
                      help="a fitted model to test instead of fitting one: a .skops file, or "
                           "with --allow-pickle a .joblib, .pkl or .pickle file; give it "
                           "several times to compare the models on the same perturbed rows")
    test.add_argument("--allow-pickle", action="store_true",
                      help="load pickle-based model files, which can run any code while they "
                           "load: only for files you trust")
    test.add_argument("--trust", type=_name_list, metavar="TYPES",
                      help="comma-separated types a .skops file may hold beyond those skops "
                           "trusts by default")
    test.add_argument("--input", choices=INPUT_MODES, default="auto",
                      help="what the model is handed: frame (the data's columns and dtypes), "
                           "array (a float matrix, categories as codes), values (the data's "
                           "values as an array, text as text) or auto (default: a frame for "
                           "models fitted on one, values for models fitted on an array that "
                           "encode text themselves)")
    test.add_argument("--model", type=_model_kinds, default=None, metavar="KINDS",
                      help="without --model-file, the model fitted on the train split: gbm: "
                           "gradient boosting (default); linear: linear or logistic "
                           "regression; forest: random forest; several separated by commas "
                           "(gbm,linear,forest) are compared on the same perturbed rows")
    test.add_argument("--split", choices=SPLITS, default=None,
                      help="rows to score: main (all rows; the default with --model-file, "
                           "whose data is taken for a holdout), train, or test (30%% of rows; "
                           "the default when the command fits the model)")
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
    group = parser.add_argument_group("parallel runs")
    group.add_argument("--jobs", type=_jobs, default=None, metavar="N",
                       help="compute the perturbed rounds on N workers at once (-1: every "
                            "core; more than the cores is capped at them): threads for a "
                            "compiled model, processes for one written in Python, one core "
                            "when the run is too small to pay; the result is the same. With "
                            "--scheduler: N rounds at once on the cluster (default: all)")
    group.add_argument("--workers", choices=WORKER_KINDS, default=None,
                       help="with --jobs: always threads or always processes instead of "
                            "what pays")
    group.add_argument("--scheduler", metavar="ADDRESS", default=None,
                       help="send the rounds to the Dask cluster whose scheduler is at "
                            "ADDRESS (e.g. tcp://10.0.0.5:8786); needs the dask extra")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    group = parser.add_argument_group("per-feature breakdown and limit")
    group.add_argument("--per-feature", action="store_true",
                       help="also run the test once per feature, each perturbed alone with the "
                            f"same seeds, and rank them by drop ({FEATURES_CHART_FILE}, "
                            f"{FEATURES_FILE})")
    group.add_argument("--feature-groups", type=groups_arg, metavar="GROUPS",
                       help='like --per-feature, but for groups perturbed together: "a,b;c" is '
                            "the group a,b and the group c")
    group.add_argument("--max-drop", type=max_drop_arg, metavar="LIMIT[@LEVEL]",
                       help="fail (exit status 1) when the mean score is more than LIMIT worse "
                            "than the baseline, as a share of it (0.05 or 5%%), at any noise "
                            "level (or only at LEVEL); with --per-feature, the all-features "
                            "run and every feature are held to it")
    return parser



@dataclass(frozen=True)
class Options:
    """What the user asked for, parsed and typed (see ``korvan-robustness --help``)."""

    data: str | None
    sep: str
    bundled: str | None
    demo: bool
    target: str | None
    task_type: str | None
    categorical: list[str] | None
    numerical: list[str] | None
    drop_missing_target: bool
    sample_weight: str | None
    drop: list[str] | None
    model_file: list[str] | None
    allow_pickle: bool
    trust: list[str] | None
    input: str
    model: list[str]
    split: str
    metric: str | None
    n_repeats: int
    features: list[str] | None
    method: str
    noise_levels: list[float]
    threshold: float
    seed: int
    output: str
    no_html: bool
    worst_rows: str | None
    max_memory: int | None
    debug: bool
    jobs: int | None
    workers: str | None
    scheduler: str | None
    per_feature: bool
    feature_groups: list[list[str]] | None
    max_drop: MaxDrop | None

    @property
    def wants_sweep(self) -> bool:
        """Whether the options ask for the per-feature breakdown."""
        return bool(self.per_feature or self.feature_groups)

    @property
    def model_names(self) -> list[str]:
        """The models' names: the kinds fitted, or the model files' names without suffix.

        Two files of the same name in different folders are named by their paths.
        """
        if not self.model_file:
            return list(self.model)
        stems = [Path(p).stem for p in self.model_file]
        if len(set(stems)) == len(stems):
            return stems
        return list(self.model_file)

    @property
    def comparing(self) -> bool:
        """Whether several models are compared."""
        return len(self.model_names) > 1

    @property
    def parallel(self) -> bool:
        """Whether the rounds run in parallel (``--jobs`` or ``--scheduler``)."""
        return self.jobs is not None or self.scheduler is not None


def parse(argv: Sequence[str] | None = None) -> Options:
    """Parse the command line into :class:`Options`.

    Raises
    ------
    UsageError
        For an unknown option or a value of the wrong form.
    SystemExit
        For ``--help`` and ``--version``, as argparse does.
    """
    namespace = vars(build_parser().parse_args(argv))
    _refuse_idle_options(namespace)
    if namespace["model"] is None:
        namespace["model"] = [DEFAULT_MODEL]
    if namespace["split"] is None:
        # A loaded model was fitted elsewhere: its data is a holdout already.
        namespace["split"] = "main" if namespace["model_file"] is not None else "test"
    return Options(**{f.name: namespace[f.name] for f in fields(Options)})



def _refuse_idle_options(namespace: dict[str, object]) -> None:
    """Options that would do nothing with the others given are refused, not ignored."""
    if namespace["model_file"] is not None:
        if namespace["model"] is not None:
            kinds = ",".join(namespace["model"])  # type: ignore[arg-type]
            raise UsageError(f"--model {kinds} fits a model, but --model-file gives one; leave "
                             f"out one of them")
        return
    for option, given in (("--allow-pickle", namespace["allow_pickle"]),
                          ("--trust", namespace["trust"] is not None)):
        if given:
            raise UsageError(f"{option} applies to the file of --model-file, which is not given")
