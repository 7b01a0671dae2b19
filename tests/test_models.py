"""Models fitted on DataFrames are called with frames like the original."""

import numpy as np
import pandas as pd
import pytest
from sklearn import metrics as skm
from sklearn.linear_model import LogisticRegression

from korvan.data import DataSet
from korvan.models import FeatureMismatch, wrap_model
from models_zoo import FAMILIES, fit_family, frame_for, make_frame


@pytest.fixture(scope="module")
def data():
    frame = make_frame()
    ds = DataSet(frame, "label", random_state=1, name="shapes")
    return frame, ds


@pytest.fixture(scope="module", params=FAMILIES)
def fitted(request):
    """A family fitted on the train split of the frame in the form it takes."""
    family = request.param
    frame = frame_for(family, make_frame())
    ds = DataSet(frame, "label", random_state=1, name="shapes")
    train = frame.loc[ds.get_index("train")]
    return frame, ds, fit_family(family, train.drop(columns="label"), train["label"])


@pytest.mark.parametrize("metric", ["AUC", "ACC"])
def test_baseline_matches_the_estimator_on_the_original_frame(RT, fitted, metric):
    frame, ds, estimator = fitted
    test = frame.loc[ds.get_index("test")]
    X, truth = test.drop(columns="label"), (test["label"] == "yes").to_numpy()
    if metric == "AUC":
        expected = skm.roc_auc_score(truth, estimator.predict_proba(X)[:, 1])
    else:
        predicted = np.asarray(estimator.predict(X))
        expected = skm.accuracy_score(truth, (predicted == "yes") | (predicted == 1))
    before = frame.copy()
    # A bare estimator is wrapped by the test itself; a wrapped one is bound to the data.
    for model in (estimator, wrap_model(estimator)):
        result = RT(ds, model).run(metric=metric, n_repeats=3, noise_levels=[0.5, 1.0])
        assert result.table.iloc[0, 0] == pytest.approx(expected, abs=1e-12)
        # The perturbation reaches the model: the scores move away from the baseline.
        assert not np.allclose(result.table.iloc[:, 2], expected)
    pd.testing.assert_frame_equal(frame, before)


def test_frame_keeps_names_dtypes_and_decodes_perturbed_codes(data):
    frame, ds = data
    X, _, _ = ds.get_X_y_data("test")
    shape = ds.feature_names.index("shape")
    X[:, shape] = 3  # the category no row holds
    X[0, shape] = np.nan
    rebuilt = ds.schema.to_frame(X, columns=["shape", "color", "x1"])
    assert list(rebuilt.columns) == ["shape", "color", "x1"]
    assert rebuilt["shape"].dtype == frame["shape"].dtype
    assert rebuilt["shape"].isna().iloc[0] and (rebuilt["shape"].iloc[1:] == "unused").all()
    original = frame.loc[ds.get_index("test")]
    assert rebuilt["color"].tolist() == original["color"].tolist()
    np.testing.assert_array_equal(rebuilt["x1"].to_numpy(), original["x1"].to_numpy())
    pd.testing.assert_frame_equal(ds.get_frame("test"), original.drop(columns="label"),
                                  check_dtype=False)


@pytest.mark.parametrize("columns, message", [
    (["x1", "x2", "color"], "the model was not fitted on shape"),
    (["x1", "x2", "color", "shape", "extra"], "the data lacks extra"),
])
def test_mismatched_features_are_refused_naming_them(data, columns, message):
    frame, ds = data
    fitted = LogisticRegression().fit(
        frame.assign(extra=1.0)[columns].astype({"color": "category"}).apply(
            lambda c: c.cat.codes if c.dtype == "category" else c).fillna(0), frame["label"])
    with pytest.raises(FeatureMismatch, match=message):
        wrap_model(fitted, dataset=ds)


def test_input_array_hands_the_matrix_and_frame_needs_a_data_set(data):
    frame, ds = data
    X, y, _ = ds.get_X_y_data("train")
    on_array = LogisticRegression().fit(np.nan_to_num(X), y)
    assert wrap_model(on_array, dataset=ds).input == "array"
    unbound = wrap_model(on_array, input="frame")
    with pytest.raises(ValueError, match="needs the data set's columns"):
        unbound.predict(X)
