"""Throughput of vectorized_baw_implied_vol against baw_implied_vol called in
a Python loop, over realistic option chains of 10^3, 10^4 and 10^5 quotes.

Prints, per size, the median over several repeats of options solved per
second both ways and their ratio, all measured in the same run; then the
batch and the loop again with the chain split over one thread per core. The
batch solves with the interpreter lock released, so its threads run in
parallel; the loop's hold the lock (except on a free-threaded interpreter).

    .venv/bin/python benchmarks/bench_batch.py [--sizes 1000 10000 100000]
"""

import argparse
import os
import statistics
import sys
import time

import numpy as np

from vornet import baw_implied_vol, baw_price, vectorized_baw_implied_vol

EXPIRIES = np.array([7, 14, 30, 60, 91, 182, 365, 730]) / 365.0


def make_chain(n, seed=2026):
    """Quotes of one underlying across expiries from a week to two years and
    strikes from 60 % to 140 % of spot, calls and puts, with a volatility
    smile, a 4 % rate and a 1.5 % dividend yield; prices are model prices."""
    rng = np.random.default_rng(seed)
    S = np.full(n, 100.0)
    years = rng.choice(EXPIRIES, n)
    K = S * rng.uniform(0.6, 1.4, n)
    D = np.exp(-0.04 * years)
    F = S * np.exp((0.04 - 0.015) * years)
    moneyness = np.log(K / F) / np.sqrt(years)
    vol = 0.2 + 0.1 * moneyness ** 2 - 0.05 * moneyness
    sigma = np.clip(vol, 0.05, 1.5) * np.sqrt(years)
    flags = np.where(rng.random(n) < 0.5, "c", "p")
    prices = np.array([baw_price(*q) for q in zip(S, K, D, F, sigma, flags)])
    return prices, S, K, D, F, flags


def median_seconds(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def in_threads(work, parts):
    """Runs work(part) for every part, each in a thread of its own."""
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(len(parts)) as pool:
        return list(pool.map(work, parts))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 100000])
    args = parser.parse_args()

    threads = os.cpu_count() or 1
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]} (GIL {'enabled' if gil else 'disabled'}), "
          f"NumPy {np.__version__}, {threads} threads for the threaded figures")
    print(f"{'options':>8} {'batch opt/s':>13} {'loop opt/s':>12} {'ratio':>7} "
          f"{'batch x' + str(threads):>13} {'loop x' + str(threads):>12} {'ratio':>7} "
          f"{'solved':>7} {'zero':>5} {'nan':>5}")
    mismatched = []
    for n in args.sizes:
        chain = make_chain(n)
        prices, S, K, D, F, flags = chain
        flag_list = flags.tolist()
        repeats = max(3, min(21, 200000 // n))

        result = vectorized_baw_implied_vol(*chain)
        batch = median_seconds(lambda: vectorized_baw_implied_vol(*chain), repeats)

        columns = [x.tolist() for x in (prices, S, K, D, F)] + [flag_list]

        def loop(cols=columns):
            return [baw_implied_vol(*q) for q in zip(*cols)]

        looped = np.array(loop())
        if not np.array_equal(result.view(np.uint64), looped.view(np.uint64)):
            mismatched.append(n)
        loop_time = median_seconds(loop, repeats)

        bounds = np.linspace(0, n, threads + 1).astype(int)
        batch_parts = [[x[a:b] for x in chain] for a, b in zip(bounds, bounds[1:])]
        loop_parts = [[c[a:b] for c in columns] for a, b in zip(bounds, bounds[1:])]
        batch_threads = median_seconds(
            lambda: in_threads(lambda part: vectorized_baw_implied_vol(*part), batch_parts),
            repeats)
        loop_threads = median_seconds(lambda: in_threads(loop, loop_parts), repeats)

        print(f"{n:>8} {n / batch:>13,.0f} {n / loop_time:>12,.0f} {loop_time / batch:>7.2f} "
              f"{n / batch_threads:>13,.0f} {n / loop_threads:>12,.0f} "
              f"{loop_threads / batch_threads:>7.2f} "
              f"{int((result > 0).sum()):>7} {int((result == 0).sum()):>5} "
              f"{int(np.isnan(result).sum()):>5}")

    if mismatched:
        print(f"batch equals the loop bit for bit: FAILED at {mismatched}")
        sys.exit(1)
    print("batch equals the loop bit for bit: passed")


if __name__ == "__main__":
    main()
