"""The report on result objects: ``to_html``, ``save_html`` and notebook display."""

from __future__ import annotations

import os
from typing import Any

from korvan.report import render

__all__ = ["HtmlDisplay"]


class HtmlDisplay:
    """Mixin for result objects that the report can show.

    Jupyter, JupyterLab and VS Code call ``_repr_mimebundle_`` and show its
    richest entry: the compact report as HTML (no scripts, so no widget
    extension or trusted notebook is needed), with JSON and plain text beside
    it for front ends that prefer those.
    """

    __slots__ = ()

    def to_html(self, dataset: Any = None, *, sweep: Any = None, model: Any = None,
                baseline: Any = None, top_rows: int = render.DEFAULT_TOP_ROWS, max_drop: float | None = None,
                level: float | None = None) -> str:
        """Return the full report as one self-contained HTML page.

        Parameters
        ----------
        dataset : DataSet, optional
            The data set the test ran on.  With it, the worst group's rows
            are listed with their original labels and feature values, and
            compared with the rest; without it, only its size is shown.
        sweep : FeatureSweep, optional
            A per-feature sweep of the same model and data, shown as a
            ranking table and bar chart (a sweep's own report shows itself).
        model : object, optional
            The model the test ran with; with it the worst rows also show
            their baseline prediction and their gap (one more prediction of
            the split).
        baseline : array, optional
            That prediction, when it was made already (see
            ``ValidationResult.baseline_prediction``); ``model`` is then not
            called.
        top_rows : int, default 25
            Rows of the worst group to list, largest movement first.
        max_drop : float, optional
            A limit on the relative drop of the mean score (0.05: 5%); the
            report then opens with the verdict of ``check(max_drop, level)``,
            the sweep's when one is shown.
        level : float, optional
            The one noise level the limit applies to; default every level.
        """
        return render.render_report(self, dataset, sweep=sweep, model=model, baseline=baseline,
                                    top_rows=top_rows, max_drop=max_drop, level=level)

    def save_html(self, path: str | os.PathLike[str], dataset: Any = None, *, sweep: Any = None,
                  model: Any = None, baseline: Any = None,
                  top_rows: int = render.DEFAULT_TOP_ROWS, max_drop: float | None = None,
                  level: float | None = None) -> str:
        """Write :meth:`to_html` to a file and return its path."""
        return render.write_report(self, path, dataset, sweep=sweep, model=model,
                                   baseline=baseline, top_rows=top_rows, max_drop=max_drop,
                                   level=level)

    def _report_parts(self, sweep: Any) -> tuple[Any, Any]:
        # (result, sweep) the report shows; a sweep shows its all-features run.
        return self, sweep

    def _display_json(self) -> dict[str, Any]:
        return render.display_json(self)

    def _repr_html_(self) -> str:
        return render.render_fragment(self)

    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None) -> dict[str, Any]:
        makers = {
            "text/plain": lambda: repr(self),
            "text/html": self._repr_html_,
            "application/json": self._display_json,
        }
        return {mime: make() for mime, make in makers.items()
                if (not include or mime in include) and not (exclude and mime in exclude)}
