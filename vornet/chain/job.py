"""What ``vornet surface`` does, as a library call: a :class:`Job` holds the
command's options; :func:`plan` checks them all before any work is done,
and :func:`run` reads the chain, solves it, writes what was asked for and
prints the report. The command line only fills in a Job;
:func:`vornet.dask.run_job` runs the same Job on a Dask cluster.
"""

from __future__ import annotations

import dataclasses
import os
import sys
from pathlib import Path
from typing import Any, TextIO

import pandas as pd

from vornet.chain.clock import CALENDAR, make_clock
from vornet.chain.errors import ChainError
from vornet.chain.files import input_files, is_parquet, read_chains
from vornet.chain.outputs import (
    STDOUT,
    check_folder,
    check_output,
    check_picture,
    check_summary,
    write_file,
    write_parts,
    write_table,
)
from vornet.chain.rates import RateCurve
from vornet.chain.report import count_statuses, print_report
from vornet.chain.pipeline import IMPLIED, Surface, surface
from vornet.market import Method, Model, check_method, check_model, resolve_workers
from vornet.panels import MAX_EXPIRIES, MIN_DAYS, check_panel_options

__all__ = ["Job", "Plan", "plan", "run", "write_summary", "print_renamed", "print_written",
           "draw"]


@dataclasses.dataclass(frozen=True)
class Job:
    """The options of one ``vornet surface`` run (see ``vornet surface
    --help``)."""

    chain: str
    #: A flat rate, or "implied" (the discount factors the quotes imply).
    rate: float | str | None = None
    rate_curve: str | None = None
    output: str | None = None
    format: str | None = None
    mapping: dict[str, str] = dataclasses.field(default_factory=dict)
    expiry_time: str | None = None
    timezone: str | None = None
    calendar: str | None = CALENDAR
    plot: str | None = None
    summary: str | None = None
    #: Expiries shorter than this many days get no panel in the picture
    #: and the report (see :mod:`vornet.panels`).
    plot_min_days: float = MIN_DAYS
    #: The nearest expiries that get a panel, at most.
    plot_max_expiries: int = MAX_EXPIRIES
    #: The interactive HTML report of the smiles (needs vornet[report]).
    report: str | None = None
    #: Threads (one process), worker processes (``scheduler="local"``) or
    #: threads per task (a scheduler's address); None for the default.
    workers: int | None = None
    method: Method = "exact"
    #: The American model: "baw" (the approximation) or "integral"; None
    #: for the default, the approximation (the picture then names none).
    model: Model | None = None
    #: Also the volatilities of the bid and the ask.
    sides: bool = False
    #: "american" or "european" for every row; None: the style column's.
    style: str | None = None
    quiet: bool = False
    #: A Dask scheduler's address, or "local"; None for one process.
    scheduler: str | None = None


@dataclasses.dataclass(frozen=True)
class Plan:
    """A Job checked and resolved, before any work."""

    job: Job
    files: list[Path]
    #: Whether -o names a folder of one part per input file.
    folder: bool
    #: The suffix of an output folder's parts.
    suffix: str
    #: A rate curve, or "implied".
    rates: RateCurve | str
    #: What :func:`vornet.chain.surface` takes besides the chain and rates.
    options: dict[str, Any]

    @property
    def source(self) -> str:
        return f"{len(self.files)} files" if len(self.files) > 1 else self.files[0].name


def names_folder(output: str) -> bool:
    """-o names a folder: it ends with a slash, is one, or has no suffix
    (``-`` is the standard output)."""
    if output == STDOUT:
        return False
    return output.endswith(("/", os.sep)) or Path(output).is_dir() or not Path(output).suffix


def _check_outputs(job: Job, files: list[Path], folder: bool, suffix: str) -> None:
    """Every file the job writes can be written, and none is an input or
    another of its outputs."""
    if folder:
        check_folder(job.output, suffix, files)
    elif job.output:
        check_output(job.output, files)
    if job.summary:
        check_summary(job.summary, files)
    if job.plot:
        check_picture(job.plot, files)
    if job.report:
        from vornet.report_html import check_report

        check_report(job.report, files)
    if job.plot or job.report:
        check_panel_options(job.plot_min_days, job.plot_max_expiries)
    files_written = [None if folder else job.output, job.summary, job.plot, job.report]
    named = [Path(p).absolute() for p in files_written if p and p != STDOUT]
    if len(set(named)) < len(named):
        raise ChainError("the output, the summary, the picture and the report must be "
                         "different files")


