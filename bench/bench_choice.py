"""The default choice of workers against one core, threads and processes, side by side.

Runs: for each model (a random forest, histogram gradient boosting,
LightGBM, a linear model, the command's demo), one run of 3 noise levels x
10 repeats on 100,000 x 20 rows (the demo: its own 133 rows, 5 levels), timed
in this one process: the sequential ``RobustnessTest``, then
``ParallelRobustnessTest(n_jobs=2)`` with the default choice, with threads
and with loky processes (its pool started before the timing).  Printed: the
best time of each and its ratio to one core (above 1 is faster), the choice
made, and whether every result equals the sequential one.

Sweep: a per-feature sweep (one level, R repeats, no all-features run:
F x R + 1 predictions) against ``sklearn.inspection.permutation_importance``
with the same R (F x R + 1 predictions), sequential and with 2 workers.

Threads: the threads the model's own pools (OpenMP, BLAS) run with inside
each round of the gradient boosting model, from threadpoolctl in the thread
that predicts, for every choice: workers x threads per worker against the
cores.

    python bench/bench_choice.py [--rows 100000] [--repeat 3] [--models forest,hgb,lightgbm,linear,demo]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
import time
from collections import defaultdict

import joblib
from threadpoolctl import threadpool_info

from korvan.data import DataSet, load_bundled
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import fit_estimator, make_estimator, wrap_model
from korvan.parallel import ParallelRobustnessTest
from korvan.sweep import sweep
from tables import frame  # noqa: E402  (bench/ is on the path when run)

LEVELS = [0.1, 0.2, 0.3]
REPEATS = 10
PARENT = os.getpid()


def estimators() -> dict:
    from sklearn.ensemble import HistGradientBoostingRegressor, RandomForestRegressor
    from sklearn.linear_model import Ridge

    def lightgbm():
        import lightgbm as lgb
        return lgb.LGBMRegressor(n_estimators=200, num_leaves=63, verbose=-1, random_state=0)

    return {
        "forest": lambda: RandomForestRegressor(n_estimators=40, max_depth=14, random_state=0),
        "hgb": lambda: HistGradientBoostingRegressor(max_iter=100, random_state=0),
        "lightgbm": lightgbm,
        "linear": lambda: Ridge(alpha=1.0),
    }


class ThreadLog:
    """A model that notes, on each predict, its process and the threads of its pools."""

    def __init__(self, model, path):
        self.model = model
        self.path = path
        self.name = model.name

    def predict(self, X):
        # As seen from the thread that predicts: OpenMP's count is per thread.
        pools = threadpool_info()
        threads = max([p["num_threads"] for p in pools] or [1])
        # The baseline and a first round timed alone run in the caller's thread.
        alone = os.getpid() == PARENT and threading.current_thread() is threading.main_thread()
        with open(self.path, "a") as f:
            f.write(f"{'alone' if alone else 'worker'} {threads}\n")
        return self.model.predict(X)


def same(a, b) -> bool:
    return (a.table.equals(b.table) and a.value == b.value and a.options == b.options
            and a.inputs == b.inputs)


def timed(fn, repeat):
    times, out = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return min(times), max(times), out


def load() -> str:
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f} {five:.2f} {fifteen:.2f}"


def runs(cases, repeat) -> None:
    print(f"\nRuns: one run; ratio = one core / this (above 1 is faster); best of {repeat}, "
          f"the four taken in turn so that a change of load hits them alike")
    print(f"  {'model':<9} {'one core':>9} {'default':>17} {'threads':>15} {'loky':>15}  "
          f"{'default chose':<32} equal")
    configs = (("one core", "sequential"), ("default", None), ("threads", "threading"),
               ("loky", "loky"))
    for name, (ds, model, run) in cases.items():
        # The pool started, as in a session's later runs.
        with joblib.parallel_config(backend="loky"):
            ParallelRobustnessTest(ds, model, n_jobs=2).run(**dict(run, n_repeats=2))
        expected = RobustnessTest(ds, model).run(**run)
        times: dict[str, list[float]] = defaultdict(list)
        chose, equal = "", True
        for _ in range(repeat):
            for label, config in configs:
                test = (RobustnessTest(ds, model) if config == "sequential"
                        else ParallelRobustnessTest(ds, model, n_jobs=2))
                with joblib.parallel_config(backend=config) if config and config != "sequential" \
                        else joblib.parallel_config():
                    start = time.perf_counter()
                    got = test.run(**run)
                    times[label].append(time.perf_counter() - start)
                equal = equal and same(got, expected)
                if config is None:
                    chose = str(test.choice)
        seq = min(times["one core"])
        row = [f"  {name:<9} {seq:8.2f}s"]
        for label, _ in configs[1:]:
            best = min(times[label])
            width = 17 if label == "default" else 15
            row.append(f"{best:6.2f}s {seq / best:4.2f}x".rjust(width))
        print(" ".join(row) + f"  {chose:<32} {'yes' if equal else 'NO'}", flush=True)


def sweeps(ds, model, repeat, repeats) -> None:
    from sklearn.inspection import permutation_importance

    X, y, _ = ds.get_X_y_data("test")
    features = len(ds.feature_names)
    print(f"\nSweep: every feature alone, {repeats} repeats, on the test split "
          f"({X.shape[0]} rows): {features} x {repeats} + 1 predictions each")
    for workers in (1, 2):
        def ours():
            if workers == 1:
                test = RobustnessTest(ds, model)
                return sweep(test, include_all=False, noise_levels=[0.2], n_repeats=repeats,
                             metric="MSE")
            test = ParallelRobustnessTest(ds, model, n_jobs=workers)
            return sweep(test, executor=test, include_all=False, noise_levels=[0.2],
                         n_repeats=repeats, metric="MSE")

        def theirs():
            return permutation_importance(model.estimator, X, y, scoring="neg_mean_squared_error",
                                          n_repeats=repeats, n_jobs=workers, random_state=0)

        mine, mine_max, _ = timed(ours, repeat)
        other, other_max, _ = timed(theirs, repeat)
        print(f"  {workers} worker{'s' if workers > 1 else ' '}: sweep {mine:6.2f}-{mine_max:.2f} s, "
              f"permutation_importance {other:6.2f}-{other_max:.2f} s: "
              f"{mine / other:.2f}x its time")


def pool_threads(ds, model, run) -> None:
    print("\nThreads: threads of the model's pools inside the rounds (threadpoolctl)")
    cores = joblib.cpu_count()
    for label, config in (("one core", "sequential"), ("default", None),
                          ("threads", "threading"), ("loky", "loky")):
        with tempfile.NamedTemporaryFile(suffix=".log", delete=False) as f:
            path = f.name
        logged = wrap_model(ThreadLog(model, path), name=model.name)
        test = ParallelRobustnessTest(ds, logged, n_jobs=2)
        with joblib.parallel_config(backend=config) if config else joblib.parallel_config():
            test.run(**run)
        seen = defaultdict(int)
        with open(path) as f:
            for line in f:
                where, threads = line.split()
                seen[where] = max(seen[where], int(threads))
        os.unlink(path)
        chose = f" ({test.choice})" if config is None else ""
        if "worker" in seen:
            most = seen["worker"]
            print(f"  {label + chose:<36} rounds on 2 workers at once x at most {most} "
                  f"thread(s) each = {2 * most} on {cores} cores; alone: {seen['alone']}")
        else:
            print(f"  {label + chose:<36} every call alone, at most {seen['alone']} thread(s) "
                  f"on {cores} cores")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--models", default="forest,hgb,lightgbm,linear,demo")
    parser.add_argument("--sweep-repeats", type=int, default=5)
    parser.add_argument("--parts", default="runs,sweep,threads",
                        help="which of the three to run")
    args = parser.parse_args()

    print(f"load before: {load()} on {os.cpu_count()} cores (joblib sees {joblib.cpu_count()})")
    ds = DataSet(frame(args.rows), target="y", task_type="regression")
    train = DataSet(frame(20_000, seed=1), target="y", task_type="regression")
    Xtr, ytr, _ = train.get_X_y_data("train")
    run = dict(dataset="main", noise_levels=LEVELS, n_repeats=REPEATS)
    print(f"{args.rows} x {len(ds.feature_names)}, {len(LEVELS)} levels x {REPEATS} repeats")
    cases = {}
    every = estimators()
    for name in args.models.split(","):
        if name == "demo":
            demo = load_bundled("diabetes", random_state=0)
            est = make_estimator("gbm", demo.task_type, random_state=0)
            fit_estimator(est, *demo.get_X_y_data("train"))
            cases[name] = (demo, wrap_model(est, dataset=demo),
                           dict(noise_levels=[0.1, 0.2, 0.3, 0.4, 0.5], n_repeats=10))
        else:
            cases[name] = (ds, wrap_model(every[name]().fit(Xtr, ytr)), run)
    parts = args.parts.split(",")
    if "runs" in parts:
        runs(cases, args.repeat)
    forest_ds, forest, _ = cases.get("forest", next(iter(cases.values())))
    if "sweep" in parts:
        sweeps(forest_ds, forest, args.repeat, args.sweep_repeats)
    if "threads" in parts:
        # A model with OpenMP threads of its own.
        hgb_ds, hgb, _ = cases.get("hgb", (forest_ds, forest, run))
        pool_threads(hgb_ds, hgb, dict(run, n_repeats=4))
    print(f"\nload after: {load()}")


if __name__ == "__main__":
    sys.exit(main())
