"""The one table of metrics a robustness test can score with.

Every other place that needs to know something about a metric (the scorer
functions, the command's checks, the printed summary, the statistics) asks
this table rather than keeping its own lists.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
from sklearn import metrics as skm

from korvan.constants import CLASSIFICATION, REGRESSION, TASK_TYPES

__all__ = ["Metric", "METRIC_TABLE", "METRICS", "get_metric", "metrics_for_task",
           "default_metric", "refuse_for_classes"]


@dataclass(frozen=True)
class Metric:
    """What there is to know about one metric.

    Attributes
    ----------
    name : str
        Canonical spelling, e.g. ``"LogLoss"``.
    task : str
        ``"regression"`` or ``"classification"``.
    higher_is_better : bool
    needs_proba : bool
        Scored on ``predict_proba(X)``, so the model needs ``predict_proba``;
        otherwise scored on ``predict(X)``.  With two classes the score reads
        the probability of the second class, ``predict_proba(X)[:, 1]``.
    description : str
        A few words for help texts and summaries.
    scorer : callable
        ``scorer(y_true, prediction, sample_weight, classes)`` returns the
        score; ``classes`` are the model's classes, or None when it has none.
    binary : bool
        Scores one class's probability against the other, so it needs a
        target of exactly two classes.  LogLoss is not binary: over three or
        more classes each row is reduced to the probability the model gives
        its true class, which is all the loss reads.
    """

    name: str
    task: str
    higher_is_better: bool
    needs_proba: bool
    description: str
    scorer: Callable[[np.ndarray, np.ndarray, np.ndarray | None, np.ndarray | None], float]
    binary: bool = False

    @property
    def sign(self) -> int:
        """``+1`` when a higher score is better, ``-1`` when lower is better."""
        return 1 if self.higher_is_better else -1

    def fits(self, task: str, n_classes: int | None = None) -> bool:
        """Whether the metric can score a target of this task and class count."""
        if task != self.task:
            return False
        return not (self.binary and n_classes is not None and n_classes > 2)


# Scorers.  Binary metrics need to know which label is "positive": the
# model's second class, the one whose probability predict_proba(X)[:, 1] gives.

def _binary(classes: np.ndarray | None) -> bool:
    return classes is not None and len(classes) == 2


def _f1(y: np.ndarray, pred: np.ndarray, w: np.ndarray | None,
        classes: np.ndarray | None) -> float:
    if classes is not None and len(classes) > 2:
        return skm.f1_score(y, pred, average="macro", sample_weight=w, zero_division=0)
    if _binary(classes):
        positive = classes[1]
    else:
        seen = np.unique(np.concatenate([y.ravel(), pred.ravel()]))
        positive = seen[-1] if len(seen) else 1
    return skm.f1_score(y, pred, pos_label=positive, sample_weight=w, zero_division=0)


def _log_loss(y: np.ndarray, pred: np.ndarray, w: np.ndarray | None,
              classes: np.ndarray | None) -> float:
    return skm.log_loss(y, pred, sample_weight=w, labels=classes if _binary(classes) else None)


def _brier(y: np.ndarray, pred: np.ndarray, w: np.ndarray | None,
           classes: np.ndarray | None) -> float:
    binary = _binary(classes)
    return skm.brier_score_loss(y, pred, sample_weight=w, pos_label=classes[1] if binary else None,
                                labels=classes if binary else None)


def _plain(func: Callable[..., float]) -> Callable[..., float]:
    """A scorer for a metric that needs nothing of the model's classes."""
    def scorer(y: np.ndarray, pred: np.ndarray, w: np.ndarray | None,
               classes: np.ndarray | None) -> float:
        return func(y, pred, sample_weight=w)

    return scorer


#: Every metric, in the order they are listed to users: regression first.
METRIC_TABLE: tuple[Metric, ...] = (
    Metric("MSE", REGRESSION, False, False, "mean squared error", _plain(skm.mean_squared_error)),
    Metric("MAE", REGRESSION, False, False, "mean absolute error",
           _plain(skm.mean_absolute_error)),
    Metric("R2", REGRESSION, True, False, "coefficient of determination", _plain(skm.r2_score)),
    Metric("AUC", CLASSIFICATION, True, True, "area under the ROC curve",
           _plain(skm.roc_auc_score), binary=True),
    Metric("ACC", CLASSIFICATION, True, False, "accuracy", _plain(skm.accuracy_score)),
    Metric("F1", CLASSIFICATION, True, False, "F1 score (macro average over 3+ classes)", _f1),
    Metric("LogLoss", CLASSIFICATION, False, True, "logistic loss", _log_loss),
    Metric("Brier", CLASSIFICATION, False, True, "Brier score", _brier, binary=True),
)

_BY_LOWER: dict[str, Metric] = {m.name.lower(): m for m in METRIC_TABLE}

#: Every metric name, in table order.
METRICS: tuple[str, ...] = tuple(m.name for m in METRIC_TABLE)

# The metric a run uses when none is named, per task; a multiclass target
# falls back to the first default that fits it.
_DEFAULTS: dict[str, tuple[str, ...]] = {REGRESSION: ("MSE",), CLASSIFICATION: ("AUC", "ACC")}


def get_metric(name: Any) -> Metric:
    """Return the table entry of a metric; case and surrounding spaces are ignored.

    Raises
    ------
    ValueError
        If ``name`` names no metric; the message lists the valid ones.
    """
    if isinstance(name, str):
        found = _BY_LOWER.get(name.strip().lower())
        if found is not None:
            return found
    raise ValueError(f"Unknown metric {name!r}; valid metrics are: {', '.join(METRICS)}")


def _check_task(task: str) -> None:
    if task not in TASK_TYPES:
        raise ValueError(
            f"Unknown task type {task!r}; valid task types are: {', '.join(TASK_TYPES)}"
        )


def metrics_for_task(task: str, n_classes: int | None = None) -> tuple[str, ...]:
    """Names of the metrics that fit a task (and, if given, a number of classes).

    Raises
    ------
    ValueError
        If ``task`` is not a task type.
    """
    _check_task(task)
    return tuple(m.name for m in METRIC_TABLE if m.fits(task, n_classes))


def default_metric(task: str, n_classes: int | None = None) -> str:
    """The metric a run uses when none is named.

    ``MSE`` for regression; ``AUC`` for two classes and ``ACC`` for more,
    since AUC scores one class's probability.
    """
    _check_task(task)
    for name in _DEFAULTS[task]:
        if get_metric(name).fits(task, n_classes):
            return name
    raise AssertionError("every task has a default that fits")  # pragma: no cover


def refuse_for_classes(name: str, n_classes: int) -> None:
    """Refuse a metric that cannot score a target of ``n_classes`` classes.

    Raises
    ------
    ValueError
        One line saying why and naming the metrics that work.
    """
    metric = get_metric(name)
    if metric.task == CLASSIFICATION and not metric.fits(CLASSIFICATION, n_classes):
        raise ValueError(
            f"Metric {metric.name!r} scores one class's probability against the other, so it "
            f"needs two classes and the target has {n_classes}; use one of: "
            f"{', '.join(metrics_for_task(CLASSIFICATION, n_classes))}")
