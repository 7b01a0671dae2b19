"""Robustness runs spread over cores or a Dask cluster, equal to the sequential run.

A run is ``levels x repeats`` independent rounds (perturb a copy of the
matrix, predict on it) plus one baseline prediction.  Round ``i`` of every
level is seeded with ``random_state + i``, so a round gives the same
prediction wherever it runs.  :class:`ParallelRobustnessTest` keeps the
native ``run`` (its arguments, checks, scoring, table and chart) and
replaces only the repetition step it calls once per noise level: the first
call computes every round of every level at once on joblib's active backend
and the later calls hand back the stored predictions.

The backend is joblib's: loky processes by default, threads under
``joblib.parallel_config(backend="threading")``, a Dask cluster under
``parallel_config(backend="dask")`` with a ``dask.distributed.Client``.
The matrix and the model travel to each worker once: a process pool maps
the matrix from a file and loads the model from a file once per process, a
Dask cluster receives both by ``scatter``.
"""

from __future__ import annotations

import contextlib
import functools
import inspect
import os
import pickle
import shutil
import signal
import tempfile
import threading
import uuid
from contextlib import ExitStack
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Mapping, Sequence

import joblib
import numpy as np
import cloudpickle
from joblib.parallel import get_active_backend
from threadpoolctl import threadpool_limits

from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.factsheet.utils.metric_utils import get_scorer_funcs

__all__ = [
    "ParallelRobustnessTest",
    "RoundSet",
    "ParallelError",
    "ModelTransferError",
    "WorkerDiedError",
]


class ParallelError(Exception):
    """A run failed because of where its rounds were sent, not because of the model or data."""


class ModelTransferError(ParallelError, ValueError):
    """The model (or its prediction function) cannot be pickled for worker processes."""


class WorkerDiedError(ParallelError, RuntimeError):
    """A worker process stopped (killed, out of memory, crashed) while computing a round."""


@dataclass(frozen=True)
class RoundSet:
    """The rounds of one run: every repeat at every noise level.

    Parameters
    ----------
    perturb_features : list
        The feature names, as the native ``run`` hands them on (a new list,
        duplicates removed).
    perturb_method : str
    noise_levels : sequence
        The levels in run order; a level that occurs twice is computed twice.
    n_repeats : int
    random_state : int
        Repeat ``i`` is perturbed with seed ``random_state + i`` at every level.
    """

    perturb_features: list[Any]
    perturb_method: str
    noise_levels: Sequence[Any]
    n_repeats: int
    random_state: int


@dataclass(frozen=True)
class _Round:
    set_index: int
    level_index: int
    repeat: int


@dataclass
class _FeatureTable:
    # The part of the data set that the native _perturb reads: a worker gets
    # these two lists instead of the whole frame.
    feature_names: list[Any]
    feature_types: list[Any]


# -- what a worker does -------------------------------------------------------

@dataclass(frozen=True)
class _FileRef:
    """A file of the run's folder: ``kind`` is "matrix" (mapped read-only),
    "status" (mapped for writing) or "pickle"."""

    token: str
    path: str
    kind: str


# Per worker process: the objects of the run being computed, opened once.
_opened: dict[str, Any] = {}
_opened_token: list[str] = [""]
_opened_lock = threading.Lock()


def _open(ref: Any) -> Any:
    if not isinstance(ref, _FileRef):
        return ref
    with _opened_lock:
        if _opened_token[0] != ref.token:
            _opened.clear()
            _opened_token[0] = ref.token
        obj = _opened.get(ref.path)
        if obj is None:
            if ref.kind in ("matrix", "status"):
                obj = np.load(ref.path, mmap_mode="r" if ref.kind == "matrix" else "r+")
            else:
                with open(ref.path, "rb") as f:
                    obj = pickle.load(f)
            _opened[ref.path] = obj
        return obj


