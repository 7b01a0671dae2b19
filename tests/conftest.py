"""Shared helpers for the test suite."""
import ctypes
import gc
import os
import sys
import traceback

import pytest

MODULE = "korvan.factsheet.diagnose.robustness"
# The file name the methods' traceback entries carry (two backslashes a separator).
TB_FILE = "korvan\\\\factsheet\\\\diagnose\\\\robustness"
# The path the methods' code objects carry (one backslash a separator).
CODE_FILE = "korvan\\factsheet\\diagnose\\robustness"


# `make sanitize` sets KORVAN_LEAK_LOOPS=all and runs every leak loop; `make test`
# runs a share of them (the success paths and one failure of each kind), which
# finds a leak the paths have in common in a fraction of the time.
ALL_LEAK_LOOPS = os.environ.get("KORVAN_LEAK_LOOPS") == "all"


def leak_share(rows, ids, share):
    """`rows` as pytest params, those whose id is not in `share` skipped unless all
    leak loops run."""
    skip = pytest.mark.skipif(not ALL_LEAK_LOOPS,
                              reason="the rest of the leak loops run under make sanitize")
    return [pytest.param(*row, id=str(i), marks=() if i in share else skip)
            for row, i in zip(rows, ids)]


def method_name(name):
    return f"{MODULE}.RobustnessTest.{name}"


def last_entry(excinfo):
    """(function name, file name, line) of the innermost traceback entry."""
    frame = traceback.extract_tb(excinfo.value.__traceback__)[-1]
    return frame.name, frame.filename, frame.lineno


def entries(excinfo):
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(excinfo.value.__traceback__)]


def assert_entry(excinfo, name, line):
    """The native method `name` appears in the traceback at `line`."""
    assert (method_name(name), TB_FILE, line) in entries(excinfo), entries(excinfo)


def refcounts(*objects):
    """Reference counts of `objects`. Compare two calls made the same way:
    the call itself holds references, so only like calls are comparable."""
    gc.collect()
    return counts(*objects)


def counts(*objects):
    """Like `refcounts`, without collecting cycles first (for tight loops)."""
    return [sys.getrefcount(o) for o in objects]


def vectorcall(function, args, kwargs):
    """Calls `function` through the vectorcall protocol with `kwargs` keys as
    keyword names, exactly as given (the interpreter's own call paths refuse
    non-string names, and a name given twice, before the callee sees them).
    `kwargs` is a dict, or a list of (name, value) pairs that may repeat a name."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    # kwnames goes as a raw pointer so that "no keywords" is NULL, not None.
    api.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                    ctypes.c_void_p]
    pairs = list(kwargs.items()) if isinstance(kwargs, dict) else list(kwargs)
    values = list(args) + [value for _, value in pairs]
    stack = (ctypes.py_object * max(len(values), 1))(*values)
    kwnames = tuple(name for name, _ in pairs) if pairs else None
    # No ctypes.cast: it ties the array and the pointer in a reference cycle.
    return api(function, stack, len(args), id(kwnames) if kwnames else None)


@pytest.fixture
def RT():
    from korvan.factsheet.diagnose.robustness import RobustnessTest

    return RobustnessTest


def assert_same_result(got, expected):
    """Two ValidationResults are equal in every field, floats to the last bit."""
    import pandas as pd

    assert (got.key, got.data, got.model) == (expected.key, expected.data, expected.model)
    assert got.inputs == expected.inputs
    pd.testing.assert_frame_equal(got.table, expected.table, check_exact=True)
    assert got.value == expected.value
    assert list(got.value) == list(expected.value)
    assert got.options == expected.options


# -- robustness runs shared by the report tests ----------------------------------

def fitted_run(ds, estimator, **run_args):
    """Fit `estimator` on the train split of `ds`, run the test, return the result."""
    from korvan.factsheet.diagnose.robustness import RobustnessTest
    from korvan.models import fit_estimator, wrap_model

    fit_estimator(estimator, *ds.get_X_y_data("train"))
    return RobustnessTest(ds, wrap_model(estimator)).run(**run_args)


def mixed_frame(n=400, seed=0):
    """Classification data with numerical, string and pandas-category features."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    x1, x2 = rng.normal(size=n), rng.normal(size=n)
    city = rng.choice(["Oslo", "Lima", "Pune", "Kobe"], size=n)
    kind = pd.Categorical(rng.choice(["flat", "house"], size=n))
    score = 1.5 * x1 + (city == "Lima") * 1.2 - 0.5 * x2 + rng.normal(scale=0.4, size=n)
    return pd.DataFrame({"x1": x1, "x2": x2, "city": city, "kind": kind,
                         "label": np.where(score > 0.3, "yes", "no")},
                        index=pd.RangeIndex(1000, 1000 + n, name="id"))


@pytest.fixture(scope="session")
def demo_run():
    """The command's demo: gradient boosting on the diabetes data, five levels."""
    from sklearn.ensemble import HistGradientBoostingRegressor

    from korvan.data import load_bundled

    ds = load_bundled("diabetes")
    result = fitted_run(ds, HistGradientBoostingRegressor(random_state=0),
                        noise_levels=[0.1, 0.2, 0.3, 0.4, 0.5])
    return result, ds, None


@pytest.fixture(scope="session")
def mixed_run():
    """A classifier on numerical and categorical features, with a labelled index,
    and its per-feature sweep."""
    from sklearn.ensemble import RandomForestClassifier

    from korvan.data import DataSet
    from korvan.factsheet.diagnose.robustness import RobustnessTest
    from korvan.models import wrap_model
    from korvan.sweep import sweep

    ds = DataSet(mixed_frame(), "label", name="mixed")
    run_args = dict(noise_levels=[0.2, 0.5], n_repeats=4, threshold=0.2)
    estimator = RandomForestClassifier(n_estimators=30, random_state=0)
    result = fitted_run(ds, estimator, **run_args)
    found = sweep(RobustnessTest(ds, wrap_model(estimator)), **run_args)
    return result, ds, found
