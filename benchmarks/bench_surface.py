"""`vornet surface` end to end on a million quotes, against the implied
volatilities of the same quotes alone.

A seeded CSV chain is generated (benchmarks/large_chain.py: 20 quote times x
25 expiries x 2,000 quotes, about 0.1 % of the rows one-sided, crossed,
malformed or ragged) and then, taking turns within each repeat:

- the command, `vornet surface chain.csv --rate R -o out.parquet` with the
  default options (one thread, the report printed), and again with
  `--workers 2`, each in a process of its own: wall time and peak resident
  memory;
- `vornet.implied_vol` over the same quotes (their mids, spots, strikes,
  times, the rate and the dividend yield they were made with), with
  workers 1 and 2, in this process: wall time.

Prints the medians, the ratio of the command to the inversion alone for
each worker count (the target: at most 1.5) and the peak memory (the
target: under 500 MB). Then a cold run of the command on a chain of about
2,000 quotes with `-X importtime`: the time its imports take and whether
SciPy or matplotlib is among them (the target: neither).

    .venv/bin/python benchmarks/bench_surface.py [--repeats 3] [--keep DIR]
        [--quote-times 20] [--expiries 25] [--strikes 1000]
"""

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import large_chain  # noqa: E402

import vornet  # noqa: E402

COMMAND = [sys.executable, "-m", "vornet", "surface"]
# Runs the command from a small process of its own and prints its wall time
# and peak memory: a process forked from this one would count this one's
# memory (the inversion's arrays) as its own until it starts the command.
LAUNCHER = """if True:
    import os, resource, subprocess, sys, time
    start = time.perf_counter()
    code = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024.0
    print(code, seconds, peak)
"""


def run_command(args):
    """Wall seconds and peak resident megabytes of the command."""
    done = subprocess.run([sys.executable, "-c", LAUNCHER, *COMMAND, *args],
                          capture_output=True, text=True, check=True)
    code, seconds, peak = done.stdout.split()
    if code != "0":
        raise SystemExit(f"vornet surface {' '.join(args)} failed:\n{done.stderr}")
    return float(seconds), float(peak)


def inversion(inputs, workers):
    start = time.perf_counter()
    vornet.implied_vol(inputs["price"], inputs["S"], inputs["K"], inputs["T"],
                       large_chain.RATE, large_chain.DIVIDEND_YIELD, inputs["kind"],
                       workers=workers)
    return time.perf_counter() - start


def cold_imports(folder):
    """The import time of a cold command on a small chain, in seconds, and
    the heavy packages it imported."""
    small = folder / "small.csv"
    large_chain.write_chain(small, quote_times=1, expiries=2, strikes=500)
    done = subprocess.run([sys.executable, "-X", "importtime", "-m", "vornet", "surface",
                           str(small), "--rate", "0.045", "-q"], capture_output=True,
                          text=True, check=True)
    total, heavy = 0, set()
    for line in done.stderr.splitlines():
        if not line.startswith("import time:") or "|" not in line:
            continue
        _, cumulative, name = (part.strip() for part in line[len("import time:"):].split("|"))
        if not cumulative.isdigit():
            continue
        if not name.startswith(" ") and name.split(".")[0] == name:
            total += int(cumulative)
        if name.strip().split(".")[0] in ("scipy", "matplotlib"):
            heavy.add(name.strip().split(".")[0])
    return total / 1e6, sorted(heavy)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--keep", metavar="DIR", help="keep the chain in DIR (reused if there)")
    parser.add_argument("--quote-times", type=int, default=20)
    parser.add_argument("--expiries", type=int, default=25)
    parser.add_argument("--strikes", type=int, default=1000)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="vornet-bench-surface-") as scratch:
        folder = Path(args.keep) if args.keep else Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        sizes = dict(quote_times=args.quote_times, expiries=args.expiries, strikes=args.strikes)
        chain = folder / f"chain-{args.quote_times}-{args.expiries}-{args.strikes}.csv"
        cached = chain.with_suffix(".npz")
        if chain.exists() and cached.exists():
            inputs = dict(np.load(cached))
        else:
            inputs = large_chain.write_chain(chain, **sizes)
            np.savez(cached, **inputs)
        quotes = len(inputs["price"])
        print(f"Python {platform.python_version()}, NumPy {np.__version__}, "
              f"{len(os.sched_getaffinity(0))} cores; {quotes:,} quotes in {chain.name} "
              f"({chain.stat().st_size / 1e6:.0f} MB), medians of {args.repeats}")

        timings = {name: [] for name in ("command 1", "command 2", "inversion 1",
                                         "inversion 2")}
        memory = {1: [], 2: []}
        for _ in range(args.repeats):
            for workers in (1, 2):
                seconds, peak = run_command([str(chain), "--rate", str(large_chain.RATE), "-o",
                                             str(folder / "out.parquet"), "--workers",
                                             str(workers)])
                timings[f"command {workers}"].append(seconds)
                memory[workers].append(peak)
                timings[f"inversion {workers}"].append(inversion(inputs, workers))

        median = {name: statistics.median(values) for name, values in timings.items()}
        print(f"{'':34s} {'seconds':>8s} {'peak MB':>8s}")
        for workers in (1, 2):
            print(f"{f'vornet surface, workers={workers}':34s} "
                  f"{median[f'command {workers}']:8.2f} "
                  f"{statistics.median(memory[workers]):8.0f}")
            print(f"{f'vornet.implied_vol, workers={workers}':34s} "
                  f"{median[f'inversion {workers}']:8.2f}")
        for workers in (1, 2):
            ratio = median[f"command {workers}"] / median[f"inversion {workers}"]
            print(f"command / inversion, workers={workers}: {ratio:.2f} "
                  f"(at most 1.5: {'yes' if ratio <= 1.5 else 'no'})")
        peak = max(max(values) for values in memory.values())
        print(f"peak memory: {peak:.0f} MB (under 500 MB: {'yes' if peak < 500 else 'no'})")

        seconds, heavy = cold_imports(folder)
        print(f"cold run on 2,000 quotes: imports {seconds:.2f} s; SciPy or matplotlib "
              f"imported: {', '.join(heavy) if heavy else 'none'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
