"""Properties of the four functions over arbitrary arguments.

For every argument list drawn, a model says what must happen: which
exception (and at which step) or which result. Results are compared with the
scalar functions on plain floats and "c"/"p" flags, bit for bit, any NaN
matching any NaN; inputs are checked for writes afterwards; every failure
must carry the module's own traceback entry.
"""

import math

import numpy as np
import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

from helpers import (
    Flag, Raised, array_forms, as_double, assert_same_numbers, assert_unchanged,
    comparisons_made, examples, expected_comparisons, flags, floats_around, is_writable_array,
    lengths_near, model_flag_codes, number_arrays, vornet_entries, numbers, outcome,
    same_number, snapshot,
)
from vornet import baw_implied_vol, baw_price, find_forward_baw, vectorized_baw_implied_vol

SCALARS = {
    # name: function, its number parameters with the ranges drawn most often,
    # the definition line, the line of the flag comparison
    "baw_price": (baw_price, {"S": (1, 200), "K": (1, 200), "D": (0.5, 1.1),
                              "F": (1, 200), "sigma": (0, 1.5)}, 397, 403),
    "baw_implied_vol": (baw_implied_vol, {"price": (0, 60), "S": (1, 200), "K": (1, 200),
                                          "D": (0.5, 1.1), "F": (1, 200)}, 407, 412),
}


@st.composite
def call_forms(draw, names, values, optional=()):
    """(args, kwargs) passing `values` under `names`: the first few by
    position, the others by keyword in any order; a parameter named in
    `optional` whose value is None is left out."""
    n_positional = draw(st.integers(0, len(names)))
    keyword_names = draw(st.permutations(names[n_positional:]))
    chosen = dict(zip(names, values))
    args = list(values[:n_positional])
    kwargs = {k: chosen[k] for k in keyword_names}
    for name in optional:
        if chosen[name] is None:
            if name in kwargs:
                del kwargs[name]
            elif args and len(args) == names.index(name) + 1:
                args.pop()
    return args, kwargs


def assert_raised_like(got, expected, name, line):
    """got is a Raised of expected's type, with the module's one entry."""
    event(f"raised {expected.type.__name__} at line {line}")
    assert isinstance(got, Raised), f"returned {got!r}, expected {expected!r}"
    assert got.type is expected.type, (got, expected)
    assert vornet_entries(got.exc) == [(f"vornet.vornet_core.{name}", "vornet/vornet_core", line)]


def convert_all(objects, lines):
    """Doubles for `objects`, or (Raised, line) for the first that fails."""
    values = []
    for x, line in zip(objects, lines):
        value = outcome(as_double, x)
        if isinstance(value, Raised):
            return None, (value, line)
        values.append(value)
    return values, None


# --- baw_price and baw_implied_vol ------------------------------------------------------


@pytest.mark.parametrize("name", sorted(SCALARS))
@settings(max_examples=examples(400))
@given(data=st.data())
def test_scalar_functions(name, data):
    """Each number argument converts to one double (or its conversion's
    exception ends the call before the flag is looked at), the flag reads as
    its == says, and the result is the function's on those plain values."""
    func, ranges, definition_line, flag_line = SCALARS[name]
    numbers_in = [data.draw(numbers(*r), label=p) for p, r in ranges.items()]
    flag = data.draw(flags(), label="flag")
    args, kwargs = data.draw(call_forms([*ranges, "flag"], [*numbers_in, flag]), label="form")
    before = [snapshot(x) for x in numbers_in]

    got = outcome(func, *args, **kwargs)

    values, failure = convert_all(numbers_in, [definition_line] * 5)
    if failure is not None:
        assert_raised_like(got, failure[0], name, failure[1])
        assert getattr(flag, "calls", 0) == 0, "flag compared after a failed conversion"
    else:
        code = model_flag_codes([flag])[0]
        if isinstance(code, Raised):
            assert_raised_like(got, code, name, flag_line)
        else:
            want = func(*values, "c" if code else "p")
            event("returned NaN" if math.isnan(want) else "returned a number")
            assert type(got) is float, got
            assert same_number(got, want), (got, want)
            assert all(got is not x for x in numbers_in)
            if name == "baw_implied_vol":
                # 0.0 (no time value), NaN (no solution) or a root of the
                # bracket [1e-8, hi], hi at most 8
                assert math.isnan(got) or got == 0.0 or 1e-8 <= got <= 8.0, got
        if hasattr(flag, "calls"):
            assert flag.calls == 1, f"flag compared {flag.calls} times"
    for x, b in zip(numbers_in, before):
        assert_unchanged(x, b)


