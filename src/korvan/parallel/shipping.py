"""Getting the matrix and the models to the workers, and what a worker does with them.

The matrix and the models travel to each worker once per computation: a
process pool maps the matrix from a file (in ``/dev/shm`` where it can) and
loads the models from a file once per process, a Dask cluster receives both
by ``scatter``, threads share them as they are.
"""

from __future__ import annotations

import os
import pickle
import shutil
import tempfile
import threading
import uuid
from contextlib import ExitStack
from dataclasses import dataclass
from typing import Any, Callable, Sequence

import cloudpickle
import joblib
import numpy as np
from joblib.parallel import get_active_backend

from korvan.parallel.errors import ModelTransferError

__all__ = ["FileRef", "Shipment", "compute_round", "model_config"]


@dataclass
class FeatureTable:
    # The part of the data set that the native _perturb reads: a worker gets
    # these two lists instead of the whole frame.
    feature_names: list[Any]
    feature_types: list[Any]


class Predictors:
    """The prediction functions of a computation, travelling as one object.

    A plain list would not do: Dask scatters a list element by element.
    """

    def __init__(self, funcs: Sequence[Callable[[Any], Any]]) -> None:
        self.funcs = tuple(funcs)

    def __iter__(self) -> Any:
        return iter(self.funcs)


@dataclass(frozen=True)
class FileRef:
    """A file of the computation's folder: ``kind`` is "matrix" (mapped read-only),
    "status" (mapped for writing) or "pickle"."""

    token: str
    path: str
    kind: str


# Per worker process: the objects of the computation in progress, opened once.
_opened: dict[str, Any] = {}
_opened_token: list[str] = [""]
_opened_lock = threading.Lock()


def _open(ref: Any) -> Any:
    if not isinstance(ref, FileRef):
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


def model_config(inner: int) -> Any:
    """The joblib configuration a model's own ``Parallel`` calls see during a run.

    Without it a model that parallelises with joblib (a forest's trees)
    would inherit the run's backend: under Dask, ``n_jobs=None`` means every
    thread of the cluster, and a forest that adds up its trees in the order
    threads finish does not give the same last bits twice.  With one thread
    left per worker, the model runs sequentially; otherwise on threads, with
    ``n_jobs=None`` still meaning one, as in a plain run.
    """
    return joblib.parallel_config(backend="threading" if inner > 1 else "sequential")


def compute_round(perturber: Any, X: Any, predict_funcs: Any, features: list[Any], method: str,
                  noise_level: Any, seed: int, status: Any, inner: int, index: int,
                  pools: Any = None) -> tuple[int, list[Any]]:
    """Perturb a copy of ``X`` as the sequential run does for this seed; every model predicts on it.

    ``pools``, a ``threadpoolctl.ThreadpoolController``, holds OpenMP to
    ``inner`` threads in this thread: OpenMP's thread count is a setting of
    each thread, so a limit set by the thread that started the workers does
    not reach them.
    """
    if pools is not None:
        with pools.limit(limits=inner, user_api="openmp"):
            return compute_round(perturber, X, predict_funcs, features, method, noise_level,
                                 seed, status, inner, index)
    if status is not None:
        _open(status)[index] = os.getpid()
    # A memory-mapped matrix is handed on as a plain array view: _perturb
    # copies it, and the copy must be an ordinary array like in the
    # sequential run.
    matrix = np.asarray(_open(X))
    predicts = tuple(_open(predict_funcs))
    with model_config(inner):
        perturbed = perturber._perturb(X=matrix, perturb_features=features,
                                       perturb_method=method, noise_level=noise_level,
                                       random_state=seed)
        # Each model but the last predicts on a copy: a model that writes into
        # its input must not change what the next one sees.
        last = len(predicts) - 1
        return index, [predict(perturbed if m == last else perturbed.copy())
                       for m, predict in enumerate(predicts)]


def check_picklable(obj: Any, what: str) -> bytes:
    try:
        return cloudpickle.dumps(obj)
    except Exception as exc:  # pickling raises many kinds (TypeError, PicklingError, ...)
        raise ModelTransferError(
            f"the {what} cannot be sent to worker processes ({type(exc).__name__}: {exc}); "
            f'run it in threads instead: with joblib.parallel_config(backend="threading")'
        ) from None


class Shipment:
    """The matrix, the prediction functions and the perturber as the workers receive them."""

    def __init__(self, kind: str, X: np.ndarray, predict_funcs: Sequence[Callable[[Any], Any]],
                 perturber: Any, n_rounds: int, stack: ExitStack) -> None:
        self.X: Any = X
        self.predict_funcs: Any = Predictors(predict_funcs)
        self.perturber: Any = perturber
        self.status: Any = None
        self._status_path: str | None = None
        if kind == "processes":
            self._to_files(X, n_rounds, stack)
        elif kind == "dask":
            self._scatter(stack)

    def _to_files(self, X: np.ndarray, n_rounds: int, stack: ExitStack) -> None:
        # Checked before anything is written or sent.
        payload = check_picklable(self.predict_funcs, "model")
        check_picklable(self.perturber, "test object")
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
        self.X = FileRef(token, x_path, "matrix")
        self.predict_funcs = FileRef(token, model_path, "pickle")
        self.status = FileRef(token, self._status_path, "status")

    def _scatter(self, stack: ExitStack) -> None:
        check_picklable(self.predict_funcs, "model")
        check_picklable(self.perturber, "test object")
        backend, _ = get_active_backend()
        client = backend.client
        # One copy of each on every worker, shared by all the rounds it runs.
        self.X = client.scatter(self.X, broadcast=True, hash=False)
        self.predict_funcs = client.scatter(self.predict_funcs, broadcast=True, hash=False)
        stack.callback(client.cancel, [self.X, self.predict_funcs])

    def started(self) -> np.ndarray | None:
        """For process pools: the pid that started each round, 0 where none did."""
        if self._status_path is None:
            return None
        return np.load(self._status_path)
