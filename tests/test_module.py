"""Importing the module: globals, lifecycle, guards, and failures during exec."""
import ctypes
import gc
import importlib
import subprocess
import sys
import textwrap
import types
import weakref
import typing
from copy import copy

import numpy as np
import pandas as pd
import pytest

import plotlane
from conftest import MODULE, TB_FILE
from korvan.factsheet.base import TestBase
from korvan.factsheet.utils.metric_utils import get_scorer_funcs
from korvan.utils import constants
from korvan.utils.results import ValidationResult

robustness = importlib.import_module(MODULE)


def test_globals_are_bound_in_source_order():
    expected = {
        "np": np, "pd": pd, "copy": copy, "Tuple": typing.Tuple, "List": typing.List,
        "Union": typing.Union, "pln": plotlane, "TestBase": TestBase,
        "get_scorer_funcs": get_scorer_funcs, "ValidationResult": ValidationResult,
        "NUMERICAL": constants.NUMERICAL, "CATEGORICAL": constants.CATEGORICAL,
        "REGRESSION": constants.REGRESSION, "CLASSIFICATION": constants.CLASSIFICATION,
    }
    for name, value in expected.items():
        assert getattr(robustness, name) is value, name
    # Other tests rebind globals; the order is checked on a fresh import.
    fresh = run_python(f"import {MODULE} as m; print(' '.join(vars(m)))")
    body = [n for n in fresh.stdout.split() if n in expected or n in ("RobustnessTest", "__test__")]
    assert body == list(expected) + ["RobustnessTest", "__test__"]
    assert robustness.__test__ == {}
    assert robustness.__doc__ is None
    assert robustness.__builtins__ is __builtins__ or robustness.__builtins__.__name__ == "builtins"
    assert robustness.__package__ == "korvan.factsheet.diagnose"
    assert robustness.__file__.endswith(".so") and not hasattr(robustness, "__path__")