# --- vectorized_baw_implied_vol ------------------------------------------------------------


def build_flags(kind, items):
    """The flags argument of the given kind holding `items`."""
    if kind == "list":
        return items
    if kind == "tuple":
        return tuple(items)
    if kind == "iterator":
        return iter(items)
    if kind == "generator":
        return (f for f in items)
    if kind == "str":
        return "".join(items)
    if kind == "bytes":
        return "".join(items).encode()
    if kind == "numpy":
        return np.array(items, dtype="U1")
    return kind  # something that is not iterable at all


def flag_items(kind, items):
    """What iterating the flags argument yields (None: not iterable)."""
    if kind == "bytes":
        return list("".join(items).encode())
    if kind == "numpy":
        return list(np.array(items, dtype="U1"))
    if kind in ("list", "tuple", "iterator", "generator", "str"):
        return items
    return None


@st.composite
def flag_arguments(draw, length, tame=False):
    """(kind, items): flags of any sort in a container, or characters in a
    string, bytes or string array, or a kind that is not iterable. Tame ones
    hold `length` plain flags or flags that raise nothing."""
    if tame:
        kind = draw(st.sampled_from(["list", "tuple", "iterator", "str", "numpy"]))
        plain = draw(st.lists(st.sampled_from("cpC"), min_size=length, max_size=length))
        if kind in ("str", "numpy"):
            return kind, plain
        answers = st.lists(st.sampled_from([True, False, None, 0, 1, np.bool_(True)]),
                           min_size=1, max_size=3)
        odd = draw(st.lists(st.one_of(answers.map(Flag), st.sampled_from(["c", "p", None])),
                            min_size=length, max_size=length))
        return kind, [draw(st.sampled_from([p, o])) for p, o in zip(plain, odd)]
    kind = draw(st.sampled_from(["list", "list", "list", "tuple", "iterator", "generator",
                                 "str", "bytes", "numpy", 7, None]))
    m = draw(lengths_near(length))
    if kind in ("str", "bytes", "numpy"):
        items = draw(st.lists(st.sampled_from("cpC"), min_size=m, max_size=m))
    else:
        items = draw(st.lists(flags(), min_size=m, max_size=m))
    return kind, items


BATCH_RANGES = [(0, 60), (50, 150), (50, 150), (0.8, 1.05), (50, 150)]
BATCH_NAMES = ["prices", "S_arr", "K_arr", "D_arr", "F_arr"]


def solvable_chain(n):
    """Values drawn so that most prices are model prices: (prices, S, K, D, F)."""
    rows = st.tuples(st.floats(50, 150), st.floats(50, 150), st.floats(0.8, 1.05),
                     st.floats(50, 150), st.floats(0.01, 1.0), st.sampled_from("cp"))
    return st.lists(rows, min_size=n, max_size=n).map(lambda rs: (
        [baw_price(*r) for r in rs], *[[r[k] for r in rs] for k in range(4)], [r[5] for r in rs]))


def model_batch(numeric, kind, items):
    """What the batch must do: (Raised, line) or (None, per-element inputs)."""
    n = outcome(len, numeric[0])
    if isinstance(n, Raised):
        return (n, 425), None
    columns = []
    for k, x in enumerate(numeric):
        converted = outcome(np.ascontiguousarray, x, dtype=np.float64)
        if isinstance(converted, Raised):
            return (converted, 429 + k), None
        if converted.ndim != 1 or not converted.flags.writeable or len(converted) < n:
            return (Raised(ValueError()), 429 + k), None
        columns.append(converted.tolist()[:n])
    iterated = flag_items(kind, items)
    if iterated is None:
        return (Raised(TypeError()), 437), None
    codes = model_flag_codes(iterated)
    if codes and isinstance(codes[-1], Raised):
        return (codes[-1], 437), None
    if len(codes) < n:
        return (Raised(ValueError()), 436), None
    return None, [(*[c[i] for c in columns], "c" if codes[i] else "p") for i in range(n)]


