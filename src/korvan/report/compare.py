"""The report of a model comparison, filled from plain values.

:meth:`korvan.compare.ModelComparison.report_data` hands over names, summary
and paired DataFrames, sentences and a drawn chart; nothing here computes a
statistic or knows the comparison's class.
"""

from __future__ import annotations

import datetime as _dt
import math
from types import SimpleNamespace
from typing import Any

import numpy as np

import plotlane

from korvan.report import sections
from korvan.report.render import _environment
from korvan.report.tables import Cell, Column, Table, decimals_for, fmt, num, text
from korvan.text import level_text, percent, points, signed_percent

__all__ = ["comparison_context", "render_comparison"]


def _signed_points(value: float) -> str:
    return points(value, signed=True)


def _interval(paired_row: Any) -> str:
    """The paired interval of the drop difference, in points; empty without one."""
    low, high = float(paired_row["drop_diff_low"]), float(paired_row["drop_diff_high"])
    return "" if not math.isfinite(low) else f"{_signed_points(low)} .. {_signed_points(high)}"

_FOOTER = "A self-contained report: no scripts, no network; it prints as it shows."


def _header(data: dict[str, Any], when: _dt.datetime) -> dict[str, Any]:
    inputs = data["inputs"]
    features = inputs.get("perturb_features")
    metric, better = data["metric"], "higher" if data["higher_is_better"] else "lower"
    facts = [
        ("Models", ", ".join(data["models"])),
        ("Data set", data["data"]),
        ("Split", str(inputs.get("dataset", "test"))),
        ("Metric", f"{metric} ({better} is better)"),
        ("Method", str(inputs.get("perturb_method", "normal"))),
        ("Perturbed features", "all" if features is None else
         ", ".join(map(str, [features] if isinstance(features, str) else features))),
        ("Noise levels", ", ".join(level_text(v) for v in data["levels"])),
        ("Repeats", fmt(inputs.get("n_repeats"))),
        ("Seed", fmt(inputs.get("random_state"))),
        ("Date", when.strftime("%Y-%m-%d %H:%M UTC")),
        ("Versions", ", ".join(f"{name} {v}" for name, v in sections.versions())),
    ]
    return {"title": f"Which model holds up best on {data['data']}: "
                     f"{', '.join(data['models'])}", "facts": facts}


def _ranking(data: dict[str, Any]) -> Table:
    """Models as rows: baseline, the relative drop per level, the difference to the best."""
    summaries = data["summaries"]
    levels = data["levels"]
    last = levels[-1] if levels else None
    paired = data["against_best"]
    best = data["best"]
    drops = np.array([[s["rel_drop"].loc[v] for v in levels] for s in summaries.values()])
    finite = np.abs(drops[np.isfinite(drops)])
    scale = float(finite.max()) if finite.size and finite.max() > 0 else 1.0
    base = decimals_for([s["mean"].iloc[0] for s in summaries.values()])
    cols = [Column("Rank", True), Column("Model"), Column(f"Baseline {data['metric']}", True)]
    cols += [Column(f"Drop at {level_text(v)}", True) for v in levels]
    if last is not None:
        cols += [Column(f"Drop interval at {level_text(last)}", True),
                 Column(f"Drop vs {best} at {level_text(last)} (points)", True),
                 Column("95% paired interval", True), Column("Larger drop in", True)]
    rows = []
    for rank, (name, summary) in enumerate(summaries.items(), start=1):
        row = [num(rank), text(name), num(summary["mean"].iloc[0], decimals=base)]
        for v in levels:
            d = float(summary["rel_drop"].loc[v])
            cls = "num drop" if d > 0 else ("num gain" if d < 0 else "num")
            shade = min(abs(d) / scale, 1.0) if math.isfinite(d) else 0.0
            row.append(Cell(signed_percent(d), d if math.isfinite(d) else None, cls, shade))
        if last is not None:
            low, high = float(summary["rel_drop_low"].loc[last]), float(summary["rel_drop_high"].loc[last])
            row.append(Cell("" if not math.isfinite(low)
                            else f"{signed_percent(low)} .. {signed_percent(high)}", cls="num"))
            if name == best:
                row += [Cell("best", cls="num"), text(""), text("")]
            else:
                p = paired.loc[(name, last)]
                n = int(p["repeats"])
                row += [Cell(_signed_points(p["drop_diff"]), float(p["drop_diff"]), "num"),
                        Cell(_interval(p), cls="num"),
                        Cell(f"{round(p['share_a_drops_more'] * n)} of {n}",
                             float(p["share_a_drops_more"]), "num")]
        rows.append(row)
    return Table(cols, rows, id="ranking-table", row_headers=False)


