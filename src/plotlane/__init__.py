"""A small charting module: box plots as plain, JSON-serialisable options.

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
import os
from typing import Any, Mapping, Sequence

import numpy as np

__all__ = ["BoxChart", "boxplot", "box_stats", "to_figure", "to_png"]

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


def _label(category: Any) -> str:
    if isinstance(category, float):
        return f"{category:g}"
    return str(category)


def to_figure(options: Mapping[str, Any], width: int = 800, height: int = 500, dpi: int = 100):
    """Draw rendered box-plot options on a new matplotlib figure.

    The figure is not attached to pyplot, so drawing never touches the
    interactive backend or global figure list.

    Parameters
    ----------
    options : mapping
        What :meth:`BoxChart.render` returned (possibly read back from JSON).
    width, height : int
        Size in pixels.
    dpi : int
        Pixels per inch.

    Returns
    -------
    matplotlib.figure.Figure
    """
    if not isinstance(options, Mapping) or not isinstance(options.get("boxes"), list):
        raise ValueError("options must be a rendered box plot: a mapping with a 'boxes' list")
    for name, value in (("width", width), ("height", height), ("dpi", dpi)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value <= 0:
            raise ValueError(f"{name} must be a positive whole number, got {value!r}")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(width / dpi, height / dpi), dpi=dpi)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot(1, 1, 1)
    boxes = options["boxes"]
    horizontal = options.get("orient") == "horizontal"
    stats, positions = [], []
    for pos, box in enumerate(boxes, start=1):
        if not box.get("count"):
            continue
        stats.append({
            "label": _label(box["category"]),
            "med": box["median"], "q1": box["q1"], "q3": box["q3"],
            "whislo": box["min"], "whishi": box["max"],
            "fliers": list(box.get("outliers") or []),
        })
        positions.append(pos)
    style = dict(
        positions=positions, widths=0.5, patch_artist=True, manage_ticks=False,
        boxprops={"facecolor": "#cfe2f3", "edgecolor": "#1f4e79"},
        medianprops={"color": "#c55a11", "linewidth": 2},
        whiskerprops={"color": "#1f4e79"}, capprops={"color": "#1f4e79"},
        flierprops={"marker": "o", "markersize": 4, "markerfacecolor": "#7f7f7f",
                    "markeredgecolor": "none", "alpha": 0.7},
    )
    if stats:
        try:
            ax.bxp(stats, orientation="horizontal" if horizontal else "vertical", **style)
        except TypeError:  # matplotlib before 3.10 names the option "vert"
            ax.bxp(stats, vert=not horizontal, **style)
        # The median's value beside each box saves reading it off the axis.
        for pos, box in zip(positions, stats):
            xy = (box["med"], pos + 0.3) if horizontal else (pos + 0.27, box["med"])
            ax.annotate(f"{box['med']:.4g}", xy, fontsize=8, color="#c55a11",
                        ha="center" if horizontal else "left", va="bottom" if horizontal else "center")
    ticks = list(range(1, len(boxes) + 1))
    labels = [_label(box["category"]) for box in boxes]
    xaxis = options.get("xaxis") or {}
    yaxis = options.get("yaxis") or {}
    if horizontal:
        ax.set_yticks(ticks, labels)
        ax.set_ylim(0.5, len(boxes) + 0.5)
        cat_label, value_label, set_value_scale = ax.set_ylabel, ax.set_xlabel, ax.set_xscale
        ax.grid(axis="x", alpha=0.3)
    else:
        ax.set_xticks(ticks, labels)
        ax.set_xlim(0.5, len(boxes) + 0.5)
        cat_label, value_label, set_value_scale = ax.set_xlabel, ax.set_ylabel, ax.set_yscale
        ax.grid(axis="y", alpha=0.3)
    if xaxis.get("name"):
        cat_label(xaxis["name"])
    if yaxis.get("name"):
        value_label(yaxis["name"])
    if yaxis.get("type") == "log":
        set_value_scale("log")
    if options.get("title"):
        ax.set_title(options["title"])
    if not stats:
        ax.text(0.5, 0.5, "no data", ha="center", va="center", transform=ax.transAxes)
    fig.tight_layout()
    return fig


def to_png(
    options: Mapping[str, Any],
    path: str | os.PathLike[str],
    width: int = 800,
    height: int = 500,
    dpi: int = 100,
) -> str:
    """Draw rendered box-plot options into a PNG file.

    Parameters
    ----------
    options : mapping
        What :meth:`BoxChart.render` returned.
    path : str or path-like
        File to write.
    width, height : int, default 800 x 500
        Size of the image in pixels.
    dpi : int, default 100
        Pixels per inch, which scales the text relative to the image.

    Returns
    -------
    str
        The path written.
    """
    fig = to_figure(options, width=width, height=height, dpi=dpi)
    path = os.fspath(path)
    fig.savefig(path, format="png", dpi=dpi)
    return path
