"""Benchmark of the per-feature sweep against the same runs called by hand.

    .venv/bin/python bench/bench_sweep.py [--rows 100000] [--features 20] [--rounds 3]
                                          [--models linear,forest] [--trees 30]

On regression data of rows x features (two columns categorical), three noise
levels and 10 repeats, on the test split (30% of the rows), for each model:

* the wall time of ``sweep(test, ...)``: p + 1 runs (each feature alone, then
  all features), summaries and the ranked table;
* the wall time of the same p + 1 ``test.run`` calls made by hand in a loop,
  with nothing else;
* the sweep's extra time as a share of the hand-made loop.

Sweep and loop alternate within each round so both see the same load on a
shared machine; every round is printed, then the range. The machine's load
average is printed before and after. Also printed: the bytes a sweep keeps
(score tables and chart options only) next to what keeping every run's
predictions would hold. Nothing is asserted; the figures are for people to read.
"""
import argparse
import os
import pickle
import time

import numpy as np
import pandas as pd
from sklearn.ensemble import RandomForestRegressor
from sklearn.linear_model import LinearRegression

from korvan.data import DataSet
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import wrap_model
from korvan.sweep import sweep

RUN = dict(noise_levels=[0.1, 0.2, 0.3], n_repeats=10, random_state=0)


def make_data(n, p):
    rng = np.random.default_rng(0)
    frame = pd.DataFrame(rng.normal(size=(n, p - 2)), columns=[f"x{j}" for j in range(p - 2)])
    for j in range(2):
        frame[f"c{j}"] = rng.choice(["k0", "k1", "k2", "k3"], n)
    frame["y"] = (frame.iloc[:, : p - 2].to_numpy() @ rng.normal(size=p - 2)
                  + (frame.c0 == "k1") + rng.normal(size=n) * 0.1)
    return DataSet(frame, "y", task_type="regression", random_state=0)


def load() -> str:
    one, five, _ = os.getloadavg()
    return f"load average {one:.1f} (1 min), {five:.1f} (5 min) on {os.cpu_count()} cores"


def by_hand(test, names):
    results = [test.run(perturb_features=[name], **RUN) for name in names]
    results.append(test.run(**RUN))
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--models", default="linear,forest")
    parser.add_argument("--trees", type=int, default=30)
    args = parser.parse_args()

    ds = make_data(args.rows, args.features)
    X, y, _ = ds.get_X_y_data("train")
    n_test = ds.get_X_y_data("test")[0].shape[0]
    print(f"data {args.rows:,} x {args.features} ({n_test:,} test rows), levels "
          f"{RUN['noise_levels']}, {RUN['n_repeats']} repeats, {args.features + 1} runs a sweep")
    print(f"before: {load()}")
    makers = {
        "linear": lambda: LinearRegression(),
        "forest": lambda: RandomForestRegressor(n_estimators=args.trees, max_depth=12,
                                                n_jobs=1, random_state=0),
    }
    for kind in args.models.split(","):
        test = RobustnessTest(ds, wrap_model(makers[kind]().fit(X, y)))
        sweeps, hands = [], []
        for r in range(args.rounds):
            # Alternate which goes first, so neither always meets a warmer cache.
            order = ("sweep", "hand") if r % 2 == 0 else ("hand", "sweep")
            for what in order:
                start = time.perf_counter()
                if what == "sweep":
                    found = sweep(test, **RUN)
                    sweeps.append(time.perf_counter() - start)
                else:
                    by_hand(test, ds.feature_names)
                    hands.append(time.perf_counter() - start)
            extra = (sweeps[-1] - hands[-1]) / hands[-1] * 100
            print(f"  {kind:6s} round {r + 1}: sweep {sweeps[-1]:7.2f} s, by hand "
                  f"{hands[-1]:7.2f} s, extra {extra:+5.1f}%")
        extras = [(s - h) / h * 100 for s, h in zip(sweeps, hands)]
        print(f"  {kind:6s} sweep {min(sweeps):.2f}-{max(sweeps):.2f} s, by hand "
              f"{min(hands):.2f}-{max(hands):.2f} s, extra {min(extras):+.1f}% to {max(extras):+.1f}%"
              f" (best against best {(min(sweeps) - min(hands)) / min(hands) * 100:+.1f}%)")
        kept = len(pickle.dumps(found.rows))
        full = by_hand(test, ds.feature_names)
        print(f"  {kind:6s} kept by the sweep {kept / 1e6:.2f} MB; with every run's predictions "
              f"{len(pickle.dumps([r.value for r in full])) / 1e6:.0f} MB")
    print(f"after: {load()}")


if __name__ == "__main__":
    main()
