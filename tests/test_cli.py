"""The korvan-robustness command, end to end on the native module."""

import io
import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from matplotlib.image import imread

from korvan import cli
from korvan.data import DataSet, load_bundled
from korvan.factsheet.utils.metric_utils import get_scorer_funcs
from korvan.models import fit_estimator, make_estimator, wrap_model
from korvan.utils.constants import CATEGORICAL
from korvan.utils.results import ValidationResult
from shared import run_cli, signed_pct

FAST = ["--n-repeats", "3", "--noise-levels", "0.2,0.6"]


def write_csv(path, n=150, seed=0):
    rng = np.random.default_rng(seed)
    x1, x2 = rng.normal(size=n), rng.normal(size=n)
    color = rng.choice(["red", "green", "blue"], size=n)
    size = rng.integers(1, 4, size=n)
    price = 3 * x1 - x2 + (color == "red") * 2 + size + rng.normal(scale=0.3, size=n)
    label = np.where(x1 + (color == "blue") + rng.normal(scale=0.5, size=n) > 0.5, "yes", "no")
    pd.DataFrame({"x1": x1, "x2": x2, "color": color, "size": size,
                  "w": rng.uniform(0.5, 2, size=n), "price": price, "label": label}
                 ).to_csv(path, index=False)
    return path


class AnyModel:
    """Enough of a model for get_scorer_funcs to tell a metric's sign."""

    def predict(self, X):
        return np.zeros(len(X))

    def predict_proba(self, X):
        return np.full((len(X), 2), 0.5)


def direct_result(ds, kind, **run_kwargs):
    """The same test run without the command, to check what it forwards."""
    from korvan.factsheet.diagnose.robustness import RobustnessTest

    estimator = make_estimator(kind, ds.task_type, random_state=run_kwargs["random_state"])
    fit_estimator(estimator, *ds.get_X_y_data("train"))
    return RobustnessTest(ds, wrap_model(estimator)).run(**run_kwargs)


CASES = {
    "diabetes": (["--bundled", "diabetes"], "gbm",
                 dict(metric="MSE", perturb_features=None, perturb_method="normal")),
    "breast_cancer": (["--bundled", "breast_cancer", "--metric", "logloss", "--method", "quantile",
                       "--model", "linear"], "linear",
                      dict(metric="LogLoss", perturb_features=None, perturb_method="quantile")),
    "csv_regression": (["{csv}", "--target", "price", "--categorical", "size",
                        "--sample-weight", "w", "--metric", "MAE", "--model", "forest"], "forest",
                       dict(metric="MAE", perturb_features=None, perturb_method="normal")),
    "csv_classification": (["{csv}", "--target", "label", "--sample-weight", "w", "--features",
                            "color,x1", "--metric", "ACC", "--split", "main"], "gbm",
                           dict(metric="ACC", perturb_features=["color", "x1"],
                                perturb_method="normal", dataset="main")),
}


def dataset_for(case, csv):
    if case.startswith("csv"):
        target = "price" if case == "csv_regression" else "label"
        types = {"size": CATEGORICAL} if case == "csv_regression" else None
        return DataSet.from_csv(csv, target, sample_weight="w", feature_types=types,
                                random_state=7)
    return load_bundled(case, random_state=7)


@pytest.mark.parametrize("case", list(CASES))
def test_command_runs_end_to_end(tmp_path, capsys, case):
    args, kind, expected = CASES[case]
    csv = write_csv(tmp_path / "data.csv")
    out_dir = tmp_path / "out"
    argv = [a.format(csv=csv) for a in args] + FAST + [
        "--threshold", "0.2", "--seed", "7", "--output", out_dir]
    code, out, err = run_cli(argv, capsys)
    assert (code, err) == (0, "")

    saved = ValidationResult.load(out_dir / "result.json")
    payload = json.loads((out_dir / "result.json").read_text(),
                         parse_constant=lambda c: pytest.fail(f"non-JSON constant {c}"))
    assert set(payload["value"]) == {"0.2", "0.6", "data_info"}
    ds = dataset_for(case, csv)
    run_kwargs = dict(dataset="test", n_repeats=3, noise_levels=[0.2, 0.6], threshold=0.2,
                      random_state=7) | expected
    direct = direct_result(ds, kind, **run_kwargs)
    pd.testing.assert_frame_equal(saved.table, direct.table)
    assert list(saved.table.columns) == [0.0, 0.2, 0.6] and saved.table.shape[0] == 3
    assert saved.inputs["noise_levels"] == [0.2, 0.6]
    assert sorted(p.name for p in out_dir.iterdir()) == ["chart.png", "report.html", "result.json"]
    assert imread(out_dir / "chart.png").shape[:2] == (500, 800)

    assert saved.table.to_string(float_format=lambda v: f"{v:.6g}") in out
    # The printed summary is the result's own, and the drop points the metric's way.
    pd.testing.assert_frame_equal(saved.summary, direct.summary)
    sign = get_scorer_funcs(AnyModel(), expected["metric"])[0]
    means = saved.table.mean()
    lines = out.splitlines()
    head = next(line for line in lines if line.startswith("  Noise level "))
    assert head.split()[2:4] == ["Mean", expected["metric"]]
    base = next(line for line in lines if line.startswith("  0 (baseline) "))
    assert base.split() == ["0", "(baseline)", f"{means[0.0]:.6g}"]
    for level in (0.2, 0.6):
        drop = sign * (means[0.0] - means[level]) / abs(means[0.0])
        line = next(line for line in lines if line.startswith(f"  {level}  "))
        assert f"{means[level]:.6g}" in line and line.split()[-2] == signed_pct(drop)
        worse = (sign * (saved.table[level] - means[0.0]) < 0).sum()
        assert line.endswith(f" {worse}/3")
    assert ("  Drop: how much worse the mean score is than the baseline, as a share of it.\n"
            "  Worse: repeats scoring worse than the baseline.\n"
            "  Interval: 95% t interval of the mean over repeats.\n") in out
    info = saved.value["data_info"]
    n_rows = ds.get_X_y_data(run_kwargs["dataset"])[0].shape[0]
    assert len(info["sample_idx1"]) == int(0.2 * n_rows)
    assert (f"Worst group: {len(info['sample_idx1'])} rows" in out
            and f"remaining: {len(info['sample_idx2'])} rows" in out)
    assert str(out_dir / "chart.png") in out and str(out_dir / "result.json") in out


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_counts_the_model_calls_on_a_terminal(tmp_path, monkeypatch, capsys):
    err = Terminal()
    monkeypatch.setattr(sys, "stderr", err)
    assert cli.main(["--demo", *FAST, "--output", str(tmp_path)]) == 0
    last = err.getvalue().rstrip("\n").split("\r")[-1]
    assert last.endswith("7/7 model calls") and "#" * 30 in last


