"""RobustnessTest.run: set-up, scoring, worst-sample split, table, chart and result.

Most cases run the native method and tests/reference.py's Python `run` against
the same fake host objects, which log every attribute read and call in order,
and compare both the logs and everything handed to the result record. The
rest pin the failures (type, whole message, traceback entry) and run the
real perturbation engine and host layer end to end.
"""
import warnings
from fractions import Fraction
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression, LogisticRegression

import reference
from conftest import assert_entry, entries, method_name
from korvan.data import DataSet
from korvan.models import wrap_model
from korvan.utils.constants import CLASSIFICATION, REGRESSION
from shared import FEATURES, Host, boom, del_global, robustness, set_global, set_host

RESULT_KEYS = ["key", "data", "model", "inputs", "value", "table", "options"]


def fake_repeat(self, **kw):
    return self.dataset._host.repeat(kw)


class NativeFake(robustness.RobustnessTest):
    _repeat_perturb_pred = fake_repeat


class ReferenceFake(reference.RobustnessTest):
    _repeat_perturb_pred = fake_repeat


@pytest.fixture
def host(monkeypatch):
    return Host().install(monkeypatch)


def typed(obj):
    """`obj` with every dict's key order and every key's and scalar's type kept."""
    if isinstance(obj, dict):
        return [(type(k), k, typed(v)) for k, v in obj.items()]
    if isinstance(obj, list):
        return [typed(v) for v in obj]
    return type(obj), obj


def run_both(host, *args, **kwargs):
    """Runs native and reference; checks they agree; returns the native result."""
    native = host.run(NativeFake, *args, **kwargs)
    native_log = host.log
    expected = host.run(ReferenceFake, *args, **kwargs)
    assert native_log == host.log
    assert list(native.kw) == list(expected.kw) == RESULT_KEYS
    for key in ("key", "data", "model", "inputs", "value", "options"):
        assert typed(native.kw[key]) == typed(expected.kw[key]), key
    pd.testing.assert_frame_equal(native.kw["table"], expected.kw["table"])
    assert list(native.kw["table"].columns) == list(expected.kw["table"].columns)
    return native


CASES = [
    ((), {}),
    (("main", None, 2, ["c"], "normal", [0.3], 0.5, 3), {}),
    ((), dict(n_repeats=3, noise_levels=[0.2, 0.1], threshold=0.3, random_state=7)),
    ((), dict(metric="AUC", dataset="train", perturb_method="quantile", n_repeats=2)),
    ((), dict(perturb_features="b", noise_levels=0.2)),
    ((), dict(perturb_features=("b", "a", "b"), noise_levels=np.float64(0.3))),
    ((), dict(perturb_features=["a", None], noise_levels=(0.1, 0.2))),
    ((), dict(noise_levels=np.array([0.5, 0.1]), n_repeats=2)),
    ((), dict(noise_levels=[0.1, 0.1], n_repeats=2)),
    ((), dict(noise_levels=[0.0, 0.1], n_repeats=2)),
    ((), dict(noise_levels=[1, 2], n_repeats=2)),
    ((), dict(threshold=1, n_repeats=1)),
    ((), dict(threshold=-0.25, n_repeats=1)),
    ((), dict(threshold=Fraction(1, 4), n_repeats=1)),
]


@pytest.mark.parametrize("args, kwargs", CASES)
@pytest.mark.parametrize("task_type", [REGRESSION, CLASSIFICATION, "ranking"])
def test_matches_reference(host, task_type, args, kwargs):
    host.dataset.__dict__["task_type"] = task_type
    result = run_both(host, *args, **kwargs)
    levels = args[5] if args else kwargs.get("noise_levels", NativeFake.run.__defaults__[5])
    assert result.kw["inputs"]["noise_levels"] is levels


@pytest.mark.parametrize("items", ["list", "iterator"])
def test_host_triples_may_be_any_iterable(host, items):
    wrap = list if items == "list" else iter
    host.scorer_items = lambda: wrap([-1, host.score, host.predict])
    host.data_items = lambda: wrap([host.X, host.y, np.ones(10)])
    run_both(host, n_repeats=2)


