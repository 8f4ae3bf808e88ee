"""The market-terms inversions against the core's: the root on the monotone
branch where the approximation's price is not monotone near zero volatility,
no volatility where the price does not move with it, and the core's result
bit for bit everywhere else."""

import math

import numpy as np
import pytest

import vornet
from vornet import IVStatus, _engine

EPS = np.finfo(np.float64).eps
TIME_VALUE_TOL = 1e-10

# A deep out-of-the-money put whose price near zero volatility runs 0.0,
# 0.0072 and 0.0032 at total deviations 1e-9, 1e-8 and 2e-8: the core's
# bracket, which starts at 1e-8, sees no time value in a price of 0.00423.
DIP = dict(S=100.0, K=49.04, T=4.51, r=0.030, q=0.114, kind="p")
# A deep in-the-money short call priced at its floor to the last bit for
# every volatility up to about 0.17.
FLAT = dict(S=100.0, K=73.7, T=0.05, r=0.03, q=0.01, kind="c")


def model_terms(option):
    D = math.exp(-option["r"] * option["T"])
    F = option["S"] * math.exp((option["r"] - option["q"]) * option["T"])
    return D, F


@pytest.mark.parametrize("method", ["exact", "fast"])
def test_a_price_in_the_dip_near_zero_volatility_is_solved(method):
    S, K, T = DIP["S"], DIP["K"], DIP["T"]
    D, F = model_terms(DIP)
    near_zero = [_engine.price(S, K, D, F, s, False) for s in (1e-9, 1e-8, 2e-8)]
    assert near_zero[0] == 0.0 and near_zero[1] > 0.0045 > near_zero[2]
    assert math.isnan(vornet.baw_implied_vol(0.00423, S, K, D, F, "p"))  # the core's answer

    vol, status = vornet.implied_vol(0.00423, **DIP, full_output=True, method=method)
    assert status is IVStatus.SOLVED
    assert vol == pytest.approx(0.036516, abs=1e-6)
    assert vornet.price(**dict(DIP, vol=vol)) == pytest.approx(0.00423, rel=1e-9)
    at_forward = vornet.implied_vol_at_forward(0.00423, S, K, T, D, F, "p", method=method)
    assert at_forward == pytest.approx(vol, abs=2e-9)


@pytest.mark.parametrize("method", ["exact", "fast"])
def test_a_price_that_does_not_move_with_volatility_carries_none(method):
    price = vornet.price(**FLAT, vol=0.1)
    floor = vornet.price(**FLAT, vol=0.0)
    assert price == floor > FLAT["S"] - FLAT["K"]
    assert all(vornet.price(**FLAT, vol=v) == price for v in (1e-9, 0.05, 0.15))

    vol, status = vornet.implied_vol(price, **FLAT, full_output=True, method=method)
    assert status is IVStatus.NO_VOLATILITY_INFO and math.isnan(vol)
    # Where the price has begun to move, the volatility is found again.
    moving = vornet.price(**FLAT, vol=0.25)
    assert vornet.implied_vol(moving, **FLAT, method=method) == pytest.approx(0.25, abs=1e-7)
    with pytest.raises(vornet.ImpliedVolError, match="does not move with volatility") as info:
        vornet.implied_vol([moving, price], **FLAT, errors="raise", method=method)
    assert info.value.position == (1,) and info.value.status is IVStatus.NO_VOLATILITY_INFO


def wide_market(n, seed):
    """(price, S, K, T, D, F, is_call): model prices at volatilities from
    0.3 % to 300 %, a day to ten years, strikes from a twelfth to twelve
    times the spot, rates from -3 % to 20 %, yields from -5 % to 25 %."""
    rng = np.random.default_rng(seed)
    T = np.exp(rng.uniform(np.log(1 / 365), np.log(10.0), n))
    vol = np.exp(rng.uniform(np.log(0.003), np.log(3.0), n))
    r = rng.uniform(-0.03, 0.2, n)
    q = rng.uniform(-0.05, 0.25, n)
    S = 10.0 ** rng.uniform(-1.0, 3.0, n)
    K = S * np.exp(rng.uniform(-2.5, 2.5, n))
    is_call = rng.random(n) < 0.5
    D, F = np.exp(-r * T), S * np.exp((r - q) * T)
    price = _engine.price_forward(S, K, T, D, F, vol, is_call)
    return price, S, K, T, D, F, is_call


