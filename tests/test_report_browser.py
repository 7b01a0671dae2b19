"""The report as a person sees it: rendered by headless Chromium, checked on the screenshot."""

import os
import re
from pathlib import Path

import numpy as np
import pytest

from browser import Chromium, find_chromium

CHROMIUM = find_chromium()
if CHROMIUM is None and os.environ.get("CI") == "true":
    # make test installs it with apt-get; on CI a missing browser is a failure, not a skip.
    raise RuntimeError("no Chromium on PATH: the browser test cannot run on CI")
pytestmark = pytest.mark.skipif(
    CHROMIUM is None,
    reason="no Chromium on PATH: install the Debian package 'chromium' (make test does so with "
           "apt-get where apt-get is available)")


@pytest.fixture(scope="module")
def browser():
    with Chromium(CHROMIUM) as b:
        yield b


# A number in scientific notation: 2.652e+05, 1E-4.
E_NOTATION = re.compile(r"\d(\.\d+)?[eE][+-]?\d")


@pytest.fixture(scope="module")
def large_run():
    """Scores in the tens of millions: the magnitudes that used to print as 3.5e+07."""
    from sklearn.datasets import load_diabetes
    from sklearn.linear_model import LinearRegression

    from conftest import fitted_run
    from korvan.data import DataSet

    frame = load_diabetes(as_frame=True).frame
    frame["target"] *= 100.0
    ds = DataSet(frame, "target", task_type="regression", name="diabetes x100")
    return fitted_run(ds, LinearRegression(), noise_levels=[0.1, 0.5, 1.0, 2.0]), ds, None


def ink(pixels):
    """Share of pixels that are not page-white."""
    return float(np.mean(np.any(pixels < 235, axis=-1))) if pixels.size else 0.0


@pytest.mark.parametrize("width", [390, 1280])
@pytest.mark.parametrize("run", ["demo_run", "mixed_run", "large_run"])
def test_report_renders_readably(request, browser, tmp_path, run, width):
    result, ds, found = request.getfixturevalue(run)
    path = result.save_html(tmp_path / "report.html", ds, sweep=found)
    page = browser.load(path, width)

    assert page.scroll_width <= page.viewport_width == width, "the page is wider than the screen"
    assert page.requests == [Path(path).resolve().as_uri()], "the page fetched something"
    assert page.pixels.shape[1] == width and ink(page.pixels) > 0.03
    assert page.svg_boxes, "no chart on the page"
    for box in page.svg_boxes:
        assert 0 <= box["x"] and box["x"] + box["width"] <= width + 0.5
        assert box["width"] > 300 and box["height"] > 150
        # Axes, boxes and labels: a drawn chart inks a good part of its area.
        assert ink(page.region(box)) > 0.04
    assert min(page.chart_text_px) >= 10, "chart text too small to read"
    if width == 1280:
        assert page.scrolling_tables == [], "a table scrolls where the page has room for it"
    assert not E_NOTATION.search(page.section_text["summary"]), page.section_text["summary"]


@pytest.mark.parametrize("width", [390, 1280])
def test_comparison_report_renders_readably(browser, tmp_path, width):
    from sklearn.ensemble import HistGradientBoostingRegressor
    from sklearn.linear_model import LinearRegression

    from korvan.compare import compare_models
    from korvan.data import load_bundled
    from korvan.models import fit_estimator, wrap_model

    ds = load_bundled("diabetes")
    models = {}
    for name, est in [("gbm", HistGradientBoostingRegressor(max_iter=50, random_state=0)),
                      ("linear", LinearRegression())]:
        fit_estimator(est, *ds.get_X_y_data("train"))
        models[name] = wrap_model(est)
    cmp = compare_models(ds, models, noise_levels=[0.1, 0.3], n_repeats=5)
    page = browser.load(cmp.save_html(tmp_path / "compare.html", max_drop=0.05), width)

    assert page.scroll_width <= page.viewport_width == width, "the page is wider than the screen"
    assert len(page.svg_boxes) == 1 and ink(page.region(page.svg_boxes[0])) > 0.04
    assert min(page.chart_text_px) >= 10, "chart text too small to read"
    if width == 1280:
        assert page.scrolling_tables == []
    shown = page.section_text["comparison"]
    assert cmp.sentences()[0] in shown and not E_NOTATION.search(shown)
