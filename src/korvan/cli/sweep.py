"""The command's per-feature breakdown and robustness limit.

``--per-feature`` (or ``--feature-groups "a,b;c"``) adds the sweep of
:mod:`korvan.sweep`; ``--max-drop 0.05`` (or ``0.05@0.2`` for one level)
prints a ``PASS:``/``FAIL:`` line and makes a failure exit with status 1.
The command calls these functions; the figures come from :mod:`korvan.stats`
and :mod:`korvan.sweep`.
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Sequence, TextIO

from korvan.stats import Verdict
from korvan.sweep import (ALL_FEATURES, FeatureSweep, feature_lists, plan_sweep, run_specs,
                          sweep_lines)

__all__ = ["FEATURES_CHART_FILE", "FEATURES_FILE", "MaxDrop", "add_arguments", "check_arguments",
           "extra_runs", "groups_arg", "max_drop_arg", "output_path", "print_sweep", "run_sweep",
           "verdict", "wants_sweep"]

#: Bar chart of the drop per feature, written beside the box plot.
FEATURES_CHART_FILE = "features.png"
#: The sweep as JSON, written beside the result.
FEATURES_FILE = "features.json"
#: Rows of the ranked table printed; the saved sweep has all of them.
PRINTED_ROWS = 30


@dataclass(frozen=True)
class MaxDrop:
    """A limit on the relative drop of the mean score, at one level or any."""

    limit: float
    level: float | None = None

    def __str__(self) -> str:
        return f"{self.limit:g}" + ("" if self.level is None else f"@{self.level:g}")


def _number(text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} {text.strip()!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{what} must be a finite number, got {text.strip()!r}")
    return value


def max_drop_arg(text: str) -> MaxDrop:
    """Parse ``LIMIT`` or ``LIMIT@LEVEL`` (``0.05``, ``0.05@0.2``)."""
    limit_text, at, level_text = text.partition("@")
    limit = _number(limit_text, "the limit")
    if limit < 0:
        raise argparse.ArgumentTypeError(f"the limit must be >= 0 (0.05 allows a 5% drop), got {limit:g}")
    if not at:
        return MaxDrop(limit)
    level = _number(level_text, "the noise level")
    if level <= 0:
        raise argparse.ArgumentTypeError(f"the noise level must be positive, got {level:g}")
    return MaxDrop(limit, level)


def groups_arg(text: str) -> list[list[str]]:
    """Parse ``"a,b;c"`` into ``[["a", "b"], ["c"]]``: groups split by ``;``, names by ``,``."""
    groups = []
    for i, part in enumerate(text.split(";"), start=1):
        names = [name.strip() for name in part.split(",")]
        if not any(names):
            raise argparse.ArgumentTypeError(f"group {i} is empty; write groups as \"a,b;c\"")
        if not all(names):
            raise argparse.ArgumentTypeError(f"group {i} has an empty feature name: {part.strip()!r}")
        groups.append(names)
    return groups


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Add ``--per-feature``, ``--feature-groups`` and ``--max-drop`` in their own group."""
    group = parser.add_argument_group("per-feature breakdown and limit")
    group.add_argument("--per-feature", action="store_true",
                       help="also run the test once per feature, each perturbed alone with the "
                            f"same seeds, and rank them by drop ({FEATURES_CHART_FILE}, "
                            f"{FEATURES_FILE})")
    group.add_argument("--feature-groups", type=groups_arg, metavar="GROUPS",
                       help='like --per-feature, but for groups perturbed together: "a,b;c" is '
                            "the group a,b and the group c")
    group.add_argument("--max-drop", type=max_drop_arg, metavar="LIMIT[@LEVEL]",
                       help="fail (exit status 1) when the mean score is more than LIMIT worse "
                            "than the baseline, as a share of it, at any noise level (or only "
                            "at LEVEL); with --per-feature, for any feature")


def check_arguments(args: argparse.Namespace, feature_names: Sequence[Any],
                    noise_levels: Sequence[float]) -> None:
    """Check the options against the data before anything runs.

    Raises
    ------
    ValueError
        With a one-line message naming the option.
    """
    if args.feature_groups is not None:
        if args.per_feature:
            raise ValueError("give --per-feature or --feature-groups, not both")
        if args.features is not None:
            raise ValueError("--features cannot be combined with --feature-groups; list the "
                             "features in the groups")
    if args.feature_groups is not None:
        try:
            feature_lists(feature_names, groups=args.feature_groups)
        except ValueError as exc:
            raise ValueError(f"--feature-groups: {exc}") from None
    if args.max_drop is not None and args.max_drop.level is not None:
        if not any(math.isclose(args.max_drop.level, v, rel_tol=1e-9) for v in noise_levels):
            raise ValueError(f"--max-drop: noise level {args.max_drop.level:g} is not among "
                             f"--noise-levels ({', '.join(f'{v:g}' for v in noise_levels)})")


def wants_sweep(args: argparse.Namespace) -> bool:
    """Whether the options ask for the per-feature breakdown."""
    return bool(args.per_feature or args.feature_groups)


def run_sweep(test: Any, args: argparse.Namespace, run_kwargs: dict[str, Any],
              main_result: Any) -> FeatureSweep:
    """Run every feature (or group) alone; the command's own run is the all-features row.

    ``run_kwargs`` are the arguments the command's run took; the sweep
    passes on the same ones, so each row is the run of that feature alone.
    """
    shared = {k: v for k, v in run_kwargs.items() if k != "perturb_features"}
    if args.feature_groups:
        specs = plan_sweep(test, groups=args.feature_groups, **shared)
    else:
        specs = plan_sweep(test, features=args.features, **shared)
    # The last plan perturbs every feature; with --features the
    # command's run perturbed only those, so it is run as specified.
    # A parallel test maps the plans itself: all their rounds at once.
    executor = test if callable(getattr(test, "map", None)) else None
    if specs[-1].name == ALL_FEATURES and run_kwargs.get("perturb_features") is None:
        results = run_specs(test, specs[:-1], executor=executor) + [main_result]
    else:
        results = run_specs(test, specs, executor=executor)
    return FeatureSweep.from_runs(test, specs, results)


def print_sweep(out: TextIO, found: FeatureSweep) -> None:
    """Print the ranked table."""
    what = "feature group" if any(len(r.features or ()) > 1 for r in found.rows) else "feature"
    print("", file=out)
    print(f"Drop of the mean {found.metric} per {what}, each perturbed alone, largest first:",
          file=out)
    for line in sweep_lines(found, limit=PRINTED_ROWS):
        print(line, file=out)


def verdict(result: Any, found: FeatureSweep | None, max_drop: MaxDrop) -> Verdict:
    """Check the limit: on every feature when there is a sweep, else on the result."""
    subject = found if found is not None else result
    return subject.check(max_drop=max_drop.limit, level=max_drop.level)


def output_path(args: argparse.Namespace, name: str) -> Path | None:
    """Where a sweep output goes, or None when the options ask for no sweep."""
    return Path(args.output) / name if wants_sweep(args) else None


def extra_runs(args: argparse.Namespace, feature_names: Sequence[Any]) -> int:
    """How many runs the sweep adds to the command's own (for the progress bar)."""
    if not wants_sweep(args):
        return 0
    rows = len(args.feature_groups) if args.feature_groups else len(args.features or feature_names)
    # With --features the command's run is not the all-features run, which then runs too.
    return rows + (1 if args.features is not None else 0)
