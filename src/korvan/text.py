"""Numbers and sentences shown to people: one wording for each, used everywhere.

The terminal, the report and the charts all say these things; keeping the
wording here keeps them from drifting apart (a drop of -0.0001 once read
"-0.0%" in one place and "+0.0%" in another).
"""

from __future__ import annotations

import math
import numbers
import re
from typing import Any, Iterable, Mapping

__all__ = ["name_list", "signed_percent", "percent", "count_of", "level_text", "run_subtitle",
           "DROP_MEANING", "escape_controls"]

# Characters a terminal acts on instead of showing: C0 and C1 controls (a
# column name holding ESC ] 0; retitles the window, ESC [ 31 m recolours it)
# and the marks that reorder the text around them.  Tab and newline are
# layout this package writes itself.
_CONTROLS = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f"
                       "\u202a-\u202e\u2066-\u2069]")

#: What a relative drop is, for the notes under every table that shows one.
DROP_MEANING = "how much worse the mean score is than the baseline, as a share of it"


def name_list(values: Iterable[Any], limit: int | None = 30) -> str:
    """``"a, b, c"``; past ``limit`` values, the first ones and how many there are in all."""
    values = list(values)
    if limit is None or len(values) <= limit:
        return ", ".join(str(v) for v in values)
    return ", ".join(str(v) for v in values[:limit]) + f", ... ({len(values)} in all)"


def signed_percent(value: Any) -> str:
    """A relative change as a signed percentage, ``"+5.2%"``; ``"n/a"`` when undefined.

    A change that rounds to zero reads ``"+0.0%"`` whatever its sign, so a
    tiny gain is not shown as a negative zero.
    """
    value = float(value)
    if not math.isfinite(value):
        return "n/a"
    text = f"{value * 100:+.1f}%"
    return "+0.0%" if text == "-0.0%" else text


def percent(value: Any) -> str:
    """A share or a limit as a percentage, two decimals: ``"5.00%"``; ``"n/a"`` when undefined."""
    value = float(value)
    return f"{value * 100:.2f}%" if math.isfinite(value) else "n/a"


def count_of(share: Any, n: int) -> str:
    """``"3/10"``: how many of ``n`` a share stands for."""
    return f"{round(float(share) * n)}/{n}"


def level_text(level: Any) -> str:
    """A noise level as people read it: ``0.1``, ``2``; anything else as its text."""
    return f"{level:g}" if isinstance(level, numbers.Real) else str(level)


def run_subtitle(model: Any, data: Any, inputs: Mapping[str, Any]) -> str:
    """What was run, for the line under a chart's title: model, data, split and noise."""
    return (f"{model} on {data}, {inputs.get('dataset', 'test')} split, "
            f"{inputs.get('perturb_method', 'normal')} noise")


def _escape(match: re.Match[str]) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def escape_controls(text: str) -> str:
    """``text`` with every character a terminal would act on shown as an escape (``\\x1b``)."""
    return _CONTROLS.sub(_escape, text)
