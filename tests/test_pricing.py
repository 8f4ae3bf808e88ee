"""American prices of baw_price against published and independent figures."""

import math

import numpy as np
import pytest
from scipy.special import ndtr

import reference
from helpers import bits, random_options, same_number
from vornet.vornet_core import baw_price

D5 = math.exp(-0.05)              # r = 5 %, T = 1
SIG = 0.25 * math.sqrt(0.5)       # 25 % volatility over half a year
NAN = float("nan")


def black76(K, D, F, sigma, flag):
    """Independent Black-76 (SciPy's normal distribution)."""
    d1 = math.log(F / K) / sigma + sigma / 2
    d2 = d1 - sigma
    if flag == "c":
        return D * (F * ndtr(d1) - K * ndtr(d2))
    return D * (K * ndtr(-d2) - F * ndtr(-d1))


@pytest.mark.parametrize(
    "S, K, D, F, sigma, flag, american, european",
    [
        (100, 100, D5, 100, SIG, "c", 6.8013, 6.6997),
        (100, 100, D5, 100, SIG, "p", 6.8013, 6.6997),
        (100, 100, D5, 100 / D5, SIG, "p", 5.2295, 4.7052),
        (100, 100, D5, 100 / D5, SIG, "c", 9.5822, 9.5822),
        (100, 100, 0.95, 98, 0.2, "c", 6.9034, 6.5797),
        (100, 100, 0.95, 98, 0.2, "p", 8.5150, 8.4797),
    ],
)
def test_published_figures(S, K, D, F, sigma, flag, american, european):
    assert baw_price(S, K, D, F, sigma, flag) == pytest.approx(american, abs=5e-5)
    # Undiscounted and at the money, the price is Black-76's.
    assert baw_price(S, K, 1.0, F, sigma, flag) * D == pytest.approx(european, abs=5e-5)


def test_deep_put_below_critical_price_is_exercised():
    assert baw_price(60.0, 100.0, D5, 60.0 / D5, SIG, "p") == 40.0


@pytest.mark.parametrize(
    "S, K, D, F, flag",
    [
        (200.0, 100.0, 0.9, 190.0, "c"),  # carry below the rate, far in the money
        (300.0, 100.0, 0.8, 250.0, "c"),
        (20.0, 100.0, 0.9, 21.0, "p"),
        (5.0, 100.0, 0.5, 6.0, "p"),
    ],
)
def test_beyond_the_critical_price_the_exercise_value_is_undiscounted(S, K, D, F, flag):
    price = baw_price(S, K, D, F, 0.2, flag)
    assert price == (S - K if flag == "c" else K - S)
    assert price > black76(K, D, F, 0.2, flag)


@pytest.mark.parametrize("sigma", [0.0, -0.3, -math.inf])
@pytest.mark.parametrize(
    "S, K, flag, expected",
    [(110.0, 100.0, "c", 10.0), (90.0, 100.0, "p", 10.0), (90.0, 100.0, "c", 0.0),
     (110.0, 100.0, "p", 0.0), (100.0, 100.0, "c", 0.0)],
)
@pytest.mark.parametrize("D, F", [(0.5, 3.0), (1.2, 500.0), (0.95, 100.0)])
def test_zero_volatility_is_exercise_or_discounted_forward_value(S, K, flag, expected, sigma, D, F):
    """The larger of the exercise value on the spot (`expected`) and the
    discounted intrinsic value on the forward."""
    held = max((F - K) * D if flag == "c" else (K - F) * D, 0.0)
    price = baw_price(S, K, D, F, sigma, flag)
    assert price == max(expected, held) and math.copysign(1.0, price) == 1.0


@pytest.mark.parametrize("D", [1.0, 1.01, 2.0])
@pytest.mark.parametrize("K", [60.0, 100.0, 140.0])
def test_no_discounting_gives_black76_at_least_exercise(K, D):
    call = baw_price(100.0, K, D, 105.0, 0.3, "c")
    put = baw_price(100.0, K, D, 105.0, 0.3, "p")
    european_put = black76(K, D, 105.0, 0.3, "p")
    assert call == pytest.approx(black76(K, D, 105.0, 0.3, "c"), rel=1e-13, abs=1e-13)
    assert put == pytest.approx(max(european_put, K - 100.0), rel=1e-13, abs=1e-13)
    if european_put > K - 100.0:
        assert call - put == pytest.approx(D * (105.0 - K), rel=1e-13, abs=1e-12)


@pytest.mark.parametrize("F", [100.0 / D5, 120.0])
def test_call_with_carry_at_least_the_rate_is_european(F):
    call = baw_price(100.0, 100.0, D5, F, SIG, "c")
    assert call == pytest.approx(black76(100.0, D5, F, SIG, "c"), rel=1e-13)
    assert baw_price(100.0, 100.0, D5, F, SIG, "p") > black76(100.0, D5, F, SIG, "p")


