"""The default choice of workers, rounds computed once, one baseline per sweep."""

import pickle
import sys
import threading
import time

import joblib
import numpy as np
import pandas as pd
import pytest
from sklearn.ensemble import HistGradientBoostingRegressor, RandomForestRegressor
from sklearn.linear_model import Ridge

from conftest import assert_same_result
from plain_models import CountsCalls, PurePython
from korvan.data import DataSet
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import wrap_model
from korvan.parallel import ParallelRobustnessTest, one_baseline
from korvan.parallel.choice import LockWatch, decide
from korvan.sweep import sweep


def _frame(n, seed=0):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({f"x{j}": rng.normal(size=n) for j in range(6)})
    frame["city"] = rng.choice(["north", "south", "east"], size=n)
    frame["y"] = frame.x0 * 2 + frame.x1 - (frame.city == "east") + rng.normal(scale=0.3, size=n)
    return frame


@pytest.fixture(scope="module")
def big():
    """20,000 rows and a forest whose rounds take a tenth of a second or so."""
    ds = DataSet(_frame(20_000), target="y", task_type="regression")
    X, y, _ = ds.get_X_y_data("train")
    forest = RandomForestRegressor(n_estimators=60, max_depth=10, random_state=0).fit(X, y)
    return ds, forest


@pytest.fixture(scope="module")
def small():
    ds = DataSet(_frame(300, seed=1), target="y", task_type="regression")
    X, y, _ = ds.get_X_y_data("train")
    return ds, RandomForestRegressor(n_estimators=5, max_depth=4, random_state=0).fit(X, y)


RUN = dict(noise_levels=[0.1, 0.3], n_repeats=3, dataset="main")


def _pure(ds):
    return PurePython(np.linspace(-1, 1, len(ds.feature_names)), work=4)


@pytest.mark.parametrize("which, kind", [
    ("forest", "threads"),        # compiled predict: releases the lock
    ("pure", "processes"),        # the interpreter's loop: holds it
    ("tiny", "inline"),           # a few milliseconds of rounds
])
def test_default_choice_per_model(big, small, which, kind):
    ds, estimator = small if which == "tiny" else big
    model = wrap_model(_pure(ds) if which == "pure" else estimator)
    # Enough rounds for workers to pay, except on the tiny data set.
    run = RUN if which == "tiny" else dict(RUN, noise_levels=[0.1, 0.2, 0.3], n_repeats=8)
    if kind == "processes":
        # A process pool already running, as after a first run of a session.
        with joblib.parallel_config(backend="loky"):
            ParallelRobustnessTest(small[0], wrap_model(small[1]), n_jobs=2).run(n_repeats=2)
    expected = RobustnessTest(ds, model).run(**run)
    test = ParallelRobustnessTest(ds, model, n_jobs=2)
    got = test.run(**run)
    assert test.choice.kind == kind, str(test.choice)
    assert str(test.choice) == {"threads": "2 threads", "processes": "2 processes",
                                "inline": "one core: the run is too small"}[kind]
    assert_same_result(got, expected)


def test_configured_backend_still_decides(small):
    ds, estimator = small
    model = wrap_model(estimator)
    test = ParallelRobustnessTest(ds, model, n_jobs=2)
    with joblib.parallel_config(backend="threading"):
        got = test.run(**RUN)
    assert str(test.choice) == "2 threads"
    assert_same_result(got, RobustnessTest(ds, model).run(**RUN))


@pytest.mark.parametrize("seconds, holds, rest, warm, kind", [
    (0.10, False, 5, False, "inline"),     # half a second of rounds: threads may not pay
    (0.30, False, 5, False, "threads"),
    (0.30, None, 5, False, "threads"),     # too short to tell: threads cost little
    (0.50, False, 1, False, "inline"),     # one round left
    (0.10, True, 5, False, "inline"),      # half a second cannot pay for a new pool
    (0.10, True, 20, True, "processes"),   # a warm pool can
    (1.00, True, 20, False, "processes"),
])
def test_decide(seconds, holds, rest, warm, kind):
    assert decide(seconds, holds, rest, 2, 10**6, pool_warm=warm).kind == kind


