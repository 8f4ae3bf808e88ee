"""Time of one find_forward_baw search over chains of 20 and 200 strikes.

The chains span 80 % to 120 % of spot; the default first band (1 % of spot)
and its widening decide how many strikes the search uses. Prints the median
over repeats of one search, and the strikes it chose.

    .venv/bin/python benchmarks/bench_forward.py
"""

import math
import statistics
import sys
import time

import numpy as np

from vornet import baw_price, find_forward_baw


def chain(n_strikes, S=100.0, years=0.5, rate=0.04, carry=0.025):
    strikes = np.linspace(0.8 * S, 1.2 * S, n_strikes)
    D = math.exp(-rate * years)
    F = S * math.exp(carry * years)
    sigma = [(0.22 - 0.15 * math.log(K / F)) * math.sqrt(years) for K in strikes]
    calls = np.array([baw_price(S, K, D, F, s, "c") for K, s in zip(strikes, sigma)])
    puts = np.array([baw_price(S, K, D, F, s, "p") for K, s in zip(strikes, sigma)])
    return calls, puts, strikes, S, D, F


def chosen(strikes, S, pct=0.01):
    for band in (pct, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0):
        mask = (strikes >= (1 - band) * S) & (strikes <= (1 + band) * S)
        if mask.any():
            return int(mask.sum())
    return len(strikes)


def main():
    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}")
    print(f"{'strikes':>8} {'chosen':>7} {'median ms':>10} {'forward':>12} {'found':>14}")
    for n in (20, 200):
        calls, puts, strikes, S, D, F = chain(n)
        times = []
        for _ in range(15):
            start = time.perf_counter()
            found = find_forward_baw(calls, puts, strikes, S, D)
            times.append(time.perf_counter() - start)
        print(f"{n:>8} {chosen(strikes, S):>7} {statistics.median(times) * 1e3:>10.2f} "
              f"{F:>12.6f} {found:>14.8f}")


if __name__ == "__main__":
    main()
