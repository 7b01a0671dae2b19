"""Model objects the robustness test calls.

The test needs only ``name``, ``predict`` and, for probability metrics,
``predict_proba``.  :func:`wrap_model` gives any estimator that shape, and
:func:`make_estimator` builds the few estimators the command line offers.
"""

from __future__ import annotations

import copy
from typing import Any, Hashable, Sequence

import numpy as np
import pandas as pd

from korvan.modelinfo import describe_model, fitted_names, fitted_width
from korvan.constants import CLASSIFICATION, REGRESSION, TASK_TYPES

__all__ = ["Model", "ProbabilisticModel", "wrap_model", "bind_model", "has_predict", "make_estimator",
           "fit_estimator", "check_features", "fitted_feature_names", "FeatureMismatch",
           "MODEL_KINDS", "INPUT_MODES"]

#: Estimator kinds :func:`make_estimator` builds; the first is the default.
MODEL_KINDS: tuple[str, ...] = ("gbm", "linear", "forest")


def _default_name(estimator: Any) -> str:
    steps = getattr(estimator, "steps", None)
    if isinstance(steps, list) and steps:
        # A pipeline is named after the model at its end, not "Pipeline".
        return type(steps[-1][1]).__name__
    return type(estimator).__name__


#: How a model is handed the features: ``"auto"`` picks ``"frame"`` for an
#: estimator fitted on a DataFrame, ``"values"`` for one fitted on an array
#: that encodes text categories itself, and ``"array"`` otherwise.
INPUT_MODES: tuple[str, ...] = ("auto", "frame", "array", "values")


def _encodes_text(estimator: Any) -> bool:
    """Whether a model fitted on an array encodes columns of text itself."""
    if fitted_feature_names(estimator) is not None:
        return False
    info = describe_model(estimator)
    return any(not all(isinstance(c, (int, float, np.number)) for c in cats)
               for cats in info.categories.values())


class FeatureMismatch(ValueError):
    """The model was fitted on other features than the data set holds.

    Attributes
    ----------
    missing : list of str
        Columns the model was fitted on that the data lacks.
    unexpected : list
        The data's features the model was not fitted on.
    """

    def __init__(self, message: str, missing: Sequence[str] = (),
                 unexpected: Sequence[Hashable] = ()) -> None:
        super().__init__(message)
        self.missing = list(missing)
        self.unexpected = list(unexpected)


def has_predict(obj: Any) -> bool:
    """Whether ``obj`` can be scored: it has a callable ``predict``."""
    return callable(getattr(obj, "predict", None))


def fitted_feature_names(estimator: Any) -> list[str] | None:
    """The column names an estimator was fitted with, or None if it was fitted on an array.

    ``feature_names_in_`` for scikit-learn and the libraries that follow it;
    CatBoost's ``feature_names_`` (a loaded CatBoost model has no other).
    """
    return fitted_names(estimator)


def check_features(estimator: Any, feature_names: Sequence[Hashable], input: str = "auto") -> None:
    """Refuse an estimator whose fitted features differ from the data set's.

    Raises
    ------
    FeatureMismatch
        Naming the columns the model expects that the data lacks, and the
        data's features the model was not fitted with.
    """
    expected = fitted_feature_names(estimator)
    given = [str(fn) for fn in feature_names]
    if expected is not None and input != "array":
        missing = [n for n in expected if n not in set(given)]
        unexpected = [fn for fn, n in zip(feature_names, given) if n not in set(expected)]
        if missing or unexpected:
            parts = []
            if missing:
                parts.append(f"the data lacks {', '.join(missing)}")
            if unexpected:
                parts.append(f"the model was not fitted on {', '.join(map(str, unexpected))}")
            raise FeatureMismatch(
                f"The model's features do not match the data's: {'; '.join(parts)}",
                missing, unexpected)
        return
    n_in = fitted_width(estimator)
    if n_in is not None and n_in != len(given):
        raise FeatureMismatch(
            f"The model was fitted on {n_in} features, the data has {len(given)}"
        )


