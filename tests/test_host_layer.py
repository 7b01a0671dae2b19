"""The pure-Python layer the native robustness test runs inside."""

import json
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from matplotlib.image import imread
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.svm import LinearSVC

import plotlane
from korvan.data import DataError, DataSet, load_bundled
from korvan.factsheet.utils.metric_utils import get_scorer_funcs
from korvan.metrics import METRICS
from korvan.models import MODEL_KINDS, fit_estimator, make_estimator, wrap_model
from korvan.utils.constants import CATEGORICAL, CLASSIFICATION, NUMERICAL, REGRESSION
from korvan.utils.results import ValidationResult


class Stub:
    """A model returning fixed outputs, to score known predictions."""

    def __init__(self, pred=None, proba=None, classes=None):
        self._pred, self._proba = pred, proba
        if classes is not None:
            self.classes_ = np.asarray(classes)

    def predict(self, X):
        return np.asarray(self._pred)


class ProbaStub(Stub):
    def predict_proba(self, X):
        p = np.asarray(self._proba, dtype=float)
        return np.column_stack([1 - p, p])


# -- metrics ------------------------------------------------------------------

Y_REG, P_REG, W = [1.0, 2.0, 3.0, 4.0], [1.0, 2.0, 3.0, 6.0], [1.0, 1.0, 1.0, 3.0]
Y_CLS, L_CLS, P_CLS = [0, 1, 1, 0], [0, 1, 0, 1], [0.2, 0.9, 0.3, 0.6]


@pytest.mark.parametrize("metric, y, out, weights, expected, sign", [
    ("MSE", Y_REG, P_REG, None, 4 / 4, -1),
    ("MSE", Y_REG, P_REG, W, 12 / 6, -1),
    ("MAE", Y_REG, P_REG, W, 6 / 6, -1),
    ("R2", Y_REG, P_REG, None, 1 - 4 / 5, 1),
    # pairs (pos, neg): (0.9, 0.2), (0.9, 0.6), (0.3, 0.2) ranked right, (0.3, 0.6) wrong
    ("AUC", Y_CLS, P_CLS, None, 3 / 4, 1),
    ("ACC", Y_CLS, L_CLS, [2, 1, 1, 1], 3 / 5, 1),
    ("F1", Y_CLS, L_CLS, None, 0.5, 1),
    ("LogLoss", Y_CLS, P_CLS, None, -np.mean(np.log([0.8, 0.9, 0.3, 0.4])), -1),
    ("Brier", Y_CLS, P_CLS, None, np.mean([0.04, 0.01, 0.49, 0.36]), -1),
])
def test_metric_scores_known_values(metric, y, out, weights, expected, sign):
    model = ProbaStub(pred=out, proba=out, classes=[0, 1])
    score_sign, score, predict = get_scorer_funcs(model, metric)
    prediction = predict(np.zeros((len(y), 2)))
    value = score(y=np.asarray(y), prediction=prediction, sample_weight=weights)
    assert type(value) is float and value == pytest.approx(expected)
    assert score_sign == sign
    assert prediction.ndim == 1 and prediction.shape[0] == len(y)


@pytest.mark.parametrize("metric", ["F1", "Brier"])
def test_binary_metrics_take_the_models_second_class_as_positive(metric):
    # String labels: the positive class is the second in classes_, the one
    # whose probability predict_proba(X)[:, 1] holds.
    y = np.array(["neg", "pos", "pos", "neg"])
    labels = np.array(["neg", "pos", "neg", "pos"])
    model = ProbaStub(pred=labels, proba=P_CLS, classes=["neg", "pos"])
    _, score, predict = get_scorer_funcs(model, metric)
    coded = ProbaStub(pred=L_CLS, proba=P_CLS, classes=[0, 1])
    _, score0, predict0 = get_scorer_funcs(coded, metric)
    X = np.zeros((4, 1))
    assert score(y=y, prediction=predict(X), sample_weight=None) == pytest.approx(
        score0(y=np.array(Y_CLS), prediction=predict0(X), sample_weight=None))


# -- DataSet --------------------------------------------------------------------

def frame(n=40, seed=0):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({
        "num": rng.normal(size=n),
        "city": rng.choice(["oslo", "rome", "lima"], size=n),
        "flag": rng.random(n) > 0.5,
        "count": rng.integers(0, 100, size=n),
        "w": rng.uniform(0.5, 2.0, size=n),
        "y_float": rng.normal(size=n) * 10,
        "y_int": np.arange(n) % 2,
        "y_label": np.where(np.arange(n) % 4 == 0, "yes", "no"),
    })