def _paired(data: dict[str, Any]) -> Table | None:
    """Every model against the best, level by level: the score difference and the drop's."""
    paired = data["against_best"]
    if paired.empty:
        return None
    metric = data["metric"]
    places = decimals_for(paired[["mean_diff", "ci_low", "ci_high"]].to_numpy())
    cols = [Column("Model"), Column("Noise level"), Column(f"{metric} difference", True),
            Column("95% paired interval", True), Column("Scores better in", True),
            Column("Drop difference (points)", True), Column("95% paired interval ", True)]
    rows = []
    for (name, level), p in paired.iterrows():
        drop_interval = _interval(p)
        rows.append([
            text(name), text("0 (baseline)" if level == 0 else level_text(level)),
            num(p["mean_diff"], decimals=places),
            Cell(f"{fmt(p['ci_low'], decimals=places)} .. {fmt(p['ci_high'], decimals=places)}",
                 cls="num"),
            Cell(percent(p["share_a_better"]), float(p["share_a_better"]), "num"),
            Cell("" if level == 0 else _signed_points(p["drop_diff"]), cls="num"),
            Cell("" if level == 0 else drop_interval, cls="num")])
    return Table(cols, rows, id="paired-table", row_headers=False)


def comparison_context(data: dict[str, Any], when: _dt.datetime | None = None) -> dict[str, Any]:
    """Everything the comparison's template shows, as plain values."""
    when = when or _dt.datetime.now(_dt.timezone.utc)
    head = _header(data, when)
    verdict = data.get("verdict")
    best = data["best"]
    chart = data["chart"]
    comparison = {
        "intro": (f"Each model was run on the same perturbed rows: repeat i of every level uses "
                  f"the same seed for every model, so their scores are compared repeat by "
                  f"repeat. Ranked by the relative drop at the largest level; {best} drops least."),
        "sentences": data["sentences"],
        "ranking": _ranking(data),
        "paired": _paired(data),
        "notes": ["Drop: how much worse the mean score is than the model's own baseline, as a "
                  "share of it (positive is worse). Points: percentage points of that share.",
                  "Paired interval: 95% t interval of the mean difference over the repeats; "
                  "an interval that holds 0 leaves the order of the two models open."],
        "chart": {"id": "line-chart",
                  **sections.chart_svgs(
                      lambda w, h: plotlane.to_figure(chart["options"], width=w, height=h,
                                                      subtitle=chart.get("subtitle")),
                      "line", f"Line chart of the mean {data['metric']} per model",
                      narrow=not data.get("compact")),
                  "caption": (f"Mean {data['metric']} over the repeats at each noise level, one "
                              "line per model; band: 95% interval of the mean.")},
    }
    context = {
        "title": head["title"], "header": head,
        "verdict": None if verdict is None else SimpleNamespace(
            message=verdict, passed=verdict.startswith("PASS")),
        "comparison": comparison,
        "models": [],
        "footer": _FOOTER,
    }
    if not data.get("compact"):
        for name, summary in data["summaries"].items():
            shown = sections.summary(SimpleNamespace(summary=summary, metric=data["metric"]))
            if shown:
                shown["table"].id = f"summary-{len(context['models'])}"
                context["models"].append({"name": name, **shown})
    return context


def render_comparison(data: dict[str, Any], fragment: bool = False) -> str:
    """The comparison's report: a whole page, or a fragment for notebooks."""
    from markupsafe import Markup

    context = comparison_context(data)
    chart = context["comparison"]["chart"]
    chart["svg"] = Markup(chart["svg"])
    if "narrow" in chart:
        chart["narrow"] = Markup(chart["narrow"])
    name = "compare_fragment.html.j2" if fragment else "compare.html.j2"
    return _environment().get_template(name).render(context)
