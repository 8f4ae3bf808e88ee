"""The ``vornet`` command.

::

    vornet surface chain.csv --rate 0.02 -o out.csv --plot smiles.png
    vornet demo

``surface`` reads an option chain, finds each expiry's forward, solves every
quote's implied volatility, writes one output row per input row and prints a
summary per expiry; ``demo`` runs it on a generated chain. Errors of use (a
missing column, an empty file, a bad option) print ``vornet: error: ...`` on
the standard error and exit with status 2.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections import Counter
from pathlib import Path
from typing import Any, NoReturn, TextIO

__all__ = ["main"]

_SUMMARY_ROWS = 40


class _UsageError(Exception):
    def __init__(self, message: str, parser: argparse.ArgumentParser | None = None):
        super().__init__(message)
        self.parser = parser


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise _UsageError(message, self)


def _mapping(text: str) -> tuple[str, str]:
    name, sep, column = text.partition("=")
    if not sep or not name.strip() or not column:
        raise argparse.ArgumentTypeError(f"expected NAME=COLUMN, got {text!r}")
    return name.strip(), column


def _rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value != value or value in (float("inf"), float("-inf")):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vornet",
        description="American options by the Barone-Adesi-Whaley approximation: forwards "
                    "and implied volatilities of option chains.")
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    surface = commands.add_parser(
        "surface", help="forwards and implied volatilities of an option chain file",
        description="Reads an option chain (CSV, or Parquet with pyarrow), finds the forward "
                    "of every quote time and expiry from the strikes quoted on both sides, "
                    "solves the implied volatility of every quote against it, and writes one "
                    "row per input row with T, forward, discount, mid, iv, otm, status and "
                    "detail.",
        epilog="Columns read (rename others with --map NAME=COLUMN): quote_datetime or "
               "quote_date, expiration, strike, option_type, bid and ask (or price, or mid), "
               "underlying_bid and underlying_ask (or underlying_price); optional "
               "underlying_symbol and root keep quotes apart. Other columns pass through.")
    surface.add_argument("chain", metavar="CHAIN",
                         help="the chain: a .csv, .csv.gz or .parquet file, a glob pattern in "
                              "quotes ('quotes/*.parquet') or a folder of such files")
    surface.add_argument("-o", "--output", metavar="OUT",
                         help="write the rows with their results to OUT: a file (.csv, .csv.gz "
                              "or .parquet), or a folder (a name ending in / or without a "
                              "suffix) of one part per input file")
    surface.add_argument("--format", choices=("csv", "parquet"),
                         help="format of an output folder's parts (default: the input's)")
    surface.add_argument("--scheduler", metavar="ADDRESS",
                         help="run on Dask: the address of a running scheduler "
                              "(tcp://host:8786), or 'local' for a cluster of worker "
                              "processes on this machine; needs vornet[dask]")
    rates = surface.add_mutually_exclusive_group(required=True)
    rates.add_argument("--rate", type=_rate, metavar="R",
                       help="continuously compounded interest rate, 0.02 for 2 %%")
    rates.add_argument("--rate-curve", metavar="FILE",
                       help="rates by maturity: two columns, years and rate; linear between "
                            "the points, flat outside")
    surface.add_argument("--map", type=_mapping, action="append", default=[],
                         metavar="NAME=COLUMN",
                         help="read the column COLUMN as NAME (repeat for several)")
    surface.add_argument("--expiry-time", default="16:00", metavar="HH:MM",
                         help="time of day options expire at (default 16:00)")
    surface.add_argument("--timezone", default="America/New_York", metavar="ZONE",
                         help="time zone of the expiry time and of quote times given "
                              "without one (default America/New_York)")
    surface.add_argument("--plot", metavar="PNG",
                         help="draw the smiles of the latest quote time (any format "
                              "matplotlib writes: .png, .svg, .pdf)")
    surface.add_argument("--summary", metavar="FILE",
                         help="also write the per-expiry summary as CSV to FILE")
    surface.add_argument("--workers", type=int, default=None, metavar="N",
                         help="threads: 1 (default), -1 for every core; with --scheduler "
                              "local, worker processes of one thread (default: every core); "
                              "with a scheduler's address, threads per task (default 1)")
    surface.add_argument("--method", choices=("exact", "fast"), default="exact",
                         help="implied-volatility solver: exact (default, bit for bit the "
                              "core's) or fast (Newton's method, within 2e-9)")
    surface.add_argument("-q", "--quiet", action="store_true",
                         help="print nothing but errors (no progress bar, no summary)")

    demo = commands.add_parser(
        "demo", help="generate a chain, run surface on it and draw its smiles",
        description="Generates a realistic option chain (seeded, so always the same), "
                    "writes it with its rate curve to a folder, runs surface on it, prints "
                    "the summary with the true forwards beside the recovered ones and draws "
                    "the smiles.")
    demo.add_argument("--out-dir", metavar="DIR",
                      help="where to write (default: a new temporary folder)")
    demo.add_argument("--seed", type=int, default=2024, help="random seed (default 2024)")
    demo.add_argument("--workers", type=int, default=1, metavar="N",
                      help="threads: 1 (default), -1 for every core")
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs the command with `argv` (default: ``sys.argv[1:]``) and returns
    its exit status."""
    parser = _parser()
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit as done:  # --help
            return done.code if isinstance(done.code, int) else 0
        if args.version:
            import vornet

            print(f"vornet {vornet.__version__}")
            return 0
        if args.command is None:
            parser.print_help(sys.stderr)
            return 2
        if args.command == "surface":
            return _surface(args, sys.stdout)
        return _demo(args, sys.stdout)
    except _UsageError as error:
        if error.parser is not None:
            error.parser.print_usage(sys.stderr)
        print(f"vornet: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("vornet: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`vornet surface ... | head`): stop quietly,
        # and keep the interpreter's own flush at exit from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def _surface(args: argparse.Namespace, out: TextIO) -> int:
    from vornet import chain

    try:
        files = chain.input_files(args.chain)
        folder = args.output is not None and _names_folder(args.output)
        suffix = (f".{args.format}" if args.format else
                  ".parquet" if chain._is_parquet(files[0]) else ".csv")
        if folder:
            chain.check_output(chain.part_path(args.output, 0, suffix))
        elif args.output:
            chain.check_output(args.output)
        workers = 1 if args.workers is None else args.workers
        chain.resolve_workers(workers)
        curve = (chain.RateCurve.read(args.rate_curve) if args.rate_curve is not None
                 else chain.RateCurve.flat(args.rate))
        options = dict(mapping=dict(args.map), expiry_time=args.expiry_time,
                       timezone=args.timezone, method=args.method)
        if args.scheduler is not None:
            if args.output and not folder:
                raise chain.ChainError(f"with --scheduler, -o names a folder, written part by "
                                       f"part where the parts are solved: {args.output}/")
            if args.plot:
                raise chain.ChainError("--plot is not available with --scheduler: the rows "
                                       "stay on the cluster")
            return _surface_on_dask(args, files, curve, options, suffix, out)
        quotes = chain.read_chains(files)
        progress = not args.quiet and sys.stderr.isatty()
        result = chain.surface(quotes, curve, workers=workers, progress=progress, **options)
        if folder:
            chain.write_parts(result, quotes, args.output, suffix)
        elif args.output:
            chain.write_table(result.table, args.output)
        _write_summary(args, result.summary)
    except chain.ChainError as error:
        raise _UsageError(str(error)) from None

    if not args.quiet:
        _print_renamed(result.renamed)
        report(result, quotes.source, out)
        _print_written(args, len(result.table), out)
    if args.plot:
        from vornet import plot

        drawn = plot.plot_smiles(result, args.plot)
        if not args.quiet:
            print(f"drew {drawn} smiles in {args.plot}", file=out)
    return 0