@pytest.mark.parametrize("target, task", [
    ("y_float", REGRESSION), ("y_int", CLASSIFICATION), ("y_label", CLASSIFICATION),
    ("flag", CLASSIFICATION), ("count", REGRESSION),
])
def test_task_type_is_inferred_from_the_target(target, task):
    assert DataSet(frame(), target).task_type == task


def test_features_types_and_encoding_are_inferred():
    df = frame()
    df.loc[3, "city"] = None
    ds = DataSet(df[["num", "city", "flag", "w", "y_float"]], "y_float", sample_weight="w")
    assert ds.feature_names == ["num", "city", "flag"]
    assert ds.feature_types == [NUMERICAL, CATEGORICAL, CATEGORICAL]
    X, y, w = ds.get_X_y_data("main")
    assert X.dtype == np.float64 and X.shape == (40, 3)
    np.testing.assert_array_equal(X[:, 0], df["num"])
    codes = X[:, 1]
    assert np.isnan(codes[3])
    decoded = [ds.categories["city"][int(c)] for c in np.delete(codes, 3)]
    assert decoded == list(df["city"].drop(index=3))
    np.testing.assert_array_equal(w, df["w"])


def test_given_feature_types_override_inference():
    ds = DataSet(frame(), "y_float", feature_names=["count", "num"],
                 feature_types={"count": CATEGORICAL})
    assert ds.feature_types == [CATEGORICAL, NUMERICAL]
    assert ds.get_X_y_data("main")[0][:, 0].max() < frame()["count"].nunique()


def test_classification_target_becomes_codes_of_sorted_classes():
    ds = DataSet(frame(), "y_label", feature_names=["num"])
    _, y, _ = ds.get_X_y_data("main")
    assert list(ds.classes) == ["no", "yes"]
    np.testing.assert_array_equal(ds.classes[y], frame()["y_label"])


def test_splits_partition_rows_reproducibly_and_stratified():
    df = frame(200)
    ds = DataSet(df, "y_label", feature_names=["num"], random_state=3)
    main, train, test = (ds.get_X_y_data(s) for s in ("main", "train", "test"))
    assert len(test[0]) == 60 and len(train[0]) == 140
    assert sorted(np.concatenate([train[0][:, 0], test[0][:, 0]])) == sorted(main[0][:, 0])
    assert test[1].mean() == pytest.approx(main[1].mean(), abs=0.02)
    again = DataSet(df, "y_label", feature_names=["num"], random_state=3)
    np.testing.assert_array_equal(again.get_X_y_data("test")[0], test[0])
    other = DataSet(df, "y_label", feature_names=["num"], random_state=4)
    assert not np.array_equal(other.get_X_y_data("test")[0], test[0])
    assert test[2] is None


def test_caller_data_is_never_changed():
    df = frame()
    before = df.copy()
    ds = DataSet(df, "y_float", sample_weight="w")
    for split in ("main", "train", "test"):
        for array in ds.get_X_y_data(split):
            array[:] = 0
    pd.testing.assert_frame_equal(df, before)
    for split in ("main", "train", "test"):
        assert all(np.any(array != 0) for array in ds.get_X_y_data(split))


@pytest.mark.parametrize("content, message", [(None, "No such file"), ("", "is empty"),
                                              ("a,b\n", "no data rows")])
def test_from_csv_reports_unusable_files(tmp_path, content, message):
    path = tmp_path / "data.csv"
    if content is not None:
        path.write_text(content)
    with pytest.raises(DataError, match=message):
        DataSet.from_csv(path, "a")


@pytest.mark.parametrize("name, task, n_features", [("diabetes", REGRESSION, 10),
                                                    ("breast_cancer", CLASSIFICATION, 30)])
def test_bundled_data_sets_load(name, task, n_features):
    ds = load_bundled(name)
    X, y, _ = ds.get_X_y_data("main")
    assert (ds.name, ds.task_type, X.shape[1], len(ds.feature_types)) == (name, task, n_features,
                                                                          n_features)


# -- models ---------------------------------------------------------------------

def test_wrap_model_exposes_predict_proba_only_when_the_estimator_has_it():
    X, y = np.arange(20.0).reshape(10, 2), np.arange(10) % 2
    with_proba = wrap_model(LogisticRegression().fit(X, y))
    without = wrap_model(LinearSVC().fit(X, y), name="svm")
    assert with_proba.name == "LogisticRegression" and without.name == "svm"
    np.testing.assert_array_equal(with_proba.predict_proba(X), with_proba.estimator.predict_proba(X))
    assert hasattr(with_proba, "predict_proba") and not hasattr(without, "predict_proba")
    np.testing.assert_array_equal(without.predict(X), without.estimator.predict(X))
    with pytest.raises(TypeError, match="no predict"):
        wrap_model(object())


