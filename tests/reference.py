"""A plain-Python rendering of the pricing algorithms, operation for
operation, as an oracle for the compiled module.

Python floats are IEEE doubles, and `math.erfc`, `exp`, `log`, `pow` and
`sqrt` are the platform's C library functions, the ones the extension calls;
SciPy's Python `brentq` runs the same C routine as its compiled entry point.
So every result here must equal the module's bit for bit. Nothing is shared
with the extension's source: each step is written out the straightforward way
(for example N(d1) is evaluated afresh wherever the formula needs it).
"""

import math
import sys

from scipy.optimize import brentq as scipy_brentq


def brentq(f, a, b, xtol, rtol, maxiter):
    """The compiled root finder's contract: ends of equal sign give 0.0 (the
    Python wrapper raises instead), an exhausted limit the last iterate."""
    try:
        root, _ = scipy_brentq(f, a, b, xtol=xtol, rtol=rtol, maxiter=maxiter,
                               full_output=True, disp=False)
    except ValueError:
        return 0.0
    return root


def _invalid():
    """The NaN that an invalid operation (0/0, inf - inf, log(-1)) produces
    on this machine, computed the way the hardware computes it."""
    return math.inf - math.inf


def _log(x):
    """math.log, except that it answers like C's log instead of raising: a
    NaN argument comes back as it is, zero gives -inf and a negative argument
    the invalid operation's NaN."""
    if x != x:
        return x
    if x < 0:
        return _invalid()
    if x == 0:
        return -math.inf
    return math.log(x)


def _div(a, b):
    """a / b, except that a zero divisor answers like C's division instead of
    raising: a signed infinity, a NaN dividend as it is, and 0/0 the invalid
    operation's NaN."""
    if b != 0:
        return a / b
    if a != a:
        return a
    if a == 0:
        return _invalid()
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def _odd_integer(y):
    return math.isfinite(y) and y % 2.0 == 1.0


def _pow(x, y):
    """math.pow, except that it answers like C's pow instead of raising: the
    invalid operation's NaN for a negative base to a non-integer power, and a
    signed infinity for zero to a negative power and on overflow."""
    try:
        return math.pow(x, y)
    except ValueError:
        if x != 0:
            return _invalid()
    except OverflowError:
        pass
    return math.copysign(math.inf, x) if _odd_integer(y) else math.inf


def norm_cdf(x):
    if not x <= -10.0:
        return math.erfc(-x * 0.7071067811865476) * 0.5
    a = 1.0
    if not x < -67108864.0:
        b = x * x
        c = (3.0 / b) * (1.0 / b)
        e = (1.0 / b) - c
        p = sys.float_info.max
        j = 2
        while True:
            a = a - e
            g = abs(e)
            if not p > g:
                break
            if not g >= abs(2.220446049250313e-16 * a):
                break
            p = g
            h = float(4 * j - 3) / b
            l = (float(4 * j - 1) / b) * h
            j += 1
            e = (h - l) * c
            c = l * c
    return (-(math.exp((x * -0.5) * x) * 0.3989422804014327) * a) / x


def black76(K, D, F, sigma, flag):
    if sigma <= 0:
        v = (F - K) * D if flag == 1 else (K - F) * D
        return v if v > 0 else 0.0
    d1 = _log(_div(F, K)) / sigma + sigma * 0.5
    d2 = d1 - sigma
    if flag == 1:
        return (F * norm_cdf(d1) - K * norm_cdf(d2)) * D
    return (K * norm_cdf(-d2) - F * norm_cdf(-d1)) * D


def _d1(x, rho, K, sigma):
    return _log(_div(x * rho, K)) / sigma + sigma * 0.5


def call_objective(x, K, D, rho, sigma, q):
    d1 = _d1(x, rho, K, sigma)
    c = black76(K, D, x * rho, sigma, 1)
    return ((1 - norm_cdf(d1) * (rho * D)) * x) / q + c - (x - K)


def put_objective(x, K, D, rho, sigma, q):
    d1 = _d1(x, rho, K, sigma)
    p = black76(K, D, x * rho, sigma, -1)
    return (p - ((1 - norm_cdf(-d1) * (rho * D)) * x) / q) - (K - x)


def exercise_value(S, K, flag):
    if flag == 1:
        return S - K if S > K else 0.0
    return K - S if K > S else 0.0


def baw_price(S, K, D, F, sigma, flag):
    for x in (S, K, D, F, sigma):
        if x != x:
            return x
    exercise = exercise_value(S, K, flag)
    if sigma <= 0:
        held = black76(K, D, F, sigma, flag)
        return held if held > exercise else exercise
    E = black76(K, D, F, sigma, flag)
    bound = exercise if exercise > E else E
    if D >= 1:
        return bound
    american = quadratic_approximation(S, K, D, F, sigma, flag, E)
    return bound if bound > american else american


