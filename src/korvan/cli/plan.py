"""Everything the command checks before the run, into one :class:`Job`.

:func:`prepare` reads the inputs and checks data, columns, model, metric,
split, memory and output places; any problem is a :class:`UsageError` and
nothing has been written.
"""

from __future__ import annotations

import os
import time
from pathlib import Path
from typing import Any, Hashable, Sequence

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from korvan.cli import jobs, sweep
from korvan.cli.job import Job
from korvan.cli.options import DEMO_DATA, Options
from korvan.cli.outputs import OutputError, OutputSpec, check_targets, planned_outputs
from korvan.data import DataSet, infer_task_type, load_bundled
from korvan.errors import DataError, Interrupted, UsageError
from korvan.inputs import load_model, read_table
from korvan.metrics import Metric, default_metric, get_metric, metrics_for_task
from korvan.modelinfo import ModelColumns, UnseenCategories, describe_model, model_frame
from korvan.models import FeatureMismatch, check_features, has_predict, wrap_model
from korvan.roles import (FROM_DATA, ColumnRoles, assign_roles, non_missing_counts,
                          unusable_columns, unusable_message)
from korvan.constants import CLASSIFICATION, REGRESSION
from korvan.text import name_list

__all__ = ["Job", "prepare", "available_memory", "format_bytes"]

# A run may keep at most this share of the available memory unless told otherwise.
MEMORY_SHARE = 0.5
# Fewer rows than this cannot be split into rows to fit on and rows to score.
MIN_ROWS = 10
# A class that is a quantity: a numeric target with at least this many
# distinct values, most rows holding a value of their own.
QUANTITY_VALUES = 30



def _load_table(opts: Options, job_seconds: dict[str, float]
                ) -> tuple[pd.DataFrame, str]:
    start = time.perf_counter()
    frame = read_table(opts.data, sep=opts.sep)
    job_seconds["read"] = time.perf_counter() - start
    return frame, Path(opts.data).stem



def _too_few_rows(where: str, rows: int) -> UsageError:
    # In a tiny table every column looks constant or every split empty; the
    # cause is the number of rows.
    return UsageError(f"too few rows: {where} has {rows} data row{'' if rows == 1 else 's'}; "
                      f"a test needs at least {MIN_ROWS} (some to fit on, some to score)")



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



def _choose_task(opts: Options, target: pd.Series, estimator: Any) -> tuple[str, str]:
    """The task type and where it came from: "given", "model" or "target"."""
    from_model = None if estimator is None else _model_task(estimator)
    if opts.task_type is not None:
        if from_model is not None and from_model != opts.task_type:
            raise UsageError(f"--task-type {opts.task_type}, but the model is a "
                             f"{from_model} model")
        if opts.task_type == CLASSIFICATION:
            _check_classes(target)
        return opts.task_type, "given"
    if from_model is not None:
        return from_model, "model"
    return infer_task_type(target), "target"



def _check_classes(target: pd.Series) -> None:
    if ptypes.is_bool_dtype(target.dtype) or not ptypes.is_numeric_dtype(target.dtype):
        return
    distinct = target.nunique()
    if distinct >= QUANTITY_VALUES and distinct > len(target) / 2:
        raise UsageError(f"--task-type classification, but the target {target.name!r} holds "
                         f"{distinct} distinct values in {len(target)} rows, a quantity rather "
                         f"than class labels; use --task-type regression")



def _check_target(frame: pd.DataFrame, target: Hashable) -> None:
    values = frame[target].dropna()
    if len(values) and values.nunique() == 1:
        raise UsageError(f"The target column {target!r} is constant (every row holds "
                         f"{values.iloc[0]!r}); there is nothing to predict")



def _load_user_model(opts: Options, path: str, seconds: dict[str, float]) -> Any:
    start = time.perf_counter()
    estimator = load_model(path, allow_pickle=opts.allow_pickle, trust=opts.trust or ())
    seconds["load"] = seconds.get("load", 0.0) + time.perf_counter() - start
    if not has_predict(estimator):
        raise UsageError(f"{path} holds a {type(estimator).__name__}, which has "
                         f"no predict method")
    return estimator



