"""Line charts: one line per series over shared numeric x values, with an optional band."""

from __future__ import annotations

from typing import Any, Mapping, Sequence

import numpy as np

from plotlane import _check_axis_type
from plotlane.bar import _numbers

__all__ = ["LineChart", "lineplot"]


class LineChart:
    """Lines of ``y`` over ``x``, one per series, each with an optional ``low``..``high`` band.

    Build one with :func:`lineplot`; :meth:`render` returns the plain-dict
    description.
    """

    def __init__(self, x: Sequence[float] | np.ndarray,
                 series: Sequence[Mapping[str, Any]]) -> None:
        try:
            x_arr = np.array(x, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"x must hold numbers: {exc}") from None
        if x_arr.ndim != 1:
            raise ValueError(f"x must be one-dimensional, got shape {x_arr.shape}")
        n = x_arr.shape[0]
        self._x = [float(v) for v in x_arr]
        self._series = []
        names = set()
        for s in series:
            name = str(s["name"])
            if name in names:
                raise ValueError(f"series names must be distinct; {name!r} is given twice")
            names.add(name)
            low, high = s.get("low"), s.get("high")
            if (low is None) != (high is None):
                raise ValueError("give both low and high (the ends of the band), or neither")
            self._series.append({
                "name": name, "y": _numbers(s["y"], "y", n),
                "low": None if low is None else _numbers(low, "low", n),
                "high": None if high is None else _numbers(high, "high", n)})
        self._title: str | None = None
        self._xaxis: dict[str, Any] = {"name": None, "type": "value"}
        self._yaxis: dict[str, Any] = {"name": None, "type": "value"}

    def __repr__(self) -> str:
        return f"<plotlane.LineChart {len(self._series)} lines, title={self._title!r}>"

    def set_xaxis(self, axis_name: str | None = None, axis_type: str = "value") -> "LineChart":
        self._xaxis = {"name": None if axis_name is None else str(axis_name),
                       "type": _check_axis_type(axis_type)}
        return self

    def set_yaxis(self, axis_name: str | None = None, axis_type: str = "value") -> "LineChart":
        self._yaxis = {"name": None if axis_name is None else str(axis_name),
                       "type": _check_axis_type(axis_type)}
        return self

    def set_title(self, title: str | None) -> "LineChart":
        self._title = None if title is None else str(title)
        return self

    def render(self) -> dict[str, Any]:
        """Return the chart as a JSON-serialisable dict.

        ``type`` ("line"), ``title``, ``xaxis``, ``yaxis``, ``x`` and
        ``series``: one ``{"name", "y", "low", "high"}`` per line, unknown
        numbers as None.
        """
        return {"type": "line", "title": self._title, "xaxis": dict(self._xaxis),
                "yaxis": dict(self._yaxis), "x": list(self._x),
                "series": [dict(s) for s in self._series]}


def lineplot(x: Sequence[float] | np.ndarray, series: Sequence[Mapping[str, Any]]) -> LineChart:
    """Make a line chart.

    Parameters
    ----------
    x : array_like of float
        The positions shared by every line.
    series : sequence of mapping
        ``{"name", "y"}`` and optionally ``"low"`` and ``"high"``, each a
        sequence with one value per ``x``.
    """
    return LineChart(x=x, series=series)
