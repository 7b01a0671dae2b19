"""The bar chart kind, and the images drawn from rendered options."""
import json

import numpy as np
import pytest
from matplotlib.image import imread

import plotlane
from korvan.data import load_bundled
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import fit_estimator, make_estimator, wrap_model

LONG = "serum triglycerides level, log-scaled and measured twice a year " * 2


def labels_inside(fig):
    """Every value label lies within the plotting frame."""
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    ax = fig.axes[0]
    frame = ax.get_window_extent(renderer)
    boxes = [t.get_window_extent(renderer) for t in ax.texts]
    assert boxes
    return all(frame.x0 - 1 <= b.x0 and b.x1 <= frame.x1 + 1 and frame.y0 - 1 <= b.y0
               and b.y1 <= frame.y1 + 1 for b in boxes)


@pytest.fixture(scope="module")
def diabetes_model():
    ds = load_bundled("diabetes")
    est = make_estimator("linear", ds.task_type)
    fit_estimator(est, *ds.get_X_y_data("train"))
    return RobustnessTest(ds, wrap_model(est))


@pytest.mark.parametrize("metric, direction", [("MSE", "lower is better"), ("R2", "higher is better")])
def test_box_plot_image_names_the_run_and_marks_baseline_and_means(tmp_path, diabetes_model,
                                                                   metric, direction):
    result = diabetes_model.run(metric=metric, n_repeats=4, noise_levels=[0.5, 1, 2])
    before = json.dumps(result.options)
    fig = result.plot()
    assert json.dumps(result.options) == before  # drawing leaves the options alone
    ax = fig.axes[0]
    assert ax.get_title().endswith(f"{metric}: {direction}") and "LinearRegression on diabetes" in ax.get_title()
    assert fig._suptitle.get_text() == "Perturbed Model Performance"
    dashed = [ln for ln in ax.get_lines() if ln.get_linestyle() == "--"]
    assert len(dashed) == 1 and dashed[0].get_ydata()[0] == result.summary.attrs["baseline"]
    markers = [ln.get_ydata()[0] for ln in ax.get_lines() if ln.get_marker() == "D"]
    assert markers == list(result.summary["mean"].iloc[1:])
    # Named under the chart, where the legend hides nothing.
    assert [t.get_text() for t in fig.legends[0].get_texts()] == ["baseline", "mean"]
    assert not ax.get_legend()
    assert labels_inside(fig)
    assert imread(result.plot(tmp_path / "c.png", width=640, height=360)).shape[:2] == (360, 640)


@pytest.mark.parametrize("orient", ["horizontal", "vertical"])
def test_bar_chart_with_long_labels_and_missing_values(tmp_path, orient):
    chart = plotlane.barplot([LONG, "bmi", "age", "sex"], [24.0, 10.0, np.nan, -3.0],
                             low=[20.0, 8.0, np.nan, -5.0], high=[30.0, 12.0, np.nan, 1.0],
                             orient=orient)
    chart.set_title("Drop per feature").set_yaxis("Drop (%)").set_reference(26.0, "all features")
    options = json.loads(json.dumps(chart.render(), allow_nan=False))
    assert options["bars"][2] == {"category": "age", "value": None, "low": None, "high": None}
    assert options["reference"] == {"value": 26.0, "label": "all features"}
    fig = plotlane.to_figure(options, width=600, height=300, subtitle=LONG)
    ticks = [t.get_text() for t in (fig.axes[0].get_yticklabels() if orient == "horizontal"
                                    else fig.axes[0].get_xticklabels())]
    assert ticks[0].endswith("\u2026") and len(ticks[0]) < len(LONG) and ticks[1:] == ["bmi", "age", "sex"]
    assert [t.get_text() for t in fig.axes[0].texts] == ["24", "10", "n/a", "-3"]
    assert labels_inside(fig)
    path = plotlane.to_png(options, tmp_path / "bar.png", width=600, height=300, subtitle=LONG)
    assert imread(path).shape[:2] == (300, 600)


@pytest.mark.parametrize("kwargs, message", [
    (dict(x=["a", "b"], y=[1.0]), "y must be one-dimensional with one value per bar (2), got shape (1,)"),
    (dict(x=["a", "a"], y=[1.0, 2.0]), "x must not repeat a category"),
    (dict(x=["a"], y=[1.0], low=[0.5]), "give both low and high (the ends of each interval), or neither"),
    (dict(x=["a"], y=["tall"]), "y must hold numbers"),
    (dict(x=["a"], y=[1.0], orient="diagonal"), "Unknown orient 'diagonal'"),
])
def test_bar_chart_refuses_bad_input(kwargs, message):
    with pytest.raises(ValueError) as excinfo:
        plotlane.barplot(**kwargs)
    assert str(excinfo.value).startswith(message)


def test_to_figure_tells_the_chart_kinds_apart():
    with pytest.raises(ValueError, match="^options must be a rendered bar chart"):
        plotlane.to_figure({"type": "bar", "boxes": []})
    with pytest.raises(ValueError, match="^means must give one value per box"):
        plotlane.to_figure(plotlane.boxplot([0.0, 0.1], [1.0, 2.0]).render(), means=[1.0])