def _load_user_models(opts: Options, seconds: dict[str, float]) -> dict[str, Any]:
    """The model files' estimators by name; several must take the same features and task."""
    if not opts.model_file:
        return {}
    if len(set(opts.model_file)) != len(opts.model_file):
        raise UsageError("--model-file: a file is given twice")
    estimators = {name: _load_user_model(opts, path, seconds)
                  for name, path in zip(opts.model_names, opts.model_file)}
    if len(estimators) > 1:
        from korvan.compare import check_same_features

        try:
            check_same_features(estimators)
        except FeatureMismatch as exc:
            raise UsageError(f"--model-file: {exc}") from None
        tasks = {name: _model_task(e) for name, e in estimators.items()}
        if len({t for t in tasks.values() if t is not None}) > 1:
            raise UsageError("--model-file: the models do not share a task: " + ", ".join(
                f"{name} is a {t} model" for name, t in tasks.items() if t is not None))
    return estimators



def _check_model_columns(estimator: Any, features: Sequence[Hashable], input_mode: str) -> None:
    try:
        check_features(estimator, features, input_mode)
    except FeatureMismatch as exc:
        hint = ""
        if exc.unexpected:
            hint = (f"; leave out the columns it was not fitted on with --drop "
                    f"{','.join(map(str, exc.unexpected))}")
        raise UsageError(f"{exc}{hint}") from None



def _drop_missing_target(frame: pd.DataFrame, opts: Options, notes: list[str]
                         ) -> pd.DataFrame:
    missing = frame[opts.target].isna() if opts.target in frame.columns else None
    if missing is None or not missing.any():
        return frame
    n = int(missing.sum())
    rows = f"{n} row{'s' if n > 1 else ''}"
    if not opts.drop_missing_target:
        raise UsageError(f"The target column {opts.target!r} is missing in {rows}; leave "
                         f"those rows out with --drop-missing-target")
    if n == len(frame):
        raise UsageError(f"The target column {opts.target!r} is missing in every row")
    notes.append(f"Left out {rows} without a target value (--drop-missing-target); "
                 f"{len(frame) - n} rows remain")
    return frame[~missing.to_numpy()]


def _plain_array_note(info: ModelColumns | None, roles: ColumnRoles, input_mode: str
                      ) -> str | None:
    if info is None or info.feature_names is not None or input_mode == "frame":
        return None
    return (f"The model was fitted on a plain array, so it gets the file's columns in their "
            f"order: {name_list(roles.features, 12)}")


def _build_dataset(opts: Options, seconds: dict[str, float], estimator: Any,
                   notes: list[str]) -> tuple[DataSet, ColumnRoles, str]:
    if opts.data is None:
        ds = load_bundled(opts.bundled or DEMO_DATA, random_state=opts.seed)
        roles = ColumnRoles(ds.target, None, list(ds.feature_names),
                            dict(zip(ds.feature_names, ds.feature_types)))
        return ds, roles, "given"
    frame, name = _load_table(opts, seconds)
    if opts.target is None:
        raise UsageError("a data file needs --target COLUMN naming the target column")
    # The model is asked which columns it takes as categories before the
    # data's own types are read.
    info = None if estimator is None else describe_model(estimator)
    roles = assign_roles(frame, opts.target, weight=opts.sample_weight, drop=opts.drop or (),
                         categorical=opts.categorical or (), numerical=opts.numerical or (),
                         model=info)
    needed: Sequence[Hashable] = ()
    if estimator is not None:
        _check_model_columns(estimator, roles.features, opts.input)
        needed = roles.features
    found = unusable_columns(frame, roles, needed)
    if found and len(frame) < MIN_ROWS:
        raise _too_few_rows(str(opts.data), len(frame))
    if found:
        raise UsageError(unusable_message(found))
    frame = _drop_missing_target(frame, opts, notes)
    _check_target(frame, roles.target)
    note = _plain_array_note(info, roles, opts.input)
    if note:
        notes.append(note)
    if info is not None:
        # A CSV or an untyped Parquet file lacks the category dtype the model
        # was fitted on; its stored categories give it back, in its order.
        try:
            frame = model_frame(frame, info, columns=roles.features)
        except UnseenCategories as exc:
            raise UsageError(str(exc)) from None
    task, source = _choose_task(opts, frame[roles.target], estimator)
    given = {fn: t for fn, t in roles.feature_types.items() if roles.sources[fn] != FROM_DATA}
    ds = DataSet(frame, roles.target, task_type=task, feature_names=roles.features,
                 feature_types=given or None, sample_weight=roles.weight,
                 random_state=opts.seed, name=name)
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



