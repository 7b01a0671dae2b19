"""Leak loops over every method's success and failure paths, and over import."""
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import numpy as np
import pytest

from conftest import MODULE, vectorcall
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
        import gc, sys, importlib
        from leakcheck import assert_no_leak
        def failing():
            sys.modules["plotlane"] = None   # makes `import plotlane` fail
            try:
                importlib.import_module({MODULE!r})
            finally:
                del sys.modules["plotlane"]
        assert_no_leak(failing, warmup=3, rounds=3, calls=20)
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
