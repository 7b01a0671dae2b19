"""What the ``korvan-robustness`` command does, step by step.

1. :func:`prepare` reads the inputs and checks everything that can be
   checked before the run (data, columns, model, metric, split, memory,
   output places) and returns a :class:`Job`; any problem is a
   :class:`UsageError` and nothing has been written.
2. :func:`execute` fits the model (unless one was loaded) and runs the test.
3. The files in :data:`OUTPUTS` are written together (:mod:`korvan.cli.outputs`):
   all of them, or none.
4. :func:`print_summary` prints what the run found.

Other features add an output file by appending an :class:`OutputSpec` to
:data:`OUTPUTS`; its path is known from the arguments, so the pre-run checks
cover it too.
"""

from __future__ import annotations

import argparse
import os
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Hashable, Sequence, TextIO

import numpy as np
import pandas as pd

from korvan.cli import sweep as cli_sweep
from korvan.roles import (
    assign_roles,
    non_missing_counts,
    roles_table,
    unusable_columns,
    unusable_message,
    ColumnRoles,
)
from korvan.data import DataError, DataSet, infer_task_type, load_bundled
from korvan.cli import jobs
from korvan.inputs import load_model, read_table
from korvan.metrics import Metric, default_metric, get_metric, metrics_for_task
from korvan.models import (
    FeatureMismatch,
    Model,
    check_features,
    fit_estimator,
    make_estimator,
    wrap_model,
)
from korvan.cli.outputs import OutputError, PendingFile, check_targets, write_all
from korvan.rows import label_worst_rows, worst_rows
from korvan.stats import summary_lines
from korvan.utils.constants import CATEGORICAL, CLASSIFICATION, REGRESSION

__all__ = ["UsageError", "NativeModuleError", "Job", "Outcome", "RunReport", "OutputSpec",
           "OUTPUTS", "prepare", "execute", "print_roles", "print_summary", "run"]

DEMO_DATA = "diabetes"
CHART_FILE = "chart.png"
RESULT_FILE = "result.json"
REPORT_FILE = "report.html"
# A run may keep at most this share of the available memory unless told otherwise.
MEMORY_SHARE = 0.5


class UsageError(Exception):
    """Bad input from the user: reported as one line on stderr, exit status 2."""


class NativeModuleError(Exception):
    """The native robustness module is missing or cannot be loaded."""


def _load_test_class() -> type:
    # Imported when the command runs, so that --help works without the build.
    try:
        from korvan.factsheet.diagnose.robustness import RobustnessTest
    except ImportError as exc:
        raise NativeModuleError(str(exc)) from exc
    return RobustnessTest


# -- progress and timing -----------------------------------------------------

class Progress:
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

    def __init__(self, model: Model, progress: Progress) -> None:
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


def _counting(model: Model, progress: Progress) -> _CountingModel:
    if hasattr(model, "predict_proba"):
        return _CountingProbabilisticModel(model, progress)
    return _CountingModel(model, progress)


# -- the job -----------------------------------------------------------------

@dataclass
class Job:
    """Everything a run needs, checked.

    ``model`` is None when the command fits one itself (in :func:`execute`);
    ``seconds`` collects the time of each phase.
    """

    args: argparse.Namespace
    dataset: DataSet
    roles: ColumnRoles
    metric: Metric
    features: list[Hashable]
    model: Model | None
    task_source: str
    seconds: dict[str, float] = field(default_factory=dict)


@dataclass
class Outcome:
    """What :func:`execute` produced."""

    result: Any
    model: Model
    model_calls: int
    worst: pd.DataFrame | None = None
    sweep: Any = None


@dataclass
class RunReport:
    """What one run of the command did, with where its time went."""

    result: Any
    paths: dict[str, Path]
    model_calls: int
    seconds: dict[str, float]
    verdict: Any = None

    @property
    def chart_path(self) -> Path:
        return self.paths["Chart"]

    @property
    def result_path(self) -> Path:
        return self.paths["Result"]


