"""The command's ``--jobs`` and ``--scheduler``: where the rounds of a run go.

Without either option the command runs sequentially, as it always has.
``--jobs N`` computes the rounds on N local worker processes (joblib's loky
backend; -1 for every core); ``--scheduler ADDRESS`` sends them to the Dask
cluster whose scheduler listens there (``--jobs`` then counts Dask worker
threads, default all of them).
"""

from __future__ import annotations

import argparse
import contextlib
from typing import Any, Callable, Iterator

import joblib

from korvan.parallel import ParallelError

__all__ = ["SchedulerError", "add_arguments", "requested", "backend", "parallel_test",
           "command_test"]


class SchedulerError(ParallelError, ValueError):
    """The Dask scheduler given on the command line cannot be used."""


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text.strip()!r} is not a whole number") from None
    if value == 0 or value < -1:
        raise argparse.ArgumentTypeError(
            f"{value} workers makes no sense; give a positive number, or -1 for every core")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Add ``--jobs`` and ``--scheduler`` to the command's parser."""
    group = parser.add_argument_group("parallel runs")
    group.add_argument("--jobs", type=_jobs, default=None, metavar="N",
                       help="compute the perturbed rounds on N worker processes at once "
                            "(-1: every core); the result is the same as without it")
    group.add_argument("--scheduler", metavar="ADDRESS", default=None,
                       help="send the rounds to the Dask cluster whose scheduler is at "
                            "ADDRESS (e.g. tcp://10.0.0.5:8786); needs the dask extra")


def requested(args: argparse.Namespace) -> bool:
    """True when the command was asked to run its rounds in parallel."""
    return getattr(args, "jobs", None) is not None or getattr(args, "scheduler", None) is not None


@contextlib.contextmanager
def backend(args: argparse.Namespace, timeout: float = 10.0) -> Iterator[int | None]:
    """Enter the joblib backend the options ask for; yield the ``n_jobs`` to use.

    Raises
    ------
    SchedulerError
        Dask is not installed, or no scheduler answers at the address.
    """
    if args.scheduler is None:
        with joblib.parallel_config(backend="loky"):
            yield args.jobs
        return
    try:
        from distributed import Client
    except ImportError:
        raise SchedulerError("--scheduler needs Dask; install it with "
                             "pip install 'korvan-robustness[dask]'") from None
    try:
        client = Client(args.scheduler, timeout=timeout, set_as_default=True)
    except (OSError, TimeoutError, ValueError) as exc:
        raise SchedulerError(f"no Dask scheduler answers at {args.scheduler!r} "
                             f"({' '.join(str(exc).split()) or type(exc).__name__})") from None
    with client, joblib.parallel_config(backend="dask"):
        yield -1 if args.jobs is None else args.jobs


@contextlib.contextmanager
def parallel_test(args: argparse.Namespace, dataset: Any, model: Any,
                  progress: Callable[[], Any] | None = None) -> Iterator[Any]:
    """Yield a ``ParallelRobustnessTest`` on the backend the options ask for.

    Use it, and run the test or a sweep (``executor=test``), inside the
    ``with`` block: a Dask client is closed when the block ends.
    """
    from korvan.parallel import ParallelRobustnessTest

    with backend(args) as n_jobs:
        yield ParallelRobustnessTest(dataset, model, n_jobs=n_jobs, progress=progress)


@contextlib.contextmanager
def command_test(args: argparse.Namespace, test_class: Callable[[Any, Any], Any], dataset: Any,
                 model: Any, counted: Any, step: Callable[[], Any]) -> Iterator[Any]:
    """The command's test object, to run (and sweep with) inside the ``with`` block.

    Without ``--jobs`` or ``--scheduler``: ``test_class(dataset, counted)``,
    the sequential test on the model that counts its calls.  With them: a
    ``ParallelRobustnessTest`` on the bare model (a counting wrapper would
    have to travel to the workers), calling ``step`` as each round finishes.
    """
    if not requested(args):
        yield test_class(dataset, counted)
        return
    with parallel_test(args, dataset, model, step) as test:
        yield test
