"""The run: fit the model when none was loaded, test it, write, print.

:func:`run` is the whole command for parsed options; :func:`execute` the test
itself, counting the model calls for the progress bar and the timing line.
"""

from __future__ import annotations

import contextlib
import time
from typing import Any, Callable, Iterator, TextIO

import numpy as np

from korvan.cli import jobs, show, signals, sweep
from korvan.cli.job import Job, Outcome, RunReport
from korvan.cli.options import Options
from korvan.cli.outputs import write_outputs
from korvan.cli.plan import model_failure, prepare
from korvan.compare import compare_models
from korvan.errors import Interrupted, NativeModuleError, UsageError
from korvan.models import Model, fit_estimator, make_estimator, wrap_model
from korvan.rows import label_worst_rows, worst_rows

__all__ = ["Outcome", "RunReport", "execute", "run"]


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
        # The bar's carriage return is the command's own, not to be escaped.
        self._write = getattr(stream, "raw", stream.write)
        self.done = 0

    def step(self) -> None:
        self.done += 1
        if self.enabled:
            shown = min(self.done, self.total)
            filled = self.width * shown // self.total
            bar = "#" * filled + "-" * (self.width - filled)
            self._write(f"\rRobustness test [{bar}] {shown}/{self.total} model calls")
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
        except Interrupted:
            raise
        except (SystemExit, KeyboardInterrupt) as exc:
            # Raised by the user's model, not sent to the command: a failure
            # of the model, which must not end the command as if it were done.
            raise model_failure(self._model, method.__name__, exc) from None
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



# -- the run -----------------------------------------------------------------

@contextlib.contextmanager
def _answered(progress: Progress) -> Iterator[None]:
    """The test's refusals as the command's one-line errors; the progress bar closed either way."""
    try:
        yield
    except jobs.SchedulerError as exc:
        raise UsageError(str(exc)) from None
    except ValueError as exc:
        raise UsageError(f"robustness test failed: {exc}") from None
    finally:
        progress.close()


def _fit(job: Job, kind: str) -> Model:
    """The model of ``kind`` fitted on the train split, timed."""
    ds = job.dataset
    start = time.perf_counter()
    estimator = make_estimator(kind, ds.task_type, random_state=job.opts.seed)
    try:
        fit_estimator(estimator, *ds.get_X_y_data("train"))
    except ValueError as exc:
        raise UsageError(f"fitting the {kind} model failed: {exc}") from None
    job.seconds["fit"] = job.seconds.get("fit", 0.0) + time.perf_counter() - start
    return wrap_model(estimator, dataset=ds)


def _run_kwargs(job: Job) -> dict[str, Any]:
    opts = job.opts
    return dict(
        dataset=opts.split, metric=job.metric.name, n_repeats=opts.n_repeats,
        perturb_features=opts.features, perturb_method=opts.method,
        noise_levels=list(opts.noise_levels), threshold=opts.threshold,
        random_state=opts.seed,
    )


def execute_comparison(job: Job, stderr: TextIO) -> Outcome:
    """Fit the models that were not loaded, and compare them on the same rounds.

    Each round is perturbed once and every model predicts on it; with
    ``--per-feature`` each model's features are then ranked by their own
    sweep.
    """
    opts, ds = job.opts, job.dataset
    test_class = _load_test_class()
    models = job.models or {kind: _fit(job, kind) for kind in opts.model_names}
    rounds = len(opts.noise_levels) * opts.n_repeats
    # Per model: its rounds and its sweep's, and one unperturbed prediction for all of them.
    calls = (1 + sweep.extra_runs(opts, ds.feature_names)) * rounds + 1
    progress = Progress(len(models) * calls, stderr)
    run_kwargs = _run_kwargs(job)
    start = time.perf_counter()
    found: dict[str, Any] | None = None
    with _answered(progress):
        with jobs.backend(opts, job.n_jobs) as n_jobs:
            comparison = compare_models(ds, models, n_jobs=n_jobs if opts.parallel else None,
                                        progress=progress.step, **run_kwargs)
        if opts.wants_sweep:
            found = {}
            for name, model in models.items():
                counted = _counting(model, progress)
                with jobs.command_test(opts, job.n_jobs, test_class, ds, model, counted,
                                       progress.step) as test:
                    found[name] = sweep.run_sweep(test, opts, run_kwargs,
                                                  comparison.results[name])
    job.seconds["rounds"] = time.perf_counter() - start
    for result in comparison.results.values():
        label_worst_rows(result, ds)
    return Outcome(result=comparison, model=next(iter(models.values())),
                   model_calls=len(models) * calls, sweep=found)


