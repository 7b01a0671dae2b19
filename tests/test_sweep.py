"""The per-feature sweep: each row is the direct run, the ranking finds what matters."""
import json
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression

from korvan.data import DataSet
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import wrap_model
from korvan.sweep import ALL_FEATURES, FeatureSweep, plan_sweep, run_specs, sweep

RUN = dict(n_repeats=4, noise_levels=[0.2, 0.6], random_state=3, perturb_method="quantile")


@pytest.fixture(scope="module")
def test_obj():
    """y depends strongly on `strong`, a little on `color`, not at all on `unused`."""
    rng = np.random.default_rng(0)
    n = 400
    frame = pd.DataFrame({
        "strong": rng.normal(size=n), "unused": rng.normal(size=n),
        "weak": rng.normal(size=n), "color": rng.choice(["red", "green", "blue"], size=n),
    })
    frame["y"] = (5 * frame["strong"] + 0.3 * frame["weak"] + (frame["color"] == "red")
                  + rng.normal(scale=0.1, size=n))
    ds = DataSet(frame, "y", task_type="regression", random_state=1)
    X, y, _ = ds.get_X_y_data("train")
    return RobustnessTest(ds, wrap_model(LinearRegression().fit(X, y)))


@pytest.fixture(scope="module")
def found(test_obj):
    return sweep(test_obj, **RUN)


def test_ranking_finds_the_feature_that_matters(found):
    table = found.table
    assert list(table.index)[0] == "strong"
    assert table.loc["color", "type"] == "categorical" and table.loc["strong", "type"] == "numerical"
    # The unused feature's drop is zero within its interval, the strong one's is not.
    for level in ("0.2", "0.6"):
        assert table.loc["unused", f"drop_low@{level}"] <= 0 <= table.loc["unused", f"drop_high@{level}"]
        assert table.loc["strong", f"drop_low@{level}"] > 0
    assert table.loc["strong", "drop@0.6"] > table.loc["color", "drop@0.6"] > 0
    assert list(table["drop@0.6"]) == sorted(table["drop@0.6"], reverse=True)


def test_every_row_is_the_direct_run(test_obj, found):
    for row in found.rows:
        direct = test_obj.run(perturb_features=[row.name], **RUN)
        pd.testing.assert_frame_equal(row.result.table, direct.table)
        assert found.table.loc[row.name, "mean@0.6"] == direct.summary.at[0.6, "mean"]
        assert row.result.value is None  # predictions are not kept by default
    direct_all = test_obj.run(**RUN)
    assert found.all_features.name == ALL_FEATURES
    pd.testing.assert_frame_equal(found.all_features.result.table, direct_all.table)
    assert found.options["reference"]["value"] == pytest.approx(
        direct_all.summary.at[0.6, "rel_drop"] * 100)


def test_groups_are_perturbed_together(test_obj):
    groups = {"numbers": ["strong", "weak"], "label": ["color"], "mixed": ["unused", "color"]}
    found = sweep(test_obj, groups=groups, include_all=False, keep_results=True, **RUN)
    assert found.all_features is None
    assert found.table.loc["mixed", "type"] == "mixed"
    assert found.table.loc["numbers", "features"] == "strong, weak"
    row = found.rows[0]
    direct = test_obj.run(perturb_features=["strong", "weak"], **RUN)
    pd.testing.assert_frame_equal(row.result.table, direct.table)
    assert row.result.value is not None and 0.2 in row.result.value
    # A list of groups is labelled by its members.
    assert [s.name for s in plan_sweep(test_obj, groups=[["weak", "strong"]], include_all=False)] \
        == ["weak+strong"]


def test_an_executor_runs_the_same_plans(test_obj, found):
    specs = plan_sweep(test_obj, **RUN)
    with ThreadPoolExecutor(max_workers=2) as pool:
        results = run_specs(test_obj, specs, executor=pool)
    parallel = FeatureSweep.from_runs(test_obj, specs, results)
    pd.testing.assert_frame_equal(parallel.table, found.table)


@pytest.mark.parametrize("kwargs, message", [
    (dict(features=["strong", "height"]), "features: unknown feature 'height'; valid features are: "
                                          "strong, unused, weak, color"),
    (dict(groups=[["strong"], []]), "group 2 is empty"),
    (dict(groups=[["strong", "strong"]]), "group 1 names a feature twice: strong, strong"),
    (dict(groups={"a": ["strong"]}, features=["weak"]), "give features or groups, not both"),
    (dict(groups=[["strong"], ["strong"]]), "group labels must differ: strong, strong"),
    (dict(groups="strong,weak"), "groups must be a list of lists of feature names"),
    (dict(perturb_features=["strong"]), "a sweep does not take perturb_features; use features or "
                                        "groups"),
])
def test_bad_plans_are_refused_before_any_run(test_obj, kwargs, message):
    with pytest.raises(ValueError) as excinfo:
        plan_sweep(test_obj, **kwargs)
    assert str(excinfo.value).startswith(message)


