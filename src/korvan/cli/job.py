"""What one run of the command carries from stage to stage."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Hashable

import pandas as pd

from korvan.cli.options import Options
from korvan.data import DataSet
from korvan.metrics import Metric
from korvan.models import Model
from korvan.roles import ColumnRoles

__all__ = ["Job", "Outcome", "RunReport"]


@dataclass
class Job:
    """Everything a run needs, checked.

    ``model`` is None when the command fits one itself (in :func:`execute`);
    ``seconds`` collects the time of each phase; ``notes`` are lines about
    the inputs that the command prints before the run.
    """

    opts: Options
    dataset: DataSet
    roles: ColumnRoles
    metric: Metric
    features: list[Hashable]
    model: Model | None
    seconds: dict[str, float] = field(default_factory=dict)
    #: The loaded models by name when several are compared (``model`` is the first).
    models: dict[str, Model] | None = None
    #: Workers asked for (``--jobs``, capped at the cores), None for a sequential run.
    n_jobs: int | None = None
    notes: list[str] = field(default_factory=list)



@dataclass
class Outcome:
    """What :func:`execute` produced."""

    result: Any
    model: Model
    model_calls: int
    worst: pd.DataFrame | None = None
    sweep: Any = None
    #: Where the rounds ran ("2 threads", "one core: the run is too small"), when in parallel.
    workers: str | None = None
    #: The model's prediction of the scored split, made once for the worst
    #: rows and the report (None when neither is written).
    baseline: Any = None



@dataclass
class RunReport:
    """What one run of the command did, with where its time went."""

    result: Any
    paths: dict[str, Path]
    model_calls: int
    seconds: dict[str, float]
    verdict: Any = None

    @property
    def result_path(self) -> Path:
        return self.paths["Result"]

