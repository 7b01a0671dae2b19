"""The one table of metrics a robustness test can score with.

Every other place that needs to know something about a metric (the scorer
functions, the command's checks, the printed summary, the statistics) asks
this table rather than keeping its own lists.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from korvan.constants import CLASSIFICATION, REGRESSION, TASK_TYPES

__all__ = ["Metric", "METRIC_TABLE", "METRICS", "get_metric", "metrics_for_task",
           "default_metric"]


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
        Scored on ``predict_proba(X)[:, 1]``, the probability of the second
        class, so the model needs ``predict_proba`` and the target exactly two
        classes; otherwise scored on ``predict(X)``.
    description : str
        A few words for help texts and summaries.
    """

    name: str
    task: str
    higher_is_better: bool
    needs_proba: bool
    description: str

    @property
    def sign(self) -> int:
        """``+1`` when a higher score is better, ``-1`` when lower is better."""
        return 1 if self.higher_is_better else -1

    @property
    def binary_only(self) -> bool:
        """True when the metric scores one class's probability (two classes only)."""
        return self.needs_proba

    def fits(self, task: str, n_classes: int | None = None) -> bool:
        """Whether the metric can score a target of this task and class count."""
        if task != self.task:
            return False
        return not (self.binary_only and n_classes is not None and n_classes > 2)


#: Every metric, in the order they are listed to users: regression first.
METRIC_TABLE: tuple[Metric, ...] = (
    Metric("MSE", REGRESSION, False, False, "mean squared error"),
    Metric("MAE", REGRESSION, False, False, "mean absolute error"),
    Metric("R2", REGRESSION, True, False, "coefficient of determination"),
    Metric("AUC", CLASSIFICATION, True, True, "area under the ROC curve"),
    Metric("ACC", CLASSIFICATION, True, False, "accuracy"),
    Metric("F1", CLASSIFICATION, True, False, "F1 score (macro average over 3+ classes)"),
    Metric("LogLoss", CLASSIFICATION, False, True, "logistic loss"),
    Metric("Brier", CLASSIFICATION, False, True, "Brier score"),
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
