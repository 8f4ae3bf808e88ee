"""The Greeks against high-accuracy differences of the exact price."""

import math

import numpy as np
import pytest

import vornet

TOLERANCE_REL = 1e-6
TOLERANCE_ABS = 1e-8


def ridders(f, x, h, second=False, one_sided=False, shrink=1.4, levels=12):
    """Ridders' extrapolation of central differences of f at x from step h
    down (one-sided ones, (f(x + h) - f(x)) / h, with h of either sign,
    when `one_sided`): (estimate, its error estimate)."""
    def difference(step):
        if second:
            return (f(x + step) - 2.0 * f(x) + f(x - step)) / (step * step)
        if one_sided:
            return (f(x + step) - f(x)) / step
        return (f(x + step) - f(x - step)) / (2.0 * step)

    # The error of a central difference goes with even powers of the step,
    # that of a one-sided one with every power.
    order = shrink if one_sided else shrink * shrink
    table = [[difference(h)]]
    best, error = table[0][0], math.inf
    for i in range(1, levels):
        h /= shrink
        row = [difference(h)]
        factor = order
        for j in range(1, i + 1):
            row.append((row[j - 1] * factor - table[i - 1][j - 1]) / (factor - 1.0))
            factor *= order
            estimate = max(abs(row[j] - row[j - 1]), abs(row[j] - table[i - 1][j - 1]))
            if estimate <= error:
                best, error = row[j], estimate
        table.append(row)
        if abs(row[i] - table[i - 1][i - 1]) >= 2.0 * error:
            break
    return best, error


def option_grid(n, seed):
    rng = np.random.default_rng(seed)
    return [
        dict(S=100.0, K=float(rng.uniform(60, 140)),
             T=float(rng.choice([1 / 365, 7 / 365, 0.1, 0.5, 1.0, 2.0, 5.0])),
             r=float(rng.uniform(-0.01, 0.1)), q=float(rng.uniform(0.0, 0.08)),
             vol=float(rng.uniform(0.05, 1.0)), kind=str(rng.choice(["c", "p"])))
        for _ in range(n)
    ]


def price_along(option, name):
    def f(x):
        moved = dict(option, **{name: x})
        return vornet.price(moved["S"], moved["K"], moved["T"], moved["r"], moved["q"],
                            moved["vol"], moved["kind"])
    return f


# Each Greek: the input it moves, the first step of the reference, the sign
# and whether it is a second derivative.
GREEKS = {
    "delta": ("S", lambda o: 1e-3 * o["S"], 1.0, False),
    "gamma": ("S", lambda o: 1e-3 * o["S"], 1.0, True),
    "vega": ("vol", lambda o: 1e-3 * o["vol"], 1.0, False),
    "theta": ("T", lambda o: 1e-3 * o["T"], -1.0, False),
    "rho": ("r", lambda o: min(1e-4, abs(o["r"]) / 4), 1.0, False),
}


@pytest.mark.parametrize("greek", list(GREEKS))
def test_greeks_match_differences_of_the_price(greek):
    options = option_grid(600, seed=20261208)
    kinds = [o["kind"] for o in options]
    columns = {k: np.array([o[k] for o in options]) for k in ("S", "K", "T", "r", "q", "vol")}
    computed = getattr(vornet.greeks(*columns.values(), kinds), greek)
    name, first_step, sign, second = GREEKS[greek]

    compared, wrong = 0, []
    for option, value in zip(options, computed):
        reference, error = ridders(price_along(option, name), option[name], first_step(option),
                                   second)
        reference *= sign
        tolerance = max(TOLERANCE_REL * abs(reference), TOLERANCE_ABS)
        # A reference that cannot vouch for itself, where the critical spot
        # crosses the stencil and the price bends, is no reference.
        if error > 0.1 * tolerance:
            continue
        compared += 1
        if not abs(value - reference) <= tolerance:
            wrong.append((option, value, reference))
    assert wrong == []
    assert compared >= 0.9 * len(options)


def test_scalar_and_array_greeks_agree_and_forward_form_matches():
    options = option_grid(50, seed=7)
    columns = {k: np.array([o[k] for o in options]) for k in ("S", "K", "T", "r", "q", "vol")}
    kinds = np.array([o["kind"] for o in options])
    arrays = vornet.greeks(*columns.values(), kinds)
    D = np.exp(-columns["r"] * columns["T"])
    F = columns["S"] * np.exp((columns["r"] - columns["q"]) * columns["T"])
    forward = vornet.greeks_at_forward(columns["S"], columns["K"], columns["T"], D, F,
                                       columns["vol"], kinds)
    for i, o in enumerate(options):
        one = vornet.greeks(o["S"], o["K"], o["T"], o["r"], o["q"], o["vol"], o["kind"])
        assert isinstance(one, vornet.Greeks) and isinstance(one.delta, float)
        assert tuple(one) == tuple(float(g[i]) for g in arrays)
    for name in vornet.Greeks._fields:
        # The same option through rates recovered from D and F: equal up to
        # the rounding of exp and log.
        np.testing.assert_allclose(getattr(forward, name), getattr(arrays, name),
                                   rtol=1e-7, atol=1e-9)


