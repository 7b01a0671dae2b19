"""The round plan: which rounds a run asks for, listed before any of them is computed.

A run is ``levels x repeats`` rounds.  Round ``i`` of every level is
perturbed with seed ``random_state + i``, so a round is fully described by
the matrix, the features, the method, the level and the seed: where it runs
and which model then predicts on it do not change the perturbed matrix.
That is what lets several runs (a sweep) or several models (a comparison)
share one computation of their rounds.
"""

from __future__ import annotations

import inspect
from dataclasses import dataclass
from typing import Any, Mapping, Sequence

import numpy as np

from korvan.factsheet.diagnose.robustness import RobustnessTest

__all__ = ["RoundSet", "Round", "list_rounds", "split_by_set", "Plan", "plan_of", "chunks"]

_RUN_SIGNATURE = inspect.signature(RobustnessTest.run)


@dataclass(frozen=True)
class RoundSet:
    """The rounds of one run: every repeat at every noise level.

    Parameters
    ----------
    perturb_features : list
        The feature names, as the native ``run`` hands them on (a new list,
        duplicates removed).
    perturb_method : str
    noise_levels : sequence
        The levels in run order; a level that occurs twice is computed twice.
    n_repeats : int
    random_state : int
        Repeat ``i`` is perturbed with seed ``random_state + i`` at every level.
    """

    perturb_features: list[Any]
    perturb_method: str
    noise_levels: Sequence[Any]
    n_repeats: int
    random_state: int

    @property
    def size(self) -> int:
        """How many rounds (perturbed predictions per model) the run makes."""
        return len(self.noise_levels) * max(self.n_repeats, 0)


@dataclass(frozen=True)
class Round:
    """One round: repeat ``repeat`` at level ``level_index`` of set ``set_index``."""

    set_index: int
    level_index: int
    repeat: int

    def arguments(self, sets: Sequence[RoundSet]) -> tuple[list[Any], str, Any, int]:
        """(features, method, noise level, seed) of the native perturbation step."""
        rs = sets[self.set_index]
        return (rs.perturb_features, rs.perturb_method, rs.noise_levels[self.level_index],
                rs.random_state + self.repeat)


def list_rounds(sets: Sequence[RoundSet]) -> list[Round]:
    """Every round of every set, set by set, level by level, repeat by repeat."""
    return [Round(s, k, i) for s, rs in enumerate(sets)
            for k in range(len(rs.noise_levels)) for i in range(max(rs.n_repeats, 0))]


def split_by_set(sets: Sequence[RoundSet], predictions: Sequence[Any]) -> list[list[np.ndarray]]:
    """Predictions in :func:`list_rounds` order, regrouped per set and level.

    Each level becomes ``np.array(its repeats' predictions).T``: one column
    per repeat, exactly as the sequential repetition step builds it.
    """
    out: list[list[np.ndarray]] = []
    pos = 0
    for rs in sets:
        repeats = max(rs.n_repeats, 0)
        levels = []
        for _ in range(len(rs.noise_levels)):
            levels.append(np.array(predictions[pos:pos + repeats]).T)
            pos += repeats
        out.append(levels)
    return out


def describe(rounds: Sequence[Round], sets: Sequence[RoundSet], positions: Sequence[int]) -> str:
    """Name rounds for a message: their number, level and repeat (and features in a sweep)."""
    parts = []
    for pos in positions:
        r = rounds[pos]
        rs = sets[r.set_index]
        where = f"noise level {rs.noise_levels[r.level_index]!r}, repeat {r.repeat}"
        if len(sets) > 1:
            where = f"features {rs.perturb_features!r}, {where}"
        parts.append(f"round {pos + 1} of {len(rounds)} ({where})")
    return " or ".join(parts)


@dataclass
class Plan:
    """What one ``run`` call will ask the repetition step for, and what it was given."""

    noise_levels: list[Any]
    #: The predictions of every level, when computed ahead of the run.
    prepared: list[Any] | None = None
    #: (n_repeats, perturb_features, perturb_method, random_state) of the prepared rounds.
    expect: tuple[Any, ...] | None = None
    #: (X, predict_func) of the first call; the native run hands the same ones to every level.
    call: tuple[Any, Any] | None = None
    cursor: int = 0


def plan_of(test: Any, args: Sequence[Any], kwargs: Mapping[str, Any]) -> Plan | None:
    """The noise levels a run will iterate, or None when they cannot be read ahead.

    The native ``run`` hands every other argument to the repetition step
    already normalised, but it iterates the levels one at a time: only the
    levels are read here.  It wraps a float level in a list and iterates
    anything else as given; only a list, tuple or array can be read without
    consuming it.  Without a plan each level's repeats are still computed
    in parallel, one level at a time.
    """
    try:
        bound = _RUN_SIGNATURE.bind(test, *args, **kwargs)
    except TypeError:
        return None  # the native run reports the binding error
    bound.apply_defaults()
    levels = bound.arguments["noise_levels"]
    if isinstance(levels, float):
        levels = [levels]
    if not isinstance(levels, (list, tuple, np.ndarray)) or np.ndim(levels) != 1:
        return None
    return Plan(noise_levels=list(levels))


def chunks(sizes: Sequence[int], max_items: int) -> list[list[int]]:
    """Consecutive positions grouped so that each group's sizes add up to at most
    ``max_items`` (a group holds at least one position)."""
    out: list[list[int]] = []
    total = 0
    for n, size in enumerate(sizes):
        if not out or total + size > max_items:
            out.append([])
            total = 0
        out[-1].append(n)
        total += size
    return out