def _choose_metric(opts: Options, ds: DataSet, source: str) -> Metric:
    n_classes = None if ds.classes is None else len(ds.classes)
    valid = ", ".join(metrics_for_task(ds.task_type, n_classes))
    if opts.metric is None:
        return get_metric(default_metric(ds.task_type, n_classes))
    try:
        entry = get_metric(opts.metric)
    except ValueError:
        raise UsageError(f"unknown metric {opts.metric!r}; valid metrics for "
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
        raise UsageError(f"The model's classes ({name_list(fitted, 10)}) are not the target's "
                         f"({name_list(labels, 10)})")



def model_failure(model: Any, method: str, exc: BaseException) -> UsageError:
    """The error for a user's model that raised while predicting (SystemExit included)."""
    text = " ".join(str(exc).split())
    hint = ""
    if getattr(model, "input", None) == "array":
        hint = "; if it takes the data's columns by name, pass --input frame"
    return UsageError(f"the model {model.name} failed: its {method} raised "
                      f"{type(exc).__name__}{': ' + text if text else ''}{hint}")



def _first_bad(values: np.ndarray) -> int | None:
    """Position of the first row whose prediction is not a finite number."""
    rows = values.reshape(len(values), -1)
    if rows.dtype.kind in "biu":
        return None
    if rows.dtype.kind != "f":  # strings, None, objects: what is no number counts as NaN
        rows = pd.DataFrame(rows).apply(pd.to_numeric, errors="coerce").to_numpy(np.float64)
    where = np.flatnonzero(~np.isfinite(rows).all(axis=1))
    return int(where[0]) if where.size else None



def _check_predictions(model: Any, ds: DataSet, opts: Options, metric: Metric) -> None:
    """One call of the user's model on the scored rows, as the test will make it."""
    X = ds.get_X_y_data(opts.split)[0]
    method = "predict_proba" if metric.needs_proba else "predict"
    try:
        out = np.asarray(getattr(model, method)(X))
    except Interrupted:
        raise
    except (Exception, SystemExit, KeyboardInterrupt) as exc:  # whatever the model raises
        raise model_failure(model, method, exc) from None
    if out.ndim == 0 or len(out) != len(X):
        raise UsageError(f"the model {model.name}'s {method} gave {out.size} values for "
                         f"{len(X)} rows; it must give one per row")
    if method == "predict" and ds.task_type == CLASSIFICATION:
        return  # labels, checked against the classes as the test runs
    pos = _first_bad(out)
    if pos is not None:
        value = out[pos].tolist() if hasattr(out[pos], "tolist") else out[pos]
        raise UsageError(f"the model's predictions are at fault: {model.name}'s {method} gives "
                         f"{value!r} for row {ds.get_index(opts.split)[pos]!r}; the test needs "
                         f"a finite number for every row")



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



def _check_split(opts: Options, ds: DataSet, features: Sequence[Hashable],
                 fitting: bool) -> None:
    X, _, _ = ds.get_X_y_data(opts.split)
    everything = len(ds.get_index("main"))
    if X.shape[0] < 2 and everything < MIN_ROWS:
        raise _too_few_rows(getattr(ds, "name", "the data"), everything)
    if X.shape[0] < 2:
        raise UsageError(f"The {opts.split} split has {X.shape[0]} row"
                         f"{'' if X.shape[0] == 1 else 's'}; scoring needs at least 2 "
                         f"(use --split main, or more data)")
    # The scored rows need values to perturb; the train rows, when the
    # command fits the model, values to fit on.
    splits = [(opts.split, features)]
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



def _check_memory(opts: Options, ds: DataSet) -> None:
    rows = ds.get_X_y_data(opts.split)[0].shape[0]
    # The result keeps one prediction per row, level and repeat.
    models = len(opts.model_names)
    need = rows * len(opts.noise_levels) * opts.n_repeats * 8 * models
    limit = opts.max_memory
    if limit is None:
        available = available_memory()
        if available is None:
            return
        limit = int(available * MEMORY_SHARE)
        where = f"half of the {format_bytes(available)} available"
    else:
        where = "the --max-memory limit"
    if need > limit:
        per_model = f" x {models} models" if models > 1 else ""
        raise UsageError(f"The predictions would take {format_bytes(need)} ({rows} rows x "
                         f"{len(opts.noise_levels)} levels x {opts.n_repeats} repeats{per_model} "
                         f"x 8 bytes), "
                         f"more than {where} ({format_bytes(limit)}); use fewer repeats or "
                         f"levels, or raise the limit with --max-memory")



def _option_of(spec: OutputSpec) -> str:
    return "--worst-rows" if spec.label == "Worst rows" else "--output"



def _check_outputs(opts: Options) -> None:
    """Every output has a place of its own that can be written."""
    if not opts.output.strip():
        raise UsageError("--output: the folder name is empty; name a folder, e.g. "
                         "--output robustness-output")
    if opts.worst_rows is not None and not opts.worst_rows.strip():
        raise UsageError("--worst-rows: the file name is empty; name a CSV file")
    planned = planned_outputs(opts)
    # The worst rows go where --worst-rows says; every other output into --output.
    planned.sort(key=lambda sp: sp[0].label != "Worst rows")
    places: dict[str, OutputSpec] = {}
    for spec, path in planned:
        places.setdefault(os.path.abspath(path), spec)
    for spec, path in planned:
        here = os.path.abspath(path)
        other = places[here]
        if other is not spec:
            raise UsageError(f"{_option_of(other)} {path}: the {spec.label.lower()} is written "
                             f"there too; give each output a place of its own")
        inside = [s for p, s in places.items() if Path(p).is_relative_to(here) and p != here]
        if inside:
            raise UsageError(f"{_option_of(spec)} {path}: the {inside[0].label.lower()} is "
                             f"written inside it, as in a folder; give each output a place of "
                             f"its own")
    for spec, path in planned:
        try:
            folder = Path(opts.output) if spec.label != "Worst rows" else path.parent
            check_targets(folder, [path])
        except OutputError as exc:
            raise UsageError(f"{_option_of(spec)}: {exc}") from None



def prepare(opts: Options) -> Job:
    """Read the inputs and check everything that can be checked before the run.

    Raises
    ------
    UsageError
        Naming the problem; nothing has been written.
    """
    sources = [opts.data is not None, opts.bundled is not None, opts.demo]
    if sum(sources) != 1:
        raise UsageError("give exactly one of: a data file, --bundled NAME or --demo")
    if opts.data is None:
        file_only = {"--target": opts.target, "--task-type": opts.task_type,
                     "--categorical": opts.categorical, "--numerical": opts.numerical,
                     "--sample-weight": opts.sample_weight,
                     "--drop": opts.drop, "--model-file": opts.model_file,
                     "--drop-missing-target": opts.drop_missing_target or None}
        given = [opt for opt, v in file_only.items() if v is not None]
        if given:
            raise UsageError(f"{', '.join(given)} appl{'y' if len(given) > 1 else 'ies'} "
                             "to a data file only; the bundled data sets fix their own")
    n_jobs, note = jobs.check(opts)
    seconds: dict[str, float] = {}
    notes: list[str] = [note] if note else []
    _check_outputs(opts)
    if opts.comparing and opts.worst_rows is not None:
        raise UsageError("--worst-rows lists the worst rows of one model; with several "
                         "models, each one's worst group is in result.json")
    try:
        estimators = _load_user_models(opts, seconds)
        first = next(iter(estimators.values()), None)
        ds, roles, source = _build_dataset(opts, seconds, first, notes)
    except DataError as exc:
        raise UsageError(str(exc)) from None
    metric = _choose_metric(opts, ds, source)
    models = {}
    for name, estimator in estimators.items():
        _check_model_classes(estimator, ds)
        # Its columns were checked while the data set was built (with a hint
        # naming --drop); wrapping it checks them against the data set itself.
        model = wrap_model(estimator, dataset=ds, input=opts.input)
        if metric.needs_proba and not hasattr(model, "predict_proba"):
            others = ", ".join(n for n in metrics_for_task(ds.task_type)
                               if not get_metric(n).needs_proba)
            which = f"the model {name}" if len(estimators) > 1 else "the model"
            raise UsageError(f"metric {metric.name} scores predicted probabilities, but "
                             f"{which} has no predict_proba; use --metric with one of: {others}")
        _check_predictions(model, ds, opts, metric)
        models[name] = model
    model = next(iter(models.values()), None)
    for fn in opts.features or []:
        if fn not in ds.feature_names:
            raise UsageError(f"--features: unknown feature {fn!r}; valid features are: "
                             f"{name_list(ds.feature_names)}")
    try:
        sweep.check_arguments(opts, ds.feature_names, opts.noise_levels)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    features = list(opts.features or ds.feature_names)
    _check_split(opts, ds, features, fitting=model is None)
    _check_memory(opts, ds)
    return Job(opts=opts, dataset=ds, roles=roles, metric=metric, features=features,
               model=model, seconds=seconds, notes=notes, models=models or None,
               n_jobs=n_jobs)

