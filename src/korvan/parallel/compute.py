"""Computing the rounds of a plan: every round once, on the chosen workers."""

from __future__ import annotations

import time
from contextlib import ExitStack
from typing import Any, Callable, Sequence

import joblib
import numpy as np
from threadpoolctl import ThreadpoolController, threadpool_limits

from korvan.parallel.choice import (Choice, LockWatch, backend_kind, decide, explicit_backend,
                                    inner_threads, workers_ignore_sigint)
from korvan.parallel.errors import WorkerDiedError
from korvan.parallel.plan import RoundSet, describe, list_rounds, split_by_set
from korvan.parallel.shipping import Shipment, compute_round

__all__ = ["compute_rounds"]


def _is_worker_death(exc: BaseException) -> bool:
    names = {cls.__name__ for cls in type(exc).__mro__}
    return bool(names & {"TerminatedWorkerError", "BrokenProcessPool", "KilledWorker"})


def compute_rounds(sets: Sequence[RoundSet], X: np.ndarray,
                   predict_funcs: Sequence[Callable[[Any], Any]], perturber: Any,
                   n_jobs: int | None = None, progress: Callable[[], Any] | None = None,
                   backend: tuple[Any, Any] | None = None
                   ) -> tuple[list[list[list[np.ndarray]]], Choice]:
    """Compute every round of every set once; every model predicts on each round.

    Parameters
    ----------
    sets : sequence of RoundSet
    X : numpy.ndarray
        The unperturbed matrix, never written.
    predict_funcs : sequence of callable
        ``predict_func(matrix)`` gives one prediction per row; one per model.
    perturber : object
        The object whose ``_perturb`` each round calls; it needs only
        ``dataset.feature_names`` and ``dataset.feature_types``.
    n_jobs : int, optional
        joblib's ``n_jobs``; None takes the active ``parallel_config``'s.
    progress : callable, optional
        Called with no arguments for each prediction made.
    backend : tuple, optional
        ``(backend, n_jobs, explicit)``: ``joblib.parallel.get_active_backend()``
        as the caller saw it and whether the caller configured that backend;
        default the active configuration.

    Returns
    -------
    predictions : list
        ``predictions[m][s][k]``: model ``m``'s predictions for level ``k`` of
        set ``s``, ``np.array(repeats).T`` exactly as the sequential
        repetition step builds it.
    choice : Choice
        Where the rounds ran.

    Raises
    ------
    ModelTransferError
        Process or Dask backend and a model that cannot be pickled; raised
        before any round is sent.
    WorkerDiedError
        A worker process stopped while computing a round.
    """
    rounds = list_rounds(sets)
    done: list[Any] = [None] * len(rounds)
    with ExitStack() as stack:
        if backend is None:
            explicit = explicit_backend()
        else:
            # Back to the caller's configuration (the run's model calls see another);
            # joblib's own default stands for none at all.
            explicit = backend[2]
            stack.enter_context(joblib.parallel_config(
                backend=backend[0] if explicit else "loky", n_jobs=backend[1]))
        kind, workers = backend_kind(n_jobs)
        todo = list(range(len(rounds)))

        def inline(pos: int, inner: int) -> None:
            features, method, level, seed = rounds[pos].arguments(sets)
            done[pos] = compute_round(perturber, X, predict_funcs, features, method, level,
                                      seed, None, inner, pos)[1]
            for _ in predict_funcs:
                if progress is not None:
                    progress()

        if explicit or kind == "dask":
            choice = Choice(kind, workers)
        elif kind == "inline" or len(rounds) < 2:
            choice = Choice("inline", 1)
        else:
            # The first round, here and timed, tells what the others will cost.
            workers = min(workers, joblib.cpu_count())
            with LockWatch() as watch:
                start = time.perf_counter()
                inline(todo.pop(0), inner_threads("inline", 1))
                seconds = time.perf_counter() - start
            choice = decide(seconds, watch.holds, len(todo), workers, X.nbytes)
            if choice.kind != "inline":
                stack.enter_context(joblib.parallel_config(
                    backend="threading" if choice.kind == "threads" else "loky",
                    n_jobs=choice.workers))
                kind, workers = choice.kind, choice.workers
                n_jobs = choice.workers
        if choice.kind == "inline":
            inner = inner_threads("inline", 1)
            for pos in todo:
                inline(pos, inner)
            return _regroup(sets, done, len(predict_funcs)), choice

        ship = Shipment(kind, X, predict_funcs, perturber, len(rounds), stack)
        inner = inner_threads(kind, workers)
        pools = None
        if kind == "threads":
            # One process: its BLAS pools are shared by the rounds, and each
            # worker thread holds its own OpenMP setting.
            stack.enter_context(threadpool_limits(inner, user_api="blas"))
            pools = ThreadpoolController()
        tasks = (
            joblib.delayed(compute_round)(ship.perturber, ship.X, ship.predict_funcs,
                                          *rounds[pos].arguments(sets), ship.status, inner, pos,
                                          pools)
            for pos in todo
        )
        try:
            with workers_ignore_sigint(kind):
                results = joblib.Parallel(n_jobs=n_jobs, return_as="generator_unordered")(tasks)
            for pos, predictions in results:
                done[pos] = predictions
                for _ in predictions:
                    if progress is not None:
                        progress()
        except Exception as exc:
            if not _is_worker_death(exc):
                raise
            pending = [p for p, v in enumerate(done) if v is None]
            started = ship.started()
            if started is not None:
                pending = [p for p in pending if started[p] != 0] or pending
            raise WorkerDiedError(
                f"a worker stopped unexpectedly (killed, out of memory or crashed) while "
                f"computing {describe(rounds, sets, pending[:2])}"
            ) from None
    return _regroup(sets, done, len(predict_funcs)), choice


def _regroup(sets: Sequence[RoundSet], done: Sequence[Any],
             n_models: int) -> list[list[list[np.ndarray]]]:
    return [split_by_set(sets, [round_predictions[m] for round_predictions in done])
            for m in range(n_models)]
