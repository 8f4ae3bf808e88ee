"""vectorized_baw_implied_vol: agreement with the scalar solver, inputs,
refusals, and threads."""

import math
import sys
import threading
import time

import numpy as np
import pytest

import vornet.vornet_core as core
from helpers import CallingFlag, bits, call_in_threads, numpy_stand_in
from vornet.vornet_core import baw_implied_vol, baw_price, vectorized_baw_implied_vol as batch

TRIPLE = ([98.5, 99.0, 0.0], [100.0] * 3, [100.0] * 3, [0.95] * 3, [98.0] * 3, ["c"] * 3)


def chain(n, seed=11):
    """A mixed chain: calls and puts in and out of the money, short and long
    expiries, with prices that solve, that have no time value and that have
    no solution."""
    rng = np.random.default_rng(seed)
    S = rng.uniform(50.0, 150.0, n)
    K = S * np.exp(rng.normal(0.0, 0.25, n))
    years = rng.choice([0.02, 0.1, 0.5, 1.0, 3.0], n)
    D = np.exp(-rng.uniform(0.0, 0.08, n) * years)
    F = S * np.exp(rng.uniform(-0.04, 0.08, n) * years)
    sigma = rng.uniform(0.1, 0.8, n) * np.sqrt(years)
    flags = np.where(rng.random(n) < 0.5, "c", "p")
    prices = np.array([baw_price(*args) for args in zip(S, K, D, F, sigma, flags)])
    prices *= rng.choice([1.0, 1.0, 1.0, 1.02, 0.97], n)
    prices[rng.random(n) < 0.05] = 0.0
    prices[rng.random(n) < 0.03] = 1e6
    return prices, S, K, D, F, flags


def scalar_loop(prices, S, K, D, F, flags):
    return np.array([baw_implied_vol(*args) for args in zip(prices, S, K, D, F, flags)],
                    dtype=np.float64)


def test_agrees_with_the_scalar_solver_bit_for_bit():
    args = chain(400)
    got = batch(*args)
    want = scalar_loop(*args)
    assert got.dtype == np.float64 and got.shape == (400,) and got.flags.c_contiguous
    np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64))
    assert np.isnan(got).sum() > 5 and (got == 0.0).sum() > 5 and (got > 0).sum() > 300


def test_known_triple():
    result = batch(*TRIPLE)
    assert result[0] == pytest.approx(7.6681, abs=5e-5)
    assert math.isnan(result[1]) and result[2] == 0.0


@pytest.mark.parametrize(
    "convert",
    [list, tuple, np.asarray, lambda x: np.asarray(x, dtype=np.float32),
     lambda x: np.repeat(np.asarray(x, dtype=np.float64), 2)[::2],
     lambda x: np.asarray(x, dtype=np.float64)[::-1][::-1]],
    ids=["list", "tuple", "array", "float32", "strided", "reversed-twice"],
)
def test_input_forms(convert):
    prices, S, K, D, F, flags = chain(30)
    numeric = [convert(x) for x in (prices, S, K, D, F)]
    # what the numbers are once converted (float32 inputs are rounded)
    want = batch(*[np.asarray(x, dtype=np.float64).copy() for x in numeric], list(flags))
    assert (want > 0).sum() > 10
    np.testing.assert_array_equal(batch(*numeric, list(flags)), want)


def strided(x):
    """x as a float64 view with a stride of three elements."""
    return np.repeat(np.asarray(x, dtype=np.float64), 3)[::3]


def reversed_view(x):
    """x as a float64 view with a negative stride, in the same order."""
    return np.ascontiguousarray(np.asarray(x, dtype=np.float64)[::-1])[::-1]


@pytest.mark.parametrize("layout", [strided, reversed_view])
@pytest.mark.parametrize("np_passes_strides", [False, True], ids=["numpy", "strides-kept"])
def test_strided_inputs_agree_with_the_scalar_solver(monkeypatch, layout, np_passes_strides):
    """Strided inputs give what baw_implied_vol gives element by element,
    whether NumPy makes them contiguous first or (a stand-in `np`) hands the
    strides on to the buffer."""
    args = chain(40, seed=3)
    want = scalar_loop(*args)
    if np_passes_strides:
        monkeypatch.setattr(core, "np", numpy_stand_in(
            ascontiguousarray=lambda x, dtype: np.asarray(x, dtype=dtype)))
    got = batch(*[layout(x) for x in args[:5]], args[5])
    assert list(map(bits, got)) == list(map(bits, want))


def test_integer_arrays():
    got = batch(np.array([7, 0]), np.array([100, 100], dtype=np.int32),
                np.array([100, 100], dtype=np.int64), [1, 1], np.array([100, 100], dtype=np.uint16),
                "cp")
    assert got[0] == baw_implied_vol(7.0, 100.0, 100.0, 1.0, 100.0, "c") and got[1] == 0.0


