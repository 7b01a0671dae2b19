"""A small charting module: box plots and bar charts as plain, JSON-serialisable options.

A chart is built from paired ``x`` (category) and ``y`` (value) sequences,
described with axis names and a title, and ``render()``-ed into a plain dict
that can be saved next to the numbers it summarises.  :func:`to_png` draws such
a dict with matplotlib, so a chart can be stored as data and drawn later.

Examples
--------
>>> import plotlane as pln
>>> chart = pln.boxplot(x=[0.0, 0.0, 0.1, 0.1], y=[1.0, 1.2, 0.8, 0.7])
>>> chart.set_yaxis(axis_name="AUC", axis_type="value").set_title("Scores")
... # doctest: +ELLIPSIS
<plotlane.BoxChart ...>
>>> [box["category"] for box in chart.render()["boxes"]]
[0.0, 0.1]
"""

from __future__ import annotations

import math
from typing import Any, Sequence

import numpy as np

__all__ = ["BarChart", "BoxChart", "LineChart", "barplot", "boxplot", "box_stats", "lineplot",
           "to_figure", "to_png"]

#: Accepted orientations; the short forms are stored as the long ones.
ORIENTS: dict[str, str] = {
    "vertical": "vertical",
    "v": "vertical",
    "horizontal": "horizontal",
    "h": "horizontal",
}
#: Accepted axis types.
AXIS_TYPES: tuple[str, ...] = ("category", "value", "log")

# Whiskers reach the most extreme point within this many IQRs of the box.
WHISKER_IQR = 1.5


def _plain(value: Any) -> Any:
    """Return a numpy scalar as the matching Python scalar."""
    return value.item() if isinstance(value, np.generic) else value


def box_stats(values: Sequence[float] | np.ndarray, outliers: bool = True) -> dict[str, Any]:
    """Summarise values as one box: count, min, quartiles, max and outliers.

    Parameters
    ----------
    values : array_like of float
        The values of one category.  Values that are not finite (NaN, inf)
        are left out of the statistics and counted under ``"missing"``.
    outliers : bool, default True
        If True, ``min`` and ``max`` are the whisker ends, the most extreme
        values within 1.5 IQR of the box, and the values beyond are listed
        (sorted) under ``"outliers"``.  If False, ``min`` and ``max`` are the
        extremes of the data and no outliers are listed.

    Returns
    -------
    dict
        ``count``, ``missing``, ``min``, ``q1``, ``median``, ``q3``, ``max``
        (Python floats, or None when no value is finite) and ``outliers``.
    """
    arr = np.asarray(values, dtype=np.float64).ravel()
    finite = arr[np.isfinite(arr)]
    stats: dict[str, Any] = {"count": int(finite.size), "missing": int(arr.size - finite.size)}
    if finite.size == 0:
        stats.update(min=None, q1=None, median=None, q3=None, max=None, outliers=[])
        return stats
    q1, median, q3 = (float(q) for q in np.percentile(finite, [25, 50, 75]))
    if outliers:
        iqr = q3 - q1
        low, high = q1 - WHISKER_IQR * iqr, q3 + WHISKER_IQR * iqr
        inside = finite[(finite >= low) & (finite <= high)]
        beyond = np.sort(finite[(finite < low) | (finite > high)])
        lo, hi = float(inside.min()), float(inside.max())
        points = [float(v) for v in beyond]
    else:
        lo, hi = float(finite.min()), float(finite.max())
        points = []
    stats.update(min=lo, q1=q1, median=median, q3=q3, max=hi, outliers=points)
    return stats


def _check_axis_type(axis_type: str) -> str:
    if axis_type not in AXIS_TYPES:
        raise ValueError(
            f"Unknown axis type {axis_type!r}; valid axis types are: {', '.join(AXIS_TYPES)}"
        )
    return axis_type


