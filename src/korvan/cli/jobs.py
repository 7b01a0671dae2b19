"""The command's ``--jobs``, ``--workers`` and ``--scheduler``: where the rounds of a run go.

Without them the command runs sequentially, as it always has.  ``--jobs N``
computes the rounds on up to N local workers (-1 for every core; more than
the cores is capped at them): the parallel test's default choice picks
threads, processes or one core for the model and the run's size, unless
``--workers`` names the kind.  ``--scheduler ADDRESS`` sends them to the Dask
cluster whose scheduler listens there (``--jobs`` then counts Dask worker
threads, default all of them).
"""

from __future__ import annotations

import contextlib
from typing import Any, Callable, Iterator

import joblib

from korvan.cli.options import Options
from korvan.errors import UsageError
from korvan.parallel import ParallelError, ParallelRobustnessTest, one_baseline

__all__ = ["SchedulerError", "check", "backend", "parallel_test", "command_test"]

#: joblib's backend for each ``--workers`` kind.
_BACKENDS = {"threads": "threading", "processes": "loky"}


class SchedulerError(ParallelError, ValueError):
    """The Dask scheduler given on the command line cannot be used."""


def check(opts: Options) -> tuple[int | None, str | None]:
    """The number of workers to ask for, and a note when ``--jobs`` was capped.

    Raises
    ------
    UsageError
        For ``--workers`` without ``--jobs``, or with ``--scheduler``.
    """
    if opts.workers is not None:
        if opts.scheduler is not None:
            raise UsageError("--workers chooses local workers; with --scheduler the Dask "
                             "workers compute the rounds")
        if opts.jobs is None:
            raise UsageError("--workers needs --jobs N, the number of workers")
    if opts.jobs is None or opts.scheduler is not None:
        return opts.jobs, None
    cores = joblib.cpu_count()
    if opts.jobs > cores:
        return cores, (f"--jobs {opts.jobs} is more than the {cores} cores of this machine; "
                       f"using {cores}")
    return opts.jobs, None


@contextlib.contextmanager
def backend(opts: Options, n_jobs: int | None, timeout: float = 10.0) -> Iterator[int | None]:
    """Enter the joblib configuration the options ask for; yield the ``n_jobs`` to use.

    Raises
    ------
    SchedulerError
        Dask is not installed, or no scheduler answers at the address.
    """
    if opts.scheduler is None:
        if opts.workers is None:
            yield n_jobs  # the parallel test's own choice
        else:
            with joblib.parallel_config(backend=_BACKENDS[opts.workers]):
                yield n_jobs
        return
    try:
        from distributed import Client
    except ImportError:
        raise SchedulerError("--scheduler needs Dask; install it with "
                             "pip install 'korvan-robustness[dask]'") from None
    try:
        client = Client(opts.scheduler, timeout=timeout, set_as_default=True)
    except (OSError, TimeoutError, ValueError) as exc:
        raise SchedulerError(f"no Dask scheduler answers at {opts.scheduler!r} "
                             f"({' '.join(str(exc).split()) or type(exc).__name__})") from None
    with client, joblib.parallel_config(backend="dask"):
        yield -1 if n_jobs is None else n_jobs


@contextlib.contextmanager
def parallel_test(opts: Options, n_jobs: int | None, dataset: Any, model: Any,
                  progress: Callable[[], Any] | None = None) -> Iterator[Any]:
    """Yield a ``ParallelRobustnessTest`` on the backend the options ask for.

    Use it, and run the test or a sweep (``executor=test``), inside the
    ``with`` block: a Dask client is closed when the block ends.
    """
    with backend(opts, n_jobs) as jobs:
        yield ParallelRobustnessTest(dataset, model, n_jobs=jobs, progress=progress)


@contextlib.contextmanager
def command_test(opts: Options, n_jobs: int | None, test_class: Callable[[Any, Any], Any],
                 dataset: Any, model: Any, counted: Any, step: Callable[[], Any]) -> Iterator[Any]:
    """The command's test object, to run (and sweep with) inside the ``with`` block.

    Without ``--jobs`` or ``--scheduler``: ``test_class(dataset, counted)``,
    the sequential test on the model that counts its calls.  With them: a
    ``ParallelRobustnessTest`` on the bare model (a counting wrapper would
    have to travel to the workers), calling ``step`` as each round finishes.
    Either way the runs made in the block predict the unperturbed split once.
    """
    if not opts.parallel:
        test = test_class(dataset, counted)
        with one_baseline(test):
            yield test
        return
    with parallel_test(opts, n_jobs, dataset, model, step) as test, one_baseline(test):
        yield test
