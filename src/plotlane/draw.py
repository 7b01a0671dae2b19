"""Drawing rendered chart options with matplotlib.

The options say what a chart shows; what only helps a reader of the image
(a subtitle, the baseline line, the means beside the medians) is passed here
as keyword arguments, so the stored options stay the same whoever draws them.
"""

from __future__ import annotations

import contextlib
import math
import os
import re
import textwrap
from typing import Any, Mapping, Sequence

import numpy as np

__all__ = ["to_figure", "to_png", "plain", "plain_text", "PLAIN_TEXT"]

INK = "#1f4e79"
FILL = "#cfe2f3"
MEDIAN = "#c55a11"
MEAN = "#2e7d32"
REFERENCE = "#7f7f7f"
ELLIPSIS = "\u2026"
# Approximate width of one character of 9-point text, in points.
CHAR_POINTS = 5.4


# Every text is drawn as written: "$x$" is not math, "\\x07" not a glyph the
# fonts lack.  Control characters are drawn as their escapes.
PLAIN_TEXT = {"text.parse_math": False, "text.usetex": False}
_CONTROLS = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f]")


def plain(text: str) -> str:
    """``text`` with control characters (newline aside) written as escapes (``\\x07``)."""
    return _CONTROLS.sub(lambda m: f"\\x{ord(m.group()):02x}", text)


def plain_text() -> Any:
    """A context in which new texts are drawn as plain text (no math, no TeX)."""
    import matplotlib

    return matplotlib.rc_context(PLAIN_TEXT)


def _plain_texts(fig: Any) -> None:
    from matplotlib.text import Text

    for text in fig.findobj(Text):
        text.set_parse_math(False)
        text.set_text(plain(text.get_text()))


def _label(category: Any) -> str:
    if isinstance(category, float):
        return f"{category:g}"
    return plain(str(category))


def _short(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: max(limit - 1, 1)] + ELLIPSIS


def _check_size(width: Any, height: Any, dpi: Any) -> None:
    for name, value in (("width", width), ("height", height), ("dpi", dpi)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value <= 0:
            raise ValueError(f"{name} must be a positive whole number, got {value!r}")


def _new_figure(width: int, height: int, dpi: int):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(width / dpi, height / dpi), dpi=dpi)
    FigureCanvasAgg(fig)
    return fig, fig.add_subplot(1, 1, 1)


def _titles(fig: Any, ax: Any, title: str | None, subtitle: str | None) -> None:
    if not subtitle:
        if title:
            ax.set_title(title)
        return
    # The subtitle is wrapped to the figure's width so it never runs off the image.
    chars = max(int(fig.get_figwidth() * 72 / CHAR_POINTS) - 4, 20)
    ax.set_title("\n".join(textwrap.wrap(subtitle, chars)), fontsize=9, color="#555555")
    if title:
        fig.suptitle(title)


def _overflow(fig: Any, ax: Any, labels: Sequence[Any], pad: float) -> tuple[float, ...]:
    """Pixels by which the labels cross the frame: left, right, bottom, top."""
    renderer = fig.canvas.get_renderer()
    frame = ax.get_window_extent(renderer)
    boxes = [t.get_window_extent(renderer) for t in labels]
    return (max(0.0, max(frame.x0 + pad - b.x0 for b in boxes)),
            max(0.0, max(b.x1 - (frame.x1 - pad) for b in boxes)),
            max(0.0, max(frame.y0 + pad - b.y0 for b in boxes)),
            max(0.0, max(b.y1 - (frame.y1 - pad) for b in boxes)))


