"""Helpers shared by the tests: traceback entries, threads, random option
sets, raising flag objects and a stand-in for the module's `np`; and the
pieces of the property-based and thread-stress tests:

- hypothesis profiles: "default" (bounded, for `make test`) and "deep" (ten
  times the examples), chosen with the environment variable VORNET_FUZZ;
  every profile is derandomised, keeps no example database and has no
  deadline, so a run is reproducible and never fails on timing;
- strategies for number arguments, array arguments and option flags,
  including objects whose conversion or comparison raises or lies;
- models of what the module must do with them: the double a number argument
  becomes, whether a flag reads as a call, what an array input becomes;
- comparisons that treat every NaN as equal to every other NaN, and
  snapshots that show whether an input was written.

The plain-Python rendering of the algorithms, the bit-for-bit oracle, is
`reference.py` beside this file.
"""

import math
import os
import struct
import threading
import traceback
import types
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st


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


# --- profiles -----------------------------------------------------------------------

_SCALE = {"default": 1, "deep": 10}
PROFILE = os.environ.get("VORNET_FUZZ", "default")
if PROFILE not in _SCALE:
    raise RuntimeError(f"VORNET_FUZZ={PROFILE!r}: expected one of {sorted(_SCALE)}")

for _name in _SCALE:
    settings.register_profile(
        _name,
        deadline=None,
        derandomize=True,
        database=None,
        print_blob=False,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                               HealthCheck.filter_too_much],
    )
settings.load_profile(PROFILE)


def examples(count):
    """The number of examples a property runs: `count` under the default
    profile, scaled up under the deep one."""
    return count * _SCALE[PROFILE]


# --- comparisons ----------------------------------------------------------------------


def same_number(a, b):
    """a and b are the same double: NaN matches any NaN, anything else must
    match bit for bit (so 0.0 and -0.0 differ)."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def assert_same_numbers(got, want):
    """Element by element same_number(), with the index of the first miss."""
    got = np.asarray(got, dtype=np.float64)
    want = np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape, (got.shape, want.shape)
    for i, (g, w) in enumerate(zip(got.tolist(), want.tolist())):
        assert same_number(g, w), f"element {i}: got {g!r}, want {w!r}"


def snapshot(obj):
    """Enough of obj to tell later whether it was written: an array's bytes,
    a list's or tuple's elements (by identity)."""
    if isinstance(obj, np.ndarray):
        return obj.copy(order="K")
    if isinstance(obj, (list, tuple)):
        return list(obj)
    return None


def assert_unchanged(obj, before):
    if isinstance(obj, np.ndarray):
        assert obj.shape == before.shape and obj.dtype == before.dtype
        if obj.dtype in (np.longdouble, np.clongdouble):
            # extended precision carries padding bytes that any write may
            # change: compare the values, NaN with NaN, and the zeros' signs
            assert np.array_equal(obj, before, equal_nan=True), "an input array was written"
            assert np.array_equal(np.signbit(obj.real), np.signbit(before.real))
        else:
            assert obj.tobytes() == before.tobytes(), "an input array was written"
    elif isinstance(obj, (list, tuple)):
        assert len(obj) == len(before) and all(a is b for a, b in zip(obj, before)), \
            "an input sequence was changed"


# --- outcomes ---------------------------------------------------------------------------


class Raised:
    """The outcome of an operation that raised: the exception's type."""

    def __init__(self, exc):
        self.type = type(exc)
        self.exc = exc

    def __repr__(self):
        return f"Raised({self.type.__name__}: {self.exc})"


