"""Tests of real models on real tables through the Python API: multiclass
metrics, CatBoost, and the dtypes a model receives."""
import numpy as np
import pytest
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.ensemble import RandomForestClassifier
from sklearn.linear_model import LogisticRegression
from sklearn.metrics import log_loss, mean_squared_error

from korvan.data import DataSet
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import wrap_model
from realdata import penguins, typed

RUN = dict(n_repeats=3, noise_levels=[0.1, 0.3])


@pytest.fixture(scope="module")
def species():
    """Three classes; the numeric measurements only, for models fitted on arrays."""
    frame = penguins()[["bill_length_mm", "bill_depth_mm", "flipper_length_mm",
                        "body_mass_g", "year", "species"]]
    return DataSet(frame, "species", random_state=1)


@pytest.fixture(scope="module")
def forest(species):
    X, y, _ = species.get_X_y_data("train")
    return RandomForestClassifier(n_estimators=30, random_state=0, n_jobs=1).fit(X, y)


def test_multiclass_default_metric_is_the_commands(species, forest):
    result = RobustnessTest(species, forest).run(**RUN)
    assert result.metric == "ACC"
    X, y, _ = species.get_X_y_data("test")
    assert result.table[0.0].iloc[0] == pytest.approx(np.mean(forest.predict(X) == y))


@pytest.mark.parametrize("split", ["test", "train", "main"])
@pytest.mark.parametrize("fitted_on", ["codes", "labels"])
def test_multiclass_logloss_is_scikit_learns(species, split, fitted_on):
    X, y, _ = species.get_X_y_data("train")
    target = y if fitted_on == "codes" else species.target_labels(y)
    model = LogisticRegression(max_iter=2000).fit(X, target)
    result = RobustnessTest(species, model).run(dataset=split, metric="LogLoss", **RUN)
    Xs, ys, _ = species.get_X_y_data(split)
    expected = log_loss(ys, model.predict_proba(Xs))
    assert result.table[0.0].iloc[0] == pytest.approx(expected, rel=1e-12)
    # Noise makes the model less sure of the truth, never more on average here.
    assert result.table[0.3].mean() > expected
    # One number per row: the probability of the true class, the worst rows by its change.
    assert len(result.value["data_info"]["sample_idx1"]) == int(0.1 * len(ys))


def test_multiclass_logloss_with_weights():
    frame = penguins()[["bill_length_mm", "flipper_length_mm", "species"]]
    frame = frame.assign(w=np.linspace(0.5, 2.0, len(frame)))
    ds = DataSet(frame, "species", sample_weight="w")
    X, y, w = ds.get_X_y_data("train")
    model = LogisticRegression(max_iter=2000).fit(X, y)
    result = RobustnessTest(ds, model).run(metric="LogLoss", **RUN)
    Xt, yt, wt = ds.get_X_y_data("test")
    assert result.table[0.0].iloc[0] == pytest.approx(
        log_loss(yt, model.predict_proba(Xt), sample_weight=wt), rel=1e-12)


@pytest.mark.parametrize("metric", ["AUC", "Brier"])
def test_one_class_metrics_refused_for_three_classes(species, forest, metric):
    with pytest.raises(ValueError) as caught:
        RobustnessTest(species, forest).run(metric=metric, **RUN)
    assert str(caught.value) == (
        f"Metric '{metric}' scores one class's probability against the other, so it needs "
        f"two classes and the target has 3; use one of: ACC, F1, LogLoss")


def test_logloss_refused_when_the_splits_cannot_be_told_apart(species):
    frame = penguins()[["bill_length_mm", "species"]].sample(200, random_state=0)
    ds = DataSet(frame, "species", test_size=0.5)
    X, y, _ = ds.get_X_y_data("train")
    model = LogisticRegression(max_iter=2000).fit(X, y)
    with pytest.raises(ValueError, match="both have 100 rows"):
        RobustnessTest(ds, wrap_model(model)).run(metric="LogLoss", **RUN)


@pytest.fixture(scope="module")
def islands():
    return penguins()


@pytest.mark.parametrize("task", ["classification", "regression"])
def test_catboost_through_the_api(islands, task, tmp_path):
    cb = pytest.importorskip("catboost")
    target = "species" if task == "classification" else "body_mass_g"
    ds = DataSet(islands, target, random_state=0)
    train = islands.loc[ds.get_index("train"), ds.feature_names]
    y = islands.loc[ds.get_index("train"), target]
    cls = cb.CatBoostClassifier if task == "classification" else cb.CatBoostRegressor
    model = cls(iterations=30, verbose=0, random_seed=0, thread_count=1,
                cat_features=[c for c in train if train[c].dtype == object],
                allow_writing_files=False).fit(train, y)
    # Read back from CatBoost's own file, which reports no n_features_in_.
    model.save_model(str(tmp_path / "m.cbm"))
    loaded = cls()
    loaded.load_model(str(tmp_path / "m.cbm"))
    result = RobustnessTest(ds, loaded).run(**RUN)
    test_rows = islands.loc[ds.get_index("test"), ds.feature_names]
    _, yt, _ = ds.get_X_y_data("test")
    if task == "classification":
        expected = np.mean(ds.classes.searchsorted(loaded.predict(test_rows).ravel()) == yt)
        assert result.metric == "ACC"
    else:
        expected = mean_squared_error(yt, loaded.predict(test_rows))
    assert result.table[0.0].iloc[0] == pytest.approx(expected, rel=1e-12)


class DtypeRecorder(ClassifierMixin, BaseEstimator):
    """A classifier that records the dtypes of every frame it is asked about."""

    def fit(self, X, y):
        self.feature_names_in_ = np.asarray(X.columns, dtype=object)
        self.n_features_in_ = X.shape[1]
        self.classes_ = np.unique(y)
        self.seen_ = []
        return self

    def predict(self, X):
        self.seen_.append(X.dtypes.to_dict())
        return np.full(len(X), self.classes_[0])


def test_the_baseline_gets_the_dtypes_the_model_was_fitted_on(islands):
    frame = typed(islands).assign(heavy=islands["body_mass_g"] > 4000,
                                  year=islands["year"].astype(np.int32))
    ds = DataSet(frame, "species")
    model = DtypeRecorder().fit(frame[ds.feature_names], frame["species"])
    fitted = frame[ds.feature_names].dtypes.to_dict()
    RobustnessTest(ds, model).run(perturb_method="normal", **RUN)
    baseline, perturbed = model.seen_[0], model.seen_[1:]
    assert baseline == fitted
    # Noise leaves fractions in the year, so the perturbed calls get floats there.
    assert {d["year"] for d in perturbed} == {np.dtype("float64")}
    assert all(d["island"] == fitted["island"] and d["heavy"] == np.dtype(bool)
               for d in perturbed)


def test_resampled_integers_stay_integers(islands):
    ds = DataSet(islands[["year", "bill_length_mm", "species"]], "species")
    model = DtypeRecorder().fit(islands[ds.feature_names], islands["species"])
    RobustnessTest(ds, model).run(perturb_method="quantile", **RUN)
    assert {d["year"] for d in model.seen_} == {np.dtype("int64")}
