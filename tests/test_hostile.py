"""Hostile arguments for every parameter of every method, each run against the
native method and its Python twin in reference.py: the same result or the same
exception (type, message, and the native entries on the lines of the twin's
frames), the caller's data as it was, and, for a sample, no leak."""
import functools
import traceback
from types import SimpleNamespace

import numpy as np
import pytest

import reference
from conftest import MODULE, leak_share
from leakcheck import assert_no_leak
from shared import (NAMES, ROUTINES, FakeDataSet, Host, Result, make, matrix, ragged, read_only,
                    robustness, set_host)

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

N, Q, C = ROUTINES
P, R, V, I = "_perturb", "_repeat_perturb_pred", "_visualize_robustness", "__init__"
PREFIX = f"{MODULE}.RobustnessTest."
# The twin cannot put its feature-name loop on the line after the deduplication
# and still end it before line 170, so the deduplication sits one line early.
TWIN_LINES = {("run", 167): 168}


def raising(dunder):
    """An object whose `dunder` raises RuntimeError."""
    def refuse(self, *args):
        raise RuntimeError(f"{dunder} refused")
    namespace = {dunder: refuse, "__repr__": lambda self: f"<{dunder} refused>"}
    if dunder == "__eq__":
        namespace["__hash__"] = object.__hash__
    return type("Raising", (), namespace)()


EQ, INDEX, FLOAT, ITER, HASH = map(raising, ["__eq__", "__index__", "__float__", "__iter__",
                                               "__hash__"])
NAN, INF, HUGE = float("nan"), float("inf"), 10**30


class Data(SimpleNamespace):
    pass


def refuse(attr):
    """A data set whose attribute `attr` raises on access."""
    def setup(host, monkeypatch):
        def read(self):
            raise RuntimeError(f"no {attr}")
        for cls in (FakeDataSet, Data):
            monkeypatch.setattr(cls, attr, property(read), raising=False)
    setup.label = f"no-{attr}"
    return setup


def host_gives(name, label, make):
    """A host whose `name` (predict, scorer_items) is `make(host)`."""
    setup = set_host(name, make)
    setup.label = f"{name}-{label}"
    return setup


def row_sums(M):
    return np.nansum(M, axis=1)


class new:
    """A value made afresh for each implementation (the call may write it)."""

    def __init__(self, label, make):
        self.label, self.make = label, make

    def __repr__(self):
        return self.label


def refused(name, expected, got):
    """run's own type test of `name`: no traceback entry, and no twin to compare."""
    return TypeError, f"Argument '{name}' has incorrect type (expected {expected}, got {got})", None


def row(method, overrides, setup=None, native=None):
    label = ",".join(f"{k}={repr(v)[:20]}" for k, v in overrides.items())
    return pytest.param(method, overrides, setup, native,
                        id=f"{method}-{label}{getattr(setup, 'label', '')}")


