"""Option chains on Dask: forwards and implied volatilities of many files
on a cluster, chain by chain.

::

    from distributed import Client
    from vornet import chain, dask as vdask

    client = Client("tcp://scheduler:8786")          # or Client() on this machine
    quotes = vdask.read_chains("quotes/*.parquet")    # one partition per file
    table = vdask.surface(quotes, chain.RateCurve.flat(0.02))
    table.to_parquet("out/")

A chain is one underlying (and option root) at one quote time and expiry:
its forward is searched over all of its strikes, so each chain must lie
whole in one partition. Every partition then runs the single-machine
:func:`vornet.chain.surface`, the same code on the same rows, so the
results are those of one process bit for bit. :func:`surface` checks the
partitioning by reading the key columns once, and groups the rows by chain
with a shuffle only when some chain is split between partitions.

Threads: Dask runs one task per worker thread, and each task runs vornet on
``workers`` threads (1 by default). Keep processes x threads per process x
``workers`` at most the cores of each machine: the default, one vornet
thread per task, is right for workers started the usual way (``dask worker
--nworkers N --nthreads T`` with N x T cores).

Needs the ``dask`` extra: ``pip install 'vornet[dask]'`` (Dask's dataframes,
its distributed scheduler and pyarrow).
"""

from __future__ import annotations

import dataclasses
import operator
import os
import sys
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any, TextIO

import numpy as np
import pandas as pd

try:
    import dask
    import dask.dataframe as dd
except ImportError as error:
    raise ImportError("vornet.dask needs Dask: pip install 'vornet[dask]'") from error

from vornet import chain as chains
from vornet.chain import job as jobs
from vornet.chain.columns import KEY_FIELDS, empty_results, renamed_inputs, time_field
from vornet.chain.outputs import (
    check_folder,
    new_token,
    remove_temporaries,
    replace_parts,
    write_part,
)
from vornet.chain.report import print_report
from vornet.chain.values import Typing
from vornet.defaults import CALENDAR
from vornet.market import Method, Model, check_method, check_model

__all__ = ["read_chains", "surface", "find_layout", "solve_partitions", "write_parts", "run_job",
           "Layout", "PartResult", "Written"]

# Columns read_chains adds so that a row's detail names its file and line
# as a single-process run does; they never reach the results.
_WHERE, _UNIT, _PROBLEM = "_vornet_where", "_vornet_unit", "_vornet_problem"
# Columns the grouping by chain adds: the chain's hash and the row's
# position in the input.
_CHAIN, _ROW = "_vornet_chain", "_vornet_row"
_HIDDEN = (_WHERE, _UNIT, _PROBLEM, _CHAIN, _ROW)


# ---------------------------------------------------------------------------
# Reading


def _read_file(source: tuple[str, str], all_columns: tuple[str, ...], first: str,
               labelled: bool, columns: list[str] | None = None) -> pd.DataFrame:
    """One file as one partition, read by :func:`vornet.chain.read_chain`,
    with where each row came from. Dask passes `columns` when a computation
    uses only some; Parquet then reads only those."""
    path, name = Path(source[0]), source[1]
    wanted = list(columns) if columns is not None else [*all_columns, _WHERE, _UNIT, _PROBLEM]
    if chains.is_parquet(path) and not any(c in wanted for c in (_WHERE, _UNIT, _PROBLEM)):
        return pd.read_parquet(path, columns=wanted).reset_index(drop=True)
    chain = chains.read_chain(path)
    chains.check_columns(chain.frame, name, list(all_columns), first)
    problems = np.full(len(chain.frame), "", dtype=object)
    for row, text in chain.problems.items():
        problems[row] = text
    unit = f"{name} {chain.unit}" if labelled else chain.unit
    frame = chain.frame.assign(**{_WHERE: chain.where, _UNIT: unit, _PROBLEM: problems})
    return frame[wanted]


