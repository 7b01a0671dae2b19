"""The report's sections, each built from what the result and the statistics module hold.

Each function returns plain values for one macro of ``sections.html.j2``:
strings, numbers and :class:`~korvan.report.tables.Table` objects.  None of
them computes a score statistic; those come from ``result.summary`` and
``result.check`` (the statistics module) and from the sweep's table.
"""

from __future__ import annotations

import datetime as _dt
import functools
import math
import platform
from importlib import metadata
from typing import Any

import numpy as np
import pandas as pd

from korvan.report.svg import figure_to_svg
from korvan.report.tables import Cell, Column, Table, fmt, num, text
from korvan.report.worst_group import describe_worst_group
from korvan.text import DROP_MEANING, count_of, level_text, signed_percent

#: Rows of the worst group listed by default, largest gap first.
DEFAULT_TOP_ROWS = 25


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


def data_info(result: Any) -> dict[str, Any]:
    """The result's worst-group facts; empty when the run did not keep them."""
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


def header(obj: Any, dataset: Any = None, when: _dt.datetime | None = None) -> dict[str, Any]:
    """The title and the facts of the run (a result or a sweep), with the versions."""
    inputs = obj.inputs or {}
    if hasattr(obj, "levels"):      # a sweep: its runs share every input but the features
        levels: list[Any] = list(obj.levels)
        rows = ""
        what = "feature groups" if obj.grouped else "features"
        perturbed = (f"each of {len(obj.rows)} {what} alone"
                     + (", and all together" if obj.all_features is not None else ""))
    else:
        info = data_info(obj)
        levels = list(obj.table.columns)[1:] if isinstance(obj.table, pd.DataFrame) else []
        n_rows = len(info.get("sample_idx1", [])) + len(info.get("sample_idx2", []))
        rows = f", {n_rows} rows" if info else ""
        perturbed = _features_text(inputs, dataset)
    metric = _metric(obj)
    direction = _direction(metric)
    when = when or _dt.datetime.now(_dt.timezone.utc)
    facts = [
        ("Model", str(obj.model)),
        ("Data set", str(obj.data)),
        ("Split", f"{inputs.get('dataset', 'test')}{rows}"),
        ("Metric", f"{metric} ({direction})" if direction else metric),
        ("Method", str(inputs.get("perturb_method", ""))),
        ("Perturbed features", perturbed),
        ("Noise levels", ", ".join(level_text(lvl) for lvl in levels)),
        ("Repeats", fmt(inputs.get("n_repeats"))),
        ("Seed", fmt(inputs.get("random_state"))),
        ("Threshold", f"{fmt(inputs.get('threshold'))} (share of rows in the worst group)"),
        ("Date", when.strftime("%Y-%m-%d %H:%M UTC")),
        ("Versions", ", ".join(f"{name} {v}" for name, v in versions())),
    ]
    return {"title": f"Robustness of {obj.model} on {obj.data}", "facts": facts}


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
        rows.append([text(level_text(level)), num(row["mean"]), num(row["std"]) if n > 1 else text(""),
                     Cell(interval, cls="num"), num(row["drop"]),
                     Cell(signed_percent(drop), None if not math.isfinite(drop) else drop, cls,
                          shade),
                     Cell(count_of(row["share_worse"], n), float(row["share_worse"]), "num")])
    better = "higher" if table.attrs.get("higher_is_better") else "lower"
    notes = [f"Drop: how much worse the mean {metric} is than the baseline ({better} is better), "
             "so a positive drop always means worse; relative to the baseline in the next column.",
             "Worse: repeats scoring worse than the baseline. "
             f"Interval: {table.attrs.get('interval', '')}."]
    if table.attrs.get("note"):
        notes.append(f"Note: {table.attrs['note']}.")
    return {"table": Table(cols, rows, id="summary-table"), "notes": notes}


