"""Benchmark of RobustnessTest.run against the same statements written in Python.

    .venv/bin/python bench/bench_run.py [--quick] [--no-perf]

Prints, for regression data of 1,000 x 10 and 100,000 x 20 (two of the columns
categorical) and for a linear and a gradient-boosting model:

* the time of ``run`` with its defaults and with three noise levels, native
  and pure Python (tests/reference.py) timed in the same process, and their
  ratio (all on the "main" split, so every row is used);
* the share of the native run's time spent in the model and the metric
  (predict_func and score_func, timed by wrapping the host's functions);
* the glue: the share of the native run's time spent in the extension's own
  code and in the interpreter calls it makes itself, as opposed to numpy,
  pandas, scikit-learn and the host's Python code. It is measured by sampling
  with ``perf`` (when present) and attributing each sample to the nearest
  frame on its stack that belongs to one of those;
* tracemalloc's peak of ``run`` on the large data as a multiple of X.nbytes.

Nothing is asserted; the figures are for people to read.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import tracemalloc
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.linear_model import LinearRegression

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

import reference  # noqa: E402
from korvan.data import DataSet  # noqa: E402
from korvan.factsheet.diagnose import robustness  # noqa: E402
from korvan.models import wrap_model  # noqa: E402

SIZES = {"a": (1_000, 10), "b": (100_000, 20)}
CONFIGS = {"defaults": {}, "3 levels": {"noise_levels": [0.1, 0.2, 0.3]}}
MODELS = {
    "linear": lambda: LinearRegression(),
    "gbm": lambda: HistGradientBoostingRegressor(max_iter=50, random_state=0),
}


def make_data(n, p):
    rng = np.random.default_rng(0)
    frame = pd.DataFrame(rng.normal(size=(n, p - 2)), columns=[f"x{j}" for j in range(p - 2)])
    for j in range(2):
        frame[f"c{j}"] = rng.choice(["k0", "k1", "k2", "k3"], n)
    frame["y"] = frame.iloc[:, : p - 2].to_numpy() @ rng.normal(size=p - 2) \
        + (frame.c0 == "k1") + rng.normal(size=n) * 0.1
    return DataSet(frame, "y", task_type="regression", name=f"{n}x{p}")


def make_model(kind, data):
    X, y, _ = data.get_X_y_data("main")
    return wrap_model(MODELS[kind]().fit(X[:2000], y[:2000]))


class ModelClock:
    """Wraps the host's get_scorer_funcs in both modules so that the time spent
    inside predict_func and score_func is added up."""

    def __init__(self):
        self.spent = 0.0
        self.original = robustness.get_scorer_funcs

    def _timed(self, fn):
        def wrapper(*args, **kw):
            start = time.perf_counter()
            try:
                return fn(*args, **kw)
            finally:
                self.spent += time.perf_counter() - start
        return wrapper

    def _scorer(self, model, metric):
        sign, score, predict = self.original(model, metric)
        return sign, self._timed(score), self._timed(predict)

    def __enter__(self):
        robustness.get_scorer_funcs = reference.get_scorer_funcs = self._scorer
        return self

    def __exit__(self, *exc):
        robustness.get_scorer_funcs = reference.get_scorer_funcs = self.original


def timed_runs(data, model, kwargs, k):
    """Best (seconds, seconds in model and metric) of k native and k Python runs,
    alternated so that a busy moment of the machine hits both alike."""
    runs = {robustness.RobustnessTest: [], reference.RobustnessTest: []}
    with ModelClock() as clock:
        for _ in range(k):
            for cls, times in runs.items():
                clock.spent = 0.0
                test = cls(data, model)
                start = time.perf_counter()
                test.run(dataset="main", **kwargs)
                times.append((time.perf_counter() - start, clock.spent))
    return min(runs[robustness.RobustnessTest]), min(runs[reference.RobustnessTest])


def peak_memory(cls, data, model, kwargs):
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        result = cls(data, model).run(dataset="main", **kwargs)
        peak = tracemalloc.get_traced_memory()[1] - base
        del result
    finally:
        tracemalloc.stop()
    return peak


# -- glue, sampled with perf ---------------------------------------------------

def classify(frames):
    """The owner of one sample, from its frames listed leaf first."""
    for sym, dso in frames:
        if "robustness.cpython" in dso:
            return "extension"
        if sym.startswith("_PyEval_EvalFrameDefault"):
            return "python code"
        if "site-packages" in dso:
            return "libraries"
    return "other"


def parse_samples(text):
    samples, frames = [], []
    for line in text.splitlines():
        line = line.strip()
        if not line:
            if frames:
                samples.append(frames)
            frames = []
            continue
        # "<address> <symbol> (<dso>)"
        _, _, rest = line.partition(" ")
        sym, _, dso = rest.rpartition(" (")
        frames.append((sym, dso.rstrip(")")))
    if frames:
        samples.append(frames)
    return samples


def perf_child(size, ctl, ack):
    """Runs under perf: set-up with sampling off, then native runs with it on."""
    warnings.simplefilter("ignore")
    data = make_data(*SIZES[size])
    model = make_model("linear", data)
    test = robustness.RobustnessTest(data, model)
    kwargs = dict(dataset="main", noise_levels=[0.1, 0.2, 0.3])
    test.run(**kwargs)

    def command(word):
        with open(ctl, "w") as fh:
            fh.write(word + "\n")
        with open(ack) as fh:
            fh.readline()

    command("enable")
    for _ in range(30 if size == "a" else 1):
        test.run(**kwargs)
    command("disable")


def glue_shares(size):
    if not shutil.which("perf"):
        return None
    with tempfile.TemporaryDirectory() as tmp:
        ctl, ack, out = (os.path.join(tmp, name) for name in ("ctl", "ack", "perf.data"))
        os.mkfifo(ctl)
        os.mkfifo(ack)
        record = ["perf", "record", "-q", "-F", "999", "-e", "cpu-clock",
                  "--call-graph", "dwarf,16384", "-D", "-1", f"--control=fifo:{ctl},{ack}",
                  "-o", out, "--", sys.executable, __file__, "--perf-child", size, ctl, ack]
        if subprocess.run(record, capture_output=True).returncode != 0:
            return None
        script = subprocess.run(["perf", "script", "-i", out, "-F", "ip,sym,dso"],
                                capture_output=True, text=True)
    samples = parse_samples(script.stdout)
    if not samples:
        return None
    owners = pd.Series([classify(s) for s in samples]).value_counts(normalize=True)
    return len(samples), owners


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--no-perf", action="store_true", help="skip the glue sampling")
    parser.add_argument("--perf-child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.perf_child:
        return perf_child(*args.perf_child)
    warnings.simplefilter("ignore")

    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, pandas {pd.__version__}, "
          f"{os.cpu_count()} cores")
    print("\nrun time, best of k (native vs tests/reference.py, same process)")
    print(f"{'data':>14} {'model':>7} {'config':>9} {'k':>2} {'native ms':>10} {'python ms':>10} "
          f"{'ratio':>6} {'model+metric':>13}")
    datasets = {}
    for size, (n, p) in SIZES.items():
        data = datasets[size] = make_data(n, p)
        for kind in MODELS:
            model = make_model(kind, data)
            for config, kwargs in CONFIGS.items():
                # The big runs are costly; the linear ones are short enough to repeat more.
                k = (1 if args.quick else 4 if kind == "linear" else 2) if size == "b" \
                    else (3 if args.quick else 7)
                if size == "a":  # first calls fill caches; not worth it for the big runs
                    robustness.RobustnessTest(data, model).run(dataset="main", **kwargs)
                (t_native, in_model), (t_python, _) = timed_runs(data, model, kwargs, k)
                print(f"{f'({size}) {n:,}x{p}':>14} {kind:>7} {config:>9} {k:>2} "
                      f"{t_native * 1e3:10.1f} {t_python * 1e3:10.1f} {t_native / t_python:6.3f} "
                      f"{in_model / t_native:12.1%}")

    print("\nglue: where the native run's CPU samples fall (linear model, 3 levels)")
    if args.no_perf:
        print("  skipped (--no-perf)")
    for size in ([] if args.no_perf else SIZES):
        shares = glue_shares(size)
        if shares is None:
            print(f"  ({size}) perf is not available here")
            continue
        count, owners = shares
        parts = ", ".join(f"{name} {share:.2%}" for name, share in owners.items())
        print(f"  ({size}) {count} samples: {parts}")
    print("  extension = the module's own code and the interpreter calls it makes directly;")
    print("  libraries = numpy, pandas, scikit-learn native code; python code = their and the")
    print("  host's Python functions; other = samples perf could not unwind to either")

    data = datasets["b"]
    model = make_model("linear", data)
    X = data.get_X_y_data("main")[0]
    print(f"\npeak traced memory of run on (b), X.nbytes = {X.nbytes / 2**20:.1f} MiB, linear model")
    for config, kwargs in CONFIGS.items():
        native = peak_memory(robustness.RobustnessTest, data, model, kwargs)
        python = peak_memory(reference.RobustnessTest, data, model, kwargs)
        print(f"  {config:>9}: native {native / X.nbytes:5.2f} x X.nbytes ({native / 2**20:.1f} MiB), "
              f"python {python / X.nbytes:5.2f} x")


if __name__ == "__main__":
    main()
