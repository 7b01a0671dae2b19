"""Leak loops over every method's success and failure paths, and over import."""
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import numpy as np
import pytest

from conftest import MODULE, leak_share, vectorcall
from leakcheck import assert_no_leak


class Token:
    pass


def test_the_hunter_catches_a_leak():
    kept = []
    with pytest.raises(AssertionError):
        assert_no_leak(lambda: kept.append(object()))
    victim = Token()
    with pytest.raises(AssertionError, match="reference counts"):
        assert_no_leak(lambda: kept.append(victim), victim)


@pytest.mark.parametrize("make", [
    lambda RT, d, m: RT(d, m),
    lambda RT, d, m: RT(dataset=d, model=m),
    lambda RT, d, m: RT(d),
    lambda RT, d, m: RT(d, m, extra=1),
    lambda RT, d, m: RT(d, m, model=m),
    lambda RT, d, m: vectorcall(RT.__init__, (RT.__new__(RT), d), {"model": m, 2: d}),
    lambda RT, d, m: vectorcall(RT.__init__, (RT.__new__(RT),), [("dataset", d), ("model", m),
                                                                ("dataset", d)]),
])
def test_constructor(RT, make):
    d, m = Token(), Token()
    assert_no_leak(lambda: make(RT, d, m), d, m)


def test_failing_base_constructor(RT, monkeypatch):
    from korvan.factsheet.base import TestBase

    def boom(self, dataset, model):
        raise ValueError(dataset)

    monkeypatch.setattr(TestBase, "__init__", boom)
    d = Token()
    assert_no_leak(lambda: RT(d, d), d)


@pytest.mark.parametrize("name, args, kwargs", [
    ("_perturb_normal", (1,), {}),
    ("_perturb_quantile", (1, 2, 3, 4, 5), {}),
    ("_perturb_categorical", (1, 2, 3), {"X": 1}),
    ("_perturb", (), {"bogus": 1}),
    ("_repeat_perturb_pred", (1,), {"X": 2}),
    ("_visualize_robustness", (1, 2), {}),
    ("run", tuple(range(10)), {}),
])
def test_binding_errors(RT, name, args, kwargs):
    f = getattr(RT, name)
    token = Token()
    assert_no_leak(lambda: f(*args, token, **kwargs), token)


class Chart:
    def __init__(self, fail):
        self.fail = fail

    def __getattr__(self, name):
        if name == self.fail:
            raise AttributeError(name)
        return lambda *a, **k: {"chart": name}


@pytest.mark.parametrize("fail", [None, "set_xaxis", "set_title", "render"])
def test_chart(RT, monkeypatch, fail):
    import korvan.factsheet.diagnose.robustness as module

    monkeypatch.setattr(module, "pln", SimpleNamespace(boxplot=lambda **k: Chart(fail)))
    scores, levels = np.ones(4), np.zeros(4)
    assert_no_leak(lambda: RT._visualize_robustness(scores, levels, "MSE"), scores, levels)


