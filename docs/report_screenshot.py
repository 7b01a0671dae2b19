"""Take the README's picture of the report: the demo's report.html in headless Chromium.

Runs ``korvan-robustness --demo`` (what ``make demo`` runs) into a temporary folder, opens
the report it wrote at a desktop width with the same browser driver the
tests use, and saves the top of the page (header, summary, charts) as
``docs/report-screenshot.png``.

    .venv/bin/python docs/report_screenshot.py
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


def main() -> int:
    binary = find_chromium()
    if binary is None:
        print("no Chromium on PATH (Debian package 'chromium')", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        status = cli.main(["--demo", "--output", tmp])
        if status not in (0, 1):
            return status
        with Chromium(binary) as browser:
            page = browser.load(Path(tmp) / "report.html", WIDTH)
    from PIL import Image

    image = Image.open(io.BytesIO(page.png))
    out = HERE / "report-screenshot.png"
    image.crop((0, 0, WIDTH, min(HEIGHT, image.height))).save(out, optimize=True)
    print(f"Screenshot: {out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