@dataclass
class OutputSpec:
    """An output file of the command.

    Attributes
    ----------
    label : str
        Printed before its path (``"Chart"``).
    where : callable
        ``where(args)``: its path, or None when the run does not write it.
    write : callable
        ``write(path, job, outcome)`` writes the whole file at ``path``.
    """

    label: str
    where: Callable[[argparse.Namespace], Path | None]
    write: Callable[[Path, Job, Outcome], object]


def _write_chart(path: Path, job: Job, outcome: Outcome) -> None:
    outcome.result.plot(path)


def _write_result(path: Path, job: Job, outcome: Outcome) -> None:
    outcome.result.save(path)


def _write_report(path: Path, job: Job, outcome: Outcome) -> None:
    limit = getattr(job.args, "max_drop", None)
    outcome.result.save_html(path, job.dataset, model=outcome.model, sweep=outcome.sweep,
                             max_drop=None if limit is None else limit.limit,
                             level=None if limit is None else limit.level)


def _write_worst_rows(path: Path, job: Job, outcome: Outcome) -> None:
    assert outcome.worst is not None
    outcome.worst.to_csv(path)


#: The command's output files, written all together after the run.
OUTPUTS: list[OutputSpec] = [
    OutputSpec("Chart", lambda a: Path(a.output) / CHART_FILE, _write_chart),
    OutputSpec("Result", lambda a: Path(a.output) / RESULT_FILE, _write_result),
    OutputSpec("Report", lambda a: None if getattr(a, "no_html", False)
               else Path(a.output) / REPORT_FILE, _write_report),
    OutputSpec("Worst rows",
               lambda a: None if getattr(a, "worst_rows", None) is None else Path(a.worst_rows),
               _write_worst_rows),
    OutputSpec("Features chart", lambda a: cli_sweep.output_path(a, cli_sweep.FEATURES_CHART_FILE),
               lambda path, job, outcome: outcome.sweep.plot(path)),
    OutputSpec("Features", lambda a: cli_sweep.output_path(a, cli_sweep.FEATURES_FILE),
               lambda path, job, outcome: outcome.sweep.save(path)),
]


def planned_outputs(args: argparse.Namespace) -> list[tuple[OutputSpec, Path]]:
    """The output files this run will write, with their paths."""
    planned = []
    for spec in OUTPUTS:
        path = spec.where(args)
        if path is not None:
            planned.append((spec, path))
    return planned


# -- checks before the run ---------------------------------------------------

def _names(values: Sequence[Any], limit: int = 30) -> str:
    values = list(values)
    shown = ", ".join(str(v) for v in values[:limit])
    return shown + (f", ... ({len(values)} in all)" if len(values) > limit else "")


def _load_table(args: argparse.Namespace, job_seconds: dict[str, float]
                ) -> tuple[pd.DataFrame, str]:
    start = time.perf_counter()
    frame = read_table(args.data, sep=args.sep)
    job_seconds["read"] = time.perf_counter() - start
    return frame, Path(args.data).stem


def _model_task(estimator: Any) -> str | None:
    from sklearn.base import is_classifier, is_regressor

    try:
        if is_classifier(estimator):
            return CLASSIFICATION
        if is_regressor(estimator):
            return REGRESSION
    except Exception:  # estimators outside scikit-learn may not answer
        return None
    return None


def _choose_task(args: argparse.Namespace, target: pd.Series, estimator: Any) -> tuple[str, str]:
    """The task type and where it came from: "given", "model" or "target"."""
    from_model = None if estimator is None else _model_task(estimator)
    if args.task_type is not None:
        if from_model is not None and from_model != args.task_type:
            raise UsageError(f"--task-type {args.task_type}, but the model is a "
                             f"{from_model} model")
        return args.task_type, "given"
    if from_model is not None:
        return from_model, "model"
    return infer_task_type(target), "target"


