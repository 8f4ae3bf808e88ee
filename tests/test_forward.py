"""find_forward_baw: recovery of known forwards, the search's edge values,
strike bands, binding, and threads."""

import math

import numpy as np
import pytest

import reference
from helpers import call_in_threads
from vornet import baw_implied_vol, baw_price, find_forward_baw

EMPTY_AT_100 = 102.99999677505701


def synthetic_chain(S, years, rate, carry, strikes, vol=lambda K: 0.25):
    D = math.exp(-rate * years)
    F = S * math.exp(carry * years)
    sigma = [vol(K) * math.sqrt(years) for K in strikes]
    calls = [baw_price(S, K, D, F, s, "c") for K, s in zip(strikes, sigma)]
    puts = [baw_price(S, K, D, F, s, "p") for K, s in zip(strikes, sigma)]
    return calls, puts, D, F


@pytest.mark.parametrize("years", [0.05, 0.5, 2.0])
@pytest.mark.parametrize("rate, carry", [(0.05, 0.02), (0.02, 0.06), (0.04, -0.03), (0.0, 0.0)])
@pytest.mark.parametrize("skew", [0.0, -0.4], ids=["flat", "skew"])
def test_recovers_the_forward(years, rate, carry, skew):
    S = 100.0
    strikes = np.arange(70.0, 130.5, 2.5)
    vol = lambda K: 0.25 + skew * math.log(K / S)
    calls, puts, D, F = synthetic_chain(S, years, rate, carry, strikes, vol)
    found = find_forward_baw(calls, puts, strikes, S, D)
    assert abs(found / F - 1) < 3e-4, (found, F)


def test_wider_first_band_and_arrays_of_any_dtype():
    S = 100.0
    strikes = np.arange(80, 121, 1, dtype=np.int64)
    calls, puts, D, F = synthetic_chain(S, 1.0, 0.03, 0.01, strikes)
    found = find_forward_baw(np.array(calls, dtype=np.float32), tuple(puts), strikes, S, D,
                             0.05)
    assert abs(found / F - 1) < 3e-4


@pytest.mark.parametrize(
    "calls, puts, strikes, S, D, expected",
    [
        ([], [], [], 100.0, 0.99, EMPTY_AT_100),                # walks to the upper end
        ([0.0], [200.0], [100.0], 100.0, 1.0, -99.29179606750063),  # F_init -100
        ([0.0], [100.0], [100.0], 100.0, 1.0, 0.0),              # F_init 0
    ],
    ids=["empty", "negative-guess", "zero-guess"],
)
def test_edge_values(calls, puts, strikes, S, D, expected):
    result = find_forward_baw(calls, puts, strikes, S, D)
    assert result == expected and type(result) is float


@pytest.mark.parametrize("D, call", [(0.0, 1.0), (0.0, 3.0), (math.nan, 1.0)])
def test_non_finite_guess_gives_nan(D, call):
    assert math.isnan(find_forward_baw([call], [2.0], [100.0], 100.0, D))


def walk(chosen, D=0.99):
    """The result for quotes that never solve (every evaluation is 1e10):
    the walk to the upper end from the parity guess over `chosen`, which is
    what an empty search from spot = that guess gives."""
    total = 0.0
    for K in chosen:
        total += ((0.0 - 0.0) / D) + K
    return find_forward_baw([], [], [], total / len(chosen), D)


@pytest.mark.parametrize(
    "strikes, strike_pct, chosen",
    [
        ([90.0, 96.0, 105.0, 110.0], 0.01, [96.0, 105.0]),   # 1 % and 2 % empty, 5 % holds
        ([90.0, 96.0, 105.0, 110.0], 0.03, [96.0, 105.0]),   # 3 %, then 2 %, then 5 %
        ([90.0, 96.0, 105.0, 113.0], 0.12, [90.0, 96.0, 105.0]),  # wide first band
        ([80.0, 99.5, 104.0], math.nan, [99.5]),              # NaN band fails, 2 % holds
        ([math.nan, 101.0, 150.0], 0.01, [101.0]),            # NaN strikes never chosen
        ([math.nan, 190.0], 0.01, [190.0]),                   # the 100 % band
        ([300.0, 400.0, 450.0], 0.01, [300.0, 400.0, 450.0]),  # none within 2 S: all
    ],
)
def test_strike_bands(strikes, strike_pct, chosen):
    zeros = [0.0] * len(strikes)
    assert find_forward_baw(zeros, zeros, strikes, 100.0, 0.99, strike_pct) == walk(chosen)


def test_band_bounds_are_inclusive():
    S, pct = 100.0, 0.03
    lo, hi = (1 - pct) * S, (1 + pct) * S
    strikes = [lo, hi, 50.0]
    assert find_forward_baw([0.0] * 3, [0.0] * 3, strikes, S, 0.99, pct) == walk([lo, hi])


BANDS = [0.02, 0.05, 0.1, 0.2, 0.5, 1.0]


@pytest.mark.parametrize("band", range(len(BANDS)), ids=[f"{b:g}" for b in BANDS])
def test_each_band_of_the_widening_sequence(band):
    """A strike that this band is the first to hold, and one just beyond it
    (beyond 2 S for the last band): the search stops at this band, so only
    the first strike is chosen."""
    S = 100.0
    below = ([0.01] + BANDS)[band]
    above = (BANDS + [2.0])[band + 1]
    inside = S * (1 + (below + BANDS[band]) / 2)
    beyond = S * (1 + (BANDS[band] + above) / 2)
    zeros = [0.0, 0.0]
    assert find_forward_baw(zeros, zeros, [inside, beyond], S, 0.99) == walk([inside])