def test_import_failed_import_and_reimport():
    # Failed imports leave nothing behind either: blocks allocated by a failing
    # import of this module, then a successful one, then re-imports after removal.
    code = textwrap.dedent(f"""
        import gc, sys, importlib, tracemalloc
        from leakcheck import assert_no_leak

        def failing():
            sys.modules["plotlane"] = None   # makes `import plotlane` fail
            try:
                importlib.import_module({MODULE!r})
            except ModuleNotFoundError:
                pass
            else:
                raise AssertionError("imported")
            finally:
                del sys.modules["plotlane"]

        # Counted with tracemalloc, which sees every block the interpreter
        # allocates: the allocator's own count of blocks drifts by about a
        # block per failed import of any module (its free lists and caches),
        # as much for the Python twin as for this module.
        def blocks_left(calls):
            tracemalloc.start()
            gc.collect()
            before = tracemalloc.take_snapshot()
            for _ in range(calls):
                failing()
            gc.collect()
            after = tracemalloc.take_snapshot()
            tracemalloc.stop()
            return sum(d.count_diff for d in after.compare_to(before, "filename"))

        for _ in range(30):
            failing()
        # The import machinery's caches grow and shrink by anything from a few
        # dozen to a few hundred blocks over one round of 200 failed imports; a
        # leak keeps pace with the calls in every round (a leaked module is
        # five blocks a call).
        calls = 200
        rounds = [blocks_left(calls) for _ in range(3)]
        assert min(rounds) < calls, rounds
        module = importlib.import_module({MODULE!r})
        def reimport():
            del sys.modules[{MODULE!r}]
            assert importlib.import_module({MODULE!r}) is module
        # Only references are compared here: the interpreter's extension loader
        # itself keeps a few blocks per load of any extension module.
        assert_no_leak(reimport, module, module.RobustnessTest, vars(module), blocks=False)
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            cwd=__file__.rsplit("/", 1)[0], timeout=300)
    assert result.stdout.strip() == "ok", result.stderr


# -- every method's success path and each kind of failure path ------------------

def method_paths():
    # Imported here: these modules bring the fakes, and the real host layer with them.
    from shared import (NAMES, Host, boom, del_global, make, matrix, ragged, robustness,
                        set_global, set_host)

    def objects():
        """Fresh for each row: the column routines write into X."""
        def predict(M):
            return np.nansum(M, axis=1)
        return SimpleNamespace(X=matrix("nan", 20), fidx=np.intp(1), noise=float("0.25"),
                               seed=10**20, features=list(NAMES), predict=predict)

    def without_types(obj, o):
        obj.dataset = SimpleNamespace(feature_names=o.features)
        return obj

    def run(**kwargs):
        return lambda RT, h, o: h.run(RT, **{"n_repeats": 2, "noise_levels": [o.noise, 0.5],
                                             "perturb_features": ["a", "c"], **kwargs})

    # (call of the native class RT on the fake host h with objects o, how to break the host)
    rows = {
        "normal": (lambda RT, h, o: RT._perturb_normal(o.X, o.fidx, o.noise, o.seed), None),
        "quantile": (lambda RT, h, o: RT._perturb_quantile(o.X, o.fidx, o.noise, o.seed), None),
        "categorical": (lambda RT, h, o: RT._perturb_categorical(o.X, o.fidx, o.noise, o.seed),
                        None),
        "perturb": (lambda RT, h, o: make(RT)._perturb(
            o.X, o.features, "quantile", o.noise, o.seed), None),
        "repeat": (lambda RT, h, o: make(RT)._repeat_perturb_pred(
            o.X, o.predict, 2, o.features, "normal", o.noise, o.seed), None),
        "run": (lambda RT, h, o: run(random_state=o.seed)(RT, h, o), None),
        # numpy's failures, inside each routine and passed up through the callers
        "normal-negative-scale": (lambda RT, h, o: RT._perturb_normal(o.X, o.fidx, -o.noise),
                                  None),
        "quantile-no-rows": (lambda RT, h, o: RT._perturb_quantile(o.X[:0], o.fidx, o.noise),
                             None),
        "categorical-negative-p": (lambda RT, h, o: RT._perturb_categorical(
            o.X, o.fidx, -o.noise), None),
        "perturb-in-routine": (lambda RT, h, o: make(RT)._perturb(
            o.X, ["b"], "normal", -o.noise), None),
        "repeat-ragged": (lambda RT, h, o: make(RT)._repeat_perturb_pred(
            o.X, ragged(), 2, o.features, "normal", o.noise, o.seed), None),
        "run-in-engine": (lambda RT, h, o: run(noise_levels=[-o.noise])(RT, h, o), None),
        "run-no-levels": (run(noise_levels=[]), None),
        # run's own type tests and threshold conversion
        "run-type-test": (run(dataset=None), None),
        "run-threshold": (run(threshold="0.5"), None),
        # host failures
        "perturb-no-feature-types": (lambda RT, h, o: without_types(make(RT), o)._perturb(
            o.X, o.features, "normal", o.noise), None),
        "repeat-predict": (lambda RT, h, o: make(RT)._repeat_perturb_pred(
            o.X, boom("predict"), 2, o.features, "normal", o.noise, o.seed), None),
        "run-data": (run(), set_host("data_items", lambda h: boom("data"))),
        "run-result": (run(), set_global("ValidationResult", boom("result"))),
        "run-no-global": (run(), del_global("get_scorer_funcs")),
        # unpacking the host's triples
        "unpack-too-many": (run(), set_host("scorer_items", lambda h: lambda: (1, 2, 3, 4))),
        "unpack-too-few": (run(), set_host("data_items", lambda h: lambda: iter([h.X, h.y]))),
        "unpack-raises": (run(), set_host("data_items", lambda h: lambda: (
            x for x in [h.X, boom("half way")()]))),
    }
    return Host, robustness.RobustnessTest, objects, rows


Host, NATIVE, OBJECTS, ROWS = method_paths()


@pytest.fixture(scope="module")
def warm_engine():
    """numpy's caches fill over the first several hundred engine calls of a
    process, whichever implementation makes them (see assert_no_leak); that
    tail is left here rather than in the first row that meets it."""
    with pytest.MonkeyPatch.context() as monkeypatch:
        host, o = Host().install(monkeypatch), OBJECTS()
        for name, times in (("repeat", 500), ("run", 200)):
            for _ in range(times):
                ROWS[name][0](NATIVE, host, o)


# Under make test: each method's success path, and one failure of each kind (in
# numpy, in the host, in unpacking the host's values).
SHARE = {"repeat", "run", "perturb-in-routine", "run-in-engine", "run-type-test", "repeat-predict",
         "run-no-global", "unpack-raises"}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # nanstd of columns the routines emptied
@pytest.mark.parametrize("call, breaks", leak_share(ROWS.values(), ROWS, SHARE))
def test_method_paths(monkeypatch, warm_engine, call, breaks):
    host, o = Host().install(monkeypatch), OBJECTS()
    if breaks:
        breaks(host, monkeypatch)
    assert_no_leak(lambda: call(NATIVE, host, o), *vars(o).values(), host.dataset, host.model,
                   host.X, host.y, warmup=50, calls=25)