def _widen(fig: Any, ax: Any, labels: Sequence[Any], vertical_axis: bool,
           pad: float = 2.0) -> None:
    """Widen one axis until the labels fit in the frame along it.

    Box plots widen the category axis (the space between boxes is free to
    grow); bar charts the value axis, whose bars start at zero anyway.
    """
    if not labels:
        return
    get, set_ = (ax.get_ylim, ax.set_ylim) if vertical_axis else (ax.get_xlim, ax.set_xlim)
    for _ in range(4):  # each widening shrinks the scale a little; a few rounds settle it
        left, right, bottom, top = _overflow(fig, ax, labels, pad)
        low_px, high_px = (bottom, top) if vertical_axis else (left, right)
        if low_px < 0.5 and high_px < 0.5:
            return
        lo, hi = get()
        frame = ax.get_window_extent(fig.canvas.get_renderer())
        per_px = (hi - lo) / (frame.height if vertical_axis else frame.width)
        set_(lo - low_px * per_px, hi + high_px * per_px)


def _value_labels_inside(fig: Any, ax: Any, labels: Sequence[Any], pad: float = 2.0) -> None:
    """Shift each annotation that still crosses the axes frame back inside it."""
    if not labels:
        return
    renderer = fig.canvas.get_renderer()
    frame = ax.get_window_extent(renderer)
    points = 72.0 / fig.dpi
    for text in labels:
        box = text.get_window_extent(renderer)
        dx = max(0.0, frame.x0 + pad - box.x0) - max(0.0, box.x1 - (frame.x1 - pad))
        dy = max(0.0, frame.y0 + pad - box.y0) - max(0.0, box.y1 - (frame.y1 - pad))
        if dx or dy:
            ox, oy = text.xyann
            text.xyann = (ox + dx * points, oy + dy * points)


def _annotate(ax: Any, text: str, xy: tuple[float, float], offset: tuple[float, float],
              color: str, ha: str, va: str) -> Any:
    label = ax.annotate(text, xy, xytext=offset, textcoords="offset points", fontsize=8,
                        color=color, ha=ha, va=va, annotation_clip=False)
    # Left out of the layout: they are moved inside the frame afterwards instead.
    label.set_in_layout(False)
    return label


def _draw_box(fig: Any, ax: Any, options: Mapping[str, Any], means: Sequence[Any] | None,
              reference: float | None, reference_label: str | None) -> list[Any]:
    boxes = options["boxes"]
    horizontal = options.get("orient") == "horizontal"
    if means is not None and len(means) != len(boxes):
        raise ValueError(f"means must give one value per box ({len(boxes)}), got {len(means)}")
    stats, positions, box_means = [], [], []
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
        mean = None if means is None else means[pos - 1]
        box_means.append(float(mean) if mean is not None and math.isfinite(float(mean)) else None)
    style = dict(
        positions=positions, widths=0.5, patch_artist=True, manage_ticks=False,
        boxprops={"facecolor": FILL, "edgecolor": INK},
        medianprops={"color": MEDIAN, "linewidth": 2},
        whiskerprops={"color": INK}, capprops={"color": INK},
        flierprops={"marker": "o", "markersize": 4, "markerfacecolor": "#7f7f7f",
                    "markeredgecolor": "none", "alpha": 0.7},
    )
    labels = []
    if reference is not None and math.isfinite(reference):
        line = ax.axhline if not horizontal else ax.axvline
        line(reference, color=REFERENCE, linestyle="--", linewidth=1, zorder=0,
             label=reference_label)
    if stats:
        try:
            ax.bxp(stats, orientation="horizontal" if horizontal else "vertical", **style)
        except TypeError:  # matplotlib before 3.10 names the option "vert"
            ax.bxp(stats, vert=not horizontal, **style)
        for pos, box, mean in zip(positions, stats, box_means):
            # The median's value on one side of the box, the mean's on the other.
            if horizontal:
                labels.append(_annotate(ax, f"{box['med']:.4g}", (box["med"], pos + 0.25),
                                        (0, 2), MEDIAN, "center", "bottom"))
            else:
                labels.append(_annotate(ax, f"{box['med']:.4g}", (pos + 0.25, box["med"]),
                                        (3, 0), MEDIAN, "left", "center"))
            # A mean that reads as the median (a box without spread) needs no second label.
            if mean is None or f"{mean:.4g}" == f"{box['med']:.4g}":
                continue
            ax.plot([mean] if horizontal else [pos], [pos] if horizontal else [mean],
                    marker="D", markersize=5, color=MEAN, linestyle="none", zorder=3)
            if horizontal:
                labels.append(_annotate(ax, f"mean {mean:.4g}", (mean, pos - 0.25),
                                        (0, -2), MEAN, "center", "top"))
            else:
                labels.append(_annotate(ax, f"mean {mean:.4g}", (pos - 0.25, mean),
                                        (-3, 0), MEAN, "right", "center"))
    ticks = list(range(1, len(boxes) + 1))
    names = [_label(box["category"]) for box in boxes]
    if horizontal:
        ax.set_yticks(ticks, names)
        ax.set_ylim(0.5, len(boxes) + 0.5)
        ax.grid(axis="x", alpha=0.3)
    else:
        ax.set_xticks(ticks, names)
        ax.set_xlim(0.5, len(boxes) + 0.5)
        ax.grid(axis="y", alpha=0.3)
    if reference_label and reference is not None and math.isfinite(reference):
        ax.legend(loc="best", fontsize=8, frameon=False)
    if not stats:
        ax.text(0.5, 0.5, "no data", ha="center", va="center", transform=ax.transAxes)
    return labels


