"""Score and prediction functions for the metrics a test can report.

Each metric comes as a triple ``(score_sign, score_func, predict_func)``:
``predict_func`` turns a feature matrix into the one value per row the metric
scores (a prediction, a label or the probability of the positive class),
``score_func`` scores those values against the truth, and ``score_sign`` says
which way is better so that a caller can tell a drop in performance from a
gain without knowing the metric.
"""

from __future__ import annotations

from typing import Any, Callable

import numpy as np

from korvan.constants import CLASSIFICATION
from korvan.metrics import METRIC_TABLE, Metric, get_metric, refuse_for_classes
from korvan.models import has_predict

__all__ = ["get_scorer_funcs"]

ScoreFunc = Callable[..., float]
PredictFunc = Callable[[np.ndarray], np.ndarray]


def _model_classes(model: Any) -> np.ndarray | None:
    classes = getattr(model, "classes_", None)
    if classes is None:
        estimator = getattr(model, "estimator", None)
        classes = getattr(estimator, "classes_", None)
    return None if classes is None else np.asarray(classes)


def _as_1d(values: Any, n_rows: int, what: str) -> np.ndarray:
    out = np.asarray(values)
    if out.ndim == 2 and out.shape[1] == 1:
        out = out[:, 0]
    if out.ndim != 1 or out.shape[0] != n_rows:
        raise ValueError(
            f"{what} returned shape {out.shape}; expected one value per row "
            f"of the {n_rows}-row input"
        )
    return out


def _label_predictor(model: Any) -> PredictFunc:
    def predict(X: np.ndarray) -> np.ndarray:
        X = np.asarray(X)
        return _as_1d(model.predict(X), X.shape[0], "predict")

    return predict


def _label_metrics() -> str:
    return ", ".join(m.name for m in METRIC_TABLE
                     if m.task == CLASSIFICATION and not m.needs_proba)


def _positive_proba_predictor(model: Any, metric: str) -> PredictFunc:
    if not callable(getattr(model, "predict_proba", None)):
        raise ValueError(
            f"Metric {metric!r} scores predicted probabilities, but the model "
            f"has no predict_proba; use one of: {_label_metrics()}"
        )

    def predict(X: np.ndarray) -> np.ndarray:
        X = np.asarray(X)
        proba = np.asarray(model.predict_proba(X))
        if proba.ndim != 2 or proba.shape[1] != 2 or proba.shape[0] != X.shape[0]:
            raise ValueError(
                f"Metric {metric!r} needs a binary classifier; predict_proba "
                f"returned shape {proba.shape} for {X.shape[0]} rows, expected "
                f"({X.shape[0]}, 2)"
            )
        return np.ascontiguousarray(proba[:, 1], dtype=np.float64)

    return predict


def _true_class_proba_predictor(model: Any, metric: str, n_classes: int) -> PredictFunc:
    # Over three or more classes the one number per row is the probability the
    # model gives the row's true class: the log loss reads nothing else, and
    # its change under noise is how much less sure of the truth the model got.
    if not callable(getattr(model, "predict_proba", None)):
        raise ValueError(
            f"Metric {metric!r} scores predicted probabilities, but the model "
            f"has no predict_proba; use one of: {_label_metrics()}"
        )
    dataset = getattr(model, "dataset", None)
    if not callable(getattr(dataset, "split_target", None)):
        raise ValueError(
            f"Metric {metric!r} over {n_classes} classes scores the probability of each "
            f"row's true class, so the model must know its data set: "
            f"wrap it with wrap_model(estimator, dataset=...)"
        )
    dataset.split_target(None)  # refuses a data set whose splits it cannot tell apart
    columns = np.asarray(getattr(model, "classes_", np.arange(n_classes)))
    if not np.array_equal(columns, np.arange(n_classes)):
        raise ValueError(
            f"Metric {metric!r}: the model's classes {columns.tolist()} are not the data "
            f"set's classes {np.asarray(dataset.classes).tolist()}"
        )

    def predict(X: np.ndarray) -> np.ndarray:
        X = np.asarray(X)
        proba = np.asarray(model.predict_proba(X), dtype=np.float64)
        if proba.ndim != 2 or proba.shape != (X.shape[0], n_classes):
            raise ValueError(
                f"Metric {metric!r}: predict_proba returned shape {proba.shape} for "
                f"{X.shape[0]} rows, expected ({X.shape[0]}, {n_classes})"
            )
        y = dataset.split_target(X.shape[0])
        return np.ascontiguousarray(proba[np.arange(X.shape[0]), y])

    return predict


def _true_class_log_loss(*, y: Any, prediction: Any, sample_weight: Any = None) -> float:
    """Log loss from the probability each row's true class was given (clipped as scikit-learn does)."""
    p = np.asarray(prediction, dtype=np.float64)
    eps = np.finfo(p.dtype).eps
    loss = -np.log(np.clip(p, eps, 1 - eps))
    w = None if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)
    return float(np.average(loss, weights=w))


def _score_func(entry: Metric, classes: np.ndarray | None) -> ScoreFunc:
    def score(*, y: Any, prediction: Any, sample_weight: Any = None) -> float:
        w = None if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)
        return float(entry.scorer(np.asarray(y), np.asarray(prediction), w, classes))

    score.__name__ = f"score_{entry.name}"
    score.__doc__ = (f"Score predictions with {entry.name} "
                     f"(higher is better: {entry.higher_is_better}).")
    return score


def get_scorer_funcs(model: Any, metric: str) -> tuple[int, ScoreFunc, PredictFunc]:
    """Return the sign, score function and prediction function of a metric.

    Parameters
    ----------
    model : object
        Fitted model with ``predict``; ``predict_proba`` too for ``AUC``,
        ``LogLoss`` and ``Brier``, which score the probability of the
        positive class, ``predict_proba(X)[:, 1]``.  Over three or more
        classes only ``LogLoss`` scores probabilities: each row is reduced to
        the probability the model gives its true class (the model must be
        bound to its data set, as a test binds it), and the score equals
        scikit-learn's ``log_loss`` of the full probability matrix.
    metric : str
        One of ``MSE``, ``MAE``, ``R2`` (regression) or ``AUC``, ``ACC``,
        ``F1``, ``LogLoss``, ``Brier`` (classification); case is ignored.

    Returns
    -------
    score_sign : int
        ``+1`` if a higher score is better, ``-1`` if lower is better.
    score_func : callable
        ``score_func(y=..., prediction=..., sample_weight=...)`` returns the
        score as a Python float; ``sample_weight`` may be ``None``.
    predict_func : callable
        ``predict_func(X)`` takes a 2-D matrix and returns a 1-D numpy array
        with one value per row.

    Raises
    ------
    ValueError
        If the metric is unknown, or it scores probabilities and the model
        has no ``predict_proba``, or it is AUC or Brier and the model has
        more than two classes.
    TypeError
        If the model has no ``predict`` method.
    """
    entry = get_metric(metric)
    name = entry.name
    if not has_predict(model):
        raise TypeError(f"The model {type(model).__name__} has no predict method")
    classes = _model_classes(model)
    n_classes = None if classes is None else len(classes)
    if entry.needs_proba and n_classes is not None and n_classes > 2:
        refuse_for_classes(name, n_classes)
        return entry.sign, _true_class_log_loss, _true_class_proba_predictor(
            model, name, n_classes)
    if entry.needs_proba:
        predict_func = _positive_proba_predictor(model, name)
    else:
        predict_func = _label_predictor(model)
    return entry.sign, _score_func(entry, classes), predict_func
