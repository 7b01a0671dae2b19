"""Numbers and sentences shown to people: one wording for each, used everywhere."""

from __future__ import annotations

from typing import Any, Iterable

__all__ = ["name_list"]


def name_list(values: Iterable[Any], limit: int | None = 30) -> str:
    """``"a, b, c"``; past ``limit`` values, the first ones and how many there are in all."""
    values = list(values)
    if limit is None or len(values) <= limit:
        return ", ".join(str(v) for v in values)
    return ", ".join(str(v) for v in values[:limit]) + f", ... ({len(values)} in all)"
