"""Which features break the model: the robustness test once per feature or group.

A sweep is a list of run plans, one per feature (or group of
features perturbed together) plus one for all features, each an ordinary
``run`` call with the same split, metric, seeds, levels, repeats and method.
A row of the sweep is therefore exactly the score table that
``test.run(perturb_features=[name], ...)`` gives.

Entry points
------------
:func:`sweep`
    Plan, run and collect in one call; returns a :class:`FeatureSweep`.
:func:`plan_sweep` and :func:`run_specs`
    The two halves, for a driver that runs the plans its own way.
    ``run_specs(test, specs, executor=pool)`` hands each plan to
    ``pool.map`` (a :class:`concurrent.futures.Executor` or anything with an
    order-keeping ``map(fn, iterable)``); :func:`run_spec` is the module-level
    function mapped, so process pools can pickle it.  :meth:`FeatureSweep.
    from_runs` assembles the results in the order of the plans.
"""

from __future__ import annotations

import functools
import json
import math
import os
from dataclasses import dataclass, field
from typing import Any, Hashable, Iterable, Mapping, Sequence

import pandas as pd

from korvan import stats
from korvan.parallel.baseline import one_baseline
from korvan.report.display import HtmlDisplay
from korvan.jsonable import to_jsonable
from korvan.result import ValidationResult
from korvan.text import DROP_MEANING, run_subtitle, signed_percent

__all__ = ["ALL_FEATURES", "FeatureSweep", "RunSpec", "SweepRow", "feature_lists", "plan_sweep",
           "run_spec", "run_specs", "sweep", "sweep_lines"]

#: Name of the run that perturbs every feature, the sweep's reference.
ALL_FEATURES = "(all features)"
#: Type of a group holding both numerical and categorical features.
MIXED = "mixed"
#: Arguments of ``run`` a sweep passes on unchanged to every run.
RUN_ARGUMENTS = ("dataset", "metric", "n_repeats", "perturb_method", "noise_levels", "threshold",
                 "random_state")


@dataclass(frozen=True)
class RunSpec:
    """One run of a sweep.

    Attributes
    ----------
    name : str
        Row label: the feature's name, the group's label or
        :data:`ALL_FEATURES`.
    features : tuple or None
        Features perturbed together; None perturbs every feature.
    run_kwargs : dict
        The other ``run`` arguments, the same for every run of a sweep.
    """

    name: str
    features: tuple[Hashable, ...] | None
    run_kwargs: Mapping[str, Any] = field(default_factory=dict)

    def kwargs(self) -> dict[str, Any]:
        """The keyword arguments of this run's ``test.run`` call."""
        chosen = None if self.features is None else list(self.features)
        return {**self.run_kwargs, "perturb_features": chosen}


def run_spec(test: Any, spec: RunSpec, keep_results: bool = False) -> ValidationResult:
    """Run one plan on a test object and return its result.

    Unless ``keep_results``, the result's per-repeat predictions and worst
    samples (``value``) are dropped: a sweep over p features would
    otherwise hold p copies of them, and its summary and charts need only
    the score table and the chart options.
    """
    result = test.run(**spec.kwargs())
    if not keep_results:
        result.value = None
    return result


def run_specs(test: Any, specs: Sequence[RunSpec], executor: Any = None,
              keep_results: bool = False) -> list[ValidationResult]:
    """Run plans and return their results in the same order.

    Parameters
    ----------
    test : object
        What runs them: ``RobustnessTest(dataset, model)`` or any object
        with the same ``run`` method.
    specs : sequence of RunSpec
        From :func:`plan_sweep`.
    executor : object, optional
        Anything with an order-keeping ``map(fn, iterable)``, such as a
        :class:`concurrent.futures.Executor`; default one after another in
        this thread.
    keep_results : bool, default False
        Keep each run's predictions (see :func:`run_spec`).
    """
    # The runs share the split and the model: its unperturbed prediction is made once.
    with one_baseline(test):
        call = functools.partial(run_spec, test, keep_results=keep_results)
        mapped = map(call, specs) if executor is None else executor.map(call, specs)
        return list(mapped)


def _group_type(types: Sequence[str]) -> str:
    distinct = set(types)
    return distinct.pop() if len(distinct) == 1 else MIXED