def _draw_bar(fig: Any, ax: Any, options: Mapping[str, Any]) -> list[Any]:
    bars = options["bars"]
    horizontal = options.get("orient", "horizontal") == "horizontal"
    n = len(bars)
    positions = np.arange(n, dtype=float)
    values = np.array([np.nan if b.get("value") is None else b["value"] for b in bars], float)
    drawn = np.nan_to_num(values)
    err = None
    if any(b.get("low") is not None and b.get("high") is not None for b in bars):
        lo = np.array([b["value"] - b["low"] if b.get("low") is not None and b.get("value") is not None
                       else 0.0 for b in bars])
        hi = np.array([b["high"] - b["value"] if b.get("high") is not None and b.get("value") is not None
                       else 0.0 for b in bars])
        err = np.vstack([np.maximum(lo, 0), np.maximum(hi, 0)])
    style = dict(color=FILL, edgecolor=INK, linewidth=1, zorder=2)
    err_style = dict(ecolor=INK, capsize=3, elinewidth=1)
    # Long names are cut so the axis keeps at least two thirds of the width.
    limit = max(int(fig.get_figwidth() * 72 * 0.33 / CHAR_POINTS), 8)
    names = [_short(_label(b["category"]), limit) for b in bars]
    if horizontal:
        ax.barh(positions, drawn, xerr=err, error_kw=err_style, height=0.6, **style)
        ax.set_yticks(positions, names)
        ax.set_ylim(n - 0.5, -0.5)  # the first bar on top
        ax.grid(axis="x", alpha=0.3, zorder=0)
        ax.axvline(0, color=INK, linewidth=0.8)
    else:
        ax.bar(positions, drawn, yerr=err, error_kw=err_style, width=0.6, **style)
        ax.set_xticks(positions, names, rotation=30 if max(map(len, names), default=0) > 8 else 0,
                      ha="right" if max(map(len, names), default=0) > 8 else "center")
        ax.set_xlim(-0.5, n - 0.5)
        ax.grid(axis="y", alpha=0.3, zorder=0)
        ax.axhline(0, color=INK, linewidth=0.8)
    ref = options.get("reference")
    if isinstance(ref, Mapping) and ref.get("value") is not None:
        line = ax.axvline if horizontal else ax.axhline
        line(ref["value"], color=MEDIAN, linestyle="--", linewidth=1.2, zorder=3,
             label=ref.get("label"))
        if ref.get("label"):
            ax.legend(loc="best", fontsize=8, frameon=False)
    labels = []
    for pos, value, bar in zip(positions, values, bars):
        text = "n/a" if not math.isfinite(value) else f"{value:.3g}"
        # Beyond the bar and its error bar, so the number is never struck through.
        ends = [0.0] + [v for v in (bar.get("value"), bar.get("high")) if v is not None]
        point = (max(ends), pos)
        if horizontal:
            labels.append(_annotate(ax, text, point, (3, 0), INK, "left", "center"))
        else:
            labels.append(_annotate(ax, text, point[::-1], (0, 3), INK, "center", "bottom"))
    if n == 0:
        ax.text(0.5, 0.5, "no data", ha="center", va="center", transform=ax.transAxes)
    return labels


