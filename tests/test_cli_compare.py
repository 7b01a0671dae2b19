"""The command comparing several models: fitted by kind, or loaded from several files."""
import json

import pandas as pd
import pytest
import skops.io as sio
from sklearn.datasets import load_diabetes
from sklearn.ensemble import RandomForestRegressor
from sklearn.linear_model import LinearRegression, Ridge

from korvan.compare import ModelComparison
from korvan.data import DataSet
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import wrap_model
from shared import run_cli

FAST = ["--n-repeats", "4", "--noise-levels", "0.2,0.6"]
SEED = 2


@pytest.fixture(scope="module")
def model_files(tmp_path_factory):
    """The diabetes table as CSV, and three regressors fitted on its train split: two on
    every column, one without bmi."""
    folder = tmp_path_factory.mktemp("compare")
    frame = load_diabetes(as_frame=True).frame
    data = folder / "diabetes.csv"
    frame.to_csv(data, index=False)
    ds = DataSet(frame, "target", task_type="regression", random_state=SEED)
    train = frame.loc[ds.get_index("train")]
    X, y = train.drop(columns="target"), train["target"]
    fitted = {"forest": RandomForestRegressor(n_estimators=15, random_state=0).fit(X, y),
              "ridge": Ridge().fit(X, y),
              "no_bmi": LinearRegression().fit(X.drop(columns="bmi"), y)}
    paths = {}
    for name, est in fitted.items():
        paths[name] = folder / f"{name}.skops"
        sio.dump(est, paths[name])
    trust = ",".join(sorted({t for p in paths.values() for t in sio.get_untrusted_types(file=p)}))
    return frame, data, fitted, paths, (["--trust", trust] if trust else [])


def test_two_model_files_give_each_models_solo_run(model_files, tmp_path, capsys):
    frame, data, fitted, paths, trust = model_files
    out_dir = tmp_path / "out"
    argv = [data, "--target", "target", "--model-file", paths["forest"], "--model-file",
            paths["ridge"], *trust, "--seed", SEED, *FAST, "--output", out_dir]
    code, out, err = run_cli(argv, capsys)
    assert (code, err) == (0, "")
    cmp = ModelComparison.load(out_dir / "result.json")
    assert cmp.names == ["forest", "ridge"]
    # The command's data set, rebuilt: each model's result is its run alone (a loaded
    # model's data is taken for a holdout, so every row is scored).
    ds = DataSet(frame, "target", task_type="regression", random_state=SEED, name="diabetes")
    for name in cmp.names:
        solo = RobustnessTest(ds, wrap_model(fitted[name], dataset=ds)).run(
            dataset="main", metric="MSE", n_repeats=4, noise_levels=[0.2, 0.6], threshold=0.1,
            random_state=SEED)
        pd.testing.assert_frame_equal(cmp.results[name].table, solo.table, check_exact=True)
        for level in (0.2, 0.6):
            assert cmp.results[name].value[level] == solo.value[level]
    # The table: models as rows, most robust first, then one sentence per pair.
    lines = out.splitlines()
    head = next(i for i, line in enumerate(lines) if line.split()[:2] == ["Model", "Baseline"])
    assert [lines[head + 1 + i].split()[0] for i in range(2)] == cmp.ranking
    assert f"  {cmp.sentences()[0]}." in lines
    saved = json.loads((out_dir / "result.json").read_text())
    assert saved["comparison"]["sentences"] == cmp.sentences()
    assert sorted(p.name for p in out_dir.iterdir()) == ["chart.png", "report.html", "result.json"]
    assert 'id="ranking-table"' in (out_dir / "report.html").read_text()


def test_model_kinds_with_a_limit_name_each_failing_model(tmp_path, capsys):
    out_dir = tmp_path / "out"
    argv = ["--bundled", "diabetes", "--model", "gbm,linear", *FAST, "--max-drop", "0",
            "--output", out_dir]
    code, out, err = run_cli(argv, capsys)
    cmp = ModelComparison.load(out_dir / "result.json")
    assert (code, err, cmp.names) == (1, "", ["gbm", "linear"])
    verdict = cmp.check(0.0)
    assert out.splitlines()[-1] == verdict.message
    assert verdict.message.startswith("FAIL: 2 of 2 models over the limit 0.00%")
    assert all(f"{name} (" in verdict.message for name in ("gbm", "linear"))


def test_per_feature_ranks_the_features_of_each_model(model_files, tmp_path, capsys):
    frame, data, fitted, paths, trust = model_files
    out_dir = tmp_path / "out"
    argv = [data, "--target", "target", "--model-file", paths["forest"], "--model-file",
            paths["ridge"], *trust, "--seed", SEED, *FAST, "--per-feature",
            "--features", "bmi,s5,age", "--output", out_dir]
    code, out, err = run_cli(argv, capsys)
    assert (code, err) == (0, "")
    sweeps = json.loads((out_dir / "features.json").read_text())["models"]
    assert list(sweeps) == ["forest", "ridge"]
    assert sorted(p.name for p in out_dir.iterdir()) == [
        "chart.png", "features-forest.png", "features-ridge.png", "features.json",
        "report.html", "result.json"]
    for name in ("forest", "ridge"):
        assert f"{name}:" in out.splitlines()
        ranked = [row[0] for row in sweeps[name]["table"]["data"]]
        assert sorted(ranked) == ["age", "bmi", "s5"]


@pytest.mark.parametrize("extra, message", [
    (["--model-file", "no_bmi"], "--model-file: The models take different features: "
                                  "no_bmi lacks bmi"),
    (["--model-file", "forest", "--worst-rows", "w.csv"],
     "--worst-rows lists the worst rows of one model"),
    (["--model-file", "ridge"], "--model-file: a file is given twice"),
])
def test_refusals_before_any_work(model_files, tmp_path, capsys, extra, message):
    frame, data, fitted, paths, trust = model_files
    extra = [paths[a] if a in paths else a for a in extra]
    argv = [data, "--target", "target", "--model-file", paths["ridge"], *extra, *trust, *FAST,
            "--output", tmp_path / "out"]
    code, out, err = run_cli(argv, capsys)
    assert (code, out) == (2, "")
    assert err == f"korvan-robustness: error: {message}\n" or err.startswith(
        f"korvan-robustness: error: {message}")
    assert "\n" not in err.rstrip("\n") and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kinds, message", [
    ("gbm,linear,gbm", "'gbm,linear,gbm' names a model twice"),
    ("gbm,tree", "'tree' is not a model; choose from gbm, linear, forest"),
])
def test_model_kinds_are_checked(tmp_path, capsys, kinds, message):
    code, out, err = run_cli(["--demo", "--model", kinds, "--output", tmp_path / "o"], capsys)
    assert (code, out) == (2, "") and message in err and err.count("\n") == 1


def test_jobs_give_the_sequential_comparison(model_files, tmp_path, capsys):
    frame, data, fitted, paths, trust = model_files
    base = [data, "--target", "target", "--model-file", paths["forest"], "--model-file",
            paths["ridge"], *trust, "--seed", SEED, *FAST]
    results = []
    for extra in ([], ["--jobs", "2"]):
        code, _, err = run_cli(base + extra + ["--output", tmp_path / str(len(results))], capsys)
        assert (code, err) == (0, "")
        results.append(ModelComparison.load(tmp_path / str(len(results)) / "result.json"))
    for name in ("forest", "ridge"):
        pd.testing.assert_frame_equal(results[1].results[name].table,
                                      results[0].results[name].table, check_exact=True)
        assert results[1].results[name].value == results[0].results[name].value
