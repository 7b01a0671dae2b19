"""The metric table: defaults and which metrics fit which targets."""

import pytest

from korvan.metrics import default_metric, get_metric, metrics_for_task


@pytest.mark.parametrize("task, n_classes, default, valid", [
    ("regression", None, "MSE", ("MSE", "MAE", "R2")),
    ("classification", 2, "AUC", ("AUC", "ACC", "F1", "LogLoss", "Brier")),
    ("classification", None, "AUC", ("AUC", "ACC", "F1", "LogLoss", "Brier")),
    # AUC and Brier score one class's probability: not for three classes.
    ("classification", 3, "ACC", ("ACC", "F1", "LogLoss")),
])
def test_default_and_valid_metrics_per_target(task, n_classes, default, valid):
    assert default_metric(task, n_classes) == default
    assert metrics_for_task(task, n_classes) == valid
    assert default in valid


@pytest.mark.parametrize("name, canonical, sign", [
    (" logloss ", "LogLoss", -1), ("r2", "R2", 1), ("Brier", "Brier", -1)])
def test_lookup_ignores_case_and_gives_direction(name, canonical, sign):
    entry = get_metric(name)
    assert (entry.name, entry.sign) == (canonical, sign)


@pytest.mark.parametrize("call, arg", [(get_metric, "RMSE"), (get_metric, None),
                                       (default_metric, "ranking"), (metrics_for_task, "")])
def test_unknown_names_are_refused_with_the_valid_ones(call, arg):
    with pytest.raises(ValueError, match="valid .* are: "):
        call(arg)
