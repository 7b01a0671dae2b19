"""Filling the report's templates from a result.

Everything shown is read from the result (its inputs, score table, worst
group and chart), from the statistics the result carries, and, for the
worst group's feature values, from the data set the test ran on.  The code
here only arranges and formats those numbers; the templates (jinja2 with
autoescaping) turn them into HTML, so every string that came from the data is
escaped on the way out.
"""

from __future__ import annotations

import datetime as _dt
import functools
import math
import os
import platform
from dataclasses import dataclass, field
from importlib import metadata
from typing import Any

import numpy as np
import pandas as pd

from korvan.report.svg import figure_to_svg
from korvan.report.worst_group import describe_worst_group

__all__ = ["DEFAULT_TOP_ROWS", "build_context", "render_report", "render_fragment",
           "write_report", "Cell", "Table"]

#: Rows of the worst group listed by default, largest gap first.
DEFAULT_TOP_ROWS = 25


@dataclass(frozen=True)
class Cell:
    """One table cell: its text, the number behind it, a CSS class, a shade 0..1."""

    text: str
    value: float | None = None
    cls: str = ""
    shade: float = 0.0


@dataclass
class Column:
    text: str
    num: bool = False


@dataclass
class Table:
    columns: list[Column]
    rows: list[list[Cell]] = field(default_factory=list)
    caption: str = ""
    id: str = ""
    row_headers: bool = True


def fmt(value: Any, digits: int = 6) -> str:
    """A number as the report prints it: ``digits`` significant digits."""
    if value is None:
        return "n/a"
    if isinstance(value, (bool, np.bool_)):
        return str(bool(value))
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        v = float(value)
        return "n/a" if math.isnan(v) else f"{v:.{digits}g}"
    return str(value)


def num(value: Any, cls: str = "num", shade: float = 0.0) -> Cell:
    """A right-aligned numerical cell that keeps the exact value in ``data-value``."""
    v = None if value is None else float(value)
    exact = None if v is None or not math.isfinite(v) else repr(v)
    return Cell(fmt(value), exact, cls, shade)  # type: ignore[arg-type]


def text(value: Any) -> Cell:
    return Cell("" if value is None else str(value))


def _level(level: Any) -> str:
    return f"{level:g}" if isinstance(level, (float, int, np.floating, np.integer)) else str(level)


# -- the parts of the report ---------------------------------------------------

@functools.lru_cache(maxsize=1)
def versions() -> tuple[tuple[str, str], ...]:
    """Versions of this package and of the libraries behind the numbers."""
    import sklearn

    try:
        own = metadata.version("korvan-robustness")
    except metadata.PackageNotFoundError:
        own = "unknown"
    return (("korvan-robustness", own), ("Python", platform.python_version()),
            ("numpy", np.__version__), ("pandas", pd.__version__),
            ("scikit-learn", sklearn.__version__))


def _data_info(result: Any) -> dict[str, Any]:
    value = result.value if isinstance(result.value, dict) else {}
    return value.get("data_info") or {}


def _metric(result: Any) -> str:
    return getattr(result, "metric", None) or "score"


def _direction(metric: str) -> str:
    from korvan.metrics import get_metric

    try:
        better = get_metric(metric).higher_is_better
    except ValueError:
        return ""
    return "higher is better" if better else "lower is better"


def _features_text(inputs: dict[str, Any], dataset: Any) -> str:
    chosen = inputs.get("perturb_features")
    if chosen is None:
        if dataset is not None:
            return f"all {len(dataset.feature_names)}: " + ", ".join(map(str, dataset.feature_names))
        return "all"
    chosen = [chosen] if isinstance(chosen, str) else list(chosen)
    return ", ".join(map(str, chosen))


