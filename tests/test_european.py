"""European options (Black-76 on the forward): the inversion against a
high-precision reference, round trips through the market-terms functions,
statuses, per-element exercise, the closed-form Greeks, solve_at_forward,
and the parity forward of a European chain."""

import math

import mpmath
import numpy as np
import pytest

import vornet
from vornet import IVStatus, _engine
from vornet.market import solve_at_forward

pd = pytest.importorskip("pandas")

EPS = np.finfo(np.float64).eps


# --- the inversion against a high-precision reference ------------------------


def reference(K, D, F, sigma, is_call):
    """The exact Black-76 price of the double inputs and its vega in sigma,
    to 25 digits."""
    with mpmath.workdps(25):
        K, D, F, sigma = (mpmath.mpf(float(v)) for v in (K, D, F, sigma))
        d1 = mpmath.log(F / K) / sigma + sigma / 2
        z = 1 if is_call else -1
        price = z * D * (F * mpmath.ncdf(z * d1) - K * mpmath.ncdf(z * (d1 - sigma)))
        return price, D * F * mpmath.npdf(d1)


def wide_model_options(n, seed):
    """K, D, F, sigma and sides: total deviations 1e-4 to 10, strikes from
    the money out to where the price reaches the smallest doubles (|ln F/K|
    up to 30 deviations out of the money, 3 in it, at most 20)."""
    rng = np.random.default_rng(seed)
    F = 100.0 * np.exp(rng.uniform(-3.0, 3.0, n))
    sigma = np.exp(rng.uniform(math.log(1e-4), math.log(10.0), n))
    h = np.choose(rng.integers(0, 3, n), [rng.uniform(0, 0.1, n), rng.uniform(0, 3, n),
                                          rng.uniform(0, 30, n)])
    is_call = rng.random(n) < 0.5
    # In the money the time value is lost below the price's last place
    # sooner: up to 3 deviations.
    in_the_money = rng.random(n) < 0.5
    h = np.where(in_the_money, np.minimum(h, 3.0), h)
    out = np.where(is_call, 1.0, -1.0) * np.where(in_the_money, -1.0, 1.0)
    K = F * np.exp(out * np.minimum(h * sigma, 20.0))
    D = np.exp(-rng.uniform(0.0, 0.5, n))
    return K, D, F, sigma, is_call


def test_the_inversion_is_exact_to_a_few_units_of_the_last_place():
    # 100,000 prices, each the double nearest the exact price of its double
    # inputs; the true root of that double price is the exact deviation
    # moved by (price - exact) / vega. The error is measured in units of what
    # a price known to its last place allows: eps s max(1, price / (s vega)).
    # Checked where rounding the price moves the root by less than 1e-8 (so
    # that the linear correction is exact to the last place) and the price is
    # a normal double.
    K, D, F, sigma, is_call = wide_model_options(100_000, 20261209)
    prices = np.empty(len(K))
    roots = np.empty(len(K))
    allowed = np.empty(len(K))
    checked = np.zeros(len(K), dtype=bool)
    with mpmath.workdps(25):
        for i in range(len(K)):
            exact, vega = reference(K[i], D[i], F[i], sigma[i], is_call[i])
            prices[i] = float(exact)
            if not (prices[i] > 1e-300 and vega > 0):
                continue
            shift = (mpmath.mpf(prices[i]) - exact) / vega
            root = mpmath.mpf(float(sigma[i])) + shift
            checked[i] = abs(shift) < 1e-8 * root
            roots[i] = float(root)
            allowed[i] = float(max(1, exact / (root * vega)))
    S = F * np.exp(-0.01)
    got, status = _engine.implied_sigma(prices, S, K, D, F, is_call, european=True)
    assert checked.sum() > 95_000
    # Prices whose time value is lost below the last place of the price are
    # without time value (or, at the top, above the maximum); all the prices
    # checked are solved.
    solved = status == IVStatus.SOLVED
    assert solved[checked].all()
    assert set(np.unique(status[~solved])) <= {IVStatus.NO_TIME_VALUE, IVStatus.ABOVE_MAXIMUM}
    error = np.abs(got[checked] - roots[checked]) / roots[checked] / (EPS * allowed[checked])
    assert error.max() < 16.0, np.quantile(error, [0.5, 0.99, 1.0])
    # The usual case is exact to a unit or two.
    assert np.median(error) < 1.0