def test_empty():
    result = batch([], [], [], [], [], [])
    assert result.shape == (0,) and result.dtype == np.float64
    assert batch(np.empty(0), np.empty(0), np.empty(0), np.empty(0), np.empty(0), "").shape == (0,)


def test_only_len_prices_elements_are_solved():
    result = batch([98.5], *TRIPLE[1:])
    assert result.shape == (1,) and result[0] == pytest.approx(7.6681, abs=5e-5)


@pytest.mark.parametrize(
    "flags, calls",
    [("cpc", [True, False, True]), (b"cpc", [False, False, False]),
     (np.array(["c", "p", "c"]), [True, False, True]), (["C", "c", None], [False, True, False]),
     (iter(["c", "c", "p"]), [True, True, False]), ((f for f in "pcp"), [False, True, False])],
    ids=["str", "bytes", "numpy-str", "case", "iterator", "generator"],
)
def test_flag_forms(flags, calls):
    prices = [baw_price(100.0, 100.0, 0.95, 98.0, 0.2, "c" if c else "p") for c in calls]
    result = batch(prices, [100.0] * 3, [100.0] * 3, [0.95] * 3, [98.0] * 3, flags)
    np.testing.assert_allclose(result, 0.2, atol=1e-9)


def test_returns_a_new_array_each_call():
    args = chain(5)
    a, b = batch(*args), batch(*args)
    assert a is not b and not np.shares_memory(a, b)
    assert not np.shares_memory(a, args[0])


# --- refusals -------------------------------------------------------------------

def read_only(dtype):
    x = np.full(3, 100.0, dtype=dtype)
    x.setflags(write=False)
    return x


@pytest.mark.parametrize("position, line", [(0, 429), (1, 430), (2, 431), (3, 432), (4, 433)])
def test_read_only_float64_refused(raises_at, position, line):
    args = list(TRIPLE)
    args[position] = read_only(np.float64)
    if position == 0:
        args[0] = read_only(np.float64) * 0 + np.array([98.5, 99.0, 0.0])
        args[0].setflags(write=False)
    exc = raises_at(ValueError, "vectorized_baw_implied_vol", line, batch, *args)
    assert "read-only" in str(exc)
    args[position] = np.asarray(args[position], dtype=np.float32)
    args[position].setflags(write=False)
    assert batch(*args).shape == (3,)


@pytest.mark.parametrize("position, line", [(0, 429), (2, 431), (4, 433)])
def test_two_dimensional_input_refused(raises_at, position, line):
    args = list(TRIPLE)
    args[position] = np.ones((3, 2))
    exc = raises_at(ValueError, "vectorized_baw_implied_vol", line, batch, *args)
    assert "dimensions" in str(exc)


@pytest.mark.parametrize("prices", [98.5, np.float64(98.5), None, (p for p in [1.0])])
def test_prices_without_length(raises_at, prices):
    raises_at(TypeError, "vectorized_baw_implied_vol", 425, batch, prices, *TRIPLE[1:])


@pytest.mark.parametrize(
    "position, name, line",
    [(1, "S_arr", 430), (2, "K_arr", 431), (3, "D_arr", 432), (4, "F_arr", 433),
     (5, "flags", 436)],
)
def test_short_inputs_refused(raises_at, position, name, line):
    args = list(TRIPLE)
    args[position] = args[position][:2]
    raises_at(ValueError, "vectorized_baw_implied_vol", line, batch, *args,
              message=f"vectorized_baw_implied_vol(): {name} holds 2 elements after "
                      f"conversion, fewer than len(prices) = 3")


def test_prices_whose_array_is_shorter_than_its_len(raises_at):
    class Quotes:
        def __len__(self):
            return 3

        def __array__(self, dtype=None, copy=None):
            return np.array([98.5, 99.0], dtype=dtype)

    raises_at(ValueError, "vectorized_baw_implied_vol", 429, batch, Quotes(), *TRIPLE[1:],
              message="vectorized_baw_implied_vol(): prices holds 2 elements after "
                      "conversion, fewer than len(prices) = 3")


def test_rebound_np_that_breaks_the_arrays(raises_at, monkeypatch):
    """With NumPy's own `np` the output has len(prices) elements and a copy
    is aligned; a rebound `np` gets an error, not a write past the end or a
    misaligned read."""
    monkeypatch.setattr(core, "np", numpy_stand_in(empty=lambda n, dtype: np.empty(n - 1, dtype)))
    raises_at(ValueError, "vectorized_baw_implied_vol", 441, batch, *TRIPLE,
              message="vectorized_baw_implied_vol(): the output holds 2 elements after "
                      "conversion, fewer than len(prices) = 3")

    def misaligned(x, dtype):
        data = np.frombuffer(bytearray(8 * 2 * len(x) + 1), dtype=np.float64, offset=1,
                             count=2 * len(x))
        data[::2] = x
        return data[::2]

    monkeypatch.setattr(core, "np", numpy_stand_in(ascontiguousarray=misaligned))
    raises_at(ValueError, "vectorized_baw_implied_vol", 429, batch, *TRIPLE,
              message="Buffer is not aligned for 'double'")