def verdict(obj: Any, max_drop: float | None, level: float | None) -> Any:
    """The pass/fail line of a result or sweep for a limit, from its ``check``.

    None without a limit or without an object.
    """
    if max_drop is None or obj is None:
        return None
    return obj.check(max_drop, level=level)


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
    cols += [Column(f"{metric} at {level_text(c)}" if i else f"{metric} baseline", num=True)
             for i, c in enumerate(table.columns)]
    rows = [[text(idx)] + [num(v) for v in row]
            for idx, row in zip(table.index, table.to_numpy(dtype=np.float64))]
    return {"title": f"All scores: {table.shape[0]} repeats x {table.shape[1]} levels",
            "table": Table(cols, rows, id="repeats-table")}


def _cell(value: Any, numeric: bool) -> Cell:
    if value is None or (pd.api.types.is_scalar(value) and pd.isna(value)):
        return text("")
    return num(value) if numeric else text(value)


def worst(result: Any, dataset: Any = None, top_rows: int = DEFAULT_TOP_ROWS,
          model: Any = None, baseline: Any = None) -> dict[str, Any]:
    """The worst group: its size, its top rows, and how it differs from the rest.

    The rows come from ``result.worst_rows`` (original labels and values,
    the target, and with ``model`` or its ``baseline`` prediction, the
    baseline prediction and the gap).
    """
    info = data_info(result)
    worst_idx = np.asarray(info.get("sample_idx1", []), dtype=np.intp)
    rest_idx = np.asarray(info.get("sample_idx2", []), dtype=np.intp)
    levels = list(result.table.columns)[1:]
    first = level_text(levels[0]) if levels else "the first level"
    split = info.get("dataset1") or (result.inputs or {}).get("dataset", "test")
    out: dict[str, Any] = {
        "intro": (f"{worst_idx.size} of {worst_idx.size + rest_idx.size} rows of the {split} split "
                  f"whose predictions move most, on average over the repeats, at noise {first}; "
                  f"the remaining {rest_idx.size} rows are the rest."),
        "rows": None, "numerical": None, "categorical": None, "notes": [],
    }
    if not info:
        out["intro"] = "This run did not keep its worst group."
        return out
    if dataset is None:
        out["notes"].append("Pass the data set to the report to see these rows and their "
                            "feature values.")
        return out
    frame = result.worst_rows(dataset, model, baseline)
    out["rows"], out["rows_title"] = _worst_rows_table(frame, top_rows, dataset)
    if "gap" in frame.columns:
        out["notes"].append("Gap: how far the row's prediction moves from its baseline "
                            f"prediction, on average over the repeats at noise {first}.")
    X = dataset.get_X_y_data(split)[0]
    numerical, categorical = describe_worst_group(
        X, worst_idx, rest_idx, list(dataset.feature_names), list(dataset.feature_types),
        dataset.categories)
    out["numerical"] = _numerical_table(numerical)
    out["categorical"] = _categorical_table(categorical)
    if numerical:
        out["notes"].append("Spread: standard deviation. Shift: the worst group's mean minus "
                            "the rest's, in standard deviations of the whole split.")
    return out


def _worst_rows_table(frame: pd.DataFrame, top_rows: int, dataset: Any) -> tuple[Table, str]:
    shown = frame.iloc[:max(int(top_rows), 0)]
    # The gap and the prediction first: they are why the row is here.
    order = [c for c in ("gap", "baseline prediction") if c in shown.columns]
    order += [dataset.target] + [c for c in shown.columns if c not in order and c != dataset.target]
    numeric = {c: pd.api.types.is_numeric_dtype(shown[c]) and not pd.api.types.is_bool_dtype(shown[c])
               and c not in dataset.categories for c in order}
    cols = [Column(str(frame.index.name or "Row")), Column("Rank", num=True)]
    cols += [Column(str(c), num=numeric[c]) for c in order]
    rows = []
    for rank, (label, rec) in enumerate(zip(shown.index, shown[order].itertuples(index=False)),
                                        start=1):
        rows.append([text(label), num(rank)] + [_cell(v, numeric[c]) for c, v in zip(order, rec)])
    more = len(frame) - len(shown)
    title = (f"The top {len(shown)} rows, largest movement first"
             + (f" ({more} more not shown)" if more > 0 else ""))
    return Table(cols, rows, id="worst-rows"), title


