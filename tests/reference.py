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


def _log(x):
    """math.log, except that like C's log it answers NaN, -inf or NaN
    instead of raising for NaN, zero and negative arguments."""
    if x != x or x < 0:
        return math.nan
    if x == 0:
        return -math.inf
    return math.log(x)


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
    d1 = _log(F / K) / sigma + sigma * 0.5
    d2 = d1 - sigma
    if flag == 1:
        return (F * norm_cdf(d1) - K * norm_cdf(d2)) * D
    return (K * norm_cdf(-d2) - F * norm_cdf(-d1)) * D


def _d1(x, rho, K, sigma):
    return _log((x * rho) / K) / sigma + sigma * 0.5


def call_objective(x, K, D, rho, sigma, q):
    d1 = _d1(x, rho, K, sigma)
    c = black76(K, D, x * rho, sigma, 1)
    return ((1 - norm_cdf(d1) * (rho * D)) * x) / q + c - (x - K)


def put_objective(x, K, D, rho, sigma, q):
    d1 = _d1(x, rho, K, sigma)
    p = black76(K, D, x * rho, sigma, -1)
    return (p - ((1 - norm_cdf(-d1) * (rho * D)) * x) / q) - (K - x)


def baw_price(S, K, D, F, sigma, flag):
    if sigma <= 0:
        if flag == 1:
            return S - K if S > K else 0.0
        return K - S if K > S else 0.0
    E = black76(K, D, F, sigma, flag)
    if D >= 1:
        return E
    rho = F / S
    beta = (_log(rho) + _log(rho)) / (sigma * sigma) - 1
    delta = (((_log(D) * -2) / (sigma * sigma)) * 4) / (1 - D) + beta * beta
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
        return A2 * math.pow(S / s_star, q2) + E
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
    return A1 * math.pow(S / s_star, q1) + E


def implied_vol(price, S, K, D, F, flag):
    """The solver's raw value: +0.0, -1.0 or the root."""
    if flag == 1:
        exercise = S - K if S > K else 0.0
    else:
        exercise = K - S if K > S else 0.0
    if exercise + 1e-10 >= price:
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