def feature_lists(feature_names: Sequence[Hashable], features: Any = None,
                  groups: Any = None) -> list[tuple[str, tuple[Hashable, ...]]]:
    """Label and names of each run of a sweep, checked against ``feature_names``.

    Raises
    ------
    ValueError
        If a feature is unknown or named twice in one group, a group is
        empty, or two groups share a label.
    """
    known = list(feature_names)
    known_set = set(known)

    def check(names: Iterable[Any], where: str) -> tuple[Hashable, ...]:
        names = tuple(names)
        if not names:
            raise ValueError(f"{where} is empty")
        for name in names:
            if name not in known_set:
                raise ValueError(f"{where}: unknown feature {name!r}; valid features are: "
                                 f"{', '.join(map(str, known))}")
        if len(set(names)) != len(names):
            raise ValueError(f"{where} names a feature twice: {', '.join(map(str, names))}")
        return names

    if groups is not None:
        if features is not None:
            raise ValueError("give features or groups, not both")
        if isinstance(groups, Mapping):
            items = [(str(label), check(names if not isinstance(names, str) else [names],
                                        f"group {label!r}")) for label, names in groups.items()]
        elif isinstance(groups, (str, bytes)) or not isinstance(groups, Iterable):
            raise ValueError("groups must be a list of lists of feature names, or a mapping "
                             "from a label to such a list")
        else:
            items = []
            for i, names in enumerate(groups):
                if isinstance(names, str) or not isinstance(names, Iterable):
                    raise ValueError(f"group {i + 1} must be a list of feature names, got {names!r}")
                names = check(names, f"group {i + 1}")
                items.append(("+".join(map(str, names)), names))
        labels = [label for label, _ in items]
        if not items:
            raise ValueError("groups is empty")
        if len(set(labels)) != len(labels):
            raise ValueError(f"group labels must differ: {', '.join(labels)}")
        return items
    names = known if features is None else check(
        [features] if isinstance(features, str) else features, "features")
    return [(str(name), (name,)) for name in names]


def plan_sweep(test: Any, features: Any = None, groups: Any = None, include_all: bool = True,
               **run_kwargs: Any) -> list[RunSpec]:
    """List the runs of a sweep: one per feature or group, then all features.

    Parameters
    ----------
    test : object
        The test whose ``dataset`` names the features.
    features : sequence, optional
        Features to perturb one at a time; default every feature.
    groups : sequence of sequences, or mapping of label to sequence, optional
        Instead of single features, groups perturbed together (correlated
        features, say).  A list group is labelled by its names joined with
        ``+``.
    include_all : bool, default True
        End with the run that perturbs every feature, the reference.
    **run_kwargs
        The ``run`` arguments shared by every run: ``dataset``, ``metric``,
        ``n_repeats``, ``perturb_method``, ``noise_levels``, ``threshold``,
        ``random_state``.

    Raises
    ------
    ValueError
        For an unknown feature, an empty or repeated group, or a ``run``
        argument a sweep does not take.
    """
    unknown = [k for k in run_kwargs if k not in RUN_ARGUMENTS]
    if unknown:
        hint = "; use features or groups" if "perturb_features" in unknown else ""
        raise ValueError(f"a sweep does not take {', '.join(unknown)}{hint}; it passes on: "
                         f"{', '.join(RUN_ARGUMENTS)}")
    specs = [RunSpec(name, names, dict(run_kwargs))
             for name, names in feature_lists(test.dataset.feature_names, features, groups)]
    if include_all:
        specs.append(RunSpec(ALL_FEATURES, None, dict(run_kwargs)))
    return specs


@dataclass
class SweepRow:
    """One run of a sweep: its name, the features perturbed and their type, its result."""

    name: str
    features: tuple[Hashable, ...] | None
    type: str
    result: ValidationResult

    @property
    def summary(self) -> pd.DataFrame:
        """The run's summary (see :func:`korvan.stats.summarize`)."""
        return self.result.summary

    def to_dict(self) -> dict[str, Any]:
        return {"name": self.name, "features": to_jsonable(self.features), "type": self.type,
                "result": self.result.to_dict()}

    @classmethod
    def from_dict(cls, payload: Mapping[str, Any]) -> "SweepRow":
        features = payload.get("features")
        return cls(str(payload["name"]), None if features is None else tuple(features),
                   str(payload["type"]), ValidationResult.from_dict(payload["result"]))


def _level_key(level: float) -> str:
    return f"{level:g}"


# The figures the table holds per level, and the summary column each comes from.
_FIGURES = {"mean": "mean", "std": "std", "drop": "rel_drop", "drop_low": "rel_drop_low",
            "drop_high": "rel_drop_high"}


def _figures_at(table: pd.DataFrame, level: float) -> pd.DataFrame:
    # The one place that reads the table's "what@level" columns.
    key = _level_key(level)
    figures = table[[f"{what}@{key}" for what in _FIGURES]]
    figures.columns = list(_FIGURES)
    return pd.concat([table[["features", "type"]], figures], axis=1)


