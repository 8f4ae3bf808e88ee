"""The integral model (model="integral") beside the approximation, in one
run: speed, accuracy against time, and the peer's fixed-point engine.

The options are those of the model's tests (tests/american_reference.py):
S 100, expiries from a week to three years, strikes 0.5 to 1.5 S,
volatility 10-80 %, r 0-8 %, q 0-6 %, the last 30 % deep in-the-money puts
and high-dividend calls.

Rows, each the median over repeats of microseconds per option on one thread
(the variants take turns within each repeat), with the ratio to the
approximation through the same package call:

- price: the approximation and the model (--size options);
- implied volatility: the approximation's exact solver and the model's
  Newton iteration, on the model's own prices (--iv-size options);
- the model's price on two workers over one;
- accuracy against time: the model at three settings (boundary quadrature
  points, sweeps, Chebyshev intervals, price quadrature points), and the
  approximation, against the reference (the model at (32, 16, 32, 64), ten
  times tighter than the target by self-convergence and checked against
  finite differences by the tests) on the 500 options of seed 1, whose
  expiries are rounded to whole days for the peer: median, 95th percentile
  and largest relative (over the prices of 0.001 and more) and absolute
  errors;
- QuantLib's fixed-point engine at its fast and accurate schemes, when
  QuantLib-Python can be imported, on the same options, and the implied
  volatility by SciPy's brentq over its accurate price (--peer-iv options).

    .venv/bin/python benchmarks/bench_integral.py [--size 20000] [--iv-size 2000]
        [--repeats 5] [--peer-iv 50]
"""

import argparse
import importlib.util
import statistics
import time
from pathlib import Path

import numpy as np

import vornet
from vornet import _engine

HERE = Path(__file__).resolve().parent
REFERENCE = (32, 16, 32, 64)
SETTINGS = {"fast": (8, 3, 8, 24), "default": (10, 4, 14, 40), "accurate": (16, 8, 20, 64)}


def load(path, name):
    location = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


american_reference = load(HERE.parent / "tests" / "american_reference.py", "american_reference")


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def errors(values, reference):
    """Relative errors over the prices of 0.001 and more (below, a relative
    error says little: prices of 1e-90 occur), absolute ones over all."""
    absolute = np.abs(values - reference)
    priced = np.abs(reference) >= 1e-3
    relative = absolute[priced] / np.abs(reference[priced])
    q = lambda a, p: float(np.quantile(a, p))  # noqa: E731
    return (q(relative, 0.5), q(relative, 0.95), float(relative.max()), q(absolute, 0.5),
            q(absolute, 0.95), float(absolute.max()))


def error_row(name, seconds, count, values, reference):
    e = errors(values, reference)
    print(f"  {name:<32} {1e6 * seconds / count:9.2f}  " + "  ".join(f"{x:8.1e}" for x in e))