@pytest.mark.parametrize("kind", MODEL_KINDS)
@pytest.mark.parametrize("task", [REGRESSION, CLASSIFICATION])
def test_command_line_estimators_fit_weighted_data_with_missing_values(kind, task):
    rng = np.random.default_rng(0)
    X = rng.normal(size=(60, 3))
    X[::7, 1] = np.nan
    y = (X[:, 0] > 0).astype(int) if task == CLASSIFICATION else X[:, 0] * 2.0
    est = fit_estimator(make_estimator(kind, task, random_state=0), X, y, np.ones(60))
    model = wrap_model(est)
    assert model.predict(X).shape == (60,)
    assert hasattr(model, "predict_proba") == (task == CLASSIFICATION)
    assert model.name != "Pipeline"


# -- plotlane -------------------------------------------------------------------

def chart(x, y, outliers=True, orient="vertical"):
    c = plotlane.boxplot(x=x, y=y, orient=orient, outliers=outliers)
    c.set_xaxis(axis_name="Level", axis_type="category")
    c.set_yaxis(axis_name="AUC", axis_type="value")
    c.set_title("Scores")
    return c.render()


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([0.0, 0.1, 0.25]),
                          st.floats(-1e6, 1e6, allow_nan=False)), min_size=1, max_size=60),
       st.booleans())
def test_box_statistics_match_numpy(pairs, outliers):
    x = [p[0] for p in pairs]
    y = np.array([p[1] for p in pairs])
    options = chart(x, y, outliers=outliers)
    json.dumps(options, allow_nan=False)
    assert [b["category"] for b in options["boxes"]] == list(dict.fromkeys(x))
    for box in options["boxes"]:
        values = y[np.array(x) == box["category"]]
        q1, med, q3 = np.percentile(values, [25, 50, 75])
        assert (box["count"], box["q1"], box["median"], box["q3"]) == (len(values), q1, med, q3)
        shown = values[(values >= box["min"]) & (values <= box["max"])]
        assert len(shown) + len(box["outliers"]) == len(values)
        if outliers:
            iqr = q3 - q1
            assert box["min"] >= q1 - 1.5 * iqr and box["max"] <= q3 + 1.5 * iqr
            assert all(v < q1 - 1.5 * iqr or v > q3 + 1.5 * iqr for v in box["outliers"])
        else:
            assert (box["min"], box["max"], box["outliers"]) == (values.min(), values.max(), [])


def test_render_describes_axes_and_leaves_out_missing_values():
    y = np.array([1.0, np.nan, 3.0, 2.0])
    options = chart(np.array([0.0, 0.0, 0.1, 0.1]), y, orient="h")
    assert (options["title"], options["orient"]) == ("Scores", "horizontal")
    assert options["xaxis"] == {"name": "Level", "type": "category"}
    assert options["yaxis"] == {"name": "AUC", "type": "value"}
    assert [(b["count"], b["missing"]) for b in options["boxes"]] == [(1, 1), (2, 0)]
    assert np.isnan(y[1])


@pytest.mark.parametrize("orient", ["vertical", "horizontal"])
@pytest.mark.parametrize("width, height", [(800, 500), (333, 222)])
def test_to_png_writes_a_decodable_image_of_the_requested_size(tmp_path, orient, width, height):
    rng = np.random.default_rng(1)
    options = chart(np.repeat([0.0, 0.1, 0.2], 8), rng.normal(size=24), orient=orient)
    path = plotlane.to_png(options, tmp_path / "c.png", width=width, height=height)
    assert imread(path).shape[:2] == (height, width)


# -- refused input, each with a message that names the way out ------------------

class ThreeClasses(Stub):
    def predict_proba(self, X):
        return np.full((len(X), 3), 1 / 3)


def data(target="y_float", change=lambda df: df, **kwargs):
    return lambda: DataSet(change(frame()), target, **kwargs)


