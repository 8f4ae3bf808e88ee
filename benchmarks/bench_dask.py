"""Throughput of `vornet surface` over a store of chain files: one process
against a local Dask cluster of worker processes, on the same files.

A store is generated (vornet.demo.make_dataset: days x underlyings, one
Parquet file each, every file several quote times), then, taking turns
within each repeat so that load from elsewhere falls on all alike:

- one process: the command without --scheduler (workers 1, then 2 threads);
- a local cluster: the command with --scheduler local and --workers N
  (N processes of one thread), the cluster's start included;
- the same cluster already running: vornet.dask.write_parts alone, which is
  what a long-lived cluster costs per run; and again with by_chain=False,
  the rows grouped by chain with a shuffle and brought back to their files,
  which is what a store whose files split chains costs.

Every run writes one output part per file; the parts of each cluster run
must equal the single-process parts row for row (floats bit for bit), or the
run ends with status 1. Prints the median wall time over the repeats and
quotes per second.

    .venv/bin/python benchmarks/bench_dask.py [--days 10] [--symbols 10]
        [--snapshots 4] [--processes 2] [--repeats 3]
"""

import argparse
import logging
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd


def same_parts(folder: Path, reference: Path) -> bool:
    parts, expected = sorted(folder.iterdir()), sorted(reference.iterdir())
    if [p.name for p in parts] != [p.name for p in expected]:
        return False
    for got_path, want_path in zip(parts, expected):
        got, want = pd.read_parquet(got_path), pd.read_parquet(want_path)
        if list(got.columns) != list(want.columns) or len(got) != len(want):
            return False
        for column in want.columns:
            a, b = got[column].to_numpy(), want[column].to_numpy()
            if want[column].dtype.kind == "f":
                if not np.array_equal(a.view(np.int64), b.view(np.int64)):
                    return False
            elif not (pd.Series(a, dtype=object).fillna("<NA>")
                      == pd.Series(b, dtype=object).fillna("<NA>")).all():
                return False
    return True


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=10)
    parser.add_argument("--symbols", type=int, default=10)
    parser.add_argument("--snapshots", type=int, default=4)
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("bench_dask: Dask is not installed (pip install 'vornet[dask]'); skipped")
        return 0
    from vornet import chain, demo
    from vornet import dask as vdask

    work = Path(tempfile.mkdtemp(prefix="vornet-bench-dask-"))
    try:
        files = demo.make_dataset(work / "store", days=args.days, symbols=args.symbols,
                                  snapshots=args.snapshots)
        quotes = sum(len(pd.read_parquet(path)) for path in files)
        pattern = str(work / "store" / "*.parquet")
        print(f"store: {len(files)} Parquet files ({args.days} days x {args.symbols} "
              f"underlyings, {args.snapshots} quote times each), {quotes:,} quotes")

        vornet_command = [sys.executable, "-m", "vornet", "surface", pattern, "--rate", "0.05",
                          "-q"]
        commands = {
            "one process, 1 thread": ["--workers", "1"],
            "one process, 2 threads": ["--workers", "2"],
            f"--scheduler local, {args.processes} processes": [
                "--scheduler", "local", "--workers", str(args.processes)],
        }
        reference = work / "out-reference"
        subprocess.run([*vornet_command, "-o", str(reference)], check=True)
        times: dict[str, list[float]] = {name: [] for name in commands}
        running = f"running cluster of {args.processes}, write_parts"
        grouped = f"running cluster of {args.processes}, grouped by chain"
        times[running] = []
        times[grouped] = []
        rates = chain.RateCurve.flat(0.05)
        with LocalCluster(n_workers=args.processes, threads_per_worker=1, processes=True,
                          dashboard_address=":0", silence_logs=logging.ERROR) as cluster, \
                Client(cluster):
            for repeat in range(args.repeats):
                for name, extra in commands.items():
                    out = work / f"out-{len(times[name])}"
                    start = time.perf_counter()
                    subprocess.run([*vornet_command, *extra, "-o", str(out)], check=True)
                    times[name].append(time.perf_counter() - start)
                    if not same_parts(out, reference):
                        print(f"bench_dask: {name} wrote other rows than one process")
                        return 1
                    shutil.rmtree(out)
                for name, by_chain in ((running, None), (grouped, False)):
                    out = work / "out-running"
                    start = time.perf_counter()
                    vdask.write_parts(vdask.read_chains(files), rates, out, by_chain=by_chain)
                    times[name].append(time.perf_counter() - start)
                    if not same_parts(out, reference):
                        print(f"bench_dask: {name} wrote other rows than one process")
                        return 1
                    shutil.rmtree(out)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    base = statistics.median(times["one process, 1 thread"])
    print(f"\nmedians of {args.repeats}, wall time of the whole run (reading, solving, "
          f"writing):\n")
    print(f"{'':44s} {'seconds':>9s} {'quotes/s':>10s} {'speed-up':>9s}")
    for name, values in times.items():
        median = statistics.median(values)
        print(f"{name:44s} {median:9.2f} {quotes / median:10,.0f} {base / median:9.2f}")
    print("\nevery cluster run wrote the single-process rows, bit for bit")
    return 0


if __name__ == "__main__":
    sys.exit(main())