def test_verdict_per_feature(found):
    strong, color = found.table.loc["strong", "drop@0.6"], found.table.loc["color", "drop@0.6"]
    everything = found.all_features.summary["rel_drop"]
    verdict = found.check(max_drop=color)     # color sits exactly on the limit
    assert not verdict and verdict.failed == ("(all features)", "strong")
    assert verdict.feature == "(all features)"
    # The breakdown never loosens the limit: every feature within it, all of them together not.
    over_all = found.check(max_drop=strong)
    assert not over_all.passed and over_all.failed == ("(all features)",)
    assert found.check(max_drop=float(everything.iloc[1:].max())).passed
    only_low = found.check(max_drop=float(everything.loc[0.2]), level=0.2)
    assert only_low.passed and only_low.level == 0.2


def test_sweep_travels_through_json(found, tmp_path):
    path = found.save(tmp_path / "sweep.json")
    payload = json.loads(open(path).read(), parse_constant=lambda c: pytest.fail(c))
    assert payload["key"] == "feature_sweep" and payload["metric"] == "MSE"
    assert payload["table"]["columns"][:3] == ["feature", "features", "type"]
    loaded = FeatureSweep.load(path)
    pd.testing.assert_frame_equal(loaded.table, found.table)
    assert loaded.options == found.options
    assert loaded.check(0.01).message == found.check(0.01).message
    with pytest.raises(ValueError, match="Not a saved feature sweep"):
        FeatureSweep.from_dict({"key": "diagnose_robustness"})


def test_figures_at_a_level_are_the_tables_columns(found):
    table = found.table
    at = found.at(0.2)
    assert list(at.index) == list(table.index)
    assert at.loc["strong", "drop"] == table.loc["strong", "drop@0.2"]
    assert at.loc["color", "drop_high"] == table.loc["color", "drop_high@0.2"]
    assert found.at().equals(found.at(0.6)) and found.at(0.1 + 0.5).equals(found.at(0.6))
    assert [frame.equals(found.at(v)) for v, frame in found.by_level().items()] == [True, True]
    summary = found.all_features.summary
    assert found.reference_at(0.2) == {
        "mean": summary.at[0.2, "mean"], "std": summary.at[0.2, "std"],
        "drop": summary.at[0.2, "rel_drop"], "drop_low": summary.at[0.2, "rel_drop_low"],
        "drop_high": summary.at[0.2, "rel_drop_high"]}
    with pytest.raises(ValueError,
                       match="noise level 0.4 was not tested; tested levels are: 0.2, 0.6"):
        found.at(0.4)
    with pytest.raises(ValueError, match="noise level 0.4 was not tested"):
        found.chart(level=0.4)
    assert not found.grouped


def test_a_sweep_of_groups_says_so(test_obj):
    one_each = sweep(test_obj, groups=[["strong"], ["weak"]], include_all=False, **RUN)
    paired = sweep(test_obj, groups=[["strong", "weak"], ["color"]], include_all=False, **RUN)
    assert (one_each.grouped, paired.grouped) == (False, True)
    assert one_each.chart().render()["title"] == "Drop per feature"
    assert paired.chart().render()["title"] == "Drop per feature group"
    with pytest.raises(ValueError, match="no all-features run"):
        paired.reference_at()


def test_worst_rows_take_the_baseline_prediction_and_never_call_the_model(test_obj):
    from korvan.rows import worst_rows

    result = test_obj.run(**RUN)
    ds = test_obj.dataset
    baseline = result.baseline_prediction(ds, test_obj.model)
    X = ds.get_X_y_data("test")[0]
    np.testing.assert_array_equal(baseline, test_obj.model.predict(X))
    frame = worst_rows(result, ds, baseline)
    positions = result.value["data_info"]["sample_idx1"]
    np.testing.assert_array_equal(frame["baseline prediction"], baseline[positions])
    pd.testing.assert_frame_equal(frame, result.worst_rows(ds, test_obj.model))
    # The gap it ranks by falls from the first row on.
    assert (np.diff(frame["gap"]) <= 1e-12).all()
    assert "gap" not in worst_rows(result, ds).columns
    with pytest.raises(ValueError, match=r"baseline has shape \(3,\); expected one prediction "
                                         r"per row of the 120-row test split"):
        worst_rows(result, ds, baseline[:3])
