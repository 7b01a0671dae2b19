"""Wall time of the korvan-robustness command on a large CSV file.

Writes a 100,000-row, 20-feature regression CSV (one feature categorical)
to a temporary folder, runs the command on it with three noise levels, and
prints the wall time split into model time (fit + predict calls) and
everything else (reading the CSV, perturbing, scoring, the chart and the
JSON file).

    python bench/bench_cli.py [--rows N] [--features N] [--repeats N] [--model gbm]
    python bench/bench_cli.py --reference   # the pure-Python test in tests/reference.py
"""

from __future__ import annotations

import argparse
import contextlib
import io
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from korvan import cli


def write_csv(path: Path, rows: int, features: int, seed: int = 0) -> None:
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, features))
    frame = pd.DataFrame(X, columns=[f"x{i}" for i in range(features)])
    frame["x0"] = rng.choice(["north", "south", "east", "west"], size=rows)
    coef = rng.normal(size=features)
    frame["y"] = X[:, 1:] @ coef[1:] + (frame["x0"] == "north") * 2.0 + rng.normal(size=rows)
    frame.to_csv(path, index=False)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=10)
    parser.add_argument("--noise-levels", default="0.1,0.2,0.3")
    parser.add_argument("--model", default="gbm", choices=cli.MODEL_KINDS)
    parser.add_argument("--reference", action="store_true",
                        help="time the pure-Python test of tests/reference.py instead")
    opts = parser.parse_args()

    if opts.reference:
        sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
        import reference

        cli._load_test_class = lambda: reference.RobustnessTest

    with tempfile.TemporaryDirectory() as tmp:
        csv = Path(tmp) / "bench.csv"
        start = time.perf_counter()
        write_csv(csv, opts.rows, opts.features)
        write_seconds = time.perf_counter() - start
        argv = [str(csv), "--target", "y", "--model", opts.model, "--n-repeats", str(opts.repeats),
                "--noise-levels", opts.noise_levels, "--output", str(Path(tmp) / "out")]
        args = cli.build_parser().parse_args(argv)
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            report = cli.run(args, io.StringIO(), io.StringIO())
        wall = time.perf_counter() - start
        json_mb = report.result_path.stat().st_size / 1e6

    model = report.fit_seconds + report.predict_seconds
    test = "reference (pure Python)" if opts.reference else "native"
    print(f"korvan-robustness on {opts.rows:,} rows x {opts.features} features, noise levels "
          f"{opts.noise_levels}, {opts.repeats} repeats, model {opts.model}, {test} test")
    print(f"  (writing the CSV took {write_seconds:.2f} s, not counted)")
    print(f"  wall time        {wall:8.2f} s")
    print(f"  model            {model:8.2f} s  (fit {report.fit_seconds:.2f} s, "
          f"{report.model_calls} predict calls {report.predict_seconds:.2f} s)")
    print(f"  everything else  {wall - model:8.2f} s  (result.json {json_mb:.1f} MB)")


if __name__ == "__main__":
    main()
