"""Headless Chromium driven over the DevTools protocol, for looking at reports.

Chromium is started with ``--remote-debugging-pipe``: commands go in as JSON
on file descriptor 3, answers and events come back on descriptor 4, each
message ended by a NUL byte.  That needs no driver program and no extra
Python package, only the browser itself (Debian package ``chromium``).
"""
from __future__ import annotations

import base64
import io
import json
import os
import select
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

CANDIDATES = ("chromium", "chromium-browser", "google-chrome", "chrome")


def find_chromium() -> str | None:
    for name in CANDIDATES:
        path = shutil.which(name)
        if path:
            return path
    return None


@dataclass
class Page:
    """What the browser made of a page at one viewport width."""

    png: bytes
    pixels: np.ndarray              # height x width x 3, uint8
    viewport_width: int
    scroll_width: int               # widest the document gets; > viewport means overflow
    svg_boxes: list[dict]           # page coordinates of every shown <svg>: x, y, width, height
    chart_text_px: list[float]      # per shown <svg>: its smallest text, in screen pixels
    scrolling_tables: list[str]     # ids of tables whose box scrolls sideways
    section_text: dict[str, str]    # text of each <section> by id, as the page shows it
    section_boxes: dict[str, dict]  # page coordinates of each <section> by id: y, height
    requests: list[str] = field(default_factory=list)   # every URL the page asked for

    def region(self, box: dict) -> np.ndarray:
        x0, y0 = int(box["x"]), int(box["y"])
        x1, y1 = x0 + int(box["width"]), y0 + int(box["height"])
        return self.pixels[y0:y1, x0:x1]


class Chromium:
    """One headless browser; use as a context manager."""

    def __init__(self, binary: str, timeout: float = 60.0) -> None:
        self.timeout = timeout
        self._profile = tempfile.TemporaryDirectory(prefix="korvan-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # The child must see our pipe ends as its descriptors 3 and 4 (copied
        # out of the way first, in case the pipe ends are 3 or 4 themselves).
        # Only those two are inheritable: Python opens every other descriptor
        # close-on-exec, so close_fds is not needed (and would close them).
        def arrange() -> None:
            read_end, write_end = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)
            # dup2 onto itself (when the copies already are 3 and 4) keeps close-on-exec.
            os.set_inheritable(3, True)
            os.set_inheritable(4, True)
        args = [binary, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--no-default-browser-check", "--hide-scrollbars",
                "--disable-extensions", "--disable-background-networking", "--mute-audio",
                f"--user-data-dir={self._profile.name}", "--remote-debugging-pipe", "about:blank"]
        # The browser is not ours to instrument: under `make sanitize` the
        # sanitizer runtime preloaded into the test process would slow it past
        # every time-out.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
        self._proc = subprocess.Popen(args, preexec_fn=arrange, close_fds=False, env=env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self._events: list[dict] = []

    def __enter__(self) -> "Chromium":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        try:
            if self._proc.poll() is None:
                try:
                    self.send("Browser.close")
                except (OSError, RuntimeError, TimeoutError):
                    pass
                try:
                    self._proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self._proc.kill()
                    self._proc.wait()
        finally:
            for fd in (self._to_browser, self._from_browser):
                try:
                    os.close(fd)
                except OSError:
                    pass
            self._profile.cleanup()

    # -- the protocol ----------------------------------------------------------

    def _read_message(self, deadline: float) -> dict:
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("Chromium did not answer in time")
            ready, _, _ = select.select([self._from_browser], [], [], left)
            if ready:
                chunk = os.read(self._from_browser, 1 << 20)
                if not chunk:
                    raise RuntimeError(f"Chromium closed the pipe (exit {self._proc.poll()})")
                self._buffer += chunk
        raw, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(raw)

    def send(self, method: str, session: str | None = None, **params: object) -> dict:
        """Send one command and return its result; events met meanwhile are kept."""
        self._next_id += 1
        message: dict = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            if "method" in reply:
                self._events.append(reply)

    def wait_for(self, event: str, session: str) -> dict:
        deadline = time.monotonic() + self.timeout
        while True:
            for i, e in enumerate(self._events):
                if e["method"] == event and e.get("sessionId") == session:
                    return self._events.pop(i)
            self._events.append(self._read_message(deadline))

    # -- looking at a page -----------------------------------------------------

    def load(self, path: str | os.PathLike[str], width: int, height: int = 900) -> Page:
        """Open a local file at a viewport ``width`` and photograph the whole page."""
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        try:
            self.send("Emulation.setDeviceMetricsOverride", session, width=width, height=height,
                      deviceScaleFactor=1, mobile=width < 600)
            self.send("Network.enable", session)
            self.send("Page.enable", session)
            self.send("Page.navigate", session, url=Path(path).resolve().as_uri())
            self.wait_for("Page.loadEventFired", session)
            requests = [e["params"]["request"]["url"] for e in self._events
                        if e["method"] == "Network.requestWillBeSent" and e.get("sessionId") == session]
            # Layout facts are read by the test harness, not by the page (which has no scripts).
            probe = """JSON.stringify({
              scroll: Math.max(document.documentElement.scrollWidth, document.body.scrollWidth),
              viewport: window.innerWidth,
              height: document.documentElement.scrollHeight,
              svgs: [...document.querySelectorAll('svg')].map(s => {
                const r = s.getBoundingClientRect();
                return {x: r.left + scrollX, y: r.top + scrollY, width: r.width, height: r.height};
              }).filter(b => b.width > 0),
              text_px: [...document.querySelectorAll('svg')].filter(s => s.getBoundingClientRect().width > 0)
                .map(s => {
                  const scale = s.getBoundingClientRect().width / s.viewBox.baseVal.width;
                  const sizes = [...s.querySelectorAll('text')].filter(t => t.textContent.trim())
                    .map(t => parseFloat(getComputedStyle(t).fontSize) * scale);
                  return sizes.length ? Math.min(...sizes) : 0;
                }),
              scrolling: [...document.querySelectorAll('.scroll')]
                .filter(d => d.scrollWidth > d.clientWidth + 1)
                .map(d => (d.querySelector('table') || {}).id || '?'),
              sections: Object.fromEntries([...document.querySelectorAll('section[id]')]
                .map(s => [s.id, s.innerText])),
              section_boxes: Object.fromEntries([...document.querySelectorAll('section[id]')]
                .map(s => { const r = s.getBoundingClientRect();
                            return [s.id, {y: r.top + scrollY, height: r.height}]; }))})"""
            facts = json.loads(self.send("Runtime.evaluate", session, expression=probe,
                                         returnByValue=True)["result"]["value"])
            shot = self.send("Page.captureScreenshot", session, format="png", captureBeyondViewport=True,
                             clip={"x": 0, "y": 0, "width": width, "height": facts["height"], "scale": 1})
        finally:
            self.send("Target.closeTarget", targetId=target)
            self._events = [e for e in self._events if e.get("sessionId") != session]
        png = base64.b64decode(shot["data"])
        from PIL import Image

        pixels = np.asarray(Image.open(io.BytesIO(png)).convert("RGB"))
        return Page(png=png, pixels=pixels, viewport_width=facts["viewport"],
                    scroll_width=facts["scroll"], svg_boxes=facts["svgs"],
                    chart_text_px=facts["text_px"], scrolling_tables=facts["scrolling"],
                    section_text=facts["sections"], section_boxes=facts["section_boxes"],
                    requests=requests)
