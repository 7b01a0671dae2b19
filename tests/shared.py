"""Fakes and tables that several test modules share (test modules never
import one another)."""
import importlib
from types import SimpleNamespace

import numpy as np

import reference
from conftest import MODULE
from korvan import cli
from korvan.utils.constants import CATEGORICAL, NUMERICAL, REGRESSION

robustness = importlib.import_module(MODULE)

# name: (static, parameters, defaults, first line, locals after the parameters)
METHODS = {
    "__init__": (False, ["self", "dataset", "model"], None, 15, []),
    "_perturb_normal": (True, ["X", "fidx", "noise_level", "random_state"], (0,), 19,
                        ["n_samples", "rng", "data_scale", "noise"]),
    "_perturb_quantile": (True, ["X", "fidx", "noise_level", "random_state"], (0,), 29,
                          ["n_samples", "rng", "sorted_X", "shuffle_idx", "sorted_shuffle_idx",
                           "quantiles", "quantile_noise", "sorted_shuffle_noise_idx"]),
    "_perturb_categorical": (True, ["X", "fidx", "noise_level", "random_state"], (0,), 52,
                             ["n_samples", "rng", "noise_proba", "noise_idx"]),
    "_perturb": (False, ["self", "X", "perturb_features", "perturb_method", "noise_level",
                         "random_state"], (0,), 63, ["X_new", "fn", "fidx"]),
    "_repeat_perturb_pred": (False, ["self", "X", "predict_func", "n_repeats", "perturb_features",
                                     "perturb_method", "noise_level", "random_state"], None, 85,
                             ["prediction_all", "i", "perturb_X", "prediction"]),
    "_visualize_robustness": (True, ["scores", "noise_levels", "metric"], None, 100, ["options"]),
    "run": (False, ["self", "dataset", "metric", "n_repeats", "perturb_features", "perturb_method",
                    "noise_levels", "threshold", "random_state"],
            ("test", None, 10, None, "normal", 0.1, 0.1, 0), 110,
            ["inputs", "features_idx", "score_sign", "score_func", "predict_func", "X", "y",
             "sample_weight", "prediction", "res_value", "gaps", "scores_all", "noise_levels_all",
             "noise_level", "prediction_all", "worst_idx", "others_idx", "res_table", "options",
             "result", "fn", "i", "i", "i"]),
}


# -- the perturbation engine --------------------------------------------------

ROUTINES = ["_perturb_normal", "_perturb_quantile", "_perturb_categorical"]
NAMES = ["a", "b", "c", "d", "e"]
TYPES = [NUMERICAL, CATEGORICAL, NUMERICAL, "other", CATEGORICAL]


def matrix(kind, rows, seed=0):
    g = np.random.default_rng(1000 + seed)
    if kind == "int":
        return g.integers(-5, 6, size=(rows, 5))
    X = g.normal(size=(rows, 5)) * [1.0, 5.0, 0.1, 3.0, 2.0]
    if kind == "nan":
        X[g.random(X.shape) < 0.3] = np.nan
    elif kind == "ties":
        X = np.round(X)
    elif kind == "const":
        X[:, 1] = 3.5
    return X


def make(cls, types=TYPES):
    obj = cls.__new__(cls)
    obj.dataset = SimpleNamespace(feature_names=list(NAMES), feature_types=list(types))
    return obj


def read_only(X):
    view = X.view()
    view.setflags(write=False)
    return view


def ragged():
    sizes = [3, 2]
    return lambda M: np.zeros(sizes.pop())


# -- run's host --------------------------------------------------------------

FEATURES = ["a", "b", "c"]


class FakeDataSet:
    """Logs every public attribute read; serves the host's fixed arrays."""

    def __init__(self, host, task_type):
        self.__dict__.update(_host=host, task_type=task_type, feature_names=list(FEATURES),
                             feature_types=[NUMERICAL, NUMERICAL, CATEGORICAL], name="fake-data")

    def __getattribute__(self, attr):
        if not attr.startswith("_"):
            object.__getattribute__(self, "_host").log.append(("read", attr))
        return object.__getattribute__(self, attr)

    def get_X_y_data(self, **kwargs):
        self._host.log.append(("get_X_y_data", kwargs))
        return self._host.data_items()


class Chart:
    def __init__(self, log):
        self.log = log

    def set_xaxis(self, **kw):
        self.log.append(("set_xaxis", list(kw.items())))

    def set_yaxis(self, **kw):
        self.log.append(("set_yaxis", list(kw.items())))

    def set_title(self, *args):
        self.log.append(("set_title", args))

    def render(self):
        return {"rendered": len(self.log)}


class Result:
    def __init__(self, **kw):
        self.kw = kw


class Host:
    """The fakes `run` talks to: module globals, data set, model, functions."""

    def __init__(self, n=10, task_type=REGRESSION):
        self.log = []
        rng = np.random.default_rng(n)
        self.X = np.column_stack([rng.normal(size=(n, 2)), rng.integers(0, 3, n)]).astype(float)
        self.y = rng.normal(size=n)
        self.noise = rng.normal(size=self.X.shape)
        self.dataset = FakeDataSet(self, task_type)
        self.model = SimpleNamespace(name="fake-model")
        self.data_items = lambda: (self.X, self.y, None)
        self.scorer_items = lambda: (-1, self.score, self.predict)

    def get_scorer_funcs(self, model, metric):
        self.log.append(("get_scorer_funcs", model is self.model, metric))
        return self.scorer_items()

    def predict(self, X):
        self.log.append(("predict", X.shape))
        return X @ np.array([1.0, -2.0, 0.5])

    def score(self, **kw):
        self.log.append(("score", list(kw)))
        return float(np.mean((kw["y"] - kw["prediction"]) ** 2))

    def repeat(self, kw):
        features = kw["perturb_features"]
        self.log.append(("repeat", list(kw), kw["X"] is self.X, list(features),
                         features is self.dataset.__dict__["feature_names"],
                         kw["n_repeats"], kw["noise_level"], kw["random_state"]))
        return np.array([kw["predict_func"](kw["X"] + self.noise * kw["noise_level"] * (i + 1))
                         for i in range(kw["n_repeats"])]).T

    def boxplot(self, **kw):
        self.log.append(("boxplot", list(kw), kw["x"].tolist(), kw["y"].tolist(),
                         kw["orient"], kw["outliers"]))
        return Chart(self.log)

    def result(self, **kw):
        self.log.append(("ValidationResult", list(kw)))
        return Result(**kw)

    def install(self, monkeypatch):
        for module in (robustness, reference):
            monkeypatch.setattr(module, "get_scorer_funcs", self.get_scorer_funcs)
            monkeypatch.setattr(module, "pln", SimpleNamespace(boxplot=self.boxplot))
            monkeypatch.setattr(module, "ValidationResult", self.result)
        return self

    def run(self, cls, *args, **kwargs):
        self.log = []
        return cls(self.dataset, self.model).run(*args, **kwargs)


def boom(message):
    def fail(*args, **kwargs):
        raise LookupError(message)
    return fail


def set_global(name, value):
    return lambda h, mp: mp.setattr(robustness, name, value)


def del_global(name):
    return lambda h, mp: mp.delattr(robustness, name)


def set_host(name, make):
    return lambda h, mp: setattr(h, name, make(h))


# -- the command ---------------------------------------------------------------

def run_cli(argv, capsys):
    """Run the command in this process: (exit status, stdout, stderr)."""
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def signed_pct(share):
    """How the command prints a relative change: one decimal, a sign, never "-0.0%"."""
    text = f"{share * 100:+.1f}%"
    return "+0.0%" if text == "-0.0%" else text
