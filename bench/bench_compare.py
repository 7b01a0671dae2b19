"""Comparing K models on shared rounds against K separate runs.

100,000 x 20 (18 numerical features, 2 categorical; every row scored), 2 noise levels x 5
repeats.  K = 1, 2, 4 models: linear models with different regularisation
(cheap to predict, so the perturbation dominates, which is where sharing it
pays) and, with ``--models mixed``, a histogram gradient boosting model in
place of the second (prediction-bound).  For each K: K separate
``RobustnessTest.run`` calls, then one ``compare_models`` call (sequential),
each result checked equal to its separate run.  Wall times are the best of
``--repeat`` tries; the load average is printed, since the machine may be
shared.

    python bench/bench_compare.py [--rows 100000] [--repeat 2] [--models linear|mixed]
"""

from __future__ import annotations

import argparse
import os
import time


from korvan.compare import compare_models
from korvan.data import DataSet
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import fit_estimator, wrap_model
from tables import frame  # noqa: E402  (bench/ is on the path when run)

RUN = dict(dataset="main", noise_levels=[0.1, 0.3], n_repeats=5)


def estimators(kind: str) -> list:
    from sklearn.ensemble import HistGradientBoostingRegressor
    from sklearn.linear_model import Lasso, LinearRegression, Ridge

    found = [LinearRegression(), Ridge(alpha=1.0), Ridge(alpha=100.0), Lasso(alpha=0.01)]
    if kind == "mixed":
        found[1] = HistGradientBoostingRegressor(max_iter=50, random_state=0)
    return found


def best_of(repeat: int, fn) -> tuple[float, object]:
    times, out = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return min(times), out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--models", choices=["linear", "mixed"], default="linear")
    args = parser.parse_args()

    ds = DataSet(frame(args.rows), "y", task_type="regression", random_state=0,
                 name="synthetic")
    X, y, _ = ds.get_X_y_data("train")
    fitted = []
    for est in estimators(args.models):
        fit_estimator(est, X, y)
        fitted.append(wrap_model(est, name=f"{type(est).__name__}-{len(fitted)}"))
    rows = ds.get_X_y_data("main")[0].shape
    print(f"scored split {rows[0]:,} x {rows[1]}, levels {RUN['noise_levels']}, "
          f"{RUN['n_repeats']} repeats; load average {os.getloadavg()[0]:.1f}")
    print(f"{'K':>2}  {'separate runs':>14}  {'compare_models':>14}  {'speed-up':>8}")
    for k in (1, 2, 4):
        models = {m.name: m for m in fitted[:k]}
        separate, solos = best_of(args.repeat, lambda: {
            n: RobustnessTest(ds, m).run(**RUN) for n, m in models.items()})
        shared, cmp = best_of(args.repeat, lambda: compare_models(ds, models, **RUN))
        for name, solo in solos.items():
            got = cmp.results[name]
            assert got.table.equals(solo.table) and got.value == solo.value, name
        print(f"{k:>2}  {separate:>12.2f} s  {shared:>12.2f} s  {separate / shared:>7.2f}x")
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
