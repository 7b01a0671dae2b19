"""Summary statistics, the verdict and assert_robust, on tables small enough to check by hand."""
import json
import math
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from korvan import stats
from korvan.testing import assert_robust
from korvan.utils.results import ValidationResult

# t quantile 0.975 with 2 degrees of freedom, from a printed table.
T_975_2 = 4.302652729911275


def score_table(columns):
    table = pd.DataFrame(columns)
    table.index.name, table.columns.name = "Repeats", "Noise Level"
    return table


# baseline 10; level 0.1: 11, 12, 13 (mean 12, std 1); level 0.2: 9, 10, 14 (mean 11, std sqrt 7)
TABLE = score_table({0.0: [10.0, 10.0, 10.0], 0.1: [11.0, 12.0, 13.0], 0.2: [9.0, 10.0, 14.0]})


def result_of(table, metric):
    return ValidationResult("diagnose_robustness", "data", "model",
                            {"metric": metric}, {}, table, None)


@pytest.mark.parametrize("higher, drops, share_worse", [
    (False, [0.0, 2.0, 1.0], [0.0, 1.0, 1 / 3]),     # MSE-like: higher scores are worse
    (True, [0.0, -2.0, -1.0], [0.0, 0.0, 1 / 3]),    # AUC-like: lower scores are worse
])
def test_summary_by_hand(higher, drops, share_worse):
    s = stats.summarize(TABLE, higher_is_better=higher)
    assert list(s.index) == [0.0, 0.1, 0.2] and list(s.columns) == list(stats.SUMMARY_COLUMNS)
    np.testing.assert_array_equal(s["repeats"], [3, 3, 3])
    np.testing.assert_allclose(s["mean"], [10, 12, 11])
    np.testing.assert_allclose(s["std"], [0, 1, math.sqrt(7)])
    np.testing.assert_allclose(s["min"], [10, 11, 9])
    np.testing.assert_allclose(s["max"], [10, 13, 14])
    half = T_975_2 * np.array([0, 1, math.sqrt(7)]) / math.sqrt(3)
    np.testing.assert_allclose(s["ci_low"], [10, 12, 11] - half)
    np.testing.assert_allclose(s["ci_high"], [10, 12, 11] + half)
    np.testing.assert_allclose(s["drop"], drops)
    np.testing.assert_allclose(s["rel_drop"], np.array(drops) / 10)
    # The drop's interval holds the drop, half-width as the mean's.
    np.testing.assert_allclose(s["drop_low"], drops - half)
    np.testing.assert_allclose(s["drop_high"], drops + half)
    np.testing.assert_allclose(s["rel_drop_high"], (drops + half) / 10)
    np.testing.assert_allclose(s["share_worse"], share_worse)
    assert s.attrs["baseline"] == 10.0 and s.attrs["note"] == ""
    assert s.attrs["interval"] == "95% t interval of the mean over repeats"


def test_single_repeat_says_there_is_no_interval():
    s = stats.summarize(score_table({0.0: [2.0], 0.5: [3.0]}), higher_is_better=False)
    assert s.loc[0.5, "mean"] == 3.0 and s.loc[0.5, "rel_drop"] == 0.5
    assert s[["std", "ci_low", "ci_high", "drop_low", "drop_high"]].isna().all().all()
    assert "one repeat per level: no spread and no interval" in s.attrs["note"]
    # The saved form carries the note, and no NaN.
    text = json.dumps(stats.summary_to_dict(s), allow_nan=False)
    assert "no interval" in text


def test_zero_baseline_has_no_relative_drop_and_fails():
    s = stats.summarize(score_table({0.0: [0.0, 0.0], 0.1: [0.1, 0.3]}), higher_is_better=True)
    assert math.isnan(s.loc[0.1, "rel_drop"]) and s.loc[0.1, "drop"] == pytest.approx(-0.2)
    verdict = stats.check_summary(s, 0.5)
    assert not verdict and "cannot be computed (the baseline score is 0)" in verdict.message


@pytest.mark.parametrize("table, message", [
    ("not a frame", "table must be a pandas DataFrame, got str"),
    (score_table({0.1: [1.0], 0.2: [1.0]}), "the first column must be the baseline (noise level 0), got 0.1"),
    (score_table({"a": [1.0]}), "table must hold numbers under numeric noise levels"),
])
def test_summary_refuses_what_is_not_a_score_table(table, message):
    with pytest.raises((TypeError, ValueError), match=None) as excinfo:
        stats.summarize(table, higher_is_better=True)
    assert str(excinfo.value).startswith(message)


# level 0.1 drops 20% (MSE), level 0.2 drops 10%: exact in binary floating point.
@pytest.mark.parametrize("max_drop, level, passed, worst, message", [
    (0.2, None, True, 0.1, "PASS: mean MSE drop 20.00% at worst noise level 0.1, within the limit 20.00%"),
    (0.1999, None, False, 0.1, "FAIL: mean MSE drop 20.00% at worst noise level 0.1, over the limit 19.99%"),
    (0.1, 0.2, True, 0.2, "PASS: mean MSE drop 10.00% at noise level 0.2, within the limit 10.00%"),
    (0.0999, 0.2, False, 0.2, "FAIL: mean MSE drop 10.00% at noise level 0.2, over the limit 9.99%"),
])
def test_verdict_at_the_boundary(max_drop, level, passed, worst, message):
    verdict = result_of(TABLE, "MSE").check(max_drop=max_drop, level=level)
    assert (verdict.passed, verdict.level, verdict.limit, verdict.message) == (passed, worst, max_drop, message)
    assert bool(verdict) is passed and verdict.drop == pytest.approx(0.2 if level is None else 0.1)