def test_defaults(host):
    result = host.run(NativeFake)
    assert list(result.kw["inputs"].items()) == [
        ("dataset", "test"), ("metric", None), ("n_repeats", 10), ("noise_levels", 0.1),
        ("perturb_features", None), ("perturb_method", "normal"), ("random_state", 0),
        ("threshold", 0.1)]
    value, table = result.kw["value"], result.kw["table"]
    assert list(value) == [0.1, "data_info"]
    assert list(value[0.1]) == [f"Pred {i}" for i in range(10)]
    assert list(value["data_info"]) == ["dataset1", "dataset2", "sample_idx1", "sample_idx2",
                                        "name1", "name2"]
    assert (table.shape, list(table.columns), list(table.index)) == ((10, 2), [0.0, 0.1], list(range(10)))
    assert (table.index.name, table.columns.name) == ("Repeats", "Noise Level")
    assert table[0.0].nunique() == 1
    assert ("set_yaxis", [("axis_name", "MSE"), ("axis_type", "value")]) in host.log
    repeat = [e for e in host.log if e[0] == "repeat"]
    assert repeat == [("repeat", ["X", "predict_func", "n_repeats", "perturb_features",
                                  "perturb_method", "noise_level", "random_state"],
                       True, FEATURES, False, 10, 0.1, 0)]
    assert sum(e[0] == "score" for e in host.log) == 1 + 10


@pytest.mark.parametrize("n, threshold, k", [
    (1000, 0.1, 100), (10, 0.25, 2), (100, 0.29, 28), (10, 0, 0), (10, 1, 10), (10, 3.0, 10),
    (10, -0.25, 8),
])
@pytest.mark.parametrize("levels", [[0.1], [0.5, 0.1]])
def test_worst_sample_split(monkeypatch, n, threshold, k, levels):
    host = Host(n=n).install(monkeypatch)
    result = host.run(NativeFake, n_repeats=2, threshold=threshold, noise_levels=levels)
    info = result.kw["value"]["data_info"]
    baseline = host.X @ np.array([1.0, -2.0, 0.5])
    preds = np.array(list(result.kw["value"][levels[0]].values()))
    gaps = np.abs(preds - baseline).mean(axis=0)
    ranking = info["sample_idx1"] + info["sample_idx2"]
    assert len(info["sample_idx1"]) == k
    assert sorted(ranking) == list(range(n))
    assert np.all(np.diff(gaps[ranking]) <= 0)


def test_chart_pairs_scores_with_levels(host):
    result = host.run(NativeFake, n_repeats=2, noise_levels=[0.1, 0.2], metric="R2")
    boxplot = next(e for e in host.log if e[0] == "boxplot")
    table = result.kw["table"]
    assert boxplot == ("boxplot", ["x", "y", "orient", "outliers"], [0.0, 0.0, 0.1, 0.1, 0.2, 0.2],
                       table.T.to_numpy().ravel().tolist(), "vertical", True)
    assert ("set_yaxis", [("axis_name", "R2"), ("axis_type", "value")]) in host.log
    assert result.kw["options"] == {"rendered": host.log.index(boxplot) + 4}


@pytest.mark.parametrize("n_repeats", [0, -2])
def test_no_repeats_fails_at_column_labels(host, n_repeats):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for cls in (ReferenceFake, NativeFake):
            with pytest.raises(IndexError) as excinfo:
                host.run(cls, n_repeats=n_repeats, noise_levels=[0.1, 0.2])
    assert str(excinfo.value) == "index 0 is out of bounds for axis 1 with size 0"
    assert_entry(excinfo, "run", 204)
    assert [e[0] for e in host.log].count("score") == 1


STR = type("StrSub", (str,), {})