class Model:
    """A fitted estimator with a name, called at the boundary the way it was fitted.

    Parameters
    ----------
    estimator : object
        Anything with a ``predict(X)`` method.
    name : str, optional
        Default: the estimator's class name.
    dataset : DataSet, optional
        The data set whose feature matrices the model will be called on.  It
        is needed for ``"frame"`` input; a robustness test binds the model to
        its own data set when this is omitted.
    input : {"auto", "frame", "array", "values"}, default "auto"
        ``"frame"``: hand the estimator a DataFrame with the data set's
        original column names and dtypes, categorical codes decoded back to
        their categories (perturbed codes included).  ``"array"``: the float
        matrix as it is.  ``"values"``: the same values as a frame, as one
        array without names (text stays text).  ``"auto"``: a frame when the
        estimator was fitted on one (it has ``feature_names_in_``, or
        CatBoost's ``feature_names_``), the values when it was fitted on an
        array and encodes text categories itself (a pipeline's encoder),
        else the float matrix.

    Attributes
    ----------
    estimator : object
        The estimator, unchanged.
    name : str
    input : str
        The mode in force, ``"frame"`` or ``"array"`` once resolved.
    """

    def __init__(self, estimator: Any, name: str | None = None, dataset: Any = None,
                 input: str = "auto") -> None:
        if not has_predict(estimator):
            raise TypeError(f"{type(estimator).__name__} has no predict method; cannot wrap it")
        if input not in INPUT_MODES:
            raise ValueError(f"Unknown input {input!r}; valid inputs are: {', '.join(INPUT_MODES)}")
        self.estimator = estimator
        self.name = _default_name(estimator) if name is None else str(name)
        if input == "auto":
            input = ("frame" if fitted_feature_names(estimator) is not None
                     else "values" if _encodes_text(estimator) else "array")
        self.input = input
        self.dataset = None
        self._columns: list[Hashable] | None = None
        self._class_codes: pd.Index | None = None
        if dataset is not None:
            self._bind(dataset)

    def _bind(self, dataset: Any) -> None:
        check_features(self.estimator, dataset.feature_names, self.input)
        self.dataset = dataset
        if self.input in ("frame", "values"):
            expected = fitted_feature_names(self.estimator)
            by_text = {str(fn): fn for fn in dataset.feature_names}
            self._columns = (list(dataset.feature_names) if expected is None
                             else [by_text[n] for n in expected])
        self._class_codes = _class_codes(self.estimator, getattr(dataset, "classes", None))

    def bind(self, dataset: Any) -> "Model":
        """Return this model bound to ``dataset``: itself if it already is, else a copy.

        Raises
        ------
        FeatureMismatch
            If the estimator was fitted on other features than the data set's.
        """
        if self.dataset is dataset:
            return self
        bound = copy.copy(self)
        bound._bind(dataset)
        return bound

    @property
    def classes_(self) -> np.ndarray | None:
        """Class labels in ``predict_proba`` column order, else None.

        When the data set codes its classes 0, 1, ... and the estimator
        predicts the original labels, these are the codes, the values
        :meth:`predict` returns.
        """
        classes = getattr(self.estimator, "classes_", None)
        if classes is None:
            return None
        if self._class_codes is not None:
            return np.arange(len(self._class_codes))
        return np.asarray(classes)

    def features(self, X: np.ndarray) -> Any:
        """What the estimator is handed for the feature matrix ``X``."""
        if self.input == "array":
            return X
        if self.dataset is None:
            raise ValueError(
                f"{self.name} takes a DataFrame, so it needs the data set's columns: "
                f"wrap it with wrap_model(estimator, dataset=...) or run it in a test"
            )
        frame = self.dataset.schema.to_frame(X, columns=self._columns)
        return frame.to_numpy() if self.input == "values" else frame

    def predict(self, X: np.ndarray) -> np.ndarray:
        """Return the estimator's predictions for the rows of ``X`` as an array."""
        out = np.asarray(self.estimator.predict(self.features(X)))
        if self._class_codes is not None:
            out = _to_codes(out, self._class_codes)
        return out

    def __repr__(self) -> str:
        return (f"{type(self).__name__}(name={self.name!r}, input={self.input!r}, "
                f"estimator={self.estimator!r})")