def _names_folder(output: str) -> bool:
    """-o names a folder: it ends with a slash, is one, or has no suffix."""
    path = Path(output)
    return output.endswith(("/", os.sep)) or path.is_dir() or not path.suffix


def _write_summary(args: argparse.Namespace, summary: Any) -> None:
    from vornet import chain

    if args.summary:
        try:
            summary.to_csv(args.summary, index=False)
        except OSError as error:
            raise chain.ChainError(f"cannot write {args.summary}: {error}") from None


def _print_renamed(renamed: dict[str, str]) -> None:
    for old, new in renamed.items():
        print(f"vornet: note: the input column {old!r} is written as {new!r}", file=sys.stderr)


def _print_written(args: argparse.Namespace, rows: int, out: TextIO) -> None:
    if args.output:
        print(f"\nwrote {rows} rows to {args.output}", file=out)
    if args.summary:
        print(f"wrote the summary to {args.summary}", file=out)


def _surface_on_dask(args: argparse.Namespace, files: list[Path], curve: Any,
                     options: dict[str, Any], suffix: str, out: TextIO) -> int:
    """The same surface, each file a partition, solved on a Dask cluster:
    the parts are written by the workers, only the summaries come back."""
    import logging

    from vornet import chain

    try:
        from distributed import Client, LocalCluster

        from vornet import dask as vdask
    except ImportError:
        raise chain.ChainError("--scheduler needs Dask: pip install 'vornet[dask]'") from None

    if args.scheduler == "local":
        processes = chain.resolve_workers(-1 if args.workers is None else args.workers)
        cluster: Any = LocalCluster(n_workers=processes, threads_per_worker=1, processes=True,
                                    dashboard_address=":0", silence_logs=logging.ERROR)
        threads = 1
    else:
        cluster = None
        threads = 1 if args.workers is None else args.workers
    try:
        try:
            client = Client(cluster if cluster is not None else args.scheduler, timeout=30)
        except (OSError, ValueError, TypeError) as error:
            raise chain.ChainError(f"cannot reach the scheduler {args.scheduler}: {error}"
                                   ) from None
        with client:
            frame = vdask.read_chains(files)
            progress = not args.quiet and sys.stderr.isatty()
            written = vdask.write_parts(frame, curve, args.output, suffix=suffix,
                                        progress=progress, workers=threads, **options)
            _write_summary(args, written.summary)
    finally:
        if cluster is not None:
            cluster.close()
    if not args.quiet:
        _print_renamed(written.renamed)
        _print_report(written.summary, Counter(written.counts), written.rows,
                      f"{len(files)} files" if len(files) > 1 else files[0].name, out)
        if written.layout is not None and not written.layout.by_chain:
            print(f"note: {written.layout.split_chains} chains were split between files; "
                  f"their rows were grouped by chain first", file=out)
        _print_written(args, written.rows, out)
    return 0