M = matrix("float", 8)
READ_ONLY = new("read-only", lambda: read_only(M.copy()))
OBJECTS = new("object", lambda: matrix("ties", 8).astype(object))
NO_COLUMNS = new("no-columns", lambda: M[:, :0].copy())
COLUMN_CASES = [  # for each of the three column routines
    *[dict(X=v) for v in (
        None, "abc", [[1.0, 2.0]], np.float64(1.0), READ_ONLY, OBJECTS, NO_COLUMNS,
        new("empty", lambda: M[:0].copy()), new("1-D", lambda: M[:, 0].copy()),
        new("strided", lambda: matrix("float", 16)[::2]),
        new("fortran", lambda: np.asfortranarray(matrix("nan", 8))))],
    *[dict(fidx=v) for v in (None, "1", [[1]], INDEX, HUGE, -1, np.int8(1))],
    *[dict(noise_level=v)
      for v in (None, "0.1", [[0.1]], FLOAT, EQ, NAN, INF, -INF, HUGE, -HUGE, True)],
    *[dict(random_state=v) for v in ("seed", [[1]], INDEX, HUGE, -1, NAN)],
]
CASES = {
    **dict.fromkeys(ROUTINES, COLUMN_CASES),
    I: [dict(dataset=None, model=EQ)],
    P: [dict(self=None), dict(X=None), dict(X=READ_ONLY), dict(X=OBJECTS),
        *[dict(perturb_features=v) for v in (None, "ab", ITER, [["a"]], [EQ])],
        dict(perturb_method=None), dict(perturb_method=EQ), dict(noise_level=FLOAT),
        dict(random_state=INDEX)],
    R: [dict(X=None),
        *[dict(predict_func=v) for v in (None, np.mean, np.transpose, new("ragged", ragged))],
        *[dict(n_repeats=v) for v in (None, 2.0, INDEX, -HUGE)],
        dict(n_repeats=HUGE, perturb_features=["zz"]), dict(perturb_features=None),
        dict(perturb_method=EQ), dict(noise_level=NAN),
        *[dict(random_state=v) for v in (None, "seed", NAN, HUGE)]],
    V: [dict(scores=None), dict(scores=np.full(4, NAN)), dict(noise_levels="abcd"),
        dict(noise_levels=np.zeros(0)), dict(metric=EQ), dict(metric=[["MSE"]])],
    "run": [dict(self=None), dict(dataset="nope"), dict(n_repeats=HUGE), dict(n_repeats=-HUGE),
            *[dict(perturb_features=v) for v in (ITER, [HASH], [EQ], [["a"]], "ab")],
            dict(perturb_method="NORMAL"),
            *[dict(noise_levels=v) for v in (None, ITER, NAN, [INF], np.zeros(0), {0.1: "a"})],
            dict(noise_levels=[HASH], perturb_features=[]),
            *[dict(threshold=v) for v in (FLOAT, INDEX, 2**1024, NAN, -INF)],
            dict(random_state=HUGE), dict(random_state=-1)],
}
ROWS = [row(method, case) for method, cases in CASES.items() for case in cases] + [
    row(P, {}, refuse("feature_names")),
    row(P, {}, refuse("feature_types")),
    *[row("run", {}, refuse(attr))
      for attr in ("task_type", "feature_names", "get_X_y_data", "name")],
    row("run", {}, host_gives("predict", "scalar", lambda h: lambda X: 1.0)),
    row("run", {}, host_gives("predict", "column", lambda h: lambda X: X[:, :1])),
    row("run", {}, host_gives("predict", "short", lambda h: lambda X: X[1:, 0])),
    row("run", {}, host_gives("predict", "list", lambda h: lambda X: list(X[:, 0]))),
    # Where the native method is meant to differ from the twin: (type, message, line).
    row("run", {}, host_gives("scorer_items", "two", lambda h: lambda: (h.score, h.predict)),
        native=(ValueError, "need more than 2 values to unpack", 170)),
    row("run", dict(threshold="0.5"), native=(TypeError, "must be real number, not str", 117)),
    row("run", dict(threshold=None), native=(TypeError, "must be real number, not NoneType", 117)),
    row("run", dict(metric=EQ), native=refused("metric", "str", "Raising")),
    row("run", dict(n_repeats=INDEX), native=refused("n_repeats", "int", "Raising")),
    row("run", dict(perturb_method=None), native=refused("perturb_method", "str", "NoneType")),
]
# A sample of the failure kinds above, for the leak hunter.
LEAKS = [(Q, dict(X=NO_COLUMNS), None), (P, dict(perturb_features=[EQ]), None),
         (R, dict(n_repeats=INDEX), None), ("run", dict(perturb_features=[HASH]), None),
         ("run", dict(threshold=FLOAT), None), ("run", {}, refuse("feature_names"))]


def base(method):
    """Arguments under which `method` succeeds."""
    X, common = matrix("float", 8), dict(noise_level=0.3, random_state=2)
    if method in ROUTINES:
        return dict(X=X, fidx=1, **common)
    return {
        P: dict(X=X, perturb_features=list(NAMES), perturb_method="normal", **common),
        R: dict(X=X, predict_func=row_sums, n_repeats=2, perturb_features=list(NAMES),
                perturb_method="quantile", **common),
        V: dict(scores=np.arange(4.0), noise_levels=np.array([0, 0, 0.1, 0.1]), metric="MSE"),
        I: dict(dataset=Data(), model=None),
        "run": dict(n_repeats=2, noise_levels=[0.1, 0.2]),
    }[method]


