"""Every line of terminal text the command prints."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any, TextIO

from korvan.cli.job import Job, Outcome
from korvan.roles import roles_table
from korvan.stats import summary_lines
from korvan.sweep import sweep_lines
from korvan.text import count_of, level_text, name_list, points, signed_percent


__all__ = ["comparison_lines", "print_comparison", "print_roles", "print_summary", "print_sweep"]

#: Rows of the ranked table printed; the saved sweep has all of them.
PRINTED_ROWS = 30



def print_roles(job: Job, out: TextIO) -> None:
    """The role of every column, so that a wrong inference is seen before the run."""
    print(f"Columns of {job.dataset.name}:", file=out)
    print(roles_table(job.roles), file=out)
    for note in job.notes:
        print(note, file=out)
    print("", file=out)



def print_summary(job: Job, outcome: Outcome, paths: dict[str, Path], out: TextIO) -> None:
    """The table of scores, the mean drop per level, the worst rows and the files."""
    opts, ds, metric, result = job.opts, job.dataset, job.metric, outcome.result
    table = result.table
    n_rows = ds.get_X_y_data(opts.split)[0].shape[0]
    better = "higher" if metric.higher_is_better else "lower"
    rows = f"all {n_rows} rows" if opts.split == "main" else f"{opts.split} split, {n_rows} rows"
    print(f"Robustness of {outcome.model.name} on {ds.name} ({ds.task_type}, {rows})", file=out)
    print(f"Metric {metric.name} ({better} is better), {opts.n_repeats} repeats per level, "
          f"{opts.method} noise on {len(job.features)} of {len(ds.feature_names)} features, "
          f"seed {opts.seed}", file=out)
    print("", file=out)
    print(f"{metric.name} per repeat and noise level:", file=out)
    print(table.to_string(float_format=lambda v: f"{v:.6g}"), file=out)
    print("", file=out)
    for line in summary_lines(result.summary, metric.name):
        print(line, file=out)
    info = result.value["data_info"]
    n_worst, n_rest = len(info["sample_idx1"]), len(info["sample_idx2"])
    print("", file=out)
    first = level_text(float(table.columns[1])) if table.shape[1] > 1 else "the first level"
    print(f"Worst group: {n_worst} rows, whose predictions move most at noise {first}; "
          f"remaining: {n_rest} rows", file=out)
    if n_worst == 0 or n_rest == 0:
        print(_empty_group_note(opts.threshold, n_worst), file=out)
    labels = info.get("row_labels1", [])
    if labels:
        print(f"  Rows, most affected first: {name_list(labels, 10)}", file=out)
    if outcome.sweep is not None:
        print_sweep(out, outcome.sweep)
    print("", file=out)
    width = max(len(label) for label in paths) + 1
    for label, path in paths.items():
        print(f"{label + ':':<{width}} {path}", file=out)
    if outcome.workers is not None:
        print(f"Rounds computed on {outcome.workers}", file=out)
    print(_format_times(job.seconds), file=out)



def _signed_points(value: float) -> str:
    return points(value, signed=True)


def comparison_lines(comparison: Any) -> list[str]:
    """The comparison table: models as rows, most robust first.

    Columns: the baseline score, the relative drop at each level, and at the
    largest level the drop's difference to the best model (percentage points)
    with its 95% paired interval.
    """
    levels = comparison.levels
    last = levels[-1] if levels else None
    best = comparison.best
    against = comparison.against_best()
    header = ["Model", "Baseline"] + [f"Drop@{v:g}" for v in levels]
    if last is not None:
        header += [f"vs {best}", "95% paired interval", "Larger drop"]
    rows = [header]
    for name in comparison.ranking:
        summary = comparison.results[name].summary
        row = [name, f"{summary['mean'].iloc[0]:,.6g}"]
        row += [signed_percent(float(summary["rel_drop"].loc[v])) for v in levels]
        if last is not None:
            if name == best:
                row += ["best", "", ""]
            else:
                p = against.loc[(name, last)]
                n = int(p["repeats"])
                low, high = float(p["drop_diff_low"]), float(p["drop_diff_high"])
                interval = ("" if not math.isfinite(low)
                            else f"{_signed_points(low)} .. {_signed_points(high)}")
                row += [_signed_points(float(p["drop_diff"])), interval,
                        count_of(p["share_a_drops_more"], n)]
        rows.append(row)
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    lines = ["  " + "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                              for i, (cell, w) in enumerate(zip(r, widths))).rstrip()
             for r in rows]
    lines.append("  Drop: how much worse the mean score is than the model's own baseline, as a "
                 "share of it.")
    if last is not None and len(rows) > 2:
        lines.append(f"  vs {best}: how many points more each model drops at noise {last:g}, "
                     "repeat by repeat on the same perturbed rows; 95% paired t interval.")
    return lines


def print_comparison(job: Job, outcome: Outcome, paths: dict[str, Path], out: TextIO) -> None:
    """The comparison table, one sentence per pair, each model's sweep, the files."""
    opts, ds, metric, comparison = job.opts, job.dataset, job.metric, outcome.result
    n_rows = ds.get_X_y_data(opts.split)[0].shape[0]
    better = "higher" if metric.higher_is_better else "lower"
    print(f"Comparison of {len(comparison.names)} models on {ds.name} ({ds.task_type}, "
          f"{opts.split} split, {n_rows} rows): {name_list(comparison.names)}", file=out)
    print(f"Metric {metric.name} ({better} is better), {opts.n_repeats} repeats per level, "
          f"{opts.method} noise on {len(job.features)} of {len(ds.feature_names)} features, "
          f"seed {opts.seed}; every model scored on the same perturbed rows", file=out)
    print("", file=out)
    for line in comparison_lines(comparison):
        print(line, file=out)
    sentences = comparison.sentences() if comparison.levels else []
    if sentences:
        print("", file=out)
        for sentence in sentences:
            print(f"  {sentence}.", file=out)
    for name, found in (outcome.sweep or {}).items():
        print("", file=out)
        print(f"{name}:", file=out, end="")
        print_sweep(out, found)
    print("", file=out)
    width = max(len(label) for label in paths) + 1
    for label, path in paths.items():
        print(f"{label + ':':<{width}} {path}", file=out)
    print(_format_times(job.seconds), file=out)



def _empty_group_note(threshold: float, n_worst: int) -> str:
    if n_worst == 0:
        return (f"Note: the worst group is empty at --threshold {threshold:g}; raise it to "
                f"compare the rows that move most with the rest")
    return (f"Note: --threshold {threshold:g} puts every row in the worst group, leaving none "
            f"to compare it with; lower it to compare")



def _format_times(seconds: dict[str, float]) -> str:
    total = seconds.get("total", 0.0)
    parts = [f"{name} {seconds[name]:.2f}" for name in
             ("read", "load", "fit", "predict", "perturb", "rounds", "write") if name in seconds]
    return f"Time: {total:.2f} s in all ({', '.join(parts)})"



def print_sweep(out: TextIO, found: Any) -> None:
    """Print the ranked table."""
    what = "feature group" if found.grouped else "feature"
    print("", file=out)
    print(f"Drop of the mean {found.metric} per {what}, each perturbed alone, largest first:",
          file=out)
    for line in sweep_lines(found, limit=PRINTED_ROWS):
        print(line, file=out)

