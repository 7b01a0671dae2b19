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
from sklearn import metrics as skm

from korvan.metrics import METRIC_TABLE, METRICS, get_metric, metrics_for_task
from korvan.constants import CLASSIFICATION, REGRESSION

__all__ = ["get_scorer_funcs", "canonical_metric", "metric_task_type", "metrics_for_task",
           "METRICS", "REGRESSION_METRICS", "CLASSIFICATION_METRICS", "PROBABILITY_METRICS"]

ScoreFunc = Callable[..., float]
PredictFunc = Callable[[np.ndarray], np.ndarray]

# Views of the one metric table in korvan.metrics, kept for callers of this module.
REGRESSION_METRICS: tuple[str, ...] = tuple(m.name for m in METRIC_TABLE if m.task == REGRESSION)
CLASSIFICATION_METRICS: tuple[str, ...] = tuple(
    m.name for m in METRIC_TABLE if m.task == CLASSIFICATION)
PROBABILITY_METRICS: tuple[str, ...] = tuple(m.name for m in METRIC_TABLE if m.needs_proba)


def canonical_metric(metric: Any) -> str:
    """Return the canonical spelling of a metric name (case is ignored).

    Raises
    ------
    ValueError
        If ``metric`` names no known metric (``None`` included).
    """
    return get_metric(metric).name


def metric_task_type(metric: str) -> str:
    """Return the task type (``REGRESSION`` or ``CLASSIFICATION``) a metric scores.

    Raises
    ------
    ValueError
        If ``metric`` is unknown.
    """
    return get_metric(metric).task


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


def _weights(sample_weight: Any) -> np.ndarray | None:
    return None if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)


def _make_score_func(metric: str, classes: np.ndarray | None) -> ScoreFunc:
    # Binary metrics need to know which label is "positive": the second class
    # of the model, the one whose probability predict_proba(X)[:, 1] gives.
    binary = classes is not None and len(classes) == 2
    labels = classes if binary else None
    pos_label = classes[1] if binary else None

    def score(*, y: Any, prediction: Any, sample_weight: Any = None) -> float:
        y_true = np.asarray(y)
        pred = np.asarray(prediction)
        w = _weights(sample_weight)
        if metric == "MSE":
            value = skm.mean_squared_error(y_true, pred, sample_weight=w)
        elif metric == "MAE":
            value = skm.mean_absolute_error(y_true, pred, sample_weight=w)
        elif metric == "R2":
            value = skm.r2_score(y_true, pred, sample_weight=w)
        elif metric == "AUC":
            value = skm.roc_auc_score(y_true, pred, sample_weight=w)
        elif metric == "ACC":
            value = skm.accuracy_score(y_true, pred, sample_weight=w)
        elif metric == "F1":
            if classes is not None and len(classes) > 2:
                value = skm.f1_score(
                    y_true, pred, average="macro", sample_weight=w, zero_division=0
                )
            else:
                positive = pos_label
                if positive is None:
                    seen = np.unique(np.concatenate([y_true.ravel(), pred.ravel()]))
                    positive = seen[-1] if len(seen) else 1
                value = skm.f1_score(
                    y_true, pred, pos_label=positive, sample_weight=w, zero_division=0
                )
        elif metric == "LogLoss":
            value = skm.log_loss(y_true, pred, sample_weight=w, labels=labels)
        else:  # Brier
            value = skm.brier_score_loss(
                y_true, pred, sample_weight=w, pos_label=pos_label, labels=labels
            )
        return float(value)

    score.__name__ = f"score_{metric}"
    score.__doc__ = (f"Score predictions with {metric} "
                     f"(higher is better: {get_metric(metric).higher_is_better}).")
    return score


def get_scorer_funcs(model: Any, metric: str) -> tuple[int, ScoreFunc, PredictFunc]:
    """Return the sign, score function and prediction function of a metric.

    Parameters
    ----------
    model : object
        Fitted model with ``predict``; ``predict_proba`` too for ``AUC``,
        ``LogLoss`` and ``Brier``, which score the probability of the
        positive class, ``predict_proba(X)[:, 1]``.
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
        has no ``predict_proba``.
    TypeError
        If the model has no ``predict`` method.
    """
    entry = get_metric(metric)
    name = entry.name
    if not callable(getattr(model, "predict", None)):
        raise TypeError(f"The model {type(model).__name__} has no predict method")
    if entry.needs_proba:
        predict_func = _positive_proba_predictor(model, name)
    else:
        predict_func = _label_predictor(model)
    return entry.sign, _make_score_func(name, _model_classes(model)), predict_func