def bind(method, cls, host, overrides):
    """The call of `method` on `cls` with `overrides`, and the arguments it gets."""
    args = {**base(method), **{k: v.make() if isinstance(v, new) else v
                               for k, v in overrides.items()}}
    self = args.pop("self", ...)
    if method == I:
        return lambda: vars(cls(**args)), args
    if method == "run" and self is ...:
        return lambda: host.run(cls, **args), {**args, "X": host.X, "y": host.y}
    if self is ... and method in (P, R):
        self = make(cls)
        self.dataset = Data(**vars(self.dataset))
    bound = getattr(cls, method) if self is ... else functools.partial(getattr(cls, method), self)
    return lambda: bound(**args), args


def plain(obj):
    """`obj` as nested lists of types and reprs: equal content compares equal."""
    if isinstance(obj, np.ndarray):
        return "ndarray", obj.dtype.str, obj.shape, obj.flags.writeable, plain(obj.tolist())
    if hasattr(obj, "rename_axis"):
        return ("frame", plain(obj.columns.tolist()), obj.index.name, obj.columns.name,
                plain(obj.to_numpy()))
    if isinstance(obj, Result):
        return plain(obj.kw)
    if isinstance(obj, dict):
        return [(plain(k), plain(v)) for k, v in obj.items()]
    if isinstance(obj, (list, tuple)):
        return type(obj).__name__, [plain(v) for v in obj]
    if callable(obj) and hasattr(obj, "__qualname__"):  # not its address
        return type(obj).__name__, obj.__qualname__
    return type(obj).__name__, repr(obj)


def frames(exc):
    """(method, line) of the native entries, or of the twin's frames; a
    comprehension's frame counts as its function's."""
    native, twin = [], []
    for f in traceback.extract_tb(exc.__traceback__):
        if f.name.startswith(PREFIX):
            native.append((f.name[len(PREFIX):], f.lineno))
        elif f.filename.endswith("reference.py"):
            name = twin[-1][0] if f.name.startswith("<") else f.name
            entry = (name, TWIN_LINES.get((name, f.lineno), f.lineno))
            if not twin or twin[-1] != entry:
                twin.append(entry)
    return native or twin


def attempt(call, args):
    try:
        outcome = ("returned", plain(call()))
    except Exception as e:
        outcome = ("raised", type(e), str(e), frames(e))
    return outcome, plain(args)


def prepare(method, setup, monkeypatch):
    host = Host()
    if method == "run":
        host.install(monkeypatch)
    if setup:
        setup(host, monkeypatch)
    return host


@pytest.mark.parametrize("method, overrides, setup, native", ROWS)
def test_hostile_argument(monkeypatch, method, overrides, setup, native):
    host = prepare(method, setup, monkeypatch)
    seen = []
    for cls in (robustness.RobustnessTest, reference.RobustnessTest):
        call, args = bind(method, cls, host, overrides)
        before = plain(args)
        outcome, after = attempt(call, args)
        # Only the column routines write their argument, and only when they succeed.
        assert after == before or (method in ROUTINES and outcome[0] == "returned")
        seen.append((outcome, after, plain(host.log)))
    (got, got_after, got_log), (want, want_after, want_log) = seen
    if native is None:
        assert got == want
        assert (got_after, got_log) == (want_after, want_log)
        return
    error, message, line = native
    assert got[:3] == ("raised", error, message)
    if line is None:
        assert got[3] == []
    else:
        assert got[3][-1][1] == line
        assert want[0] == "returned" or (want[1], want[3]) == (error, got[3])


LEAK_IDS = [f"{method}-{i}" for i, (method, _, _) in enumerate(LEAKS)]


# Under make test: an engine call that succeeds and a run its host refuses.
@pytest.mark.parametrize("method, overrides, setup",
                         leak_share(LEAKS, LEAK_IDS, {LEAK_IDS[1], LEAK_IDS[5]}))
def test_hostile_call_leaks_nothing(monkeypatch, method, overrides, setup):
    call, args = bind(method, robustness.RobustnessTest, prepare(method, setup, monkeypatch),
                      overrides)
    # Shared constants (None, small ints, strings) are counted by everyone.
    assert_no_leak(call, *[v for v in args.values() if not isinstance(v, (type(None), int, str))])