class FeatureSweep(HtmlDisplay):
    """The per-feature (or per-group) breakdown of a robustness test.

    Attributes
    ----------
    rows : list of SweepRow
        One per feature or group, in the order run.
    all_features : SweepRow or None
        The run perturbing every feature, the reference.
    data, model : str
        Names of the data set and model.
    inputs : dict
        The ``run`` arguments every run shared.

    ``to_html`` / ``save_html`` give its report as one HTML page, and
    notebooks show the ranking and bar chart (see
    :class:`korvan.report.HtmlDisplay`).
    """

    key = "feature_sweep"

    def __init__(self, rows: Sequence[SweepRow], all_features: SweepRow | None, data: Any,
                 model: Any, inputs: Mapping[str, Any]) -> None:
        if not rows:
            raise ValueError("a sweep needs at least one feature or group")
        self.rows = list(rows)
        self.all_features = all_features
        self.data = data
        self.model = model
        self.inputs = dict(inputs)

    def _report_parts(self, sweep: Any) -> tuple[Any, Any]:
        # A sweep's report shows the sweep, with its all-features run as the result.
        if sweep is not None:
            raise ValueError("a sweep's report shows that sweep; sweep= is for a result's report")
        return (self.all_features.result if self.all_features is not None else None), self

    def _display_json(self) -> dict[str, Any]:
        return to_jsonable({"key": self.key, "data": self.data, "model": self.model,
                            "metric": self.metric, "inputs": self.inputs,
                            "table": self.table.reset_index()})

    @classmethod
    def from_runs(cls, test: Any, specs: Sequence[RunSpec],
                  results: Sequence[ValidationResult]) -> "FeatureSweep":
        """Assemble a sweep from plans and their results, in the same order."""
        if len(specs) != len(results):
            raise ValueError(f"{len(specs)} plans but {len(results)} results")
        ds = test.dataset
        types = dict(zip(ds.feature_names, ds.feature_types))
        rows, reference = [], None
        for spec, result in zip(specs, results):
            if spec.features is None:
                reference = SweepRow(spec.name, None, _group_type(list(types.values())), result)
            else:
                rows.append(SweepRow(spec.name, spec.features,
                                     _group_type([types[f] for f in spec.features]), result))
        first = results[0]
        inputs = {k: v for k, v in (first.inputs or {}).items() if k != "perturb_features"}
        return cls(rows, reference, first.data, first.model, inputs)

    # -- figures -----------------------------------------------------------

    @property
    def metric(self) -> str | None:
        """The metric every run scored."""
        return self.rows[0].result.metric

    @property
    def levels(self) -> list[float]:
        """The perturbed noise levels (the baseline left out)."""
        return [float(v) for v in self.rows[0].summary.index[1:]]

    @property
    def grouped(self) -> bool:
        """Whether some row perturbs several features together (a sweep of groups)."""
        return any(len(row.features or ()) > 1 for row in self.rows)

    @property
    def table(self) -> pd.DataFrame:
        """The ranked table: one row per feature or group, largest drop first.

        Columns: ``features`` (the members, joined by ``, ``), ``type``
        (numerical, categorical or mixed) and for each noise level L:
        ``mean@L`` (mean score), ``std@L`` (its spread over repeats),
        ``drop@L`` (relative drop of the mean score, positive is worse) and
        ``drop_low@L``, ``drop_high@L`` (its 95% interval).  Sorted by the
        drop at the largest level; features whose drop is unknown come last.
        """
        records = []
        for row in self.rows:
            summary = row.summary
            record: dict[str, Any] = {"feature": row.name,
                                      "features": ", ".join(map(str, row.features or ())),
                                      "type": row.type}
            for level in summary.index[1:]:
                key = _level_key(level)
                for what, column in _FIGURES.items():
                    record[f"{what}@{key}"] = summary.at[level, column]
            records.append(record)
        table = pd.DataFrame.from_records(records).set_index("feature")
        rank = f"drop@{_level_key(self.levels[-1])}"
        return table.sort_values(rank, ascending=False, na_position="last", kind="stable")

    def at(self, level: float | None = None) -> pd.DataFrame:
        """The ranked table's figures at one level (default the largest).

        Same rows and order as :attr:`table`; columns ``features``, ``type``,
        ``mean``, ``std``, ``drop``, ``drop_low`` and ``drop_high``.
        """
        return _figures_at(self.table, self._level(level))

    def by_level(self) -> dict[float, pd.DataFrame]:
        """What :meth:`at` gives, for every tested level in order."""
        table = self.table
        return {level: _figures_at(table, level) for level in self.levels}

    def reference_at(self, level: float | None = None) -> dict[str, float]:
        """The all-features run's figures at one level, keyed as the columns of :meth:`at`.

        Raises
        ------
        ValueError
            If the sweep has no all-features run, or the level was not tested.
        """
        if self.all_features is None:
            raise ValueError("this sweep has no all-features run")
        row = self.all_features.summary.loc[self._level(level)]
        return {what: float(row[column]) for what, column in _FIGURES.items()}

    def _level(self, level: float | None) -> float:
        levels = self.levels
        return levels[-1] if level is None else stats.tested_level(levels, level)

    def check(self, max_drop: float, level: float | None = None) -> stats.Verdict:
        """Hold the all-features run and every feature (or group) to the same limit.

        A breakdown never loosens a limit: the all-features run is held to it
        as it would be on its own (see :func:`korvan.stats.check_breakdown`).
        A sweep without that run holds its rows only (see
        :func:`korvan.stats.check_summaries`).
        """
        rows = ((row.name, row.summary) for row in self.rows)
        if self.all_features is None:
            return stats.check_summaries(rows, max_drop, level=level, metric=self.metric)
        kind = ("feature groups" if any(len(r.features or ()) > 1 for r in self.rows)
                else "features")
        return stats.check_breakdown(self.all_features.summary, rows, max_drop, level=level,
                                     metric=self.metric, overall_name=ALL_FEATURES, kind=kind)

    def chart(self, level: float | None = None) -> Any:
        """The bar chart of the relative drop per feature at one level (default the largest).

        Bars in percent, largest first, with the 95% interval as error bars
        and the all-features drop as a dashed reference line.
        """
        import plotlane

        chosen = self._level(level)
        key = _level_key(chosen)
        figures = self.at(chosen)
        percent = figures[["drop", "drop_low", "drop_high"]] * 100.0
        has_interval = percent.iloc[:, 1].notna().any()
        chart = plotlane.barplot(
            x=list(figures.index), y=percent.iloc[:, 0].to_numpy(),
            low=percent.iloc[:, 1].to_numpy() if has_interval else None,
            high=percent.iloc[:, 2].to_numpy() if has_interval else None,
            orient="horizontal")
        what = f"mean {self.metric}" if self.metric else "mean score"
        chart.set_title("Drop per feature group" if self.grouped else "Drop per feature")
        chart.set_xaxis(axis_name="Feature", axis_type="category")
        chart.set_yaxis(axis_name=f"Drop of {what} at noise {key} (% of baseline; positive is worse)",
                        axis_type="value")
        if self.all_features is not None:
            ref = self.reference_at(chosen)["drop"] * 100.0
            if math.isfinite(ref):
                chart.set_reference(ref, "all features")
        return chart

    @property
    def options(self) -> dict[str, Any]:
        """The bar chart at the largest level, rendered (JSON-serialisable)."""
        return self.chart().render()

    def subtitle(self) -> str:
        """What was run, in one line for the chart."""
        return (f"{run_subtitle(to_jsonable(self.model), to_jsonable(self.data), self.inputs)}, "
                f"{self.inputs.get('n_repeats', 10)} repeats per level; "
                "error bars: 95% t interval")

    def plot(self, path: str | os.PathLike[str] | None = None, width: int = 800,
             height: int | None = None, level: float | None = None) -> Any:
        """Draw the bar chart; write a PNG to ``path``, or return the figure.

        The default height grows with the number of bars.
        """
        import plotlane

        if height is None:
            height = max(400, 140 + 28 * len(self.rows))
        options = self.chart(level).render()
        if path is None:
            return plotlane.to_figure(options, width=width, height=height, subtitle=self.subtitle())
        return plotlane.to_png(options, path, width=width, height=height, subtitle=self.subtitle())

    # -- saving ------------------------------------------------------------

    def __repr__(self) -> str:
        return (f"FeatureSweep(data={to_jsonable(self.data)!r}, model={to_jsonable(self.model)!r}, "
                f"{len(self.rows)} rows)\n{self.table!r}")

    def to_dict(self) -> dict[str, Any]:
        """Return the sweep as plain JSON values: every run, the ranked table and the chart."""
        return {
            "key": self.key,
            "data": to_jsonable(self.data),
            "model": to_jsonable(self.model),
            "metric": self.metric,
            "inputs": to_jsonable(self.inputs),
            "rows": [row.to_dict() for row in self.rows],
            "all_features": None if self.all_features is None else self.all_features.to_dict(),
            "table": to_jsonable(self.table.reset_index()),
            "options": to_jsonable(self.options),
        }

    def to_json(self, indent: int | None = None) -> str:
        """Return :meth:`to_dict` as a strict JSON string (no NaN)."""
        return json.dumps(self.to_dict(), indent=indent, allow_nan=False)

    def save(self, path: str | os.PathLike[str]) -> str:
        """Write :meth:`to_json` to a file and return its path."""
        text = self.to_json()
        path = os.fspath(path)
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(text)
        return path

    @classmethod
    def from_dict(cls, payload: Mapping[str, Any]) -> "FeatureSweep":
        """Rebuild a sweep from :meth:`to_dict` output; table and chart are rebuilt from the runs."""
        try:
            if payload.get("key") != cls.key:
                raise KeyError("key")
            rows = [SweepRow.from_dict(r) for r in payload["rows"]]
            ref = payload.get("all_features")
            return cls(rows, None if ref is None else SweepRow.from_dict(ref), payload["data"],
                       payload["model"], payload.get("inputs") or {})
        except (KeyError, TypeError) as exc:
            raise ValueError(f"Not a saved feature sweep: missing or malformed {exc}") from None

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> "FeatureSweep":
        """Read a sweep written by :meth:`save`."""
        with open(path, encoding="utf-8") as fh:
            return cls.from_dict(json.load(fh))