def _check_target(frame: pd.DataFrame, target: Hashable) -> None:
    values = frame[target].dropna()
    if len(values) and values.nunique() == 1:
        raise UsageError(f"The target column {target!r} is constant (every row holds "
                         f"{values.iloc[0]!r}); there is nothing to predict")


def _load_user_model(args: argparse.Namespace, seconds: dict[str, float]) -> Any:
    start = time.perf_counter()
    estimator = load_model(args.model_file, allow_pickle=args.allow_pickle,
                           trust=args.trust or ())
    seconds["load"] = time.perf_counter() - start
    if not callable(getattr(estimator, "predict", None)):
        raise UsageError(f"{args.model_file} holds a {type(estimator).__name__}, which has "
                         f"no predict method")
    return estimator


def _check_model_columns(estimator: Any, features: Sequence[Hashable], input_mode: str) -> None:
    try:
        check_features(estimator, features, input_mode)
    except FeatureMismatch as exc:
        hint = ""
        if exc.unexpected:
            hint = (f"; leave out the columns it was not fitted on with --drop "
                    f"{','.join(map(str, exc.unexpected))}")
        raise UsageError(f"{exc}{hint}") from None


def _build_dataset(args: argparse.Namespace, seconds: dict[str, float], estimator: Any
                   ) -> tuple[DataSet, ColumnRoles, str]:
    if args.data is None:
        ds = load_bundled(args.bundled or DEMO_DATA, random_state=args.seed)
        roles = ColumnRoles(ds.target, None, list(ds.feature_names),
                            dict(zip(ds.feature_names, ds.feature_types)))
        return ds, roles, "given"
    frame, name = _load_table(args, seconds)
    if args.target is None:
        raise UsageError("a data file needs --target COLUMN naming the target column")
    roles = assign_roles(frame, args.target, weight=args.sample_weight, drop=args.drop or (),
                         categorical=args.categorical or ())
    needed: Sequence[Hashable] = ()
    if estimator is not None:
        _check_model_columns(estimator, roles.features, args.input)
        needed = roles.features
    found = unusable_columns(frame, roles, needed)
    if found:
        raise UsageError(unusable_message(found))
    _check_target(frame, roles.target)
    task, source = _choose_task(args, frame[roles.target], estimator)
    categorical = {fn: CATEGORICAL for fn in args.categorical or ()}
    ds = DataSet(frame, roles.target, task_type=task, feature_names=roles.features,
                 feature_types=categorical or None, sample_weight=roles.weight,
                 random_state=args.seed, name=name)
    return ds, roles, source


def _task_reason(ds: DataSet, source: str) -> str:
    if source == "model":
        return f"the model is a {ds.task_type} model"
    if source == "target" and ds.classes is not None:
        return (f"the target {ds.target!r} was taken for class labels "
                f"({len(ds.classes)} distinct values)")
    if source == "target":
        return f"the target {ds.target!r} was taken for a quantity"
    return f"{ds.name} is a {ds.task_type} task"


def _choose_metric(args: argparse.Namespace, ds: DataSet, source: str) -> Metric:
    n_classes = None if ds.classes is None else len(ds.classes)
    valid = ", ".join(metrics_for_task(ds.task_type, n_classes))
    if args.metric is None:
        return get_metric(default_metric(ds.task_type, n_classes))
    try:
        entry = get_metric(args.metric)
    except ValueError:
        raise UsageError(f"unknown metric {args.metric!r}; valid metrics for "
                         f"{ds.task_type} are: {valid}") from None
    if entry.task != ds.task_type:
        hint = (f"; if the task type is wrong, pass --task-type {entry.task}"
                if source == "target" else "")
        raise UsageError(f"metric {entry.name} scores {entry.task}, but "
                         f"{_task_reason(ds, source)}; valid metrics are: {valid}{hint}")
    if not entry.fits(ds.task_type, n_classes):
        raise UsageError(f"metric {entry.name} scores the probability of one of two classes, "
                         f"but the target has {n_classes}; valid metrics here are: {valid}")
    return entry


