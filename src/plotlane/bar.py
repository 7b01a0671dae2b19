"""Bar charts: one value per category, with an optional interval and reference line."""

from __future__ import annotations

import math
from typing import Any, Sequence

import numpy as np

from plotlane import ORIENTS, _check_axis_type, _plain

__all__ = ["BarChart", "barplot"]


def _numbers(values: Any, name: str, n: int) -> list[float | None]:
    try:
        arr = np.array(values, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name} must hold numbers: {exc}") from None
    if arr.ndim != 1 or arr.shape[0] != n:
        raise ValueError(f"{name} must be one-dimensional with one value per bar ({n}), "
                         f"got shape {arr.shape}")
    # Not-a-number is "unknown": None in the options, which JSON can hold.
    return [float(v) if math.isfinite(v) else None for v in arr]


class BarChart:
    """Bars of ``y`` values for ``x`` categories, in the order given.

    Build one with :func:`barplot`.  The setters return the chart so calls
    can be chained; :meth:`render` returns the plain-dict description.
    """

    def __init__(
        self,
        x: Sequence[Any] | np.ndarray,
        y: Sequence[float] | np.ndarray,
        low: Sequence[float] | np.ndarray | None = None,
        high: Sequence[float] | np.ndarray | None = None,
        orient: str = "horizontal",
    ) -> None:
        if orient not in ORIENTS:
            raise ValueError(
                f"Unknown orient {orient!r}; valid orients are: vertical, horizontal (or v, h)"
            )
        x_arr = np.asarray(x, dtype=object)
        if x_arr.ndim != 1:
            raise ValueError(f"x must be one-dimensional, got shape {x_arr.shape}")
        n = x_arr.shape[0]
        if len(set(x_arr.tolist())) != n:
            raise ValueError("x must not repeat a category")
        if (low is None) != (high is None):
            raise ValueError("give both low and high (the ends of each interval), or neither")
        self._categories = [_plain(c) for c in x_arr.tolist()]
        self._y = _numbers(y, "y", n)
        self._low = None if low is None else _numbers(low, "low", n)
        self._high = None if high is None else _numbers(high, "high", n)
        self._orient = ORIENTS[orient]
        self._title: str | None = None
        self._xaxis: dict[str, Any] = {"name": None, "type": "category"}
        self._yaxis: dict[str, Any] = {"name": None, "type": "value"}
        self._reference: dict[str, Any] | None = None

    def __repr__(self) -> str:
        return (f"<plotlane.BarChart {len(self._categories)} bars, orient={self._orient!r}, "
                f"title={self._title!r}>")

    def set_xaxis(self, axis_name: str | None = None, axis_type: str = "category") -> "BarChart":
        """Name and type the category axis."""
        self._xaxis = {"name": None if axis_name is None else str(axis_name),
                       "type": _check_axis_type(axis_type)}
        return self

    def set_yaxis(self, axis_name: str | None = None, axis_type: str = "value") -> "BarChart":
        """Name and type the value axis."""
        self._yaxis = {"name": None if axis_name is None else str(axis_name),
                       "type": _check_axis_type(axis_type)}
        return self

    def set_title(self, title: str | None) -> "BarChart":
        """Set the chart title."""
        self._title = None if title is None else str(title)
        return self

    def set_reference(self, value: float | None, label: str | None = None) -> "BarChart":
        """Mark a value across the chart (a dashed line), or remove the mark with None."""
        if value is None:
            self._reference = None
            return self
        ref = float(value)
        if not math.isfinite(ref):
            raise ValueError(f"the reference value must be a finite number, got {value!r}")
        self._reference = {"value": ref, "label": None if label is None else str(label)}
        return self

    def render(self) -> dict[str, Any]:
        """Return the chart as a JSON-serialisable dict.

        Returns
        -------
        dict
            ``type`` ("bar"), ``title``, ``orient``, ``xaxis``, ``yaxis``,
            ``reference`` (``{"value", "label"}`` or None) and ``bars``: one
            ``{"category", "value", "low", "high"}`` per category in order;
            unknown numbers are None.
        """
        bars = []
        for i, category in enumerate(self._categories):
            bars.append({
                "category": category,
                "value": self._y[i],
                "low": None if self._low is None else self._low[i],
                "high": None if self._high is None else self._high[i],
            })
        return {
            "type": "bar",
            "title": self._title,
            "orient": self._orient,
            "xaxis": dict(self._xaxis),
            "yaxis": dict(self._yaxis),
            "reference": None if self._reference is None else dict(self._reference),
            "bars": bars,
        }


def barplot(
    x: Sequence[Any] | np.ndarray,
    y: Sequence[float] | np.ndarray,
    low: Sequence[float] | np.ndarray | None = None,
    high: Sequence[float] | np.ndarray | None = None,
    orient: str = "horizontal",
) -> BarChart:
    """Make a bar chart of ``y`` for the matching ``x`` categories.

    Parameters
    ----------
    x : array_like
        Distinct category labels, in the order the bars are drawn (the first
        at the top of a horizontal chart, at the left of a vertical one).
    y : array_like of float
        Bar values, paired with ``x`` by position.
    low, high : array_like of float, optional
        Ends of an interval around each value, drawn as error bars.
    orient : {"horizontal", "vertical"}, default "horizontal"
        Horizontal bars leave room for long category labels.

    Returns
    -------
    BarChart
    """
    return BarChart(x=x, y=y, low=low, high=high, orient=orient)