@pytest.mark.parametrize("bad", [
    dict(vol=0.0), dict(vol=-0.2), dict(T=0.0), dict(S=-1.0), dict(K=np.nan), dict(r=np.inf),
])
def test_greeks_are_nan_where_they_are_undefined(bad):
    inputs = dict(S=[100.0, 100.0], K=[100.0, 100.0], T=[1.0, 1.0], r=[0.05, 0.05],
                  q=[0.0, 0.0], vol=[0.2, 0.2])
    for name, value in bad.items():
        inputs[name] = [inputs[name][0], value]
    result = vornet.greeks(**inputs, kind="p")
    for values in result:
        assert np.isfinite(values[0]) and np.isnan(values[1])


def test_greeks_of_series_are_named_series():
    pd = pytest.importorskip("pandas")
    strikes = pd.Series([90.0, 100.0, 110.0], index=["a", "b", "c"], name="strike")
    result = vornet.greeks(100.0, strikes, 0.5, 0.03, 0.01, 0.25, "c")
    for name, series in zip(vornet.Greeks._fields, result):
        assert isinstance(series, pd.Series)
        assert series.name == name
        assert list(series.index) == ["a", "b", "c"]


# --- rho next to r = 0 ------------------------------------------------------------


def discounted(T, r):
    """Whether the rate is on the model's discounted branch: exp(-rT) < 1.
    r <= 0, and rates so small that exp(-rT) rounds to 1, are on the other,
    where the price may jump or bend."""
    return math.exp(-(r * T)) < 1.0


def rho_reference(option, r):
    """A careful difference of the price in r that keeps to r's branch:
    central where that stays on it, else one-sided away from the other
    branch; (estimate, its error estimate)."""
    f = price_along(option, "r")
    T = option["T"]
    if not discounted(T, r):
        if r + 2e-4 < 0.0:
            return ridders(f, r, 1e-4)
        return ridders(f, r, -1e-4, one_sided=True)
    # Above 0 the put's premium bends over a fraction of r: a central
    # difference within a quarter of r, unless that step is too small for
    # the price's rounding.
    if r / 4 * T >= 1e-9:
        return ridders(f, r, min(1e-4, r / 4))
    return ridders(f, r, 1e-4, one_sided=True)


def smallest_discounted_rate(T):
    """The smallest rate whose discount factor is below 1: one unit of the
    last place below it."""
    r = 1e-16 / T
    while discounted(T, r / 2):
        r /= 2
    while not discounted(T, r):
        r *= 1.01
    return r


NEAR_ZERO = [0.0, 1e-20, -1e-20, 1e-16, -1e-16, 1e-14, 1e-12, -1e-12, 1e-10, 1e-9, -1e-9,
             1e-8, -1e-8, 1e-6, -1e-6, 1e-4, -1e-4]


def test_rho_keeps_to_its_branch_next_to_a_zero_rate():
    rng = np.random.default_rng(20260514)
    options = [dict(S=100.0, K=float(rng.uniform(60, 140)),
                    T=float(rng.choice([1 / 365, 0.1, 0.5, 1.0, 3.0])),
                    q=float(rng.choice([-0.02, 0.0, 0.02, 0.08])),
                    vol=float(rng.uniform(0.05, 0.8)), kind=str(rng.choice(["c", "p"])))
               for _ in range(40)]
    compared, wrong = 0, []
    for option in options:
        rates = NEAR_ZERO + [smallest_discounted_rate(option["T"])]
        rates += [float(x) for x in rng.uniform(-0.05, 0.2, 3)]
        for r in rates:
            moved = dict(option, r=r)
            rho = vornet.greeks(**moved).rho
            price = vornet.price(**moved)
            exercise = max(option["S"] - option["K"], 0.0) if option["kind"] == "c" else \
                max(option["K"] - option["S"], 0.0)
            if exercise > 0.0 and price == exercise:
                assert rho == 0.0
                continue
            reference, error = rho_reference(option, r)
            tolerance = max(TOLERANCE_REL * abs(reference), TOLERANCE_ABS)
            if error > 0.1 * tolerance:
                continue
            compared += 1
            if not abs(rho - reference) <= tolerance:
                wrong.append((option, r, rho, reference))
    assert wrong == []
    assert compared >= 0.8 * len(options) * (len(NEAR_ZERO) + 4)


def test_rho_of_a_put_without_dividends_next_to_a_zero_rate():
    # Above r = 0 the put's early-exercise premium grows like r^1.25: its
    # slope vanishes at 0 but bends too sharply for any difference in double
    # precision to resolve below r T ~ 1e-9. There rho is the slope at 0 to
    # within the premium's share; it used to be anything from -97 to +1480.
    option = dict(S=100.0, K=100.0, T=1.0, q=0.0, vol=0.2, kind="p")
    at_zero = vornet.greeks(**option, r=0.0).rho
    reference, error = rho_reference(option, 0.0)
    assert abs(at_zero - reference) <= TOLERANCE_REL * abs(reference)
    # exp(-rT) rounds to 1: the undiscounted branch, as at 0.
    assert vornet.greeks(**option, r=1e-20).rho == at_zero
    for r in (smallest_discounted_rate(1.0), 1e-16, 1e-14, 1e-12, 1e-10):
        assert abs(vornet.greeks(**option, r=r).rho - at_zero) <= 2e-3 * abs(at_zero)
