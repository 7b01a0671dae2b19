"""The robustness test with its rounds computed in parallel, equal to the sequential run."""

from __future__ import annotations

import functools
import threading
from contextlib import ExitStack
from typing import Any, Callable, Mapping, Sequence

import numpy as np
from joblib.parallel import get_active_backend

from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.parallel.baseline import one_baseline, plain_dataset
from korvan.parallel.choice import Choice, backend_kind, explicit_backend, inner_threads
from korvan.parallel.compute import compute_rounds
from korvan.parallel.plan import Plan, RoundSet, chunks, plan_of
from korvan.parallel.shipping import FeatureTable, model_config

__all__ = ["ParallelRobustnessTest"]


class _Recorded(Exception):
    """Raised out of a run made only to learn what it would ask the repetition step for."""

    def __init__(self, rounds: RoundSet, X: Any, predict_func: Any) -> None:
        super().__init__()
        self.rounds, self.X, self.predict_func = rounds, X, predict_func


def _same(a: Any, b: Any) -> bool:
    """True when two call arguments are the same value, as far as a round is concerned."""
    if a is b:
        return True
    if type(a) is not type(b):
        return False
    try:
        return bool(np.array_equal(a, b)) if isinstance(a, np.ndarray) else bool(a == b)
    except Exception:  # an exotic __eq__: treat as different and recompute
        return False