@pytest.mark.parametrize("kwargs, message", [
    (dict(dataset=None), "Argument 'dataset' has incorrect type (expected str, got NoneType)"),
    (dict(dataset=STR("test")), "Argument 'dataset' has incorrect type (expected str, got StrSub)"),
    (dict(metric=STR("MSE")), "Argument 'metric' has incorrect type (expected str, got StrSub)"),
    (dict(n_repeats=True), "Argument 'n_repeats' has incorrect type (expected int, got bool)"),
    (dict(n_repeats=np.int64(3)), "Argument 'n_repeats' has incorrect type (expected int, got numpy.int64)"),
    (dict(n_repeats=3.0), "Argument 'n_repeats' has incorrect type (expected int, got float)"),
    (dict(perturb_method=STR("normal")), "Argument 'perturb_method' has incorrect type (expected str, got StrSub)"),
    (dict(random_state=None), "Argument 'random_state' has incorrect type (expected int, got NoneType)"),
    (dict(dataset=None, n_repeats=True), "Argument 'dataset' has incorrect type (expected str, got NoneType)"),
    (dict(n_repeats=True, random_state=None), "Argument 'n_repeats' has incorrect type (expected int, got bool)"),
])
def test_argument_types(host, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        host.run(NativeFake, **kwargs)
    assert str(excinfo.value) == message
    assert method_name("run") not in [name for name, _, _ in entries(excinfo)]
    assert host.log == []


def fail_on_call(fn, count):
    calls = []

    def wrapped(*args, **kwargs):
        calls.append(1)
        if len(calls) == count:
            raise LookupError(f"call {count}")
        return fn(*args, **kwargs)
    return wrapped


class NoList(np.ndarray):
    def tolist(self):
        raise LookupError("tolist")


class FrozenFrame:
    __slots__ = ()


class NoRename:
    columns = None


def numpy_where(**overrides):
    return set_global("np", SimpleNamespace(**{**vars(np), **overrides}))


# Failures test_hostile's differential rows do not reach (broken globals and host
# objects, unpacking shapes): (kwargs, how to break the host, type, whole message, line)
FAILURES = [
    (dict(), del_global("REGRESSION"), NameError, "name 'REGRESSION' is not defined", 154),
    (dict(), lambda h, mp: mp.setattr(NativeFake, "REGRESSION_METRIC_DEFAULT", 5), TypeError,
     "Expected unicode, got int", 155),
    (dict(), lambda h, mp: mp.setattr(NativeFake, "REGRESSION_METRIC_DEFAULT", STR("MSE")),
     TypeError, "Expected unicode, got StrSub", 155),
    (dict(), lambda h, mp: (h.dataset.__dict__.update(task_type=CLASSIFICATION),
                            mp.delattr(robustness, "CLASSIFICATION")),
     NameError, "name 'CLASSIFICATION' is not defined", 156),
    (dict(), lambda h, mp: (h.dataset.__dict__.update(task_type=CLASSIFICATION),
                            mp.setattr(NativeFake, "CLASSIFICATION_METRIC_DEFAULT", b"AUC")),
     TypeError, "Expected unicode, got bytes", 157),
    (dict(), del_global("get_scorer_funcs"), NameError, "name 'get_scorer_funcs' is not defined", 170),
    (dict(), set_host("scorer_items", lambda h: lambda: (1, 2, 3, 4)), ValueError,
     "too many values to unpack (expected 3)", 170),
    (dict(), set_host("scorer_items", lambda h: lambda: iter([1])), ValueError,
     "need more than 1 value to unpack", 170),
    (dict(), set_host("scorer_items", lambda h: lambda: 5), TypeError, "'int' object is not iterable", 170),
    (dict(), set_host("data_items", lambda h: lambda: iter([h.X, h.y, None, None])), ValueError,
     "too many values to unpack (expected 3)", 171),
    (dict(), set_host("data_items", lambda h: lambda: (x for x in [h.X, boom("half way")()])),
     LookupError, "half way", 171),
    (dict(), set_host("predict", lambda h: boom("predict")), LookupError, "predict", 172),
    (dict(), del_global("np"), NameError, "name 'np' is not defined", 176),
    (dict(), set_host("score", lambda h: boom("score")), LookupError, "score", 177),
    (dict(), set_host("repeat", lambda h: boom("repeat")), LookupError, "repeat", 180),
    (dict(noise_levels=[[0.1]]), None, TypeError, "unhashable type: 'list'", 187),
    (dict(), set_host("repeat", lambda h: lambda kw: np.zeros((10, 10)).view(NoList)),
     LookupError, "tolist", 189),
    (dict(), set_host("score", lambda h: fail_on_call(h.score, 2)), LookupError, "call 2", 190),
    (dict(noise_levels={0.1}), None, TypeError, "'set' object is not subscriptable", 194),
    (dict(threshold=0.9), numpy_where(argsort=lambda a: np.argsort(a).view(NoList)),
     LookupError, "tolist", 198),
    (dict(), del_global("pd"), NameError, "name 'pd' is not defined", 203),
    (dict(), set_global("pd", SimpleNamespace(DataFrame=lambda data: SimpleNamespace(T=FrozenFrame()))),
     AttributeError, "'FrozenFrame' object has no attribute 'columns'", 204),
    (dict(), set_global("pd", SimpleNamespace(DataFrame=lambda data: SimpleNamespace(T=NoRename()))),
     AttributeError, "'NoRename' object has no attribute 'rename_axis'", 205),
    (dict(), set_global("pln", SimpleNamespace(boxplot=boom("boxplot"))), LookupError, "boxplot", 207),
    (dict(), del_global("ValidationResult"), NameError, "name 'ValidationResult' is not defined", 210),
    (dict(), lambda h, mp: delattr(h.model, "name"), AttributeError,
     "'types.SimpleNamespace' object has no attribute 'name'", 212),
]


@pytest.mark.parametrize("kwargs, breaks, error, message, line", FAILURES)
def test_failures(host, monkeypatch, kwargs, breaks, error, message, line):
    if breaks:
        breaks(host, monkeypatch)
    X, features, levels = host.X.copy(), kwargs.get("perturb_features"), kwargs.get("noise_levels")
    saved = [list(v) if isinstance(v, (list, tuple)) else v for v in (features, levels)]
    with pytest.raises(error) as excinfo:
        host.run(NativeFake, n_repeats=2, **kwargs)
    assert str(excinfo.value) == message
    assert_entry(excinfo, "run", line)
    assert not any(e[0] == "ValidationResult" for e in host.log)
    np.testing.assert_array_equal(host.X, X)
    assert [list(v) if isinstance(v, (list, tuple)) else v for v in (features, levels)] == saved


# -- the real perturbation engine --------------------------------------------

@pytest.mark.parametrize("kwargs", [
    dict(n_repeats=2, noise_levels=[0.1, 0.3]),
    dict(n_repeats=2, noise_levels=(0.2, 0.2), perturb_method="quantile", random_state=4),
    dict(n_repeats=3, perturb_features=["c", "c", "a"], threshold=0.5),
])
def test_real_engine_on_fake_host(host, kwargs):
    """Native run with the native engine; the fakes log the engine's reads too."""
    class Native(robustness.RobustnessTest):
        pass

    class Reference(reference.RobustnessTest):
        pass
    X = host.X.copy()
    native = host.run(Native, **kwargs)
    log = host.log
    expected = host.run(Reference, **kwargs)
    assert log == host.log
    assert typed(native.kw["value"]) == typed(expected.kw["value"])
    pd.testing.assert_frame_equal(native.kw["table"], expected.kw["table"])
    np.testing.assert_array_equal(host.X, X)


def make_data(task_type):
    rng = np.random.default_rng(3)
    frame = pd.DataFrame(rng.normal(size=(80, 3)), columns=["x1", "x2", "x3"])
    frame["colour"] = rng.choice(["red", "green", "blue"], 80)
    signal = frame.x1 - 2 * frame.x2 + (frame.colour == "red")
    if task_type == CLASSIFICATION:
        frame["target"] = (signal > 0).astype(int)
        estimator = LogisticRegression()
    else:
        frame["target"] = signal + rng.normal(size=80) * 0.1
        estimator = LinearRegression()
    data = DataSet(frame, "target", task_type=task_type, name="toy")
    X, y, _ = data.get_X_y_data("train")
    return data, wrap_model(estimator.fit(X, y))


@pytest.mark.parametrize("task_type, kwargs", [
    (REGRESSION, dict(n_repeats=3, noise_levels=[0.1, 0.5])),
    (REGRESSION, dict(n_repeats=2, perturb_method="quantile", metric="MAE", dataset="main")),
    (CLASSIFICATION, dict(n_repeats=3, noise_levels=[0.2, 0.4], threshold=0.25)),
    (CLASSIFICATION, dict(n_repeats=2, metric="ACC", perturb_features="colour")),
])
def test_real_host_layer(task_type, kwargs):
    data, model = make_data(task_type)
    native = robustness.RobustnessTest(data, model).run(**kwargs)
    expected = reference.RobustnessTest(data, model).run(**kwargs)
    assert native.to_dict() == expected.to_dict()
    pd.testing.assert_frame_equal(native.table, expected.table)
    assert typed(native.value) == typed(expected.value)
