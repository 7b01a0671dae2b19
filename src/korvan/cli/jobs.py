"""The command's ``--jobs`` and ``--scheduler``: where the rounds of a run go.

Without either option the command runs sequentially, as it always has.
``--jobs N`` computes the rounds on N local worker processes (joblib's loky
backend; -1 for every core); ``--scheduler ADDRESS`` sends them to the Dask
cluster whose scheduler listens there (``--jobs`` then counts Dask worker
threads, default all of them).
"""

from __future__ import annotations

import contextlib
from typing import Any, Callable, Iterator

import joblib

from korvan.cli.options import Options
from korvan.parallel import ParallelError

__all__ = ["SchedulerError", "backend", "parallel_test", "command_test"]


class SchedulerError(ParallelError, ValueError):
    """The Dask scheduler given on the command line cannot be used."""



@contextlib.contextmanager
def backend(opts: Options, timeout: float = 10.0) -> Iterator[int | None]:
    """Enter the joblib backend the options ask for; yield the ``n_jobs`` to use.

    Raises
    ------
    SchedulerError
        Dask is not installed, or no scheduler answers at the address.
    """
    if opts.scheduler is None:
        with joblib.parallel_config(backend="loky"):
            yield opts.jobs
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
        yield -1 if opts.jobs is None else opts.jobs



@contextlib.contextmanager
def parallel_test(opts: Options, dataset: Any, model: Any,
                  progress: Callable[[], Any] | None = None) -> Iterator[Any]:
    """Yield a ``ParallelRobustnessTest`` on the backend the options ask for.

    Use it, and run the test or a sweep (``executor=test``), inside the
    ``with`` block: a Dask client is closed when the block ends.
    """
    from korvan.parallel import ParallelRobustnessTest

    with backend(opts) as n_jobs:
        yield ParallelRobustnessTest(dataset, model, n_jobs=n_jobs, progress=progress)



@contextlib.contextmanager
def command_test(opts: Options, test_class: Callable[[Any, Any], Any], dataset: Any,
                 model: Any, counted: Any, step: Callable[[], Any]) -> Iterator[Any]:
    """The command's test object, to run (and sweep with) inside the ``with`` block.

    Without ``--jobs`` or ``--scheduler``: ``test_class(dataset, counted)``,
    the sequential test on the model that counts its calls.  With them: a
    ``ParallelRobustnessTest`` on the bare model (a counting wrapper would
    have to travel to the workers), calling ``step`` as each round finishes.
    """
    if not opts.parallel:
        yield test_class(dataset, counted)
        return
    with parallel_test(opts, dataset, model, step) as test:
        yield test

