"""Take the README's pictures of the report: the demo's report.html in headless Chromium.

Runs ``korvan-robustness --demo`` (what ``make demo`` runs) into a temporary folder, opens
the report it wrote at a desktop width with the same browser driver the
tests use, and saves the top of the page (header, summary, charts) as
``docs/report-screenshot.png``.  With ``--compare``, runs the demo with
``--model gbm,linear`` instead and saves the report's comparison section as
``docs/compare-screenshot.png``.

    .venv/bin/python docs/report_screenshot.py [--compare]
"""

from __future__ import annotations

import io
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from browser import Chromium, find_chromium  # noqa: E402

from korvan import cli  # noqa: E402

WIDTH, HEIGHT = 1000, 1500
# The comparison table has a column per noise level: a wide desktop window.
COMPARE_WIDTH = 1200


def main() -> int:
    binary = find_chromium()
    if binary is None:
        print("no Chromium on PATH (Debian package 'chromium')", file=sys.stderr)
        return 1
    compare = "--compare" in sys.argv[1:]
    with tempfile.TemporaryDirectory() as tmp:
        extra = ["--model", "gbm,linear"] if compare else []
        status = cli.main(["--demo", *extra, "--output", tmp])
        if status not in (0, 1):
            return status
        with Chromium(binary) as browser:
            width = COMPARE_WIDTH if compare else WIDTH
            page = browser.load(Path(tmp) / "report.html", width)
    from PIL import Image

    image = Image.open(io.BytesIO(page.png))
    if compare:
        box = page.section_boxes["comparison"]
        top, bottom = int(box["y"]) - 8, int(box["y"] + box["height"]) + 8
        out = HERE / "compare-screenshot.png"
    else:
        top, bottom = 0, HEIGHT
        out = HERE / "report-screenshot.png"
    image.crop((0, top, width, min(bottom, image.height))).save(out, optimize=True)
    print(f"Screenshot: {out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