def test_extremes_of_the_inversion():
    # Prices in the last representable range, deep in and out of the money,
    # vanishing and huge deviations: solved, and reproduced to the last few
    # places by the price.
    cases = [(1e-300, 100.0, 1.0, 100.0, True), (1e-300, 100.0, 1.0, 1e-3, True),
             (99.999999, 100.0, 1.0, 100.0, True), (1e-12, 1.0, 0.5, 1.0, False),
             (5e-7, 100.0, 0.9, 99.0, True), (999999.9999999, 1.0, 1.0, 1e6, True),
             (0.5, 1.0, 1.0, 1e6, False)]
    for price, K, D, F, is_call in cases:
        sigma, status = _engine.implied_sigma(price, F, K, D, F, is_call, european=True)
        assert status == IVStatus.SOLVED and sigma > 0.0, (price, K, D, F)
        again = _engine.price(F, K, D, F, sigma, is_call, european=True)
        assert again == pytest.approx(price, rel=1e-11)


# --- round trips in market terms ---------------------------------------------


def wide_market(n, seed):
    rng = np.random.default_rng(seed)
    S = rng.uniform(20.0, 500.0, n)
    T = np.exp(rng.uniform(math.log(1 / 365), math.log(10.0), n))
    vol = np.exp(rng.uniform(math.log(0.01), math.log(3.0), n))
    K = S * np.exp(rng.normal(0.0, 1.0, n) * vol * np.sqrt(T) * rng.choice([0.5, 2.0, 5.0], n))
    r = rng.uniform(-0.01, 0.1, n)
    q = rng.uniform(0.0, 0.08, n)
    kinds = np.where(rng.random(n) < 0.5, "c", "p")
    return dict(S=S, K=K, T=T, r=r, q=q), vol, kinds


def test_european_prices_round_trip_to_1e_10_in_volatility():
    market, vol, kinds = wide_market(50_000, 3)
    prices = vornet.price(**market, vol=vol, kind=kinds, exercise="european")
    got, status = vornet.implied_vol(prices, **market, kind=kinds, exercise="european",
                                     full_output=True)
    vega = vornet.greeks(**market, vol=vol, kind=kinds, exercise="european").vega
    # Where the price says the volatility to better than 1e-11 (its last
    # few places over vega), the round trip is within 1e-10.
    determined = 16.0 * EPS * prices < 1e-11 * vega
    assert determined.mean() > 0.85
    assert (status[determined] == IVStatus.SOLVED).all()
    assert np.abs(got[determined] - vol[determined]).max() < 1e-10
    # Elsewhere the price carries the volatility only to its last place: a
    # solved volatility reproduces it to the rounding of the price's terms
    # (D F N(d1) and D K N(d2), of the size of D (F + K)).
    solved = (status == IVStatus.SOLVED) & ~determined
    part = {k: v[solved] for k, v in market.items()}
    again = vornet.price(**part, vol=got[solved], kind=kinds[solved], exercise="european")
    scale = np.exp(-part["r"] * part["T"]) * (part["S"] * np.exp((part["r"] - part["q"])
                                                                 * part["T"]) + part["K"])
    assert (np.abs(again - prices[solved]) <= 16 * EPS * scale).all()
    assert set(np.unique(status)) <= {IVStatus.SOLVED, IVStatus.NO_TIME_VALUE}


