"""baw_implied_vol: round trips, figures, failures and bad input."""

import itertools
import math

import numpy as np
import pytest

import reference
from helpers import random_options, same_number
from vornet.vornet_core import baw_implied_vol, baw_price

NAN = float("nan")
D5 = math.exp(-0.05)
SIG = 0.25 * math.sqrt(0.5)


def exercise(S, K, flag):
    return max(S - K, 0.0) if flag == "c" else max(K - S, 0.0)


GRID = list(itertools.product(
    [0.6, 0.8, 0.95, 1.0, 1.05, 1.25, 1.6],   # K / S
    [0.02, 0.25, 1.0, 5.0],                   # years
    [0.0, 0.03, 0.1],                         # rate
    [-0.05, 0.0, 0.03, 0.1],                  # carry
    [0.05, 0.2, 0.6, 1.5],                    # volatility
))


@pytest.mark.parametrize("flag", ["c", "p"])
def test_round_trips_over_a_grid(flag):
    """Model prices invert to the volatility they came from, to the root
    finder's tolerance, wherever the price carries time value and moves with
    volatility (elsewhere the volatility cannot be told from the price)."""
    S, solved = 100.0, 0
    for moneyness, years, rate, carry, vol in GRID:
        K, D, F = S * moneyness, math.exp(-rate * years), S * math.exp(carry * years)
        sigma = vol * math.sqrt(years)
        price = baw_price(S, K, D, F, sigma, flag)
        vega = (baw_price(S, K, D, F, sigma * 1.001, flag)
                - baw_price(S, K, D, F, sigma * 0.999, flag)) / (0.002 * sigma)
        if price - exercise(S, K, flag) < 1e-6 or vega < 1e-4:
            continue
        got = baw_implied_vol(price, S, K, D, F, flag)
        assert got == pytest.approx(sigma, abs=2e-10 * (1 + sigma)), (
            moneyness, years, rate, carry, vol)
        solved += 1
    assert solved > 900


def test_bracket_doubles_up_to_eight_and_no_further():
    call = (100.0, 100.0, 0.95, 98.0, "c")
    prices = [baw_price(*call[:4], s, "c") for s in (1.0, 2.0, 4.0, 8.0)]
    assert prices == pytest.approx([36.0188, 65.1074, 92.4148, 98.5963], abs=5e-5)
    assert baw_implied_vol(98.5, *call) == pytest.approx(7.6681, abs=5e-5)
    # the model reaches 99 below sigma 16, but 16 is beyond the cap
    assert baw_price(*call[:4], 16.0, "c") > 99.0
    assert math.isnan(baw_implied_vol(99.0, *call))


def test_price_at_sigma_one_needs_no_doubling():
    price = baw_price(100.0, 100.0, 0.95, 98.0, 1.0, "c")
    assert baw_implied_vol(price, 100.0, 100.0, 0.95, 98.0, "c") == pytest.approx(1.0, abs=1e-9)


@pytest.mark.parametrize("D, F", [(0.95, 110.0), (0.5, 80.0), (1.0, 130.0)])
@pytest.mark.parametrize("price", [10.0, 10.0 + 1e-10, 9.0, 0.0, -3.0])
def test_no_time_value_is_zero(price, D, F):
    assert baw_implied_vol(price, 110.0, 100.0, D, F, "c") == 0.0


@pytest.mark.parametrize("price", [0.0, -1.0, 1e-11, 1e-10])
@pytest.mark.parametrize("flag", ["c", "p"])
def test_worthless_out_of_the_money_prices_are_zero(price, flag):
    K = 130.0 if flag == "c" else 70.0
    assert baw_implied_vol(price, 100.0, K, 0.95, 100.0, flag) == 0.0


def test_small_time_value_solves():
    assert baw_implied_vol(10.5, 110.0, 100.0, 0.95, 110.0, "c") == pytest.approx(0.0936, abs=5e-5)


def test_sign_test_failure_is_nan():
    """Carry above the rate: the call is European at 19.8 already at sigma
    1e-8, far above its exercise value 10, so 14.9 has no solution."""
    assert baw_price(110.0, 100.0, 0.99, 120.0, 1e-8, "c") == pytest.approx(19.8)
    assert math.isnan(baw_implied_vol(14.9, 110.0, 100.0, 0.99, 120.0, "c"))


def test_undiscounted_inverts_black76():
    price = baw_price(100.0, 100.0, 1.0, 100.0, 0.3, "c")
    assert baw_implied_vol(price, 100.0, 100.0, 1.0, 100.0, "c") == pytest.approx(0.3, abs=1e-9)


@pytest.mark.parametrize("position", range(5))
def test_nan_inputs_give_nan(position):
    """A NaN anywhere leaves no sign change to find: the answer is NaN (not
    the root finder's 0.0 for "no sign change", which would read as a price
    without time value)."""
    args = [5.0, 100.0, 100.0, 0.95, 98.0]
    args[position] = NAN
    if position == 1:  # a NaN spot makes the exercise value 0 and goes on
        args[0] = 5.0
    result = baw_implied_vol(*args, "p")
    assert math.isnan(result)


def test_failures_are_positive_quiet_nan():
    result = baw_implied_vol(99.0, 100.0, 100.0, 0.95, 98.0, "c")
    assert math.isnan(result) and math.copysign(1.0, result) == 1.0
    assert type(result) is float


@pytest.mark.parametrize("flag", ["C", "p", None, 1, b"c"])
def test_only_c_solves_a_call(flag):
    put_price = baw_price(100.0, 100.0, 0.95, 98.0, 0.2, "p")
    assert baw_implied_vol(put_price, 100.0, 100.0, 0.95, 98.0, flag) == pytest.approx(0.2, abs=1e-9)


def test_raising_flag_comparison(raises_at):
    class Flag:
        def __eq__(self, other):
            raise KeyError("flag")

    raises_at(KeyError, "baw_implied_vol", 412, baw_implied_vol, 6.9, 100, 100, 0.95, 98, Flag())


def test_bit_for_bit_against_the_python_rendering():

    rng = np.random.default_rng(7)
    for S, K, D, F, sigma in random_options(120, seed=3):
        for flag, code in (("c", 1), ("p", -1)):
            price = baw_price(S, K, D, F, sigma, flag) * float(rng.choice([1.0, 1.01, 0.99]))
            got = baw_implied_vol(price, S, K, D, F, flag)
            want = reference.implied_vol(price, S, K, D, F, code)
            want = math.nan if want < 0 else want
            assert same_number(got, want), (price, S, K, D, F, flag, got, want)