def _check_model_classes(estimator: Any, ds: DataSet) -> None:
    fitted = getattr(estimator, "classes_", None)
    if fitted is None or ds.classes is None:
        return
    fitted = list(np.asarray(fitted).tolist())
    labels = list(np.asarray(ds.classes).tolist())
    if fitted != labels and fitted != list(range(len(labels))):
        raise UsageError(f"The model's classes ({_names(fitted, 10)}) are not the target's "
                         f"({_names(labels, 10)})")


def available_memory() -> int | None:
    """Bytes of memory available to new allocations, if the system says."""
    try:
        with open("/proc/meminfo", encoding="ascii") as fh:
            for line in fh:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


def format_bytes(n: float) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1024 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} TB"  # pragma: no cover


def _check_split(args: argparse.Namespace, ds: DataSet, features: Sequence[Hashable],
                 fitting: bool) -> None:
    X, _, _ = ds.get_X_y_data(args.split)
    if X.shape[0] < 2:
        raise UsageError(f"The {args.split} split has {X.shape[0]} row"
                         f"{'' if X.shape[0] == 1 else 's'}; scoring needs at least 2 "
                         f"(use --split main, or more data)")
    # The scored rows need values to perturb; the train rows, when the
    # command fits the model, values to fit on.
    splits = [(args.split, features)]
    if fitting:
        splits.append(("train", ds.feature_names))
    for split, names in splits:
        X = ds.get_X_y_data(split)[0]
        counts = non_missing_counts(X[:, [ds.feature_names.index(f) for f in names]], names)
        sparse = {fn: c for fn, c in counts.items() if c < 2}
        if sparse:
            listed = ", ".join(f"{fn} ({c})" for fn, c in sparse.items())
            raise UsageError(f"Columns with fewer than 2 values in the {split} split: "
                             f"{listed}; leave them out with --drop "
                             f"{','.join(map(str, sparse))}")


def _check_memory(args: argparse.Namespace, ds: DataSet) -> None:
    rows = ds.get_X_y_data(args.split)[0].shape[0]
    # The result keeps one prediction per row, level and repeat.
    need = rows * len(args.noise_levels) * args.n_repeats * 8
    limit = args.max_memory
    if limit is None:
        available = available_memory()
        if available is None:
            return
        limit = int(available * MEMORY_SHARE)
        where = f"half of the {format_bytes(available)} available"
    else:
        where = "the --max-memory limit"
    if need > limit:
        raise UsageError(f"The predictions would take {format_bytes(need)} ({rows} rows x "
                         f"{len(args.noise_levels)} levels x {args.n_repeats} repeats x 8 bytes), "
                         f"more than {where} ({format_bytes(limit)}); use fewer repeats or "
                         f"levels, or raise the limit with --max-memory")


