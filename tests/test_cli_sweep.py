"""The command's --per-feature, --feature-groups and --max-drop."""
import subprocess
import sys

import pytest

from korvan import cli
from korvan.sweep import FeatureSweep
from korvan.utils.results import ValidationResult
from shared import run_cli, signed_pct

FAST = ["--bundled", "diabetes", "--model", "linear", "--n-repeats", "3", "--noise-levels", "0.3,1"]


@pytest.fixture(scope="module")
def swept(tmp_path_factory):
    """One per-feature run of the command, shared by the checks that read it."""
    out_dir = tmp_path_factory.mktemp("swept")
    code = cli.main(FAST + ["--per-feature", "--output", str(out_dir)])
    return code, out_dir


def test_per_feature_writes_and_prints_the_ranked_table(swept, capsys):
    code, out_dir = swept
    assert code == 0
    assert sorted(p.name for p in out_dir.iterdir()) == [
        "chart.png", "features.json", "features.png", "report.html", "result.json"]
    found = FeatureSweep.load(out_dir / "features.json")
    result = ValidationResult.load(out_dir / "result.json")
    assert len(found.rows) == 10 and found.metric == "MSE"
    # The all-features row is the command's own run.
    assert found.all_features.result.table.equals(result.table)
    code, out, err = run_cli(FAST + ["--per-feature", "--output", out_dir], capsys)
    assert (code, err) == (0, "")
    lines = out.splitlines()
    start = lines.index("Drop of the mean MSE per feature, each perturbed alone, largest first:")
    head, *rows = lines[start + 1:start + 13]
    assert head.split() == ["Feature", "Type", "Drop", "@0.3", "Drop", "@1",
                            "95%", "interval", "@1"]
    # Largest drop at noise 1 first, the all-features run last.
    table = found.table
    expected = [[name, table.at[name, "type"],
                 *[signed_pct(table.at[name, f"drop@{k}"]) for k in ("0.3", "1")]]
                for name in table.index]
    reference = found.all_features.summary["rel_drop"]
    expected.append(["(all", "features)", found.all_features.type,
                     *[signed_pct(reference[v]) for v in (0.3, 1.0)]])
    assert [row.split()[:len(want)] for row, want in zip(rows, expected)] == expected
    assert lines[start + 13:start + 15] == [
        "  Drop: how much worse the mean score is than the baseline, as a share of it,",
        "  when only that feature (or group) is perturbed."]


def test_max_drop_at_the_boundary(tmp_path, capsys):
    code, out, _ = run_cli(FAST + ["--output", tmp_path, "--max-drop", "10"], capsys)
    assert code == 0 and out.rstrip().splitlines()[-1].startswith("PASS: mean MSE drop")
    summary = ValidationResult.load(tmp_path / "result.json").summary
    worst = float(summary["rel_drop"].iloc[1:].max())
    at_03 = float(summary.at[0.3, "rel_drop"])
    cases = [(f"{worst!r}", 0), (f"{worst * (1 - 1e-9)!r}", 1),
             (f"{at_03!r}@0.3", 0), (f"{at_03 * (1 - 1e-9)!r}@0.3", 1)]
    for limit, expected in cases:
        code, out, err = run_cli(FAST + ["--output", tmp_path, "--max-drop", limit], capsys)
        last = out.rstrip().splitlines()[-1]
        drop, where = ((at_03, "noise level 0.3") if "@" in limit else
                       (worst, f"worst noise level {summary['rel_drop'].iloc[1:].idxmax():g}"))
        given = float(limit.split("@")[0])
        verb, rel = ("FAIL", "over") if expected else ("PASS", "within")
        message = (f"{verb}: mean MSE drop {drop * 100:.2f}% at {where}, {rel} the limit "
                   f"{given * 100:.2f}%")
        assert (code, err, last) == (expected, "", message)


def test_per_feature_limit_names_the_features_over_it(swept, capsys):
    _, out_dir = swept
    found = FeatureSweep.load(out_dir / "features.json")
    second = float(found.table["drop@1"].iloc[1])
    code, out, _ = run_cli(FAST + ["--per-feature", "--output", out_dir,
                                   "--max-drop", repr(second)], capsys)
    first = found.table.index[0]
    all_drop = float(found.all_features.summary["rel_drop"].iloc[1:].max())
    first_drop = float(next(r for r in found.rows if r.name == first)
                       .summary["rel_drop"].iloc[1:].max())
    assert code == 1
    # The all-features run is held to the limit too, and goes over it with the first feature.
    assert out.rstrip().splitlines()[-1] == (
        f"FAIL: the all-features run and 10 features held to the limit {second * 100:.2f}%; "
        f"over it: (all features) {all_drop * 100:.2f}%, {first} {first_drop * 100:.2f}% "
        f"(mean MSE drop; worst "
        f"(all features) at worst noise level 1)")


def test_feature_groups(tmp_path, capsys):
    code, out, err = run_cli(FAST + ["--feature-groups", "s1, s2;bmi", "--output", tmp_path], capsys)
    assert (code, err) == (0, "")
    found = FeatureSweep.load(tmp_path / "features.json")
    assert sorted(found.table.index) == ["bmi", "s1+s2"]
    assert "per feature group" in out


def test_fail_exits_1_from_a_real_process(tmp_path):
    done = subprocess.run([sys.executable, "-m", "korvan", *FAST, "--output", str(tmp_path),
                           "--max-drop", "0"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 1, done.stderr
    assert done.stdout.rstrip().splitlines()[-1].startswith("FAIL: mean MSE drop")


@pytest.mark.parametrize("args, message", [
    (["--max-drop", "lots"], "argument --max-drop: the limit 'lots' is not a number"),
    (["--max-drop", "-0.1"], "argument --max-drop: the limit must be >= 0"),
    (["--max-drop", "0.1@0.5"], "--max-drop: noise level 0.5 is not among --noise-levels (0.3, 1)"),
    (["--max-drop", "0.1@x"], "argument --max-drop: the noise level 'x' is not a number"),
    (["--feature-groups", "bmi;"], "argument --feature-groups: group 2 is empty"),
    (["--feature-groups", "bmi,height"], "--feature-groups: group 1: unknown feature 'height'; valid"),
    (["--feature-groups", "bmi;s1;bmi"], "--feature-groups: group labels must differ: bmi, s1, bmi"),
    (["--feature-groups", "bmi", "--per-feature"], "give --per-feature or --feature-groups, not both"),
])
def test_bad_options_are_one_line_exit_2(tmp_path, capsys, args, message):
    code, out, err = run_cli(FAST + args + ["--output", tmp_path / "out"], capsys)
    assert (code, out) == (2, "")
    assert err.startswith(f"korvan-robustness: error: {message}") and err.count("\n") == 1
    assert not (tmp_path / "out").exists()