@pytest.mark.parametrize("K", [1e3, 1e4, 1e6, 1e7, 1e8, 1e9])
def test_far_tail_of_the_normal_distribution(K):
    """Deep out of the money the prices come from the tail series of N(x)
    (x <= -10); they agree with an independent N to near double precision."""
    call = baw_price(100.0, K, 1.0, 100.0, 1.0, "c")
    put = baw_price(100.0, 100.0 * 100.0 / K, 1.0, 100.0, 1.0, "p")
    d1 = math.log(100.0 / K) + 0.5
    assert call == pytest.approx(100.0 * ndtr(d1) - K * ndtr(d1 - 1.0), rel=1e-9)
    assert put > 0.0
    assert put == pytest.approx(black76(100.0 * 100.0 / K, 1.0, 100.0, 1.0, "p"), rel=1e-9)


@pytest.mark.parametrize("flag", ["c", "p"])
def test_tail_series_bit_for_bit(flag):
    """Out of the money with d1 and d2 from -10 down to about -38, where N
    comes from the tail series: its stopping rule decides the last bits,
    mostly just beyond -10, where the grid is densest."""
    F, sigma = 100.0, 0.01
    grid = np.concatenate([np.linspace(-10.0, -11.0, 2001), np.linspace(-11.0, -38.0, 271)])
    for d1 in grid:
        K = F * math.exp(sigma * (0.5 * sigma - d1))
        if flag == "p":
            K = F * F / K
        got = baw_price(F, K, 1.0, F, sigma, flag)
        want = reference.black76(K, 1.0, F, sigma, 1 if flag == "c" else -1)
        assert bits(got) == bits(want), (d1, got, want)


def test_tail_seam_and_underflow():
    """Around d2 = -10 the two branches of N(x) meet smoothly; far beyond
    x = -38.5 the density underflows and the price is +0.0."""
    K_seam = 100.0 * math.exp(10.0 - 0.5)  # d2 = -10 at F = 100, sigma = 1
    prices = [baw_price(100.0, K_seam * f, 1.0, 100.0, 1.0, "c")
              for f in (1 - 1e-9, 1.0, 1 + 1e-9)]
    assert prices[0] > prices[1] > prices[2] > 0.0
    assert prices[1] == pytest.approx(black76(K_seam, 1.0, 100.0, 1.0, "c"), rel=1e-9)
    far = baw_price(100.0, 100.0 * math.exp(45.0), 1.0, 100.0, 1.0, "c")
    assert far == 0.0 and math.copysign(1.0, far) == 1.0


def test_call_critical_price_fallback():
    """With the carry a hair below the rate, g_c stays positive up to the last
    probe 2^20 K, so the critical price is taken as 2^21 K = 2097152 K. The
    spot sits between the two so that the premium is large."""
    S, K, D, sigma = 1.5e8, 100.0, math.exp(-0.5), 0.3
    F = S * math.exp(0.5 * (1 - 1e-7))
    rho = F / S
    beta = (math.log(rho) + math.log(rho)) / (sigma * sigma) - 1.0
    delta = (((math.log(D) * -2.0) / (sigma * sigma)) * 4.0) / (1.0 - D) + beta * beta
    q2 = (-beta + math.sqrt(delta)) * 0.5
    european = black76(K, D, F, sigma, "c")

    def premium(s_star):
        d1 = math.log((s_star * rho) / K) / sigma + sigma * 0.5
        A2 = (1.0 - ndtr(d1) * (D * rho)) * (s_star / q2)
        return A2 * (S / s_star) ** q2

    price = baw_price(S, K, D, F, sigma, "c")
    assert premium(2097152.0 * K) > 1.0
    assert price - european == pytest.approx(premium(2097152.0 * K), rel=1e-6)
    assert price - european != pytest.approx(premium(1048576.0 * K), rel=1e-3)


@pytest.mark.parametrize("position", range(5))
@pytest.mark.parametrize("flag", ["c", "p"])
def test_nan_inputs_flow_through(position, flag):
    args = [100.0, 100.0, 0.95, 98.0, 0.2]
    args[position] = NAN
    assert math.isnan(baw_price(*args, flag))


def test_bit_for_bit_against_the_python_rendering():
    for S, K, D, F, sigma in random_options(400, seed=20261208):
        for flag, code in (("c", 1), ("p", -1)):
            got = baw_price(S, K, D, F, sigma, flag)
            want = reference.baw_price(S, K, D, F, sigma, code)
            assert same_number(got, want), (S, K, D, F, sigma, flag, got, want)