def quadratic_approximation(S, K, D, F, sigma, flag, E):
    rho = _div(F, S)
    beta = _div(_log(rho) + _log(rho), sigma * sigma) - 1
    delta = ((_div(_log(D) * -2, sigma * sigma)) * 4) / (1 - D) + beta * beta
    if delta < 0:
        delta = 0.0
    m = math.sqrt(delta)
    if flag == 1:
        if D * rho >= 1:
            return E
        q2 = (-beta + m) * 0.5
        if q2 <= 0:
            return E
        g = lambda x: call_objective(x, K, D, rho, sigma, q2)
        lo = K + 1e-10
        if g(lo) <= 0:
            s_star = lo
        else:
            hi = 2 * K
            for _ in range(20):
                if g(hi) < 0:
                    s_star = brentq(g, lo, hi, 1e-10, 1e-10, 100)
                    break
                hi = hi + hi
            else:
                s_star = hi
        if S >= s_star:
            return S - K
        d1 = _d1(s_star, rho, K, sigma)
        A2 = (1 - norm_cdf(d1) * (D * rho)) * (s_star / q2)
        return A2 * _pow(_div(S, s_star), q2) + E
    q1 = (-beta - m) * 0.5
    if q1 >= 0:
        return E
    g = lambda x: put_objective(x, K, D, rho, sigma, q1)
    hi = K - 1e-10
    if g(hi) <= 0:
        s_star = hi
    elif g(1e-10) >= 0:
        s_star = 1e-10
    else:
        s_star = brentq(g, 1e-10, hi, 1e-10, 1e-10, 100)
    if s_star >= S:
        return K - S
    d1 = _d1(s_star, rho, K, sigma)
    A1 = (1 - norm_cdf(-d1) * (D * rho)) * (-(s_star / q1))
    return A1 * _pow(_div(S, s_star), q1) + E


def implied_vol(price, S, K, D, F, flag):
    """The solver's raw value: +0.0, -1.0 or the root."""
    if any(x != x for x in (price, S, K, D, F)):
        return -1.0
    if exercise_value(S, K, flag) + 1e-10 >= price:
        return 0.0
    hi = 1.0
    while True:
        m = baw_price(S, K, D, F, hi, flag)
        if price > m and hi < 10.0:
            hi = hi + hi
        else:
            break
    if hi >= 10.0:
        return -1.0
    f_lo = baw_price(S, K, D, F, 1e-8, flag) - price
    f_hi = baw_price(S, K, D, F, hi, flag) - price
    if not f_hi * f_lo <= 0:  # a NaN end shows no sign change either
        return -1.0
    return brentq(lambda s: baw_price(S, K, D, F, s, flag) - price, 1e-8, hi,
                  1e-10, 1e-10, 200)


def forward_objective(F, S, D, calls, puts, strikes):
    if len(calls) <= 0:
        return 1e10
    total, used = 0.0, 0
    for c_price, p_price, K in zip(calls, puts, strikes):
        c = implied_vol(c_price, S, K, D, F, 1)
        p = implied_vol(p_price, S, K, D, F, -1)
        if c <= 0 or p <= 0:
            continue
        total += abs(c - p)
        used += 1
    return total / used if used > 0 else 1e10


def minimize_bounded(f, a, b):
    golden, tol_factor = 0.3819660112501051, 1.4901161193847656e-08
    x = w = v = (b - a) * golden + a
    fx = fw = fv = f(x)
    d = e = 0.0
    for _ in range(100):
        xm = (b + a) * 0.5
        tol1 = abs(x) * tol_factor + 3.333333333333333e-07
        tol2 = tol1 + tol1
        if tol2 - (b - a) * 0.5 >= abs(x - xm):
            break
        golden_step = True
        if abs(e) > tol1:
            r = (fx - fv) * (x - w)
            q = (fx - fw) * (x - v)
            p = q * (x - v) - r * (x - w)
            q = (q - r) * 2
            if q > 0:
                p = -p
            else:
                q = -q
            if abs(q * 0.5 * e) > abs(p) and p > (a - x) * q and (b - x) * q > p:
                e = d
                d = p / q
                if (d + x) - a < tol2 or b - (d + x) < tol2:
                    d = tol1 if xm > x else -tol1
                golden_step = False
        if golden_step:
            e = a - x if x >= xm else b - x
            d = e * golden
        if abs(d) >= tol1:
            u = d + x
        else:
            u = x + tol1 if d > 0 else x - tol1
        fu = f(u)
        if fu <= fx:
            if u >= x:
                a = x
            else:
                b = x
            v, fv, w, fw, x, fx = w, fw, x, fx, u, fu
        else:
            if u < x:
                a = u
            else:
                b = u
            if fu <= fw or w == x:
                v, fv, w, fw = w, fw, u, fu
            elif fu <= fv or v == x or v == w:
                v, fv = u, fu
    return x


def find_forward(call_prices, put_prices, strikes, S, D, strike_pct=0.01):
    import numpy as np

    calls = np.asarray(call_prices, dtype=np.float64)
    puts = np.asarray(put_prices, dtype=np.float64)
    strikes = np.asarray(strikes, dtype=np.float64)
    for pct in (strike_pct, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0):
        mask = (strikes >= (1 - pct) * S) & (strikes <= (1 + pct) * S)
        if mask.any():
            break
    else:
        mask = np.ones(len(strikes), dtype=bool)
    calls, puts, strikes = (x[mask].tolist() for x in (calls, puts, strikes))
    total = 0.0
    for c, p, K in zip(calls, puts, strikes):
        total += ((c - p) / D) + K
    F_init = total / len(calls) if calls else S
    return minimize_bounded(
        lambda F: forward_objective(F, S, D, calls, puts, strikes), F_init * 0.97, F_init * 1.03)