def plan(job: Job) -> Plan:
    """Checks every option of `job` and resolves what it names; raises
    ChainError for the first that cannot be used."""
    files = input_files(job.chain)
    folder = job.output is not None and names_folder(job.output)
    suffix = (f".{job.format}" if job.format else
              ".parquet" if is_parquet(files[0]) else ".csv")
    _check_outputs(job, files, folder, suffix)
    try:
        check_method(job.method)
        check_model(job.model or "baw")
        if job.workers is not None:
            resolve_workers(job.workers)
    except (TypeError, ValueError) as error:
        raise ChainError(str(error)) from None
    make_clock(job.expiry_time, job.timezone, job.calendar)
    if job.rate_curve is not None:
        rates = RateCurve.read(job.rate_curve)
    elif job.rate == IMPLIED:
        rates = IMPLIED
    elif job.rate is not None:
        rates = RateCurve.flat(float(job.rate))
    else:
        raise ChainError("give a rate (--rate) or a rate curve (--rate-curve)")
    options = dict(mapping=dict(job.mapping), expiry_time=job.expiry_time,
                   timezone=job.timezone, calendar=job.calendar, method=job.method,
                   sides=job.sides, style=job.style, model=job.model or "baw")
    return Plan(job, files, folder, suffix, rates, options)


def write_summary(job: Job, summary: pd.DataFrame) -> None:
    """Writes the summary as CSV where --summary asks for it, whole or not
    at all."""
    if job.summary:
        write_file(job.summary, lambda target: summary.to_csv(target, index=False))


def print_renamed(renamed: dict[str, str]) -> None:
    for old, new in renamed.items():
        print(f"vornet: note: the input column {old!r} is written as {new!r}", file=sys.stderr)


def print_written(job: Job, rows: int, out: TextIO) -> None:
    if job.output and job.output != STDOUT:
        print(f"\nwrote {rows} rows to {job.output}", file=out)
    if job.summary:
        print(f"wrote the summary to {job.summary}", file=out)


def run(job: Job, out: TextIO = sys.stdout) -> None:
    """Runs `job` in this process: reads its chain, solves it, writes the
    table (a file or a folder of parts), the summary and the picture, and
    prints the report unless quiet."""
    planned = plan(job)
    if job.output == STDOUT:  # the rows go there: the report goes to the errors'
        out = sys.stderr
    quotes = read_chains(planned.files)
    progress = not job.quiet and sys.stderr.isatty()
    workers = 1 if job.workers is None else job.workers
    result = surface(quotes, planned.rates, workers=workers, progress=progress,
                     **planned.options)
    if planned.folder:
        write_parts(result.table, quotes, job.output, planned.suffix, result.typed)
    elif job.output:
        write_table(result.table, job.output, result.typed)
    write_summary(job, result.summary)
    if not job.quiet:
        print_renamed(result.renamed)
        print_report(result.summary, count_statuses(result.table["status"]), len(result.table),
                     quotes.source, out)
        print_written(job, len(result.table), out)
    draw(job, result, out)


def draw(job: Job, result: Surface, out: TextIO) -> None:
    """The picture and the report the job asks for, of the same figures,
    each file written saying what it holds (and what was left out)."""
    if not (job.plot or job.report):
        return
    from vornet.panels import smile_figures

    figures = smile_figures(result, min_days=job.plot_min_days,
                            max_expiries=job.plot_max_expiries,
                            model=getattr(job, "model", None))
    lines = []
    if job.plot:
        from vornet import plot

        for path, group in plot.write_figures(figures, job.plot):
            for figure in group:
                lines.append(f"drew {len(figure.panels)} smiles ({figure.heading}) in {path}")
                lines += [f"  not drawn: {note}" for note in figure.left_out]
    if job.report:
        from vornet.report_html import write_report_figures

        write_report_figures(figures, job.report)
        panels = sum(len(f.panels) for f in figures)
        lines.append(f"wrote the report of {panels} smiles in {len(figures)} "
                     f"figure{'s' if len(figures) > 1 else ''} to {job.report}")
        if not job.plot:
            lines += [f"  not drawn ({f.heading}): {note}" for f in figures
                      for note in f.left_out]
    if not job.quiet:
        print("\n".join(lines), file=out)
