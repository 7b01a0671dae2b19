"""Parallel runs on loky, threads and a real Dask cluster give the sequential result."""

import os
import re

import joblib
import numpy as np
import pandas as pd
import pytest
from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

from conftest import assert_same_result
from misbehaving_models import ExitInWorker, LocksOnFirstUse
from korvan.data import DataSet
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import wrap_model
from korvan.parallel import ModelTransferError, ParallelRobustnessTest, WorkerDiedError
from korvan.sweep import sweep


def _frame(task, n=300, seed=0):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "a": rng.normal(size=n),
        "b": rng.uniform(-2, 2, size=n),
        "city": rng.choice(["north", "south", "east"], size=n),
        "d": rng.integers(0, 9, size=n).astype(float),
    })
    signal = frame.a * 2 + frame.b - (frame.city == "east") + 0.1 * frame.d
    frame["y"] = signal + rng.normal(scale=0.3, size=n) if task == "regression" else signal > 0
    return frame


@pytest.fixture(scope="module")
def cases():
    """(data set, fitted model) for each task; the forests predict tree by tree, in order."""
    out = {}
    for task, cls in (("regression", RandomForestRegressor),
                      ("classification", RandomForestClassifier)):
        ds = DataSet(_frame(task), target="y", task_type=task)
        X, y, _ = ds.get_X_y_data(dataset="train")
        out[task] = ds, wrap_model(cls(n_estimators=8, max_depth=6, random_state=0).fit(X, y))
    return out


@pytest.fixture(scope="session")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(params=["loky", "threading", "dask"])
def backend(request):
    """joblib's configuration for the backend (Dask: on the shared cluster), to enter.

    The sequential run is made outside it: under Dask's configuration a
    forest would spread its own trees over the cluster.
    """
    if request.param == "dask":
        request.getfixturevalue("dask_client")
    return lambda: joblib.parallel_config(backend=request.param)


RUNS = [
    ("regression", 2, dict(noise_levels=[0.1, 0.4], n_repeats=4, perturb_method="normal")),
    ("regression", -1, dict(noise_levels=0.3, n_repeats=5, perturb_method="quantile",
                            perturb_features=("city", "b", "city"), random_state=7)),
    ("classification", 1, dict(noise_levels=[0.2, 0.2, 0.5], n_repeats=3, metric="ACC")),
    ("classification", 2, dict(noise_levels=(1, 2), n_repeats=3, perturb_method="quantile",
                               metric="AUC", threshold=0.25)),
]


@pytest.mark.parametrize("task, n_jobs, kwargs", RUNS,
                         ids=["normal-2-levels", "quantile-1-level", "dup-levels-n1", "int-levels"])
def test_equal_to_sequential(backend, cases, task, n_jobs, kwargs):
    ds, model = cases[task]
    expected = RobustnessTest(ds, model).run(**kwargs)
    finished = []
    test = ParallelRobustnessTest(ds, model, n_jobs=n_jobs, progress=lambda: finished.append(1))
    with backend():
        got = test.run(**kwargs)
    assert_same_result(got, expected)
    n_levels = len(kwargs["noise_levels"]) if not isinstance(kwargs["noise_levels"], float) else 1
    assert len(finished) == n_levels * kwargs["n_repeats"]


def test_sweep_equal_to_sequential_sweep(backend, cases):
    ds, model = cases["regression"]
    run = dict(noise_levels=[0.2, 0.5], n_repeats=3, perturb_method="quantile", dataset="main")
    expected = sweep(RobustnessTest(ds, model), keep_results=True, **run)
    test = ParallelRobustnessTest(ds, model, n_jobs=2)
    test.max_prepared_bytes = 2 * 8 * 6 * ds.n_samples  # two runs a chunk: three chunks
    with backend():
        got = sweep(test, executor=test, keep_results=True, **run)
    pairs = list(zip(got.rows + [got.all_features], expected.rows + [expected.all_features],
                     strict=True))
    assert len(pairs) == 5
    for mine, theirs in pairs:
        assert mine.name == theirs.name
        assert_same_result(mine.result, theirs.result)


@pytest.mark.parametrize("make_kwargs", [
    lambda: dict(noise_levels=[0.1, -0.5]),                   # numpy refuses it in a worker
    lambda: dict(noise_levels=iter([0.1, 0.2])),              # not indexable: fails after the loop
    lambda: dict(n_repeats=2.0),                              # the native argument check
], ids=["negative-level", "iterator-levels", "float-repeats"])
def test_errors_are_the_sequential_ones(cases, make_kwargs):
    ds, model = cases["regression"]
    with pytest.raises(Exception) as expected:
        RobustnessTest(ds, model).run(**make_kwargs())
    with joblib.parallel_config(backend="loky"):
        with pytest.raises(type(expected.value), match=re.escape(str(expected.value))):
            ParallelRobustnessTest(ds, model, n_jobs=2).run(**make_kwargs())


def test_dead_worker_fails_the_run_naming_the_round(cases):
    ds, model = cases["regression"]
    dying = wrap_model(ExitInWorker(model.estimator))
    with joblib.parallel_config(backend="loky"):
        with pytest.raises(WorkerDiedError) as info:
            ParallelRobustnessTest(ds, dying, n_jobs=2).run(noise_levels=[0.1, 0.2], n_repeats=3)
    message = str(info.value)
    assert "\n" not in message
    assert re.search(r"round \d of 6 \(noise level 0\.[12], repeat \d\)", message), message


@pytest.mark.parametrize("process_backend", ["loky", "dask"])
def test_unpicklable_model_is_refused_before_any_round(request, cases, process_backend):
    if process_backend == "dask":
        request.getfixturevalue("dask_client")
    ds, model = cases["regression"]
    locking = wrap_model(LocksOnFirstUse(model.estimator))
    started = []
    with joblib.parallel_config(backend=process_backend):
        with pytest.raises(ModelTransferError) as info:
            ParallelRobustnessTest(ds, locking, n_jobs=2, progress=lambda: started.append(1)).run()
    assert not started
    message = str(info.value)
    assert "\n" not in message and 'backend="threading"' in message
    assert "_thread.lock" in message
    # Threads share the model instead of pickling it.
    with joblib.parallel_config(backend="threading"):
        assert_same_result(ParallelRobustnessTest(ds, locking, n_jobs=2).run(),
                           RobustnessTest(ds, locking).run())
