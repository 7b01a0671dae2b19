"""Base class of the diagnostic tests."""

from typing import Any

from korvan.constants import CLASSIFICATION, REGRESSION
from korvan.metrics import default_metric


class TestBase:
    """Common state of a diagnostic test: the data set and the model.

    Parameters
    ----------
    dataset : DataSet
        The data the test reads, see :class:`korvan.data.DataSet`.
    model : object
        A fitted model with ``predict`` (and ``predict_proba`` for
        classifiers), see :func:`korvan.models.wrap_model`.  A wrapped model
        is bound to ``dataset`` (a copy; the caller's is unchanged), so that
        one fitted on a DataFrame is called with frames of its columns.
    """

    # Not a pytest test class, despite the name.
    __test__ = False

    #: Metric used when a regression test is run without one.
    REGRESSION_METRIC_DEFAULT = default_metric(REGRESSION)

    @property
    def CLASSIFICATION_METRIC_DEFAULT(self) -> str:
        """Metric used when a classification test is run without one.

        The metric table's default for the data set's classes: AUC for two,
        ACC for more, the same choice the command makes.
        """
        classes = getattr(self.dataset, "classes", None)
        return default_metric(CLASSIFICATION, None if classes is None else len(classes))

    def __init__(self, dataset: Any, model: Any) -> None:
        from korvan.models import bind_model

        self.dataset = dataset
        # A model fitted on a DataFrame is called with frames of this data set.
        self.model = bind_model(model, dataset)