def outcome(func, *args, **kwargs):
    """func(...)'s result, or a Raised for the exception it raised."""
    try:
        return func(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - any exception is an outcome
        return Raised(exc)


# --- number arguments -------------------------------------------------------------------


def as_double(x):
    """The double a number argument must become, or the exception it must
    raise: an exact float or a float subclass gives its stored value without
    calling anything; strings and bytes are refused; anything else goes
    through its __float__ or, lacking that, its __index__."""
    if isinstance(x, float):
        return float.__float__(x)
    kind = type(x)
    if isinstance(x, (str, bytes, bytearray)) or not (
        hasattr(kind, "__float__") or hasattr(kind, "__index__")
    ):
        raise TypeError(f"must be real number, not {kind.__name__}")
    return float(x)


def _double(pattern):
    """The double with this 64-bit pattern."""
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-8, 1e-10, 100.0,
    math.inf, -math.inf, math.nan, -math.nan,
    _double(0x7FF8000000000001),  # quiet NaN with a payload
    _double(0x7FF0000000000001),  # signalling NaN
    5e-324, -5e-324, 2.2250738585072014e-308,
    1.7976931348623157e308, -1.7976931348623157e308, 1e-300, 1e300,
]


def floats_around(lo, hi):
    """Mostly plausible values in [lo, hi], often a special float, now and
    then any double at all."""
    return st.one_of(
        st.floats(lo, hi),
        st.floats(lo, hi),
        st.sampled_from(SPECIAL_FLOATS),
        st.floats(allow_nan=True, allow_infinity=True),
    )


class FloatSub(float):
    """A float subclass whose __float__ disagrees with its stored value: the
    stored value is what counts."""

    def __float__(self):
        return 12345.0


class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"HasFloat({self.value!r})"


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"HasIndex({self.value!r})"


class FloatRaises:
    """__float__ raises an exception of the given type."""

    def __init__(self, kind):
        self.kind = kind

    def __float__(self):
        raise self.kind("from __float__")

    def __repr__(self):
        return f"FloatRaises({self.kind.__name__})"


class FloatReturnsInt:
    def __float__(self):
        return 1


class FloatReturnsSubclass:
    """__float__ returns a float subclass, which the interpreter accepts with
    a DeprecationWarning (an error under the test run's warning filter)."""

    def __float__(self):
        return FloatSub(2.0)


def _narrow(value, dtype):
    with np.errstate(all="ignore"):
        return np.array(value).astype(dtype)[()]


def _wrap_float(value):
    forms = [
        st.just(value),
        st.just(FloatSub(value)),
        st.just(np.float64(value)),
        st.just(HasFloat(value)),
        st.just(np.longdouble(value)),
        st.just(_narrow(value, np.float32)),
        st.just(_narrow(value, np.float16)),
    ]
    if math.isfinite(value):
        forms += [st.just(Fraction(value)), st.just(Decimal(value))]
    return st.one_of(forms)


INTEGERS = st.one_of(
    st.integers(-1000, 1000),
    st.sampled_from([2**53 + 1, 2**1023, 2**1024, -(2**1024), 10**400]),
)

ODD_NUMBERS = st.sampled_from([
    "1.0", "", b"1", bytearray(b"2"), None, [], (), {}, [1.0], object(),
    complex(1.0, 0.0), 1j, np.str_("1"), np.complex128(1.0 + 1.0j),
    np.datetime64("2020-01-01"), np.array([1.0, 2.0]), Decimal("sNaN"),
    types.SimpleNamespace(), FloatReturnsInt(), FloatReturnsSubclass(),
    FloatRaises(ArithmeticError), FloatRaises(KeyError), FloatRaises(TypeError),
])


def numbers(lo=-1e3, hi=1e3):
    """Objects passed where a double is expected: floats of every sort,
    integers of every size, NumPy scalars, objects with __float__ or
    __index__, and objects that cannot be converted."""
    return st.one_of(
        floats_around(lo, hi).flatmap(_wrap_float),
        floats_around(lo, hi).flatmap(_wrap_float),
        INTEGERS,
        INTEGERS.map(HasIndex),
        st.integers(-128, 127).map(np.int8),
        st.integers(0, 2**64 - 1).map(np.uint64),
        st.booleans(),
        st.booleans().map(np.bool_),
        ODD_NUMBERS,
    )


# --- option flags -------------------------------------------------------------------------


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("from __bool__")

    def __repr__(self):
        return "BadBool()"


