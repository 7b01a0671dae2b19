"""What a fitted model says about its columns, read from real models on real tables."""
import numpy as np
import pandas as pd
import pytest
from sklearn.compose import ColumnTransformer, make_column_transformer
from sklearn.ensemble import HistGradientBoostingClassifier
from sklearn.impute import SimpleImputer
from sklearn.linear_model import LogisticRegression, Ridge
from sklearn.pipeline import Pipeline, make_pipeline
from sklearn.preprocessing import OneHotEncoder, OrdinalEncoder, StandardScaler, TargetEncoder

from korvan.modelinfo import UnseenCategories, describe_model, model_frame
from realdata import fair, fit_boosting, penguins, typed

ISLANDS = ["Biscoe", "Dream", "Torgersen"]
SEXES = ["female", "male"]


@pytest.fixture(scope="module")
def table():
    frame = penguins()
    return frame.drop(columns="species"), frame["species"]


def test_pipeline_by_name_reads_encoders_inside_nested_pipelines(table):
    X, y = table
    cat = make_pipeline(SimpleImputer(strategy="most_frequent"),
                        OneHotEncoder(handle_unknown="ignore"))
    model = Pipeline([
        ("prep", ColumnTransformer([("cat", cat, ["island", "sex", "year"]),
                                    ("num", StandardScaler(), ["bill_length_mm", "body_mass_g"])],
                                   remainder="passthrough")),
        ("model", LogisticRegression(max_iter=1000)),
    ]).fit(X, y)
    info = describe_model(model)
    assert info.family == "scikit-learn"
    assert info.feature_names == list(X.columns)
    assert info.categorical == dict.fromkeys(["island", "sex", "year"],
                                             "OneHotEncoder in step 'cat'")
    # The integer column keeps the model's integer categories.
    assert info.categories == {"island": ISLANDS, "sex": SEXES, "year": [2007, 2008, 2009]}
    assert info.numerical == {
        "bill_length_mm": "StandardScaler in step 'num'",
        "body_mass_g": "StandardScaler in step 'num'",
        "bill_depth_mm": "passed through by step 'remainder'",
        "flipper_length_mm": "passed through by step 'remainder'",
    }


@pytest.mark.parametrize("columns", [[0, 5], np.array([1, 0, 0, 0, 0, 1, 0], dtype=bool)],
                         ids=["indices", "mask"])
def test_pipeline_by_position_on_an_array(table, columns):
    X, y = table
    model = make_pipeline(
        make_column_transformer((OrdinalEncoder(), columns), (StandardScaler(), slice(1, 5)),
                                remainder="drop"),
        LogisticRegression(max_iter=1000)).fit(X.to_numpy(), y)
    info = describe_model(model)
    assert info.feature_names is None and info.n_features == 7
    assert info.categorical == {0: "OrdinalEncoder in step 'ordinalencoder'",
                                5: "OrdinalEncoder in step 'ordinalencoder'"}
    assert info.categories == {0: ISLANDS, 5: SEXES}
    assert set(info.numerical) == {1, 2, 3, 4}


def test_nested_column_transformer_and_target_encoder():
    frame = fair()
    X, y = frame.drop(columns="had_affair"), frame["had_affair"]
    inner = ColumnTransformer([("te", TargetEncoder(), ["occupation"]),
                               ("oh", OneHotEncoder(), ["religious"])])
    model = make_pipeline(
        ColumnTransformer([("codes", inner, ["occupation", "religious"]),
                           ("rest", StandardScaler(), ["age", "yrs_married"])]),
        LogisticRegression(max_iter=1000)).fit(X, y)
    info = describe_model(model)
    assert info.categorical == {"occupation": "TargetEncoder in step 'te'",
                                "religious": "OneHotEncoder in step 'oh'"}
    assert info.categories["occupation"] == [1, 2, 3, 4, 5, 6]
    assert set(info.numerical) == {"age", "yrs_married"}


@pytest.mark.parametrize("how, source", [
    ("from_dtype", "categorical_features='from_dtype'"),
    (["island", "sex"], "categorical_features"),
    ([0, 5], "categorical_features"),
    ([True, False, False, False, False, True, False], "categorical_features"),
], ids=["from_dtype", "names", "indices", "mask"])
def test_hist_gradient_boosting(table, how, source):
    X, y = table
    model = HistGradientBoostingClassifier(categorical_features=how, max_iter=5).fit(typed(X), y)
    info = describe_model(model)
    assert info.categorical == {"island": source, "sex": source}
    assert info.categories == {"island": ISLANDS, "sex": SEXES}
    # Only a model fitted on pandas categories records that dtype.
    assert ("island" in info.dtypes) == (how == "from_dtype")


def test_hist_gradient_boosting_on_integer_codes_records_no_dtype():
    frame = fair()
    X, y = frame.drop(columns="had_affair"), frame["had_affair"]
    info = describe_model(HistGradientBoostingClassifier(
        categorical_features=["occupation"], max_iter=5).fit(X, y))
    assert info.categorical == {"occupation": "categorical_features"}
    assert info.categories == {"occupation": [1, 2, 3, 4, 5, 6]}
    assert info.dtypes == {}


