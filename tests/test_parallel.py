"""Parallel runs on loky, threads and a real Dask cluster give the sequential result."""

import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

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


@pytest.fixture(scope="module")
def dask_client():
    # Closed with this module: its scheduler's threads would compete for the
    # interpreter lock with the later tests that watch who holds it.
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
    dying = wrap_model(ExitInWorker(model.estimator, exit_after=1))
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


# -- the command --------------------------------------------------------------

TESTS = Path(__file__).parent
SMALL = ["--n-repeats", "3", "--noise-levels", "0.2,0.5"]


def _command(args, cwd):
    """The command in a session of its own, so that its workers can be found and signalled."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [
        str(TESTS), os.environ.get("PYTHONPATH")]))}
    return subprocess.Popen([sys.executable, "-m", "korvan", *map(str, args)], cwd=cwd, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


def _alive_in_group(pgid):
    """Processes of the group that still run (zombies wait for init only)."""
    alive = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[2]) == pgid and fields[0] != "Z":
                alive.append(int(entry))
    return alive


def _gone(pgid, timeout=20.0):
    deadline = time.monotonic() + timeout
    while _alive_in_group(pgid) and time.monotonic() < deadline:
        time.sleep(0.2)
    return not _alive_in_group(pgid)


@pytest.mark.parametrize("where, sweep_flags", [
    ("jobs", []), ("scheduler", []), ("jobs", ["--per-feature"]),
], ids=["jobs", "scheduler", "jobs-per-feature"])
def test_command_writes_the_sequential_files(request, tmp_path, where, sweep_flags):
    args = ["--bundled", "diabetes", "--model", "linear", *SMALL, *sweep_flags]
    options = (["--jobs", "2"] if where == "jobs" else
               ["--scheduler", request.getfixturevalue("dask_client").scheduler.address])
    sequential = _command([*args, "--output", "seq"], tmp_path)
    parallel = _command([*args, *options, "--output", "par"], tmp_path)
    for proc in (sequential, parallel):
        _, err = proc.communicate(timeout=600)
        assert proc.returncode == 0, err
    written = sorted(p.name for p in (tmp_path / "seq").glob("*.json"))
    assert "result.json" in written and written == sorted(
        p.name for p in (tmp_path / "par").glob("*.json"))
    for name in written:
        assert (tmp_path / "par" / name).read_bytes() == (tmp_path / "seq" / name).read_bytes()


@pytest.fixture(scope="module")
def data_file(tmp_path_factory, cases):
    folder = tmp_path_factory.mktemp("command")
    _frame("regression").to_csv(folder / "data.csv", index=False)
    ds, model = cases["regression"]
    return folder, model.estimator


@pytest.mark.parametrize("make, status, pattern", [
    (lambda est: ExitInWorker(est, exit_after=2), 3,
     r"worker stopped .* round \d+ of 6 \(noise level 0\.[25], repeat \d\)"),
    (LocksOnFirstUse, 2, r"cannot be sent to worker processes .*backend=\"threading\""),
], ids=["dying-worker", "unpicklable"])
def test_command_failure_is_one_line_and_writes_nothing(data_file, make, status, pattern):
    folder, estimator = data_file
    joblib.dump(make(estimator), folder / "model.joblib")
    proc = _command(["data.csv", "--target", "y", "--categorical", "city", "--model-file",
                     "model.joblib", "--allow-pickle", "--jobs", "2", "--workers", "processes",
                     *SMALL, "--output", "out"],
                    folder)
    _, err = proc.communicate(timeout=600)
    assert proc.returncode == status
    lines = err.strip().splitlines()
    assert len(lines) == 1 and re.search(pattern, lines[0]), err
    assert not (folder / "out").exists()
    assert _gone(proc.pid)


def test_ctrl_c_stops_the_workers_and_writes_nothing(tmp_path):
    proc = _command(["--bundled", "diabetes", "--model", "linear", "--n-repeats", "5000",
                     "--jobs", "2", "--workers", "processes", "--output", "out"], tmp_path)
    deadline = time.monotonic() + 300
    while len(_alive_in_group(proc.pid)) < 3 and time.monotonic() < deadline:
        time.sleep(0.2)  # the command and its two workers
    time.sleep(1)
    os.killpg(proc.pid, signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 130
    lines = err.strip().splitlines()
    assert len(lines) == 1 and "interrupted" in lines[0], err
    assert not (tmp_path / "out").exists()
    assert _gone(proc.pid)


def _main(argv, capsys):
    from korvan import cli

    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_jobs_beyond_the_cores_is_capped_with_a_note(tmp_path, capsys):
    args = ["--bundled", "diabetes", "--model", "linear", *SMALL, "--per-feature", "--no-html"]
    code, _, err = _main([*args, "--output", tmp_path / "seq"], capsys)
    assert code == 0 and err == ""
    code, out, err = _main([*args, "--jobs", "9999", "--output", tmp_path / "par"], capsys)
    assert code == 0 and err == ""
    cores = joblib.cpu_count()
    assert out.count("--jobs") == 1 and (f"--jobs 9999 is more than the {cores} cores of this "
                                         f"machine; using {cores}\n") in out
    where = [line for line in out.splitlines() if line.startswith("Rounds computed on ")]
    assert len(where) == 1 and re.fullmatch(
        rf"Rounds computed on (one core: the run is too small|{cores} threads)", where[0])
    for name in ("result.json", "features.json"):
        assert (tmp_path / "par" / name).read_bytes() == (tmp_path / "seq" / name).read_bytes()


@pytest.mark.parametrize("options, words", [
    (["--workers", "threads"], "--workers needs --jobs"),
    (["--workers", "processes", "--scheduler", "tcp://127.0.0.1:1"], "with --scheduler"),
    (["--jobs", "2", "--workers", "fibers"], "invalid choice: 'fibers'"),
])
def test_workers_option_misuse(tmp_path, capsys, options, words):
    code, out, err = _main(["--bundled", "diabetes", "--model", "linear", *options,
                            "--output", tmp_path / "out"], capsys)
    assert code == 2 and len(err.strip().splitlines()) == 1 and words in err, err
    assert not (tmp_path / "out").exists()