def scalar_solves(rows):
    return [baw_implied_vol(*row) for row in rows]


@settings(max_examples=examples(400))
@given(data=st.data())
def test_batch(data):
    """The batch raises what its first failing step raises, or returns a new
    float64 array equal element by element to the scalar solver's results;
    it compares each flag once and writes no input."""
    n = data.draw(st.integers(0, 6), label="n")
    if data.draw(st.booleans(), label="solvable"):
        columns = data.draw(solvable_chain(n), label="chain")
        numeric = [data.draw(array_forms(c), label=name)
                   for c, name in zip(columns[:5], BATCH_NAMES)]
        kind, items = "list", columns[5]
    else:
        # at most two arguments drawn from everything, the others tame
        wild = data.draw(st.sets(st.integers(0, 5), max_size=2), label="wild")
        numeric = [data.draw(number_arrays(n, *r, tame=k not in wild), label=name)
                   for k, (r, name) in enumerate(zip(BATCH_RANGES, BATCH_NAMES))]
        kind, items = data.draw(flag_arguments(n, tame=5 not in wild), label="flags")
    args, kwargs = data.draw(call_forms([*BATCH_NAMES, "flags"], [*numeric, None]))
    before = [snapshot(x) for x in numeric]
    flags_arg = build_flags(kind, items)
    if kwargs.get("flags", 1) is None:
        kwargs["flags"] = flags_arg
    else:
        args[5] = flags_arg

    failure, rows = model_batch(numeric, kind, items)
    got = outcome(vectorized_baw_implied_vol, *args, **kwargs)

    if failure is not None:
        assert_raised_like(got, failure[0], "vectorized_baw_implied_vol", failure[1])
    else:
        assert isinstance(got, np.ndarray), got
        assert got.dtype == np.float64 and got.shape == (len(rows),)
        assert got.flags.c_contiguous and got.flags.writeable
        assert not any(np.shares_memory(got, x) for x in numeric if isinstance(x, np.ndarray))
        assert_same_numbers(got, scalar_solves(rows))
        event(f"returned {len(rows)} elements")
    iterated = flag_items(kind, items) or []
    codes = model_flag_codes(iterated) if failure is None or failure[1] >= 436 else []
    assert comparisons_made(iterated) == expected_comparisons(iterated, codes)
    for x, b in zip(numeric, before):
        assert_unchanged(x, b)


@settings(max_examples=examples(150))
@given(data=st.data())
def test_batch_with_a_flag_that_writes_an_input(data):
    """A flag whose == writes an element of a numeric input array: the call
    still returns numbers, each element solved from the input either as it
    was or as the flag left it, and nothing else is written."""
    n = data.draw(st.integers(1, 5), label="n")
    columns = data.draw(solvable_chain(n), label="chain")
    numeric = [data.draw(array_forms(c), label=name)
               for c, name in zip(columns[:5], BATCH_NAMES)]
    targets = [k for k, x in enumerate(numeric) if is_writable_array(x)]
    if not targets:
        numeric[0] = np.array(columns[0], dtype=np.float64)
        targets = [0]
    k = data.draw(st.sampled_from(targets), label="target")
    target = numeric[k]
    j = data.draw(st.integers(0, len(target) - 1), label="element")
    value = data.draw(floats_around(0, 150), label="value")

    def write():
        with np.errstate(all="ignore"):
            target[j] = np.array(value).astype(target.dtype)

    items = list(columns[5])
    position = data.draw(st.integers(0, len(items)), label="position")
    answer = data.draw(st.sampled_from([True, False]), label="answer")
    writer = Flag([answer], effect=write)
    items.insert(position, writer)
    before = [snapshot(x) for x in numeric]

    failure, rows_before = model_batch(numeric, "list", items)
    got = outcome(vectorized_baw_implied_vol, *numeric, items)
    failure_after, rows_after = model_batch(numeric, "list", items)

    if failure is not None:
        # only a read-only or mis-shaped input ends the call; the flags come after
        assert failure_after is not None and failure[1] < 436
        assert_raised_like(got, failure[0], "vectorized_baw_implied_vol", failure[1])
        assert writer.calls == 0
    else:
        assert isinstance(got, np.ndarray) and got.shape == (len(rows_before),), got
        assert writer.calls == 1
        for i, (g, old, new) in enumerate(zip(got.tolist(), scalar_solves(rows_before),
                                             scalar_solves(rows_after))):
            assert same_number(g, old) or same_number(g, new), (i, g, old, new)
        event("returned")
    # the only change to any input is the flag's own write
    expected_target = before[k]
    if writer.calls:
        with np.errstate(all="ignore"):
            expected_target[j] = np.array(value).astype(target.dtype)
    for x, b in zip(numeric, before):
        assert_unchanged(x, b)


