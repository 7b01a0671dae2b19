"""Numbers and sentences shown to people: one wording for each, used everywhere."""

from __future__ import annotations

import re
from typing import Any, Iterable

__all__ = ["name_list", "escape_controls"]

# Characters a terminal acts on instead of showing: C0 and C1 controls (a
# column name holding ESC ] 0; retitles the window, ESC [ 31 m recolours it)
# and the marks that reorder the text around them.  Tab and newline are
# layout this package writes itself.
_CONTROLS = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f"
                       "\u202a-\u202e\u2066-\u2069]")


def name_list(values: Iterable[Any], limit: int | None = 30) -> str:
    """``"a, b, c"``; past ``limit`` values, the first ones and how many there are in all."""
    values = list(values)
    if limit is None or len(values) <= limit:
        return ", ".join(str(v) for v in values)
    return ", ".join(str(v) for v in values[:limit]) + f", ... ({len(values)} in all)"



def _escape(match: re.Match[str]) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def escape_controls(text: str) -> str:
    """``text`` with every character a terminal would act on shown as an escape (``\\x1b``)."""
    return _CONTROLS.sub(_escape, text)
