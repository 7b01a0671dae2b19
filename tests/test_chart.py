"""The robustness chart: the calls made on the charting module and their failures."""
import importlib
import json

import numpy as np
import pytest

from conftest import MODULE, assert_entry

robustness = importlib.import_module(MODULE)


class Recorder:
    """A charting module whose chart records every call in order."""

    def __init__(self, fail_at=None, rendered="options"):
        self.calls = []
        self.fail_at = fail_at
        self.rendered = rendered

    def _record(self, name, args, kwargs):
        self.calls.append((name, args, list(kwargs.items())))
        if name == self.fail_at:
            raise LookupError(name)

    def boxplot(self, *args, **kwargs):
        self._record("boxplot", args, kwargs)
        return Chart(self)


class Chart:
    def __init__(self, recorder):
        self.recorder = recorder

    def set_xaxis(self, *args, **kwargs):
        self.recorder._record("set_xaxis", args, kwargs)
        return "ignored"

    def set_yaxis(self, *args, **kwargs):
        self.recorder._record("set_yaxis", args, kwargs)

    def set_title(self, *args, **kwargs):
        self.recorder._record("set_title", args, kwargs)

    def render(self, *args, **kwargs):
        self.recorder._record("render", args, kwargs)
        return self.recorder.rendered


@pytest.mark.parametrize("via_instance", [False, True])
def test_calls_in_order_with_keywords(RT, monkeypatch, via_instance):
    recorder = Recorder(rendered={"title": "t"})
    monkeypatch.setattr(robustness, "pln", recorder)
    scores = np.array([1.0, 1.0, 0.9, 0.8, 0.7, 0.6])
    levels = np.array([0.0, 0.0, 0.1, 0.1, 0.2, 0.2])
    target = RT.__new__(RT) if via_instance else RT
    result = target._visualize_robustness(scores=scores, noise_levels=levels, metric="MSE")
    assert result is recorder.rendered
    (name, args, kwargs), *rest = recorder.calls
    assert (name, args, [k for k, _ in kwargs]) == ("boxplot", (), ["x", "y", "orient", "outliers"])
    assert kwargs[0][1] is levels and kwargs[1][1] is scores
    assert kwargs[2][1] == "vertical" and kwargs[3][1] is True
    assert rest == [
        ("set_xaxis", (), [("axis_name", "Level of Perturbation"), ("axis_type", "category")]),
        ("set_yaxis", (), [("axis_name", "MSE"), ("axis_type", "value")]),
        ("set_title", ("Perturbed Model Performance",), []),
        ("render", (), []),
    ]


@pytest.mark.parametrize("fail_at, line", [
    ("boxplot", 103), ("set_xaxis", 105), ("set_yaxis", 106), ("set_title", 107), ("render", 108),
])
def test_failures_get_the_line_of_the_failing_call(RT, monkeypatch, fail_at, line):
    recorder = Recorder(fail_at=fail_at)
    monkeypatch.setattr(robustness, "pln", recorder)
    with pytest.raises(LookupError) as excinfo:
        RT._visualize_robustness(np.zeros(2), np.zeros(2), "AUC")
    assert_entry(excinfo, "_visualize_robustness", line)


def test_chart_without_a_setter(RT, monkeypatch):
    class Bare:
        def set_xaxis(self, **kwargs):
            pass

    monkeypatch.setattr(robustness, "pln", type("M", (), {"boxplot": staticmethod(lambda **k: Bare())}))
    with pytest.raises(AttributeError) as excinfo:
        RT._visualize_robustness([1.0], [0.0], "AUC")
    assert_entry(excinfo, "_visualize_robustness", 106)


def test_missing_pln(RT, monkeypatch):
    monkeypatch.delattr(robustness, "pln")
    with pytest.raises(NameError) as excinfo:
        RT._visualize_robustness([1.0], [0.0], "AUC")
    assert str(excinfo.value) == "name 'pln' is not defined"
    assert_entry(excinfo, "_visualize_robustness", 103)


def test_real_chart_module_renders_json(RT):
    scores = np.array([0.5, 0.5, 0.4, 0.45, 0.3, 0.35])
    levels = np.array([0.0, 0.0, 0.1, 0.1, 0.2, 0.2])
    options = json.loads(json.dumps(RT._visualize_robustness(scores, levels, "R2")))
    assert (options["type"], options["title"], options["orient"], options["outliers"]) == \
        ("boxplot", "Perturbed Model Performance", "vertical", True)
    assert options["xaxis"] == {"name": "Level of Perturbation", "type": "category"}
    assert options["yaxis"] == {"name": "R2", "type": "value"}
    # One box per level, in order, each over that level's two scores.
    assert [(b["category"], b["count"], b["min"], b["max"]) for b in options["boxes"]] == \
        [(0.0, 2, 0.5, 0.5), (0.1, 2, 0.4, 0.45), (0.2, 2, 0.3, 0.35)]
