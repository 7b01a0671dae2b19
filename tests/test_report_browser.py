"""The report as a person sees it: rendered by headless Chromium, checked on the screenshot."""

import os
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


def ink(pixels):
    """Share of pixels that are not page-white."""
    return float(np.mean(np.any(pixels < 235, axis=-1))) if pixels.size else 0.0


@pytest.mark.parametrize("width", [390, 1280])
@pytest.mark.parametrize("run", ["demo_run", "mixed_run"])
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
