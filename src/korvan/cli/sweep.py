"""The command's per-feature breakdown and robustness limit.

``--per-feature`` (or ``--feature-groups "a,b;c"``) adds the sweep of
:mod:`korvan.sweep`; ``--max-drop 0.05`` (or ``0.05@0.2`` for one level)
prints a ``PASS:``/``FAIL:`` line and makes a failure exit with status 1.
The figures come from :mod:`korvan.stats` and :mod:`korvan.sweep`.
"""

from __future__ import annotations

from typing import Any, Sequence

from korvan.cli.options import MaxDrop, Options
from korvan.stats import Verdict, find_level
from korvan.sweep import ALL_FEATURES, FeatureSweep, feature_lists, plan_sweep, run_specs

__all__ = ["check_arguments", "run_sweep", "verdict", "extra_runs"]


def check_arguments(opts: Options, feature_names: Sequence[Any],
                    noise_levels: Sequence[float]) -> None:
    """Check the options against the data before anything runs.

    Raises
    ------
    ValueError
        With a one-line message naming the option.
    """
    if opts.feature_groups is not None:
        if opts.per_feature:
            raise ValueError("give --per-feature or --feature-groups, not both")
        if opts.features is not None:
            raise ValueError("--features cannot be combined with --feature-groups; list the "
                             "features in the groups")
    if opts.feature_groups is not None:
        try:
            feature_lists(feature_names, groups=opts.feature_groups)
        except ValueError as exc:
            raise ValueError(f"--feature-groups: {exc}") from None
    if opts.max_drop is not None and opts.max_drop.level is not None:
        if find_level(noise_levels, opts.max_drop.level) is None:
            raise ValueError(f"--max-drop: noise level {opts.max_drop.level:g} is not among "
                             f"--noise-levels ({', '.join(f'{v:g}' for v in noise_levels)})")



def run_sweep(test: Any, opts: Options, run_kwargs: dict[str, Any],
              main_result: Any) -> FeatureSweep:
    """Run every feature (or group) alone; the command's own run is the all-features row.

    ``run_kwargs`` are the arguments the command's run took; the sweep
    passes on the same ones, so each row is the run of that feature alone.
    """
    shared = {k: v for k, v in run_kwargs.items() if k != "perturb_features"}
    if opts.feature_groups:
        specs = plan_sweep(test, groups=opts.feature_groups, **shared)
    else:
        specs = plan_sweep(test, features=opts.features, **shared)
    # The last plan perturbs every feature; with --features the
    # command's run perturbed only those, so it is run as specified.
    # A parallel test maps the plans itself: all their rounds at once.
    executor = test if callable(getattr(test, "map", None)) else None
    if specs[-1].name == ALL_FEATURES and run_kwargs.get("perturb_features") is None:
        results = run_specs(test, specs[:-1], executor=executor) + [main_result]
    else:
        results = run_specs(test, specs, executor=executor)
    return FeatureSweep.from_runs(test, specs, results)



def verdict(result: Any, found: FeatureSweep | None, max_drop: MaxDrop) -> Verdict:
    """Check the limit on the result; with a sweep, on its all-features run and every row."""
    subject = found if found is not None else result
    return subject.check(max_drop=max_drop.limit, level=max_drop.level)



def extra_runs(opts: Options, feature_names: Sequence[Any]) -> int:
    """How many runs the sweep adds to the command's own (for the progress bar)."""
    if not opts.wants_sweep:
        return 0
    rows = len(opts.feature_groups) if opts.feature_groups else len(opts.features or feature_names)
    # With --features the command's run is not the all-features run, which then runs too.
    return rows + (1 if opts.features is not None else 0)