def execute(job: Job, stderr: TextIO) -> Outcome:
    """Fit the model when none was loaded, run the test and name the worst rows."""
    opts, ds = job.opts, job.dataset
    if opts.comparing:
        return execute_comparison(job, stderr)
    test_class = _load_test_class()
    model = job.model
    if model is None:
        model = _fit(job, opts.model[0])
    runs = 1 + sweep.extra_runs(opts, ds.feature_names)
    # Every run's rounds, and one prediction of the unperturbed split for all of them.
    calls = runs * len(opts.noise_levels) * opts.n_repeats + 1
    progress = Progress(calls, stderr)
    counted = _counting(model, progress)
    start = time.perf_counter()
    run_kwargs = _run_kwargs(job)
    found = workers = None
    with _answered(progress):
        with jobs.command_test(opts, job.n_jobs, test_class, ds, model, counted,
                               progress.step) as test:
            result = test.run(**run_kwargs)
            workers = getattr(test, "choice", None)
            if opts.wants_sweep:
                found = sweep.run_sweep(test, opts, run_kwargs, result)
    if opts.parallel:
        # The rounds ran in workers, where predicting and perturbing overlap.
        counted.calls = calls
        job.seconds["rounds"] = time.perf_counter() - start
    else:
        job.seconds["predict"] = counted.seconds
        job.seconds["perturb"] = time.perf_counter() - start - counted.seconds
    label_worst_rows(result, ds)
    # One baseline prediction serves the worst-rows table and the report.
    baseline = None
    if opts.worst_rows is not None or not opts.no_html:
        try:
            baseline = result.baseline_prediction(ds, model)
        except Interrupted:
            raise
        except (SystemExit, KeyboardInterrupt) as exc:  # raised by the user's model
            raise model_failure(model, "predict", exc) from None
    worst = None if opts.worst_rows is None else worst_rows(result, ds, baseline)
    return Outcome(result=result, model=model, model_calls=counted.calls, worst=worst,
                   sweep=found, baseline=baseline,
                   workers=None if workers is None else str(workers))



def run(opts: Options, stdout: TextIO, stderr: TextIO) -> RunReport:
    """Run the command for parsed arguments: check, run, write, print.

    Raises
    ------
    UsageError
        For bad input; nothing has been written then.
    """
    started = time.perf_counter()
    job = prepare(opts)
    show.print_roles(job, stdout)
    outcome = execute(job, stderr)
    # Once the files are in place the outcome is settled; the caller puts
    # the signal handlers back when it returns.
    paths = write_outputs(job, outcome, moved=signals.settled)
    job.seconds["total"] = time.perf_counter() - started
    if opts.comparing:
        show.print_comparison(job, outcome, paths, stdout)
    else:
        show.print_summary(job, outcome, paths, stdout)
    verdict = None
    if opts.max_drop is not None:
        # The last line, where a CI log reader looks.
        verdict = sweep.verdict(outcome.result, outcome.sweep, opts.max_drop)
        print(verdict.message, file=stdout)
    return RunReport(result=outcome.result, paths=paths, model_calls=outcome.model_calls,
                     seconds=job.seconds, verdict=verdict)

