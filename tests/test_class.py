"""The RobustnessTest class: its methods as functions, argument binding, constructor."""
import builtins
import inspect
import pydoc
import sys
import types

import numpy as np
import pytest

from conftest import CODE_FILE, MODULE, assert_entry, last_entry, vectorcall
from korvan.factsheet.base import TestBase
from shared import METHODS

RUN_ANNOTATIONS = {
    "dataset": "str", "metric": "str", "n_repeats": "int",
    "perturb_features": "Union[str, Tuple, List]", "perturb_method": "str",
    "noise_levels": "Union[float, int, Tuple, List]", "threshold": "float", "random_state": "int",
}


class Dummy:
    pass


@pytest.fixture
def obj(RT):
    return RT(Dummy(), Dummy())


def test_class_shape(RT):
    assert RT.__mro__[1] is TestBase
    assert type(RT) is type(TestBase)
    assert RT.__doc__ is None
    assert RT.__module__ == MODULE and RT.__qualname__ == "RobustnessTest"
    own = [k for k in vars(RT) if k not in ("__module__", "__qualname__", "__doc__", "__dict__",
                                            "__weakref__")]
    assert own == list(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_method_attributes(RT, name):
    static, params, defaults, first_line, local_names = METHODS[name]
    raw = vars(RT)[name]
    assert isinstance(raw, staticmethod) == static
    f = getattr(RT, name)
    assert f.__name__ == name
    assert f.__qualname__ == "RobustnessTest." + name
    assert f.__module__ == MODULE
    # The globals and builtins its body reads.
    assert f.__globals__ is vars(sys.modules[MODULE])
    assert f.__builtins__ is vars(builtins)
    assert f.__defaults__ == defaults
    assert f.__kwdefaults__ is None
    assert f.__doc__ is None or name == "run"
    if name != "run":
        # A dict of its own, made once, as a Python function's.
        assert type(f.__annotations__) is dict and f.__annotations__ == {}
        assert f.__annotations__ is f.__annotations__
    code = f.__code__
    assert code.co_name == name
    assert code.co_argcount == len(params)
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_varnames == tuple(params + local_names)
    assert code.co_firstlineno == first_line
    assert code.co_filename == CODE_FILE


RUN_DOC = """Robustness test.

        Parameters
        ----------
        dataset : {"main", "train", "test"}, default="test"
            The data set to be tested.
        metric : str, default=None
            The performance metric. If None, we calculate the MSE is used for regression; AUC for classification.

            - Regression: "MSE", "MAE", "R2"
            - Classification: "AUC", "ACC", "F1", "LogLoss", "Brier"

        n_repeats : int, default=10
            The number of perturbation repetition.
        perturb_features : str or list or tuple, default=None
            Feature names used for perturbation. If None, all features will be perturbed.
        perturb_method : {"normal", "quantile"}, default="normal"
            The perturbation method of numerical features.
        noise_levels : float or int or list or tuple, default=0.1
            The perturbation level.
        threshold : float, default=0.1
            The ratio of worst robustness samples.
        random_state : int, default=0
            The random seed for reproducibility.

        Returns
        -------
        ValidationResult
            Robustness result.
        """


def test_run_documentation(RT):
    run = RT.run
    assert run.__annotations__ == RUN_ANNOTATIONS
    assert list(run.__annotations__) == list(RUN_ANNOTATIONS)
    assert run.__doc__ == RUN_DOC


@pytest.mark.parametrize("name", METHODS)
def test_signature_through_class_and_instance(RT, obj, name):
    static, params, defaults, _, _ = METHODS[name]
    sig = inspect.signature(getattr(RT, name))
    assert list(sig.parameters) == params
    n_defaults = len(defaults or ())
    tail = list(sig.parameters.values())[len(params) - n_defaults:]
    assert tuple(p.default for p in tail) == (defaults or ())
    bound = inspect.signature(getattr(obj, name))
    assert list(bound.parameters) == (params if static else params[1:])
    if name == "run":
        assert {k: p.annotation for k, p in sig.parameters.items() if k != "self"} == RUN_ANNOTATIONS


def test_help_renders(RT):
    text = pydoc.render_doc(RT, renderer=pydoc.plaintext)
    assert "run(self, dataset: 'str' = 'test'" in text
    assert "__init__(self, dataset, model)" in text
    assert "Robustness test." in text
    text = pydoc.render_doc(RT._perturb_normal, renderer=pydoc.plaintext)
    assert "_perturb_normal(X, fidx, noise_level, random_state=0)" in text


def test_static_methods_are_unbound(RT, obj):
    for name in ("_perturb_normal", "_perturb_quantile", "_perturb_categorical",
                 "_visualize_robustness"):
        assert getattr(obj, name) is getattr(RT, name)
    assert isinstance(obj.run, types.MethodType) and obj.run.__self__ is obj
    assert obj.run.__func__ is RT.run


@pytest.mark.parametrize("make", [
    lambda RT, d, m: RT(d, m),
    lambda RT, d, m: RT(d, model=m),
    lambda RT, d, m: RT(dataset=d, model=m),
    lambda RT, d, m: RT(model=m, dataset=d),
])
def test_constructor(RT, make):
    d, m = Dummy(), Dummy()
    obj = make(RT, d, m)
    assert (obj.key, obj.dataset, obj.model) == ("diagnose_robustness", d, m)


# (callable name, how it is reached, args, kwargs, message)
BINDING_CASES = [
    ("__init__", "type", (1,), {}, "__init__() takes exactly 3 positional arguments (2 given)"),
    ("__init__", "type", (), {"model": 1}, "__init__() takes exactly 3 positional arguments (1 given)"),
    ("__init__", "type", (1, 2, 3), {}, "__init__() takes exactly 3 positional arguments (4 given)"),
    ("__init__", "type", (1, 2), {"extra": 1}, "__init__() got an unexpected keyword argument 'extra'"),
    ("__init__", "type", (1, 2), {"dataset": 1}, "__init__() got multiple values for keyword argument 'dataset'"),
    ("__init__", "class", (), {}, "__init__() takes exactly 3 positional arguments (0 given)"),
    ("_perturb_normal", "class", (1, 2), {}, "_perturb_normal() takes at least 3 positional arguments (2 given)"),
    ("_perturb_normal", "instance", (1, 2, 3, 4, 5), {}, "_perturb_normal() takes at most 4 positional arguments (5 given)"),
    ("_perturb_quantile", "class", (), {"X": 1, "noise_level": 2}, "_perturb_quantile() takes at least 3 positional arguments (1 given)"),
    ("_perturb_categorical", "class", (1,), {"X": 1, "fidx": 2, "noise_level": 3}, "_perturb_categorical() got multiple values for keyword argument 'X'"),
    ("_perturb_categorical", "class", (1, 2, 3), {"seed": 1}, "_perturb_categorical() got an unexpected keyword argument 'seed'"),
    ("_perturb", "instance", (1,), {}, "_perturb() takes at least 5 positional arguments (2 given)"),
    ("_perturb", "class", (), {}, "_perturb() takes at least 5 positional arguments (0 given)"),
    ("_perturb", "instance", (1, 2, 3, 4, 5, 6), {}, "_perturb() takes at most 6 positional arguments (7 given)"),
    ("_perturb", "instance", (1, 2), {"noise_level": 1}, "_perturb() takes at least 5 positional arguments (3 given)"),
    ("_repeat_perturb_pred", "instance", (1, 2, 3, 4, 5, 6), {}, "_repeat_perturb_pred() takes exactly 8 positional arguments (7 given)"),
    ("_repeat_perturb_pred", "instance", (), {"X": 1, "predict_func": 2, "n_repeats": 3, "perturb_features": 4, "perturb_method": 5, "random_state": 7}, "_repeat_perturb_pred() takes exactly 8 positional arguments (6 given)"),
    ("_visualize_robustness", "instance", (1, 2), {}, "_visualize_robustness() takes exactly 3 positional arguments (2 given)"),
    ("_visualize_robustness", "class", (1, 2, 3), {"scores": 1}, "_visualize_robustness() got multiple values for keyword argument 'scores'"),
    ("run", "class", (), {}, "run() takes at least 1 positional argument (0 given)"),
    ("run", "class", (), {"dataset": "test"}, "run() takes at least 1 positional argument (0 given)"),
    ("run", "instance", tuple(range(9)), {}, "run() takes at most 9 positional arguments (10 given)"),
    ("run", "instance", (), {"noise_level": 0.1}, "run() got an unexpected keyword argument 'noise_level'"),
    ("run", "instance", ("test",), {"dataset": "main"}, "run() got multiple values for keyword argument 'dataset'"),
    ("run", "instance", (), {"self": 1}, "run() got multiple values for keyword argument 'self'"),
]


@pytest.mark.parametrize("name, via, args, kwargs, message", BINDING_CASES)
def test_argument_binding_errors(RT, obj, name, via, args, kwargs, message):
    f = RT if via == "type" else getattr(RT if via == "class" else obj, name)
    with pytest.raises(TypeError) as excinfo:
        f(*args, **kwargs)
    assert str(excinfo.value) == message
    assert_entry(excinfo, name, METHODS[name][3])


def test_non_string_keyword(RT, obj):
    # The interpreter refuses such calls itself; a direct vectorcall reaches the binder.
    with pytest.raises(TypeError) as excinfo:
        vectorcall(RT.run, (obj,), {"dataset": "test", ("x",): 1})
    assert str(excinfo.value) == "run() keywords must be strings"
    assert_entry(excinfo, "run", 110)


# A keyword named twice in one call reaches the binder only through a direct
# vectorcall: the first offending keyword in call order is named, with the
# message the binder gives a parameter passed by position and by keyword.
@pytest.mark.parametrize("name, via, args, pairs, named", [
    ("_perturb_normal", "class", (), [("X", 1), ("fidx", 2), ("noise_level", 3), ("X", 4)], "X"),
    ("_perturb_normal", "class", (1, 2, 3), [("random_state", 1), ("random_state", 2)],
     "random_state"),
    # Equal names that are not the same object collide as well.
    ("_perturb_normal", "class", (1, 2), [("noise_level", 1), ("".join(["noise_", "level"]), 2)],
     "noise_level"),
    ("_perturb", "instance", (1, 2, 3, 4), [("random_state", 1), ("random_state", 2)],
     "random_state"),
    ("run", "instance", (), [("metric", "MSE"), ("threshold", 0.2), ("metric", "MAE")], "metric"),
    ("run", "instance", (), [("metric", "MSE"), ("metric", "MAE"), ("bogus", 1)], "metric"),
    ("__init__", "instance", (), [("dataset", 1), ("model", 2), ("model", 3)], "model"),
])
def test_keyword_given_twice(RT, obj, name, via, args, pairs, named):
    f = getattr(RT if via == "class" else obj, name)
    with pytest.raises(TypeError) as excinfo:
        vectorcall(f, args, pairs)
    assert str(excinfo.value) == f"{name}() got multiple values for keyword argument '{named}'"
    assert_entry(excinfo, name, METHODS[name][3])


def test_unexpected_keyword_before_a_repeated_one(RT, obj):
    with pytest.raises(TypeError) as excinfo:
        vectorcall(obj.run, (), [("bogus", 1), ("metric", "MSE"), ("metric", "MAE")])
    assert str(excinfo.value) == "run() got an unexpected keyword argument 'bogus'"


@pytest.mark.parametrize("positional", [(), (0.0,)])
def test_keyword_names_match_by_value(RT, positional):
    # Keyword names built at run time are equal to, but not the same object
    # as, the interned parameter names: they bind, or collide, all the same.
    X = np.arange(12.0).reshape(6, 2)
    part = "state"  # a literal "random_" + "state" is folded, and interned, at compile time
    seed = {"random_" + part: 3}
    if positional:
        with pytest.raises(TypeError) as excinfo:
            RT._perturb_normal(X, 0, 0.5, *positional, **seed)
        assert str(excinfo.value) == \
            "_perturb_normal() got multiple values for keyword argument 'random_state'"
    else:
        got = RT._perturb_normal(X.copy(), 0, 0.5, **seed)
        np.testing.assert_array_equal(got, RT._perturb_normal(X.copy(), 0, 0.5, random_state=3))
        assert not np.array_equal(got, RT._perturb_normal(X.copy(), 0, 0.5))


@pytest.fixture
def failing_base(monkeypatch):
    def boom(self, dataset, model):
        raise KeyError("no data")
    monkeypatch.setattr(TestBase, "__init__", boom)


def test_failing_base_init_gets_entry_at_super_call(RT, failing_base):
    with pytest.raises(KeyError) as excinfo:
        RT(Dummy(), Dummy())
    assert last_entry(excinfo)[0] == "boom"
    assert_entry(excinfo, "__init__", 16)


def test_key_store_failure_gets_entry_at_line_17(RT):
    class Frozen(RT):
        def __setattr__(self, name, value):
            if name == "key":
                raise AttributeError(f"cannot set {name}")
            object.__setattr__(self, name, value)

    with pytest.raises(AttributeError, match="cannot set key") as excinfo:
        Frozen(Dummy(), Dummy())
    assert_entry(excinfo, "__init__", 17)


def test_super_uses_class_not_instance_type(RT):
    calls = []

    class Sub(RT):
        def __init__(self, dataset, model):
            calls.append("sub")
            super().__init__(dataset, model)

    obj = Sub(1, 2)
    assert calls == ["sub"] and obj.key == "diagnose_robustness" and obj.dataset == 1


def test_function_type_repr_and_dict(RT, obj):
    f = RT.run
    assert repr(f).startswith("<function RobustnessTest.run at 0x")
    # Bound as a Python function is: not by a None instance, by any other.
    assert f.__get__(None, RT) is f
    assert f.__get__(obj, RT).__self__ is obj
    with pytest.raises(TypeError, match="cannot create 'native_function' instances"):
        type(f)()
    with pytest.raises(TypeError, match="immutable type"):
        type(f).extra = 1
    f.custom = 1
    assert f.__dict__ == {"custom": 1}
    del f.custom
    with pytest.raises(AttributeError):
        f.__defaults__ = ()
