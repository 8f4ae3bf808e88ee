"""The ``vornet`` command: its arguments, and which library call runs them.

::

    vornet surface chain.csv --rate 0.02 -o out.csv --plot smiles.png
    vornet demo

``surface`` reads an option chain, finds each expiry's forward, solves every
quote's implied volatility, writes one output row per input row and prints a
summary per expiry (:func:`vornet.chain.job.run`, or
:func:`vornet.dask.run_job` with ``--scheduler``); ``demo`` runs it on a
generated chain (:func:`vornet.demo.run`). Errors of use (a missing column,
an empty file, a bad option) print ``vornet: error: ...`` on the standard
error and exit with status 2.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import os
import sys
from typing import NoReturn

from vornet.defaults import (
    CALENDAR,
    EXPIRY_TIME,
    METHODS,
    MODELS,
    PLOT_MAX_EXPIRIES,
    PLOT_MIN_DAYS,
    TIMEZONE,
)

__all__ = ["main"]


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


def _rate(text: str) -> float | str:
    if text.strip().lower() == "implied":
        return "implied"
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value != value or value in (float("inf"), float("-inf")):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _days(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a number of days, 0 or more: {text!r}")
    return value


def _picture_arguments(surface: argparse.ArgumentParser) -> None:
    """The smiles' picture and report, and what they leave out."""
    surface.add_argument("--plot", metavar="PICTURE",
                         help="draw the smiles to PICTURE (.png, .svg or .pdf): per "
                              "underlying, at its latest quote time, a panel per expiry and "
                              "the term structure; a PDF has a page each, a PNG or SVG with "
                              "several underlyings becomes one file each beside PICTURE")
    surface.add_argument("--plot-min-days", type=_days, default=PLOT_MIN_DAYS, metavar="N",
                         help=f"leave expiries shorter than N days out of the picture and the "
                              f"report (default {PLOT_MIN_DAYS:g}: every expiry, each panel "
                              f"scaled on its own)")
    surface.add_argument("--plot-max-expiries", type=int, default=PLOT_MAX_EXPIRIES,
                         metavar="N",
                         help=f"draw the nearest N expiries at most (default "
                              f"{PLOT_MAX_EXPIRIES}), saying how many were left out")
    surface.add_argument("--report", metavar="HTML",
                         help="write the smiles as an interactive page to HTML, one file that "
                              "opens offline (hover a point for its quote); needs "
                              "vornet[report]")