def report(result: Any, source: str, out: TextIO, extra: dict[str, Any] | None = None) -> None:
    """Prints the per-expiry summary and the count of each status."""
    _print_report(result.summary, Counter(result.table["status"]), len(result.table), source,
                  out, extra)


def _print_report(summary: Any, counts: Counter[str], rows: int, source: str, out: TextIO,
                  extra: dict[str, Any] | None = None) -> None:
    from vornet import chain

    print(f"{source}: {rows} rows, {len(summary)} expiries "
          f"(quote time and expiry)\n", file=out)
    if len(summary) > _SUMMARY_ROWS:
        half = _SUMMARY_ROWS // 2
        shown = summary.iloc[list(range(half)) + list(range(len(summary) - half,
                                                            len(summary)))]
        extra_shown = None
        if extra:
            extra_shown = {k: (v if callable(v) else [v[i] for i in shown.index])
                           for k, v in extra.items()}
        text = chain.format_summary(shown.reset_index(drop=True), extra_shown).splitlines()
        print("\n".join(text[:2 + half]), file=out)
        print(f"... {len(summary) - _SUMMARY_ROWS} more (--summary FILE writes them all) ...",
              file=out)
        print("\n".join(text[2 + half:]), file=out)
    else:
        print(chain.format_summary(summary, extra), file=out)
    order = [s for s in chain.STATUSES if s in counts]
    print("\nstatus: " + ", ".join(f"{counts[s]} {s}" for s in order), file=out)


def _demo(args: argparse.Namespace, out: TextIO) -> int:
    from vornet import chain, demo

    try:
        chain.resolve_workers(args.workers)
        demo.run(args.out_dir, seed=args.seed, workers=args.workers, out=out)
    except chain.ChainError as error:
        raise _UsageError(str(error)) from None
    return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