def sweep(test: Any, features: Any = None, groups: Any = None, *, include_all: bool = True,
          executor: Any = None, keep_results: bool = False, **run_kwargs: Any) -> FeatureSweep:
    """Run the robustness test once per feature (or group), and once on all features.

    Parameters
    ----------
    test : object
        ``RobustnessTest(dataset, model)``, or any object with its ``run``
        and ``dataset``.
    features, groups, include_all
        Which runs to make, see :func:`plan_sweep`.
    executor : object, optional
        Runs the plans side by side, see :func:`run_specs`.
    keep_results : bool, default False
        Keep every run's predictions in ``row.result.value``.
    **run_kwargs
        ``dataset``, ``metric``, ``n_repeats``, ``perturb_method``,
        ``noise_levels``, ``threshold``, ``random_state``, as for ``run``.

    Returns
    -------
    FeatureSweep

    Examples
    --------
    >>> found = sweep(RobustnessTest(ds, model), noise_levels=[0.1, 0.5])  # doctest: +SKIP
    >>> found.table                      # largest drop at noise 0.5 first  # doctest: +SKIP
    >>> found.check(max_drop=0.05)       # every feature within 5%?         # doctest: +SKIP
    """
    specs = plan_sweep(test, features=features, groups=groups, include_all=include_all,
                       **run_kwargs)
    results = run_specs(test, specs, executor=executor, keep_results=keep_results)
    return FeatureSweep.from_runs(test, specs, results)


