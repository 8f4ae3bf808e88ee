"""Infinite and NaN inputs against the Python rendering, the no-arbitrage
bounds of the American price, and NaN in every input."""

import itertools
import math

import numpy as np
import pytest
from scipy.special import ndtr

import reference
from helpers import bits
from vornet.vornet_core import (baw_implied_vol, baw_price, find_forward_baw,
                                vectorized_baw_implied_vol)

INF = math.inf
NAN = math.copysign(math.nan, 1.0)
NEG_NAN = math.copysign(math.nan, -1.0)
SPECIALS = [INF, -INF, NAN, NEG_NAN]
FLAGS = [("c", 1), ("p", -1)]

# S, K, D, F, sigma: at, out of and in the money; discounting, none and
# negative rates.
BASES = [
    (100.0, 100.0, 0.95, 98.0, 0.2),
    (100.0, 120.0, 0.9, 105.0, 0.3),
    (100.0, 80.0, 0.97, 99.0, 0.25),
    (100.0, 100.0, 1.0, 98.0, 0.2),
    (100.0, 100.0, 1.02, 101.0, 0.2),
]


def sign_bit(x):
    return int(bits(x) < 0)


class _Traced(float):
    """A float that notes when a sum or a product meets two NaNs of opposite
    sign. Which of the two comes out is left open by IEEE arithmetic, and
    compilers pick either operand (CPython as well as this module), so the
    sign of such a NaN is not fixed by the formulas; every other sign is."""

    mixed = False

    @classmethod
    def _note(cls, a, b):
        if a != a and b != b and sign_bit(a) != sign_bit(b):
            cls.mixed = True

    def __add__(self, other):
        self._note(self, float(other))
        return _Traced(float(self) + float(other))

    def __radd__(self, other):
        self._note(self, float(other))
        return _Traced(float(other) + float(self))

    def __mul__(self, other):
        self._note(self, float(other))
        return _Traced(float(self) * float(other))

    def __rmul__(self, other):
        self._note(self, float(other))
        return _Traced(float(other) * float(self))

    def __sub__(self, other):
        return _Traced(float(self) - float(other))

    def __rsub__(self, other):
        return _Traced(float(other) - float(self))

    def __truediv__(self, other):
        return _Traced(float(self) / float(other))

    def __rtruediv__(self, other):
        return _Traced(float(other) / float(self))

    def __neg__(self):
        return _Traced(-float(self))

    def __abs__(self):
        return _Traced(abs(float(self)))


class _TracedMath:
    """The math module, its float results traced."""

    def __getattr__(self, name):
        attr = getattr(math, name)
        if not callable(attr):
            return attr

        def call(*args):
            result = attr(*(float(a) for a in args))
            return _Traced(result) if isinstance(result, float) else result

        return call


@pytest.fixture
def traced_reference(monkeypatch):
    """reference.baw_price and reference.implied_vol run on traced floats:
    each returns (value, whether two NaNs of opposite sign met)."""
    monkeypatch.setattr(reference, "math", _TracedMath())

    def run(function, *args):
        _Traced.mixed = False
        value = function(*(_Traced(a) if isinstance(a, float) else a for a in args))
        return float(value), _Traced.mixed

    return run


def assert_same_double(got, want, sign_fixed, context):
    """Bit for bit; for NaN, the sign bit wherever the arithmetic fixes it."""
    if got != got and want != want and not sign_fixed:
        return
    assert bits(got) == bits(want), (context, got, want, hex(bits(got)), hex(bits(want)))


def special_price_cases():
    for base in BASES:
        for position, value in itertools.product(range(5), SPECIALS):
            args = list(base)
            args[position] = value
            yield tuple(args)


def test_traced_reference_is_the_reference(traced_reference):
    """The tracing changes no value: it agrees with the plain rendering."""
    for args in itertools.islice(special_price_cases(), 0, None, 7):
        for _, code in FLAGS:
            value, _ = traced_reference(reference.baw_price, *args, code)
            assert bits(value) == bits(reference.baw_price(*args, code))


@pytest.mark.parametrize("flag, code", FLAGS)
def test_price_with_infinite_and_nan_inputs_is_the_rendering(traced_reference, flag, code):
    """Every input position, both NaN signs: the compiled arithmetic is the
    arithmetic as written, down to the sign bit of NaN."""
    fixed = 0
    for args in special_price_cases():
        want, mixed = traced_reference(reference.baw_price, *args, code)
        assert_same_double(baw_price(*args, flag), want, not mixed, (args, flag))
        fixed += not mixed
    assert fixed >= 80  # the NaN sign is checked in most cases