def test_python_dash_m_runs_the_command(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-m", "korvan", "--bundled", "diabetes", "--n-repeats", "1",
         "--noise-levels", "0.5", "--output", str(tmp_path)],
        capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "Noise Level" in proc.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == ["chart.png", "report.html", "result.json"]


BAD = {
    "no data": ([], ["give exactly one of", "--bundled", "--demo"]),
    "missing file": (["{tmp}/missing.csv", "--target", "price"], ["No such file"]),
    "folder for a file": (["{tmp}", "--target", "price"], ["Not a file"]),
    "empty file": (["{tmp}/empty.csv", "--target", "price"], ["is empty"]),
    "header only": (["{tmp}/header.csv", "--target", "price"], ["no data rows"]),
    "binary file": (["{tmp}/binary.csv", "--target", "price"], ["Cannot read"]),
    "no target": (["{csv}"], ["--target"]),
    "unknown target": (["{csv}", "--target", "cost"],
                       ["Unknown target column 'cost'", "x1, x2, color"]),
    "target missing values": (["{tmp}/holes.csv", "--target", "price"], ["missing in 1 row", "--drop-missing-target"]),
    "unknown metric": (["--demo", "--metric", "XYZ"],
                       ["unknown metric 'XYZ'", "valid metrics for regression are: MSE, MAE, R2"]),
    "metric of the other task": (["--demo", "--metric", "AUC"],
                                 ["AUC", "regression", "valid metrics are: MSE, MAE, R2"]),
    "unknown feature": (["--demo", "--features", "bmi,height"],
                        ["unknown feature 'height'", "age, sex, bmi"]),
    "unknown categorical": (["{csv}", "--target", "price", "--categorical", "shade"],
                            ["'shade' is not a feature column", "x1, x2, color"]),
    "noise level not a number": (["--demo", "--noise-levels", "0.1,lots"],
                                 ["--noise-levels", "'lots' is not a number"]),
    "negative noise level": (["--demo", "--noise-levels", "-0.1"], ["--noise-levels", "positive"]),
    "threshold not a number": (["--demo", "--threshold", "high"],
                               ["--threshold", "'high' is not a number"]),
    "unknown data set": (["--bundled", "iris"], ["'iris'", "diabetes", "breast_cancer"]),
    "bundled with target": (["--demo", "--target", "y"], ["--target", "data file only"]),
}


@pytest.mark.parametrize("case", list(BAD))
def test_bad_input_is_one_line_exit_2_and_writes_nothing(tmp_path, capsys, case):
    args, fragments = BAD[case]
    csv = write_csv(tmp_path / "data.csv", n=30)
    (tmp_path / "empty.csv").write_text("")
    (tmp_path / "header.csv").write_text("x1,price\n")
    (tmp_path / "binary.csv").write_bytes(b"\xff\xfe\x00\x81\x82,\x83\n\x00\x9f\xfa")
    (tmp_path / "holes.csv").write_text("x1,price\n1,2\n2,\n3,4\n4,5\n")
    out_dir = tmp_path / "out"
    argv = [a.format(csv=csv, tmp=tmp_path) for a in args] + ["--output", out_dir]
    code, out, err = run_cli(argv, capsys)
    assert code == 2 and out == ""
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("korvan-robustness: error: ")
    assert all(f in lines[0] for f in fragments), lines[0]
    assert not out_dir.exists()
