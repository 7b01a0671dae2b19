"""Tables as the report's templates show them: cells of text, each with the number behind it."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

__all__ = ["Cell", "Column", "Table", "decimals_for", "fmt", "num", "text"]


@dataclass(frozen=True)
class Cell:
    """One table cell: its text, the number behind it, a CSS class, a shade 0..1."""

    text: str
    value: float | None = None
    cls: str = ""
    shade: float = 0.0


@dataclass
class Column:
    text: str
    num: bool = False


@dataclass
class Table:
    columns: list[Column]
    rows: list[list[Cell]] = field(default_factory=list)
    caption: str = ""
    id: str = ""
    row_headers: bool = True


# Magnitudes printed in fixed point with thousands separators; beyond them a
# number has too many zeros to count, and scientific notation reads better.
PLAIN_RANGE = (1e-3, 1e9)


def _plain(v: float, digits: int, decimals: int | None) -> str:
    if v == 0:
        return "0" if decimals is None else f"{0:.{decimals}f}"
    a = abs(v)
    if decimals is None:
        if not PLAIN_RANGE[0] <= a < PLAIN_RANGE[1]:
            return f"{v:.{digits}g}"
        decimals = min(max(digits - 1 - math.floor(math.log10(a)), 0), 12)
        out = f"{v:,.{decimals}f}"
        return out.rstrip("0").rstrip(".") if "." in out else out
    return f"{v:,.{decimals}f}"


def fmt(value: Any, digits: int = 6, decimals: int | None = None) -> str:
    """A number as the report prints it.

    ``digits`` significant digits in fixed point with thousands separators
    (``265,213.4``), trailing zeros dropped; or exactly ``decimals`` places
    when given (a column of numbers that line up, see :func:`decimals_for`).
    Only magnitudes outside ``PLAIN_RANGE`` use scientific notation.
    """
    if value is None:
        return "n/a"
    if isinstance(value, (bool, np.bool_)):
        return str(bool(value))
    if isinstance(value, (int, np.integer)):
        return f"{int(value):,}"
    if isinstance(value, (float, np.floating)):
        v = float(value)
        return "n/a" if math.isnan(v) else ("inf" if math.isinf(v) and v > 0 else
                                             "-inf" if math.isinf(v) else _plain(v, digits, decimals))
    return str(value)


def decimals_for(values: Any, digits: int = 4) -> int | None:
    """Decimal places that show a column's numbers alike.

    Enough for ``digits`` significant digits of the largest magnitude, and
    for the smallest difference between two values to show in its first digit (up to three
    places more); None when the magnitudes call for scientific notation.
    """
    arr = np.asarray([v for v in np.asarray(values, dtype=np.float64).ravel()
                      if math.isfinite(v) and v != 0])
    if arr.size == 0:
        return 0
    top = float(np.abs(arr).max())
    if not PLAIN_RANGE[0] <= top < PLAIN_RANGE[1]:
        return None
    places = max(digits - 1 - math.floor(math.log10(top)), 0)
    gaps = np.diff(np.unique(arr))
    gaps = gaps[gaps > 0]
    if gaps.size:
        need = -math.floor(math.log10(float(gaps.min())))
        places = max(places, min(need, places + 3))
    return min(places, 9)


def num(value: Any, cls: str = "num", shade: float = 0.0, decimals: int | None = None) -> Cell:
    """A right-aligned numerical cell that keeps the exact value in ``data-value``."""
    v = None if value is None else float(value)
    exact = None if v is None or not math.isfinite(v) else repr(v)
    return Cell(fmt(value, decimals=decimals), exact, cls, shade)  # type: ignore[arg-type]


def text(value: Any) -> Cell:
    return Cell("" if value is None else str(value))
