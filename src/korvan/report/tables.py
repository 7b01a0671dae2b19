"""Tables as the report's templates show them: cells of text, each with the number behind it."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

__all__ = ["Cell", "Column", "Table", "fmt", "num", "text"]


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


def fmt(value: Any, digits: int = 6) -> str:
    """A number as the report prints it: ``digits`` significant digits."""
    if value is None:
        return "n/a"
    if isinstance(value, (bool, np.bool_)):
        return str(bool(value))
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        v = float(value)
        return "n/a" if math.isnan(v) else f"{v:.{digits}g}"
    return str(value)


def num(value: Any, cls: str = "num", shade: float = 0.0) -> Cell:
    """A right-aligned numerical cell that keeps the exact value in ``data-value``."""
    v = None if value is None else float(value)
    exact = None if v is None or not math.isfinite(v) else repr(v)
    return Cell(fmt(value), exact, cls, shade)  # type: ignore[arg-type]


def text(value: Any) -> Cell:
    return Cell("" if value is None else str(value))