def test_parity_guess_uses_every_chosen_strike():
    """The second strike's quotes never solve, but its parity estimate still
    moves the guess and so the bracket."""
    S, D = 100.0, 0.99
    calls, puts, _, _ = synthetic_chain(S, 0.5, 0.02, 0.02, [100.0])
    calls, puts, strikes = calls + [0.0], puts + [0.0], [100.0, 100.5]
    assert find_forward_baw(calls, puts, strikes, S, D) == \
        reference.find_forward(calls, puts, strikes, S, D)


def test_strikes_without_time_value_are_left_out():
    """A call quoted at exactly its exercise value solves to 0.0 at every
    forward; that strike stays out of the mean gap."""
    S, strikes = 100.0, [99.5, 100.0, 100.5]
    calls, puts, D, F = synthetic_chain(S, 0.25, 0.03, 0.01, strikes)
    calls[0] = S - strikes[0]
    assert baw_implied_vol(calls[0], S, strikes[0], D, F, "c") == 0.0
    assert find_forward_baw(calls, puts, strikes, S, D) == \
        reference.find_forward(calls, puts, strikes, S, D)


def test_search_that_never_converges_stops_after_100_iterations():
    """Near the top of the double range the midpoint of the bracket
    overflows, the stopping test never passes and the walk up ends only at
    the iteration cap, each further iteration moving it."""
    result = find_forward_baw([], [], [], 1e308, 0.99)
    assert math.isfinite(result)
    assert result == reference.find_forward([], [], [], 1e308, 0.99)


def test_default_is_fixed():
    calls, puts, D, _ = synthetic_chain(100.0, 0.5, 0.03, 0.01, [95.0, 100.0, 104.0])
    expected = find_forward_baw(calls, puts, [95.0, 100.0, 104.0], 100.0, D, 0.01)
    assert find_forward_baw.__defaults__ == (0.01,)
    try:
        find_forward_baw.__defaults__ = (0.5,)
        assert find_forward_baw(calls, puts, [95.0, 100.0, 104.0], 100.0, D) == expected
    finally:
        find_forward_baw.__defaults__ = (0.01,)


# --- binding and failures ---------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (([], [], [], 100.0), {},
         "find_forward_baw() takes at least 5 positional arguments (4 given)"),
        (([], [], [], 100.0, 0.99, 0.01, 7), {},
         "find_forward_baw() takes at most 6 positional arguments (7 given)"),
        (([], [], []), dict(D=0.99),
         "find_forward_baw() takes at least 5 positional arguments (3 given)"),
        (([], [], [], 100.0, 0.99), dict(strike=0.1),
         "find_forward_baw() got an unexpected keyword argument 'strike'"),
    ],
)
def test_binding_errors(raises_at, args, kwargs, message):
    raises_at(TypeError, "find_forward_baw", 579, find_forward_baw, *args, message=message,
              **kwargs)


def test_keywords():
    assert find_forward_baw(strike_pct=0.01, D=0.99, S=100.0, strikes=[], put_prices=[],
                            call_prices=[]) == EMPTY_AT_100


@pytest.mark.parametrize(
    "calls, puts, strikes, exc, line",
    [
        (["a"], [1.0], [100.0], ValueError, 582),
        ([1.0], [[1.0], [2.0, 3.0]], [100.0], ValueError, 583),
        ([1.0], [1.0], [object()], TypeError, 584),
        ([1.0, 2.0], [1.0], [100.0], IndexError, 596),
        ([1.0], [1.0], [100.0, 101.0], IndexError, 596),
        ([1.0, 2.0], [1.0], [100.0, 101.0], IndexError, 597),
        (np.ones((2, 2)), np.ones((2, 2)), np.full((2, 2), 100.0), None, None),
    ],
)
def test_array_failures(raises_at, calls, puts, strikes, exc, line):
    if exc is None:  # 2-D input: boolean indexing flattens it, the search runs
        assert math.isfinite(find_forward_baw(calls, puts, strikes, 100.0, 0.99))
        return
    raises_at(exc, "find_forward_baw", line, find_forward_baw, calls, puts, strikes, 100.0, 0.99)


def test_bit_for_bit_against_the_python_rendering():
    for years, rate, carry, strikes in [(0.25, 0.03, 0.01, [99.5, 100.0, 100.5]),
                                        (1.0, 0.01, 0.05, [95.0, 100.0, 105.0])]:
        calls, puts, D, _ = synthetic_chain(100.0, years, rate, carry, strikes,
                                            vol=lambda K: 0.2 + 0.002 * (100.0 - K))
        calls[0] *= 1.01  # a chain that is not exactly consistent
        assert find_forward_baw(calls, puts, strikes, 100.0, D) == \
            reference.find_forward(calls, puts, strikes, 100.0, D)


def test_concurrent_searches_match_serial():
    chains = []
    for i in range(6):
        strikes = np.arange(90.0, 110.5, 0.5)
        calls, puts, D, _ = synthetic_chain(100.0, 0.25 + 0.25 * i, 0.03, 0.01 * i, strikes)
        chains.append((calls, puts, strikes, 100.0, D, 0.02))
    serial = [find_forward_baw(*c) for c in chains]
    assert call_in_threads(find_forward_baw, chains) == serial
