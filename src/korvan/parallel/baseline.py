"""One unperturbed prediction for many runs on the same split.

Every ``run`` starts by predicting the unperturbed split; the runs of a
sweep (or the command's run and its sweep) predict the same matrix with the
same model, so all but the first of those predictions are repeats.  Inside
:func:`one_baseline` the test reads each split once and its model predicts
each of those matrices once: later runs get the stored prediction, the same
values the model would give again.
"""

from __future__ import annotations

import contextlib
import threading
from typing import Any, Callable, Iterator

import numpy as np

__all__ = ["one_baseline", "plain_dataset"]


# The stand-ins' own attributes: never forwarded, even while being built.
_OWN = frozenset({"_dataset", "_splits", "_lock", "matrices", "_model", "_stored"})


def _plain(obj: Any) -> Any:
    return obj


class _SplitsOnce:
    """The test's data set, each split's arrays built once and handed out read-only."""

    def __init__(self, dataset: Any) -> None:
        self._dataset = dataset
        self._splits: dict[Any, tuple[Any, ...]] = {}
        self._lock = threading.Lock()
        self.matrices: set[int] = set()

    def get_X_y_data(self, dataset: str = "test") -> tuple[Any, ...]:
        try:
            with self._lock:
                found = self._splits.get(dataset)
        except TypeError:  # an unhashable split name: the data set reports it
            return self._dataset.get_X_y_data(dataset=dataset)
        if found is None:
            found = tuple(self._dataset.get_X_y_data(dataset=dataset))
            for array in found:
                if isinstance(array, np.ndarray):
                    array.flags.writeable = False
            with self._lock:
                found = self._splits.setdefault(dataset, found)
                self.matrices.add(id(found[0]))
        return found

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__") or name in _OWN:
            raise AttributeError(name)
        return getattr(self._dataset, name)

    def __reduce__(self) -> tuple[Callable[[Any], Any], tuple[Any]]:
        # Sent elsewhere (a process executor), the test reads its data set as usual.
        return _plain, (self._dataset,)


class _PredictsOnce:
    """The test's model, predicting each unperturbed split once.

    A worker process receives the bare model: the stored predictions stay here.
    """

    def __init__(self, model: Any, splits: _SplitsOnce) -> None:
        self._model = model
        self._splits = splits
        self._stored: dict[tuple[str, int], Any] = {}
        self._lock = threading.Lock()

    def _once(self, method: str, X: Any) -> Any:
        predict = getattr(self._model, method)
        if id(X) not in self._splits.matrices:
            return predict(X)
        key = (method, id(X))
        with self._lock:
            if key not in self._stored:
                # The model gets a copy of the shared, read-only split: a model
                # that writes into its input must neither fail nor change what
                # the runs after it see.
                out = predict(np.array(X))
                if isinstance(out, np.ndarray):
                    out.flags.writeable = False
                self._stored[key] = out
            return self._stored[key]

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__") or name in _OWN:
            raise AttributeError(name)
        value = getattr(self._model, name)
        if name in ("predict", "predict_proba") and callable(value):
            return lambda X: self._once(name, X)
        return value

    def __reduce__(self) -> tuple[Callable[[Any], Any], tuple[Any]]:
        return _plain, (self._model,)


def plain_dataset(dataset: Any) -> Any:
    """The data set itself, also when ``dataset`` is a block's stand-in for it."""
    return dataset._dataset if isinstance(dataset, _SplitsOnce) else dataset


@contextlib.contextmanager
def one_baseline(test: Any) -> Iterator[Any]:
    """Within the block, ``test``'s runs predict each unperturbed split once.

    ``test.dataset`` and ``test.model`` are stand-ins for the block's
    duration and are put back when it ends; the results are those of runs
    without the block.  Nested blocks on the same test share the outer one.
    """
    if isinstance(getattr(test, "model", None), _PredictsOnce):
        yield test
        return
    dataset, model = test.dataset, test.model
    splits = _SplitsOnce(dataset)
    test.dataset = splits
    test.model = _PredictsOnce(model, splits)
    try:
        yield test
    finally:
        test.dataset, test.model = dataset, model