class ParallelRobustnessTest(RobustnessTest):
    """The robustness test with its rounds computed in parallel.

    ``run`` takes the same arguments as :meth:`RobustnessTest.run` and
    returns a result equal to the sequential one in every field.

    Without a joblib backend configured, the rounds go where they pay: to
    threads when the model's predict releases the interpreter lock, to a
    reused pool of processes when it holds it, and stay on one core when
    the run is too small for workers to pay (see :mod:`korvan.parallel.choice`).
    ``joblib.parallel_config(backend=...)`` decides instead when given.

    Parameters
    ----------
    dataset : DataSet
    model : object
        The model, as for :class:`RobustnessTest`.  On the process and Dask
        backends it must be picklable (cloudpickle).
    n_jobs : int, optional
        joblib's ``n_jobs``: -1 uses every core (every Dask worker thread
        under the Dask backend); None takes the active ``parallel_config``'s
        value, which defaults to 1.
    progress : callable, optional
        Called with no arguments each time a round (one perturbed
        prediction) finishes, on whichever worker.

    Attributes
    ----------
    choice : Choice or None
        Where the rounds of the last computation ran; ``str(choice)`` says it
        in a few words ("2 threads", "one core: the run is too small").
    """

    def __init__(self, dataset: Any, model: Any, n_jobs: int | None = None,
                 progress: Callable[[], Any] | None = None) -> None:
        super().__init__(dataset, model)
        self.n_jobs = n_jobs
        self.progress = progress
        #: Bound on the predictions :meth:`map` holds at once.
        self.max_prepared_bytes = 256 * 2**20
        self.choice: Choice | None = None
        self._local = threading.local()

    # -- computing rounds ----------------------------------------------------

    def _perturber(self) -> RobustnessTest:
        # An object of this class that carries only what _perturb reads, so
        # that a worker receives two short lists instead of the data set.
        perturber = object.__new__(type(self))
        perturber.dataset = FeatureTable(list(self.dataset.feature_names),
                                         list(self.dataset.feature_types))
        return perturber

    def _caller_backend(self) -> tuple[Any, Any, bool]:
        saved = getattr(self._local, "backend", None)
        if saved is not None:
            return saved
        backend, n_jobs = get_active_backend()
        return backend, n_jobs, explicit_backend()

    def compute(self, sets: Sequence[RoundSet], X: np.ndarray,
                predict_funcs: Sequence[Callable[[Any], Any]]) -> list[list[list[np.ndarray]]]:
        """Compute every round of ``sets`` once, each model predicting on it.

        See :func:`korvan.parallel.compute.compute_rounds`; the choice made is
        kept in :attr:`choice`.
        """
        predictions, self.choice = compute_rounds(
            sets, X, predict_funcs, self._perturber(), self.n_jobs, self.progress,
            self._caller_backend())
        return predictions

    # -- one run -------------------------------------------------------------

    @functools.wraps(RobustnessTest.run, assigned=("__doc__",))
    def run(self, *args: Any, **kwargs: Any) -> Any:
        plan = self._take_prepared(args, kwargs) or plan_of(self, args, kwargs)
        return self._run(plan, args, kwargs)

    def _run(self, plan: Plan | None, args: Sequence[Any], kwargs: Mapping[str, Any]) -> Any:
        local = self._local
        outer = getattr(local, "plan", None), getattr(local, "backend", None)
        local.plan = plan
        # The rounds go to the backend the caller configured; the model's own
        # calls in this process (the baseline) see what they see in a worker.
        local.backend = self._caller_backend()
        try:
            with model_config(inner_threads(*backend_kind(self.n_jobs))):
                return super().run(*args, **kwargs)
        finally:
            local.plan, local.backend = outer

    def _record(self, kwargs: Mapping[str, Any]) -> _Recorded | None:
        """What ``run(**kwargs)`` would ask the repetition step for, with its own
        normalisation and metric choice; None when the run would fail first
        (the run itself then reports it) or its levels cannot be read ahead."""
        plan = plan_of(self, (), kwargs)
        if plan is None:
            return None
        local = self._local
        outer = getattr(local, "recording", None)
        local.recording = plan
        try:
            # The baseline predicted here serves the run: the same configuration.
            with model_config(inner_threads(*backend_kind(self.n_jobs))):
                super().run(**kwargs)
        except _Recorded as recorded:
            return recorded
        except Exception:
            return None
        finally:
            local.recording = outer
        return None  # no level at all: nothing to compute ahead

    def _take_prepared(self, args: Sequence[Any], kwargs: Mapping[str, Any]) -> Plan | None:
        prepared = getattr(self._local, "prepared", None)
        if args or not prepared:
            return None
        for n, (spec, plan) in enumerate(prepared):
            if spec.keys() == kwargs.keys() and all(_same(spec[k], kwargs[k]) for k in spec):
                del prepared[n]
                return plan
        return None

    def _repeat_perturb_pred(self, X: Any, predict_func: Any, n_repeats: Any,
                             perturb_features: Any, perturb_method: Any, noise_level: Any,
                             random_state: Any) -> Any:
        if type(n_repeats) is not int or type(random_state) is not int:
            # Arguments the native step refuses: let it say so, in its words.
            return super()._repeat_perturb_pred(X, predict_func, n_repeats, perturb_features,
                                                perturb_method, noise_level, random_state)
        recording: Plan | None = getattr(self._local, "recording", None)
        if recording is not None:
            raise _Recorded(RoundSet(perturb_features, perturb_method, recording.noise_levels,
                                     n_repeats, random_state), X, predict_func)
        plan: Plan | None = getattr(self._local, "plan", None)
        rounds = (n_repeats, perturb_features, perturb_method, random_state)
        if plan is not None:
            if plan.call is None:
                plan.call = (X, predict_func)
                if plan.expect is None or not all(map(_same, plan.expect, rounds)):
                    sets = [RoundSet(perturb_features, perturb_method, plan.noise_levels,
                                     n_repeats, random_state)]
                    plan.prepared = self.compute(sets, X, [predict_func])[0][0]
                    plan.expect = rounds
            k = plan.cursor
            plan.cursor += 1
            if (k < len(plan.noise_levels) and plan.prepared is not None
                    and _same(X, plan.call[0]) and predict_func is plan.call[1]
                    and all(map(_same, plan.expect, rounds))
                    and _same(plan.noise_levels[k], noise_level)):
                result, plan.prepared[k] = plan.prepared[k], None
                return result
        sets = [RoundSet(perturb_features, perturb_method, [noise_level], n_repeats,
                         random_state)]
        return self.compute(sets, X, [predict_func])[0][0][0]

    # -- many runs -----------------------------------------------------------

    def _prepare(self, runs: Sequence[Mapping[str, Any]],
                 recorded: Sequence[_Recorded | None]) -> None:
        """Compute the rounds of the coming ``run(**r)`` calls of this thread at once."""
        groups: dict[int, list[int]] = {}
        for n, rec in enumerate(recorded):
            if rec is not None:
                groups.setdefault(id(rec.X), []).append(n)
        prepared = []
        for members in groups.values():
            # One prediction function per group: the runs of a group share
            # the split and the model, and a metric that predicts otherwise
            # (labels or probabilities) gives runs of another group.
            by_func: dict[Any, list[int]] = {}
            for n in members:
                by_func.setdefault(_predict_key(recorded[n].predict_func), []).append(n)  # type: ignore[union-attr]
            for same_func in by_func.values():
                rec0 = recorded[same_func[0]]
                assert rec0 is not None
                sets = [recorded[n].rounds for n in same_func]  # type: ignore[union-attr]
                computed = self.compute(sets, rec0.X, [rec0.predict_func])[0]
                for n, rs, levels in zip(same_func, sets, computed):
                    plan = Plan(noise_levels=list(rs.noise_levels), prepared=levels,
                                expect=(rs.n_repeats, rs.perturb_features, rs.perturb_method,
                                        rs.random_state))
                    prepared.append((dict(runs[n]), plan))
        self._local.prepared = prepared

    def map(self, fn: Callable[[Any], Any], specs: Any) -> list[Any]:
        """Map ``fn`` over run plans, their rounds computed together.

        The order-keeping ``map`` a sweep's ``executor`` needs
        (``sweep(test, executor=test, ...)``): each plan (a dict of
        ``run`` arguments, or an object whose ``kwargs()`` gives them) has its
        rounds computed with those of the other plans of its chunk, then
        ``fn(spec)``, which calls ``self.run(**kwargs)``, runs in this thread
        and picks them up.  Chunks hold at most ``max_prepared_bytes`` of
        predictions (at least one run each), so a sweep over many features
        keeps every worker busy without holding every run's predictions at
        once.  The unperturbed split is predicted once for all the plans.
        """
        specs = list(specs)
        kwargs = [dict(s.kwargs()) if callable(getattr(s, "kwargs", None)) else dict(s)
                  for s in specs]
        results: list[Any] = []
        with one_baseline(self):
            recorded = [self._record(k) for k in kwargs]
            sizes = [0 if rec is None else rec.rounds.size * 8 * len(rec.X) for rec in recorded]
            for chunk in chunks(sizes, self.max_prepared_bytes):
                self._prepare([kwargs[n] for n in chunk], [recorded[n] for n in chunk])
                try:
                    results.extend(fn(specs[n]) for n in chunk)
                finally:
                    self._local.prepared = []
        return results

    def run_models(self, models: Sequence[Any], **kwargs: Any) -> list[Any]:
        """Run the test on several models, each round perturbed once for all of them.

        Returns one result per model, each equal field by field to
        ``RobustnessTest(self.dataset, model).run(**kwargs)``.  Every model
        predicts on the same perturbed matrices, so the perturbation is
        computed as often as for one model.  The progress callback is called
        once per prediction.

        Parameters
        ----------
        models : sequence
            Models as :class:`RobustnessTest` takes them.
        **kwargs
            The arguments of :meth:`run`, shared by every model.
        """
        dataset = plain_dataset(self.dataset)
        tests = [type(self)(dataset, model, n_jobs=self.n_jobs, progress=self.progress)
                 for model in models]
        for test in tests:
            test.max_prepared_bytes = self.max_prepared_bytes
        with ExitStack() as stack:
            for test in tests:
                stack.enter_context(one_baseline(test))
            recorded = [test._record(kwargs) for test in tests]
            first = recorded[0] if recorded else None
            shared = first is not None and all(
                rec is not None and _same(rec.X, first.X) and _same_rounds(rec.rounds, first.rounds)
                for rec in recorded)
            if shared:
                assert first is not None
                predictions, self.choice = compute_rounds(
                    [first.rounds], first.X, [rec.predict_func for rec in recorded],  # type: ignore[union-attr]
                    self._perturber(), self.n_jobs, self.progress, self._caller_backend())
                for test, rec, levels in zip(tests, recorded, predictions):
                    rs = rec.rounds  # type: ignore[union-attr]
                    plan = Plan(noise_levels=list(rs.noise_levels), prepared=levels[0],
                                expect=(rs.n_repeats, rs.perturb_features, rs.perturb_method,
                                        rs.random_state))
                    test._local.prepared = [(dict(kwargs), plan)]
            results = []
            for test in tests:
                try:
                    results.append(test.run(**kwargs))
                finally:
                    test._local.prepared = []
            if not shared and tests:
                self.choice = tests[-1].choice
        return results


def _predict_key(predict_func: Any) -> Any:
    # get_scorer_funcs builds a new closure per run; closures of one code
    # over the same model predict the same way.
    code = getattr(predict_func, "__code__", None)
    cells = getattr(predict_func, "__closure__", None) or ()
    try:
        contents = tuple(id(c.cell_contents) for c in cells)
    except ValueError:  # an empty cell
        return id(predict_func)
    return (id(code), contents) if code is not None else id(predict_func)


def _same_rounds(a: RoundSet, b: RoundSet) -> bool:
    return (a.perturb_features == b.perturb_features and a.perturb_method == b.perturb_method
            and a.n_repeats == b.n_repeats and a.random_state == b.random_state
            and len(a.noise_levels) == len(b.noise_levels)
            and all(map(_same, a.noise_levels, b.noise_levels)))