@pytest.mark.parametrize("call, error, message", [
    *[(lambda m=m: get_scorer_funcs(Stub(pred=[1.0]), m), ValueError,
       "valid metrics are: " + ", ".join(METRICS)) for m in ["XYZ", None, "", "AUC2"]],
    *[(lambda m=m: get_scorer_funcs(Stub(pred=[0, 1]), m), ValueError, "predict_proba")
      for m in ["AUC", "LogLoss", "Brier"]],
    (lambda: get_scorer_funcs(ThreeClasses(), "AUC")[2](np.zeros((5, 2))), ValueError,
     "binary classifier"),
    (data("nope"), DataError, "Unknown target column 'nope'; columns are: num, city"),
    (data(feature_names=["num", "zz"]), DataError, "Unknown feature 'zz'; valid"),
    (data(feature_names=["y_float"]), DataError, "is the target"),
    (data(feature_types={"num": "text"}), DataError, "valid types are: numerical"),
    (data(feature_types=["numerical"]), DataError, "1 feature types for 7 features"),
    (data(sample_weight="zz"), DataError, "Unknown sample-weight column"),
    (data(sample_weight=np.ones(3)), DataError, "one per row"),
    (data(sample_weight=-np.ones(40)), DataError, "non-negative"),
    (data("y_label", task_type=REGRESSION), DataError, "must be numeric"),
    (data(task_type="ranking"), DataError, "valid task types are"),
    (data(test_size=1.5), DataError, "test_size"),
    (data(change=lambda df: df.assign(y_float=df["y_float"].where(df.index != 5))), DataError,
     "1 missing value"),
    (data("y_int", lambda df: df.assign(y_int=0)), DataError, "single class"),
    (data(change=lambda df: df.iloc[:0]), DataError, "no rows"),
    (data(change=lambda df: df.assign(num=np.inf)), DataError, "infinite"),
    (lambda: data()().get_X_y_data("validation"), ValueError,
     "valid splits are: main, train, test"),
    (lambda: load_bundled("iris"), ValueError, "valid names are: diabetes, breast_cancer"),
    (lambda: plotlane.boxplot(x=[0.0, 0.1], y=[1.0]), ValueError, "same length"),
    (lambda: plotlane.boxplot(x=[0.0], y=[1.0], orient="diagonal"), ValueError, "valid orients"),
    (lambda: plotlane.boxplot(x=[0.0], y=["high"]), ValueError, "y must hold numbers"),
    (lambda: plotlane.boxplot(x=[float("nan")], y=[1.0]), ValueError, "missing category"),
    (lambda: plotlane.boxplot(x=[0.0], y=[1.0]).set_yaxis(axis_name="AUC", axis_type="linear-ish"),
     ValueError, "valid axis types are: category, value, log"),
])
def test_refused_input_raises_a_clear_error(call, error, message):
    with pytest.raises(error, match=message):
        call()


# -- ValidationResult -------------------------------------------------------------

def result():
    table = pd.DataFrame({0.0: [0.9, 0.9], 0.1: [0.85, np.float64(0.8)]})
    table = table.rename_axis("Repeats").rename_axis("Noise Level", axis="columns")
    value = {0.1: {"Pred 0": np.array([0.2, 0.7]), "Pred 1": [0.3, 0.6]},
             "data_info": {"dataset1": "test", "dataset2": "test", "sample_idx1": np.array([1]),
                           "sample_idx2": [np.int64(0)], "name1": "Worst", "name2": "Remaining"}}
    options = chart([0.0, 0.0, 0.1, 0.1], table.to_numpy().T.ravel())
    return ValidationResult(key="diagnose_robustness", data="toy", model="Stub",
                            inputs={"noise_levels": [0.1], "n_repeats": np.int64(2),
                                    "threshold": math.nan},
                            value=value, table=table, options=options)


def test_result_json_round_trip(tmp_path):
    res = result()
    payload = json.loads(res.to_json())
    assert payload == res.to_dict()
    assert payload["table"]["data"]["0.1"] == [0.85, 0.8]
    assert payload["value"]["0.1"]["Pred 0"] == [0.2, 0.7]
    assert payload["inputs"]["threshold"] is None
    back = ValidationResult.load(res.save(tmp_path / "r.json"))
    pd.testing.assert_frame_equal(back.table, res.table)
    assert back.value[0.1]["Pred 1"] == [0.3, 0.6]
    assert back.options == res.options


def test_result_repr_and_plot(tmp_path):
    res = result()
    text = repr(res)
    assert "diagnose_robustness" in text and "'toy'" in text and "Noise Level" in text
    assert imread(res.plot(tmp_path / "c.png", width=400, height=300)).shape[:2] == (300, 400)
    assert res.plot().axes[0].get_ylabel() == "AUC"