# What a comparison may answer: truthy, falsy, undecided or unusable objects,
# and exception types (raised instead of answering).
ANSWERS = [
    True, False, None, 0, 1, 2.5, "", "yes", NotImplemented,
    np.bool_(True), np.bool_(False), np.array([True]), np.array([1, 2]), np.array([]),
    BadBool(), LookupError, ZeroDivisionError, TypeError,
]


def _answer(flag, other):
    flag.compared_with.append(other)
    answer = flag.answers[flag.calls % len(flag.answers)]
    flag.calls += 1
    if flag.effect is not None:
        flag.effect()
    if isinstance(answer, type):
        raise answer("from __eq__")
    return answer


class Flag:
    """A flag whose == gives its answers in turn, whatever it is compared
    with (an exception type among them is raised instead); `effect`, when
    set, runs at every comparison before the answer."""

    __hash__ = None

    def __init__(self, answers, effect=None):
        self.answers = tuple(answers)
        self.effect = effect
        self.calls = 0
        self.compared_with = []

    __eq__ = _answer

    def twin(self):
        """The same flag, not yet compared, without the effect."""
        return Flag(self.answers)

    def __repr__(self):
        return f"Flag{self.answers!r}"


class LyingStr(str):
    """A string whose == gives its answers in turn, whatever its text."""

    def __new__(cls, text, answers):
        self = super().__new__(cls, text)
        self.answers = tuple(answers)
        self.effect = None
        self.calls = 0
        self.compared_with = []
        return self

    __eq__ = _answer
    __hash__ = str.__hash__

    def twin(self):
        return LyingStr(str(self), self.answers)

    def __repr__(self):
        return f"LyingStr({str(self)!r}, {self.answers!r})"


PLAIN_FLAGS = [
    "c", "p", "C", "P", "call", "", "cc", np.str_("c"), np.str_("p"), None, 1, 99, 1.0,
    b"c", np.array(["c"]), np.array(["c", "p"]), np.array([], dtype="U1"),
]

_answer_lists = st.lists(st.sampled_from(ANSWERS), min_size=1, max_size=3)


def flags():
    """Option flags: plain objects, and objects whose == lies, answers
    something that is not a bool, or raises."""
    return st.one_of(
        st.sampled_from(["c", "p"]),
        st.sampled_from(PLAIN_FLAGS),
        _answer_lists.map(Flag),
        st.builds(LyingStr, st.sampled_from(["c", "p", "C"]), _answer_lists),
    )


def counting(flag):
    """Whether flag counts its comparisons (and so has a twin)."""
    return isinstance(flag, (Flag, LyingStr))


def model_flag_codes(flag_list):
    """Whether each flag reads as a call, comparing a twin of every counting
    flag (so the flags themselves are not touched); a Raised where a
    comparison or its truth test raises, which ends the list."""
    twins = {}
    codes = []
    for f in flag_list:
        if counting(f):
            f = twins.setdefault(id(f), f.twin())
        try:
            codes.append(bool(f == "c"))
        except Exception as exc:  # noqa: BLE001
            codes.append(Raised(exc))
            break
    return codes


def comparisons_made(flag_list):
    """How many comparisons each distinct counting flag of the list made."""
    seen = {}
    for f in flag_list:
        if counting(f):
            seen[id(f)] = (f, f.calls)
    return {key: calls for key, (_, calls) in seen.items()}


def expected_comparisons(flag_list, codes):
    """How many comparisons each counting flag should have made when the
    flags were read up to len(codes) elements."""
    want = {}
    for f in flag_list[: len(codes)]:
        if counting(f):
            want[id(f)] = want.get(id(f), 0) + 1
    for f in flag_list:
        if counting(f):
            want.setdefault(id(f), 0)
    return want


# --- array arguments ---------------------------------------------------------------------

NUMERIC_DTYPES = [
    np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
    np.uint64, np.float16, np.float32, np.float64, np.dtype(">f8"), np.longdouble,
    np.complex64, np.complex128,
]

