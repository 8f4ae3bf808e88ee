"""The Greeks against high-accuracy differences of the exact price."""

import math

import numpy as np
import pytest

import vornet

TOLERANCE_REL = 1e-6
TOLERANCE_ABS = 1e-8


def ridders(f, x, h, second=False, shrink=1.4, levels=12):
    """Ridders' extrapolation of central differences of f at x from step h
    down: (estimate, its error estimate)."""
    def difference(step):
        if second:
            return (f(x + step) - 2.0 * f(x) + f(x - step)) / (step * step)
        return (f(x + step) - f(x - step)) / (2.0 * step)

    table = [[difference(h)]]
    best, error = table[0][0], math.inf
    for i in range(1, levels):
        h /= shrink
        row = [difference(h)]
        factor = shrink * shrink
        for j in range(1, i + 1):
            row.append((row[j - 1] * factor - table[i - 1][j - 1]) / (factor - 1.0))
            factor *= shrink * shrink
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