def same_price(model, price):
    return np.abs(model - price) <= 4.0 * EPS * price


def test_every_other_option_is_the_cores_bit_for_bit():
    price, S, K, T, D, F, is_call = wide_market(100_000, 20)
    kind = np.where(is_call, "c", "p")
    core_sigma, core_status = _engine.implied_sigma(price, S, K, D, F, is_call, 2)
    vol, status = vornet.implied_vol_at_forward(price, S, K, T, D, F, kind, full_output=True,
                                                workers=2)

    # Where the core's root sits: the prices at half and twice it.
    solved = core_status == IVStatus.SOLVED
    sigma = np.where(solved, core_sigma, 1.0)
    below = _engine.price(S, K, D, F, 0.5 * sigma, is_call)
    above = _engine.price(S, K, D, F, 2.0 * sigma, is_call)
    flat = solved & same_price(below, price) & same_price(above, price)
    wrong_way = ((below > price) & ~same_price(below, price)) | \
        ((above < price) & ~same_price(above, price))
    above_floor = price > _engine.price(S, K, D, F, np.zeros_like(S), is_call) + TIME_VALUE_TOL
    searched = above_floor & ~flat & ((core_status == IVStatus.NO_TIME_VALUE)
                                      | solved & (wrong_way | (core_sigma < 1e-6)))

    untouched = ~flat & ~searched
    core_vol = core_sigma / np.sqrt(T)
    assert np.array_equal(status[untouched], core_status[untouched])
    assert np.array_equal(core_vol[untouched].view(np.int64), vol[untouched].view(np.int64))
    assert (status[flat] == IVStatus.NO_VOLATILITY_INFO).all() and np.isnan(vol[flat]).all()
    assert flat.sum() > 1000

    # The options searched on the monotone branch: solved there, or left as
    # the core had them; a new root reproduces the price, with the price
    # rising through it.
    moved = searched & (status == IVStatus.SOLVED) & (vol != core_vol)
    new_sigma = vol[moved] * np.sqrt(T[moved])
    args = (S[moved], K[moved], D[moved], F[moved])
    at_root = _engine.price(*args, new_sigma, is_call[moved])
    np.testing.assert_allclose(at_root, price[moved], rtol=1e-8)
    assert (_engine.price(*args, 0.5 * new_sigma, is_call[moved]) <= price[moved]).all()
    assert (_engine.price(*args, 2.0 * new_sigma, is_call[moved]) >= price[moved]).all()
    kept = searched & ~moved
    as_core = status[kept] == core_status[kept]
    assert (as_core | (status[kept] == IVStatus.NO_VOLATILITY_INFO)).all()
    assert np.array_equal(vol[kept][as_core].view(np.int64), core_vol[kept][as_core].view(np.int64))
    was_no_time_value = moved & (core_status == IVStatus.NO_TIME_VALUE)
    assert was_no_time_value.sum() > 500
    assert (moved & solved).sum() > 10


def test_the_fast_solver_agrees_with_the_exact_one_on_every_option():
    # Statuses everywhere, values within 2e-9 in total deviation: including
    # the tiny prices where the core's root lies in the noise near 1e-8.
    price, S, K, T, D, F, is_call = wide_market(100_000, 21)
    exact, exact_status = _engine.implied_vol_forward(price, S, K, T, D, F, is_call, 2)
    fast, fast_status = _engine.implied_vol_forward(price, S, K, T, D, F, is_call, 2,
                                                    method="fast")
    np.testing.assert_array_equal(fast_status, exact_status)
    solved = exact_status == IVStatus.SOLVED
    gap = np.abs(fast - exact)[solved] * np.sqrt(T[solved])
    assert gap.max() <= 2e-9
    assert np.isnan(fast[~solved]).all()
    assert set(np.unique(exact_status)) >= {IVStatus.SOLVED, IVStatus.NO_TIME_VALUE,
                                            IVStatus.NO_VOLATILITY_INFO}