def read_chains(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]
                ) -> dd.DataFrame:
    """A Dask dataframe of option chains, one partition per file.

    Parameters
    ----------
    paths : str, path or sequence of them
        A file, a glob pattern (``'quotes/*.parquet'``), a folder (its .csv,
        .csv.gz and .parquet files) or a list of files: CSV values are read
        as text, as ``vornet surface`` reads them.

    The partitions carry where each row came from, so that
    :func:`surface` names a bad row's file and line exactly as a
    single-process run over the same files does.
    """
    if isinstance(paths, (str, os.PathLike)):
        files = chains.input_files(paths)
    else:
        files = [Path(p) for p in paths]
        if not files:
            raise chains.ChainError("no files given")
    names = chains.file_names(files)
    first = chains.read_chain(files[0]).frame
    meta = first.iloc[:0].assign(**{_WHERE: np.empty(0, dtype=np.int64),
                                     _UNIT: np.empty(0, dtype=object),
                                     _PROBLEM: np.empty(0, dtype=object)})
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_map(_read_file, [(str(f), n) for f, n in zip(files, names)],
                           args=(tuple(map(str, first.columns)), names[0], len(files) > 1),
                           meta=meta, label="read-chains", enforce_metadata=False)


# ---------------------------------------------------------------------------
# Solving


@dataclasses.dataclass(frozen=True)
class _Options:
    """What every partition is solved with (sent to the workers)."""

    rates: chains.RateCurve
    mapping: Mapping[str, str] | None
    expiry_time: str | None
    timezone: str | None
    calendar: str | None
    workers: int
    method: Method
    sides: bool = False
    style: str | None = None
    model: Model = "baw"

    def clock(self) -> Any:
        return chains.make_clock(self.expiry_time, self.timezone, self.calendar)


@dataclasses.dataclass(frozen=True)
class Layout:
    """How the input lies in its partitions, as :func:`surface` found it."""

    #: Rows per input partition.
    lengths: tuple[int, ...]
    #: Whether every chain lies whole in one partition.
    by_chain: bool
    #: Chains split between partitions (0 when ``by_chain``).
    split_chains: int


def _key_columns(columns: Mapping[str, str]) -> list[str]:
    names = (time_field(columns), "expiration", *KEY_FIELDS)
    return list(dict.fromkeys(columns[n] for n in names if n in columns))


def _partition_chains(part: pd.DataFrame, columns: Mapping[str, str], options: _Options
                      ) -> tuple[int, np.ndarray]:
    hashes, known = chains.chain_hashes(part, columns, options.clock())
    return len(part), np.unique(hashes[known])


def find_layout(frame: dd.DataFrame, *, mapping: Mapping[str, str] | None = None,
                expiry_time: str | None = None, timezone: str | None = None,
                calendar: str | None = CALENDAR) -> Layout:
    """Reads the key columns of every partition (quote time, expiry,
    underlying, root; nothing else where the format allows) and tells
    whether any chain is split between partitions, as :func:`surface`
    does before it solves. The options are those of :func:`surface`."""
    columns = chains.resolve_columns([c for c in frame.columns if c not in _HIDDEN], mapping)
    return _find_layout(frame, columns, _Options(chains.RateCurve.flat(0.0), mapping,
                                                 expiry_time, timezone, calendar, 1, "exact"))


def _count_shared(hash_sets: list[np.ndarray]) -> int:
    """How many hashes appear in more than one of the sets (each without
    repeats)."""
    if not hash_sets:
        return 0
    _, counts = np.unique(np.concatenate(hash_sets), return_counts=True)
    return int((counts > 1).sum())


def _find_layout(frame: dd.DataFrame, columns: Mapping[str, str], options: _Options
                 ) -> Layout:
    names = _key_columns(columns)
    parts = frame[names].to_delayed()
    if len(parts) != frame.npartitions:
        # Dask merges partitions that the key columns alone make small;
        # the check must see the partitions the rows are solved in.
        parts = [part[names] for part in frame.to_delayed()]
    found = dask.compute(*[dask.delayed(_partition_chains)(part, columns, options)
                           for part in parts])
    split = _count_shared([hashes for _, hashes in found])
    return Layout(tuple(int(n) for n, _ in found), split == 0, split)


