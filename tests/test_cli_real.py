"""The command on real tables with the models people fit on them: column roles
from the model, the same answer from CSV and typed Parquet, the holdout split,
the limit with --per-feature, and the refusals around them."""
import json
import warnings

import joblib
import numpy as np
import pandas as pd
import pytest
from sklearn.compose import make_column_transformer
from sklearn.ensemble import HistGradientBoostingClassifier
from sklearn.linear_model import LogisticRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder, OrdinalEncoder, StandardScaler

from korvan import cli
from korvan.utils.results import ValidationResult
from realdata import fair, fit_boosting, penguins, typed

FAST = ["--n-repeats", "2", "--noise-levels", "0.2,0.5", "--no-html"]
NUMBERS = "bill_length_mm, bill_depth_mm, flipper_length_mm, body_mass_g"


def run_cli(argv, capsys):
    argv = [str(a) for a in argv]
    if any(a.endswith(".joblib") for a in argv):
        argv.append("--allow-pickle")
    code = cli.main(argv)
    out, err = capsys.readouterr()
    return code, out, err


def roles_lines(out):
    lines = out.split("\n\n")[0].splitlines()
    return lines[1:]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """The penguins as CSV, typed and untyped Parquet, and one model file per family."""
    folder = tmp_path_factory.mktemp("penguins")
    frame = penguins()
    frame.to_csv(folder / "penguins.csv", index=False)
    typed(frame).to_parquet(folder / "typed.parquet")
    frame.to_parquet(folder / "plain.parquet")
    X, y = frame.drop(columns="species"), frame["species"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        joblib.dump(fit_boosting("lightgbm", typed(X), y), folder / "lightgbm.joblib")
        joblib.dump(fit_boosting("xgboost", typed(X), y.astype("category").cat.codes),
                    folder / "xgboost.joblib")
        catboost = fit_boosting("catboost", X, y)
        catboost.save_model(str(folder / "catboost.cbm"))
        joblib.dump(catboost, folder / "catboost.joblib")
        joblib.dump(HistGradientBoostingClassifier(categorical_features="from_dtype",
                                                   max_iter=20, random_state=0).fit(typed(X), y),
                    folder / "hgb.joblib")
        joblib.dump(make_pipeline(
            make_column_transformer((OneHotEncoder(), ["island", "sex", "year"]),
                                    remainder=StandardScaler()),
            LogisticRegression(max_iter=2000)).fit(X, y), folder / "pipe.joblib")
        joblib.dump(make_pipeline(
            make_column_transformer((OrdinalEncoder(), [0, 5]), remainder=StandardScaler()),
            LogisticRegression(max_iter=2000)).fit(X.to_numpy(), y), folder / "array.joblib")
    return folder


FAMILIES = [
    ("lightgbm.joblib", "pandas category"),
    ("xgboost.joblib", "feature_types"),
    ("catboost.cbm", "cat_features"),
    ("catboost.joblib", "cat_features"),
    ("hgb.joblib", "categorical_features='from_dtype'"),
]


@pytest.mark.parametrize("model, source", FAMILIES, ids=[m for m, _ in FAMILIES])
def test_categories_from_the_model_same_result_from_csv_and_parquet(files, capsys, model, source):
    tables = {}
    for data in ["penguins.csv", "plain.parquet", "typed.parquet"]:
        out_dir = files / f"out-{model}-{data}"
        code, out, err = run_cli([files / data, "--target", "species", "--model-file",
                                  files / model, "--metric", "LogLoss", "--output", out_dir,
                                  *FAST], capsys)
        assert (code, err) == (0, "")
        assert roles_lines(out) == [
            "  target       species",
            f"  numerical    {NUMBERS}, year  (from the data's type)",
            f"  categorical  island, sex  (from the model: {source})",
        ]
        tables[data] = ValidationResult.load(out_dir / "result.json").table
    pd.testing.assert_frame_equal(tables["penguins.csv"], tables["typed.parquet"])
    pd.testing.assert_frame_equal(tables["plain.parquet"], tables["typed.parquet"])


def test_pipeline_encoding_an_integer_column(files, capsys, tmp_path):
    code, out, err = run_cli([files / "penguins.csv", "--target", "species", "--model-file",
                              files / "pipe.joblib", "--output", tmp_path, *FAST], capsys)
    assert (code, err) == (0, "")
    assert roles_lines(out) == [
        "  target       species",
        f"  numerical    {NUMBERS}  (from the data's type)",
        "  categorical  island, sex, year  (from the model: OneHotEncoder in step "
        "'onehotencoder')",
    ]


def test_a_model_fitted_on_a_plain_array_gets_the_files_order(files, capsys, tmp_path):
    code, out, err = run_cli([files / "penguins.csv", "--target", "species", "--model-file",
                              files / "array.joblib", "--output", tmp_path, *FAST], capsys)
    assert (code, err) == (0, "")
    assert "  categorical  island, sex  (from the model: OrdinalEncoder in step " \
           "'ordinalencoder')" in out
    assert ("The model was fitted on a plain array, so it gets the file's columns in their "
            "order: island, bill_length_mm, bill_depth_mm, flipper_length_mm, body_mass_g, "
            "sex, year\n") in out


def test_model_file_scores_every_row_unless_told(files, capsys, tmp_path):
    args = [files / "penguins.csv", "--target", "species", "--model-file",
            files / "lightgbm.joblib", *FAST]
    code, out, _ = run_cli(args + ["--output", tmp_path / "a"], capsys)
    assert code == 0
    assert "Robustness of LGBMClassifier on penguins (classification, all 333 rows)" in out
    assert ValidationResult.load(tmp_path / "a" / "result.json").inputs["dataset"] == "main"
    code, out, _ = run_cli(args + ["--split", "test", "--output", tmp_path / "b"], capsys)
    assert code == 0 and "(classification, test split, 100 rows)" in out


@pytest.fixture(scope="module")
def marriages(tmp_path_factory):
    """statsmodels' survey with a 0/1 flag, a date column and a few unlabelled rows."""
    folder = tmp_path_factory.mktemp("fair")
    frame = fair().sample(600, random_state=0).reset_index(drop=True)
    frame["has_children"] = (frame["children"] > 0).astype(np.int64)
    frame.to_csv(folder / "fair.csv", index=False)
    X = frame.drop(columns="had_affair")
    model = make_pipeline(
        make_column_transformer((OneHotEncoder(), ["occupation", "religious"]),
                                remainder=StandardScaler()),
        LogisticRegression(max_iter=2000)).fit(X, frame["had_affair"])
    joblib.dump(model, folder / "model.joblib")
    days = pd.date_range("2024-01-01", periods=len(frame), freq="D")
    # Plain ISO dates, and timestamps written two ways in one column.
    dated = frame.assign(interviewed=days.strftime("%Y-%m-%d"),
                         called=np.where(np.arange(len(frame)) % 2, days.strftime("%Y-%m-%d %H:%M"),
                                         days.strftime("%Y-%m-%dT%H:%M:%SZ")))
    dated.to_csv(folder / "dated.csv", index=False)
    holes = frame.astype({"had_affair": float})
    holes.loc[holes.index[:7], "had_affair"] = np.nan
    holes.to_csv(folder / "holes.csv", index=False)
    return folder


def test_two_valued_number_gets_a_note_and_integers_stay_integers(marriages, capsys, tmp_path):
    worst = tmp_path / "worst.csv"
    code, out, err = run_cli([marriages / "fair.csv", "--target", "had_affair",
                              "--model-file", marriages / "model.joblib", "--worst-rows", worst,
                              "--output", tmp_path / "out", *FAST], capsys)
    assert (code, err) == (0, "")
    assert ("  note         has_children holds two values (0, 1) and is perturbed as a number; "
            "--categorical has_children perturbs it as a category") in roles_lines(out)
    assert "  categorical  religious, occupation  (from the model: OneHotEncoder in step " \
           "'onehotencoder')" in roles_lines(out)
    text = worst.read_text().splitlines()
    header = text[1].split(",") if text[0].startswith("#") else text[0].split(",")
    rows = pd.read_csv(worst, comment="#")
    for column in ["occupation", "religious", "has_children", "rate_marriage"]:
        assert column in header and rows[column].dtype == np.int64


def test_drop_missing_target_says_how_many(marriages, capsys, tmp_path):
    args = [marriages / "holes.csv", "--target", "had_affair", "--model-file",
            marriages / "model.joblib", *FAST]
    code, out, err = run_cli(args + ["--drop-missing-target", "--output", tmp_path], capsys)
    assert (code, err) == (0, "")
    assert ("Left out 7 rows without a target value (--drop-missing-target); 593 rows remain"
            in out)
    assert "all 593 rows" in out


@pytest.mark.parametrize("data, extra, message", [
    ("holes.csv", [], "The target column 'had_affair' is missing in 7 rows; leave those rows "
                      "out with --drop-missing-target"),
    ("dated.csv", ["--model", "linear"], "These columns cannot be features: interviewed (date "
                                         "strings); called (date strings); leave them out with "
                                         "--drop interviewed,called or convert them"),
    ("fair.csv", ["--model-file", "model.joblib", "--categorical", "age"],
     "--categorical names age, but the model takes it as a number (StandardScaler in step "
     "'remainder'); leave it out of --categorical"),
    ("fair.csv", ["--model-file", "model.joblib", "--numerical", "occupation"],
     "--numerical names occupation, but the model takes it as a category (OneHotEncoder in "
     "step 'onehotencoder'); leave it out of --numerical"),
    ("fair.csv", ["--categorical", "age", "--numerical", "age"],
     "--categorical and --numerical both name age; name each column once"),
])
def test_refusals_are_one_line(marriages, capsys, tmp_path, data, extra, message):
    extra = [marriages / a if a.endswith(".joblib") else a for a in extra]
    code, out, err = run_cli([marriages / data, "--target", "had_affair", *extra,
                              "--output", tmp_path / "out", *FAST], capsys)
    assert (code, out) == (2, "")
    assert err.startswith(f"korvan-robustness: error: {message}") and err.count("\n") == 1
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("model", ["lightgbm.joblib", "pipe.joblib"])
def test_values_the_model_never_saw(files, capsys, tmp_path, model):
    frame = penguins()
    frame.loc[[3, 9], "island"] = ["Atlantis", "Mars"]
    frame.to_csv(tmp_path / "odd.csv", index=False)
    code, out, err = run_cli([tmp_path / "odd.csv", "--target", "species", "--model-file",
                              files / model, "--output", tmp_path / "out", *FAST],
                             capsys)
    assert (code, out) == (2, "")
    assert err == ("korvan-robustness: error: Column 'island' holds values the model never "
                   "saw: 'Atlantis', 'Mars'\n")
    assert not (tmp_path / "out").exists()


def test_the_limit_holds_with_per_feature(files, capsys, tmp_path):
    args = [files / "penguins.csv", "--target", "species", "--model-file",
            files / "lightgbm.joblib", "--metric", "LogLoss", *FAST]
    code, _, _ = run_cli(args + ["--per-feature", "--output", tmp_path / "sweep"], capsys)
    sweep = json.loads((tmp_path / "sweep" / "features.json").read_text())
    overall = ValidationResult.load(tmp_path / "sweep" / "result.json").summary
    all_drop = float(overall["rel_drop"].iloc[1:].max())
    feature_drops = sorted(float(ValidationResult.from_dict(r["result"]).summary["rel_drop"]
                                 .iloc[1:].max()) for r in sweep["rows"])
    assert all_drop > feature_drops[-1]
    # Every feature alone is within the limit; all of them together are not.
    limit = (all_drop + feature_drops[-1]) / 2
    code, out, _ = run_cli(args + ["--max-drop", repr(limit), "--output", tmp_path / "a"], capsys)
    assert code == 1 and out.rstrip().splitlines()[-1].startswith("FAIL: mean LogLoss drop")
    code, out, _ = run_cli(args + ["--per-feature", "--max-drop", repr(limit),
                                   "--output", tmp_path / "b"], capsys)
    assert code == 1
    assert out.rstrip().splitlines()[-1] == (
        f"FAIL: the all-features run and 7 features held to the limit {limit * 100:.2f}%; "
        f"over it: (all features) {all_drop * 100:.2f}% (mean LogLoss drop; worst "
        f"(all features) at worst noise level 0.5)")
    # Above every drop, both pass; "5%"-style limits are read as shares.
    code, out, _ = run_cli(args + ["--per-feature", "--max-drop", f"{all_drop * 100 + 1:.4f}%",
                                   "--output", tmp_path / "c"], capsys)
    assert code == 0
    assert out.rstrip().splitlines()[-1].startswith(
        "PASS: the all-features run and 7 features within the limit")


def test_catboost_files_load_as_the_class_that_saved_them(files, tmp_path, capsys):
    from korvan.inputs import load_model

    cb = pytest.importorskip("catboost")
    frame = penguins()
    X = frame.drop(columns=["species", "body_mass_g"])
    cb.CatBoostRegressor(iterations=5, verbose=0, cat_features=["island", "sex"],
                         allow_writing_files=False
                         ).fit(X, frame["body_mass_g"]).save_model(str(tmp_path / "r.cbm"))
    assert type(load_model(tmp_path / "r.cbm")).__name__ == "CatBoostRegressor"
    assert type(load_model(files / "catboost.cbm")).__name__ == "CatBoostClassifier"
    (tmp_path / "bad.cbm").write_bytes(b"not a model")
    code, out, err = run_cli([files / "penguins.csv", "--target", "species", "--model-file",
                              tmp_path / "bad.cbm", "--output", tmp_path / "out", *FAST], capsys)
    assert (code, out) == (2, "") and err.count("\n") == 1
    assert err.startswith(f"korvan-robustness: error: Cannot load {tmp_path / 'bad.cbm'} as a "
                          f"CatBoost model: ")
    assert not (tmp_path / "out").exists()
