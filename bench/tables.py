"""The benchmarks' shared table: 18 numeric features, two categorical ones, a regression target."""

import numpy as np
import pandas as pd


def frame(rows: int, seed: int = 0) -> pd.DataFrame:
    """``rows`` rows of the benchmark table, the same for the same seed."""
    rng = np.random.default_rng(seed)
    data = {f"x{j}": rng.normal(size=rows) for j in range(18)}
    data["c0"] = rng.choice(["a", "b", "c", "d"], size=rows)
    data["c1"] = rng.choice(["u", "v"], size=rows)
    out = pd.DataFrame(data)
    out["y"] = (out.x0 * 2 + out.x1 - out.x2 * out.x3 + (out.c0 == "a") + np.sin(out.x4)
                + rng.normal(scale=0.5, size=rows))
    return out
