"""vornet's implied volatility side by side with other ways to get it, in one
run.

The chain: options on one underlying (S 100, r 4 %, q 1.5 %), expiries from
a week to two years in whole days, volatility 12 % to 62 %, strikes within
two standard deviations of the forward, half calls, priced by vornet.

Rows, each the median over repeats of microseconds per option (the variants
take turns within each repeat, so that load from elsewhere falls on all of
them alike):

- vornet's engine, exact and fast solver, on one thread and on every core;
- the core's batch (vectorized_baw_implied_vol) and its scalar
  baw_implied_vol in a Python loop;
- the same numeric loop called from C++ with no Python in between
  (_native_loop, the yardstick: built by `make yardstick`, see yardstick.py;
  without it the run stops at once, saying so): the exact solver, the fast
  one, and the exact one as it was before its price evaluations shared work;
- QuantLib-Python, when it can be imported: its Barone-Adesi-Whaley engine's
  price alone, and the implied volatility by SciPy's brentq over that price
  (the options built beforehand; timed over the first --peer-size options);
- a plain-Python rendering of the same algorithm with SciPy's brentq (the
  test suite's tests/reference.py), over the first --peer-size options.

Each row shows its options per second and its time over the engine's exact
solver on one thread. Then the two speed-ups: the exact solver over its
earlier path (the same results, checked bit for bit), and the fast solver's
time per option. Checks, reported and failing the run with status 1: the
engine equals the native loop and the earlier path bit for bit, the fast
solver's statuses equal the exact one's and its values are within 2e-9, the
plain-Python rendering equals vornet bit for bit, and QuantLib's
volatilities agree with vornet's to the differences of the two formulas
(within 1e-4 in volatility).

    .venv/bin/python benchmarks/bench_peers.py [--size 20000] [--peer-size 500]
        [--repeats 5]
"""

import argparse
import importlib.util
import math
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import vornet
from vornet import _engine, baw_implied_vol, vectorized_baw_implied_vol

HERE = Path(__file__).resolve().parent
RATE, YIELD = 0.04, 0.015
PEER_AGREEMENT = 1e-4


def load(path, name):
    """A module from a file, by path: neither folder is on sys.path."""
    location = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


bench_engine = load(HERE / "bench_engine.py", "bench_engine")


def make_chain(n, seed=2026):
    rng = np.random.default_rng(seed)
    days = rng.integers(7, 731, n)
    T = days / 365.0
    vol = rng.uniform(0.12, 0.62, n)
    S = np.full(n, 100.0)
    D, F = np.exp(-RATE * T), S * np.exp((RATE - YIELD) * T)
    K = F * np.exp(rng.uniform(-2.0, 2.0, n) * vol * np.sqrt(T))
    is_call = rng.random(n) < 0.5
    price = vornet.price(S, K, T, RATE, YIELD, vol, np.where(is_call, "c", "p"))
    return dict(price=price, S=S, K=K, D=D, F=F, T=T, days=days, is_call=is_call, vol=vol)


def machine():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


