"""Speed and memory of the perturbation engine, next to the same statements run
as pure Python (tests/reference.py) in the same process. Prints figures only.

    .venv/bin/python bench/bench_perturb.py
"""
import functools
import pathlib
import sys
import timeit
import tracemalloc
import warnings
from types import SimpleNamespace

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
import reference  # noqa: E402

from korvan.factsheet.diagnose.robustness import RobustnessTest  # noqa: E402
from korvan.utils.constants import CATEGORICAL, NUMERICAL  # noqa: E402

IMPLEMENTATIONS = {"native": RobustnessTest, "python": reference.RobustnessTest}


def host_object(cls, n_features):
    obj = cls.__new__(cls)
    # Every fourth feature categorical, so _perturb runs all three routines.
    types = [CATEGORICAL if j % 4 == 3 else NUMERICAL for j in range(n_features)]
    obj.dataset = SimpleNamespace(feature_names=[f"f{j}" for j in range(n_features)],
                                  feature_types=types)
    return obj


def matrix(rows, cols):
    X = np.random.default_rng(0).normal(size=(rows, cols))
    X[:, 3::4] = np.round(X[:, 3::4] * 2)  # categorical columns hold a few codes
    return X


def seconds_per_call(*fns, rounds=7):
    """Best time per call of each of `fns`, measured in alternation so that a
    drift of the machine's speed does not favour one of them."""
    timers = [timeit.Timer(fn) for fn in fns]
    number = max(timer.autorange()[0] for timer in timers)
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for k, timer in enumerate(timers):
            best[k] = min(best[k], timer.timeit(number) / number)
    return best


def timings(rows, cols):
    X = matrix(rows, cols)
    features = [f"f{j}" for j in range(cols)]
    objects = {label: host_object(cls, cols) for label, cls in IMPLEMENTATIONS.items()}
    work = {label: X.copy() for label in IMPLEMENTATIONS}  # the routines write into it
    calls = {}
    for name in ("_perturb_normal", "_perturb_quantile", "_perturb_categorical"):
        calls[name] = lambda label, name=name: getattr(objects[label], name)(
            work[label], 1, 0.1, 0)
    for method in ("normal", "quantile"):
        calls[f'_perturb("{method}")'] = lambda label, method=method: objects[label]._perturb(
            X, features, method, 0.1, 0)

    print(f"\nTime per call, {rows:,} x {cols} float matrix")
    print(f"  {'call':<26}{'native':>12}{'python':>12}{'native/python':>15}")
    for label, call in calls.items():
        native, python = seconds_per_call(*(functools.partial(call, impl)
                                            for impl in IMPLEMENTATIONS))
        print(f"  {label:<26}{native * 1e6:>10.1f}us{python * 1e6:>10.1f}us"
              f"{native / python:>15.3f}")


def peak_memory(cls, X, n_repeats):
    obj = host_object(cls, X.shape[1])
    features = list(obj.dataset.feature_names)
    weights = np.arange(1.0, X.shape[1] + 1)

    def predict(M):
        return M @ weights

    tracemalloc.start()
    result = obj._repeat_perturb_pred(X, predict, n_repeats, features, "normal", 0.1, 0)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return peak, result.nbytes


def memory(rows=200_000, cols=10, n_repeats=10):
    X = matrix(rows, cols)
    print(f"\nPeak traced memory of _repeat_perturb_pred(n_repeats={n_repeats}), "
          f"{rows:,} x {cols} float matrix (X.nbytes = {X.nbytes / 2**20:.1f} MiB)")
    for label, cls in IMPLEMENTATIONS.items():
        peak, predictions = peak_memory(cls, X, n_repeats)
        print(f"  {label:<8} peak {peak / 2**20:8.1f} MiB = {peak / X.nbytes:5.2f} x X.nbytes "
              f"(the predictions alone: {predictions / X.nbytes:.2f} x X.nbytes)")


def main():
    warnings.simplefilter("ignore", RuntimeWarning)
    print(f"numpy {np.__version__}, Python {sys.version.split()[0]}")
    memory()
    timings(100, 5)
    timings(100_000, 20)


if __name__ == "__main__":
    main()