def _compute_round(perturber: RobustnessTest, X: Any, predict_func: Any, features: list[Any],
                   method: str, noise_level: Any, seed: int, status: Any, inner: int,
                   index: int) -> tuple[int, Any]:
    """Perturb a copy of ``X`` as the sequential run does for this seed, and predict on it."""
    if status is not None:
        _open(status)[index] = os.getpid()
    # A memory-mapped matrix is handed on as a plain array view: _perturb
    # copies it, and the copy must be an ordinary array like in the
    # sequential run.
    matrix = np.asarray(_open(X))
    predict = _open(predict_func)
    with _model_config(inner):
        perturbed = perturber._perturb(X=matrix, perturb_features=features,
                                       perturb_method=method, noise_level=noise_level,
                                       random_state=seed)
        return index, predict(perturbed)


# -- where the rounds run -----------------------------------------------------

def _model_config(inner: int) -> Any:
    """The joblib configuration a model's own ``Parallel`` calls see during a run.

    Without it a model that parallelises with joblib (a forest's trees)
    would inherit the run's backend: under Dask, ``n_jobs=None`` means every
    thread of the cluster, and a forest that adds up its trees in the order
    threads finish does not give the same last bits twice.  With one thread
    left per worker, the model runs sequentially; otherwise on threads, with
    ``n_jobs=None`` still meaning one, as in a plain run.
    """
    return joblib.parallel_config(backend="threading" if inner > 1 else "sequential")


def _backend_kind(n_jobs: int | None) -> tuple[str, int]:
    """("inline" | "threads" | "processes" | "dask", effective number of workers)."""
    backend, _ = get_active_backend()
    workers = joblib.effective_n_jobs(n_jobs)
    if hasattr(backend, "client") and type(backend).__name__ == "DaskDistributedBackend":
        return "dask", workers
    if workers == 1:
        return "inline", 1
    if getattr(backend, "uses_threads", False):
        return "threads", workers
    return "processes", workers


@contextlib.contextmanager
def _workers_ignore_sigint(kind: str) -> Iterator[None]:
    """Start a process pool inside this block with SIGINT ignored, which its workers inherit.

    Ctrl-C in a terminal reaches every process of the foreground group; a
    worker that took it would print its own traceback while the parent stops
    the pool.  Only the parent should answer it.  joblib starts the pool's
    processes when it hands out the first rounds, before it returns its
    generator, so the parent ignores Ctrl-C only for that moment.
    """
    if kind != "processes" or threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _check_picklable(obj: Any, what: str) -> bytes:
    try:
        return cloudpickle.dumps(obj)
    except Exception as exc:  # pickling raises many kinds (TypeError, PicklingError, ...)
        raise ModelTransferError(
            f"the {what} cannot be sent to worker processes ({type(exc).__name__}: {exc}); "
            f'run it in threads instead: with joblib.parallel_config(backend="threading")'
        ) from None


class _Shipment:
    """The matrix, the prediction function and the perturber as the workers receive them."""

    def __init__(self, kind: str, X: np.ndarray, predict_func: Any, perturber: Any,
                 n_rounds: int, stack: ExitStack) -> None:
        self.X: Any = X
        self.predict_func: Any = predict_func
        self.perturber: Any = perturber
        self.status: Any = None
        self._status_path: str | None = None
        if kind == "processes":
            self._to_files(X, n_rounds, stack)
        elif kind == "dask":
            self._scatter(stack)

    def _to_files(self, X: np.ndarray, n_rounds: int, stack: ExitStack) -> None:
        # Checked before anything is written or sent.
        payload = _check_picklable(self.predict_func, "model")
        _check_picklable(self.perturber, "test object")
        shm = "/dev/shm"
        folder = tempfile.mkdtemp(prefix="korvan-rounds-",
                                  dir=shm if os.access(shm, os.W_OK) else None)
        stack.callback(shutil.rmtree, folder, ignore_errors=True)
        token = uuid.uuid4().hex
        x_path = os.path.join(folder, "X.npy")
        np.save(x_path, X, allow_pickle=False)
        model_path = os.path.join(folder, "model.pkl")
        with open(model_path, "wb") as f:
            f.write(payload)
        self._status_path = os.path.join(folder, "status.npy")
        np.lib.format.open_memmap(self._status_path, mode="w+", dtype=np.int64,
                                  shape=(max(n_rounds, 1),)).flush()
        self.X = _FileRef(token, x_path, "matrix")
        self.predict_func = _FileRef(token, model_path, "pickle")
        self.status = _FileRef(token, self._status_path, "status")

    def _scatter(self, stack: ExitStack) -> None:
        _check_picklable(self.predict_func, "model")
        _check_picklable(self.perturber, "test object")
        backend, _ = get_active_backend()
        client = backend.client
        # One copy of each on every worker, shared by all the rounds it runs.
        self.X = client.scatter(self.X, broadcast=True, hash=False)
        self.predict_func = client.scatter(self.predict_func, broadcast=True, hash=False)
        stack.callback(client.cancel, [self.X, self.predict_func])

    def started(self) -> np.ndarray | None:
        """For process pools: the pid that started each round, 0 where none did."""
        if self._status_path is None:
            return None
        return np.load(self._status_path)