def test_bad_flags(raises_at):
    class Flag:
        def __eq__(self, other):
            raise ArithmeticError("flag")

    raises_at(TypeError, "vectorized_baw_implied_vol", 437, batch, *TRIPLE[:5], 7)
    raises_at(ArithmeticError, "vectorized_baw_implied_vol", 437, batch, *TRIPLE[:5],
              ["c", Flag(), "p"])


def test_non_numeric_input(raises_at):
    raises_at(ValueError, "vectorized_baw_implied_vol", 432, batch, *TRIPLE[:3],
              ["x", "y", "z"], *TRIPLE[4:])


def test_failures_release_everything():
    """No failing path keeps a reference to (or a buffer of) its inputs."""
    prices = np.array([98.5, 99.0, 0.0])
    S = read_only(np.float64)
    K = np.ones((3, 2))
    D = np.full(2, 0.95)

    class Flag:
        def __eq__(self, other):
            raise ValueError

    cases = [
        (prices, S, TRIPLE[2], TRIPLE[3], TRIPLE[4], "ccc"),
        (prices, TRIPLE[1], K, TRIPLE[3], TRIPLE[4], "ccc"),
        (prices, TRIPLE[1], TRIPLE[2], D, TRIPLE[4], "ccc"),
        (prices, TRIPLE[1], TRIPLE[2], TRIPLE[3], TRIPLE[4], ["c", Flag(), "c"]),
        (prices, TRIPLE[1], TRIPLE[2], TRIPLE[3], TRIPLE[4], "cc"),
    ]
    objects = [prices, S, K, D]
    before = [sys.getrefcount(x) for x in objects]
    for args in cases:
        for _ in range(50):
            with pytest.raises((ValueError, TypeError)):
                batch(*args)
    assert [sys.getrefcount(x) for x in objects] == before


# --- arrays changed during a call ------------------------------------------------

FREED = (1, (1,), np.dtype("f8"), False, b"\0" * 8)


@pytest.mark.parametrize("position", range(5))
def test_storage_replaced_by_a_flag_comparison(position):
    """A flag's == replaces the storage of an input array that the batch
    uses in place. The batch has already copied it: the result is that of
    the inputs as they were, and the array is left as the flag made it."""
    args = [np.array(x, dtype=np.float64) for x in chain(300, seed=9)[:5]]
    flags = list(chain(300, seed=9)[5])
    flags[150] = "c"
    want = scalar_loop(*args, flags)
    target = args[position]
    flags[150] = CallingFlag(lambda: target.__setstate__(FREED))
    got = batch(*args, flags)
    assert list(map(bits, got)) == list(map(bits, want))
    assert target.shape == (1,)


def test_storage_replaced_by_another_thread():
    """While batches run, another thread keeps swapping the storage of S_arr
    between its own values and a single zero. Each batch either solves the
    values it copied or refuses the one-element array; nothing else."""
    args = list(chain(2000, seed=4))
    S = np.array(args[1])
    own = S.__reduce__()[2]
    want = batch(*args)
    args[1] = S
    stop = threading.Event()

    def swap():
        # Sleeping with its own values back gives the batches their turn.
        while not stop.is_set():
            S.__setstate__(FREED)
            S.__setstate__(own)
            time.sleep(1e-4)

    swapper = threading.Thread(target=swap)
    swapper.start()
    outcomes = set()
    try:
        for _ in range(40):
            try:
                got = batch(*args)
            except ValueError as exc:
                assert str(exc) == ("vectorized_baw_implied_vol(): S_arr holds 1 elements after "
                                    "conversion, fewer than len(prices) = 2000")
                outcomes.add("refused")
            else:
                assert list(map(bits, got)) == list(map(bits, want))
                outcomes.add("solved")
    finally:
        stop.set()
        swapper.join()
    assert "solved" in outcomes


# --- threads ----------------------------------------------------------------------


def test_concurrent_batches_match_serial():
    chains = [chain(3000, seed=s) for s in range(4)]
    serial = [batch(*c) for c in chains]
    for got, want in zip(call_in_threads(batch, chains), serial):
        np.testing.assert_array_equal(got, want)


def test_python_threads_run_during_a_batch():
    """A pure-Python thread finishes a fixed piece of work while one batch
    runs. Were the lock held for the whole batch, the thread could not start
    before the batch ended, and with a short switch interval the main thread
    would mark the batch done long before the work is through."""
    args = chain(60000, seed=5)
    go = threading.Event()
    batch_done = threading.Event()
    seen_running = []

    def python_work():
        go.wait()
        total = 0
        for i in range(200_000):  # holds the lock throughout, bytecode by bytecode
            total += i
        seen_running.append(not batch_done.is_set())

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    worker = threading.Thread(target=python_work)
    worker.start()
    try:
        go.set()
        batch(*args)
    finally:
        batch_done.set()
        worker.join()
        sys.setswitchinterval(interval)
    assert seen_running == [True]
