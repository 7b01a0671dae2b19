"""The worst group of a robustness result, named by the data set's own row labels.

The native test reports the worst rows as positions within the split it
scored.  These functions turn them back into the frame's index labels (for a
CSV file read without an index column, the 0-based data row number) and into
a table of those rows as the user knows them.  They never call the model:
whoever holds it makes the baseline prediction once and hands it in.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from korvan.jsonable import to_jsonable
from korvan.metrics import default_metric, get_metric

__all__ = ["worst_positions", "label_worst_rows", "worst_rows", "result_metric"]

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


def result_metric(result: Any, dataset: Any) -> str:
    """The metric a result was scored with: the one it names, else the run's default."""
    return result.inputs.get("metric") or default_metric(
        dataset.task_type, None if dataset.classes is None else len(dataset.classes))


def worst_rows(result: Any, dataset: Any, baseline: Any = None) -> pd.DataFrame:
    """The worst group's rows as a frame indexed by their original labels.

    Parameters
    ----------
    result : ValidationResult
        A robustness result.
    dataset : DataSet
        The data set the test ran on.
    baseline : array, optional
        The model's baseline prediction for every row of the scored split:
        the values the metric scores (a prediction, a class, or the
        probability of the second class), see
        :meth:`korvan.result.ValidationResult.baseline_prediction`.  When
        given, the rows also get it and their gap, the mean distance between
        their perturbed predictions at the first noise level and the
        baseline, by which they were ranked.

    Returns
    -------
    pandas.DataFrame
        One row per worst row, most affected first: the features as in the
        original frame, then the target (original class labels), then
        ``"baseline prediction"`` and ``"gap"`` when ``baseline`` is given.
    """
    split, positions = worst_positions(result)
    X, y, _ = dataset.get_X_y_data(split)
    index = dataset.get_index(split)[positions]
    frame = dataset.schema.to_frame(X[positions], index=index)
    if frame.index.name is None:
        frame.index.name = "row"
    frame[dataset.target] = dataset.target_labels(y[positions])
    if baseline is not None:
        baseline = np.asarray(baseline)
        if baseline.shape != (X.shape[0],):
            raise ValueError(f"baseline has shape {baseline.shape}; expected one prediction per "
                             f"row of the {X.shape[0]}-row {split} split")
        levels = [k for k in result.value if k != "data_info"]
        perturbed = np.array(list(result.value[levels[0]].values()), dtype=np.float64)
        gap = np.abs(perturbed - baseline.astype(np.float64)).mean(axis=0)
        shown = baseline[positions]
        if dataset.classes is not None and not get_metric(result_metric(result, dataset)).needs_proba:
            shown = dataset.target_labels(shown)
        frame[PREDICTION_COLUMN] = shown
        frame[GAP_COLUMN] = gap[positions]
    return frame