def _describe(rounds: list[_Round], sets: Sequence[RoundSet], total: int,
              positions: Sequence[int]) -> str:
    parts = []
    for pos in positions:
        r = rounds[pos]
        rs = sets[r.set_index]
        where = f"noise level {rs.noise_levels[r.level_index]!r}, repeat {r.repeat}"
        if len(sets) > 1:
            where = f"features {rs.perturb_features!r}, {where}"
        parts.append(f"round {pos + 1} of {total} ({where})")
    return " or ".join(parts)


def _is_worker_death(exc: BaseException) -> bool:
    names = {cls.__name__ for cls in type(exc).__mro__}
    return bool(names & {"TerminatedWorkerError", "BrokenProcessPool", "KilledWorker"})


def _inner_threads(kind: str, workers: int) -> int:
    # Threads a round may use inside the model: the cores left per worker.
    # Process pools already start their workers with OpenMP and BLAS limited
    # to that (joblib's default), Dask's nannies with one thread.
    return 1 if kind == "dask" else max(1, joblib.cpu_count() // workers)


def compute_rounds(sets: Sequence[RoundSet], X: np.ndarray, predict_func: Callable[[Any], Any],
                   perturber: RobustnessTest, n_jobs: int | None = None,
                   progress: Callable[[], Any] | None = None,
                   backend: tuple[Any, Any] | None = None) -> list[list[np.ndarray]]:
    """Compute every round of every set at once on joblib's active backend.

    Parameters
    ----------
    sets : sequence of RoundSet
    X : numpy.ndarray
        The unperturbed matrix, never written.
    predict_func : callable
        ``predict_func(matrix)`` gives one prediction per row.
    perturber : RobustnessTest
        The object whose ``_perturb`` each round calls; it needs only
        ``dataset.feature_names`` and ``dataset.feature_types``.
    n_jobs : int, optional
        joblib's ``n_jobs``; None takes the active ``parallel_config``'s.
    progress : callable, optional
        Called with no arguments as each round finishes.
    backend : tuple, optional
        ``joblib.parallel.get_active_backend()`` as the caller saw it; default
        the active one.

    Returns
    -------
    list of list of numpy.ndarray
        For each set and each of its levels, ``np.array(predictions).T``:
        one column per repeat, exactly as the sequential repetition step
        builds it.

    Raises
    ------
    ModelTransferError
        Process or Dask backend and a model that cannot be pickled; raised
        before any round is sent.
    WorkerDiedError
        A worker process stopped while computing a round.
    """
    rounds = [_Round(s, k, i) for s, rs in enumerate(sets)
              for k in range(len(rs.noise_levels)) for i in range(rs.n_repeats)]
    predictions: list[Any] = [None] * len(rounds)
    with ExitStack() as stack:
        if backend is not None:
            stack.enter_context(joblib.parallel_config(backend=backend[0], n_jobs=backend[1]))
        kind, workers = _backend_kind(n_jobs)
        ship = _Shipment(kind, X, predict_func, perturber, len(rounds), stack)
        inner = _inner_threads(kind, workers)
        if kind == "threads":
            # One process: its OpenMP and BLAS pools are shared by the rounds.
            stack.enter_context(threadpool_limits(inner))
        tasks = (
            joblib.delayed(_compute_round)(
                ship.perturber, ship.X, ship.predict_func, sets[r.set_index].perturb_features,
                sets[r.set_index].perturb_method, sets[r.set_index].noise_levels[r.level_index],
                sets[r.set_index].random_state + r.repeat, ship.status, inner, pos)
            for pos, r in enumerate(rounds)
        )
        try:
            with _workers_ignore_sigint(kind):
                results = joblib.Parallel(n_jobs=n_jobs, return_as="generator_unordered")(tasks)
            for pos, prediction in results:
                predictions[pos] = prediction
                if progress is not None:
                    progress()
        except Exception as exc:
            if not _is_worker_death(exc):
                raise
            pending = [p for p, v in enumerate(predictions) if v is None]
            started = ship.started()
            if started is not None:
                pending = [p for p in pending if started[p] != 0] or pending
            raise WorkerDiedError(
                f"a worker stopped unexpectedly (killed, out of memory or crashed) while "
                f"computing {_describe(rounds, sets, len(rounds), pending[:2])}"
            ) from None
    out: list[list[np.ndarray]] = []
    pos = 0
    for rs in sets:
        levels = []
        for _ in range(len(rs.noise_levels)):
            levels.append(np.array(predictions[pos:pos + rs.n_repeats]).T)
            pos += rs.n_repeats
        out.append(levels)
    return out


# -- the test class -----------------------------------------------------------

_RUN_SIGNATURE = inspect.signature(RobustnessTest.run)


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


@dataclass
class _Plan:
    """What one ``run`` call will ask the repetition step for, and what it was given."""

    noise_levels: list[Any]
    prepared: list[Any] | None = None
    # (n_repeats, perturb_features, perturb_method, random_state) of the rounds prepared
    expect: tuple[Any, ...] | None = None
    # (X, predict_func) of the first call; the native run hands the same ones to every level
    call: tuple[Any, Any] | None = None
    cursor: int = 0


class ParallelRobustnessTest(RobustnessTest):
    """The robustness test with its rounds computed in parallel.

    ``run`` takes the same arguments as :meth:`RobustnessTest.run` and
    returns a result equal to the sequential one in every field.

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
    """

    def __init__(self, dataset: Any, model: Any, n_jobs: int | None = None,
                 progress: Callable[[], Any] | None = None) -> None:
        super().__init__(dataset, model)
        self.n_jobs = n_jobs
        self.progress = progress
        #: Bound on the predictions :meth:`map` holds at once.
        self.max_prepared_bytes = 256 * 2**20
        self._local = threading.local()

    def _perturber(self) -> RobustnessTest:
        # An object of this class that carries only what _perturb reads, so
        # that a worker receives two short lists instead of the data set.
        perturber = object.__new__(type(self))
        perturber.dataset = _FeatureTable(list(self.dataset.feature_names),
                                          list(self.dataset.feature_types))
        return perturber

    def compute(self, sets: Sequence[RoundSet], X: np.ndarray,
                predict_func: Callable[[Any], Any]) -> list[list[np.ndarray]]:
        """Compute every round of ``sets`` at once; see :func:`compute_rounds`."""
        return compute_rounds(sets, X, predict_func, self._perturber(), self.n_jobs,
                              self.progress, getattr(self._local, "backend", None))

    @functools.wraps(RobustnessTest.run, assigned=("__doc__",))
    def run(self, *args: Any, **kwargs: Any) -> Any:
        return self._run(_plan_of(self, args, kwargs), args, kwargs)

    def _run(self, plan: _Plan | None, args: Sequence[Any], kwargs: Mapping[str, Any]) -> Any:
        local = self._local
        outer = getattr(local, "plan", None), getattr(local, "backend", None)
        local.plan = plan
        # The rounds go to the backend the caller configured; the model's own
        # calls in this process (the baseline) see what they see in a worker.
        local.backend = get_active_backend()
        try:
            with _model_config(_inner_threads(*_backend_kind(self.n_jobs))):
                return super().run(*args, **kwargs)
        finally:
            local.plan, local.backend = outer

    def prepare(self, runs: Sequence[Mapping[str, Any]]) -> None:
        """Compute the rounds of several coming ``run`` calls at once.

        Each later ``self.run(**r)`` (same keyword arguments, same thread)
        then hands the native run the stored predictions instead of
        computing them.  Runs whose rounds cannot be read ahead are left to
        compute their own.

        Parameters
        ----------
        runs : sequence of dict
            Keyword arguments of :meth:`run`, one dict per run.
        """
        plans = [_plan_of(self, (), r) for r in runs]
        groups: dict[tuple[Any, Any], list[int]] = {}
        for n, (spec, plan) in enumerate(zip(runs, plans)):
            if plan is not None and _round_set(self, spec, plan) is not None:
                key = (spec.get("dataset", "test"), spec.get("metric"))
                groups.setdefault(key, []).append(n)
        prepared = []
        for (split, metric), members in groups.items():
            try:
                if metric is None:
                    metric = _default_metric(self)
                _, _, predict_func = get_scorer_funcs(self.model, metric)
                X, _, _ = self.dataset.get_X_y_data(dataset=split)
            except Exception:
                continue  # the run itself reports it, the way the sequential run does
            sets = [_round_set(self, runs[n], plans[n]) for n in members]
            computed = self.compute(sets, X, predict_func)  # type: ignore[arg-type]
            for n, rs, levels in zip(members, sets, computed):
                plan = plans[n]
                assert plan is not None and rs is not None
                plan.prepared = levels
                plan.expect = (rs.n_repeats, rs.perturb_features, rs.perturb_method,
                               rs.random_state)
                prepared.append((dict(runs[n]), plan))
        self._local.prepared = prepared

    def _take_prepared(self, args: Sequence[Any], kwargs: Mapping[str, Any]) -> _Plan | None:
        prepared = getattr(self._local, "prepared", None)
        if args or not prepared:
            return None
        for n, (spec, plan) in enumerate(prepared):
            if spec.keys() == kwargs.keys() and all(_same(spec[k], kwargs[k]) for k in spec):
                del prepared[n]
                return plan
        return None

    def map(self, fn: Callable[[Any], Any], specs: Any) -> list[Any]:
        """Map ``fn`` over run plans, their rounds computed together.

        The order-keeping ``map`` a sweep's ``executor`` needs
        (``sweep(test, executor=test, ...)``): each plan (a dict of
        ``run`` arguments, or an object whose ``kwargs()`` gives them) has its
        rounds computed with those of the other plans of its chunk,
        then ``fn(spec)``, which calls ``self.run(**kwargs)``, runs in this
        thread and picks them up.  Chunks hold at most
        ``max_prepared_bytes`` of predictions (at least one run each), so a
        sweep over many features keeps every worker busy without holding
        every run's predictions at once.
        """
        specs = list(specs)
        kwargs = [dict(s.kwargs()) if callable(getattr(s, "kwargs", None)) else dict(s)
                  for s in specs]
        by_id = {id(k): s for k, s in zip(kwargs, specs)}
        results: list[Any] = []
        for chunk in _chunks(self, kwargs, self.max_prepared_bytes):
            self.prepare(chunk)
            try:
                results.extend(fn(by_id[id(k)]) for k in chunk)
            finally:
                self._local.prepared = []
        return results

    def _repeat_perturb_pred(self, X: Any, predict_func: Any, n_repeats: Any,
                             perturb_features: Any, perturb_method: Any, noise_level: Any,
                             random_state: Any) -> Any:
        if type(n_repeats) is not int or type(random_state) is not int:
            # Arguments the native step refuses: let it say so, in its words.
            return super()._repeat_perturb_pred(X, predict_func, n_repeats, perturb_features,
                                                perturb_method, noise_level, random_state)
        plan: _Plan | None = getattr(self._local, "plan", None)
        rounds = (n_repeats, perturb_features, perturb_method, random_state)
        if plan is not None:
            if plan.call is None:
                plan.call = (X, predict_func)
                if plan.expect is None or not all(map(_same, plan.expect, rounds)):
                    sets = [RoundSet(perturb_features, perturb_method, plan.noise_levels,
                                     n_repeats, random_state)]
                    plan.prepared = self.compute(sets, X, predict_func)[0]
                    plan.expect = rounds
            k = plan.cursor
            plan.cursor += 1
            if (k < len(plan.noise_levels) and plan.prepared is not None
                    and X is plan.call[0] and predict_func is plan.call[1]
                    and all(map(_same, plan.expect, rounds))
                    and _same(plan.noise_levels[k], noise_level)):
                result, plan.prepared[k] = plan.prepared[k], None
                return result
        sets = [RoundSet(perturb_features, perturb_method, [noise_level], n_repeats,
                         random_state)]
        return self.compute(sets, X, predict_func)[0][0]


def _default_metric(test: RobustnessTest) -> Any:
    from korvan.constants import CLASSIFICATION, REGRESSION

    task = test.dataset.task_type
    if task == REGRESSION:
        return test.REGRESSION_METRIC_DEFAULT
    if task == CLASSIFICATION:
        return test.CLASSIFICATION_METRIC_DEFAULT
    return None


def _plan_of(test: RobustnessTest, args: Sequence[Any], kwargs: Mapping[str, Any]) -> _Plan | None:
    """The noise levels a run will iterate, or None when they cannot be read ahead.

    The native ``run`` wraps a float level in a list and iterates anything
    else as given; only a list, tuple or array can be read here without
    consuming it.  Without a plan each level's repeats are still computed in
    parallel, one level at a time.
    """
    try:
        bound = _RUN_SIGNATURE.bind(test, *args, **kwargs)
    except TypeError:
        return None  # the native run reports the binding error
    bound.apply_defaults()
    levels = bound.arguments["noise_levels"]
    if isinstance(levels, float):
        levels = [levels]
    if not isinstance(levels, (list, tuple, np.ndarray)) or np.ndim(levels) != 1:
        return None
    return _Plan(noise_levels=list(levels))


def _chunks(test: RobustnessTest, runs: list[dict[str, Any]],
            max_bytes: int) -> list[list[dict[str, Any]]]:
    """Consecutive runs grouped so that each group's predictions fit in ``max_bytes``."""
    rows: dict[Any, int] = {}
    chunks: list[list[dict[str, Any]]] = []
    size = 0
    for run in runs:
        split = run.get("dataset", "test")
        if split not in rows:
            try:
                rows[split] = len(test.dataset.get_X_y_data(dataset=split)[0])
            except Exception:
                rows[split] = 0  # the run itself reports it
        plan = _plan_of(test, (), run)
        repeats = run.get("n_repeats", 10)
        count = len(plan.noise_levels) * repeats if plan and type(repeats) is int else 0
        need = 8 * rows[split] * max(count, 0)
        if not chunks or size + need > max_bytes:
            chunks.append([])
            size = 0
        chunks[-1].append(run)
        size += need
    return chunks


def _round_set(test: RobustnessTest, spec: Mapping[str, Any], plan: _Plan) -> RoundSet | None:
    """The rounds a run with keyword arguments ``spec`` will ask for, normalised as ``run`` does."""
    bound = _RUN_SIGNATURE.bind(test, **spec)
    bound.apply_defaults()
    a = bound.arguments
    if type(a["n_repeats"]) is not int or type(a["random_state"]) is not int \
            or type(a["perturb_method"]) is not str:
        return None
    features = a["perturb_features"]
    if features is None:
        features = test.dataset.feature_names
    elif isinstance(features, str):
        features = [features]
    try:
        features = list(dict.fromkeys(features))
    except TypeError:
        return None
    return RoundSet(features, a["perturb_method"], plan.noise_levels, a["n_repeats"],
                    a["random_state"])
