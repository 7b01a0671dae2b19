"""Robustness limits as assertions, for use in a pytest suite.

Examples
--------
>>> from korvan.testing import assert_robust
>>> def test_model_is_robust(result):           # doctest: +SKIP
...     assert_robust(result, max_drop=0.05)    # at most 5% worse at any level
"""

from __future__ import annotations

from typing import Any

from korvan.stats import Verdict

__all__ = ["assert_robust"]


def assert_robust(result: Any, max_drop: float, level: float | None = None) -> Verdict:
    """Fail with the verdict's message unless the result keeps within a limit.

    Parameters
    ----------
    result : ValidationResult or FeatureSweep
        A robustness result, or a per-feature sweep (then every feature is
        held to the limit).
    max_drop : float
        Largest relative drop of the mean score allowed (0.05: 5%).
    level : float, optional
        Check only this noise level; default every tested level.

    Returns
    -------
    Verdict
        The passing verdict.

    Raises
    ------
    AssertionError
        With the one-line ``FAIL: ...`` message when the limit is exceeded.
    ValueError
        If the limit or level is invalid.
    """
    # pytest shows this function's frame only when asked to.
    __tracebackhide__ = True
    verdict = result.check(max_drop=max_drop, level=level)
    if not verdict.passed:
        raise AssertionError(verdict.message)
    return verdict
