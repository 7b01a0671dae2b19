"""The worst group of a robustness result, named by the data set's own row labels.

The native test reports the worst rows as positions within the split it
scored.  These functions turn them back into the frame's index labels (for a
CSV file read without an index column, the 0-based data row number) and into
a table of those rows as the user knows them.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from korvan.factsheet.utils.metric_utils import get_scorer_funcs
from korvan.metrics import default_metric, get_metric
from korvan.models import bind_model
from korvan.jsonable import to_jsonable

__all__ = ["worst_positions", "label_worst_rows", "worst_rows"]

PREDICTION_COLUMN = "baseline prediction"
GAP_COLUMN = "gap"


def worst_positions(result: Any) -> tuple[str, np.ndarray]:
    """The split and the positions in it of the worst rows, most affected first."""
    info = result.value["data_info"]
    return info["dataset1"], np.asarray(info["sample_idx1"], dtype=np.intp)


def label_worst_rows(result: Any, dataset: Any) -> list[Any]:
    """Add the worst rows' labels to the result (``data_info["row_labels1"]``) and return them."""
    split, positions = worst_positions(result)
    labels = to_jsonable(list(dataset.get_index(split)[positions]))
    result.value["data_info"]["row_labels1"] = labels
    return labels


def worst_rows(result: Any, dataset: Any, model: Any = None) -> pd.DataFrame:
    """The worst group's rows as a frame indexed by their original labels.

    Parameters
    ----------
    result : ValidationResult
        A robustness result.
    dataset : DataSet
        The data set the test ran on.
    model : object, optional
        The model the test ran with.  When given, the rows also get their
        baseline prediction (the value the metric scores: a prediction, a
        class, or the probability of the second class) and their gap, the
        mean distance between their perturbed predictions at the first
        noise level and the baseline, by which they were ranked.

    Returns
    -------
    pandas.DataFrame
        One row per worst row, most affected first: the features as in the
        original frame, then the target (original class labels), then
        ``"baseline prediction"`` and ``"gap"`` when ``model`` is given.
    """
    split, positions = worst_positions(result)
    X, y, _ = dataset.get_X_y_data(split)
    index = dataset.get_index(split)[positions]
    frame = dataset.schema.to_frame(X[positions], index=index)
    if frame.index.name is None:
        frame.index.name = "row"
    frame[dataset.target] = dataset.target_labels(y[positions])
    if model is not None:
        metric = result.inputs.get("metric") or default_metric(
            dataset.task_type, None if dataset.classes is None else len(dataset.classes))
        predict = get_scorer_funcs(bind_model(model, dataset), metric)[2]
        baseline = predict(X)
        levels = [k for k in result.value if k != "data_info"]
        perturbed = np.array(list(result.value[levels[0]].values()), dtype=np.float64)
        gap = np.abs(perturbed - baseline.astype(np.float64)).mean(axis=0)
        shown = baseline[positions]
        if dataset.classes is not None and not get_metric(metric).needs_proba:
            shown = dataset.target_labels(shown)
        frame[PREDICTION_COLUMN] = shown
        frame[GAP_COLUMN] = gap[positions]
    return frame

