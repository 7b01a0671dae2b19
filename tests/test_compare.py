"""Several models compared on the same perturbed rounds: results, paired statistics, saving."""
import joblib
import numpy as np
import pandas as pd
import pytest
from scipy import stats as sps
from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor, \
    RandomForestRegressor
from sklearn.linear_model import LinearRegression, LogisticRegression, Ridge
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from conftest import assert_same_result
from korvan.compare import ModelComparison, compare_models
from korvan.data import load_bundled
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import FeatureMismatch, fit_estimator, wrap_model

RUN = dict(noise_levels=[0.1, 0.3], n_repeats=6, random_state=3)


def fitted(ds, estimators):
    out = {}
    for name, est in estimators.items():
        fit_estimator(est, *ds.get_X_y_data("train"))
        out[name] = wrap_model(est)
    return out


@pytest.fixture(scope="module")
def diabetes():
    ds = load_bundled("diabetes")
    return ds, fitted(ds, {"gbm": HistGradientBoostingRegressor(max_iter=50, random_state=0),
                           "linear": LinearRegression(),
                           "forest": RandomForestRegressor(n_estimators=20, random_state=0)})


@pytest.fixture(scope="module")
def cancer():
    ds = load_bundled("breast_cancer")
    return ds, fitted(ds, {"logistic": make_pipeline(StandardScaler(), LogisticRegression()),
                           "gbm": HistGradientBoostingClassifier(max_iter=30, random_state=0)})


@pytest.fixture(scope="module")
def diabetes_cmp(diabetes):
    ds, models = diabetes
    return compare_models(ds, models, **RUN)


@pytest.fixture
def count_perturb(monkeypatch):
    calls = []
    native = RobustnessTest._perturb

    def counting(self, *args, **kwargs):
        calls.append(kwargs.get("random_state"))
        return native(self, *args, **kwargs)

    monkeypatch.setattr(RobustnessTest, "_perturb", counting)
    return calls


@pytest.mark.parametrize("case, run", [
    ("diabetes", RUN),
    ("diabetes", dict(noise_levels=0.2, n_repeats=3, perturb_method="quantile",
                      perturb_features=["bmi", "bp"], dataset="train", threshold=0.2)),
    ("cancer", dict(noise_levels=[0.2, 0.5], n_repeats=4, metric="AUC")),
    ("cancer", dict(noise_levels=[0.5], n_repeats=3, metric="LogLoss")),
])
def test_each_result_equals_the_solo_run(request, case, run):
    ds, models = request.getfixturevalue(case)
    cmp = compare_models(ds, models, **run)
    assert cmp.names == list(models)
    for name, model in models.items():
        assert_same_result(cmp.results[name], RobustnessTest(ds, model).run(**run))


@pytest.mark.parametrize("backend", ["threading", "loky"])
def test_parallel_equals_sequential(diabetes, diabetes_cmp, backend):
    ds, models = diabetes
    with joblib.parallel_config(backend=backend):
        cmp = compare_models(ds, models, n_jobs=2, **RUN)
    for name in models:
        assert_same_result(cmp.results[name], diabetes_cmp.results[name])


@pytest.mark.parametrize("n_jobs", [None, 2])
def test_each_round_is_perturbed_once(diabetes, count_perturb, n_jobs):
    ds, models = diabetes
    RobustnessTest(ds, models["linear"]).run(**RUN)
    solo = sorted(count_perturb)
    count_perturb.clear()
    with joblib.parallel_config(backend="threading"):
        compare_models(ds, models, n_jobs=n_jobs, **RUN)
    assert sorted(count_perturb) == solo and len(solo) == 2 * 6


def test_a_model_that_writes_into_its_input_does_not_change_the_next_ones(diabetes):
    ds, models = diabetes

    class Scribbler:
        """Predicts like the linear model, then zeroes the matrix it was given."""

        def predict(self, X):
            out = models["linear"].predict(X)
            X[:] = 0.0
            return out

    pair = {"scribbler": wrap_model(Scribbler()), "gbm": models["gbm"]}
    cmp = compare_models(ds, pair, **RUN)
    assert_same_result(cmp.results["gbm"], RobustnessTest(ds, models["gbm"]).run(**RUN))