def test_negated_nan_put_on_infinite_strike():
    """The strike's objective is NaN at both ends of the put's bracket; with
    the sign of NaN as written the root finder sees no sign change and the
    price is the (infinite) European value."""
    assert baw_price(100.0, INF, 0.95, 100.0, 0.2, "p") == INF
    assert reference.baw_price(100.0, INF, 0.95, 100.0, 0.2, -1) == INF


def special_implied_vol_cases():
    for base in BASES:
        S, K, D, F, sigma = base
        for flag, code in FLAGS:
            price = baw_price(S, K, D, F, sigma, flag)
            for position, value in itertools.product(range(5), SPECIALS):
                args = [price, S, K, D, F]
                args[position] = value
                yield tuple(args), flag, code


def test_implied_vol_with_infinite_and_nan_inputs_is_the_rendering(traced_reference):
    cases = list(special_implied_vol_cases())
    wanted = []
    for args, flag, code in cases:
        raw, mixed = traced_reference(reference.implied_vol, *args, code)
        want = math.nan if raw < 0 else raw
        assert_same_double(baw_implied_vol(*args, flag), want, not mixed, (args, flag))
        wanted.append(want)
    columns = [np.array(column) for column in zip(*(args for args, _, _ in cases))]
    flags = [flag for _, flag, _ in cases]
    got = vectorized_baw_implied_vol(*columns, flags)
    scalar = np.array([baw_implied_vol(*args, flag) for args, flag, _ in cases])
    np.testing.assert_array_equal(got.view(np.int64), scalar.view(np.int64))


# ---------------------------------------------------------------- bounds


def black76(K, D, F, sigma, flag):
    """Independent Black-76 (SciPy's normal distribution); at sigma = 0 the
    discounted intrinsic value on the forward."""
    if sigma == 0.0:
        return max(D * (F - K), 0.0) if flag == "c" else max(D * (K - F), 0.0)
    d1 = math.log(F / K) / sigma + sigma / 2
    d2 = d1 - sigma
    if flag == "c":
        return D * (F * ndtr(d1) - K * ndtr(d2))
    return D * (K * ndtr(-d2) - F * ndtr(-d1))


def exercise(S, K, flag):
    return max(S - K, 0.0) if flag == "c" else max(K - S, 0.0)


RATES = [-0.05, -0.01, 0.0, 1e-9, 0.02, 0.1]


def bound_cases(rate):
    """(S, K, D, F, sigma) over strikes, carry, volatility and expiry."""
    S = 100.0
    for K, carry, vol, years in itertools.product(
            [50.0, 80.0, 95.0, 100.0, 105.0, 120.0, 200.0],
            [-0.08, -0.02, 0.0, 0.03, 0.12],
            [0.0, 1e-12, 1e-9, 1e-6, 0.01, 0.2, 0.8],
            [0.1, 1.0, 4.0]):
        yield S, K, math.exp(-rate * years), S * math.exp(carry * years), vol * math.sqrt(years)


def below_bounds(S, K, D, F, sigma, flag):
    price = baw_price(S, K, D, F, sigma, flag)
    floor = max(exercise(S, K, flag), black76(K, D, F, sigma, flag))
    return price < floor - 1e-12 * max(1.0, floor)


@pytest.mark.parametrize("flag", ["c", "p"])
@pytest.mark.parametrize("rate", RATES)
def test_american_price_is_within_its_bounds(flag, rate):
    """Never below exercising now, never below the European value (within
    rounding): D on both sides of 1 (and exactly 1), carry above and below
    the rate, volatility down to zero, where with discounting the
    approximation's exponents lose their precision."""
    checked = 0
    for S, K, D, F, sigma in bound_cases(rate):
        assert not below_bounds(S, K, D, F, sigma, flag), (S, K, D, F, sigma, flag)
        checked += 1
    assert checked == 735


def test_vanishing_volatility_with_discounting_is_floored():
    """A deep in-the-money call at sigma near 1e-12: the approximation
    falls back to the European value, 49.80, below the exercise value 50,
    which is the price."""
    S, K, D, F = 100.0, 50.0, math.exp(-0.01), 100.0 * math.exp(0.003)
    assert black76(K, D, F, 1e-12, "c") < 50.0
    assert baw_price(S, K, D, F, 1e-12, "c") == 50.0


@pytest.mark.parametrize(
    "args, expected",
    [
        # no discounting, dividends: exercising now beats the European value
        ((100.0, 80.0, 1.0, 100.0 * math.exp(-0.02), 0.2, "c"), 20.0),
        ((100.0, 80.0, 1.01, 100.0 * math.exp(-0.02), 0.2, "c"), 20.0),
        ((100.0, 130.0, 1.02, 101.0, 0.1, "p"), 30.0),
        # zero volatility: the discounted intrinsic value on the forward
        ((100.0, 100.0, 0.95, 100.0 / 0.95, 0.0, "c"), 0.95 * (100.0 / 0.95 - 100.0)),
        ((100.0, 100.0, 0.95, 90.0, -0.1, "p"), 0.95 * (100.0 - 90.0)),
        ((100.0, 100.0, 1.2, 500.0, 0.0, "c"), (500.0 - 100.0) * 1.2),
    ],
)
def test_floors_that_bind(args, expected):
    assert baw_price(*args) == expected
    S, K, D, F, sigma, flag = args
    assert baw_price(*args) == reference.baw_price(S, K, D, F, sigma, 1 if flag == "c" else -1)


