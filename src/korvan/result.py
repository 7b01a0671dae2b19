"""The result a diagnostic test returns, and its JSON form."""

from __future__ import annotations

import json
import os
from typing import Any, Mapping

import orjson
import pandas as pd

from korvan.jsonable import dumps, json_key, save_json, to_jsonable
from korvan.report.display import HtmlDisplay
from korvan.text import run_subtitle

__all__ = ["ValidationResult"]


def _number_key(key: str) -> Any:
    try:
        return float(key)
    except ValueError:
        return key


class ValidationResult(HtmlDisplay):
    """What a diagnostic test found: the inputs, the raw values and a score table.

    Parameters
    ----------
    key : str
        Which test produced the result, e.g. ``"diagnose_robustness"``.
    data : str
        Name of the data set.
    model : str
        Name of the model.
    inputs : dict
        The arguments the test ran with.
    value : dict
        The test's raw values.  For the robustness test: for each noise level,
        the predictions of every repeat (``{"Pred 0": [...], ...}``), and under
        ``"data_info"`` the split and row positions of the worst and the
        remaining groups of samples.
    table : pandas.DataFrame
        Scores: one row per repeat, one column per noise level (the baseline
        0.0 first).
    options : dict
        The chart of the scores, as rendered by :mod:`plotlane`.

    ``to_html`` / ``save_html`` give the report as one HTML page, and
    notebooks show a compact version of it (see :class:`HtmlDisplay`).
    """

    def __init__(self, key: str, data: Any, model: Any, inputs: Any, value: Any,
                 table: pd.DataFrame, options: Any) -> None:
        self.key = key
        self.data = data
        self.model = model
        self.inputs = inputs
        self.value = value
        self.table = table
        self.options = options
        # A summary read back from a file; otherwise computed from the table.
        self._saved_summary: pd.DataFrame | None = None

    @property
    def metric(self) -> str | None:
        """The metric the scores are in, or None if the result does not say."""
        chosen = self.inputs.get("metric") if isinstance(self.inputs, Mapping) else None
        if chosen is None and isinstance(self.options, Mapping):
            # The run names its default metric only on the chart's value axis.
            chosen = (self.options.get("yaxis") or {}).get("name")
        return chosen if isinstance(chosen, str) else None

    @property
    def summary(self) -> pd.DataFrame:
        """Per noise level: mean, spread, interval and drop of the score.

        See :func:`korvan.stats.summarize` for the columns; a positive drop
        always means worse than the baseline.
        """
        if self._saved_summary is not None:
            return self._saved_summary
        from korvan import stats

        if self.metric is None:
            raise ValueError("The result does not name its metric, so the direction of a drop "
                             "is unknown")
        return stats.summarize(self.table, stats.higher_is_better(self.metric))

    def check(self, max_drop: float, level: float | None = None) -> Any:
        """Check the relative drop of the mean score against a limit.

        Parameters
        ----------
        max_drop : float
            Largest relative drop allowed at any tested level (0.05: the
            mean score may be at most 5% worse than the baseline).
        level : float, optional
            Check only this noise level.

        Returns
        -------
        korvan.stats.Verdict
            ``passed``, ``level`` (the worst), ``drop``, ``limit`` and a
            one-line ``message``; true in a boolean context when passed.
        """
        from korvan import stats

        return stats.check_summary(self.summary, max_drop, level=level, metric=self.metric)

    def __repr__(self) -> str:
        head = (f"ValidationResult(key={self.key!r}, data={to_jsonable(self.data)!r}, "
                f"model={to_jsonable(self.model)!r})")
        return f"{head}\n{self.table!r}" if isinstance(self.table, pd.DataFrame) else head

    def _table_dict(self) -> dict[str, Any]:
        table = self.table
        if not isinstance(table, pd.DataFrame):
            return to_jsonable(table)
        return {
            "index_name": to_jsonable(table.index.name),
            "columns_name": to_jsonable(table.columns.name),
            "index": to_jsonable(list(table.index)),
            "columns": to_jsonable(list(table.columns)),
            "data": {json_key(c): to_jsonable(table.iloc[:, j].to_numpy())
                     for j, c in enumerate(table.columns)},
        }

    def to_dict(self) -> dict[str, Any]:
        """Return the result as plain JSON values (see :func:`to_jsonable`).

        The table becomes ``{"index_name", "columns_name", "index",
        "columns", "data"}`` where ``columns`` keeps the labels (noise levels
        as numbers) and ``data`` maps each label, as a string, to its column.
        ``summary`` is :attr:`summary` (see :func:`korvan.stats.summary_to_dict`),
        or None when the table is not one of scores per noise level.
        """
        return {
            "key": to_jsonable(self.key),
            "data": to_jsonable(self.data),
            "model": to_jsonable(self.model),
            "inputs": to_jsonable(self.inputs),
            "value": to_jsonable(self.value),
            "table": self._table_dict(),
            "options": to_jsonable(self.options),
            "summary": self._summary_dict(),
        }

    def _summary_dict(self) -> dict[str, Any] | None:
        from korvan.stats import summary_to_dict

        try:
            return summary_to_dict(self.summary)
        except (TypeError, ValueError):
            return None  # not a score table of levels, e.g. another test's result

    def to_json(self, indent: int | None = None) -> str:
        """Return :meth:`to_dict` as a strict JSON string (no NaN)."""
        if indent is not None:
            return json.dumps(self.to_dict(), indent=indent, allow_nan=False)
        return dumps(self.to_dict()).decode("utf-8")

    def save(self, path: str | os.PathLike[str]) -> str:
        """Write :meth:`to_json` to a file and return its path.

        The text is built before the file is opened, so a result that cannot
        be turned into JSON leaves no partial file behind.
        """
        return save_json(self.to_dict(), path)

    @classmethod
    def from_dict(cls, payload: Mapping[str, Any]) -> "ValidationResult":
        """Rebuild a result from :meth:`to_dict` output (e.g. a loaded JSON file).

        The table comes back as a DataFrame with its labels and axis names;
        ``value`` keys that are numbers (noise levels) come back as floats.
        Missing numbers, stored as ``null``, come back as NaN.  A saved
        ``summary`` is used as it was saved, not recomputed.
        """
        try:
            saved = payload["table"]
            columns = list(saved["columns"])
            table = pd.DataFrame(
                {j: pd.Series(saved["data"][json_key(c)], dtype="float64")
                 for j, c in enumerate(columns)}
            )
            table.columns = columns
            table.index = pd.Index(saved["index"], name=saved.get("index_name"))
            table.columns.name = saved.get("columns_name")
            value = payload.get("value")
            if isinstance(value, Mapping):
                value = {_number_key(k): v for k, v in value.items()}
            result = cls(key=payload["key"], data=payload["data"], model=payload["model"],
                         inputs=payload.get("inputs"), value=value, table=table,
                         options=payload.get("options"))
            if payload.get("summary") is not None:
                from korvan.stats import summary_from_dict

                result._saved_summary = summary_from_dict(payload["summary"])
            return result
        except (KeyError, TypeError) as exc:
            raise ValueError(f"Not a saved validation result: missing or malformed {exc}") from None

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> "ValidationResult":
        """Read a result written by :meth:`save`."""
        with open(path, "rb") as fh:
            return cls.from_dict(orjson.loads(fh.read()))

    def baseline_prediction(self, dataset: Any, model: Any) -> Any:
        """The model's prediction for the scored split, as the result's metric scores it.

        A prediction, a class code, or the probability of the second class:
        what the test compared the perturbed predictions with.
        """
        from korvan.factsheet.utils.metric_utils import get_scorer_funcs
        from korvan.models import bind_model
        from korvan.rows import result_metric, worst_positions

        predict = get_scorer_funcs(bind_model(model, dataset), result_metric(self, dataset))[2]
        return predict(dataset.get_X_y_data(worst_positions(self)[0])[0])

    def worst_rows(self, dataset: Any, model: Any = None, baseline: Any = None) -> pd.DataFrame:
        """The worst group's rows, indexed by the data set's original row labels.

        See :func:`korvan.rows.worst_rows`.  With ``model`` (or its
        ``baseline`` prediction, when one was made already), each row also
        gets its baseline prediction and its gap.
        """
        from korvan.rows import worst_rows

        if baseline is None and model is not None:
            baseline = self.baseline_prediction(dataset, model)
        return worst_rows(self, dataset, baseline)

    def plot(self, path: str | os.PathLike[str] | None = None, width: int = 800,
             height: int = 500) -> Any:
        """Draw the result's chart.

        Parameters
        ----------
        path : str or path-like, optional
            PNG file to write.  When omitted, the figure is returned instead.
        width, height : int, default 800 x 500
            Size in pixels.

        Returns
        -------
        str or matplotlib.figure.Figure
            The path written, or the figure.
        """
        import plotlane

        drawing = self._drawing()
        if path is None:
            return plotlane.to_figure(self.options, width=width, height=height, **drawing)
        return plotlane.to_png(self.options, path, width=width, height=height, **drawing)

    def _drawing(self) -> dict[str, Any]:
        """What the image adds to the chart's options: what was run, baseline and means."""
        inputs = self.inputs if isinstance(self.inputs, Mapping) else {}
        try:
            summary = self.summary
        except (TypeError, ValueError):
            return {}
        boxes = self.options.get("boxes") if isinstance(self.options, Mapping) else None
        if not isinstance(boxes, list) or len(boxes) != len(summary):
            return {}
        features = inputs.get("perturb_features")
        if features is None:
            perturbed = "all features"
        else:
            names = [features] if isinstance(features, str) else list(features)
            perturbed = ", ".join(map(str, names[:3])) + (f" (+{len(names) - 3})" if len(names) > 3 else "")
        better = "higher" if summary.attrs.get("higher_is_better") else "lower"
        subtitle = (f"{run_subtitle(to_jsonable(self.model), to_jsonable(self.data), inputs)} "
                    f"on {perturbed}; {self.metric}: {better} is better")
        return {"subtitle": subtitle, "reference": summary.attrs.get("baseline"),
                "reference_label": "baseline", "means": list(summary["mean"])}