def test_paired_statistics_against_a_direct_computation(diabetes_cmp):
    a, b = diabetes_cmp.results["gbm"].table, diabetes_cmp.results["forest"].table
    paired = diabetes_cmp.paired("gbm", "forest")
    assert list(paired.index) == [0.0, 0.1, 0.3]
    base_a, base_b = a[0.0].iloc[0], b[0.0].iloc[0]
    for level in (0.1, 0.3):
        x, y = a[level].to_numpy(), b[level].to_numpy()
        row = paired.loc[level]
        test = sps.ttest_rel(x, y)
        low, high = test.confidence_interval(0.95)
        assert row["mean_diff"] == pytest.approx(np.mean(x - y), rel=1e-12)
        assert (row["ci_low"], row["ci_high"]) == (pytest.approx(low, rel=1e-9),
                                                  pytest.approx(high, rel=1e-9))
        # MSE: lower is better.
        assert row["share_a_better"] == np.mean(x < y)
        rel = (x - base_a) / base_a - (y - base_b) / base_b
        low, high = sps.ttest_1samp(rel, 0.0).confidence_interval(0.95)
        assert row["drop_diff"] == pytest.approx(rel.mean(), rel=1e-9)
        assert (row["drop_diff_low"], row["drop_diff_high"]) == (pytest.approx(low, rel=1e-9),
                                                                pytest.approx(high, rel=1e-9))
        assert row["share_a_drops_more"] == np.mean(rel > 0)
    # The baseline difference: one fixed number, so its interval has no width.
    base = paired.loc[0.0]
    assert base["mean_diff"] == base["ci_low"] == base["ci_high"] == base_a - base_b


def test_paired_direction_follows_the_metric(cancer):
    ds, models = cancer
    cmp = compare_models(ds, models, noise_levels=[0.5], n_repeats=4, metric="AUC")
    x, y = cmp.results["gbm"].table[0.5], cmp.results["logistic"].table[0.5]
    assert cmp.paired("gbm", "logistic").loc[0.5, "share_a_better"] == np.mean(x > y)


def test_the_paired_interval_is_narrower_than_the_unpaired_one(diabetes):
    # Two linear models (the second regularised) meet the same noise the same way, so
    # their scores move together from round to round; pairing removes that shared part.
    ds, models = diabetes
    pair = {"linear": models["linear"], "ridge": fitted(ds, {"ridge": Ridge(alpha=1.0)})["ridge"]}
    cmp = compare_models(ds, pair, **RUN)
    a, b = cmp.results["linear"].table, cmp.results["ridge"].table
    paired = cmp.paired("linear", "ridge")
    for level in (0.1, 0.3):
        low, high = sps.ttest_ind(a[level], b[level], equal_var=False).confidence_interval(0.95)
        width = paired.loc[level, "ci_high"] - paired.loc[level, "ci_low"]
        assert 0 < width < (high - low) / 2


def test_summary_is_ranked_by_the_drop_at_the_largest_level(diabetes_cmp):
    summary = diabetes_cmp.summary
    drops = {n: diabetes_cmp.results[n].summary.loc[0.3, "rel_drop"] for n in diabetes_cmp.names}
    ranked = sorted(drops, key=drops.get)
    assert list(summary.index.get_level_values(0).unique()) == ranked == diabetes_cmp.ranking
    assert diabetes_cmp.best == ranked[0]
    for name in ranked:
        pd.testing.assert_frame_equal(summary.loc[name], diabetes_cmp.results[name].summary,
                                      check_names=False)
    sentences = diabetes_cmp.sentences()
    assert len(sentences) == 3
    worst = diabetes_cmp.paired(ranked[2], ranked[0]).loc[0.3]
    assert sentences[1] == (
        f"{ranked[2]} drops {worst['drop_diff'] * 100:.1f} points more than {ranked[0]} at noise "
        f"0.3, 95% interval {worst['drop_diff_low'] * 100:.1f} to "
        f"{worst['drop_diff_high'] * 100:.1f}, a larger drop in "
        f"{round(worst['share_a_drops_more'] * 6)} of 6 repeats")