def _numerical_table(numerical: Any) -> Table | None:
    if not numerical:
        return None
    cols = [Column("Feature"), Column("Worst mean", True), Column("Worst spread", True),
            Column("Rest mean", True), Column("Rest spread", True), Column("Shift", True)]
    return Table(cols, [[text(d.feature), num(d.worst_mean), num(d.worst_std), num(d.rest_mean),
                         num(d.rest_std), num(d.shift)] for d in numerical], id="worst-numerical")


def _categorical_table(categorical: Any) -> Table | None:
    if not categorical:
        return None
    cols = [Column("Feature"), Column("Category"), Column("Share in worst", True),
            Column("Share in rest", True)]
    rows = []
    for d in categorical:
        if not d.categories:
            rows.append([text(d.feature), text("none over-represented"), text(""), text("")])
        for label, w_share, r_share in d.categories:
            rows.append([text(d.feature), text("(missing)" if label is None else label),
                         num(w_share), num(r_share)])
    return Table(cols, rows, id="worst-categorical")



def sweep(found: Any) -> dict[str, Any]:
    """The per-feature ranking table and bar chart, from the sweep's own table.

    One column of relative drops per level, shaded like the summary's, then
    the mean score, its spread and the drop's interval at the largest level,
    the one the ranking and the bar chart use.
    """
    levels = found.levels
    keys = [level_text(v) for v in levels]
    last = keys[-1]
    metric = _metric(found)
    at = list(found.by_level().values())
    drops = np.column_stack([frame["drop"].to_numpy(dtype=np.float64) for frame in at])
    finite = np.abs(drops[np.isfinite(drops)])
    scale = float(finite.max()) if finite.size and finite.max() > 0 else 1.0
    groups = found.grouped
    cols = [Column("Rank", True), Column("Feature group" if groups else "Feature"),
            Column("Type")]
    cols += [Column(f"Drop at {k}", True) for k in keys]
    cols += [Column(f"Mean {metric} at {last}", True), Column("Std", True),
             Column(f"Drop interval at {last}", True)]
    rows = []
    for rank, (name, rec) in enumerate(at[-1].iterrows(), start=1):
        label = name if not groups or rec["features"] == name else f"{name} ({rec['features']})"
        row = [num(rank), text(label), text(rec["type"])]
        for d in drops[rank - 1]:
            cls = "num drop" if d > 0 else ("num gain" if d < 0 else "num")
            shade = min(abs(d) / scale, 1.0) if math.isfinite(d) else 0.0
            row.append(Cell(signed_percent(d), d if math.isfinite(d) else None, cls, shade))
        low, high = float(rec["drop_low"]), float(rec["drop_high"])
        row += [num(rec["mean"]), num(rec["std"]),
                Cell("" if not math.isfinite(low)
                     else f"{signed_percent(low)} .. {signed_percent(high)}", cls="num")]
        rows.append(row)
    notes = [f"Drop: {DROP_MEANING} (positive is worse); interval: 95% t interval over the "
             "repeats."]
    if found.all_features is not None:
        ref = [found.reference_at(v)["drop"] for v in levels]
        notes.append("All features perturbed together: "
                     + ", ".join(f"{signed_percent(d)} at {k}" for d, k in zip(ref, keys)) + ".")
    what = "group of features" if groups else "feature"
    fig = found.plot()
    return {
        "intro": (f"Each {what} perturbed alone, with the same split, seeds, levels, repeats and "
                  f"method as the whole run; ranked by the drop at noise {last}."),
        "table": Table(cols, rows, id="sweep-table", row_headers=False),
        "notes": notes,
        "chart": {"id": "bar-chart", "caption": f"Drop per {what} at noise {last}, largest first; "
                  "error bars: 95% interval; dashed line: all features together.",
                  "svg": figure_to_svg(fig, "bar", f"Bar chart of the drop per {what}")},
    }