# --- find_forward_baw -------------------------------------------------------------------------

FORWARD_NAMES = ["call_prices", "put_prices", "strikes", "S", "D", "strike_pct"]


def quote_chain(m):
    """Call and put quotes of one expiry at m strikes, from model prices."""
    return st.tuples(st.floats(80, 120), st.floats(0.85, 1.0), st.floats(0.9, 1.1),
                     st.floats(0.05, 0.6),
                     st.lists(st.floats(60, 140), min_size=m, max_size=m)).map(
        lambda t: (
            [baw_price(t[0], K, t[1], t[0] * t[2], t[3], "c") for K in t[4]],
            [baw_price(t[0], K, t[1], t[0] * t[2], t[3], "p") for K in t[4]],
            t[4], t[0], t[1]))


@settings(max_examples=examples(300))
@given(data=st.data())
def test_forward(data):
    """find_forward_baw gives what it gives for plain floats and fresh
    float64 arrays of the same values: the same float (any NaN matching any
    NaN) or the same exception at the same step; conversion failures come
    first, in argument order. No input is written."""
    m = data.draw(st.integers(0, 4), label="m")
    if data.draw(st.booleans(), label="from-model"):
        calls, puts, strikes, S, D = data.draw(quote_chain(m), label="chain")
        arrays = [data.draw(array_forms(v), label=name)
                  for v, name in zip((calls, puts, strikes), FORWARD_NAMES)]
        scalars = [data.draw(st.sampled_from([S, np.float64(S)])), D]
    else:
        arrays = [data.draw(number_arrays(m, *r), label=name)
                  for r, name in zip([(0, 30), (0, 30), (60, 140)], FORWARD_NAMES)]
        scalars = [data.draw(numbers(50, 150), label="S"), data.draw(numbers(0.8, 1.05),
                                                                    label="D")]
    strike_pct = data.draw(st.one_of(st.none(), numbers(0, 0.2)), label="strike_pct")
    args, kwargs = data.draw(call_forms(FORWARD_NAMES, [*arrays, *scalars, strike_pct],
                                        optional=["strike_pct"]), label="form")
    before = [snapshot(x) for x in arrays]

    got = outcome(find_forward_baw, *args, **kwargs)

    given_scalars = scalars + ([] if strike_pct is None else [strike_pct])
    values, failure = convert_all(given_scalars, [579, 579, 580])
    if failure is None:
        converted = []
        for k, x in enumerate(arrays):
            array = outcome(np.asarray, x, dtype=np.float64)
            if isinstance(array, Raised):
                failure = (array, 582 + k)
                break
            converted.append(array.copy())
    if failure is None:
        want = outcome(find_forward_baw, *converted, *values)
        if isinstance(want, Raised):
            failure = (want, vornet_entries(want.exc)[0][2])
    if failure is not None:
        assert_raised_like(got, failure[0], "find_forward_baw", failure[1])
    else:
        assert type(got) is float and same_number(got, want), (got, want)
        event("returned NaN" if math.isnan(want) else "returned a number")
    for x, b in zip(arrays, before):
        assert_unchanged(x, b)