def test_higher_is_better_gains_pass_any_limit():
    verdict = result_of(TABLE, "auc").check(max_drop=0.0)
    assert verdict.passed and verdict.drop == pytest.approx(-0.1) and verdict.level == 0.2


@pytest.mark.parametrize("kwargs, message", [
    ({"max_drop": -0.1}, "max_drop must be a finite number >= 0, got -0.1"),
    ({"max_drop": "5%"}, "max_drop must be a number (0.05 allows a 5% drop), got '5%'"),
    ({"max_drop": 0.1, "level": 0.3}, "noise level 0.3 was not tested; tested levels are: 0.1, 0.2"),
])
def test_check_refuses_bad_limits(kwargs, message):
    with pytest.raises(ValueError) as excinfo:
        result_of(TABLE, "MSE").check(**kwargs)
    assert str(excinfo.value) == message


def test_per_feature_verdict_names_features_over_the_limit():
    ok = stats.summarize(score_table({0.0: [1.0, 1.0], 0.1: [1.01, 1.01]}), False)   # 1%
    bad = stats.summarize(score_table({0.0: [1.0, 1.0], 0.1: [1.2, 1.4]}), False)    # 30%
    worse = stats.summarize(score_table({0.0: [1.0, 1.0], 0.1: [1.5, 1.5]}), False)  # 50%
    verdict = stats.check_summaries([("a", ok), ("b", bad), ("c", worse)], 0.02, metric="MSE")
    assert not verdict and verdict.failed == ("c", "b") and verdict.feature == "c"
    assert verdict.message == ("FAIL: 2 of 3 features over the limit 2.00%: c, b; worst c, "
                               "mean MSE drop 50.00% at worst noise level 0.1")
    assert stats.check_summaries([("a", ok)], 0.02).passed


def test_summary_travels_through_json(tmp_path):
    result = result_of(TABLE, "MSE")
    loaded = ValidationResult.load(result.save(tmp_path / "r.json"))
    pd.testing.assert_frame_equal(loaded.summary, result.summary)
    assert loaded.summary.attrs == result.summary.attrs
    assert loaded.check(0.1).message == result.check(0.1).message


def test_assert_robust_inside_pytest(tmp_path):
    path = result_of(TABLE, "MSE").save(tmp_path / "result.json")
    suite = tmp_path / "test_model.py"
    suite.write_text(textwrap.dedent(f"""
        from korvan.testing import assert_robust
        from korvan.utils.results import ValidationResult

        RESULT = ValidationResult.load({str(path)!r})

        def test_within_limit():
            assert assert_robust(RESULT, max_drop=0.2).passed

        def test_over_limit():
            assert_robust(RESULT, max_drop=0.1)
    """))
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           str(suite)], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 1, done.stdout
    assert "1 failed, 1 passed" in done.stdout
    assert ("AssertionError: FAIL: mean MSE drop 20.00% at worst noise level 0.1, over the "
            "limit 10.00%") in done.stdout


def test_assert_robust_returns_the_passing_verdict():
    assert assert_robust(result_of(TABLE, "MSE"), max_drop=0.2).level == 0.1
    with pytest.raises(AssertionError, match="^FAIL: mean MSE drop 10.00% at noise level 0.2"):
        assert_robust(result_of(TABLE, "MSE"), max_drop=0.05, level=0.2)


@pytest.mark.parametrize("share, shown", [
    (0.0523, "+5.2%"), (-0.05, "-5.0%"), (0.0, "+0.0%"),
    (-0.0001, "+0.0%"),          # a gain too small to show is no negative zero
    (float("nan"), "n/a"), (float("inf"), "n/a"),
])
def test_a_relative_change_reads_the_same_everywhere(share, shown):
    from korvan.text import signed_percent

    assert signed_percent(share) == shown
    summary = stats.summarize(score_table({0.0: [100.0] * 2, 0.1: [100.0 * (1 - share)] * 2}),
                              higher_is_better=True) if math.isfinite(share) else None
    if summary is not None:
        # The terminal table shows the drop with the same wording.
        assert stats.summary_lines(summary)[2].split()[-2] == shown


@pytest.mark.parametrize("level, found", [
    (0.3, 0.3), (0.1 * 3, 0.3), (0.30000001, None), (1, 1.0), (2, None),
])
def test_a_level_is_found_within_rounding_and_no_further(level, found):
    assert stats.find_level([0.1, 0.3, 1.0], level) == found
    if found is None:
        with pytest.raises(ValueError, match=f"noise level {level:g} was not tested; tested "
                                             "levels are: 0.1, 0.3, 1$"):
            stats.tested_level([0.1, 0.3, 1.0], level)
    else:
        assert stats.tested_level([0.1, 0.3, 1.0], level) == found
