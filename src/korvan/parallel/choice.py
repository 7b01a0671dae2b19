"""Where the rounds run: the backend the caller configured, or the one that pays.

With a backend configured (``joblib.parallel_config(backend=...)``) the
rounds go there.  Without one, :func:`decide` picks from the first round,
which the caller computes in this thread and times:

- threads, when the model's predict releases the interpreter lock (the
  compiled models: scikit-learn, LightGBM, XGBoost, numpy arithmetic), with
  the model's own thread pools held to the cores left per worker;
- processes, when the predict holds the lock (a model written in Python),
  on joblib's reusable process pool, which stays warm between computations;
- one core, when the rest of the run would take less time than starting the
  workers saves.

Whether a predict holds the lock is measured, not guessed from its type: a
watcher thread asks for the lock every few milliseconds while the first
round predicts.  A predict that releases it lets the watcher run at once; one
that holds it makes the watcher wait for the interpreter's switch interval.
"""

from __future__ import annotations

import contextlib
import signal
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Iterator

import joblib
from joblib.parallel import get_active_backend

__all__ = ["Choice", "LockWatch", "backend_kind", "decide", "explicit_backend", "inner_threads",
           "workers_ignore_sigint"]

#: Below this many seconds of remaining rounds, threads are not sure to pay: a round
#: whose perturbation holds the lock in many short stretches gains little from them,
#: and the lock watch does not see such stretches.
THREADS_MIN_SECONDS = 1.0
#: What starting a process pool costs, from nothing and when one is already running
#: (the workers still load the matrix and the model).
POOL_START_SECONDS = 2.0
WARM_POOL_SECONDS = 0.25
#: Processes must save this share of the one-core time to be chosen.
PROCESSES_MIN_GAIN = 0.15


@dataclass(frozen=True)
class Choice:
    """Where a computation's rounds went: ``kind`` is "inline", "threads", "processes",
    "dask" or the name of another joblib backend."""

    kind: str
    workers: int
    reason: str = ""

    def __str__(self) -> str:
        if self.kind == "inline":
            return "one core" + (f": {self.reason}" if self.reason else "")
        unit = {"threads": ("thread", "threads"), "processes": ("process", "processes"),
                "dask": ("Dask worker thread", "Dask worker threads")}.get(
                    self.kind, (f"{self.kind} worker", f"{self.kind} workers"))
        return f"{self.workers} {unit[self.workers != 1]}"


def explicit_backend() -> bool:
    """True when the caller configured a joblib backend (``parallel_config(backend=...)``)."""
    try:
        from joblib.parallel import _backend, default_parallel_config
    except ImportError:  # a joblib without these: treat every backend as chosen
        return True
    config = getattr(_backend, "config", None) or {}
    return config.get("backend", default_parallel_config["backend"]) is not \
        default_parallel_config["backend"]


def backend_kind(n_jobs: int | None) -> tuple[str, int]:
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


def inner_threads(kind: str, workers: int) -> int:
    # Threads a round may use inside the model: the cores left per worker.
    # Process pools already start their workers with OpenMP and BLAS limited
    # to that (joblib's default), Dask's nannies with one thread.
    return 1 if kind == "dask" else max(1, joblib.cpu_count() // max(workers, 1))


@contextlib.contextmanager
def workers_ignore_sigint(kind: str) -> Iterator[None]:
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


class LockWatch:
    """Measures, while a block runs, whether it holds the interpreter lock.

    A watcher thread sleeps a millisecond at a time and records how much
    later than asked it woke.  For the block's duration the switch interval
    is lengthened to 50 ms, so that a block holding the lock delays every
    wake-up by about that much while the scheduler's own delays stay far
    below.  The block holds the lock when the watcher spent more than half
    of it waiting.
    """

    INTERVAL = 0.05

    def __init__(self) -> None:
        self.delays: list[float] = []
        self.seconds = 0.0
        self._start = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="korvan-lock-watch",
                                        daemon=True)

    def _watch(self) -> None:
        while not self._stop.is_set():
            start = time.perf_counter()
            time.sleep(0.001)
            self.delays.append(time.perf_counter() - start - 0.001)

    # Watches of several threads at once share one lengthened interval; the
    # last to end puts the process's own back.
    _active = 0
    _saved = 0.0
    _guard = threading.Lock()

    def __enter__(self) -> "LockWatch":
        with LockWatch._guard:
            if LockWatch._active == 0:
                LockWatch._saved = sys.getswitchinterval()
                sys.setswitchinterval(self.INTERVAL)
            LockWatch._active += 1
        self._start = time.perf_counter()
        self._thread.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.seconds = time.perf_counter() - self._start
        self._stop.set()
        self._thread.join()
        with LockWatch._guard:
            LockWatch._active -= 1
            if LockWatch._active == 0:
                sys.setswitchinterval(LockWatch._saved)

    @property
    def holds(self) -> bool | None:
        """True when the block held the lock, None when it was too short to tell."""
        if not self.delays or self.seconds <= 0:
            return None
        return self.blocked > 0.5

    @property
    def blocked(self) -> float:
        """The share of the block's time during which another Python thread could not run."""
        # Only waits near the switch interval are the lock's: a busy machine
        # delays wake-ups too, but by a few milliseconds.
        waits = sum(d for d in self.delays if d >= 0.8 * self.INTERVAL)
        return min(1.0, waits / self.seconds) if self.seconds > 0 else 0.0


def _warm_pool(workers: int) -> bool:
    """True when joblib's reusable process pool is running with at least ``workers`` workers."""
    try:
        from joblib.externals.loky import reusable_executor
    except ImportError:
        return False
    executor = reusable_executor._executor
    if executor is None or getattr(executor, "_flags", None) is None:
        return False
    flags = executor._flags
    if getattr(flags, "broken", None) or getattr(flags, "shutdown", False):
        return False
    return getattr(executor, "_max_workers", 0) >= workers


def decide(round_seconds: float, holds_lock: bool | None, rest: int, workers: int,
           matrix_bytes: int, pool_warm: bool | None = None) -> Choice:
    """The choice for the ``rest`` rounds still to compute after a first one that took
    ``round_seconds`` in this thread.

    Threads pay as soon as the remaining work outweighs their small start;
    processes must save more than starting (or reusing) the pool and shipping
    the matrix costs.  ``pool_warm`` says whether a process pool of that size
    is running; default: look.
    """
    workers = min(workers, rest)
    work = round_seconds * rest
    if workers < 2:
        return Choice("inline", 1, "one round left" if rest == 1 else "")
    if not holds_lock:
        if work < THREADS_MIN_SECONDS:
            return Choice("inline", 1, "the run is too small")
        return Choice("threads", workers)
    if pool_warm is None:
        pool_warm = _warm_pool(workers)
    start = WARM_POOL_SECONDS if pool_warm else POOL_START_SECONDS
    start += matrix_bytes / 1e9
    if work / workers + start > (1 - PROCESSES_MIN_GAIN) * work:
        return Choice("inline", 1, "the run is too small")
    return Choice("processes", workers)