def test_floor_is_continuous_in_the_rate_and_volatility():
    """Zero rate and zero volatility now join their neighbours."""
    call = (100.0, 80.0, None, 100.0 * math.exp(-0.02), 0.2, "c")
    at_one = baw_price(100.0, 80.0, 1.0, call[3], 0.2, "c")
    near_one = baw_price(100.0, 80.0, math.exp(-1e-6), call[3], 0.2, "c")
    assert 20.0 == at_one <= near_one < 20.3
    zero = baw_price(100.0, 100.0, 0.95, 100.0 / 0.95, 0.0, "c")
    tiny = baw_price(100.0, 100.0, 0.95, 100.0 / 0.95, 1e-12, "c")
    assert zero == pytest.approx(5.0, abs=1e-12) and tiny == pytest.approx(zero, abs=1e-12)


@pytest.mark.parametrize("D", [1.0, 1.02])
def test_implied_vol_above_the_floor_at_no_discounting(D):
    """Where the exercise value floors the model price for small sigma, a
    price above it still inverts to the sigma it came from; a price between
    the exercise value and the model's lowest price has no solution."""
    S, K, F = 100.0, 80.0, 100.0 * math.exp(-0.02)
    for sigma in (0.3, 0.6, 1.5):
        price = baw_price(S, K, D, F, sigma, "c")
        assert price > 20.0
        assert baw_implied_vol(price, S, K, D, F, "c") == pytest.approx(sigma, abs=1e-9)
    assert baw_implied_vol(20.0, S, K, D, F, "c") == 0.0
    assert baw_implied_vol(20.0 + 1e-10, S, K, D, F, "c") == 0.0


# ---------------------------------------------------------------- NaN in, NaN out


PRICE_BASES = BASES + [
    (100.0, 100.0, 0.95, 98.0, 0.0),       # zero volatility
    (100.0, 100.0, 0.95, 98.0, -0.2),      # negative volatility
    (1e9, 100.0, 0.9, 1.1e9, 0.2),         # call beyond its fallback critical spot
]


@pytest.mark.parametrize("flag", ["c", "p"])
@pytest.mark.parametrize("position", range(5))
@pytest.mark.parametrize("nan", [NAN, NEG_NAN])
def test_nan_in_any_input_prices_as_that_nan(flag, position, nan):
    for base in PRICE_BASES:
        args = list(base)
        args[position] = nan
        assert bits(baw_price(*args, flag)) == bits(nan), (args, flag)


@pytest.mark.parametrize("flag", ["c", "p"])
def test_nan_in_any_input_has_no_implied_vol(flag):
    """NaN for every position, also where the price is zero or below the
    exercise value (which would otherwise read as 'no time value'), scalar
    and batch alike."""
    rows = []
    for price, S, K, D, F in [(0.0, 100.0, 100.0, 0.95, 98.0), (-1.0, 120.0, 100.0, 1.0, 98.0),
                              (25.0, 120.0, 100.0, 1.0, 125.0), (7.0, 100.0, 100.0, 0.95, 98.0)]:
        for position, nan in itertools.product(range(5), [NAN, NEG_NAN]):
            args = [price, S, K, D, F]
            args[position] = nan
            rows.append(args)
    for args in rows:
        result = baw_implied_vol(*args, flag)
        assert math.isnan(result) and sign_bit(result) == 0, args
    columns = [np.array(column) for column in zip(*rows)]
    assert np.isnan(vectorized_baw_implied_vol(*columns, flag * len(rows))).all()


def test_forward_search_with_a_nan_quote_is_nan():
    S, D, F = 100.0, math.exp(-0.015), 100.0 * math.exp(0.005)
    strikes = [96.0, 98.0, 100.0, 102.0, 104.0]
    calls = [baw_price(S, K, D, F, 0.2, "c") for K in strikes]
    puts = [baw_price(S, K, D, F, 0.2, "p") for K in strikes]
    assert find_forward_baw(calls, puts, strikes, S, D, 0.05) == pytest.approx(F, rel=1e-6)
    for column in (calls, puts):
        quotes = list(column)
        column[1] = NAN
        assert math.isnan(find_forward_baw(calls, puts, strikes, S, D, 0.05))
        column[:] = quotes