def to_figure(options: Mapping[str, Any], width: int = 800, height: int = 500, dpi: int = 100, *,
              subtitle: str | None = None, reference: float | None = None,
              reference_label: str | None = None, means: Sequence[Any] | None = None):
    """Draw rendered chart options on a new matplotlib figure.

    The figure is not attached to pyplot, so drawing never touches the
    interactive backend or global figure list.

    Parameters
    ----------
    options : mapping
        What :meth:`BoxChart.render` or :meth:`BarChart.render` returned
        (possibly read back from JSON).
    width, height : int
        Size in pixels.
    dpi : int
        Pixels per inch.
    subtitle : str, optional
        A smaller line under the title, wrapped to the width.
    reference : float, optional
        Box plots: a value marked by a dashed line across the chart, such as
        the baseline score; ``reference_label`` names it in a legend.
    means : sequence of float, optional
        Box plots: the mean of each box, marked beside its median.

    Returns
    -------
    matplotlib.figure.Figure
    """
    is_bar = isinstance(options, Mapping) and options.get("type") == "bar"
    if is_bar:
        if not isinstance(options.get("bars"), list):
            raise ValueError("options must be a rendered bar chart: a mapping with a 'bars' list")
    elif not isinstance(options, Mapping) or not isinstance(options.get("boxes"), list):
        raise ValueError("options must be a rendered box plot: a mapping with a 'boxes' list")
    _check_size(width, height, dpi)
    with plain_text():
        return _to_figure(options, width, height, dpi, is_bar, subtitle, reference,
                          reference_label, means)


def _to_figure(options: Mapping[str, Any], width: int, height: int, dpi: int, is_bar: bool,
               subtitle: str | None, reference: float | None, reference_label: str | None,
               means: Sequence[Any] | None) -> Any:
    fig, ax = _new_figure(width, height, dpi)
    if is_bar:
        labels = _draw_bar(fig, ax, options)
    else:
        labels = _draw_box(fig, ax, options, means, reference, reference_label)
    horizontal = options.get("orient", "horizontal" if is_bar else "vertical") == "horizontal"
    xaxis = options.get("xaxis") or {}
    yaxis = options.get("yaxis") or {}
    cat_label, value_label, set_scale = (
        (ax.set_ylabel, ax.set_xlabel, ax.set_xscale) if horizontal
        else (ax.set_xlabel, ax.set_ylabel, ax.set_yscale))
    if xaxis.get("name"):
        cat_label(xaxis["name"])
    if yaxis.get("name"):
        value_label(yaxis["name"])
    if yaxis.get("type") == "log":
        set_scale("log")
    _titles(fig, ax, options.get("title"), subtitle)
    _plain_texts(fig)
    fig.tight_layout()
    # The category axis of a box plot, the value axis of a bar chart.
    _widen(fig, ax, labels, vertical_axis=horizontal != is_bar)
    _value_labels_inside(fig, ax, labels)
    return fig


def to_png(options: Mapping[str, Any], path: str | os.PathLike[str], width: int = 800,
           height: int = 500, dpi: int = 100, **drawing: Any) -> str:
    """Draw rendered chart options into a PNG file.

    Parameters
    ----------
    options : mapping
        What a chart's ``render()`` returned.
    path : str or path-like
        File to write.
    width, height : int, default 800 x 500
        Size of the image in pixels.
    dpi : int, default 100
        Pixels per inch, which scales the text relative to the image.
    **drawing
        ``subtitle``, ``reference``, ``reference_label``, ``means``: see
        :func:`to_figure`.

    Returns
    -------
    str
        The path written.
    """
    fig = to_figure(options, width=width, height=height, dpi=dpi, **drawing)
    path = os.fspath(path)
    with plain_text():
        fig.savefig(path, format="png", dpi=dpi)
    return path
