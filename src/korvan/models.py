"""Model objects the robustness test calls.

The test needs only ``name``, ``predict`` and, for probability metrics,
``predict_proba``.  :func:`wrap_model` gives any estimator that shape, and
:func:`make_estimator` builds the few estimators the command line offers.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from korvan.utils.constants import CLASSIFICATION, REGRESSION, TASK_TYPES

__all__ = ["Model", "ProbabilisticModel", "wrap_model", "make_estimator", "fit_estimator",
           "MODEL_KINDS"]

#: Estimator kinds :func:`make_estimator` builds; the first is the default.
MODEL_KINDS: tuple[str, ...] = ("gbm", "linear", "forest")


def _default_name(estimator: Any) -> str:
    steps = getattr(estimator, "steps", None)
    if isinstance(steps, list) and steps:
        # A pipeline is named after the model at its end, not "Pipeline".
        return type(steps[-1][1]).__name__
    return type(estimator).__name__


class Model:
    """A fitted estimator with a name, seen only through ``predict``.

    Parameters
    ----------
    estimator : object
        Anything with a ``predict(X)`` method.
    name : str, optional
        Default: the estimator's class name.

    Attributes
    ----------
    estimator : object
        The estimator, unchanged.
    name : str
    """

    def __init__(self, estimator: Any, name: str | None = None) -> None:
        if not callable(getattr(estimator, "predict", None)):
            raise TypeError(f"{type(estimator).__name__} has no predict method; cannot wrap it")
        self.estimator = estimator
        self.name = _default_name(estimator) if name is None else str(name)

    @property
    def classes_(self) -> np.ndarray | None:
        """Class labels of a classifier, in ``predict_proba`` column order, else None."""
        classes = getattr(self.estimator, "classes_", None)
        return None if classes is None else np.asarray(classes)

    def predict(self, X: np.ndarray) -> np.ndarray:
        """Return the estimator's predictions for the rows of ``X`` as an array."""
        return np.asarray(self.estimator.predict(X))

    def __repr__(self) -> str:
        return f"{type(self).__name__}(name={self.name!r}, estimator={self.estimator!r})"


class ProbabilisticModel(Model):
    """A :class:`Model` whose estimator also has ``predict_proba``."""

    def __init__(self, estimator: Any, name: str | None = None) -> None:
        super().__init__(estimator, name)
        if not callable(getattr(estimator, "predict_proba", None)):
            raise TypeError(f"{type(estimator).__name__} has no predict_proba method")

    def predict_proba(self, X: np.ndarray) -> np.ndarray:
        """Return class probabilities, one column per class in ``classes_`` order."""
        return np.asarray(self.estimator.predict_proba(X))


def wrap_model(estimator: Any, name: str | None = None) -> Model:
    """Wrap an estimator as a model the robustness test can call.

    Parameters
    ----------
    estimator : object
        Anything with ``predict``; classifiers should have ``predict_proba``
        for the probability metrics (AUC, LogLoss, Brier).
    name : str, optional
        Name shown in results; default the estimator's class name (for a
        scikit-learn pipeline, that of its last step).

    Returns
    -------
    Model
        A :class:`ProbabilisticModel` when the estimator has
        ``predict_proba``, otherwise a plain :class:`Model` on which
        ``hasattr(model, "predict_proba")`` is False.

    Raises
    ------
    TypeError
        If the estimator has no ``predict``.
    """
    if callable(getattr(estimator, "predict_proba", None)):
        return ProbabilisticModel(estimator, name)
    return Model(estimator, name)


def make_estimator(kind: str = "gbm", task_type: str = REGRESSION, random_state: int = 0) -> Any:
    """Build an unfitted scikit-learn estimator for the command line.

    Parameters
    ----------
    kind : {"gbm", "linear", "forest"}, default "gbm"
        ``"gbm"``: histogram gradient boosting, which reads missing values
        as they are; ``"linear"``: linear or logistic regression after
        mean imputation and scaling; ``"forest"``: a random forest of 100
        trees.
    task_type : {"regression", "classification"}
    random_state : int, default 0

    Raises
    ------
    ValueError
        If ``kind`` or ``task_type`` is unknown.
    """
    from sklearn import ensemble, linear_model
    from sklearn.impute import SimpleImputer
    from sklearn.pipeline import Pipeline
    from sklearn.preprocessing import StandardScaler

    if kind not in MODEL_KINDS:
        raise ValueError(f"Unknown model {kind!r}; valid models are: {', '.join(MODEL_KINDS)}")
    if task_type not in TASK_TYPES:
        raise ValueError(
            f"Unknown task type {task_type!r}; valid task types are: {', '.join(TASK_TYPES)}"
        )
    classify = task_type == CLASSIFICATION
    if kind == "gbm":
        cls = ensemble.HistGradientBoostingClassifier if classify else ensemble.HistGradientBoostingRegressor
        return cls(random_state=random_state)
    if kind == "forest":
        cls = ensemble.RandomForestClassifier if classify else ensemble.RandomForestRegressor
        return cls(n_estimators=100, random_state=random_state, n_jobs=-1)
    last = (linear_model.LogisticRegression(max_iter=1000, random_state=random_state)
            if classify else linear_model.LinearRegression())
    return Pipeline([
        ("impute", SimpleImputer(keep_empty_features=True)),
        ("scale", StandardScaler()),
        ("model", last),
    ])


def fit_estimator(
    estimator: Any, X: np.ndarray, y: np.ndarray, sample_weight: np.ndarray | None = None
) -> Any:
    """Fit an estimator, passing sample weights to the model that takes them.

    In a pipeline the weights go to the last step only, the model.

    Returns
    -------
    object
        The fitted estimator.
    """
    if sample_weight is None:
        return estimator.fit(X, y)
    steps = getattr(estimator, "steps", None)
    if isinstance(steps, list) and steps:
        return estimator.fit(X, y, **{f"{steps[-1][0]}__sample_weight": sample_weight})
    return estimator.fit(X, y, sample_weight=sample_weight)