class ProbabilisticModel(Model):
    """A :class:`Model` whose estimator also has ``predict_proba``."""

    def __init__(self, estimator: Any, name: str | None = None, dataset: Any = None,
                 input: str = "auto") -> None:
        if not callable(getattr(estimator, "predict_proba", None)):
            raise TypeError(f"{type(estimator).__name__} has no predict_proba method")
        super().__init__(estimator, name, dataset, input)

    def predict_proba(self, X: np.ndarray) -> np.ndarray:
        """Return class probabilities, one column per class in ``classes_`` order."""
        return np.asarray(self.estimator.predict_proba(self.features(X)))


def _class_codes(estimator: Any, classes: Any) -> pd.Index | None:
    # A data set codes its classes 0, 1, ... in sorted label order.  An
    # estimator fitted on the original labels predicts labels; they are mapped
    # to codes so that they compare with the data set's target.  One fitted on
    # the codes needs nothing.
    fitted = getattr(estimator, "classes_", None)
    if classes is None or fitted is None:
        return None
    fitted, classes = np.asarray(fitted), np.asarray(classes)
    if fitted.shape != classes.shape or np.array_equal(fitted, np.arange(len(fitted))):
        return None
    if not all(a == b for a, b in zip(fitted.tolist(), classes.tolist())):
        return None
    return pd.Index(classes)


def _to_codes(labels: np.ndarray, classes: pd.Index) -> np.ndarray:
    codes = classes.get_indexer(labels.ravel())
    if (codes < 0).any():
        unknown = labels.ravel()[codes < 0][0]
        raise ValueError(f"The model predicted {unknown!r}, which is not a class of the data")
    return codes.astype(np.int64).reshape(labels.shape)


def wrap_model(estimator: Any, name: str | None = None, dataset: Any = None,
               input: str = "auto") -> Model:
    """Wrap an estimator as a model the robustness test can call.

    Parameters
    ----------
    estimator : object
        Anything with ``predict``; classifiers should have ``predict_proba``
        for the probability metrics (AUC, LogLoss, Brier).
    name : str, optional
        Name shown in results; default the estimator's class name (for a
        scikit-learn pipeline, that of its last step).
    dataset : DataSet, optional
        Bind the model to this data set now (see :class:`Model`); a
        robustness test binds it to its own data set otherwise.
    input : {"auto", "frame", "array"}, default "auto"
        See :class:`Model`.

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
    FeatureMismatch
        If ``dataset`` is given and its features are not those the estimator
        was fitted on.
    """
    if callable(getattr(estimator, "predict_proba", None)):
        return ProbabilisticModel(estimator, name, dataset, input)
    return Model(estimator, name, dataset, input)


def bind_model(model: Any, dataset: Any) -> Any:
    """The model a test on ``dataset`` calls.

    A :class:`Model` is bound to the data set (a copy, unless it already
    is); a bare estimator fitted on a DataFrame is wrapped so that it sees
    one; anything else is returned as it is.
    """
    # The data set is looked at only for models that need it.
    if isinstance(model, Model):
        return model.bind(dataset) if hasattr(dataset, "schema") else model
    if not (has_predict(model) and hasattr(dataset, "schema")):
        return model
    if fitted_feature_names(model) is not None or _encodes_text(model):
        return wrap_model(model, dataset=dataset)
    classes = getattr(dataset, "classes", None)
    if classes is not None and len(classes) > 2 and callable(getattr(model, "predict_proba", None)):
        # Its probability scorer looks up each row's true class in the data set.
        return wrap_model(model, dataset=dataset)
    return model


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
        # One thread: a forest predicting on threads of its own adds its trees'
        # outputs in the order the threads finish, so the last bits of its
        # predictions would vary from call to call.  --jobs spreads the rounds.
        return cls(n_estimators=100, random_state=random_state)
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
