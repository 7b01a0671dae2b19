"""The HTML report of a robustness result: one self-contained file.

The report has inline CSS, charts as inline SVG drawn by the same matplotlib
code as the PNG images, no scripts and no references to anything outside the
file, so it opens the same offline, attached to a review, printed, or inside
a notebook.  :class:`HtmlDisplay` gives result objects ``to_html``,
``save_html`` and the rich display methods notebooks look for.
"""

from korvan.report.display import HtmlDisplay
from korvan.report.render import DEFAULT_TOP_ROWS, render_fragment, render_report, write_report

__all__ = ["DEFAULT_TOP_ROWS", "HtmlDisplay", "render_fragment", "render_report", "write_report"]
