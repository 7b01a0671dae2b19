"""Models that misbehave away from home, importable by the command run as a subprocess."""
import os
import threading


class ExitInWorker:
    """Exits on the spot once it has been unpickled ``exit_after`` times.

    A model built in a test and sent to a worker is unpickled once there; one
    saved to a file, loaded by the command and sent on is unpickled twice.
    """

    def __init__(self, estimator, exit_after=1):
        self.estimator = estimator
        self.exit_after = exit_after
        self.hops = 0

    def __setstate__(self, state):
        self.__dict__.update(state)
        self.hops += 1

    def predict(self, X):
        if self.hops >= self.exit_after:
            os._exit(3)
        return self.estimator.predict(X)


class LocksOnFirstUse:
    """Picklable until it first predicts; then it holds a lock, which pickle refuses."""

    def __init__(self, estimator):
        self.estimator = estimator

    def predict(self, X):
        if not hasattr(self, "lock"):
            self.lock = threading.Lock()
        with self.lock:
            return self.estimator.predict(X)


class RaisesOnPredict:
    """Fitted elsewhere; its ``predict`` answers ``after`` times, then raises ``error``
    (SystemExit, KeyboardInterrupt...)."""

    def __init__(self, estimator, error, after=0):
        self.estimator = estimator
        self.error = error
        self.after = after

    def fit(self, X, y):
        return self

    def predict(self, X):
        if self.after <= 0:
            raise self.error
        self.after -= 1
        return self.estimator.predict(X)


class Slow:
    """Predicts as ``estimator`` does, ``seconds`` later."""

    def __init__(self, estimator, seconds):
        self.estimator = estimator
        self.seconds = seconds

    def fit(self, X, y):
        return self

    def predict(self, X):
        import time

        time.sleep(self.seconds)
        return self.estimator.predict(X)


class PredictsBadly:
    """Predicts as ``estimator`` does, but with ``value`` (nan, inf, a string) at row ``row``."""

    def __init__(self, estimator, value, row=3):
        self.estimator = estimator
        self.value = value
        self.row = row

    def fit(self, X, y):
        return self

    def predict(self, X):
        out = self.estimator.predict(X).astype(object if isinstance(self.value, str) else float)
        out[self.row] = self.value
        return out