def _spin(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


@pytest.mark.parametrize("block, holds", [
    (lambda: _spin(0.3), True),
    (lambda: time.sleep(0.3), False),
    (lambda: np.linalg.eigvalsh(np.random.default_rng(0).normal(size=(600, 600))), False),
])
def test_lock_watch(block, holds):
    before = sys.getswitchinterval()
    with LockWatch() as watch:
        block()
    assert watch.holds is holds, (watch.blocked, len(watch.delays))
    assert sys.getswitchinterval() == before


def test_lock_watches_in_two_threads_give_the_interval_back():
    before = sys.getswitchinterval()
    first = LockWatch().__enter__()
    second = threading.Thread(target=lambda: LockWatch().__enter__().__exit__())
    second.start()
    second.join()
    assert sys.getswitchinterval() == pytest.approx(LockWatch.INTERVAL)  # the first still watches
    first.__exit__()
    assert sys.getswitchinterval() == before


class _PoolThreads:
    """Notes the OpenMP threads the predicting thread may use."""

    def __init__(self, estimator):
        self.estimator = estimator
        self.seen = []

    def predict(self, X):
        from threadpoolctl import threadpool_info

        # One figure per call: the most any OpenMP library loaded (LightGBM may bring its own).
        threads = [p["num_threads"] for p in threadpool_info() if p["user_api"] == "openmp"]
        if threads:
            self.seen.append(max(threads))
        return self.estimator.predict(X)


def test_threads_hold_the_model_pools_to_their_share(big):
    ds, estimator = big
    pytest.importorskip("threadpoolctl")
    watched = _PoolThreads(HistGradientBoostingRegressor(max_iter=20).fit(
        *ds.get_X_y_data("train")[:2]))
    model = wrap_model(watched, name="hgb")
    test = ParallelRobustnessTest(ds, model, n_jobs=2)
    with joblib.parallel_config(backend="threading"):
        got = test.run(**RUN)
    assert watched.seen, "no OpenMP library loaded"
    rounds = watched.seen[1:]  # the first call is the baseline, in this thread
    assert rounds and max(rounds) <= max(1, joblib.cpu_count() // 2)
    assert_same_result(got, RobustnessTest(ds, model).run(**RUN))


# -- how often the model predicts ---------------------------------------------

def _counting(tmp_path, estimator, name="calls"):
    counter = CountsCalls(estimator, tmp_path / name)
    return counter, wrap_model(counter, name=type(estimator).__name__)


BACKENDS = {
    "sequential": None,
    "default": lambda: joblib.parallel_config(),
    "threading": lambda: joblib.parallel_config(backend="threading"),
    "loky": lambda: joblib.parallel_config(backend="loky"),
}


@pytest.mark.parametrize("backend", list(BACKENDS))
def test_predict_calls_of_a_run_and_a_sweep(tmp_path, small, backend):
    ds, estimator = small
    run = dict(RUN, perturb_method="quantile")
    levels, repeats, features = len(run["noise_levels"]), run["n_repeats"], len(ds.feature_names)
    expected_run = RobustnessTest(ds, wrap_model(estimator)).run(**run)
    expected_sweep = sweep(RobustnessTest(ds, wrap_model(estimator)), keep_results=True, **run)

    counter, model = _counting(tmp_path, estimator)
    if backend == "sequential":
        test = RobustnessTest(ds, model)
        got_run = test.run(**run)
        after_run = counter.calls()
        found = sweep(test, keep_results=True, **run)
    else:
        test = ParallelRobustnessTest(ds, model, n_jobs=2)
        test.max_prepared_bytes = 3 * 8 * levels * repeats * ds.n_samples  # chunks of 3 runs
        with BACKENDS[backend]():
            got_run = test.run(**run)
            after_run = counter.calls()
            found = sweep(test, executor=test, keep_results=True, **run)
    assert after_run == levels * repeats + 1
    assert counter.calls() - after_run == features * levels * repeats + levels * repeats + 1
    assert_same_result(got_run, expected_run)
    for mine, theirs in zip(found.rows + [found.all_features],
                            expected_sweep.rows + [expected_sweep.all_features], strict=True):
        assert mine.name == theirs.name
        assert_same_result(mine.result, theirs.result)


def test_one_baseline_gives_the_test_back(tmp_path, small):
    ds, estimator = small
    counter, model = _counting(tmp_path, estimator)
    test = RobustnessTest(ds, model)
    own = test.dataset, test.model
    with one_baseline(test):
        first = test.run(**RUN)
        second = test.run(**RUN)
        # Sent to a worker, the test carries the plain data set and model.
        sent = pickle.loads(pickle.dumps((test.dataset, test.model)))
        assert type(sent[0]) is type(ds) and type(sent[1]) is type(model)
    assert test.dataset is own[0] and test.model is own[1]
    assert counter.calls() == 2 * 6 + 1
    assert_same_result(second, first)
    X, _, _ = ds.get_X_y_data("main")
    assert X.flags.writeable  # the data set's own arrays stay as they were


# -- several models on the same rounds ----------------------------------------

class _CountsPerturbations(ParallelRobustnessTest):
    perturbations = 0

    def _perturb(self, *args, **kwargs):
        type(self).perturbations += 1
        return super()._perturb(*args, **kwargs)


@pytest.mark.parametrize("backend", ["default", "threading", "loky"])
def test_run_models_perturbs_each_round_once(tmp_path, big, backend):
    ds, forest = big
    X, y, _ = ds.get_X_y_data("train")
    ridge = Ridge().fit(X, y)
    counters = [_counting(tmp_path, est, f"calls{i}") for i, est in enumerate((forest, ridge))]
    models = [model for _, model in counters]
    expected = [RobustnessTest(ds, wrap_model(est)).run(**RUN) for est in (forest, ridge)]
    _CountsPerturbations.perturbations = 0
    test = _CountsPerturbations(ds, models[0], n_jobs=2)
    with BACKENDS[backend]():
        got = test.run_models(models, **RUN)
    rounds = len(RUN["noise_levels"]) * RUN["n_repeats"]
    if backend != "loky":  # worker processes count in their own copy of the class
        assert _CountsPerturbations.perturbations == rounds
    assert [c.calls() for c, _ in counters] == [rounds + 1, rounds + 1]
    for mine, theirs in zip(got, expected, strict=True):
        assert_same_result(mine, theirs)
