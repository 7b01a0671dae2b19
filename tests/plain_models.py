"""Models written in plain Python, importable by worker processes."""
import math
import os

import numpy as np


class CountsCalls:
    """Delegates to `estimator`, adding one byte to the file at `path` per predict call,
    from whichever process makes it."""

    def __init__(self, estimator, path):
        self.estimator = estimator
        self.path = str(path)

    def predict(self, X):
        fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
        try:
            os.write(fd, b".")
        finally:
            os.close(fd)
        return self.estimator.predict(X)

    def calls(self):
        return os.path.getsize(self.path) if os.path.exists(self.path) else 0


class PurePython:
    """A linear score with a wiggle, row by row in the interpreter: it holds the lock."""

    def __init__(self, weights, work=2):
        self.weights = [float(w) for w in weights]
        self.work = work

    def predict(self, X):
        out = []
        for row in np.asarray(X).tolist():
            total = 0.0
            for _ in range(self.work):
                for value, weight in zip(row, self.weights):
                    total += value * weight + math.sin(value)
            out.append(total / self.work)
        return np.array(out)