class QuantLibPeer:
    """Each option built once: an American vanilla option on the BAW engine,
    over a flat rate and dividend yield (continuous, Actual/365) and a
    constant volatility whose quote the search moves."""

    def __init__(self, ql, chain, count):
        self.ql = ql
        today = ql.Date(2, 1, 2026)
        ql.Settings.instance().evaluationDate = today
        counter = ql.Actual365Fixed()
        self.vol = ql.SimpleQuote(0.2)

        def curve(rate):
            return ql.YieldTermStructureHandle(ql.FlatForward(today, rate, counter,
                                                              ql.Continuous))

        surface = ql.BlackVolTermStructureHandle(
            ql.BlackConstantVol(today, ql.NullCalendar(), ql.QuoteHandle(self.vol), counter))
        process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(100.0)),
                                               curve(YIELD), curve(RATE), surface)
        engine = ql.BaroneAdesiWhaleyApproximationEngine(process)
        self.options = []
        for i in range(count):
            side = ql.Option.Call if chain["is_call"][i] else ql.Option.Put
            option = ql.VanillaOption(
                ql.PlainVanillaPayoff(side, float(chain["K"][i])),
                ql.AmericanExercise(today, today + int(chain["days"][i])))
            option.setPricingEngine(engine)
            self.options.append(option)

    def price(self, vols):
        out = []
        for option, vol in zip(self.options, vols):
            self.vol.setValue(float(vol))
            out.append(option.NPV())
        return out

    def implied_vol(self, prices):
        from scipy.optimize import brentq

        out = []
        for option, price in zip(self.options, prices):
            def gap(vol, option=option, price=float(price)):
                self.vol.setValue(vol)
                return option.NPV() - price
            try:
                out.append(brentq(gap, 0.005, 2.0, xtol=1e-10, rtol=1e-10))
            except (ValueError, RuntimeError):  # no sign change, or no price: no volatility
                out.append(math.nan)
        return np.array(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=20_000)
    parser.add_argument("--peer-size", type=int, default=500)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    n, m, repeats = args.size, min(args.peer_size, args.size), args.repeats
    yardstick = bench_engine.load_native_loop()
    cores = bench_engine.available_cores()

    chain = make_chain(n)
    price, S, K, D, F, T, is_call = (chain[k] for k in ("price", "S", "K", "D", "F", "T",
                                                        "is_call"))
    flags = np.where(is_call, "c", "p")
    codes = [1 if call else -1 for call in is_call.tolist()]  # the rendering's flag codes
    reference = load(HERE.parent / "tests" / "reference.py", "reference")
    try:
        import QuantLib as ql
        peer = QuantLibPeer(ql, chain, m)
        quantlib = f"QuantLib-Python {ql.__version__}"
    except ImportError as error:
        peer, quantlib = None, f"QuantLib-Python not available ({error}); its rows are skipped"

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"{machine()}, {cores} cores; Python {sys.version.split()[0]} "
          f"(GIL {'enabled' if gil else 'disabled'}), NumPy {np.__version__}; {quantlib}")
    print(f"{n:,} options (peers and Python loops: the first {m:,}), median of {repeats}")

    vol_true = vornet.implied_vol(price, S, K, T, RATE, YIELD, flags)
    results = {}
    native = {}

    def engine(method, workers):
        return lambda: _engine.implied_sigma(price, S, K, D, F, is_call, workers, method=method)

    def native_loop(solver):
        def run():
            seconds, sigma = yardstick.implied_sigma(price, S, K, D, F, is_call, solver=solver)
            native[solver] = sigma
            return seconds[0], sigma
        return run

    rows = [
        ("engine exact, 1 thread", n, engine("exact", 1)),
        (f"engine exact, {cores} threads", n, engine("exact", -1)),
        ("engine fast, 1 thread", n, engine("fast", 1)),
        (f"engine fast, {cores} threads", n, engine("fast", -1)),
        ("core batch", n, lambda: vectorized_baw_implied_vol(price, S, K, D, F, flags)),
        ("core scalar, Python loop", m,
         lambda: [baw_implied_vol(*o) for o in zip(price[:m], S[:m], K[:m], D[:m], F[:m],
                                                  flags[:m])]),
        ("C++ loop exact", n, native_loop("exact")),
        ("C++ loop fast", n, native_loop("fast")),
        ("C++ loop, earlier exact", n, native_loop("baseline")),
        ("plain Python + brentq", m,
         lambda: [reference.implied_vol(*o) for o in zip(price[:m], S[:m], K[:m], D[:m],
                                                        F[:m], codes[:m])]),
    ]
    if peer is not None:
        rows += [
            ("QuantLib BAW price", m, lambda: peer.price(chain["vol"][:m])),
            ("QuantLib BAW vol, brentq", m, lambda: peer.implied_vol(price[:m])),
        ]
    times = {name: [] for name, _, _ in rows}
    for _ in range(repeats):
        for name, count, run in rows:
            seconds, result = bench_engine.seconds_of(run)
            if name.startswith("C++ loop"):
                seconds, result = result  # timed inside C++
            times[name].append(seconds / count)
            results[name] = result

    base = statistics.median(times["engine exact, 1 thread"])
    print(f"\n{'':<28} {'us/option':>10} {'options/s':>12} {'x exact 1 thread':>17}")
    for name, _, _ in rows:
        per = statistics.median(times[name])
        print(f"{name:<28} {per * 1e6:>10.3f} {1 / per:>12,.0f} {per / base:>17.2f}")

    earlier = statistics.median(times["C++ loop, earlier exact"])
    exact_loop = statistics.median(times["C++ loop exact"])
    fast = statistics.median(times["engine fast, 1 thread"])
    print(f"\nexact solver over its earlier path (C++ loop): {earlier / exact_loop:.2f} times "
          f"the throughput (at least 1.3: {'yes' if earlier / exact_loop >= 1.3 else 'no'})")
    print(f"fast solver, engine on 1 thread: {fast * 1e6:.2f} us per option (at most 3: "
          f"{'yes' if fast <= 3e-6 else 'no'}), {base / fast:.1f} times the exact solver")

    exact, exact_status = results["engine exact, 1 thread"]
    fast_sigma, fast_status = results["engine fast, 1 thread"]
    solved = exact_status == 0
    python_sigma = np.array(results["plain Python + brentq"], dtype=float)
    python_sigma[python_sigma == -1.0] = np.nan  # its raw "no solution"
    core_sigma = np.array(results["core scalar, Python loop"], dtype=float)
    checks = [
        ("engine exact equals the C++ loop bit for bit",
         bench_engine.same_bits(exact, native["exact"])),
        ("earlier exact path equals the exact solver bit for bit",
         bench_engine.same_bits(native["baseline"], native["exact"])),
        ("fast solver: the exact solver's statuses",
         np.array_equal(fast_status, exact_status)),
        ("fast solver: values within 2e-9 of the exact ones",
         bool(np.all(np.abs(fast_sigma - exact)[solved] <= 2e-9))),
        ("plain Python equals vornet bit for bit",
         bench_engine.same_bits(python_sigma, core_sigma)),
    ]
    if peer is not None:
        theirs = results["QuantLib BAW vol, brentq"]
        ours = vol_true[:m]
        both = ~np.isnan(theirs) & ~np.isnan(ours)
        gap = np.abs(theirs - ours)[both]
        print(f"QuantLib against vornet, annual volatility of {both.sum():,} options solved by "
              f"both: median difference {np.median(gap):.1e}, largest {gap.max():.1e}")
        checks.append((f"QuantLib's volatilities within {PEER_AGREEMENT:g} of vornet's",
                       bool(gap.max() <= PEER_AGREEMENT
                            and both.sum() >= 0.9 * np.count_nonzero(~np.isnan(ours)))))
    failed = False
    for text, passed in checks:
        print(f"{text}: {'passed' if passed else 'FAILED'}")
        failed |= not passed
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
