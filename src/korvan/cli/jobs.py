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
import socket
import struct
from typing import Any, Callable, Iterator

import joblib

from korvan.cli.options import Options
from korvan.errors import UsageError
from korvan.parallel import ParallelError, ParallelRobustnessTest, one_baseline

__all__ = ["SchedulerError", "check", "backend", "parallel_test", "command_test",
           "check_handshake", "stop_workers"]

#: joblib's backend for each ``--workers`` kind.
_BACKENDS = {"threads": "threading", "processes": "loky"}

#: Seconds a scheduler has to greet a new connection.
HANDSHAKE_SECONDS = 5.0
# A scheduler's greeting is one small message: its length, its frame count,
# the frames' lengths, then msgpack naming its compression and Python.
_GREETING_LIMIT = 1 << 16


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
    check_handshake(opts.scheduler)
    try:
        client = Client(opts.scheduler, timeout=timeout, set_as_default=True)
    except (OSError, TimeoutError, ValueError) as exc:
        raise SchedulerError(f"--scheduler {opts.scheduler}: no Dask scheduler answers there "
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




def _read_exactly(sock: socket.socket, n: int) -> bytes:
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def check_handshake(address: str, seconds: float = HANDSHAKE_SECONDS) -> None:
    """Check that what listens at a ``tcp://`` address greets as a Dask scheduler does.

    Dask's own client waits for the greeting without a bound, and takes any
    bytes it gets for the length of a message to allocate: an HTTP server
    at the address keeps it waiting for minutes, and another program's bytes
    can ask it for exbibytes.  Other kinds of address are left to Dask.

    Raises
    ------
    SchedulerError
        Naming the address: nothing listens, nothing greets within
        ``seconds``, or the greeting is not a scheduler's.
    """
    scheme, sep, rest = address.rpartition("://")
    if sep and scheme != "tcp":
        return
    from distributed.comm.addressing import parse_host_port

    try:
        host, port = parse_host_port(rest, 8786)
    except ValueError as exc:
        raise SchedulerError(f"--scheduler {address}: not an address ({exc})") from None
    try:
        with socket.create_connection((host, port), timeout=seconds) as sock:
            sock.settimeout(seconds)
            head = _read_exactly(sock, 16)
            size, frames = struct.unpack("<QQ", head) if len(head) == 16 else (0, 0)
            body = b""
            if 16 < size <= _GREETING_LIMIT and 0 < frames < 16:
                body = _read_exactly(sock, size - 16)
    except socket.timeout:
        raise SchedulerError(f"--scheduler {address}: what listens there did not greet as a "
                             f"Dask scheduler within {seconds:g} s") from None
    except OSError as exc:
        raise SchedulerError(f"--scheduler {address}: no Dask scheduler answers there "
                             f"({exc.strerror or exc})") from None
    if b"compression" not in body or b"python" not in body:
        raise SchedulerError(f"--scheduler {address}: what listens there is not a Dask "
                             f"scheduler (its first bytes are not a scheduler's greeting)")


def stop_workers() -> None:
    """End the local worker processes kept ready for the next run, at once."""
    from joblib.externals.loky import reusable_executor

    executor = getattr(reusable_executor, "_executor", None)
    if executor is not None:
        executor.shutdown(wait=False, kill_workers=True)
