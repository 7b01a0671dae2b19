"""Base class of the diagnostic tests."""

from typing import Any


class TestBase:
    """Common state of a diagnostic test: the data set and the model.

    Parameters
    ----------
    dataset : DataSet
        The data the test reads, see :class:`korvan.data.DataSet`.
    model : object
        A fitted model with ``predict`` (and ``predict_proba`` for
        classifiers), see :func:`korvan.models.wrap_model`.
    """

    # Not a pytest test class, despite the name.
    __test__ = False

    #: Metric used when a regression test is run without one.
    REGRESSION_METRIC_DEFAULT = "MSE"
    #: Metric used when a classification test is run without one.
    CLASSIFICATION_METRIC_DEFAULT = "AUC"

    def __init__(self, dataset: Any, model: Any) -> None:
        self.dataset = dataset
        self.model = model
