"""Helpers shared by the tests: traceback entries, threads, random option
sets, raising flag objects and a stand-in for the module's `np`.

The plain-Python rendering of the algorithms, the bit-for-bit oracle, is
`reference.py` beside this file.
"""

import math
import struct
import threading
import traceback
import types

import numpy as np
import pytest


def vornet_entries(exc):
    """(name, file, line) of the traceback entries the extension added."""
    return [
        (frame.name, frame.filename, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename == "vornet/vornet_core"
    ]


def raises_at(exc_type, name, line, call, *args, message=None, **kwargs):
    """Asserts that call(*args, **kwargs) raises `exc_type` (with exactly the
    text `message`, when given) and carries exactly one entry of the module's
    own: function `name`, line `line`. Returns the exception."""
    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert vornet_entries(info.value) == [
        (f"vornet.vornet_core.{name}", "vornet/vornet_core", line)
    ]
    return info.value


def call_in_threads(func, argument_lists):
    """func(*args) for every args, each call in a thread of its own, all
    started before any is joined; the results in order."""
    results = [None] * len(argument_lists)

    def run(i):
        results[i] = func(*argument_lists[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(argument_lists))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def bits(x):
    """The 64-bit pattern of a double: equal bits, NaN signs and payloads
    included."""
    return struct.unpack("<q", struct.pack("<d", x))[0]


def same_double(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def random_options(n, seed):
    """(S, K, D, F, sigma) across moneyness, rates, carry and volatility,
    including extreme corners."""
    rng = np.random.default_rng(seed)
    for _ in range(n):
        S = float(rng.choice([100.0, rng.uniform(1.0, 1000.0)]))
        K = float(S * np.exp(rng.normal(0.0, 0.5)))
        D = float(rng.choice([rng.uniform(0.3, 1.0), rng.uniform(0.97, 1.0), 1.0]))
        F = float(S * np.exp(rng.normal(0.0, 0.2)))
        sigma = float(rng.choice([rng.uniform(0.001, 0.05), rng.uniform(0.05, 1.0),
                                  rng.uniform(1.0, 12.0)]))
        yield S, K, D, F, sigma


# --- flag objects ---------------------------------------------------------------


class RaisingEq:
    """A flag whose comparison raises."""

    def __init__(self, exc=ValueError("no comparison")):
        self.exc = exc

    def __eq__(self, other):
        raise self.exc


class RaisingBool:
    """A flag whose comparison gives an object whose truth test raises."""

    def __eq__(self, other):
        return self

    def __bool__(self):
        raise ValueError("no truth")


class CallingFlag:
    """A flag equal to "c" that runs `action` each time it is compared."""

    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        self.action()
        return other == "c"


# --- a stand-in for the module's `np` -------------------------------------------


def numpy_stand_in(**overrides):
    """A module that forwards to NumPy except for the functions given, for
    rebinding the extension's `np` global."""
    stand_in = types.ModuleType("numpy_stand_in")
    stand_in.__getattr__ = lambda name: getattr(np, name)
    for name, func in overrides.items():
        setattr(stand_in, name, func)
    return stand_in
