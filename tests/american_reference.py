"""What the integral model's tests compare with: a reproducible set of
options shaped like equity chains, and an American price from a solver of
its own kind (finite differences), independent of the model.

The finite differences solve the price's equation in the time left tau and
x = ln(S/K),

    V_tau = (vol^2 / 2) V_xx + (r - q - vol^2 / 2) V_x - r V,   V >= payoff,

on a uniform grid centred on the option's own x (so that no interpolation is
needed), with Crank-Nicolson steps started by four fully implicit half steps
(Rannacher's start, which damps the payoff's kink), the payoff held at both
far ends, and at every step the discrete obstacle problem solved exactly by
policy iteration. Two grids, the second with half the steps in x and in
time, are combined by Richardson's extrapolation (the error being of second
order in both).
"""

from __future__ import annotations

import numpy as np
from scipy.linalg import solve_banded


def option_set(seed: int, n: int = 500) -> tuple[np.ndarray, ...]:
    """`n` options on a spot of 100: expiries from a week to three years,
    strikes 0.5 to 1.5 times the spot, volatility 10-80 %, r 0-8 %, q 0-6 %;
    the last 30 % deep in-the-money puts (strikes 1.25-1.5 S, r 3-8 %) and
    high-dividend in-the-money calls (q 4-6 %, strikes 0.5-0.95 S).
    Returns S, K, T, r, q, vol and is_call."""
    rng = np.random.default_rng(seed)
    S = np.full(n, 100.0)
    T = np.exp(rng.uniform(np.log(7 / 365), np.log(3.0), n))
    K = S * rng.uniform(0.5, 1.5, n)
    vol = rng.uniform(0.10, 0.80, n)
    r = rng.uniform(0.0, 0.08, n)
    q = rng.uniform(0.0, 0.06, n)
    is_call = rng.random(n) < 0.5
    a, b = n * 7 // 10, n * 85 // 100
    K[a:b] = S[a:b] * rng.uniform(1.25, 1.5, b - a)
    is_call[a:b] = False
    vol[a:b] = rng.uniform(0.10, 0.35, b - a)
    r[a:b] = rng.uniform(0.03, 0.08, b - a)
    K[b:] = S[b:] * rng.uniform(0.5, 0.95, n - b)
    is_call[b:] = True
    q[b:] = rng.uniform(0.04, 0.06, n - b)
    r[b:] = rng.uniform(0.0, 0.03, n - b)
    return S, K, T, r, q, vol, is_call


def _grid_price(S: float, K: float, T: float, r: float, q: float, vol: float, is_call: bool,
                dx: float, half_width: int, steps: int) -> float:
    x0 = np.log(S / K)
    x = x0 + dx * np.arange(-half_width, half_width + 1)
    payoff = np.maximum(np.exp(x) - 1.0, 0.0) if is_call else np.maximum(1.0 - np.exp(x), 0.0)
    a = 0.5 * vol * vol / (dx * dx)
    b = (r - q - 0.5 * vol * vol) / (2.0 * dx)
    lower, diag, upper = a - b, -2.0 * a - r, a + b
    n = len(x)
    value = payoff.copy()
    exercised = np.zeros(n, dtype=bool)
    # Times tau_k = T (k / steps)^2: short steps where the boundary moves
    # like sqrt(tau), the first two split into four implicit half steps.
    times = T * (np.arange(steps + 1) / steps) ** 2
    widths = np.diff(times)
    schedule = ([(0.5 * widths[0], 1.0)] * 2 + [(0.5 * widths[1], 1.0)] * 2
                + [(w, 0.5) for w in widths[2:]])
    for step, theta in schedule:
        # The explicit part (1 - theta) dt A V, on the inner points.
        rhs = value.copy()
        if theta < 1.0:
            inner = (lower * value[:-2] + diag * value[1:-1] + upper * value[2:])
            rhs[1:-1] += (1.0 - theta) * step * inner
        # The implicit matrix I - theta dt A, the far ends held at the payoff.
        band = np.zeros((3, n))
        band[0, 2:] = -theta * step * upper
        band[1, 1:-1] = 1.0 - theta * step * diag
        band[2, :-2] = -theta * step * lower
        band[1, 0] = band[1, -1] = 1.0
        rhs[0], rhs[-1] = payoff[0], payoff[-1]
        for _ in range(100):
            system = band.copy()
            target = rhs.copy()
            # Exercised points: the row says V = payoff.
            rows = np.flatnonzero(exercised)
            system[1, rows] = 1.0
            system[0, np.minimum(rows + 1, n - 1)[rows + 1 < n]] = 0.0
            system[2, rows[rows >= 1] - 1] = 0.0
            target[rows] = payoff[rows]
            new = solve_banded((1, 1), system, target)
            # The row whose residual is smaller decides: min(MV - rhs, V - g) = 0.
            residual = band[1] * new - rhs
            residual[:-1] += band[0, 1:] * new[1:]
            residual[1:] += band[2, :-1] * new[:-1]
            choice = (new - payoff) < residual
            choice[0] = choice[-1] = False
            if np.array_equal(choice, exercised):
                value = new
                break
            exercised = choice
            value = new
    return float(K * value[half_width])


def fd_price(S: float, K: float, T: float, r: float, q: float, vol: float, is_call: bool,
             half_width: int = 800, steps: int = 800) -> float:
    """The American price by finite differences on two grids (the second
    twice as fine in x and in time), Richardson-extrapolated. The grid
    reaches 7 vol sqrt(T) (and the drift) either side of the spot, with the
    strike on a node, so that the payoff's kink does not fall between
    nodes."""
    x0 = abs(np.log(S / K))
    span = 7.0 * vol * np.sqrt(T) + abs(r - q) * T
    dx = span / half_width
    if x0 > 0.0:
        dx = x0 / max(1, round(x0 / dx))
    width = int(np.ceil(span / dx))
    coarse = _grid_price(S, K, T, r, q, vol, is_call, dx, width, steps)
    fine = _grid_price(S, K, T, r, q, vol, is_call, 0.5 * dx, 2 * width, 2 * steps)
    return (4.0 * fine - coarse) / 3.0