def test_exec_on_a_foreign_module_object():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(robustness)
    with pytest.raises(RuntimeError) as excinfo:
        api.PyModule_ExecDef(types.ModuleType("robustness"), definition)
    assert str(excinfo.value) == ("Module 'robustness' has already been imported. "
                                  "Re-initialisation is not supported.")
    # The module it was stored for is accepted and left as it is.
    assert api.PyModule_ExecDef(robustness, definition) == 0
    assert robustness.RobustnessTest.__module__ == MODULE


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_import_from_a_sub_interpreter_fails():
    result = run_python(f"""
        import {MODULE}
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import {MODULE}")
        except interpreters.RunFailedError as error:
            print(error)
        else:
            print("imported")
    """)
    assert result.returncode == 0, result.stderr
    assert ("Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in result.stdout


# A host import that fails, then succeeds once the cause is gone. Each case runs
# in a fresh interpreter: a successful import is final for the process.
@pytest.mark.parametrize("blocked, line, error", [
    ("plotlane", 5, "ZeroDivisionError: plotlane is broken"),
    ("korvan.factsheet.base", 7, "ZeroDivisionError: korvan.factsheet.base is broken"),
    ("korvan.utils.results", 9, "ZeroDivisionError: korvan.utils.results is broken"),
])
def test_failed_host_import_then_retry(blocked, line, error):
    result = run_python(f"""
        import sys, traceback, importlib.abc
        class Broken(importlib.abc.MetaPathFinder, importlib.abc.Loader):
            def find_spec(self, name, path, target=None):
                if name == {blocked!r}:
                    import importlib.util
                    return importlib.util.spec_from_loader(name, self)
            def create_module(self, spec):
                return None
            def exec_module(self, module):
                raise ZeroDivisionError({blocked!r} + " is broken")
        finder = Broken()
        sys.meta_path.insert(0, finder)
        try:
            import {MODULE}
        except ZeroDivisionError as error:
            frames = traceback.extract_tb(error.__traceback__)
            print("first:", type(error).__name__ + ":", error)
            print("entry:", [(f.name, f.filename, f.lineno) for f in frames
                             if f.name.startswith("init ")])
        print("cached:", {MODULE!r} in sys.modules)
        sys.meta_path.remove(finder)
        import {MODULE} as m
        print("second:", m.RobustnessTest.__name__, m.__test__)
    """)
    assert result.returncode == 0, result.stderr
    out = result.stdout.splitlines()
    assert out[0] == "first: " + error
    assert out[1] == "entry: " + repr([(f"init {MODULE}", TB_FILE, line)])
    assert out[2] == "cached: False"
    assert out[3] == "second: RobustnessTest {}"


def test_a_failed_exec_leaves_nothing_that_later_calls_read():
    # The first exec makes the class, then fails; the second fails at a host
    # import, and its module and dict are gone. Methods of the first class
    # still read globals: their own, never the dict of a later exec.
    result = run_python(f"""
        import gc, sys, traceback
        import korvan.factsheet.base as base
        kept = []
        class Meta(type):
            def __new__(mcls, name, bases, ns):
                cls = super().__new__(mcls, name, bases, ns)
                if name == "RobustnessTest":
                    kept.append(cls)
                    raise LookupError("no class today")
                return cls
        class Keeping(base.TestBase, metaclass=Meta):
            pass
        class Alias:
            def __mro_entries__(self, bases):
                return (Keeping,)
        real = base.TestBase
        base.TestBase = Alias()
        for blocked in (None, "plotlane"):
            if blocked:
                sys.modules[blocked] = None
            try:
                import {MODULE}
            except (LookupError, ImportError) as error:
                print("exec:", type(error).__name__, [f.lineno for f in
                      traceback.extract_tb(error.__traceback__) if f.name.startswith("init ")])
                del error
        del sys.modules["plotlane"]
        base.TestBase = real
        stale = kept.pop()
        gc.collect()
        class Charts:
            def boxplot(self, **kw):
                raise KeyError("stale chart")
        draw = stale._visualize_robustness
        draw.__globals__["pln"] = Charts()

        def call():
            try:
                draw([1.0], [0.0], "MSE")
            except KeyError as error:
                native = error.__traceback__.tb_next  # the method's own entry
                print("call:", error, native.tb_lineno,
                      native.tb_frame.f_globals is draw.__globals__)

        call()
        import {MODULE} as m
        print("exec:", m.RobustnessTest.__name__, m.pln is sys.modules["plotlane"])
        call()
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "exec: LookupError [13]", "exec: ModuleNotFoundError [5]",
        "call: 'stale chart' 103 True",
        "exec: RobustnessTest True",
        "call: 'stale chart' 103 True",
    ]


def test_missing_builtin_fails_exec_with_name_error():
    result = run_python(f"""
        import builtins
        saved = builtins.super
        del builtins.super
        try:
            import {MODULE}
        except NameError as error:
            print(error)
        builtins.super = saved
        import {MODULE} as m
        print(m.RobustnessTest(1, 2).key)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["name 'super' is not defined", "diagnose_robustness"]


def test_metaclass_conflict_fails_at_class_creation():
    result = run_python(f"""
        import traceback
        import korvan.factsheet.base as base
        class Meta(type):
            pass
        class Other(type):
            pass
        class Left(metaclass=Meta):
            pass
        class Mixed:
            def __mro_entries__(self, bases):
                return (Left, Right)
        class Right(metaclass=Other):
            pass
        real = base.TestBase
        base.TestBase = Mixed()
        try:
            import {MODULE}
        except TypeError as error:
            print(error)
            print(traceback.extract_tb(error.__traceback__)[-1].lineno)
        base.TestBase = real
        import {MODULE} as m
        print(m.RobustnessTest.__mro__[1].__name__, "__orig_bases__" in vars(m.RobustnessTest))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
        "of the metaclasses of all its bases",
        "13",
        "TestBase False",
    ]


def test_mro_entries_and_prepare_are_honoured():
    result = run_python(f"""
        import korvan.factsheet.base as base
        seen = []
        class Meta(type):
            @classmethod
            def __prepare__(mcls, name, bases):
                seen.append((name, bases))
                return {{"prepared": True}}
        class Base(metaclass=Meta):
            def __init__(self, dataset, model):
                self.dataset, self.model = dataset, model
        class Alias:
            def __mro_entries__(self, bases):
                return (Base,)
        alias = Alias()
        base.TestBase = alias
        import {MODULE} as m
        T = m.RobustnessTest
        print(type(T).__name__, T.__mro__[1].__name__, T.__orig_bases__ == (alias,))
        print(seen[-1][0], [b.__name__ for b in seen[-1][1]], T.prepared, T(1, 2).key)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["Meta Base True", "RobustnessTest ['Base'] True diagnose_robustness"]


def test_cannot_import_name():
    result = run_python(f"""
        import korvan.utils.results as results
        del results.ValidationResult
        try:
            import {MODULE}
        except ImportError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    # %S formats the name with str(), as the interpreter's own from-import of a
    # native module does.
    assert result.stdout.strip() == "cannot import name ValidationResult"


def test_global_lookup_sees_rebinding_and_falls_back_to_builtins(monkeypatch):
    calls = []

    class Chart:
        def __init__(self, tag):
            self.tag = tag

        def __getattr__(self, name):
            return lambda *a, **k: calls.append((self.tag, name))

    def charts(tag):
        return types.SimpleNamespace(boxplot=lambda **k: Chart(tag))

    def drawn():
        calls.clear()
        robustness.RobustnessTest._visualize_robustness([1.0], [0.0], "MSE")
        return calls[:]

    monkeypatch.setattr(robustness, "pln", charts("module"))
    assert drawn() == [("module", n) for n in ("set_xaxis", "set_yaxis", "set_title", "render")]
    monkeypatch.delattr(robustness, "pln")
    # A builtin, then the same builtin rebound while the module's dict stays
    # as it is: the second value must be the one used.
    monkeypatch.setattr("builtins.pln", charts("first"), raising=False)
    assert {tag for tag, _ in drawn()} == {"first"}
    monkeypatch.setattr("builtins.pln", charts("second"))
    assert {tag for tag, _ in drawn()} == {"second"}


@pytest.mark.parametrize("blocked, line", [("plotlane", 5), ("pandas", 2)])
def test_blocked_import_fails_like_an_import_statement(blocked, line):
    # Everything else is imported first, so that the module's own import
    # statement is the one that meets the None.
    result = run_python(f"""
        import sys, traceback
        import numpy, pandas, korvan.factsheet.base, korvan.factsheet.utils.metric_utils
        import korvan.utils.results, korvan.utils.constants
        saved = sys.modules.pop({blocked!r}, None)
        sys.modules[{blocked!r}] = None
        for name in ({blocked!r}, {MODULE!r}):
            try:
                __import__(name)
            except ImportError as error:
                entries = [f.lineno for f in traceback.extract_tb(error.__traceback__)
                           if f.name.startswith("init ")]
                print(type(error).__name__, error, entries)
        if saved is None:
            del sys.modules[{blocked!r}]
        else:
            sys.modules[{blocked!r}] = saved
        import {MODULE} as m, plotlane, pandas
        print(m.pln is plotlane, m.pd is pandas)
    """)
    assert result.returncode == 0, result.stderr
    error = f"ModuleNotFoundError import of {blocked} halted; None in sys.modules"
    assert result.stdout.splitlines() == [f"{error} []", f"{error} [{line}]", "True True"]


def test_a_deleted_global_is_let_go_at_its_next_use():
    # The lookup cache owns what it last found; once the name is gone, the
    # next use finds nothing and must drop it, as the module's dict has.
    class Chart:
        def __getattr__(self, name):
            return lambda *a, **k: None

    class Charts:
        def boxplot(self, **kw):
            return Chart()

    real = robustness.pln
    charts = Charts()
    gone = weakref.ref(charts)
    draw = robustness.RobustnessTest._visualize_robustness
    try:
        robustness.pln = charts
        draw([1.0], [0.0], "MSE")
        del robustness.pln, charts
        with pytest.raises(NameError):
            draw([1.0], [0.0], "MSE")
        gc.collect()
        assert gone() is None
    finally:
        robustness.pln = real