@pytest.mark.parametrize("kind", ["c", "p"])
def test_statuses(kind):
    S, K, T, r, q = 100.0, 90.0 if kind == "c" else 110.0, 0.5, 0.04, 0.01
    D, F = math.exp(-r * T), S * math.exp((r - q) * T)
    floor = D * abs(F - K)
    top = D * (F if kind == "c" else K)
    cases = [(floor, IVStatus.NO_TIME_VALUE), (floor * 0.999, IVStatus.NO_TIME_VALUE),
             (0.0, IVStatus.NO_TIME_VALUE), (floor * (1 + 1e-9), IVStatus.SOLVED),
             (top * (1 - 1e-9), IVStatus.SOLVED), (top, IVStatus.ABOVE_MAXIMUM),
             (top * 1.5, IVStatus.ABOVE_MAXIMUM), (-1.0, IVStatus.INVALID_INPUT),
             (math.nan, IVStatus.INVALID_INPUT), (math.inf, IVStatus.INVALID_INPUT)]
    for price, want in cases:
        vol, status = vornet.implied_vol_at_forward(price, S, K, T, D, F, kind,
                                                    exercise="european", full_output=True)
        assert status is want, (price, want)
        assert math.isnan(vol) == (want is not IVStatus.SOLVED)
    # The same in arrays, and bad inputs other than the price.
    prices = np.array([price for price, _ in cases])
    _, statuses = vornet.implied_vol(prices, S, K, T, r, q, kind, exercise="E",
                                     full_output=True)
    assert statuses.tolist() == [want for _, want in cases]
    for bad in (dict(S=0.0), dict(K=-1.0), dict(T=0.0), dict(r=math.nan), dict(q=math.inf)):
        args = dict(S=S, K=K, T=T, r=r, q=q, **{"price": floor * 1.01 + 0.5})
        args.update(bad)
        assert vornet.implied_vol(**args, kind=kind, exercise="european",
                                  full_output=True)[1] is IVStatus.INVALID_INPUT


def test_a_european_price_is_below_the_american_and_deep_puts_differ():
    K = np.linspace(60.0, 140.0, 41)
    american = vornet.price(100.0, K, 2.0, 0.06, 0.0, 0.3, "p")
    european = vornet.price(100.0, K, 2.0, 0.06, 0.0, 0.3, "p", exercise="european")
    assert (european < american).all()
    D, F = math.exp(-0.12), 100.0 * math.exp(0.12)
    assert np.array_equal(european, vornet.price_at_forward(100.0, K, 2.0, D, F, 0.3, "p",
                                                            exercise="European"))
    # Put-call parity holds to rounding.
    calls = vornet.price(100.0, K, 2.0, 0.06, 0.0, 0.3, "c", exercise="european")
    np.testing.assert_allclose(calls - european, D * (F - K), rtol=0, atol=1e-12)


# --- exercise, alone or per element ------------------------------------------

OPTION = dict(S=100.0, K=95.0, T=0.5, r=0.03, q=0.01, vol=0.25)


@pytest.mark.parametrize("spelling, european", [
    ("american", False), ("AMERICAN", False), ("American", False), ("a", False), ("A", False),
    ("european", True), ("European", True), ("EUROPEAN", True), ("e", True), ("E", True),
])
def test_exercise_spellings(spelling, european):
    want = vornet.price(**OPTION, kind="p", exercise="european" if european else "american")
    assert vornet.price(**OPTION, kind="p", exercise=spelling) == want
    for forms in ([spelling] * 2, np.array([spelling] * 2), np.array([spelling] * 2, object),
                  pd.Series([spelling] * 2),
                  np.array([spelling] * 2, dtype=np.dtypes.StringDType())):
        assert vornet.price(**OPTION, kind="p", exercise=forms).tolist() == [want, want]


@pytest.mark.parametrize("function, args", [
    (vornet.price, (100.0, [90.0, 95.0, 100.0, 105.0], 1.5, 0.05, 0.01, 0.3)),
    (vornet.price_at_forward, (100.0, [90.0, 95.0, 100.0, 105.0], 1.5, 0.93, 106.0, 0.3)),
    (vornet.implied_vol, (12.0, 100.0, [90.0, 95.0, 100.0, 105.0], 1.5, 0.05, 0.01)),
    (vornet.implied_vol_at_forward, (12.0, 100.0, [90.0, 95.0, 100.0, 105.0], 1.5, 0.93, 106.0)),
    (vornet.greeks, (100.0, [90.0, 95.0, 100.0, 105.0], 1.5, 0.05, 0.01, 0.3)),
    (vornet.greeks_at_forward, (100.0, [90.0, 95.0, 100.0, 105.0], 1.5, 0.93, 106.0, 0.3)),
    (solve_at_forward, (12.0, 100.0, [90.0, 95.0, 100.0, 105.0], 1.5, 0.93, 106.0)),
])
def test_per_element_exercise_gives_each_options_own_model(function, args):
    kinds = np.array(["p", "c", "p", "c"])
    styles = np.array(["A", "E", "european", "American"])
    got = function(*args, kinds, exercise=styles)
    american = function(*args, kinds)
    european = function(*args, kinds, exercise="european")
    parts = got if isinstance(got, tuple) else (got,)
    wants = [(a, e) for a, e in zip(american, european)] if isinstance(got, tuple) \
        else [(american, european)]
    for part, (a, e) in zip(parts, wants):
        want = np.where(styles_mask(styles), e, a)
        assert np.array_equal(part, want, equal_nan=True)
        if part.dtype == np.float64:
            assert not np.array_equal(a, e, equal_nan=True)
    # The option by itself gives what it gives in the array.
    one = function(*[a[1] if isinstance(a, list) else a for a in args], "c", exercise="e")
    first = got[0][1] if isinstance(got, tuple) else got[1]
    assert (one[0] if isinstance(one, tuple) else one) == first


