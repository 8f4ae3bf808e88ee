"""vornet demonstration: American and European prices over one expiry."""

import math
import sys

import numpy as np

import vornet
from vornet import baw_price, find_forward_baw, vectorized_baw_implied_vol

# One expiry, in the total-variance form the functions take: half a year, a
# 5 % rate, a 3 % dividend yield and a 25 % volatility.
SPOT, RATE, DIVIDEND, VOL, YEARS = 100.0, 0.05, 0.03, 0.25, 0.5
D = math.exp(-RATE * YEARS)                       # discount factor
F = SPOT * math.exp((RATE - DIVIDEND) * YEARS)    # forward
SIGMA = VOL * math.sqrt(YEARS)                    # total standard deviation
STRIKES = (80.0, 90.0, 95.0, 100.0, 105.0, 110.0, 120.0)


def european(K, flag):
    # Black-76 on the forward, discounted: N(x) = erfc(-x / sqrt 2) / 2.
    N = lambda x: 0.5 * math.erfc(-x / math.sqrt(2.0))
    d1 = math.log(F / K) / SIGMA + SIGMA / 2
    d2 = d1 - SIGMA
    if flag == "c":
        return D * (F * N(d1) - K * N(d2))
    return D * (K * N(-d2) - F * N(-d1))


def main():
    print(f"vornet on Python {sys.version.split()[0]} ({sys.implementation.name}), "
          f"module {vornet.vornet_core.__name__}")
    print(f"S = {SPOT:g}, D = {D:.6f}, F = {F:.6f}, sigma = {SIGMA:.6f} "
          f"(r {RATE:.0%}, q {DIVIDEND:.0%}, vol {VOL:.0%}, T {YEARS:g}y)\n")
    print(f"{'strike':>8} | {'American call':>13} {'European call':>13} {'premium':>9} | "
          f"{'American put':>12} {'European put':>12} {'premium':>9}")
    print("-" * 90)
    for K in STRIKES:
        ac, ec = baw_price(SPOT, K, D, F, SIGMA, "c"), european(K, "c")
        ap, ep = baw_price(SPOT, K, D, F, SIGMA, "p"), european(K, "p")
        print(f"{K:8.2f} | {ac:13.6f} {ec:13.6f} {ac - ec:9.6f} | "
              f"{ap:12.6f} {ep:12.6f} {ap - ep:9.6f}")

    # Back from prices to volatility: the whole table in one batch.
    K = np.repeat(STRIKES, 2)
    flags = np.tile(["c", "p"], len(STRIKES))
    prices = [baw_price(SPOT, k, D, F, SIGMA, f) for k, f in zip(K, flags)]
    n = len(prices)
    sigmas = vectorized_baw_implied_vol(prices, [SPOT] * n, K, [D] * n, [F] * n, flags)
    print(f"\nImplied total std dev of the {n} American prices above, solved in one batch:")
    print(f"  min {sigmas.min():.10f}, max {sigmas.max():.10f} (used: {SIGMA:.10f})")

    # The forward back from the quotes, with a volatility skew across strikes.
    chain_K = np.arange(80.0, 120.5, 2.5)
    skewed = [(VOL - 0.3 * math.log(k / F)) * math.sqrt(YEARS) for k in chain_K]
    calls = [baw_price(SPOT, k, D, F, s, "c") for k, s in zip(chain_K, skewed)]
    puts = [baw_price(SPOT, k, D, F, s, "p") for k, s in zip(chain_K, skewed)]
    found = find_forward_baw(calls, puts, chain_K, SPOT, D)
    print(f"\nForward from {len(chain_K)} skewed call/put quotes: {found:.8f} "
          f"(true {F:.8f}, {abs(found / F - 1) * 1e4:.4f} bp off)")

    # The same expiry in market terms, on every core: prices, volatilities
    # with their statuses, and the Greeks of the puts.
    kinds = np.tile(["call", "put"], len(STRIKES))
    market = vornet.price(SPOT, K, YEARS, RATE, DIVIDEND, VOL, kinds, workers=-1)
    quotes = np.append(market, [1.0, 150.0])      # one below its value, one above any
    vols, status = vornet.implied_vol(quotes, SPOT, np.append(K, [80.0, 100.0]), YEARS, RATE,
                                      DIVIDEND, np.append(kinds, ["c", "c"]), full_output=True,
                                      workers=-1)
    print(f"\nIn market terms: {len(market)} prices equal to the table's: "
          f"{np.array_equal(market, prices)}; implied vols {np.nanmin(vols):.10f} to "
          f"{np.nanmax(vols):.10f}; statuses of the last two quotes: "
          f"{', '.join(vornet.IVStatus(code).name for code in status[-2:])}")
    g = vornet.greeks(SPOT, np.array(STRIKES), YEARS, RATE, DIVIDEND, VOL, "put")
    print(f"\n{'strike':>8} | {'delta':>9} {'gamma':>9} {'vega':>9} {'theta':>9} {'rho':>9}"
          f"   (put; vega per 1.00 vol, theta per year)")
    for row in zip(STRIKES, *g):
        print(f"{row[0]:8.2f} | " + " ".join(f"{x:9.4f}" for x in row[1:]))


if __name__ == "__main__":
    main()
