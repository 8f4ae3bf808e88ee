"""The engine's implied volatility against the same numeric loop called from
C++, its speed-up over threads, and the cost of one scalar call.

Over a realistic chain (bench_batch.py's make_chain), in one run, the median
over repeats of:

- the native loop: solve_implied_vol over contiguous arrays in C++, timed
  inside C++ (_native_loop, the yardstick: built by `make yardstick`, see
  yardstick.py; without it the run stops at once, saying so);
- vornet._engine.implied_sigma with workers=1, workers=2 and workers=-1;
- the core's vectorized_baw_implied_vol, for reference;

as microseconds per option and options per second, with the engine's time on
one thread over the native loop's and the speed-up of workers=2 over
workers=1. The variants take turns within each repeat, so that load from
elsewhere on the machine falls on all of them alike. Then the median time of
one scalar call of vornet.price in market terms, and of the engine's scalar
price_rates beneath it. The engine's sigma must equal the native loop's bit
for bit, for every worker count, and the core's where solved; a mismatch is
reported and ends the run with status 1.

    .venv/bin/python benchmarks/bench_engine.py [--size 100000] [--repeats 5]
"""

import argparse
import importlib.util
import os
import statistics
import sys
import time
import timeit
from pathlib import Path

import numpy as np

import vornet
from vornet import _engine, vectorized_baw_implied_vol


def load_beside(name):
    """The module NAME.py beside this file, loaded by path: the script's
    folder is not on sys.path when PYTHONSAFEPATH is set."""
    path = Path(__file__).with_name(f"{name}.py")
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def load_make_chain():
    """make_chain from bench_batch.py."""
    return load_beside("bench_batch").make_chain


def load_native_loop():
    """The yardstick module, or the run ends (status 1) saying how to build
    it."""
    try:
        return load_beside("yardstick").load()
    except ImportError as error:
        sys.exit(f"{Path(sys.argv[0]).name}: {error}")


def available_cores():
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def seconds_of(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def same_bits(a, b):
    """Equal arrays of doubles, bit for bit (NaNs included)."""
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def scalar_seconds(statement, names, repeats):
    """Median seconds of one run of `statement` (over `names`) in timeit's
    loop: each repeat runs it as many times as autorange finds to take a
    fifth of a second."""
    timer = timeit.Timer(statement, globals=names)
    number, _ = timer.autorange()
    return statistics.median(timer.repeat(repeat=repeats, number=number)) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=100000, help="options in the chain")
    parser.add_argument("--repeats", type=int, default=5, help="runs of each variant")
    args = parser.parse_args()
    if args.size < 1 or args.repeats < 1:
        parser.error("--size and --repeats must be positive")
    n, repeats = args.size, args.repeats
    native_loop = load_native_loop()

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    cores = available_cores()
    print(f"Python {sys.version.split()[0]} (GIL {'enabled' if gil else 'disabled'}), "
          f"NumPy {np.__version__}, {cores} cores")

    prices, S, K, D, F, flags = chain = load_make_chain()(n)
    is_call = flags == "c"
    inputs = (prices, S, K, D, F, is_call)

    variants = {
        "native loop (C++)": lambda: native_loop.implied_sigma(*inputs),
        "engine workers=1": lambda: _engine.implied_sigma(*inputs, workers=1),
        "engine workers=2": lambda: _engine.implied_sigma(*inputs, workers=2),
        "engine workers=-1": lambda: _engine.implied_sigma(*inputs, workers=-1),
        "core vectorized": lambda: vectorized_baw_implied_vol(*chain),
    }
    times = {name: [] for name in variants}
    results = {}
    for _ in range(repeats):
        for name, call in variants.items():
            seconds, results[name] = seconds_of(call)
            if name == "native loop (C++)":
                # The loop's own clock, without the copies around it.
                loop_seconds, results[name] = results[name]
                seconds = loop_seconds[0]
            times[name].append(seconds)
    median = {name: statistics.median(t) for name, t in times.items()}

    print(f"\nImplied total standard deviation over {n:,} options, median of {repeats}:")
    print(f"{'':<20} {'us/option':>10} {'options/s':>12}")
    for name, seconds in median.items():
        print(f"{name:<20} {seconds / n * 1e6:>10.3f} {n / seconds:>12,.0f}")

    one_thread = median["engine workers=1"] / median["native loop (C++)"]
    speed_up = median["engine workers=1"] / median["engine workers=2"]
    print(f"engine workers=1 / native loop: {one_thread:.3f} (within 10 %: "
          f"{'yes' if one_thread <= 1.10 else 'no'})")
    print(f"workers=2 speed-up over workers=1: {speed_up:.2f} (at least 1.8: "
          f"{'yes' if speed_up >= 1.8 else 'no'})")
    print(f"workers=-1 speed-up over workers=1: "
          f"{median['engine workers=1'] / median['engine workers=-1']:.2f}")

    print("\nOne scalar call (put S 100, K 95, T 0.5, r 0.03, q 0.01, vol 0.25), "
          f"median of {repeats}:")
    price = getattr(vornet, "price", None)
    if price is None:
        print(f"{'vornet.price':<20} missing: the package has no market-terms price yet")
    else:
        seconds = scalar_seconds("price(100.0, 95.0, 0.5, 0.03, 0.01, 0.25, 'p')",
                                 {"price": price}, repeats)
        print(f"{'vornet.price':<20} {seconds * 1e6:>10.3f} us (within 3 us: "
              f"{'yes' if seconds <= 3e-6 else 'no'})")
    seconds = scalar_seconds("price_rates(100.0, 95.0, 0.5, 0.03, 0.01, 0.25, False)",
                             {"price_rates": _engine.price_rates}, repeats)
    print(f"{'_engine.price_rates':<20} {seconds * 1e6:>10.3f} us")

    native = results["native loop (C++)"]
    sigma, status = results["engine workers=1"]
    solved = status == 0
    checks = [
        (f"engine workers={w} equals the native loop bit for bit",
         same_bits(results[f"engine workers={w}"][0], native)
         and np.array_equal(results[f"engine workers={w}"][1], status))
        for w in (1, 2, -1)
    ]
    checks.append(("engine is NaN exactly where not solved",
                   np.array_equal(np.isnan(sigma), ~solved)))
    checks.append((f"engine equals the core's batch where solved ({int(solved.sum()):,} of {n:,})",
                   same_bits(sigma[solved], results["core vectorized"][solved])))
    names = ("solved", "no time value", "above the maximum", "invalid input", "no convergence")
    counts = np.bincount(status, minlength=len(names))
    print("\nstatus: " + ", ".join(f"{name} {count:,}" for name, count in zip(names, counts)))
    for text, passed in checks:
        print(f"{text}: {'passed' if passed else 'FAILED'}")
    if not all(passed for _, passed in checks):
        sys.exit(1)


if __name__ == "__main__":
    main()
