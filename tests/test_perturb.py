"""The perturbation engine: the three column routines, _perturb and
_repeat_perturb_pred, checked bit for bit against the Python statements in
reference.py, plus the properties and failures the caller relies on."""
import importlib

import numpy as np
import pytest

import reference
from conftest import MODULE, assert_entry
from shared import NAMES, ROUTINES, make, matrix
from korvan.utils.constants import CATEGORICAL, NUMERICAL

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")  # nanstd of < 2 values



@pytest.fixture
def mod():
    return importlib.import_module(MODULE)


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # the same failure is as good a result as the same array
        return type(e), str(e)


def assert_same(got, want):
    if isinstance(want, tuple):
        assert got == want
    else:
        assert got.dtype == want.dtype and got.shape == want.shape
        np.testing.assert_array_equal(got, want, strict=True)


# -- bit-for-bit against the Python statements --------------------------------

@pytest.mark.parametrize("noise", [0, 1, 2.5, -0.2])
@pytest.mark.parametrize("kind", ["float", "int", "nan", "ties", "const"])
@pytest.mark.parametrize("name", ROUTINES)
def test_routine_matches_reference_and_returns_its_matrix(RT, name, kind, noise):
    for rows in (1, 2, 40):
        for seed in range(2):
            X, Y = matrix(kind, rows, seed), matrix(kind, rows, seed)
            got = outcome(getattr(RT, name), X, 1, noise, seed)
            assert_same(got, outcome(getattr(reference.RobustnessTest, name), Y, 1, noise, seed))
            assert got is X or isinstance(got, tuple)


@pytest.mark.parametrize("features", [NAMES, ["e", "a", "a", "b"], []])
@pytest.mark.parametrize("method", ["normal", "quantile", "Normal", None])
@pytest.mark.parametrize("kind", ["float", "int", "nan", "ties"])
def test_perturb_matches_reference_on_a_copy(RT, kind, method, features):
    for seed in (0, 1, 17):
        X = matrix(kind, 30, seed)
        got = make(RT)._perturb(X, features, method, 0.3, seed)
        assert_same(got, make(reference.RobustnessTest)._perturb(X, features, method, 0.3, seed))
        assert got is not X
        assert_same(X, matrix(kind, 30, seed))


@pytest.mark.parametrize("n_repeats", [0, 1, 3])
@pytest.mark.parametrize("method,noise", [("normal", 0.1), ("quantile", 1), ("normal", 0)])
def test_repeat_matches_reference(RT, n_repeats, method, noise):
    def predict(M):
        return np.nan_to_num(M) @ np.arange(1.0, 6.0)

    X = matrix("nan", 25, 3)
    for seed in (0, 41):
        got = make(RT)._repeat_perturb_pred(X, predict, n_repeats, NAMES, method, noise, seed)
        want = make(reference.RobustnessTest)._repeat_perturb_pred(
            X, predict, n_repeats, NAMES, method, noise, seed)
        assert_same(got, want)
    assert got.shape == ((25, n_repeats) if n_repeats else (0,))


# -- the module global np is read at each use ---------------------------------

class StandIn:
    """An object with some attributes replaced; the rest come from `base`."""

    def __init__(self, base, **overrides):
        self._base = base
        self.__dict__.update(overrides)

    def __getattr__(self, name):
        return getattr(self._base, name)


def np_with(**overrides):
    return StandIn(np, **overrides)


def rng_with(**overrides):
    return np_with(random=StandIn(np.random, default_rng=lambda seed: StandIn(
        np.random.default_rng(seed), **overrides)))


def test_quantile_worked_example(RT, mod, monkeypatch):
    draws = []

    def shuffle(a):
        draws.append("shuffle")
        a[:] = [2, 0, 3, 1]

    def uniform(*bounds, size):
        draws.append(("uniform", bounds, size))
        return np.array([0.4, -0.3, 0.1, 0.2])

    monkeypatch.setattr(mod, "np", rng_with(shuffle=shuffle, uniform=uniform))
    X = np.array([[10.0], [20.0], [30.0], [40.0]])
    assert RT._perturb_quantile(X, 0, 1) is X
    assert X[:, 0].tolist() == [10, 30, 40, 40]
    assert draws == ["shuffle", ("uniform", (-0.5, 0.5), (4,))]


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("noise", [0.1, 1, 3, -0.4])
def test_quantile_outputs_are_values_of_the_column(RT, seed, noise):
    for kind in ("ties", "nan", "int"):
        X = matrix(kind, 30, seed)
        column = X[:, 1].copy()
        out = RT._perturb_quantile(X, 1, noise, seed)[:, 1]
        assert out.dtype == column.dtype
        assert np.all(np.isin(out, column) | (np.isnan(out) & np.isnan(column).any()))


def test_one_seed_gives_every_numerical_column_the_same_normal_sequence(RT):
    X = matrix("float", 60)
    noise = make(RT, [NUMERICAL] * 5)._perturb(X, NAMES, "normal", 0.5, 9) - X
    z = noise / (0.5 * np.nanstd(X, axis=0, ddof=1))
    np.testing.assert_allclose(z, np.repeat(z[:, :1], 5, axis=1), rtol=1e-12)


