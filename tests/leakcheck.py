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
    memory block: after warm-up, no round of `calls` calls may leave the
    reference counts changed, and not every round may leave more blocks."""
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
    # A leak grows every round; allocator noise does not.
    assert not (blocks and all(d > 0 for d in deltas)), f"allocated blocks grew every round: {deltas}"
