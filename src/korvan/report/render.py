"""Filling the report's templates from a result or a per-feature sweep.

The sections (:mod:`korvan.report.sections`) read the result, its statistics
and, for the worst group's feature values, the data set; this module puts
them together and renders the templates (jinja2 with autoescaping), so every
string that came from the data is escaped on the way out.
"""

from __future__ import annotations

import datetime as _dt
import functools
import os
from typing import Any

from korvan.jsonable import to_jsonable
from korvan.report import sections
from korvan.report.sections import DEFAULT_TOP_ROWS

__all__ = ["DEFAULT_TOP_ROWS", "build_context", "render_report", "render_fragment",
           "write_report", "display_json"]

_FOOTER = "A self-contained report: no scripts, no network; it prints as it shows."


def _split(obj: Any, sweep: Any) -> tuple[Any, Any]:
    """(result, sweep) to show: a sweep says itself which run is its main result."""
    parts = getattr(obj, "_report_parts", None)
    return parts(sweep) if parts is not None else (obj, sweep)


def build_context(obj: Any, dataset: Any = None, *, sweep: Any = None, model: Any = None,
                  baseline: Any = None, top_rows: int = DEFAULT_TOP_ROWS, max_drop: float | None = None,
                  level: float | None = None, compact: bool = False,
                  when: _dt.datetime | None = None) -> dict[str, Any]:
    """Everything the templates show, as plain values (strings, numbers, tables).

    Parameters
    ----------
    obj : ValidationResult or FeatureSweep
        What the robustness test (or the per-feature sweep) returned.  A
        sweep's report shows its all-features run as the main result.
    dataset : DataSet, optional
        The data set the test ran on; needed for the worst group's feature
        values, left out otherwise.
    sweep : FeatureSweep, optional
        A per-feature sweep of the same model and data, shown as a ranking
        table and bar chart.
    model : object, optional
        The model the test ran with; with it (and the data set) the worst
        rows also show their baseline prediction and gap.
    baseline : array, optional
        The model's baseline prediction of the split, when the caller made
        it already (see ``ValidationResult.baseline_prediction``); it stands
        in for ``model``, which is then not called.
    top_rows : int, default 25
        Rows of the worst group to list.
    max_drop, level : float, optional
        A limit on the relative drop of the mean score (and the one level it
        applies to); with a limit the report opens with the verdict of
        ``check(max_drop, level)``: the sweep's when there is one (every
        feature held to the limit), else the result's.
    compact : bool, default False
        Only the header, verdicts, summary, ranking and charts (the notebook
        view).
    when : datetime, optional
        Date printed in the header; default now.
    """
    result, sweep = _split(obj, sweep)
    head = sections.header(result if result is not None else sweep, dataset, when)
    # As the command decides: with a sweep, every feature is held to the limit.
    verdict = sections.verdict(sweep if sweep is not None else result, max_drop, level)
    context: dict[str, Any] = {
        "title": head["title"], "header": head, "verdict": verdict,
        "summary": None, "box_chart": None, "sweep": None,
        "worst": None, "repeats": None, "footer": _FOOTER,
    }
    if result is not None:
        context["summary"] = sections.summary(result)
        context["box_chart"] = sections.box_chart(result)
    if sweep is not None:
        context["sweep"] = sections.sweep(sweep)
    if result is not None and not compact:
        context["worst"] = sections.worst(result, dataset, top_rows, model, baseline)
        context["repeats"] = sections.repeats(result)
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
    for chart in (context.get("box_chart"), (context.get("sweep") or {}).get("chart")):
        if chart:
            chart["svg"] = Markup(chart["svg"])
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


def display_json(obj: Any) -> dict[str, Any]:
    """What the compact report of a result shows, as plain JSON values.

    Notebooks store every output they display; the per-repeat predictions
    stay out of it (``to_dict()`` has them).
    """
    from korvan.stats import summary_to_dict

    info = sections.data_info(obj)
    try:
        summary = summary_to_dict(obj.summary)
    except (TypeError, ValueError):
        summary = None
    return to_jsonable({
        "key": obj.key, "data": obj.data, "model": obj.model, "metric": obj.metric,
        "inputs": obj.inputs, "table": obj.table, "summary": summary,
        "worst_group": {"size": len(info.get("sample_idx1", [])),
                        "rest": len(info.get("sample_idx2", []))},
    })
