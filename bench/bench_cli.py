"""Wall time of the korvan-robustness command on a large CSV and Parquet file.

Writes a 100,000-row table of 20 features (four categorical: two text
columns, two pandas categories) and a regression target as CSV and as
Parquet, then runs the command with three noise levels:

- on the CSV file, fitting its own gradient-boosting model;
- on the Parquet file, loading a Pipeline (one-hot encoding and scaling by
  column name, then gradient boosting) fitted on the DataFrame and saved
  with skops.

Each run's wall time is split into reading, fitting or loading, predicting
(the model calls, frame conversion included), perturbing and scoring (the
rest of the test), and everything else (checks, printing, writing the chart
and result.json).

    python bench/bench_cli.py [--rows N] [--repeats N] [--runs N]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import tempfile
import time
from pathlib import Path

import skops.io as sio

from korvan import cli

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_frames import CATEGORICAL, make_frame  # noqa: E402


def pipeline_for(frame):
    from sklearn.compose import ColumnTransformer
    from sklearn.ensemble import HistGradientBoostingRegressor
    from sklearn.pipeline import Pipeline
    from sklearn.preprocessing import OneHotEncoder, StandardScaler

    features = frame.drop(columns="y")
    numeric = [c for c in features.columns if c not in CATEGORICAL]
    return Pipeline([
        ("prep", ColumnTransformer([
            ("onehot", OneHotEncoder(handle_unknown="ignore", sparse_output=False), CATEGORICAL),
            ("scale", StandardScaler(), numeric)])),
        ("gbm", HistGradientBoostingRegressor(max_iter=100, random_state=0)),
    ]).fit(features, frame["y"])


def run_once(argv: list[str]):
    args = cli.build_parser().parse_args(argv)
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        report = cli.run(args, io.StringIO(), io.StringIO())
    return time.perf_counter() - start, report


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=10)
    parser.add_argument("--runs", type=int, default=2)
    opts = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        frame = make_frame(opts.rows)
        frame.to_csv(folder / "bench.csv", index=False)
        frame.to_parquet(folder / "bench.parquet")
        model = folder / "model.skops"
        sio.dump(pipeline_for(frame), model)
        trust = ",".join(sio.get_untrusted_types(file=model))
        common = ["--target", "y", "--n-repeats", str(opts.repeats),
                  "--noise-levels", "0.1,0.2,0.3", "--output", str(folder / "out")]
        cases = {
            "CSV, fits gbm": [str(folder / "bench.csv"), *common],
            "Parquet, skops Pipeline": [str(folder / "bench.parquet"), "--model-file", str(model),
                                        "--trust", trust, *common],
        }
        print(f"korvan-robustness on {opts.rows:,} rows x 20 features (4 categorical), "
              f"3 noise levels x {opts.repeats} repeats, {opts.runs} runs each")
        print(f"  {'case':<25} {'wall':>6} {'read':>6} {'fit/load':>8} {'predict':>8} "
              f"{'perturb':>8} {'other':>6} {'(write)':>8}  load  result.json")
        for name, argv in cases.items():
            for _ in range(opts.runs):
                load = os.getloadavg()[0]
                wall, report = run_once(argv)
                s = report.seconds
                model_s = s.get("fit", 0.0) + s.get("load", 0.0)
                other = wall - s.get("read", 0.0) - model_s - s["predict"] - s["perturb"]
                size = report.result_path.stat().st_size / 1e6
                print(f"  {name:<25} {wall:6.2f} {s.get('read', 0.0):6.2f} {model_s:8.2f} "
                      f"{s['predict']:8.2f} {s['perturb']:8.2f} {other:6.2f} "
                      f"{s.get('write', 0.0):8.2f}  {load:4.1f}  {size:.1f} MB "
                      f"(other {other / wall:.0%})")


if __name__ == "__main__":
    main()
