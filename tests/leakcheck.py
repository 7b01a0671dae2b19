"""A leak hunter in the spirit of the interpreter's own: warm up, then call
repeatedly and compare reference counts and allocated memory blocks."""
import gc
import sys


def _loop(call, n):
    for _ in range(n):
        try:
            call()
        except Exception:
            pass  # failure paths are measured as much as success paths


def assert_no_leak(call, *objects, warmup=5, rounds=3, calls=40, blocks=True):
    """`call()` (success or failure) keeps no reference to `objects` and no
    memory block: after warm-up, the reference counts must be unchanged, and
    the rounds of `calls` calls must not each leave a block or more a call.

    numpy, pandas and the interpreter fill caches of their own for hundreds of
    calls (the pure-Python twin of every method shows the same tail); that
    growth shrinks round by round, while a leak keeps pace with the calls."""
    _loop(call, warmup)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    deltas = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        _loop(call, calls)
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    assert [sys.getrefcount(o) for o in objects] == refs, "reference counts changed"
    assert not (blocks and all(d >= calls for d in deltas)), \
        f"allocated blocks grew by a block a call or more every round: {deltas}"