def prepare(args: argparse.Namespace) -> Job:
    """Read the inputs and check everything that can be checked before the run.

    Raises
    ------
    UsageError
        Naming the problem; nothing has been written.
    """
    sources = [args.data is not None, args.bundled is not None, args.demo]
    if sum(sources) != 1:
        raise UsageError("give exactly one of: a data file, --bundled NAME or --demo")
    if args.data is None:
        file_only = {"--target": args.target, "--task-type": args.task_type,
                     "--categorical": args.categorical, "--sample-weight": args.sample_weight,
                     "--drop": args.drop, "--model-file": args.model_file}
        given = [opt for opt, v in file_only.items() if v is not None]
        if given:
            raise UsageError(f"{', '.join(given)} appl{'y' if len(given) > 1 else 'ies'} "
                             "to a data file only; the bundled data sets fix their own")
    seconds: dict[str, float] = {}
    planned = planned_outputs(args)
    try:
        check_targets(Path(args.output), [path for _, path in planned])
    except OutputError as exc:
        raise UsageError(f"--output: {exc}") from None
    try:
        estimator = None if args.model_file is None else _load_user_model(args, seconds)
        ds, roles, source = _build_dataset(args, seconds, estimator)
    except DataError as exc:
        raise UsageError(str(exc)) from None
    metric = _choose_metric(args, ds, source)
    model = None
    if estimator is not None:
        _check_model_classes(estimator, ds)
        _check_model_columns(estimator, ds.feature_names, args.input)
        model = wrap_model(estimator, dataset=ds, input=args.input)
        if metric.needs_proba and not hasattr(model, "predict_proba"):
            others = ", ".join(n for n in metrics_for_task(ds.task_type)
                               if not get_metric(n).needs_proba)
            raise UsageError(f"metric {metric.name} scores predicted probabilities, but the "
                             f"model has no predict_proba; use --metric with one of: {others}")
    for fn in args.features or []:
        if fn not in ds.feature_names:
            raise UsageError(f"--features: unknown feature {fn!r}; valid features are: "
                             f"{_names(ds.feature_names)}")
    try:
        cli_sweep.check_arguments(args, ds.feature_names, args.noise_levels)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    features = list(args.features or ds.feature_names)
    _check_split(args, ds, features, fitting=model is None)
    _check_memory(args, ds)
    return Job(args=args, dataset=ds, roles=roles, metric=metric, features=features,
               model=model, task_source=source, seconds=seconds)


# -- the run -----------------------------------------------------------------

def execute(job: Job, stderr: TextIO) -> Outcome:
    """Fit the model when none was loaded, run the test and name the worst rows."""
    args, ds = job.args, job.dataset
    test_class = _load_test_class()
    model = job.model
    if model is None:
        start = time.perf_counter()
        estimator = make_estimator(args.model, ds.task_type, random_state=args.seed)
        try:
            fit_estimator(estimator, *ds.get_X_y_data("train"))
        except ValueError as exc:
            raise UsageError(f"fitting the {args.model} model failed: {exc}") from None
        job.seconds["fit"] = time.perf_counter() - start
        model = wrap_model(estimator, dataset=ds)
    runs = 1 + cli_sweep.extra_runs(args, ds.feature_names)
    progress = Progress(runs * (1 + len(args.noise_levels) * args.n_repeats), stderr)
    counted = _counting(model, progress)
    start = time.perf_counter()
    run_kwargs = dict(
        dataset=args.split, metric=job.metric.name, n_repeats=args.n_repeats,
        perturb_features=args.features, perturb_method=args.method,
        noise_levels=list(args.noise_levels), threshold=args.threshold,
        random_state=args.seed,
    )
    found = None
    try:
        with jobs.command_test(args, test_class, ds, model, counted, progress.step) as test:
            result = test.run(**run_kwargs)
            if cli_sweep.wants_sweep(args):
                found = cli_sweep.run_sweep(test, args, run_kwargs, result)
    except ValueError as exc:
        raise UsageError(f"robustness test failed: {exc}") from None
    finally:
        progress.close()
    if jobs.requested(args):
        # The rounds ran in workers, where predicting and perturbing overlap.
        counted.calls = runs * (1 + len(args.noise_levels) * args.n_repeats)
        job.seconds["rounds"] = time.perf_counter() - start
    else:
        job.seconds["predict"] = counted.seconds
        job.seconds["perturb"] = time.perf_counter() - start - counted.seconds
    label_worst_rows(result, ds)
    worst = None
    if getattr(args, "worst_rows", None) is not None:
        worst = worst_rows(result, ds, model)
    return Outcome(result=result, model=model, model_calls=counted.calls, worst=worst,
                   sweep=found)


