"""Summary statistics of a score table and the pass/fail verdict on them.

Everything that reports a robustness figure (the result object, the command,
the report, the per-feature sweep) reads it from here, so each number is
computed in one place.

A score table has one row per repeat and one column per noise level, the
baseline (level 0, the unperturbed score) first.  Drops are signed so that a
positive drop always means *worse*, whichever way the metric points: for MSE a
higher score is a drop, for AUC a lower one.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Iterable, Mapping, Sequence

import numpy as np
import pandas as pd
from scipy import stats as sps

from korvan.text import DROP_MEANING, count_of, percent, signed_percent

__all__ = [
    "CONFIDENCE",
    "INTERVAL_METHOD",
    "PAIRED_COLUMNS",
    "SUMMARY_COLUMNS",
    "Verdict",
    "check_limit",
    "check_summaries",
    "check_summary",
    "find_level",
    "higher_is_better",
    "paired",
    "summarize",
    "summary_from_dict",
    "summary_to_dict",
    "tested_level",
]

#: Coverage of the interval of the mean score.
CONFIDENCE = 0.95
#: How the interval is computed, as stated in printed and saved summaries.
INTERVAL_METHOD = "95% t interval of the mean over repeats"
#: Note attached to a summary whose levels have a single repeat each.
NO_INTERVAL_NOTE = "one repeat per level: no spread and no interval (they need two or more repeats)"

#: Columns of a summary, in order.
SUMMARY_COLUMNS: tuple[str, ...] = (
    "repeats",       # scores at the level that are numbers
    "mean",          # mean score over repeats
    "std",           # sample standard deviation (ddof=1)
    "min",
    "max",
    "ci_low",        # interval of the mean score
    "ci_high",
    "drop",          # signed: positive is worse than the baseline
    "drop_low",      # interval of the drop (the baseline is one fixed number)
    "drop_high",
    "rel_drop",      # drop as a share of |baseline|
    "rel_drop_low",
    "rel_drop_high",
    "share_worse",   # share of repeats scoring worse than the baseline
)


def higher_is_better(metric: str) -> bool:
    """Return whether a higher score is better for a metric (case is ignored).

    Raises
    ------
    ValueError
        If ``metric`` names no known metric.
    """
    from korvan.metrics import get_metric

    return get_metric(metric).higher_is_better


def _score_matrix(table: pd.DataFrame) -> tuple[np.ndarray, list[float]]:
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"table must be a pandas DataFrame, got {type(table).__name__}")
    if table.shape[1] == 0 or table.shape[0] == 0:
        raise ValueError("table must have at least one repeat and the baseline column")
    try:
        levels = [float(c) for c in table.columns]
        scores = table.to_numpy(dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"table must hold numbers under numeric noise levels: {exc}") from None
    if levels[0] != 0.0:
        raise ValueError(f"the first column must be the baseline (noise level 0), got {levels[0]:g}")
    return scores, levels


def summarize(table: pd.DataFrame, higher_is_better: bool,
              confidence: float = CONFIDENCE) -> pd.DataFrame:
    """Summarise a score table level by level.

    Parameters
    ----------
    table : pandas.DataFrame
        Scores: one row per repeat, one column per noise level with the
        baseline (level 0) first.  NaN scores are left out of a level's
        figures (``repeats`` counts the rest).
    higher_is_better : bool
        Direction of the metric; sets the sign of the drops.
    confidence : float, default 0.95
        Coverage of the interval of the mean.

    Returns
    -------
    pandas.DataFrame
        Indexed by noise level (baseline first), with :data:`SUMMARY_COLUMNS`:

        - ``mean``, ``std`` (ddof=1), ``min``, ``max`` of the score;
        - ``ci_low``, ``ci_high``: a Student t interval of the mean,
          ``mean -/+ t(1 - (1 - confidence) / 2, n - 1) * std / sqrt(n)``;
        - ``drop``: ``baseline - mean`` when higher is better, ``mean -
          baseline`` when lower is better, so positive is worse; ``drop_low``,
          ``drop_high`` the interval of the mean carried over;
        - ``rel_drop`` (and its interval): the drop over ``|baseline|``, NaN
          when the baseline is 0;
        - ``share_worse``: share of repeats strictly worse than the baseline.

        The baseline is the mean of the first column.  With fewer than two
        repeats at a level its ``std`` and intervals are NaN;
        ``summary.attrs["note"]`` then says why, and is empty otherwise.
        ``summary.attrs`` also holds ``interval`` (the method),
        ``confidence``, ``higher_is_better`` and ``baseline``.
    """
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must lie strictly between 0 and 1, got {confidence!r}")
    scores, levels = _score_matrix(table)
    sign = 1.0 if higher_is_better else -1.0
    base = scores[:, 0][~np.isnan(scores[:, 0])]
    baseline = math.nan if base.size == 0 else (
        float(base[0]) if base.min() == base.max() else float(base.mean()))
    scale = abs(baseline)
    rows = []
    single = False
    for j in range(scores.shape[1]):
        col = scores[:, j]
        col = col[~np.isnan(col)]
        n = int(col.size)
        if n == 0:
            rows.append([0] + [math.nan] * (len(SUMMARY_COLUMNS) - 1))
            continue
        lo, hi = float(col.min()), float(col.max())
        # Equal scores (the baseline column) keep their exact value: a
        # rounded mean would make the baseline differ from itself.
        mean = lo if lo == hi else float(col.mean())
        if n >= 2:
            std = 0.0 if lo == hi else float(col.std(ddof=1))
            half = float(sps.t.ppf(0.5 + confidence / 2.0, n - 1)) * std / math.sqrt(n)
            ci_low, ci_high = mean - half, mean + half
        else:
            single = True
            std = ci_low = ci_high = math.nan
        # "+ 0.0" turns -0.0 into 0.0.
        drop = sign * (baseline - mean) + 0.0
        # The drop falls as the mean rises when higher is better: swap the ends.
        ends = sorted((sign * (baseline - ci_low) + 0.0, sign * (baseline - ci_high) + 0.0))
        rel = [v / scale if scale > 0 else math.nan for v in (drop, *ends)]
        worse = (col < baseline) if higher_is_better else (col > baseline)
        rows.append([n, mean, std, lo, hi, ci_low, ci_high,
                     drop, ends[0], ends[1], rel[0], rel[1], rel[2], float(worse.mean())])
    summary = pd.DataFrame(rows, columns=list(SUMMARY_COLUMNS),
                           index=pd.Index(levels, name="Noise Level"))
    summary["repeats"] = summary["repeats"].astype(np.int64)
    summary.attrs.update(
        interval=f"{confidence:.0%} t interval of the mean over repeats",
        confidence=confidence,
        higher_is_better=bool(higher_is_better),
        baseline=baseline,
        note=NO_INTERVAL_NOTE if single else "",
    )
    return summary


def _finite(value: Any) -> float | None:
    value = float(value)
    return value if math.isfinite(value) else None


def summary_to_dict(summary: pd.DataFrame) -> dict[str, Any]:
    """Return a summary as plain JSON values (NaN as ``None``)."""
    return {
        "levels": [float(v) for v in summary.index],
        "columns": list(summary.columns),
        "data": {c: [_finite(v) if c != "repeats" else int(v) for v in summary[c]]
                 for c in summary.columns},
        "attrs": {k: (_finite(v) if isinstance(v, float) else v)
                  for k, v in summary.attrs.items()},
    }


def summary_from_dict(payload: Mapping[str, Any]) -> pd.DataFrame:
    """Rebuild a summary from :func:`summary_to_dict` output.

    Raises
    ------
    ValueError
        If ``payload`` is not a saved summary.
    """
    try:
        columns = list(payload["columns"])
        data = {c: pd.Series(payload["data"][c], dtype="float64") for c in columns}
        summary = pd.DataFrame(data, columns=columns)
        summary.index = pd.Index([float(v) for v in payload["levels"]], name="Noise Level")
        if "repeats" in summary:
            summary["repeats"] = summary["repeats"].astype(np.int64)
        attrs = dict(payload.get("attrs") or {})
        if attrs.get("baseline") is None:
            attrs["baseline"] = math.nan
        summary.attrs.update(attrs)
        return summary
    except (KeyError, TypeError, ValueError) as exc:
        raise ValueError(f"Not a saved summary: missing or malformed {exc}") from None


# -- two models on the same rounds ------------------------------------------------

#: Columns of a paired comparison, in order.
PAIRED_COLUMNS: tuple[str, ...] = (
    "repeats",           # repeats where both scores are numbers
    "mean_diff",         # mean over repeats of score a - score b
    "ci_low",            # paired t interval of that mean
    "ci_high",
    "share_a_better",    # share of repeats where a scores better (by the metric's direction)
    "drop_diff",         # mean of a's relative drop - b's, repeat by repeat (positive: a drops more)
    "drop_diff_low",
    "drop_diff_high",
    "share_a_drops_more",
)


def _t_interval(values: np.ndarray, confidence: float) -> tuple[float, float, float]:
    """(mean, low, high) of a t interval; NaN ends for fewer than two values."""
    n = values.size
    if n == 0:
        return math.nan, math.nan, math.nan
    lo, hi = float(values.min()), float(values.max())
    mean = lo if lo == hi else float(values.mean())
    if n < 2:
        return mean, math.nan, math.nan
    std = 0.0 if lo == hi else float(values.std(ddof=1))
    half = float(sps.t.ppf(0.5 + confidence / 2.0, n - 1)) * std / math.sqrt(n)
    return mean, mean - half, mean + half


def _relative_drops(scores: np.ndarray, sign: float) -> np.ndarray:
    """Per repeat and level: the drop from the baseline as a share of |baseline|."""
    base = scores[:, 0][~np.isnan(scores[:, 0])]
    baseline = math.nan if base.size == 0 else (
        float(base[0]) if base.min() == base.max() else float(base.mean()))
    scale = abs(baseline)
    if not scale > 0:
        return np.full_like(scores, math.nan)
    return sign * (baseline - scores) / scale


def paired(table_a: pd.DataFrame, table_b: pd.DataFrame, higher_is_better: bool,
           confidence: float = CONFIDENCE) -> pd.DataFrame:
    """Compare two models' score tables repeat by repeat.

    Both tables must come from runs with the same levels, repeats and seeds,
    so that row ``i`` of each holds the scores on the same perturbed matrix:
    the difference of a pair removes what the two scores share (how hard
    that round's noise happened to be), which makes the interval of the mean
    difference much narrower than that of two independent means.

    Parameters
    ----------
    table_a, table_b : pandas.DataFrame
        Score tables (see :func:`summarize`) with the same columns and rows.
    higher_is_better : bool
        Direction of the metric.
    confidence : float, default 0.95

    Returns
    -------
    pandas.DataFrame
        Indexed by noise level (the baseline first), with
        :data:`PAIRED_COLUMNS`: ``mean_diff`` the mean of ``a - b`` over the
        repeats, ``ci_low``/``ci_high`` its paired t interval,
        ``share_a_better`` the share of repeats where a scores strictly
        better; ``drop_diff`` (and its interval) the mean of a's relative
        drop minus b's (0.041: a drops 4.1 points more), and
        ``share_a_drops_more`` the share of repeats where a's drop is
        strictly larger.  A repeat where either score is NaN is left out.
    """
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must lie strictly between 0 and 1, got {confidence!r}")
    a, levels = _score_matrix(table_a)
    b, levels_b = _score_matrix(table_b)
    if a.shape != b.shape or levels != levels_b:
        raise ValueError(
            f"the two score tables differ in shape: {a.shape[0]} repeats at levels "
            f"{', '.join(f'{v:g}' for v in levels)} against {b.shape[0]} repeats at levels "
            f"{', '.join(f'{v:g}' for v in levels_b)}; a paired comparison needs the same rounds")
    sign = 1.0 if higher_is_better else -1.0
    drops = _relative_drops(a, sign) - _relative_drops(b, sign)
    rows = []
    for j in range(a.shape[1]):
        both = ~(np.isnan(a[:, j]) | np.isnan(b[:, j]))
        diff = a[both, j] - b[both, j]
        n = int(diff.size)
        mean, low, high = _t_interval(diff, confidence)
        better = float((sign * diff > 0).mean()) if n else math.nan
        d = drops[both, j]
        d = d[~np.isnan(d)]
        d_mean, d_low, d_high = _t_interval(d, confidence)
        more = float((d > 0).mean()) if d.size else math.nan
        rows.append([n, mean, low, high, better, d_mean + 0.0, d_low, d_high, more])
    out = pd.DataFrame(rows, columns=list(PAIRED_COLUMNS),
                       index=pd.Index(levels, name="Noise Level"))
    out["repeats"] = out["repeats"].astype(np.int64)
    out.attrs.update(interval=f"{confidence:.0%} paired t interval of the mean difference",
                     confidence=confidence, higher_is_better=bool(higher_is_better))
    return out


# -- the verdict ---------------------------------------------------------------

class Judged:
    """A pass or a fail: ``bool()`` is whether it passed, ``str()`` its one-line message."""

    passed: bool
    message: str

    def __bool__(self) -> bool:
        return self.passed

    def __str__(self) -> str:
        return self.message


@dataclass(frozen=True)
class Verdict(Judged):
    """Whether the mean score held up within a limit.

    Attributes
    ----------
    passed : bool
        True when no checked relative drop exceeds ``limit``.  A drop that
        cannot be computed (a baseline of 0, no scores) fails.
    level : float or None
        The noise level with the largest relative drop (of the worst
        feature, for a per-feature check).
    drop : float
        The relative drop there (``0.05`` is 5%); NaN when undefined.
    limit : float
        The largest relative drop allowed.
    message : str
        One line starting ``PASS:`` or ``FAIL:``, naming the worst level,
        its drop and the limit.
    feature : str or None
        For a per-feature check, the feature (or group) with the worst drop.
    failed : tuple of str
        For a per-feature check, every feature over the limit, worst first.
    """

    passed: bool
    level: float | None
    drop: float
    limit: float
    message: str
    feature: str | None = None
    failed: tuple[str, ...] = field(default=())


    def to_dict(self) -> dict[str, Any]:
        """Return the verdict as plain JSON values."""
        return {"passed": self.passed, "level": self.level, "drop": _finite(self.drop),
                "limit": self.limit, "message": self.message, "feature": self.feature,
                "failed": list(self.failed)}


def check_limit(max_drop: Any) -> float:
    """Return ``max_drop`` as a float, or raise ValueError if it is no valid limit."""
    if isinstance(max_drop, bool) or not isinstance(max_drop, (int, float, np.number)):
        raise ValueError(f"max_drop must be a number (0.05 allows a 5% drop), got {max_drop!r}")
    limit = float(max_drop)
    if not (math.isfinite(limit) and limit >= 0):
        raise ValueError(f"max_drop must be a finite number >= 0, got {max_drop!r}")
    return limit


def find_level(levels: Iterable[float], level: float) -> float | None:
    """The level of ``levels`` that ``level`` names, or None.

    Levels travel through JSON, text and arithmetic (``0.1 * 3``), so two
    levels within rounding of each other are the same level.
    """
    for v in levels:
        if math.isclose(float(v), float(level), rel_tol=1e-9, abs_tol=1e-12):
            return float(v)
    return None


def tested_level(levels: Sequence[float], level: Any) -> float:
    """The tested level that ``level`` names.

    Raises
    ------
    ValueError
        If ``level`` is not a number or was not tested; the message lists
        the tested levels.
    """
    if isinstance(level, bool) or not isinstance(level, (int, float, np.number)):
        raise ValueError(f"level must be a number, got {level!r}")
    found = find_level(levels, level)
    if found is None:
        raise ValueError(f"noise level {float(level):g} was not tested; tested levels are: "
                         f"{', '.join(f'{float(v):g}' for v in levels)}")
    return found


def _checked_levels(summary: pd.DataFrame, level: Any) -> list[float]:
    tested = [float(v) for v in summary.index[1:]]
    if not tested:
        raise ValueError("the result has no perturbed noise level to check")
    return tested if level is None else [tested_level(tested, level)]


def _worst(summary: pd.DataFrame, levels: Sequence[float]) -> tuple[float, float]:
    """(level, relative drop) of the worst level; an undefined drop is the worst."""
    drops = summary["rel_drop"]
    worst_level, worst = levels[0], -math.inf
    for v in levels:
        d = float(drops.loc[v])
        if not math.isfinite(d):
            return v, math.nan
        if d > worst:
            worst_level, worst = v, d
    return worst_level, worst


def _over(drop: float, limit: float) -> bool:
    return not math.isfinite(drop) or drop > limit


def _where(level: Any, worst_level: float) -> str:
    # "worst" only when several levels were compared.
    return f"noise level {worst_level:g}" if level is not None else f"worst noise level {worst_level:g}"


def check_summary(summary: pd.DataFrame, max_drop: float, level: float | None = None,
                  metric: str | None = None) -> Verdict:
    """Check a summary's relative drops against a limit.

    Parameters
    ----------
    summary : pandas.DataFrame
        What :func:`summarize` returned.
    max_drop : float
        Largest relative drop of the mean score allowed (0.05: 5% worse
        than the baseline).  A drop equal to the limit passes.
    level : float, optional
        Check this noise level only; default every tested level.
    metric : str, optional
        Metric name, shown in the message.

    Raises
    ------
    ValueError
        If ``max_drop`` is not a number >= 0, or ``level`` was not tested.
    """
    limit = check_limit(max_drop)
    levels = _checked_levels(summary, level)
    worst_level, drop = _worst(summary, levels)
    what = f"mean {metric}" if metric else "mean score"
    where = _where(level, worst_level)
    if not math.isfinite(drop):
        baseline = summary.attrs.get("baseline", math.nan)
        why = ("the baseline score is 0" if baseline == 0 else "the score is not a number")
        return Verdict(False, worst_level, math.nan, limit,
                       f"FAIL: {what} drop at {where} cannot be computed ({why}); "
                       f"limit {percent(limit)}")
    passed = drop <= limit
    verb = "PASS" if passed else "FAIL"
    rel = "within" if passed else "over"
    return Verdict(passed, worst_level, drop, limit,
                   f"{verb}: {what} drop {percent(drop)} at {where}, {rel} the limit {percent(limit)}")


def check_summaries(summaries: Iterable[tuple[str, pd.DataFrame]], max_drop: float,
                    level: float | None = None, metric: str | None = None) -> Verdict:
    """Check the summary of each feature (or group) against the same limit.

    Parameters
    ----------
    summaries : iterable of (name, summary)
        One summary per feature or feature group.
    max_drop, level, metric
        As for :func:`check_summary`.

    Returns
    -------
    Verdict
        ``feature`` and ``level`` name the worst feature and its worst level;
        ``failed`` lists every feature over the limit, worst first.
    """
    limit = check_limit(max_drop)
    found = []
    for name, summary in summaries:
        found.append((str(name), *_worst(summary, _checked_levels(summary, level))))
    if not found:
        raise ValueError("there is no feature to check")
    # Undefined drops sort first: they fail and are the least known.
    found.sort(key=lambda item: (math.isfinite(item[2]), -item[2] if math.isfinite(item[2]) else 0))
    failed = tuple(name for name, _, drop in found if _over(drop, limit))
    name, worst_level, drop = found[0]
    what = f"mean {metric}" if metric else "mean score"
    where = _where(level, worst_level)
    if failed:
        shown = ", ".join(failed[:10]) + (f" and {len(failed) - 10} more" if len(failed) > 10 else "")
        message = (f"FAIL: {len(failed)} of {len(found)} features over the limit {percent(limit)}: "
                   f"{shown}; worst {name}, {what} drop {percent(drop)} at {where}")
    else:
        message = (f"PASS: all {len(found)} features within the limit {percent(limit)}; worst "
                   f"{name}, {what} drop {percent(drop)} at {where}")
    return Verdict(not failed, worst_level, drop, limit, message, feature=name, failed=failed)


def check_breakdown(overall: pd.DataFrame, parts: Iterable[tuple[str, pd.DataFrame]],
                    max_drop: float, level: float | None = None, metric: str | None = None,
                    overall_name: str = "(all features)", kind: str = "features") -> Verdict:
    """Hold a run with every feature perturbed and each part of its breakdown to one limit.

    A breakdown adds checks and never removes one: the all-features run is
    held to the limit as it is on its own, and so is every feature (or
    group).  The message names what was held and what went over.

    Parameters
    ----------
    overall : pandas.DataFrame
        Summary of the run with every feature perturbed.
    parts : iterable of (name, summary)
        One summary per feature or group.
    max_drop, level, metric
        As for :func:`check_summary`.
    overall_name : str
        Name of the all-features run in the message and in ``failed``.
    kind : str
        What the parts are, for the message: ``"features"`` or
        ``"feature groups"``.

    Returns
    -------
    Verdict
        ``feature`` names the worst of them all, ``failed`` every one over
        the limit, worst first.
    """
    limit = check_limit(max_drop)
    found = [(overall_name, *_worst(overall, _checked_levels(overall, level)))]
    for name, summary in parts:
        found.append((str(name), *_worst(summary, _checked_levels(summary, level))))
    n_parts = len(found) - 1
    found.sort(key=lambda item: (math.isfinite(item[2]), -item[2] if math.isfinite(item[2]) else 0))
    failed = [(name, drop) for name, _, drop in found if _over(drop, limit)]
    name, worst_level, drop = found[0]
    what = f"mean {metric}" if metric else "mean score"
    held = f"the all-features run and {n_parts} {kind}"
    where = _where(level, worst_level)
    if failed:
        listed = ", ".join(f"{n} {percent(d)}" for n, d in failed[:10])
        more = f" and {len(failed) - 10} more" if len(failed) > 10 else ""
        message = (f"FAIL: {held} held to the limit {percent(limit)}; over it: {listed}{more} "
                   f"({what} drop; worst {name} at {where})")
    else:
        message = (f"PASS: {held} within the limit {percent(limit)}; largest {what} drop "
                   f"{percent(drop)}, {name} at {where}")
    return Verdict(not failed, worst_level, drop, limit, message, feature=name,
                   failed=tuple(n for n, _ in failed))


# -- text ----------------------------------------------------------------------

def _num(value: float) -> str:
    return f"{value:.6g}" if math.isfinite(value) else "n/a"


def summary_lines(summary: pd.DataFrame, metric: str | None = None) -> list[str]:
    """Return a summary as aligned text lines for a terminal.

    One row per level: mean score, standard deviation, the interval of the
    mean, the relative drop and how many repeats scored worse than the
    baseline, followed by lines explaining the drop and the interval.
    """
    name = metric or "score"
    rows = [("Noise level", f"Mean {name}", "Std", summary.attrs.get("interval", "Interval")
             .split(" t interval")[0] + " interval", "Drop", "Worse")]
    for i, (level, row) in enumerate(summary.iterrows()):
        if i == 0:
            rows.append(("0 (baseline)", _num(row["mean"]), "", "", "", ""))
            continue
        interval = ("" if not math.isfinite(row["ci_low"])
                    else f"{_num(row['ci_low'])} .. {_num(row['ci_high'])}")
        n = int(row["repeats"])
        worse = count_of(row["share_worse"], n)
        rows.append((f"{level:g}", _num(row["mean"]), _num(row["std"]) if n > 1 else "",
                     interval, signed_percent(row["rel_drop"]), worse))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = ["  " + "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                              for i, (cell, w) in enumerate(zip(r, widths))).rstrip()
             for r in rows]
    lines.append(f"  Drop: {DROP_MEANING}.")
    lines.append("  Worse: repeats scoring worse than the baseline.")
    lines.append(f"  Interval: {summary.attrs.get('interval', INTERVAL_METHOD)}.")
    if summary.attrs.get("note"):
        lines.append(f"  Note: {summary.attrs['note']}.")
    return lines
