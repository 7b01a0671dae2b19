"""The command on the user's own model and data: model files, Parquet, refusals, output."""

import json
import os
import subprocess
import sys

import joblib
import numpy as np
import pandas as pd
import pytest
import skops.io as sio
from sklearn import metrics as skm

from korvan.data import DataSet
from korvan.utils.results import ValidationResult
from models_zoo import FAMILIES, fit_family, frame_for, make_frame
from shared import run_cli

FAST = ["--n-repeats", "3", "--noise-levels", "0.5,1"]
SEED = 3


def save_model(model, folder, family):
    """Pipelines and boosting of scikit-learn as skops files, the others as pickles."""
    if family in ("pipeline", "hgb_from_dtype"):
        path = folder / f"{family}.skops"
        sio.dump(model, path)
        return path, ["--trust", ",".join(sio.get_untrusted_types(file=path))]
    path = folder / f"{family}.joblib"
    joblib.dump(model, path)
    return path, ["--allow-pickle"]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Each family fitted on the train split of its data file, and the files."""
    folder = tmp_path_factory.mktemp("own")
    made = {}
    for family in FAMILIES:
        frame = frame_for(family, make_frame())
        ds = DataSet(frame, "label", random_state=SEED)
        train = frame.loc[ds.get_index("train")]
        model = fit_family(family, train.drop(columns="label"), train["label"])
        # A CSV file keeps no dtypes: category columns go to Parquet, with their index.
        if family == "pipeline":
            data = folder / "shapes.csv"
            frame.to_csv(data, index=False)
            frame = frame.reset_index(drop=True)
        else:
            data = folder / f"{family}.parquet"
            frame.to_parquet(data)
        path, flags = save_model(model, folder, family)
        made[family] = (frame, data, model, path, flags)
    return made


@pytest.mark.parametrize("family", FAMILIES)
def test_model_file_gives_the_estimators_own_baseline(files, family, tmp_path, capsys):
    frame, data, model, path, flags = files[family]
    out_dir = tmp_path / "out"
    argv = [data, "--target", "label", "--model-file", path, *flags, "--metric", "AUC",
            "--seed", SEED, *FAST, "--output", out_dir, "--worst-rows", tmp_path / "worst.csv"]
    code, out, err = run_cli(argv, capsys)
    assert (code, err) == (0, "")
    table = ValidationResult.load(out_dir / "result.json").table
    # A model file's data is a holdout: every row is scored.
    expected = skm.roc_auc_score(frame["label"] == "yes",
                                 model.predict_proba(frame.drop(columns="label"))[:, 1])
    assert table.iloc[0, 0] == pytest.approx(expected, abs=1e-12)
    assert not np.allclose(table.iloc[:, 2], expected)
    assert out.splitlines()[1].split() == ["target", "label"]


def test_worst_rows_carry_the_original_labels_and_values(files, tmp_path, capsys):
    frame, data, model, path, flags = files["hgb_from_dtype"]
    worst_csv = tmp_path / "sub" / "worst.csv"
    argv = [data, "--target", "label", "--model-file", path, *flags, "--metric", "ACC",
            *FAST, "--threshold", "0.2", "--output", tmp_path / "out", "--worst-rows", worst_csv]
    code, out, _ = run_cli(argv, capsys)
    assert code == 0
    worst = pd.read_csv(worst_csv, index_col=0)
    saved = json.loads((tmp_path / "out" / "result.json").read_text())
    labels = saved["value"]["data_info"]["row_labels1"]
    assert worst.index.name == "row_id" and worst.index.tolist() == labels
    assert set(labels) <= set(frame.index) and min(labels) >= 1000
    original = frame.loc[labels]
    np.testing.assert_allclose(worst["x1"], original["x1"])
    assert worst["color"].tolist() == original["color"].tolist()
    assert worst["label"].tolist() == original["label"].tolist()
    assert set(worst["baseline prediction"]) <= {"yes", "no"}
    assert (np.diff(worst["gap"]) <= 0).all() and worst["gap"].iloc[0] > 0
    assert ", ".join(map(str, labels[:3])) in out


def test_pipe_closed_early_ends_quietly_with_the_files_written(tmp_path):
    proc = subprocess.Popen(
        [sys.executable, "-m", "korvan", "--demo", "--n-repeats", "1", "--noise-levels", "0.5",
         "--output", str(tmp_path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = proc.stdout.readline()
    proc.stdout.close()  # as `| head -1` does
    err = proc.stderr.read()
    assert proc.wait(timeout=300) == 0 and err == b""
    assert first.startswith(b"Columns of diabetes")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["chart.png", "report.html", "result.json"]


@pytest.mark.parametrize("debug", [False, True])
def test_unexpected_failure_is_exit_3_and_leaves_no_output(tmp_path, capsys, monkeypatch, debug):
    def broken(self, path):
        raise RuntimeError("disk on fire")

    monkeypatch.setattr(ValidationResult, "save", broken)
    (tmp_path / "keep.txt").write_text("earlier")
    code, out, err = run_cli(["--demo", *FAST, "--output", tmp_path] + ["--debug"] * debug,
                             capsys)
    assert code == 3
    assert sorted(p.name for p in tmp_path.iterdir()) == ["keep.txt"]
    last = err.splitlines()[-1]
    assert last.startswith("korvan-robustness: unexpected failure: RuntimeError: disk on fire")
    if debug:
        assert "Traceback (most recent call last)" in err
    else:
        assert len(err.splitlines()) == 1
        log = last.rsplit("the traceback is in ", 1)[1]
        assert "disk on fire" in open(log).read()
        os.remove(log)


def write(folder, name, frame, **kwargs):
    path = folder / name
    frame.to_csv(path, index=False, **kwargs)
    return path


def refusal_cases(tmp, files):
    frame, data, model, skops_path, trust = files["pipeline"]
    _, _, _, pickle_path, _ = files["lightgbm"]
    rng = np.random.default_rng(0)
    n = 60
    base = pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n),
                         "y": rng.normal(size=n)})
    odd = base.assign(customer_id=np.arange(n), same=1.0, empty=np.nan,
                      when=pd.date_range("2024-01-01", periods=n).astype(str))
    holes = base.assign(a=np.where(np.arange(n) < n - 1, np.nan, 1.0))
    return {
        "pickle needs the flag": ([data, "--target", "label", "--model-file", pickle_path],
                                  ["pickle", "--allow-pickle"]),
        "untrusted skops types": ([data, "--target", "label", "--model-file", skops_path],
                                  ["does not trust", "TreePredictor", "--trust"]),
        "model lacks a column": ([write(tmp, "more.csv", frame.assign(extra=1.5)), "--target",
                                  "label", "--model-file", skops_path, *trust],
                                 ["not fitted on extra", "--drop extra"]),
        "data lacks a column": ([data, "--target", "label", "--drop", "x2", "--model-file",
                                 skops_path, *trust], ["data lacks x2"]),
        "wrong separator": ([write(tmp, "semi.csv", base, sep=";"), "--target", "y"],
                            ["single column", "--sep ';'"]),
        "unusable columns": ([write(tmp, "odd.csv", odd), "--target", "y"],
                             ["customer_id (a different value", "same (constant)",
                              "empty (all missing)", "--drop customer_id,same,empty,when"]),
        "constant target": ([write(tmp, "flat.csv", base.assign(y=2.0)), "--target", "y"],
                            ["'y' is constant"]),
        "inferred task and metric": ([write(tmp, "ints.csv", base.assign(y=np.arange(n) % 3)),
                                      "--target", "y", "--metric", "MSE"],
                                     ["taken for class labels", "--task-type regression"]),
        "too few values in the split": ([write(tmp, "holes.csv", holes), "--target", "y",
                                         "--split", "test"], ["fewer than 2 values", "a ("]),
        "memory": ([write(tmp, "base.csv", base), "--target", "y", "--max-memory", "100"],
                   ["would take", "--max-memory"]),
        "output is a file": ([data, "--target", "label", "--output", tmp / "base.csv"],
                             ["--output", "not a folder"]),
        "result.json is a folder": ([data, "--target", "label", "--output", tmp / "taken"],
                                    ["result.json is a folder"]),
    }


def test_refusals_are_one_line_exit_2_and_touch_nothing(files, tmp_path, capsys):
    (tmp_path / "taken" / "result.json").mkdir(parents=True)
    for case, (argv, fragments) in refusal_cases(tmp_path, files).items():
        before = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*"))
        if "--output" not in argv:
            argv = argv + ["--output", tmp_path / "out"]
        code, out, err = run_cli(argv, capsys)
        assert (code, out) == (2, ""), (case, err)
        line = err.rstrip("\n")
        assert "\n" not in line and line.startswith("korvan-robustness: error: "), case
        assert all(f in line for f in fragments), (case, line)
        assert sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*")) == before, case


def test_multiclass_target_gets_a_metric_that_fits_it(tmp_path, capsys):
    rng = np.random.default_rng(1)
    frame = pd.DataFrame({"a": rng.normal(size=90), "b": rng.normal(size=90)})
    frame["kind"] = np.select([frame.a > 0.5, frame.b > 0], ["x", "y"], "z")
    code, out, err = run_cli([write(tmp_path, "three.csv", frame), "--target", "kind", *FAST,
                              "--output", tmp_path / "out"], capsys)
    assert (code, err) == (0, "")
    assert "Metric ACC (higher is better)" in out