def write_outputs(job: Job, outcome: Outcome) -> dict[str, Path]:
    """Write every planned output file, all or none; return label -> path."""
    planned = planned_outputs(job.args)
    files = [PendingFile(spec.label, path,
                         lambda p, spec=spec: spec.write(p, job, outcome))
             for spec, path in planned]
    start = time.perf_counter()
    try:
        write_all(files)
    except OSError as exc:
        raise UsageError(f"cannot write the output: {exc.strerror or exc}") from None
    job.seconds["write"] = time.perf_counter() - start
    return {spec.label: path for spec, path in planned}


# -- printing ----------------------------------------------------------------

def print_roles(job: Job, out: TextIO) -> None:
    """The role of every column, so that a wrong inference is seen before the run."""
    print(f"Columns of {job.dataset.name}:", file=out)
    print(roles_table(job.roles), file=out)
    print("", file=out)


def print_summary(job: Job, outcome: Outcome, paths: dict[str, Path], out: TextIO) -> None:
    """The table of scores, the mean drop per level, the worst rows and the files."""
    args, ds, metric, result = job.args, job.dataset, job.metric, outcome.result
    table = result.table
    n_rows = ds.get_X_y_data(args.split)[0].shape[0]
    better = "higher" if metric.higher_is_better else "lower"
    print(f"Robustness of {outcome.model.name} on {ds.name} ({ds.task_type}, {args.split} "
          f"split, {n_rows} rows)", file=out)
    print(f"Metric {metric.name} ({better} is better), {args.n_repeats} repeats per level, "
          f"{args.method} noise on {len(job.features)} of {len(ds.feature_names)} features, "
          f"seed {args.seed}", file=out)
    print("", file=out)
    print(f"{metric.name} per repeat and noise level:", file=out)
    print(table.to_string(float_format=lambda v: f"{v:.6g}"), file=out)
    print("", file=out)
    for line in summary_lines(result.summary, metric.name):
        print(line, file=out)
    info = result.value["data_info"]
    n_worst, n_rest = len(info["sample_idx1"]), len(info["sample_idx2"])
    print("", file=out)
    first = f"{float(table.columns[1]):g}" if table.shape[1] > 1 else "the first level"
    print(f"Worst group: {n_worst} rows, whose predictions move most at noise {first}; "
          f"remaining: {n_rest} rows", file=out)
    labels = info.get("row_labels1", [])
    if labels:
        print(f"  Rows, most affected first: {_names(labels, 10)}", file=out)
    if outcome.sweep is not None:
        cli_sweep.print_sweep(out, outcome.sweep)
    print("", file=out)
    width = max(len(label) for label in paths) + 1
    for label, path in paths.items():
        print(f"{label + ':':<{width}} {path}", file=out)
    print(_format_times(job.seconds), file=out)


def _format_times(seconds: dict[str, float]) -> str:
    total = seconds.get("total", 0.0)
    parts = [f"{name} {seconds[name]:.2f}" for name in
             ("read", "load", "fit", "predict", "perturb", "rounds", "write") if name in seconds]
    return f"Time: {total:.2f} s in all ({', '.join(parts)})"


def run(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> RunReport:
    """Run the command for parsed arguments: check, run, write, print.

    Raises
    ------
    UsageError
        For bad input; nothing has been written then.
    """
    started = time.perf_counter()
    job = prepare(args)
    print_roles(job, stdout)
    outcome = execute(job, stderr)
    paths = write_outputs(job, outcome)
    job.seconds["total"] = time.perf_counter() - started
    print_summary(job, outcome, paths, stdout)
    verdict = None
    if args.max_drop is not None:
        # The last line, where a CI log reader looks.
        verdict = cli_sweep.verdict(outcome.result, outcome.sweep, args.max_drop)
        print(verdict.message, file=stdout)
    return RunReport(result=outcome.result, paths=paths, model_calls=outcome.model_calls,
                     seconds=job.seconds, verdict=verdict)
