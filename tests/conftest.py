"""Shared helpers for the test suite."""
import ctypes
import gc
import sys
import traceback

import pytest

MODULE = "korvan.factsheet.diagnose.robustness"
# The file name the methods' traceback entries carry (two backslashes a separator).
TB_FILE = "korvan\\\\factsheet\\\\diagnose\\\\robustness"
# The path the methods' code objects carry (one backslash a separator).
CODE_FILE = "korvan\\factsheet\\diagnose\\robustness"


def method_name(name):
    return f"{MODULE}.RobustnessTest.{name}"


def last_entry(excinfo):
    """(function name, file name, line) of the innermost traceback entry."""
    frame = traceback.extract_tb(excinfo.value.__traceback__)[-1]
    return frame.name, frame.filename, frame.lineno


def entries(excinfo):
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(excinfo.value.__traceback__)]


def assert_entry(excinfo, name, line):
    """The native method `name` appears in the traceback at `line`."""
    assert (method_name(name), TB_FILE, line) in entries(excinfo), entries(excinfo)


def refcounts(*objects):
    """Reference counts of `objects`. Compare two calls made the same way:
    the call itself holds references, so only like calls are comparable."""
    gc.collect()
    return counts(*objects)


def counts(*objects):
    """Like `refcounts`, without collecting cycles first (for tight loops)."""
    return [sys.getrefcount(o) for o in objects]


def vectorcall(function, args, kwargs):
    """Calls `function` through the vectorcall protocol with `kwargs` keys as
    keyword names, exactly as given (the interpreter's own call paths refuse
    non-string names before the callee sees them)."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    # kwnames goes as a raw pointer so that "no keywords" is NULL, not None.
    api.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                    ctypes.c_void_p]
    values = list(args) + list(kwargs.values())
    stack = (ctypes.py_object * max(len(values), 1))(*values)
    kwnames = tuple(kwargs) if kwargs else None
    # No ctypes.cast: it ties the array and the pointer in a reference cycle.
    return api(function, stack, len(args), id(kwnames) if kwnames else None)


@pytest.fixture
def RT():
    from korvan.factsheet.diagnose.robustness import RobustnessTest

    return RobustnessTest


def assert_same_result(got, expected):
    """Two ValidationResults are equal in every field, floats to the last bit."""
    import pandas as pd

    assert (got.key, got.data, got.model) == (expected.key, expected.data, expected.model)
    assert got.inputs == expected.inputs
    pd.testing.assert_frame_equal(got.table, expected.table, check_exact=True)
    assert got.value == expected.value
    assert list(got.value) == list(expected.value)
    assert got.options == expected.options