def _with_chain_columns(part: pd.DataFrame, offsets: np.ndarray, columns: Mapping[str, str],
                        options: _Options, partition_info: dict[str, Any] | None = None
                        ) -> pd.DataFrame:
    number = partition_info["number"] if partition_info else 0
    hashes, _ = chains.chain_hashes(part, columns, options.clock())
    return part.assign(**{_CHAIN: hashes,
                          _ROW: offsets[number] + np.arange(len(part), dtype=np.int64)})


def _result_meta(meta: pd.DataFrame, sides: bool) -> pd.DataFrame:
    return empty_results(meta.drop(columns=[c for c in _HIDDEN if c in meta.columns]), sides)


def _solve(part: pd.DataFrame, options: _Options, offsets: np.ndarray | None,
           number: int) -> chains.Surface:
    """The single-machine surface of one partition of whole chains."""
    index = part.index
    if _ROW in part.columns:
        # Grouped by a shuffle: back into the input's order, indexed by the
        # position in the input.
        part = part.sort_values(_ROW, kind="stable")
        index = pd.Index(part[_ROW].to_numpy())
    # Where a bad row is, for its detail: its file and line (read_chains),
    # else its position in the input, else in the partition.
    where: np.ndarray
    unit: str | np.ndarray
    problems: dict[int, str] = {}
    if _WHERE in part.columns:
        where, unit = part[_WHERE].to_numpy(), part[_UNIT].to_numpy(dtype=object)
        problems = {row: text for row, text in enumerate(part[_PROBLEM].tolist()) if text}
    elif _ROW in part.columns:
        where, unit = part[_ROW].to_numpy() + 1, "row"
    elif offsets is not None:
        where, unit = offsets[number] + np.arange(1, len(part) + 1), "row"
    else:
        where, unit = np.arange(1, len(part) + 1), f"partition {number} row"
    frame = part.drop(columns=[c for c in _HIDDEN if c in part.columns]).reset_index(drop=True)
    result = chains.surface(
        chains.Chain(frame, where, unit, problems, f"partition {number}"), options.rates,
        mapping=options.mapping, expiry_time=options.expiry_time, timezone=options.timezone,
        calendar=options.calendar, sides=options.sides, style=options.style,
        workers=options.workers, method=options.method, model=options.model)
    result.table.index = index
    return result


def _solve_table(part: pd.DataFrame, options: _Options, offsets: np.ndarray | None,
                 partition_info: dict[str, Any] | None = None) -> pd.DataFrame:
    return _solve(part, options, offsets, partition_info["number"] if partition_info else 0
                  ).table


def _then(part: pd.DataFrame, options: _Options, offsets: np.ndarray | None, number: int,
          then: Callable[[chains.Surface, int], Any]) -> Any:
    return then(_solve(part, options, offsets, number), number)


@dataclasses.dataclass
class _Prepared:
    frame: dd.DataFrame
    options: _Options
    offsets: np.ndarray | None
    layout: Layout | None
    meta: pd.DataFrame


def _prepare(frame: dd.DataFrame, rates: chains.RateCurve, *,
             mapping: Mapping[str, str] | None = None, expiry_time: str | None = None,
             timezone: str | None = None, calendar: str | None = CALENDAR, workers: int = 1,
             method: Method = "exact", sides: bool = False, style: str | None = None,
             by_chain: bool | None = None, lengths: tuple[int, ...] | None = None,
             model: Model = "baw") -> _Prepared:
    if not isinstance(frame, dd.DataFrame):
        raise TypeError(f"expected a Dask DataFrame, got {type(frame).__name__}")
    columns = chains.resolve_columns([c for c in frame.columns if c not in _HIDDEN], mapping)
    # A bad zone, time or calendar fails here, not on a worker.
    chains.make_clock(expiry_time, timezone, calendar)
    try:
        count = operator.index(workers)
    except TypeError:
        count = 0
    if isinstance(workers, bool) or count == 0:
        raise ValueError(f"workers must be a nonzero integer (threads per task, -1 every core "
                         f"of the worker's machine), got {workers!r}")
    workers = count
    check_method(method)
    check_model(model)
    options = _Options(rates, dict(mapping) if mapping else None, expiry_time, timezone, calendar,
                       workers, method, bool(sides), style, model)
    meta = _result_meta(frame._meta, sides)
    layout = _find_layout(frame, columns, options) if by_chain is None else None
    grouped = by_chain is False or (layout is not None and not layout.by_chain)
    offsets = None
    if layout is not None or grouped:
        if layout is not None:
            lengths = layout.lengths
        elif lengths is None:
            lengths = tuple(int(n) for n in frame.map_partitions(len).compute())
        offsets = np.cumsum([0, *lengths[:-1]]).astype(np.int64)
    if grouped:
        keyed_meta = frame._meta.assign(**{_CHAIN: np.empty(0, dtype=np.uint64),
                                           _ROW: np.empty(0, dtype=np.int64)})
        frame = frame.map_partitions(_with_chain_columns, offsets, columns, options,
                                     meta=keyed_meta, enforce_metadata=False)
        frame = frame.shuffle(on=_CHAIN, npartitions=frame.npartitions)
        offsets = None
    return _Prepared(frame, options, offsets, layout, meta)