class QuantLibPeer:
    """American options on the fixed-point engine at one scheme, over flat
    continuous rates (Actual/365) and a constant volatility."""

    def __init__(self, ql, options, scheme):
        self.ql = ql
        today = ql.Date(2, 1, 2026)
        ql.Settings.instance().evaluationDate = today
        counter = ql.Actual365Fixed()
        S, K, days, r, q, vol, is_call = options
        self.vols = []
        self.options = []
        for i in range(len(S)):
            def curve(rate):
                return ql.YieldTermStructureHandle(ql.FlatForward(today, float(rate), counter,
                                                                  ql.Continuous))
            quote = ql.SimpleQuote(float(vol[i]))
            surface = ql.BlackVolTermStructureHandle(
                ql.BlackConstantVol(today, ql.NullCalendar(), ql.QuoteHandle(quote), counter))
            process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(float(S[i]))),
                                                   curve(q[i]), curve(r[i]), surface)
            engine = ql.QdFpAmericanEngine(process, scheme)
            side = ql.Option.Call if is_call[i] else ql.Option.Put
            option = ql.VanillaOption(ql.PlainVanillaPayoff(side, float(K[i])),
                                      ql.AmericanExercise(today, today + int(days[i])))
            option.setPricingEngine(engine)
            self.vols.append(quote)
            self.options.append(option)

    def prices(self):
        out = np.empty(len(self.options))
        for i, option in enumerate(self.options):
            self.vols[i].setValue(self.vols[i].value())  # recalculate, as a new price would
            out[i] = option.NPV()
        return out

    def implied_vol(self, i, price):
        from scipy.optimize import brentq

        quote, option = self.vols[i], self.options[i]
        original = quote.value()

        def gap(v):
            quote.setValue(v)
            return option.NPV() - price
        try:
            return brentq(gap, 1e-4, 4.0, xtol=1e-12)
        finally:
            quote.setValue(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=20000)
    parser.add_argument("--iv-size", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--peer-iv", type=int, default=50)
    args = parser.parse_args()

    S, K, T, r, q, vol, is_call = american_reference.option_set(7, args.size)
    kind = np.where(is_call, "c", "p")
    n_iv = min(args.iv_size, args.size)
    model_prices = vornet.price(S, K, T, r, q, vol, kind, model="integral")
    baw_prices = vornet.price(S, K, T, r, q, vol, kind)
    sl = slice(0, n_iv)
    iv_args = (S[sl], K[sl], T[sl], r[sl], q[sl], kind[sl])
    variants = {
        "price, approximation": (args.size, lambda: vornet.price(S, K, T, r, q, vol, kind)),
        "price, integral": (args.size, lambda: vornet.price(S, K, T, r, q, vol, kind,
                                                            model="integral")),
        "price, integral, 2 workers": (args.size, lambda: vornet.price(
            S, K, T, r, q, vol, kind, model="integral", workers=2)),
        "implied vol, approximation": (n_iv, lambda: vornet.implied_vol(baw_prices[sl],
                                                                        *iv_args)),
        "implied vol, integral": (n_iv, lambda: vornet.implied_vol(model_prices[sl], *iv_args,
                                                                   model="integral")),
    }
    times = {name: [] for name in variants}
    for _ in range(args.repeats):
        for name, (count, fn) in variants.items():
            times[name].append(timed(fn) / count)
    per = {name: statistics.median(t) for name, t in times.items()}
    print(f"The integral model beside the approximation: {args.size} options "
          f"({n_iv} for the implied volatilities), median of {args.repeats} repeats, "
          f"one thread unless said")
    print(f"  {'':<32} {'us/option':>9}  {'ratio':>7}")
    for name in variants:
        base = per["price, approximation"] if name.startswith("price") else (
            per["implied vol, approximation"])
        print(f"  {name:<32} {1e6 * per[name]:9.2f}  {per[name] / base:7.2f}")
    print(f"  workers=2 over one: {per['price, integral'] / per['price, integral, 2 workers']:.2f}"
          " times as fast")

    # Accuracy against time, on the tests' set with whole-day expiries.
    S1, K1, T1, r1, q1, vol1, call1 = american_reference.option_set(1)
    days = np.maximum(np.round(T1 * 365.0), 1.0)
    T1 = days / 365.0
    kind1 = np.where(call1, "c", "p")
    reference = _engine.integral_prices(S1, K1, T1, r1, q1, vol1, call1, REFERENCE)
    print(f"\nAccuracy against the reference on {len(S1)} options (seed 1), one thread:")
    print(f"  {'':<32} {'us/price':>9}  {'rel med':>8}  {'rel p95':>8}  {'rel max':>8}  "
          f"{'abs med':>8}  {'abs p95':>8}  {'abs max':>8}")
    for name, settings in SETTINGS.items():
        values = []
        seconds = statistics.median(timed(lambda: values.append(_engine.integral_prices(
            S1, K1, T1, r1, q1, vol1, call1, settings))) for _ in range(args.repeats))
        error_row(f"integral {name} {settings}", seconds, len(S1), values[0], reference)
    values = []
    seconds = statistics.median(timed(lambda: values.append(vornet.price(
        S1, K1, T1, r1, q1, vol1, kind1))) for _ in range(args.repeats))
    error_row("approximation (baw)", seconds, len(S1), values[0], reference)
    solved = vornet.implied_vol(reference, S1, K1, T1, r1, q1, kind1)
    floor = vornet.price(S1, K1, T1, r1, q1, 0.01, kind1, model="integral")
    carries = (reference - floor >= 0.01) & np.isfinite(solved)
    gap = np.abs(solved[carries] - vol1[carries]) * 100
    print(f"  the approximation's implied volatility of the reference prices, off by (points): "
          f"median {np.median(gap):.3f}, p95 {np.quantile(gap, 0.95):.3f}, max {gap.max():.3f}")

    try:
        import QuantLib as ql
    except ImportError:
        print("\nQuantLib-Python is not installed (the `bench` extra): its rows are skipped.")
        return 0
    options = (S1, K1, days, r1, q1, vol1, call1)
    schemes = {"fast": ql.QdFpAmericanEngine.fastScheme(),
               "accurate": ql.QdFpAmericanEngine.accurateScheme()}
    print(f"\nQuantLib {ql.__version__}, fixed-point engine, same options:")
    for name, scheme in schemes.items():
        peer = QuantLibPeer(ql, options, scheme)
        values = []
        seconds = statistics.median(timed(lambda: values.append(peer.prices()))
                                    for _ in range(max(1, args.repeats // 2)))
        error_row(f"QuantLib {name}", seconds, len(S1), values[0], reference)
        if name == "accurate":
            count = min(args.peer_iv, len(S1))
            rows = np.flatnonzero(carries)[:count]
            seconds = timed(lambda: [peer.implied_vol(i, values[0][i]) for i in rows])
            ours = timed(lambda: vornet.implied_vol(reference[rows], S1[rows], K1[rows], T1[rows],
                                                    r1[rows], q1[rows], kind1[rows],
                                                    model="integral"))
            print(f"  implied vol, QuantLib accurate + brentq: {1e6 * seconds / len(rows):.1f} "
                  f"us/option; the integral model: {1e6 * ours / len(rows):.1f} us/option "
                  f"({len(rows)} options)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