def styles_mask(styles):
    """Where the styles say European."""
    return np.isin(np.char.lower(styles), ["e", "european"])


def test_exercise_broadcasts_and_keeps_series():
    index = pd.Index(["a", "b", "c"], name="quote")
    strikes = pd.Series([90.0, 100.0, 110.0], index=index, name="K")
    styles = pd.Series(["american", "european", "european"], index=index)
    prices = vornet.price(100.0, strikes, 1.0, 0.05, 0.0, 0.3, "p", exercise=styles)
    assert isinstance(prices, pd.Series) and prices.index.equals(index)
    vol, status = vornet.implied_vol(prices, 100.0, strikes, 1.0, 0.05, 0.0, "p",
                                     exercise=styles, full_output=True)
    np.testing.assert_allclose(vol.to_numpy(), 0.3, atol=1e-9)
    assert status.name == "status" and (status == IVStatus.SOLVED).all()
    # A column of styles against a row of strikes.
    grid = vornet.price(100.0, [[90.0, 100.0, 110.0]], 1.0, 0.05, 0.0, 0.3, "p",
                        exercise=[["a"], ["e"]])
    assert grid.shape == (2, 3)
    assert grid[1].tolist() == vornet.price(100.0, [90.0, 100.0, 110.0], 1.0, 0.05, 0.0, 0.3,
                                            "p", exercise="e").tolist()
    with pytest.raises(ValueError, match=r"S: a Series of 3 rows, .* \(exercise \(2, 1\)\)"):
        vornet.price(pd.Series([100.0] * 3), 95.0, 1.0, 0.05, 0.0, 0.3, "p",
                     exercise=[["a"], ["e"]])


@pytest.mark.parametrize("exercise, shown", [
    ("bermudan", "'bermudan'"), ("", "''"), (["a", "x"], "'x' at position (1,)"),
    (np.array(["e", None], dtype=object), "None at position (1,)"),
])
def test_an_unknown_exercise_is_named(exercise, shown):
    with pytest.raises(ValueError) as info:
        vornet.price(100.0, [90.0, 95.0], 0.5, 0.03, 0.01, 0.25, "c", exercise=exercise)
    assert "exercise must be 'american' or 'european'" in str(info.value)
    assert shown in str(info.value)
    with pytest.raises(TypeError, match="exercise must be strings"):
        vornet.price(100.0, 95.0, 0.5, 0.03, 0.01, 0.25, "c", exercise=np.array([1, 0]))


def test_a_masked_exercise_is_an_invalid_option():
    styles = np.ma.array(["e", "e", "a"], mask=[False, True, False])
    vol, status = vornet.implied_vol(8.0, 100.0, 95.0, 0.5, 0.03, 0.01, "c", exercise=styles,
                                     full_output=True)
    assert status.tolist() == [IVStatus.SOLVED, IVStatus.INVALID_INPUT, IVStatus.SOLVED]
    assert np.isnan(vol[1])


def test_kind_is_required():
    for call in (lambda: vornet.price(100.0, 95.0, 0.5, 0.03, 0.01, 0.25),
                 lambda: vornet.implied_vol(5.0, 100.0, 95.0, 0.5, 0.03, 0.01),
                 lambda: vornet.greeks_at_forward(100.0, 95.0, 0.5, 0.98, 101.0, 0.25),
                 lambda: solve_at_forward(5.0, 100.0, 95.0, 0.5, 0.98, 101.0)):
        with pytest.raises(TypeError, match="kind"):
            call()