def surface(frame: dd.DataFrame, rates: chains.RateCurve, *,
            mapping: Mapping[str, str] | None = None, expiry_time: str | None = None,
            timezone: str | None = None, calendar: str | None = CALENDAR, workers: int = 1,
            method: Method = "exact", sides: bool = False, style: str | None = None,
            by_chain: bool | None = None, model: Model = "baw") -> dd.DataFrame:
    """Forwards and implied volatilities of the chains in a Dask dataframe.

    Parameters
    ----------
    frame : dask.dataframe.DataFrame
        Quotes in the columns ``vornet surface`` reads (see
        :data:`vornet.chain.FIELDS`), from :func:`read_chains`,
        ``dask.dataframe.read_parquet`` or any other source.
    rates, mapping, expiry_time, timezone, calendar, method, sides, style, model
        As for :func:`vornet.chain.surface`.
    workers : int, optional
        vornet's threads inside each task: 1 (default); -1 every core of the
        machine the task runs on. Dask already runs a task per worker
        thread: keep Dask's threads times ``workers`` at most the cores.
    by_chain : bool, optional
        Whether every chain lies whole in one partition. By default this is
        found out by reading the key columns (quote time, expiry, underlying,
        root) once, now. ``True`` trusts it without looking (a chain split
        between partitions then gets forwards from part of its strikes);
        ``False`` groups the rows by chain without looking.

    Returns
    -------
    dask.dataframe.DataFrame
        The input's rows with ``T``, ``forward``, ``discount``, ``mid``,
        ``iv``, ``otm``, ``status`` and ``detail`` added, computed partition
        by partition by :func:`vornet.chain.surface`: bit for bit the
        single-process results. When the chains lie whole in the partitions,
        each partition keeps its rows, their order and index. Otherwise the
        rows are first grouped by chain, a shuffle that moves every row once
        across the cluster: each output partition then holds whole chains,
        its rows in input order and indexed by their position in the input
        (0, 1, ...), so that ``sort_index()`` restores the input's order.
    """
    prepared = _prepare(frame, rates, mapping=mapping, expiry_time=expiry_time,
                        timezone=timezone, calendar=calendar, workers=workers, method=method,
                        sides=sides, style=style, by_chain=by_chain, model=model)
    return prepared.frame.map_partitions(_solve_table, prepared.options, prepared.offsets,
                                         meta=prepared.meta, enforce_metadata=False)


def solve_partitions(frame: dd.DataFrame, rates: chains.RateCurve,
                     then: Callable[[chains.Surface, int], Any], *,
                     mapping: Mapping[str, str] | None = None, expiry_time: str | None = None,
                     timezone: str | None = None, calendar: str | None = CALENDAR,
                     workers: int = 1, method: Method = "exact", sides: bool = False,
                     style: str | None = None, by_chain: bool | None = None,
                     model: Model = "baw") -> tuple[list[Any], Layout | None]:
    """Like :func:`surface`, but each partition's whole
    :class:`vornet.chain.Surface` (table and summary) goes to
    ``then(surface, partition_number)`` on the worker: one delayed value
    per partition, and the layout found (None when ``by_chain`` was
    given). The command writes its output files this way, so that only
    the summaries come back."""
    prepared = _prepare(frame, rates, mapping=mapping, expiry_time=expiry_time,
                        timezone=timezone, calendar=calendar, workers=workers, method=method,
                        sides=sides, style=style, by_chain=by_chain, model=model)
    tasks = [dask.delayed(_then, pure=True)(part, prepared.options, prepared.offsets, number,
                                            then)
             for number, part in enumerate(prepared.frame.to_delayed())]
    return tasks, prepared.layout


