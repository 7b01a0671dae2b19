"""Random calls of every method, checked against a small model of the binding rules."""
import traceback

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import counts, method_name, vectorcall
from shared import METHODS


def expected_message(name, params, n_defaults, n_positional, keys):
    """The binding error a call gets, or None when it binds."""
    n_params = len(params)
    n_required = n_params - n_defaults
    exact = n_defaults == 0

    def count(given):
        if given < n_required:
            how, n = ("exactly" if exact else "at least"), n_required
        else:
            how, n = ("exactly" if exact else "at most"), n_params
        return f"{name}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({given} given)"

    if n_positional > n_params:
        return count(n_positional)
    if not keys:
        return count(n_positional) if n_positional < n_required else None
    for i in range(n_positional, n_required):
        if params[i] not in keys:
            return count(i)
    bound = set(params[:n_positional])
    for key in keys:
        if not isinstance(key, str):
            return f"{name}() keywords must be strings"
        if key in bound:
            return f"{name}() got multiple values for keyword argument '{key}'"
        if key not in params:
            return f"{name}() got an unexpected keyword argument '{key}'"
        bound.add(key)
    return None


class Token:
    """An argument value that every body rejects at once."""


ALL_PARAMS = sorted({p for spec in METHODS.values() for p in spec[1]})
KEY = st.one_of(st.sampled_from(ALL_PARAMS), st.sampled_from(["bogus", "x", "Self", "X "]),
                st.integers(0, 3))
# Keyword names as a call gives them, half the time with one of them repeated
# somewhere in the call.
KEYS = st.one_of(st.lists(KEY, max_size=6), st.lists(KEY, min_size=1, max_size=5).flatmap(
    lambda keys: st.permutations(keys + keys[:1])))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(name=st.sampled_from(list(METHODS)), via_instance=st.booleans(),
       n_positional=st.integers(0, 11), keys=KEYS)
def test_binding_matches_model(RT, name, via_instance, n_positional, keys):
    static, params, defaults, def_line, _ = METHODS[name]
    obj = RT(Token(), Token())
    state = dict(vars(obj))
    target = getattr(obj if via_instance else RT, name)
    args = [Token() for _ in range(n_positional)]
    # A name may come twice: the call goes straight to the binder.
    kwargs = [(key, Token()) for key in keys]
    values = args + [value for _, value in kwargs]
    before = counts(*values)

    bound_self = via_instance and not static
    expected = expected_message(name, params, len(defaults or ()), n_positional + bound_self,
                                keys)
    binding_failed, message = False, None
    try:
        vectorcall(target, args, kwargs)
    except Exception as error:  # the bodies reject the tokens, but for __init__'s
        entries = [(f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)]
        binding_failed = (method_name(name), def_line) in entries
        message = str(error)
        del error
    if expected is None:
        assert not binding_failed, message
    else:
        assert binding_failed and message == expected
        assert vars(obj) == state
    del obj
    del target
    assert counts(*values) == before