def header(result: Any, dataset: Any = None, when: _dt.datetime | None = None) -> dict[str, Any]:
    """The title and the facts of the run, with the versions that produced it."""
    inputs = result.inputs or {}
    info = _data_info(result)
    n_rows = len(info.get("sample_idx1", [])) + len(info.get("sample_idx2", []))
    metric = _metric(result)
    direction = _direction(metric)
    levels = [lvl for lvl in result.table.columns][1:] if isinstance(result.table, pd.DataFrame) else []
    when = when or _dt.datetime.now(_dt.timezone.utc)
    facts = [
        ("Model", str(result.model)),
        ("Data set", str(result.data)),
        ("Split", f"{inputs.get('dataset', 'test')}, {n_rows} rows"),
        ("Metric", f"{metric} ({direction})" if direction else metric),
        ("Method", str(inputs.get("perturb_method", ""))),
        ("Perturbed features", _features_text(inputs, dataset)),
        ("Noise levels", ", ".join(_level(lvl) for lvl in levels)),
        ("Repeats", fmt(inputs.get("n_repeats"))),
        ("Seed", fmt(inputs.get("random_state"))),
        ("Threshold", f"{fmt(inputs.get('threshold'))} (share of rows in the worst group)"),
        ("Date", when.strftime("%Y-%m-%d %H:%M UTC")),
        ("Versions", ", ".join(f"{name} {v}" for name, v in versions())),
    ]
    return {"title": f"Robustness of {result.model} on {result.data}", "facts": facts}


def _pct(value: float) -> str:
    return f"{value * 100:+.1f}%" if math.isfinite(value) else "n/a"


def summary(result: Any) -> dict[str, Any] | None:
    """Mean, spread, interval and drop per level, from ``result.summary``.

    Drops are shaded by their size relative to the largest drop: the darker,
    the worse; gains (negative drops) are tinted the other colour.
    """
    try:
        table = result.summary
    except (TypeError, ValueError):
        return None
    metric = _metric(result)
    rel = table["rel_drop"].to_numpy(dtype=np.float64)[1:]
    finite = np.abs(rel[np.isfinite(rel)])
    scale = float(finite.max()) if finite.size and finite.max() > 0 else 1.0
    cols = [Column("Noise level"), Column(f"Mean {metric}", True), Column("Std", True),
            Column(f"{table.attrs.get('confidence', 0.95):.0%} interval", True),
            Column("Drop", True), Column("Relative drop", True), Column("Worse", True)]
    rows = []
    for i, (level, row) in enumerate(table.iterrows()):
        n = int(row["repeats"])
        if i == 0:
            rows.append([text("0 (baseline)"), num(row["mean"]), text(""), text(""), text(""),
                         text(""), text("")])
            continue
        interval = ("" if not math.isfinite(row["ci_low"])
                    else f"{fmt(row['ci_low'])} .. {fmt(row['ci_high'])}")
        drop = float(row["rel_drop"])
        shade = min(abs(drop) / scale, 1.0) if math.isfinite(drop) else 0.0
        cls = "num drop" if drop > 0 else ("num gain" if drop < 0 else "num")
        rows.append([text(_level(level)), num(row["mean"]), num(row["std"]) if n > 1 else text(""),
                     Cell(interval, cls="num"), num(row["drop"]),
                     Cell(_pct(drop), None if not math.isfinite(drop) else drop, cls, shade),
                     Cell(f"{round(row['share_worse'] * n)}/{n}", float(row["share_worse"]), "num")])
    better = "higher" if table.attrs.get("higher_is_better") else "lower"
    notes = [f"Drop: how much worse the mean {metric} is than the baseline ({better} is better), "
             "so a positive drop always means worse; relative to the baseline in the next column.",
             "Worse: repeats scoring worse than the baseline. "
             f"Interval: {table.attrs.get('interval', '')}."]
    if table.attrs.get("note"):
        notes.append(f"Note: {table.attrs['note']}.")
    return {"table": Table(cols, rows, id="summary-table"), "notes": notes}


def verdict(result: Any, max_drop: float | None, level: float | None) -> Any:
    """The pass/fail line for a limit, from ``result.check``; None without a limit."""
    return None if max_drop is None else result.check(max_drop, level=level)


def box_chart(result: Any) -> dict[str, Any]:
    """The box plot as inline SVG, drawn by the same code as the PNG."""
    fig = result.plot()
    label = f"Box plot of {_metric(result)} against the level of perturbation"
    return {"id": "box-plot", "svg": figure_to_svg(fig, "box", label),
            "caption": f"{_metric(result)} over the repeats at each noise level; "
                       "the baseline (0) is the unperturbed score."}


