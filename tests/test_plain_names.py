"""Names from the user's files as shown on a terminal and drawn on a chart."""
import warnings
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import plotlane
from korvan.report.svg import figure_to_svg
from korvan.text import escape_controls

HOSTILE = ["$\\alpha^2$", "a\x07b", "$x", "\x1b]0;title\x07", "r\rn", "\\frac{1}{2}$$"]


@pytest.mark.parametrize("text, shown", [
    ("plain name", "plain name"),
    ("tab\tand\nnewline", "tab\tand\nnewline"),  # layout the command writes itself
    ("\x1b[31mred", "\\x1b[31mred"),
    ("\x1b]0;title\x07", "\\x1b]0;title\\x07"),
    ("back\rspace\x08", "back\\x0dspace\\x08"),
    ("\x9b2J", "\\x9b2J"),  # the one-byte form of ESC [
    ("abc\u202eevil", "abc\\u202eevil"),  # reverses what follows
    ("ünïcode 名前", "ünïcode 名前"),
])
def test_terminal_controls_are_shown_escaped(text, shown):
    assert escape_controls(text) == shown


def figure(kind, names):
    if kind == "box":
        chart = plotlane.boxplot(np.repeat(names, 4), np.linspace(0, 1, 4 * len(names)))
    else:
        chart = plotlane.barplot(names, np.arange(len(names), dtype=float))
    chart.set_title(names[0]).set_xaxis(names[1]).set_yaxis(names[2])
    return plotlane.to_figure(chart.render(), subtitle=names[3])


@pytest.mark.parametrize("kind", ["box", "bar"])
def test_names_are_drawn_as_plain_text(kind):
    from matplotlib.text import Text

    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a missing glyph or math error warns
        fig = figure(kind, HOSTILE)
        fig.canvas.draw()
        svg = figure_to_svg(fig, "c", "\x07chart of $x$")
    drawn = {t.get_text() for t in fig.findobj(Text) if t.get_visible()}
    assert "$\\alpha^2$" in drawn and "a\\x07b" in drawn
    assert not any(t.get_parse_math() for t in fig.findobj(Text))
    assert not any("\x07" in t or "\x1b" in t for t in drawn)
    root = ET.fromstring(svg)
    assert "$\\alpha^2$" in "".join(root.itertext())