def test_american_results_do_not_change_with_the_exercise_flags():
    rng = np.random.default_rng(5)
    n = 500
    S, K = rng.uniform(50, 150, n), rng.uniform(50, 150, n)
    D, F, sigma = rng.uniform(0.9, 1.0, n), rng.uniform(50, 150, n), rng.uniform(0.05, 1.0, n)
    is_call = rng.random(n) < 0.5
    prices = _engine.price(S, K, D, F, sigma, is_call)
    flags = np.zeros(n, dtype=bool)
    for kernel, args in ((_engine.price, (S, K, D, F, sigma)),
                         (_engine.implied_sigma, (prices, S, K, D, F))):
        plain = kernel(*args, is_call)
        for european in (False, flags, np.broadcast_to(False, (n,))):
            got = kernel(*args, is_call, european=european)
            for a, b in zip(np.atleast_2d(plain), np.atleast_2d(got)):
                assert np.array_equal(a.view(np.uint8), b.view(np.uint8))
    with pytest.raises(ValueError, match="european has 3 elements, is_call has 500"):
        _engine.price(S, K, D, F, sigma, is_call, european=np.zeros(3, dtype=bool))


# --- Greeks ------------------------------------------------------------------


def ridders(f, x, h, with_error=False):
    """Central differences of f at x from step h, extrapolated (Ridders);
    with its error estimate when asked."""
    table = [[(f(x + h) - f(x - h)) / (2 * h)]]
    best, error = table[0][0], math.inf
    for i in range(1, 10):
        h /= 1.4
        row = [(f(x + h) - f(x - h)) / (2 * h)]
        factor = 1.96
        for j in range(1, i + 1):
            row.append((row[j - 1] * factor - table[i - 1][j - 1]) / (factor - 1.0))
            factor *= 1.96
            estimate = max(abs(row[j] - row[j - 1]), abs(row[j] - table[i - 1][j - 1]))
            if estimate <= error:
                best, error = row[j], estimate
        table.append(row)
    return (best, error) if with_error else best


def test_european_greeks_are_the_derivatives_of_the_price():
    rng = np.random.default_rng(11)
    for _ in range(200):
        o = dict(S=100.0, K=float(rng.uniform(60, 140)), T=float(rng.choice([0.02, 0.5, 3.0])),
                 r=float(rng.uniform(-0.01, 0.08)), q=float(rng.uniform(0.0, 0.06)),
                 vol=float(rng.uniform(0.05, 0.8)))
        kind = str(rng.choice(["c", "p"]))
        g = vornet.greeks(**o, kind=kind, exercise="european")

        def along(name, o=o, kind=kind):
            return lambda x: vornet.price(**dict(o, **{name: x}), kind=kind, exercise="european")

        want = {name: ridders(along(arg), o[arg], 1e-2 * max(abs(o[arg]), 0.01))
                for name, arg in (("delta", "S"), ("vega", "vol"), ("rho", "r"))}
        want["theta"] = -ridders(along("T"), o["T"], 1e-2 * o["T"])
        want["gamma"] = ridders(lambda s: vornet.greeks(**dict(o, S=s), kind=kind,
                                                         exercise="european").delta,
                                o["S"], 1.0)
        for name, value in want.items():
            assert getattr(g, name) == pytest.approx(value, rel=1e-7, abs=1e-9), (name, o, kind)
    assert all(math.isnan(x) for x in vornet.greeks(**dict(OPTION, vol=0.0), kind="c",
                                                    exercise="european"))


# --- solve_at_forward --------------------------------------------------------


def forward_market(n, seed):
    rng = np.random.default_rng(seed)
    S = rng.uniform(50, 150, n)
    T = rng.choice([7 / 365, 0.25, 1.0, 3.0], n)
    r, q = rng.uniform(0.0, 0.08, n), rng.uniform(0.0, 0.06, n)
    return dict(S=S, K=S * np.exp(rng.normal(0, 0.25, n)), T=T, discount=np.exp(-r * T),
                forward=S * np.exp((r - q) * T)), rng.uniform(0.05, 0.9, n), \
        np.where(rng.random(n) < 0.5, "c", "p")