def repeats(result: Any) -> dict[str, Any]:
    """Every score: one row per repeat, one column per noise level."""
    table = result.table
    metric = _metric(result)
    cols = [Column(str(table.index.name or "Repeat"))]
    cols += [Column(f"{metric} at {_level(c)}" if i else f"{metric} baseline", num=True)
             for i, c in enumerate(table.columns)]
    rows = [[text(idx)] + [num(v) for v in row]
            for idx, row in zip(table.index, table.to_numpy(dtype=np.float64))]
    return {"title": f"All scores: {table.shape[0]} repeats x {table.shape[1]} levels",
            "table": Table(cols, rows, id="repeats-table")}


def worst(result: Any, dataset: Any = None, top_rows: int = DEFAULT_TOP_ROWS) -> dict[str, Any]:
    """The worst group: its size, its top rows, and how it differs from the rest."""
    info = _data_info(result)
    worst_idx = np.asarray(info.get("sample_idx1", []), dtype=np.intp)
    rest_idx = np.asarray(info.get("sample_idx2", []), dtype=np.intp)
    levels = list(result.table.columns)[1:]
    first = _level(levels[0]) if levels else "the first level"
    split = info.get("dataset1") or (result.inputs or {}).get("dataset", "test")
    out: dict[str, Any] = {
        "intro": (f"{worst_idx.size} of {worst_idx.size + rest_idx.size} rows of the {split} split "
                  f"whose predictions move most, on average over the repeats, at noise {first}; "
                  f"the remaining {rest_idx.size} rows are the rest."),
        "rows": None, "numerical": None, "categorical": None, "notes": [],
    }
    if dataset is None:
        out["notes"].append("Pass the data set to the report to see these rows and their "
                            "feature values.")
        return out
    X, y, _ = dataset.get_X_y_data(split)
    labels = dataset.get_index(split)
    names, types = list(dataset.feature_names), list(dataset.feature_types)
    cats = dataset.categories

    shown = worst_idx[:max(int(top_rows), 0)]
    cols = [Column("Row"), Column("Rank", num=True)]
    cols += [Column(str(fn), num=fn not in cats) for fn in names]
    rows = []
    for rank, pos in enumerate(shown, start=1):
        row = [text(labels[pos]), num(rank)]
        for j, fn in enumerate(names):
            v = X[pos, j]
            if fn in cats:
                row.append(text(None if np.isnan(v) else cats[fn][int(v)]))
            else:
                row.append(num(v))
        rows.append(row)
    out["rows"] = Table(cols, rows, id="worst-rows")
    more = worst_idx.size - shown.size
    out["rows_title"] = (f"The top {shown.size} rows, largest movement first"
                         + (f" ({more} more not shown)" if more > 0 else ""))

    numerical, categorical = describe_worst_group(X, worst_idx, rest_idx, names, types, cats)
    if numerical:
        cols = [Column("Feature"), Column("Worst mean", True), Column("Worst spread", True),
                Column("Rest mean", True), Column("Rest spread", True), Column("Shift", True)]
        out["numerical"] = Table(cols, [
            [text(d.feature), num(d.worst_mean), num(d.worst_std), num(d.rest_mean),
             num(d.rest_std), num(d.shift)] for d in numerical], id="worst-numerical")
        out["notes"].append("Spread: standard deviation. Shift: the worst group's mean minus "
                            "the rest's, in standard deviations of the whole split.")
    if categorical:
        cols = [Column("Feature"), Column("Category"), Column("Share in worst", True),
                Column("Share in rest", True)]
        rows = []
        for d in categorical:
            if not d.categories:
                rows.append([text(d.feature), text("none over-represented"), text(""), text("")])
            for label, w_share, r_share in d.categories:
                rows.append([text(d.feature), text("(missing)" if label is None else label),
                             num(w_share), num(r_share)])
        out["categorical"] = Table(cols, rows, id="worst-categorical")
    return out


# -- putting it together ---------------------------------------------------------

