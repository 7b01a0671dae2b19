"""Robustness runs spread over cores or a Dask cluster, equal to the sequential run.

A run is ``levels x repeats`` independent rounds (perturb a copy of the
matrix, predict on it) plus one baseline prediction.  Round ``i`` of every
level is seeded with ``random_state + i``, so a round gives the same
prediction wherever it runs.  :class:`ParallelRobustnessTest` keeps the
native ``run`` (its arguments, checks, scoring, table and chart) and
replaces only the repetition step it calls once per noise level: the first
call computes every round of every level at once and the later calls hand
back the stored predictions.

One module per job:

- :mod:`~korvan.parallel.plan`: the rounds a run asks for (``RoundSet``);
- :mod:`~korvan.parallel.choice`: where they run, the caller's backend or
  the default choice (threads, a warm process pool, or one core);
- :mod:`~korvan.parallel.shipping`: the matrix and models sent to workers,
  and the round a worker computes;
- :mod:`~korvan.parallel.compute`: every round computed once;
- :mod:`~korvan.parallel.baseline`: one unperturbed prediction for many runs;
- :mod:`~korvan.parallel.test`: the test class, with ``map`` for sweeps and
  ``run_models`` for comparisons.
"""

from korvan.parallel.baseline import one_baseline
from korvan.parallel.choice import Choice
from korvan.parallel.compute import compute_rounds
from korvan.parallel.errors import ModelTransferError, ParallelError, WorkerDiedError
from korvan.parallel.plan import RoundSet
from korvan.parallel.test import ParallelRobustnessTest

__all__ = [
    "ParallelRobustnessTest",
    "RoundSet",
    "Choice",
    "compute_rounds",
    "one_baseline",
    "ParallelError",
    "ModelTransferError",
    "WorkerDiedError",
]