@pytest.mark.parametrize("exercise", ["american", "european"])
@pytest.mark.parametrize("method", ["exact", "fast"])
def test_solve_at_forward_is_the_inversion_with_delta_and_vega(exercise, method):
    market, vol, kinds = forward_market(1500, 17)
    prices = vornet.price_at_forward(**market, vol=vol, kind=kinds, exercise=exercise)
    prices[::11] *= 0.3  # some below the floor
    prices[::13] = np.nan
    got_vol, got_status, delta, vega = solve_at_forward(prices, **market, kind=kinds,
                                                        exercise=exercise, method=method)
    want_vol, want_status = vornet.implied_vol_at_forward(prices, **market, kind=kinds,
                                                          exercise=exercise, method=method,
                                                          full_output=True)
    assert np.array_equal(got_vol.view(np.uint8), want_vol.view(np.uint8))
    assert np.array_equal(got_status, want_status) and got_status.dtype == np.int8
    solved = got_status == IVStatus.SOLVED
    assert solved.sum() > 1000
    assert np.isnan(delta[~solved]).all() and np.isnan(vega[~solved]).all()
    g = vornet.greeks_at_forward(**{k: v[solved] for k, v in market.items()},
                                 vol=got_vol[solved], kind=kinds[solved], exercise=exercise)
    # The fast solver's model finds the critical spot by Newton's method (to
    # 1e-11), greeks by Brent's (to 1e-10): the same formula, at critical
    # spots that differ in their last digits.
    fast = method == "fast" and exercise == "american"
    np.testing.assert_allclose(delta[solved], g.delta, rtol=1e-9 if fast else 1e-12,
                               atol=1e-14)
    # The differences greeks takes are good to about 1e-9.
    np.testing.assert_allclose(vega[solved], g.vega, rtol=1e-7, atol=1e-7)


@pytest.mark.parametrize("method", ["exact", "fast"])
def test_the_approximations_analytic_vega_against_careful_differences(method):
    # Below the critical spot, where the premium moves with the critical
    # spot: the vega at the solved volatility against Ridders' extrapolation
    # of differences of the exact price.
    market, vol, kinds = forward_market(400, 23)
    checked = 0
    for i in range(len(vol)):
        one = {k: float(v[i]) for k, v in market.items()}
        sigma = float(vol[i]) * math.sqrt(one["T"])
        is_call = kinds[i] == "c"
        price = _engine.price(one["S"], one["K"], one["discount"], one["forward"], sigma, is_call)
        if price <= max(one["S"] - one["K"] if is_call else one["K"] - one["S"], 0.0) + 1e-6:
            continue
        solved_vol, _, vega, status = _engine.solve_forward(price, *one.values(), is_call,
                                                            method=method)
        if status != IVStatus.SOLVED:
            continue
        root = math.sqrt(one["T"])

        def f(s):
            return _engine.price(one["S"], one["K"], one["discount"], one["forward"], s, is_call)

        want, error = ridders(f, solved_vol * root, 1e-3 * solved_vol * root, with_error=True)
        # Where the reference itself is good to 1e-9. The exact price finds
        # its critical spot to 1e-10, which moves its slope by some 1e-10
        # (what counts against a tiny vega deep in the money).
        if not error < 1e-9 * abs(want):
            continue
        assert vega == pytest.approx(want * root, rel=1e-8, abs=1e-9), (one, kinds[i])
        checked += 1
    assert checked > 300


def test_solve_at_forward_forms():
    D, F = math.exp(-0.05), 100.0 * math.exp(0.03)
    vol, status, delta, vega = solve_at_forward(6.672215293259992, 100.0, 100.0, 1.0, D, F, "p")
    assert type(vol) is float and status is IVStatus.SOLVED and type(delta) is float
    assert vol == vornet.implied_vol_at_forward(6.672215293259992, 100.0, 100.0, 1.0, D, F, "p")
    index = pd.RangeIndex(2)
    out = solve_at_forward(pd.Series([6.67, 0.0], index=index), 100.0, 100.0, 1.0, D, F, "p")
    assert [s.name for s in out] == ["vol", "status", "delta", "vega"]
    assert out[1].tolist() == [IVStatus.SOLVED, IVStatus.NO_TIME_VALUE]
    with pytest.raises(ValueError, match="method must be"):
        solve_at_forward(5.0, 100.0, 100.0, 1.0, D, F, "p", method="newton")


# --- the parity forward of a European chain ----------------------------------


def european_chain(rng, S, D, F, sigma, count):
    K = S * np.exp(rng.normal(0.0, 0.1, count))
    n = len(K)
    calls = _engine.price(np.full(n, S), K, np.full(n, D), np.full(n, F), np.full(n, sigma),
                          np.ones(n, bool), european=True)
    puts = _engine.price(np.full(n, S), K, np.full(n, D), np.full(n, F), np.full(n, sigma),
                         np.zeros(n, bool), european=True)
    return calls, puts, K