class BoxChart:
    """A box plot of ``y`` values grouped by ``x`` categories.

    Build one with :func:`boxplot`.  The setters return the chart so calls
    can be chained; :meth:`render` returns the plain-dict description.
    """

    def __init__(
        self,
        x: Sequence[Any] | np.ndarray,
        y: Sequence[float] | np.ndarray,
        orient: str = "vertical",
        outliers: bool = True,
    ) -> None:
        if orient not in ORIENTS:
            raise ValueError(
                f"Unknown orient {orient!r}; valid orients are: vertical, horizontal (or v, h)"
            )
        x_arr = np.asarray(x)
        if x_arr.ndim != 1:
            raise ValueError(f"x must be one-dimensional, got shape {x_arr.shape}")
        try:
            y_arr = np.array(y, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"y must hold numbers: {exc}") from None
        if y_arr.ndim != 1:
            raise ValueError(f"y must be one-dimensional, got shape {y_arr.shape}")
        if x_arr.shape[0] != y_arr.shape[0]:
            raise ValueError(
                f"x and y must have the same length, got {x_arr.shape[0]} and {y_arr.shape[0]}"
            )
        # Group positions by category, in order of first appearance.
        groups: dict[Any, list[int]] = {}
        for i, raw in enumerate(x_arr.tolist()):
            if raw is None or (isinstance(raw, float) and math.isnan(raw)):
                raise ValueError(f"x holds a missing category at position {i}")
            groups.setdefault(raw, []).append(i)
        self._categories = list(groups)
        self._positions = [np.asarray(idx, dtype=np.intp) for idx in groups.values()]
        self._y = y_arr
        self._orient = ORIENTS[orient]
        self._outliers = bool(outliers)
        self._title: str | None = None
        self._xaxis: dict[str, Any] = {"name": None, "type": "category"}
        self._yaxis: dict[str, Any] = {"name": None, "type": "value"}

    def __repr__(self) -> str:
        return (
            f"<plotlane.BoxChart {len(self._categories)} boxes, orient={self._orient!r}, "
            f"title={self._title!r}>"
        )

    @property
    def categories(self) -> list[Any]:
        """The distinct ``x`` values, in order of first appearance."""
        return list(self._categories)

    def set_xaxis(self, axis_name: str | None = None, axis_type: str = "category") -> "BoxChart":
        """Name and type the category axis.

        Parameters
        ----------
        axis_name : str or None
            Title shown along the axis.
        axis_type : {"category", "value", "log"}
            How the axis is scaled.
        """
        self._xaxis = {"name": None if axis_name is None else str(axis_name),
                       "type": _check_axis_type(axis_type)}
        return self

    def set_yaxis(self, axis_name: str | None = None, axis_type: str = "value") -> "BoxChart":
        """Name and type the value axis (see :meth:`set_xaxis`)."""
        self._yaxis = {"name": None if axis_name is None else str(axis_name),
                       "type": _check_axis_type(axis_type)}
        return self

    def set_title(self, title: str | None) -> "BoxChart":
        """Set the chart title."""
        self._title = None if title is None else str(title)
        return self

    def render(self) -> dict[str, Any]:
        """Return the chart as a JSON-serialisable dict.

        Returns
        -------
        dict
            ``type`` ("boxplot"), ``title``, ``orient``, ``outliers``,
            ``xaxis`` and ``yaxis`` (each ``{"name", "type"}``) and ``boxes``:
            one entry per category in order of first appearance, with the
            ``category`` label and the statistics of :func:`box_stats`.
        """
        boxes = []
        for category, idx in zip(self._categories, self._positions):
            box = {"category": _plain(category)}
            box.update(box_stats(self._y[idx], outliers=self._outliers))
            boxes.append(box)
        return {
            "type": "boxplot",
            "title": self._title,
            "orient": self._orient,
            "outliers": self._outliers,
            "xaxis": dict(self._xaxis),
            "yaxis": dict(self._yaxis),
            "boxes": boxes,
        }


def boxplot(
    x: Sequence[Any] | np.ndarray,
    y: Sequence[float] | np.ndarray,
    orient: str = "vertical",
    outliers: bool = True,
) -> BoxChart:
    """Make a box plot of ``y`` grouped by the matching ``x`` values.

    Parameters
    ----------
    x : array_like
        Category of each value; the distinct values become the boxes, in
        order of first appearance.
    y : array_like of float
        The values, paired with ``x`` by position.
    orient : {"vertical", "horizontal"}, default "vertical"
        Direction the boxes run in ("v" and "h" are accepted too).
    outliers : bool, default True
        Whether to draw whiskers at 1.5 IQR and list the points beyond them.

    Returns
    -------
    BoxChart
    """
    return BoxChart(x=x, y=y, orient=orient, outliers=outliers)


# Imported last: they build on the names above.
from plotlane.bar import BarChart, barplot  # noqa: E402
from plotlane.line import LineChart, lineplot  # noqa: E402
from plotlane.draw import to_figure, to_png  # noqa: E402