def build_context(result: Any, dataset: Any = None, *, top_rows: int = DEFAULT_TOP_ROWS,
                  max_drop: float | None = None, level: float | None = None,
                  compact: bool = False, when: _dt.datetime | None = None) -> dict[str, Any]:
    """Everything the templates show, as plain values (strings, numbers, tables).

    Parameters
    ----------
    result : ValidationResult
        What the robustness test returned.
    dataset : DataSet, optional
        The data set the test ran on; needed for the worst group's feature
        values, left out otherwise.
    top_rows : int, default 25
        Rows of the worst group to list.
    max_drop, level : float, optional
        A limit on the relative drop of the mean score (and the one level it
        applies to); with a limit the report opens with the verdict of
        ``result.check(max_drop, level)``.
    compact : bool, default False
        Only the header, verdict, summary and box plot (the notebook view).
    when : datetime, optional
        Date printed in the header; default now.
    """
    head = header(result, dataset, when)
    context: dict[str, Any] = {
        "title": head["title"], "header": head,
        "verdict": verdict(result, max_drop, level), "summary": summary(result),
        "sweep": None, "box_chart": box_chart(result),
    }
    if not compact:
        context["worst"] = worst(result, dataset, top_rows)
        context["repeats"] = repeats(result)
        context["footer"] = ("A self-contained report: no scripts, no network; "
                             "it prints as it shows.")
    return context


@functools.lru_cache(maxsize=1)
def _environment() -> Any:
    import jinja2

    return jinja2.Environment(
        loader=jinja2.PackageLoader("korvan.report", "templates"),
        autoescape=True, undefined=jinja2.StrictUndefined,
        trim_blocks=True, lstrip_blocks=True, keep_trailing_newline=True,
    )


def _markup(context: dict[str, Any]) -> dict[str, Any]:
    from markupsafe import Markup

    # The charts are SVG that svg.figure_to_svg serialised itself (text
    # escaped by the XML writer); everything else goes through autoescape.
    for key in ("box_chart",):
        if context.get(key):
            context[key] = dict(context[key], svg=Markup(context[key]["svg"]))
    sweep = context.get("sweep")
    if sweep and sweep.get("chart"):
        sweep["chart"] = dict(sweep["chart"], svg=Markup(sweep["chart"]["svg"]))
    return context


def render_report(result: Any, dataset: Any = None, **options: Any) -> str:
    """Return the full report as one self-contained HTML document.

    See :func:`build_context` for the parameters.
    """
    context = build_context(result, dataset, **options)
    return _environment().get_template("report.html.j2").render(_markup(context))


def render_fragment(result: Any, dataset: Any = None, **options: Any) -> str:
    """Return the compact report as an HTML fragment (for notebooks)."""
    context = build_context(result, dataset, compact=True, **options)
    return _environment().get_template("fragment.html.j2").render(_markup(context))


def write_report(result: Any, path: str | os.PathLike[str], dataset: Any = None,
                 **options: Any) -> str:
    """Write :func:`render_report` to ``path`` and return the path.

    The page is rendered before the file is opened, so a result that cannot
    be shown leaves no partial file behind.
    """
    page = render_report(result, dataset, **options)
    path = os.fspath(path)
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(page)
    return path


def _summary_json(result: Any) -> dict[str, Any] | None:
    from korvan.stats import summary_to_dict

    try:
        return summary_to_dict(result.summary)
    except (TypeError, ValueError):
        return None


def display_json(result: Any) -> dict[str, Any]:
    """What the compact report shows, as plain JSON values.

    Notebooks store every output they display; the per-repeat predictions
    stay out of it (``result.to_dict()`` has them).
    """
    from korvan.utils.results import to_jsonable

    return to_jsonable({
        "key": result.key, "data": result.data, "model": result.model,
        "inputs": result.inputs, "table": result.table,
        "summary": _summary_json(result),
        "worst_group": {k: v for k, v in _data_info(result).items()
                        if not k.startswith("sample_idx")}
        | {"size": len(_data_info(result).get("sample_idx1", [])),
           "rest": len(_data_info(result).get("sample_idx2", []))},
    })