def test_a_european_chain_has_its_parity_forward_and_volatilities():
    rng = np.random.default_rng(31)
    groups = []
    for _ in range(40):
        S = float(rng.uniform(20.0, 400.0))
        T = float(rng.choice([7 / 365, 0.1, 0.5, 2.0]))
        D = math.exp(-float(rng.uniform(0.0, 0.06)) * T)
        F = S * math.exp(float(rng.normal(0.0, 0.03)))
        vol = float(rng.uniform(0.08, 0.8))
        groups.append((S, T, D, F, vol, *european_chain(rng, S, D, F, vol * math.sqrt(T), 25)))
    calls, puts, strikes = (np.concatenate([g[j] for g in groups]) for j in (5, 6, 7))
    bounds = np.concatenate([[0], np.cumsum([len(g[7]) for g in groups])]).astype(np.int64)
    spots = np.array([g[0] for g in groups])
    discounts = np.array([g[2] for g in groups])
    no_search = np.zeros(len(groups), dtype=bool)
    forward, parity, code = _engine.find_forwards(calls, puts, strikes, bounds, spots, discounts,
                                                  search=no_search)
    assert (code == 0).all() and np.array_equal(forward, parity)
    true_forward = np.array([g[3] for g in groups])
    np.testing.assert_allclose(forward, true_forward, rtol=1e-8)
    for g, (S, T, D, F, vol, c, p, K) in enumerate(groups):
        # Each strike's out-of-the-money quote, where its price says the
        # volatility to better than 1e-11.
        calls = K >= forward[g]
        quotes = np.where(calls, c, p)
        kinds = np.where(calls, "c", "p")
        got = vornet.implied_vol_at_forward(quotes, S, K, T, D, forward[g], kinds,
                                            exercise="european")
        vega = vornet.greeks_at_forward(S, K, T, D, forward[g], vol, kinds,
                                        exercise="european").vega
        determined = 16.0 * EPS * quotes < 1e-11 * vega
        assert determined.mean() > 0.7
        np.testing.assert_allclose(got[determined], vol, rtol=0, atol=1e-10)


def test_search_flags_choose_the_search_or_the_parity_forward():
    rng = np.random.default_rng(41)
    parts = []
    for _ in range(12):
        S = float(rng.uniform(50.0, 150.0))
        parts.append((*european_chain(rng, S, 0.98, S * 1.01, 0.3, int(rng.integers(1, 15))),
                      S))
    # An empty group, and one whose parity forward is negative.
    parts.append((np.array([]), np.array([]), np.array([]), 100.0))
    c, p, K = european_chain(rng, 100.0, 0.98, 101.0, 0.3, 4)
    parts.append((c, p + 500.0, K, 100.0))
    calls, puts, strikes = (np.concatenate([x[j] for x in parts]) for j in range(3))
    bounds = np.concatenate([[0], np.cumsum([len(x[2]) for x in parts])]).astype(np.int64)
    spots = np.array([x[3] for x in parts])
    discounts = np.full(len(parts), 0.98)
    args = (calls, puts, strikes, bounds, spots, discounts)
    searched = _engine.find_forwards(*args)
    for search in (None, np.ones(len(parts), dtype=bool)):
        got = _engine.find_forwards(*args, search=search)
        for a, b in zip(got, searched):
            assert np.array_equal(a.view(np.uint8), b.view(np.uint8))
    mixed = np.arange(len(parts)) % 2 == 0
    mixed[-2:] = False
    forward, parity, code = _engine.find_forwards(*args, 2, search=mixed)
    for g in range(len(parts)):
        if mixed[g]:
            assert forward[g] == searched[0][g] and code[g] == searched[2][g]
        else:
            assert forward[g] == parity[g] == searched[1][g]
    assert code[-2] == 1 and code[-1] == 2
    assert (code[:-2][~mixed[:-2]] == 0).all()
    with pytest.raises(ValueError, match="search has 3 elements, one per group"):
        _engine.find_forwards(*args, search=np.ones(3, dtype=bool))
    with pytest.raises(ValueError, match="search: Buffer dtype mismatch"):
        _engine.find_forwards(*args, search=np.ones(len(parts)))