LAYOUTS = ["contiguous", "strided", "reversed", "misaligned", "read-only", "2-d", "0-d"]


def _as_array(values, dtype, layout):
    with np.errstate(all="ignore"):
        base = np.array(values, dtype=np.float64).astype(dtype)
    if layout == "strided":
        wide = np.repeat(base, 2)
        return wide[::2]
    if layout == "reversed":
        return base[::-1].copy()[::-1]
    if layout == "misaligned":
        raw = bytearray(base.nbytes + 1)
        arr = np.ndarray(base.shape, base.dtype, buffer=raw, offset=1)
        arr[...] = base
        return arr
    if layout == "read-only":
        base.setflags(write=False)
        return base
    if layout == "2-d":
        return base.reshape(-1, 1)
    if layout == "0-d":
        with np.errstate(all="ignore"):
            return np.array(values[0] if values else 0.0, dtype=np.float64).astype(dtype)
    return base


def _listed(values, kind):
    if kind == "tuple":
        return tuple(values)
    if kind == "ints":
        return [int(v) if math.isfinite(v) else v for v in values]
    if kind == "with-none":
        return values[:-1] + [None] if values else [None]
    if kind == "with-string":
        return values[:-1] + ["1.5"] if values else ["x"]
    if kind == "strings":
        return np.array([repr(v) for v in values])
    if kind == "objects":
        return np.array(values + [None], dtype=object)[:-1]
    return list(values)


ODD_ARRAYS = st.sampled_from([None, 3.0, "abc", b"ab", {}, object(), [[1.0], [2.0, 3.0]],
                              ["x", "y"]])


def array_forms(values, tame=False):
    """`values` (a list of floats) as an array argument: a NumPy array of any
    numeric dtype and layout, a list, a tuple, an object or string array.
    Tame forms always convert to a one-dimensional float64 array of the
    same length (complex, 0-d, 2-d, read-only and string forms left out)."""
    if tame:
        dtypes = [d for d in NUMERIC_DTYPES if np.dtype(d).kind != "c"]
        layouts = [x for x in LAYOUTS if x not in ("read-only", "2-d", "0-d")]
        kinds = ["list", "tuple", "ints", "with-none", "objects"]
    else:
        dtypes, layouts = NUMERIC_DTYPES, LAYOUTS
        kinds = ["list", "tuple", "ints", "with-none", "with-string", "strings", "objects"]
    any_dtype = st.builds(_as_array, st.just(values), st.sampled_from(dtypes),
                          st.sampled_from(layouts))
    float64 = st.builds(_as_array, st.just(values), st.just(np.float64),
                        st.sampled_from(layouts))
    listed = st.builds(_listed, st.just(values), st.sampled_from(kinds))
    return st.one_of(float64, float64, any_dtype, any_dtype, listed)


def lengths_near(length):
    """Mostly `length`, now and then one or two more or fewer."""
    return st.one_of(st.just(length), st.just(length), st.just(length),
                     st.integers(max(0, length - 2), length + 2))


def number_arrays(length, lo, hi, tame=False):
    """Array arguments of about `length` values from floats_around(lo, hi),
    in any form of array_forms(), and now and then something that is no
    array at all. Tame ones hold exactly `length` values in a tame form."""
    if tame:
        values = st.lists(floats_around(lo, hi), min_size=length, max_size=length)
        return values.flatmap(lambda v: array_forms(v, tame=True))
    values = lengths_near(length).flatmap(
        lambda m: st.lists(floats_around(lo, hi), min_size=m, max_size=m))
    return st.one_of(values.flatmap(array_forms), values.flatmap(array_forms), ODD_ARRAYS)


def is_writable_array(x):
    """x is a one-dimensional, non-empty, writable array of numbers."""
    return (isinstance(x, np.ndarray) and x.flags.writeable and x.ndim == 1 and x.size > 0
            and x.dtype.kind in "biufc")