def sweep_lines(found: FeatureSweep, limit: int | None = None) -> list[str]:
    """Return the ranked table as aligned text lines for a terminal.

    One line per feature or group, largest drop first: its type, the drop at
    every level, and the 95% interval of the drop at the largest level; the
    all-features run last, as the reference.  ``limit`` shows only the
    first rows and says how many were left out.
    """
    levels = found.levels
    keys = [_level_key(v) for v in levels]
    head = ["Feature", "Type", *[f"Drop @{k}" for k in keys], f"95% interval @{keys[-1]}"]
    at = list(found.by_level().values())

    def line(name: str, kind: str, figures: Sequence[Mapping[str, Any]]) -> list[str]:
        low, high = figures[-1]["drop_low"], figures[-1]["drop_high"]
        interval = ("" if not math.isfinite(float(low))
                    else f"{signed_percent(low)} .. {signed_percent(high)}")
        return [name, kind, *[signed_percent(f["drop"]) for f in figures], interval]

    n = len(at[-1]) if limit is None else min(limit, len(at[-1]))
    rows = [line(str(name), str(at[-1].at[name, "type"]), [frame.loc[name] for frame in at])
            for name in at[-1].index[:n]]
    if found.all_features is not None:
        rows.append(line(found.all_features.name, found.all_features.type,
                         [found.reference_at(v) for v in levels]))
    widths = [max(len(r[i]) for r in [head, *rows]) for i in range(len(head))]
    out = ["  " + "  ".join(c.ljust(w) if i < 2 else c.rjust(w)
                            for i, (c, w) in enumerate(zip(r, widths))).rstrip()
           for r in [head, *rows]]
    if n < len(at[-1]):
        out.insert(1 + n, f"  ... {len(at[-1]) - n} more (all of them in the saved sweep)")
    out.append(f"  Drop: {DROP_MEANING},")
    out.append("  when only that feature (or group) is perturbed.")
    return out