# ---------------------------------------------------------------------------
# Writing


_NO_CHAINS = np.empty(0, dtype=np.uint64)


@dataclasses.dataclass(frozen=True)
class PartResult:
    """What a task that solves or writes a partition sends back: never the
    rows themselves."""

    #: The partition's summary (see :attr:`vornet.chain.Surface.summary`);
    #: None from a task that only writes rows solved elsewhere.
    summary: pd.DataFrame | None
    #: Rows written per status.
    counts: dict[str, int]
    #: Input columns written under another name.
    renamed: dict[str, str]
    #: Rows written.
    rows: int
    #: The hashes of the partition's chains (:attr:`vornet.chain.Surface.chain_hashes`).
    chains: np.ndarray = dataclasses.field(default_factory=lambda: _NO_CHAINS)
    #: The part written, under its temporary name: final path -> that name.
    written: dict[str, str] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass(frozen=True)
class _PartWriter:
    """Writes one partition's rows to ``folder/part.NNNNN<suffix>`` on the
    worker and sends back only what the command reports."""

    folder: str | None
    suffix: str
    #: The mark of this run's temporary names.
    token: str
    #: How Parquet parts type the columns read as numbers and times.
    typing: Typing | None = None

    def write(self, table: pd.DataFrame, number: int) -> PartResult:
        written = {}
        if self.folder is not None:
            final = chains.part_path(self.folder, number, self.suffix)
            typed = self.typing.apply if self.typing is not None else None
            written[str(final)] = str(write_part(table, final, self.token, typed))
        return PartResult(None, table["status"].value_counts().to_dict(), {}, len(table),
                          written=written)

    def __call__(self, result: chains.Surface, number: int) -> PartResult:
        written = self.write(result.table, number)
        return dataclasses.replace(written, summary=result.summary, renamed=result.renamed,
                                   chains=result.chain_hashes)


@dataclasses.dataclass
class Written:
    """What :func:`write_parts` wrote."""

    #: One row per chain (see :attr:`vornet.chain.Surface.summary`), in
    #: the order of quote time, expiry, underlying and root.
    summary: pd.DataFrame
    #: Rows per status.
    counts: dict[str, int]
    #: Input columns written under another name (see
    #: :attr:`vornet.chain.Surface.renamed`).
    renamed: dict[str, str]
    #: Rows written, and the files, one per partition.
    rows: int
    paths: list[Path]
    #: How the input lay (None when ``by_chain`` was given).
    layout: Layout | None


def _gather(answers: list[PartResult]) -> tuple[pd.DataFrame, dict[str, int], dict[str, str]]:
    """The partitions' summaries as one, in chain order; the rows per
    status; the columns renamed."""
    found = [a.summary for a in answers if a.summary is not None]
    summaries = [s for s in found if len(s)]
    summary = (pd.concat(summaries, ignore_index=True) if summaries
               else found[0] if found else pd.DataFrame(columns=chains.SUMMARY_COLUMNS))
    order = _summary_keys(summary)
    keys = summary[order].astype(str).sort_values(order, kind="stable")
    summary = summary.loc[keys.index].reset_index(drop=True)
    counts: dict[str, int] = {}
    renamed: dict[str, str] = {}
    for answer in answers:
        for status, count in answer.counts.items():
            counts[status] = counts.get(status, 0) + int(count)
        renamed.update(answer.renamed)
    return summary, counts, renamed