def _surface_parser(commands: argparse._SubParsersAction) -> None:
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
                              "or .parquet), a folder (a name ending in / or without a "
                              "suffix) of one part per input file, or - for CSV on the "
                              "standard output (the report then goes to the standard error)")
    surface.add_argument("--format", choices=("csv", "parquet"),
                         help="format of an output folder's parts (default: the input's)")
    surface.add_argument("--scheduler", metavar="ADDRESS",
                         help="run on Dask: the address of a running scheduler "
                              "(tcp://host:8786), or 'local' for a cluster of worker "
                              "processes on this machine; needs vornet[dask]")
    rates = surface.add_mutually_exclusive_group(required=True)
    rates.add_argument("--rate", type=_rate, metavar="R",
                       help="continuously compounded interest rate, 0.02 for 2 %%; or implied: "
                            "each expiry's discount factor from its quotes (European options "
                            "only)")
    rates.add_argument("--rate-curve", metavar="FILE",
                       help="rates by maturity: two columns, years and rate; linear between "
                            "the points, flat outside")
    surface.add_argument("--map", type=_mapping, action="append", default=[],
                         metavar="NAME=COLUMN",
                         help="read the column COLUMN as NAME (repeat for several)")
    surface.add_argument("--calendar", default=CALENDAR, metavar="NAME",
                         help=f"the exchange calendar whose session closes options expire at "
                              f"(early closes, holidays; default {CALENDAR}, the New York Stock "
                              f"Exchange's), or none for a fixed close")
    surface.add_argument("--expiry-time", metavar="HH:MM",
                         help=f"time of day options expire at (default: the calendar's close; "
                              f"{EXPIRY_TIME} with --calendar none)")
    surface.add_argument("--timezone", metavar="ZONE",
                         help=f"time zone of the expiry time and of quote times given "
                              f"without one (default: the calendar's; {TIMEZONE} with "
                              f"--calendar none)")
    _picture_arguments(surface)
    surface.add_argument("--summary", metavar="FILE",
                         help="also write the per-expiry summary as CSV to FILE")
    surface.add_argument("--workers", type=int, default=None, metavar="N",
                         help="threads: 1 (default), -1 for every core; with --scheduler "
                              "local, worker processes of one thread (default: every core); "
                              "with a scheduler's address, threads per task (default 1)")
    surface.add_argument("--method", choices=METHODS, default=METHODS[0],
                         help="implied-volatility solver: exact (default, bit for bit the "
                              "core's) or fast (Newton's method, within 2e-9)")
    surface.add_argument("--model", choices=MODELS,
                         help="the American model: baw (default, the Barone-Adesi-Whaley "
                              "approximation) or integral (the exercise boundary solved, "
                              "accurate to about 1e-7, tens of times slower); the forward "
                              "search uses it too")
    surface.add_argument("--style", choices=("american", "european"),
                         help="the options' exercise, for every row (default: the style "
                              "column's, American where the file has none)")
    surface.add_argument("--sides", action="store_true",
                         help="also the volatilities of the bid and the ask (iv_bid, iv_ask): "
                              "three inversions a quote instead of one")
    surface.add_argument("-q", "--quiet", action="store_true",
                         help="print nothing but errors (no progress bar, no summary)")


def _demo_parser(commands: argparse._SubParsersAction) -> None:
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


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vornet",
        description="American options by the Barone-Adesi-Whaley approximation: forwards "
                    "and implied volatilities of option chains.")
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    _surface_parser(commands)
    _demo_parser(commands)
    return parser


def _run(args: argparse.Namespace) -> None:
    """Hands the parsed command to the library."""
    if args.command == "demo":
        from vornet import demo

        demo.run(args.out_dir, seed=args.seed, workers=args.workers, out=sys.stdout)
        return
    from vornet.chain import job as jobs

    job = jobs.Job(chain=args.chain, rate=args.rate, rate_curve=args.rate_curve,
                   output=args.output, format=args.format, mapping=dict(args.map),
                   expiry_time=args.expiry_time, timezone=args.timezone,
                   calendar=args.calendar, plot=args.plot,
                   plot_min_days=args.plot_min_days,
                   plot_max_expiries=args.plot_max_expiries, report=args.report,
                   summary=args.summary, workers=args.workers, method=args.method,
                   model=args.model, sides=args.sides, style=args.style,
                   quiet=args.quiet, scheduler=args.scheduler)
    if job.scheduler is None:
        jobs.run(job, sys.stdout)
        return
    jobs.plan(job)  # a bad option fails here, before Dask is imported
    try:
        from vornet import dask as vdask
    except ImportError:
        raise _UsageError("--scheduler needs Dask: pip install 'vornet[dask]'") from None
    vdask.run_job(job, sys.stdout)


def _return_freed_memory() -> None:
    """Makes the C library hand large blocks back to the system when they
    are freed. By default glibc raises its threshold for that after the
    first large free and keeps later arrays of the same size in its heap,
    which on a million-row chain holds on to a few hundred megabytes of
    arrays already freed."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        libc.mallopt(-3, 128 * 1024)  # M_MMAP_THRESHOLD: fixed at its default
    except (OSError, AttributeError):  # not glibc: nothing to change
        pass


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
            from importlib.metadata import version

            print(f"vornet {version('vornet')}")
            return 0
        if args.command is None:
            parser.print_help(sys.stderr)
            return 2
        from vornet.chain import ChainError

        _return_freed_memory()
        try:
            _run(args)
        except ChainError as error:
            raise _UsageError(str(error)) from None
        return 0
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


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
