"""Which model holds up better? Several models tested on the same perturbed rounds.

Every round of a robustness run is seeded (repeat ``i`` of every level with
``random_state + i``), so two models run with the same arguments see the same
perturbed matrices.  :func:`compare_models` perturbs each round once and has
every model predict on it; each model's native ``run`` is then handed its
predictions instead of perturbing again, so each model's result is the one a
run of that model alone gives, field by field.  Because the rounds are shared,
two models' scores can be compared repeat by repeat
(:func:`korvan.stats.paired`).
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping

import numpy as np
import orjson
import pandas as pd

from korvan import stats
from korvan.jsonable import dumps, save_json, to_jsonable
from korvan.parallel import ParallelRobustnessTest
from korvan.result import ValidationResult
from korvan.text import percent, points

__all__ = ["ComparisonVerdict", "ModelComparison", "compare_models"]

#: The ``key`` of a saved comparison.
KEY = "model_comparison"


# -- one perturbation per round, every model predicting on it ----------------------

def _feature_list(model: Any) -> tuple[list[str] | None, int | None]:
    from korvan.models import Model, fitted_feature_names

    estimator = model.estimator if isinstance(model, Model) else model
    n_in = getattr(estimator, "n_features_in_", None)
    return (fitted_feature_names(estimator),
            int(n_in) if isinstance(n_in, (int, np.integer)) else None)


def check_same_features(models: Mapping[str, Any]) -> None:
    """Refuse models that were fitted on different features, in one line naming the difference.

    Raises
    ------
    korvan.models.FeatureMismatch
    """
    from korvan.models import FeatureMismatch

    known = [(name, *_feature_list(m)) for name, m in models.items()]
    named = [(name, names) for name, names, _ in known if names is not None]
    for name, names in named[1:]:
        first, first_names = named[0]
        lacks = [n for n in first_names if n not in set(names)]
        extra = [n for n in names if n not in set(first_names)]
        if lacks or extra:
            parts = ([f"{name} lacks {', '.join(lacks)}"] if lacks else []) + \
                    ([f"{name} takes {', '.join(extra)} that {first} does not"] if extra else [])
            raise FeatureMismatch(
                f"The models take different features: {'; '.join(parts)}", lacks, extra)
    counted = [(name, n) for name, _, n in known if n is not None]
    for name, n in counted[1:]:
        if n != counted[0][1]:
            raise FeatureMismatch(f"The models take different features: {counted[0][0]} takes "
                                  f"{counted[0][1]}, {name} takes {n}")


def compare_models(data: Any, models: Mapping[str, Any], /, *, n_jobs: int | None = None,
                   progress: Callable[[], Any] | None = None,
                   **run_kwargs: Any) -> "ModelComparison":
    """Run the robustness test of several models on the same perturbed rounds.

    Parameters
    ----------
    data : DataSet
        The data set (positional: ``dataset=`` is the run's split).
    models : mapping of str to model
        The models by the names the comparison shows, in the order given.
        Each is a fitted model as :class:`RobustnessTest` takes it.  They
        must take the same features.
    n_jobs : int, optional
        Compute the rounds on joblib's active backend with this many
        workers (see :class:`korvan.parallel.ParallelRobustnessTest`); each
        round is still perturbed once, in one worker, for every model.
    progress : callable, optional
        Called with no arguments after each prediction of a perturbed
        round, on whichever worker.
    **run_kwargs
        The arguments of :meth:`RobustnessTest.run`, the same for every
        model.

    Returns
    -------
    ModelComparison
        ``results[name]`` equal in every field to
        ``RobustnessTest(dataset, model).run(**run_kwargs)``.

    Raises
    ------
    ValueError
        If ``models`` is empty or a name is not a non-empty string.
    korvan.models.FeatureMismatch
        If the models were fitted on different features (raised before any
        work), or a model's features are not the data set's.
    """
    if not isinstance(models, Mapping) or not models:
        raise ValueError("models must be a non-empty mapping of names to models")
    for name in models:
        if not isinstance(name, str) or not name:
            raise ValueError(f"model names must be non-empty strings, got {name!r}")
    check_same_features(models)
    # The parallel test perturbs each round once for every model, in this
    # process when n_jobs is 1 (joblib's default), and hands each model's
    # run its predictions, so every result is that model's run alone.
    first = next(iter(models.values()))
    driver = ParallelRobustnessTest(data, first, n_jobs=n_jobs, progress=progress)
    results = dict(zip(models, driver.run_models(list(models.values()), **run_kwargs)))
    return ModelComparison(results)


# -- the verdict of every model ---------------------------------------------------

@dataclass(frozen=True)
class ComparisonVerdict(stats.Judged):
    """Whether every model held up within a limit.

    Attributes
    ----------
    passed : bool
        True when every model passed.
    verdicts : dict
        Each model's :class:`korvan.stats.Verdict`, in the comparison's order.
    failed : tuple of str
        The models over the limit, worst first.
    limit : float
    message : str
        One line starting ``PASS:`` or ``FAIL:``; a failure names every
        failing model with its drop.
    """

    passed: bool
    verdicts: dict[str, stats.Verdict]
    limit: float
    message: str
    failed: tuple[str, ...] = field(default=())


    def to_dict(self) -> dict[str, Any]:
        return {"passed": self.passed, "limit": self.limit, "message": self.message,
                "failed": list(self.failed),
                "models": {name: v.to_dict() for name, v in self.verdicts.items()}}


def _where(verdict: stats.Verdict) -> str:
    feature = f"{verdict.feature}: " if verdict.feature else ""
    level = "" if verdict.level is None else f" at noise {verdict.level:g}"
    return f"{feature}{percent(verdict.drop)}{level}"


def _drop_key(drop: float) -> tuple[int, float]:
    # An undefined drop is the worst: it fails and is the least known.
    return (0, 0.0) if not math.isfinite(drop) else (1, -drop)


# -- the comparison ---------------------------------------------------------------

class ModelComparison:
    """Several models' robustness results on the same rounds, and how they compare.

    Parameters
    ----------
    results : mapping of str to ValidationResult
        Each model's result, by name; all with the same metric, levels,
        repeats and seeds.

    Attributes
    ----------
    results : dict
        The results in the order given.
    """

    def __init__(self, results: Mapping[str, ValidationResult]) -> None:
        if not results:
            raise ValueError("a comparison needs at least one result")
        self.results: dict[str, ValidationResult] = dict(results)
        metrics = {r.metric for r in self.results.values()}
        if len(metrics) != 1:
            raise ValueError(f"the results are scored with different metrics: "
                             f"{', '.join(sorted(map(str, metrics)))}")
        shapes = {(tuple(r.table.columns), r.table.shape) for r in self.results.values()}
        if len(shapes) != 1:
            raise ValueError("the results have different noise levels or repeats; a comparison "
                             "needs the same rounds")
        self._summaries = {name: r.summary for name, r in self.results.items()}

    # -- what the results share

    @property
    def names(self) -> list[str]:
        return list(self.results)

    @property
    def first(self) -> ValidationResult:
        return next(iter(self.results.values()))

    @property
    def metric(self) -> str | None:
        return self.first.metric

    @property
    def higher_is_better(self) -> bool:
        return bool(next(iter(self._summaries.values())).attrs.get("higher_is_better"))

    @property
    def levels(self) -> list[float]:
        """The perturbed noise levels, in run order (the baseline left out)."""
        return [float(v) for v in self.first.table.columns[1:]]

    @property
    def largest_level(self) -> float:
        return max(self.levels) if self.levels else 0.0

    # -- statistics

    @property
    def ranking(self) -> list[str]:
        """The model names, smallest relative drop at the largest level first."""
        level = self.largest_level
        drops = {name: float(s["rel_drop"].loc[level]) for name, s in self._summaries.items()}
        # An undefined drop (a baseline of 0) ranks last.
        return sorted(self.names, key=lambda n: (0, drops[n]) if math.isfinite(drops[n])
                      else (1, 0.0))

    @property
    def best(self) -> str:
        """The model whose relative drop at the largest level is smallest."""
        return self.ranking[0]

    @property
    def summary(self) -> pd.DataFrame:
        """One row per model and level: mean score, drop and relative drop with intervals.

        Indexed by (model, noise level), the models ranked by the relative
        drop at the largest level (the most robust first); the columns are
        :data:`korvan.stats.SUMMARY_COLUMNS`.
        """
        ranked = self.ranking
        out = pd.concat([self._summaries[n] for n in ranked], keys=ranked,
                        names=["Model", "Noise Level"])
        first = self._summaries[ranked[0]]
        out.attrs.update(interval=first.attrs.get("interval"),
                         confidence=first.attrs.get("confidence"),
                         higher_is_better=self.higher_is_better, metric=self.metric,
                         ranked_by=f"relative drop at noise {self.largest_level:g}")
        return out

    def paired(self, a: str, b: str) -> pd.DataFrame:
        """Model ``a`` against model ``b``, repeat by repeat.

        Returns
        -------
        pandas.DataFrame
            Indexed by noise level (the baseline first): ``mean_diff`` (mean of
            a's score minus b's over the repeats), ``ci_low``, ``ci_high`` (its
            95% paired t interval), ``share_a_better`` (share of repeats where a
            scores better, by the metric's direction), and the same for the
            relative drops (see :func:`korvan.stats.paired`).
        """
        for name in (a, b):
            if name not in self.results:
                raise KeyError(f"no model named {name!r}; the models are: {', '.join(self.names)}")
        return stats.paired(self.results[a].table, self.results[b].table, self.higher_is_better)

    def against_best(self) -> pd.DataFrame:
        """Every other model paired with the best one, at every level.

        Indexed by (model, noise level); positive ``drop_diff`` means the
        model drops more than the best.
        """
        best = self.best
        others = [n for n in self.ranking if n != best]
        if not others:
            return pd.DataFrame(columns=list(stats.PAIRED_COLUMNS))
        return pd.concat([self.paired(n, best) for n in others], keys=others,
                         names=["Model", "Noise Level"])

    def sentences(self, level: float | None = None) -> list[str]:
        """One sentence per pair of models at a level (default the largest).

        "forest drops 4.1 points more than linear at noise 0.3, 95% interval
        3.2 to 5.0, a larger drop in 10 of 10 repeats"; the model with the
        larger drop is named first.
        """
        level = self.largest_level if level is None else float(level)
        ranked = self.ranking
        out = []
        for i, b in enumerate(ranked):
            for a in ranked[i + 1:]:
                row = self.paired(a, b).loc[level]
                out.append(_sentence(a, b, level, row))
        return out

    def check(self, max_drop: float, level: float | None = None,
              sweeps: Mapping[str, Any] | None = None) -> ComparisonVerdict:
        """Hold every model to the same limit on the relative drop of its mean score.

        See :meth:`ValidationResult.check`; the message names each model that
        fails.  With ``sweeps`` (a per-feature sweep by model name), each of
        those models is held to the limit on every feature, as
        :meth:`FeatureSweep.check` does.
        """
        limit = stats.check_limit(max_drop)
        verdicts = {name: (sweeps[name] if sweeps and name in sweeps else r).check(
                    limit, level=level) for name, r in self.results.items()}
        worst = sorted(verdicts, key=lambda n: _drop_key(verdicts[n].drop))
        failed = tuple(n for n in worst if not verdicts[n].passed)
        what = f"mean {self.metric}" if self.metric else "mean score"
        if failed:
            shown = ", ".join(f"{n} ({_where(verdicts[n])})" for n in failed)
            message = (f"FAIL: {len(failed)} of {len(verdicts)} models over the limit "
                       f"{percent(limit)}, {what} drop: {shown}")
        else:
            message = (f"PASS: all {len(verdicts)} models within the limit {percent(limit)}; worst "
                       f"{worst[0]}, {what} drop {_where(verdicts[worst[0]])}")
        return ComparisonVerdict(not failed, verdicts, limit, message, failed)

    # -- chart

    def options(self) -> dict[str, Any]:
        """The line chart of the mean score per level, one line per model with its interval."""
        import plotlane

        levels = [0.0] + self.levels
        chart = plotlane.lineplot(
            x=levels,
            series=[{"name": n, "y": list(self._summaries[n]["mean"]),
                     "low": list(self._summaries[n]["ci_low"]),
                     "high": list(self._summaries[n]["ci_high"])} for n in self.ranking])
        chart.set_xaxis(axis_name="Level of Perturbation")
        chart.set_yaxis(axis_name=self.metric or "score")
        chart.set_title("Perturbed Model Performance by Model")
        return chart.render()

    def subtitle(self) -> str:
        inputs = self.first.inputs if isinstance(self.first.inputs, Mapping) else {}
        better = "higher" if self.higher_is_better else "lower"
        return (f"{len(self.results)} models on {to_jsonable(self.first.data)}, "
                f"{inputs.get('dataset', 'test')} split, {inputs.get('perturb_method', 'normal')} "
                f"noise; mean over repeats, band: 95% interval; {self.metric}: {better} is better")

    def plot(self, path: str | os.PathLike[str] | None = None, width: int = 800,
             height: int = 500) -> Any:
        """Draw the line chart; write a PNG to ``path`` or return the figure."""
        import plotlane

        if path is None:
            return plotlane.to_figure(self.options(), width=width, height=height,
                                      subtitle=self.subtitle())
        return plotlane.to_png(self.options(), path, width=width, height=height,
                               subtitle=self.subtitle())

    # -- saving

    def __repr__(self) -> str:
        return (f"ModelComparison(models={self.names!r}, metric={self.metric!r}, "
                f"best={self.best!r})")

    def to_dict(self) -> dict[str, Any]:
        """Every model's result (see :meth:`ValidationResult.to_dict`) plus the comparison."""
        pairs = {}
        ranked = self.ranking
        for i, b in enumerate(ranked):
            for a in ranked[i + 1:]:
                pairs[f"{a} vs {b}"] = _frame_dict(self.paired(a, b))
        return {
            "key": KEY,
            "models": self.names,
            "metric": self.metric,
            "results": {name: r.to_dict() for name, r in self.results.items()},
            "comparison": {
                "ranking": ranked,
                "ranked_by": f"relative drop at noise {self.largest_level:g}",
                "best": self.best,
                "paired": pairs,
                "sentences": self.sentences() if self.levels else [],
            },
        }

    def to_json(self) -> str:
        return dumps(self.to_dict()).decode("utf-8")

    def save(self, path: str | os.PathLike[str]) -> str:
        """Write :meth:`to_dict` as JSON and return the path (nothing written on failure)."""
        return save_json(self.to_dict(), path)

    @classmethod
    def from_dict(cls, payload: Mapping[str, Any]) -> "ModelComparison":
        """Rebuild a comparison from :meth:`to_dict` output; the statistics are recomputed."""
        try:
            if payload.get("key") != KEY:
                raise KeyError("key")
            results = payload["results"]
            return cls({name: ValidationResult.from_dict(results[name])
                        for name in payload["models"]})
        except (KeyError, TypeError, AttributeError) as exc:
            raise ValueError(f"Not a saved model comparison: missing or malformed {exc}") from None

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> "ModelComparison":
        with open(path, "rb") as fh:
            return cls.from_dict(orjson.loads(fh.read()))

    # -- the report

    def report_data(self, max_drop: float | None = None, level: float | None = None,
                    compact: bool = False,
                    sweeps: Mapping[str, Any] | None = None) -> dict[str, Any]:
        """What the report shows, as plain values and DataFrames."""
        result = self.first
        inputs = result.inputs if isinstance(result.inputs, Mapping) else {}
        return {
            "models": self.names,
            "ranking": self.ranking,
            "data": str(to_jsonable(result.data)),
            "metric": self.metric or "score",
            "higher_is_better": self.higher_is_better,
            "inputs": to_jsonable(inputs),
            "levels": self.levels,
            "summaries": {n: self._summaries[n] for n in self.ranking},
            "against_best": self.against_best(),
            "best": self.best,
            "sentences": self.sentences() if self.levels else [],
            "verdict": None if max_drop is None else self.check(max_drop, level, sweeps).message,
            "chart": {"options": self.options(), "subtitle": self.subtitle()},
            "compact": compact,
        }

    def to_html(self, *, max_drop: float | None = None, level: float | None = None,
                sweeps: Mapping[str, Any] | None = None) -> str:
        """The comparison's report as one self-contained HTML page.

        With ``max_drop`` it opens with the verdict of :meth:`check` (given
        ``sweeps``, on every feature of those models).
        """
        from korvan.report.compare import render_comparison

        return render_comparison(self.report_data(max_drop, level, sweeps=sweeps))

    def save_html(self, path: str | os.PathLike[str], *, max_drop: float | None = None,
                  level: float | None = None, sweeps: Mapping[str, Any] | None = None) -> str:
        """Write :meth:`to_html` to a file and return its path."""
        page = self.to_html(max_drop=max_drop, level=level, sweeps=sweeps)
        path = os.fspath(path)
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(page)
        return path

    def _repr_html_(self) -> str:
        from korvan.report.compare import render_comparison

        return render_comparison(self.report_data(compact=True), fragment=True)


def _frame_dict(frame: pd.DataFrame) -> dict[str, Any]:
    return {"levels": [float(v) for v in frame.index],
            "columns": list(frame.columns),
            "data": {c: [int(v) if c == "repeats" else (float(v) if math.isfinite(v) else None)
                         for v in frame[c]] for c in frame.columns},
            "attrs": to_jsonable(frame.attrs)}


def _sentence(a: str, b: str, level: float, row: pd.Series) -> str:
    d, low, high = float(row["drop_diff"]), float(row["drop_diff_low"]), float(row["drop_diff_high"])
    n = int(row["repeats"])
    if not math.isfinite(d):
        return f"{a} and {b} at noise {level:g}: the drop cannot be compared (a baseline of 0)"
    more = d >= 0
    size = abs(d)
    text = f"{a} drops {points(size)} points {'more' if more else 'less'} than {b} at noise {level:g}"
    if math.isfinite(low):
        lo, hi = (low, high) if more else (-high, -low)
        text += f", 95% interval {points(lo)} to {points(hi)}"
    text += f", a larger drop in {round(float(row['share_a_drops_more']) * n)} of {n} repeats"
    return text
