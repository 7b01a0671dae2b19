"""Shared helpers for the test suite."""
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
    return [sys.getrefcount(o) for o in objects]


@pytest.fixture
def RT():
    from korvan.factsheet.diagnose.robustness import RobustnessTest

    return RobustnessTest
