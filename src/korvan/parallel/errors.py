"""Why a parallel run failed when the model and the data are not to blame."""

from __future__ import annotations

__all__ = ["ParallelError", "ModelTransferError", "WorkerDiedError"]


class ParallelError(Exception):
    """A run failed because of where its rounds were sent, not because of the model or data."""


class ModelTransferError(ParallelError, ValueError):
    """The model (or its prediction function) cannot be pickled for worker processes."""


class WorkerDiedError(ParallelError, RuntimeError):
    """A worker process stopped (killed, out of memory, crashed) while computing a round."""