def test_check_names_every_failing_model(diabetes_cmp):
    drops = {n: diabetes_cmp.results[n].summary["rel_drop"].iloc[1:].max()
             for n in diabetes_cmp.names}
    ordered = sorted(drops, key=drops.get)
    limit = (drops[ordered[0]] + drops[ordered[1]]) / 2   # only the best passes
    verdict = diabetes_cmp.check(limit)
    assert not verdict and verdict.failed == tuple(reversed(ordered[1:]))
    assert verdict.message.startswith(f"FAIL: 2 of 3 models over the limit {limit * 100:.2f}%")
    for name in ordered[1:]:
        assert f"{name} ({drops[name] * 100:.2f}% at noise 0.3)" in verdict.message
    assert verdict.verdicts[ordered[0]].passed
    passed = diabetes_cmp.check(1.0)
    assert passed and passed.message.startswith("PASS: all 3 models within the limit 100.00%; "
                                                f"worst {ordered[2]}")
    with pytest.raises(ValueError, match="noise level 0.2 was not tested"):
        diabetes_cmp.check(0.1, level=0.2)


def test_save_and_load(tmp_path, diabetes_cmp):
    path = diabetes_cmp.save(tmp_path / "cmp.json")
    back = ModelComparison.load(path)
    assert back.names == diabetes_cmp.names
    for name in back.names:
        pd.testing.assert_frame_equal(back.results[name].table, diabetes_cmp.results[name].table)
    pd.testing.assert_frame_equal(back.summary, diabetes_cmp.summary)
    assert back.to_dict()["comparison"] == diabetes_cmp.to_dict()["comparison"]
    with pytest.raises(ValueError, match="Not a saved model comparison"):
        ModelComparison.from_dict(diabetes_cmp.results["gbm"].to_dict())


def test_models_with_different_features_are_refused_before_any_work(diabetes, count_perturb):
    ds, _ = diabetes
    frame = ds.get_frame("train")
    y = ds.get_X_y_data("train")[1]
    a = LinearRegression().fit(frame[list(ds.feature_names)], y)
    b = LinearRegression().fit(frame[[c for c in ds.feature_names if c != "bmi"]], y)
    with pytest.raises(FeatureMismatch) as info:
        compare_models(ds, {"full": a, "no_bmi": b}, **RUN)
    assert str(info.value) == "The models take different features: no_bmi lacks bmi"
    assert count_perturb == []


@pytest.mark.parametrize("models, message", [
    ({}, "models must be a non-empty mapping of names to models"),
    ({"": LinearRegression()}, "model names must be non-empty strings, got ''"),
])
def test_bad_model_sets(diabetes, models, message):
    with pytest.raises(ValueError) as info:
        compare_models(diabetes[0], models)
    assert str(info.value) == message


def test_refused_arguments_are_reported_by_the_run(diabetes):
    ds, models = diabetes
    with pytest.raises(ValueError) as info:
        compare_models(ds, models, perturb_features=["nope"])
    with pytest.raises(ValueError) as solo:
        RobustnessTest(ds, models["gbm"]).run(perturb_features=["nope"])
    assert str(info.value) == str(solo.value)


def test_report_shows_the_ranking_the_pairs_and_the_verdict(diabetes_cmp):
    import html5lib

    page = diabetes_cmp.to_html(max_drop=0.01)
    root = html5lib.parse(page, namespaceHTMLElements=False)
    text = "".join(root.itertext())
    for sentence in diabetes_cmp.sentences():
        assert sentence in text
    assert diabetes_cmp.check(0.01).message in text
    (ranking,) = [t for t in root.iter("table") if t.get("id") == "ranking-table"]
    shown = [tr[1].text for tr in ranking.find("tbody").iter("tr")]
    assert shown == diabetes_cmp.ranking
    (paired,) = [t for t in root.iter("table") if t.get("id") == "paired-table"]
    rows = list(paired.find("tbody").iter("tr"))
    expected = diabetes_cmp.against_best()
    assert [(tr[0].text, tr[1].text) for tr in rows] == [
        (name, "0 (baseline)" if level == 0 else f"{level:g}") for name, level in expected.index]
    assert [float(tr[2].get("data-value")) for tr in rows] == list(expected["mean_diff"])
    # Two drawings of the one chart (wide and narrow), and nothing that runs.
    assert len([e for e in root.iter() if e.tag.endswith("svg")]) == 2
    assert "<script" not in page
    fragment = diabetes_cmp._repr_html_()
    assert fragment.startswith('<div class="korvan-report">') and "ranking-table" in fragment
    assert "summary-0" not in fragment and "summary-0" in page