@pytest.mark.parametrize("family, source", [
    ("lightgbm", "pandas category"), ("xgboost", "feature_types"), ("catboost", "cat_features")])
def test_boosting_on_pandas_categories(table, family, source):
    X, y = table
    fitted_on = X if family == "catboost" else typed(X)
    model = fit_boosting(family, fitted_on, y.astype("category").cat.codes)
    info = describe_model(model)
    assert info.feature_names == list(X.columns) and info.n_features == 7
    assert info.categorical == {"island": source, "sex": source}
    if family == "catboost":
        assert info.categories == {}   # CatBoost keeps hashes, not the values
    else:
        assert info.categories == {"island": ISLANDS, "sex": SEXES}
        assert info.dtypes["island"] == pd.CategoricalDtype(ISLANDS)
    if family == "xgboost":
        assert info.dtypes["year"] == np.dtype("int64")


def test_lightgbm_categorical_feature_on_integer_codes():
    frame = fair()
    X, y = frame.drop(columns="had_affair"), frame["had_affair"]
    model = fit_boosting("lightgbm", X, y).fit(X, y, categorical_feature=["occupation"])
    info = describe_model(model)
    assert info.categorical == {"occupation": "categorical_feature"}
    assert info.categories == {} and info.dtypes == {}


def test_catboost_from_its_own_file_reports_every_feature(table, tmp_path):
    cb = pytest.importorskip("catboost")
    X, y = table
    fit_boosting("catboost", X, y).save_model(str(tmp_path / "m.cbm"))
    loaded = cb.CatBoostClassifier()
    loaded.load_model(str(tmp_path / "m.cbm"))
    assert loaded.n_features_in_ == 0   # what the library says of a loaded model
    info = describe_model(loaded)
    assert info.feature_names == list(X.columns) and info.n_features == 7
    assert info.categorical == {"island": "cat_features", "sex": "cat_features"}


def test_catboost_on_an_array_keys_columns_by_position(table):
    X, y = table
    model = fit_boosting("catboost", X.drop(columns=["island", "sex"]).to_numpy(), y)
    info = describe_model(model)
    assert info.feature_names is None and info.n_features == 5 and info.categorical == {}


def test_a_plain_estimator_says_only_its_width():
    frame = fair()
    info = describe_model(Ridge().fit(frame.drop(columns="had_affair").to_numpy(),
                                      frame["had_affair"]))
    assert (info.family, info.feature_names, info.n_features) == ("scikit-learn", None, 8)
    assert info.categorical == info.numerical == {}


@pytest.mark.parametrize("family", ["lightgbm", "xgboost"])
def test_model_frame_gives_text_back_its_categories(table, family):
    X, y = table
    info = describe_model(fit_boosting(family, typed(X), y.astype("category").cat.codes))
    before = X.copy()
    out = model_frame(X, info)
    pd.testing.assert_frame_equal(X, before)   # the caller's frame is unchanged
    pd.testing.assert_frame_equal(out, typed(X), check_categorical=True)
    assert list(out["island"].cat.categories) == ISLANDS
    already = typed(X)
    assert model_frame(already, info) is already   # nothing to rebuild


def test_model_frame_keeps_the_models_category_order_over_the_datas():
    stored = pd.CategoricalDtype(["male", "female"])
    info = describe_model(Ridge())
    info.feature_names, info.dtypes = ["sex"], {"sex": stored}
    out = model_frame(pd.DataFrame({"sex": ["female", "male", None]}), info)
    assert out["sex"].dtype == stored
    assert out["sex"].cat.codes.tolist() == [1, 0, -1]


def test_model_frame_reads_integer_categories_written_as_floats():
    info = describe_model(Ridge())
    info.feature_names, info.dtypes = ["code"], {"code": pd.CategoricalDtype([1, 2, 3])}
    out = model_frame(pd.DataFrame({"code": [3.0, np.nan, 1.0]}), info)
    assert out["code"].cat.codes.tolist() == [2, -1, 0]


@pytest.mark.parametrize("values, unseen", [
    (["Biscoe", "Atlantis", "Dream", "Atlantis", "Mars"], ["Atlantis", "Mars"]),
    ([1.0, 2.0, 9.0], ["1.0", "2.0", "9.0"]),
])
def test_unseen_values_are_named_in_one_line(values, unseen):
    info = describe_model(Ridge())
    info.feature_names, info.dtypes = ["island"], {"island": pd.CategoricalDtype(ISLANDS)}
    with pytest.raises(UnseenCategories) as caught:
        model_frame(pd.DataFrame({"island": values}), info)
    assert caught.value.values == unseen
    assert str(caught.value) == ("Column 'island' holds values the model never saw: "
                                 + ", ".join(map(repr, unseen)))