def write_parts(frame: dd.DataFrame, rates: chains.RateCurve,
                folder: str | os.PathLike[str] | None, *, suffix: str = ".parquet",
                progress: bool = False, **options: Any) -> Written:
    """Solves every partition as :func:`surface` does and writes each, on
    the worker that solved it, to ``folder/part.00000.parquet``, ... (or
    ``.csv``, ``.csv.gz``), so that no row travels back; with `folder`
    None, writes nothing and gives the summary alone. Runs on the
    distributed client when there is one (with a progress bar over the
    partitions when `progress`), else on Dask's default scheduler.
    `options` are those of :func:`surface`.

    Unless `by_chain` is given, the partitions are solved as they lie, and
    the chains they held are compared afterwards: only when a chain turns
    out split between partitions are the parts removed and the rows grouped
    by chain and solved again. The common case, files of whole chains, thus
    reads every file once."""
    if folder is not None:
        folder = Path(folder)
        check_folder(folder, suffix, ())
        folder.mkdir(parents=True, exist_ok=True)
    columns = chains.resolve_columns([c for c in frame.columns if c not in _HIDDEN],
                                     options.get("mapping"))
    inputs = [c for c in frame.columns if c not in _HIDDEN]
    typing = Typing.of(columns, renamed_inputs(inputs),
                       chains.make_clock(options.get("expiry_time"), options.get("timezone"),
                                         options.get("calendar", CALENDAR)))
    writer = _PartWriter(None if folder is None else str(folder), suffix, new_token(), typing)
    try:
        answers, layout = _solve_and_write(frame, rates, writer, folder, progress, options)
    except BaseException:
        if folder is not None:  # a failed run leaves the folder as it was
            remove_temporaries(folder, writer.token)
        raise
    if folder is not None:
        replace_parts(folder, {Path(final): Path(temporary) for answer in answers
                               for final, temporary in answer.written.items()})
    summary, counts, renamed = _gather(answers)
    paths = ([] if folder is None else
             [chains.part_path(folder, n, suffix) for n in range(frame.npartitions)])
    return Written(summary, counts, renamed, sum(a.rows for a in answers), paths, layout)


def _solve_and_write(frame: dd.DataFrame, rates: chains.RateCurve, writer: _PartWriter,
                     folder: Path | None, progress: bool, options: dict[str, Any]
                     ) -> tuple[list[PartResult], Layout | None]:
    """The partitions solved and written under temporary names: as they
    lie, and again grouped by chain when some chain turns out split."""
    by_chain = options.pop("by_chain", None)
    layout = None
    if by_chain is False:
        return _compute(_regrouped(frame, rates, writer, None, options), progress), None
    tasks, _ = solve_partitions(frame, rates, writer, by_chain=True, **options)
    answers = _compute(tasks, progress)
    if by_chain is None:
        split = _count_shared([answer.chains for answer in answers])
        layout = Layout(tuple(answer.rows for answer in answers), split == 0, split)
        if split:
            if folder is not None:  # no part solved from part of a chain is kept
                remove_temporaries(folder, writer.token)
            answers = _compute(_regrouped(frame, rates, writer, layout.lengths, options),
                               progress)
    return answers, layout


def _regrouped(frame: dd.DataFrame, rates: chains.RateCurve, writer: _PartWriter,
               lengths: tuple[int, ...] | None, options: dict[str, Any]) -> list[Any]:
    """Tasks that solve the rows grouped by chain, then bring every row back
    to the partition it came from, in its place, so that each part holds
    what one process writes for it: a PartResult per grouped partition (its
    summary, nothing written) and per part written (its rows, no summary)."""
    if lengths is None:
        lengths = tuple(int(n) for n in frame.map_partitions(len).compute())
    prepared = _prepare(frame, rates, by_chain=False, lengths=lengths, **options)
    solved = [dask.delayed(_solve, pure=True)(part, prepared.options, None, number)
              for number, part in enumerate(prepared.frame.to_delayed())]
    row_meta = pd.concat([pd.DataFrame({_ROW: np.empty(0, dtype=np.int64)}),
                          prepared.meta.reset_index(drop=True)], axis=1)
    tables = dd.from_delayed([dask.delayed(_table_by_row)(result) for result in solved],
                             meta=row_meta, verify_meta=False)
    # Each input partition's rows are a run of positions: those runs as
    # divisions put every row back in its partition, sorted.
    numbers = [number for number, length in enumerate(lengths) if length]
    starts = np.cumsum([0, *lengths])
    bounds = [int(starts[n]) for n in numbers] + [int(starts[-1]) - 1]
    parts = tables.set_index(_ROW, divisions=bounds).to_delayed()
    summaries = [dask.delayed(_summary_of)(result) for result in solved]
    written = [dask.delayed(_write_back)(part, writer, number)
               for number, part in zip(numbers, parts)]
    return summaries + written


