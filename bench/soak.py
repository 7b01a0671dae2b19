"""Soak: `run` end to end thousands of times on small data, and each error path
tens of thousands of times, printing the resident memory at intervals. A flat
column of figures is the expected outcome."""
import argparse
import gc
import resource
import sys
import time

import numpy as np
import pandas as pd
from sklearn.linear_model import LinearRegression

from korvan.data import DataSet
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import wrap_model


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


def soak(label, call, total, every):
    gc.collect()
    start = rss_mib()
    marks = []
    t0 = time.perf_counter()
    for i in range(1, total + 1):
        try:
            call()
        except Exception:
            pass
        if i % every == 0:
            gc.collect()
            marks.append(rss_mib())
    elapsed = time.perf_counter() - t0
    print(f"{label:<34} {total:>6} calls {elapsed:6.1f}s  RSS MiB: start {start:.1f} -> "
          + " ".join(f"{m:.1f}" for m in marks)
          + f"  (growth after first mark {marks[-1] - marks[0]:+.1f})")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every call count")
    args = parser.parse_args()
    n = lambda k: max(int(k * args.scale), 10)

    rng = np.random.default_rng(0)
    frame = pd.DataFrame(rng.normal(size=(60, 4)), columns=list("abcd"))
    frame["y"] = frame["a"] - frame["b"]
    ds = DataSet(frame, target="y", task_type="regression")
    X, y, _ = ds.get_X_y_data(dataset="train")
    model = wrap_model(LinearRegression().fit(X, y))
    test = RobustnessTest(ds, model)

    soak("run, defaults", lambda: test.run(n_repeats=3), n(2000), n(400))
    soak("run, quantile, 2 levels", lambda: test.run(n_repeats=2, perturb_method="quantile",
                                                    noise_levels=[0.1, 0.3]), n(2000), n(400))
    soak("run: binding error", lambda: test.run(bogus=1), n(20000), n(4000))
    soak("run: type test", lambda: test.run(n_repeats=True), n(20000), n(4000))
    soak("run: unknown feature", lambda: test.run(perturb_features="zzz"), n(20000), n(4000))
    soak("run: int noise level", lambda: test.run(noise_levels=1, n_repeats=1), n(5000), n(1000))
    soak("run: unpacking", lambda: RobustnessTest(
        type("D", (), {"task_type": "regression", "feature_names": ["a"],
                       "get_X_y_data": lambda self, dataset: (1, 2)})(), model).run(),
         n(20000), n(4000))
    soak("_perturb_normal: negative level",
         lambda: RobustnessTest._perturb_normal(X.copy(), 0, -1.0), n(20000), n(4000))
    soak("_perturb_quantile: empty matrix",
         lambda: RobustnessTest._perturb_quantile(np.empty((0, 3)), 0, 0.1), n(20000), n(4000))
    soak("_perturb_categorical: bad level",
         lambda: RobustnessTest._perturb_categorical(X.copy(), 0, "x"), n(20000), n(4000))
    soak("_perturb: unknown feature",
         lambda: test._perturb(X, ["a", "zzz"], "normal", 0.1), n(20000), n(4000))
    soak("_repeat_perturb_pred: bad seed",
         lambda: test._repeat_perturb_pred(X, model.predict, 2, ["a"], "normal", 0.1, None),
         n(20000), n(4000))
    soak("_visualize_robustness: bad input",
         lambda: RobustnessTest._visualize_robustness(None, None), n(20000), n(4000))


if __name__ == "__main__":
    main()