def test_one_seed_selects_the_same_rows_in_every_categorical_column(RT):
    X = matrix("float", 80)
    X[:, 1] = np.arange(80)
    X[:, 4] = 10 * np.arange(80) + 5
    out = make(RT)._perturb(X, ["b", "e"], "normal", 0.5, 3)
    assert 0 < np.count_nonzero(out[:, 1] != X[:, 1]) < 80
    np.testing.assert_array_equal(out[:, 4], 10 * out[:, 1] + 5)


def test_feature_types_are_compared_with_eq_not_identity(RT, mod, monkeypatch):
    nan = float("nan")  # the one object that is itself but not == itself
    monkeypatch.setattr(mod, "NUMERICAL", nan)
    X = matrix("float", 10)
    np.testing.assert_array_equal(make(RT, [nan] * 5)._perturb(X, NAMES, "normal", 1), X)


def test_overrides_are_called_and_repeat_i_uses_seed_plus_i(RT):
    calls = []

    class Sub(RT):
        @staticmethod
        def _perturb_categorical(X, fidx, noise_level, random_state=0):
            calls.append(("categorical", fidx, noise_level, random_state))
            return X

        def _perturb(self, **kw):
            calls.append(("perturb", kw["noise_level"], kw["random_state"]))
            return super()._perturb(**kw)

    X = matrix("float", 10)
    for noise in (0.1, 0.7):
        out = make(Sub)._repeat_perturb_pred(X, lambda M: M[:, 1], 2, ["b"], "normal", noise, 5)
        np.testing.assert_array_equal(out, np.stack([X[:, 1]] * 2, axis=1))
    expected = []
    for noise in (0.1, 0.7):
        for seed in (5, 6):
            expected += [("perturb", noise, seed), ("categorical", 1, noise, seed)]
    assert calls == expected


# -- failures ---------------------------------------------------------------------

class Eq:
    """An object whose == runs `answer`."""

    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        return self.answer(other)


def boom(*args, **kwargs):
    raise RuntimeError("boom")


def typed(obj, *types):
    obj.dataset.feature_types[: len(types)] = types
    return obj


def patch_np(stand_in):
    return lambda monkeypatch, module: monkeypatch.setattr(module, "np", stand_in)


def drop(name):
    return lambda monkeypatch, module: monkeypatch.delattr(module, name)


N, Q, C, P, R = ROUTINES + ["_perturb", "_repeat_perturb_pred"]
# Failures test_hostile's arguments cannot reach: module globals patched, and
# comparisons that fail. (routine, line, call on (object, X), patch)
FAILURES = [
    (N, 23, lambda o, X: o._perturb_normal(X, 0, 0.1), drop("np")),
    (Q, 37, lambda o, X: o._perturb_quantile(X, 0, 0.1), patch_np(np_with(arange=boom))),
    (Q, 38, lambda o, X: o._perturb_quantile(X, 0, 0.1), patch_np(rng_with(shuffle=boom))),
    (Q, 39, lambda o, X: o._perturb_quantile(X, 0, 0.1), patch_np(np_with(argsort=boom))),
    (Q, 40, lambda o, X: o._perturb_quantile(X, 0, 0.1), patch_np(np_with(zeros=boom))),
    (Q, 41, lambda o, X: o._perturb_quantile(X, 0, 0.1), patch_np(np_with(zeros=tuple))),
    (Q, 44, lambda o, X: o._perturb_quantile(X, 0, 0.1), patch_np(rng_with(uniform=boom))),
    (Q, 48, lambda o, X: o._perturb_quantile(X, 0, 0.1), patch_np(np_with(round=boom))),
    (C, 60, lambda o, X: o._perturb_categorical(X, 7, 0.5), None),
    (P, 65, lambda o, X: o._perturb(X, NAMES, "normal", 0.1), drop("copy")),
    (P, 68, lambda o, X: typed(o, np.array([1, 2]))._perturb(X, NAMES, "normal", 0.1), None),
    (P, 74, lambda o, X: o._perturb(X, NAMES, Eq(lambda other: other == "quantile" and 1 / 0), 0.1),
     None),
    (P, 79, lambda o, X: typed(o, Eq(lambda other: other == CATEGORICAL and 1 / 0))._perturb(
        X, NAMES, "normal", 0.1), None),
    (R, 97, lambda o, X: o._repeat_perturb_pred(X, len, 0, [], "normal", 0, 0), drop("np")),
]


@pytest.mark.parametrize("name,line,run,patch", FAILURES)
def test_failure_is_pythons_and_leaves_the_matrix(RT, mod, monkeypatch, name, line, run, patch):
    if patch:
        patch(monkeypatch, mod)
        patch(monkeypatch, reference)
    X = matrix("float", 12)
    raised = []
    for cls in (RT, reference.RobustnessTest):
        caller = X.copy()
        with pytest.raises(Exception) as excinfo:
            run(make(cls), caller)
        np.testing.assert_array_equal(caller, X)
        raised.append(excinfo)
    assert (raised[0].type, str(raised[0].value)) == (raised[1].type, str(raised[1].value))
    assert_entry(raised[0], name, line)