def _table_by_row(result: chains.Surface) -> pd.DataFrame:
    return result.table.rename_axis(_ROW).reset_index()


def _summary_of(result: chains.Surface) -> PartResult:
    return PartResult(result.summary, {}, result.renamed, 0, result.chain_hashes)


def _write_back(table: pd.DataFrame, writer: _PartWriter, number: int) -> PartResult:
    return writer.write(table.reset_index(drop=True), number)


def _summary_keys(summary: pd.DataFrame) -> list[str]:
    """The summary's columns that name a chain: quote time, expiry,
    underlying and root."""
    return ["quote_time", "expiration",
            *[c for c in summary.columns if c not in chains.SUMMARY_COLUMNS]]


def _compute(tasks: list[Any], progress: bool) -> list[Any]:
    try:
        from distributed import as_completed, get_client

        client = get_client()
    except (ImportError, ValueError):
        return list(dask.compute(*tasks))
    futures = client.compute(tasks)
    if progress:
        from tqdm import tqdm

        with tqdm(total=len(futures), desc="partitions", unit="part", leave=False,
                  dynamic_ncols=True) as bar:
            for _ in as_completed(futures):
                bar.update()
    return client.gather(futures)


# ---------------------------------------------------------------------------
# The command


def _connect(job: jobs.Job) -> tuple[Any, Any, int]:
    """(client, cluster or None, vornet's threads per task) for the job's
    scheduler: a local cluster of one-thread worker processes, or a running
    scheduler's address."""
    import logging

    from distributed import Client, LocalCluster

    from vornet.market import resolve_workers

    cluster = None
    threads = 1 if job.workers is None else job.workers
    if job.scheduler == "local":
        processes = resolve_workers(-1 if job.workers is None else job.workers)
        cluster = LocalCluster(n_workers=processes, threads_per_worker=1, processes=True,
                               dashboard_address=":0", silence_logs=logging.ERROR)
        threads = 1
    try:
        client = Client(cluster if cluster is not None else job.scheduler, timeout=30)
    except (OSError, ValueError, TypeError) as error:
        if cluster is not None:
            cluster.close()
        raise chains.ChainError(f"cannot reach the scheduler {job.scheduler}: {error}"
                                ) from None
    return client, cluster, threads


def run_job(job: jobs.Job, out: TextIO = sys.stdout) -> None:
    """Runs a ``vornet surface`` job (:class:`vornet.chain.job.Job`) on its
    Dask scheduler: each file a partition, the parts written by the
    workers, only the summaries coming back."""
    planned = jobs.plan(job)
    if job.output and not planned.folder:
        raise chains.ChainError(f"with --scheduler, -o names a folder, written part by part "
                                f"where the parts are solved: {job.output}/")
    if job.plot:
        raise chains.ChainError("--plot is not available with --scheduler: the rows stay on "
                                "the cluster")
    if job.report:
        raise chains.ChainError("--report is not available with --scheduler: the rows stay "
                                "on the cluster")
    client, cluster, threads = _connect(job)
    try:
        with client:
            frame = read_chains(planned.files)
            progress = not job.quiet and sys.stderr.isatty()
            written = write_parts(frame, planned.rates, job.output, suffix=planned.suffix,
                                  progress=progress, workers=threads, **planned.options)
            jobs.write_summary(job, written.summary)
    finally:
        if cluster is not None:
            cluster.close()
    if not job.quiet:
        jobs.print_renamed(written.renamed)
        print_report(written.summary, written.counts, written.rows, planned.source, out)
        if written.layout is not None and not written.layout.by_chain:
            print(f"note: {written.layout.split_chains} chains were split between files; "
                  f"their rows were grouped by chain first", file=out)
        jobs.print_written(job, written.rows, out)
