"""Chains from files: which files a chain argument names, and reading them,
every row with where it came from.

CSV values are kept as text, so that the columns the chain is not read with
pass through unchanged. The values come from pyarrow's CSV reader when
pyarrow is installed, else from pandas' own; where each record lies (its
line, its number of fields) comes from :mod:`vornet.chain.csv_records`, so
that a quoted field over two lines or a blank line never shifts the line a
bad row is reported at, and a row with more or fewer fields than the header
is kept (padded or cut to the header) and reported.
"""

from __future__ import annotations

import csv
import dataclasses
import glob
import gzip
import io
import os
from collections.abc import Iterable
from pathlib import Path

import numpy as np
import pandas as pd

from vornet.chain.columns import columns_found
from vornet.chain.csv_records import Records, UnclosedQuote, scan
from vornet.chain.errors import ChainError

try:
    import pyarrow as pa
    import pyarrow.csv as arrow_csv
except ImportError:  # the pandas reader is used instead
    arrow_csv = None

__all__ = ["Chain", "read_chain", "read_chains", "input_files", "file_names", "check_columns",
           "is_parquet", "needs_pyarrow"]

_CHAIN_SUFFIXES = (".csv", ".csv.gz", ".parquet", ".pq")
_BOM = b"\xef\xbb\xbf"


@dataclasses.dataclass
class Chain:
    """An option chain as read: its columns untouched, where each row came
    from, and the rows that could not be read whole."""

    #: The file's columns, as read (CSV: text; Parquet: its own types).
    frame: pd.DataFrame
    #: Per row, its line in the file (CSV, the header is line 1) or its row
    #: number (Parquet, from 1).
    where: np.ndarray
    #: "line" or "row": what ``where`` counts; per row (an array) for a
    #: chain read from several files, naming the file ("a.csv line").
    unit: str | np.ndarray = "line"
    #: Row position -> why the row could not be read whole.
    problems: dict[int, str] = dataclasses.field(default_factory=dict)
    #: The file's name, for messages.
    source: str = "chain"
    #: For a chain read from several files: their names, and per row the
    #: position of its file among them.
    files: list[str] | None = None
    file_of: np.ndarray | None = None

    def locate(self, row: int) -> str:
        """Where the row came from: "line 7", or "a.csv line 7"."""
        unit = self.unit if isinstance(self.unit, str) else self.unit[row]
        return f"{unit} {self.where[row]}"


def is_parquet(path: str | os.PathLike[str]) -> bool:
    """Whether the file's name says Parquet (.parquet, .pq)."""
    return Path(path).suffix.lower() in (".parquet", ".pq")


def needs_pyarrow(path: str | os.PathLike[str], doing: str) -> None:
    """Raises ChainError when `path` is Parquet and pyarrow is missing."""
    if is_parquet(path):
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise ChainError(f"{doing} {Path(path).name} needs pyarrow: pip install "
                             f"'vornet[parquet]'") from None


def input_files(pattern: str | os.PathLike[str]) -> list[Path]:
    """The files a chain argument names: a file; a glob pattern
    (``'quotes/*.parquet'``, ``**`` for any depth); or a folder, meaning its
    .csv, .csv.gz and .parquet files at any depth. Sorted by path."""
    text = os.fspath(pattern)
    if any(c in text for c in "*?["):
        files = sorted(Path(p) for p in glob.glob(text, recursive=True) if Path(p).is_file())
        if not files:
            raise ChainError(f"no file matches {text!r}")
        return files
    path = Path(text)
    if path.is_dir():
        files = sorted(p for p in path.rglob("*")
                       if p.is_file() and p.name.lower().endswith(_CHAIN_SUFFIXES))
        if not files:
            raise ChainError(f"{path} holds no .csv, .csv.gz or .parquet file")
        return files
    return [path]


def file_names(paths: list[Path]) -> list[str]:
    """Short names for messages: the paths below the folder they share."""
    if len(paths) == 1:
        return [paths[0].name]
    common = Path(os.path.commonpath([p.absolute() for p in paths]))
    return [p.absolute().relative_to(common).as_posix() for p in paths]


def check_columns(frame: pd.DataFrame, name: str, columns: list[str], first: str) -> None:
    """Raises ChainError unless the file `name` has the columns of the file
    `first` (in any order)."""
    if set(frame.columns) != set(columns):
        raise ChainError(f"{name} has the columns {columns_found(list(frame.columns))} "
                         f"where {first} has {columns_found(columns)}")


def read_chain(path: str | os.PathLike[str]) -> Chain:
    """Reads an option chain from CSV (also gzip-compressed, ``.csv.gz``)
    or Parquet (``.parquet``, ``.pq``; needs pyarrow).

    CSV values are kept as text. Blank lines are skipped. A row with more or
    fewer fields than the header is kept, padded or cut to the header, and
    marked to be reported as an invalid row.
    """
    path = Path(path)
    if is_parquet(path):
        return _read_parquet(path)
    return _read_csv(path)


def read_chains(paths: Iterable[str | os.PathLike[str]]) -> Chain:
    """Reads the chains of several files (see :func:`read_chain`) as one:
    their rows in the order of the files; a row's ``detail`` names its
    file. The files must have the same columns (in any order)."""
    files = [Path(p) for p in paths]
    if len(files) == 1:
        return read_chain(files[0])
    names = file_names(files)
    parts = [read_chain(path) for path in files]
    columns = list(parts[0].frame.columns)
    for part, name in zip(parts[1:], names[1:]):
        check_columns(part.frame, name, columns, names[0])
    frame = pd.concat([part.frame[columns] for part in parts], ignore_index=True)
    lengths = [len(part.frame) for part in parts]
    offsets = np.cumsum([0] + lengths[:-1])
    problems = {int(offset) + row: text for offset, part in zip(offsets, parts)
                for row, text in part.problems.items()}
    unit = np.concatenate([np.full(len(part.frame), f"{name} {part.unit}", dtype=object)
                           for name, part in zip(names, parts)])
    return Chain(frame, np.concatenate([part.where for part in parts]), unit, problems,
                 f"{len(files)} files", names, np.repeat(np.arange(len(files)), lengths))


def _read_parquet(path: Path) -> Chain:
    needs_pyarrow(path, "reading")
    try:
        frame = pd.read_parquet(path)
    except OSError as error:
        raise ChainError(f"cannot read {path}: {error}") from None
    except Exception as error:  # pyarrow's own errors for a file that is not Parquet
        raise ChainError(f"cannot read {path} as Parquet: {error}") from None
    if len(frame.columns) == 0:
        raise ChainError(f"{path.name} is empty: it has no columns")
    if len(frame) == 0:
        raise ChainError(f"{path.name} has no quotes: its columns are "
                         f"{columns_found([str(c) for c in frame.columns])} but it has no rows")
    return Chain(_index_as_columns(frame, path.name), np.arange(1, len(frame) + 1), "row", {},
                 path.name)


def _index_as_columns(frame: pd.DataFrame, name: str) -> pd.DataFrame:
    """The frame with the index the file stored (a column such as ``id``
    that was set as the index) as columns in front, like any other; a
    plain row count is no column."""
    index = frame.index
    if isinstance(index, pd.RangeIndex) and index.name is None and index.start == 0 \
            and index.step == 1:
        return frame
    names = [n if n is not None else "index" for n in index.names]
    clash = [n for n in names if n in frame.columns]
    if clash:
        raise ChainError(f"{name}: its index {clash[0]!r} has the name of one of its columns")
    return frame.reset_index(names=names)


# ---------------------------------------------------------------------------
# CSV


def _file_bytes(path: Path) -> bytes:
    """The file's bytes, decompressed for .gz, without a byte-order mark."""
    try:
        if path.suffix.lower() == ".gz":
            with gzip.open(path, "rb") as file:
                data = file.read()
        else:
            data = path.read_bytes()
    except FileNotFoundError:
        raise ChainError(f"cannot read {path}: no such file") from None
    except IsADirectoryError:
        raise ChainError(f"cannot read {path}: it is a folder") from None
    except (OSError, EOFError) as error:
        raise ChainError(f"cannot read {path}: {error}") from None
    return data[len(_BOM):] if data.startswith(_BOM) else data


def _header(data: bytes, name: str) -> tuple[int, list[str]]:
    """The header: the first record that is not blank, as its record
    number and its fields (stripped)."""
    text = io.TextIOWrapper(io.BytesIO(data), encoding="utf-8", newline="")
    try:
        for number, record in enumerate(csv.reader(text)):
            if any(field.strip() for field in record):
                header = [field.strip() for field in record]
                duplicates = [c for i, c in enumerate(header) if c in header[:i]]
                if duplicates:
                    raise ChainError(f"{name}: the header names the column "
                                     f"{duplicates[0]!r} twice")
                return number, header
    except (UnicodeDecodeError, csv.Error) as error:
        raise ChainError(f"cannot read {name}: {error}") from None
    raise ChainError(f"{name} is empty: no header line and no quotes")


def _read_csv(path: Path) -> Chain:
    data = _file_bytes(path)
    name = path.name
    try:
        # pyarrow finds the rows of another width itself.
        records = scan(data, count_fields=arrow_csv is None)
    except UnclosedQuote as error:
        raise ChainError(f"cannot read {name}: {error}") from None
    header_record, header = _header(data, name)
    width = len(header)
    try:
        if arrow_csv is not None:
            columns, extras = _arrow_values(data, records, width)
        else:
            columns, extras = _pandas_values(data, records, width)
    except (UnicodeDecodeError, ValueError) as error:
        raise ChainError(f"cannot read {path}: {error}") from None
    del data
    blank = _blank([_text_series(c) for c in columns], extras)
    rows = np.flatnonzero(~blank & (np.arange(len(blank)) > header_record))
    if len(rows) == 0:
        raise ChainError(f"{name} has no quotes: only the header line "
                         f"({columns_found(header)})")
    frame = pd.DataFrame({h: _text_series(_pick(c, rows)) for h, c in zip(header, columns)})
    problems = {}
    fields = records.fields[rows]
    for position in np.flatnonzero((fields != width) & (fields != 0)).tolist():
        count = int(fields[position])
        problem = f"it has {count} fields where the header has {width}"
        beyond = extras.get(int(rows[position]))
        if beyond:
            problem += f" (beyond them: {', '.join(repr(v) for v in beyond)})"
        problems[position] = problem
    return Chain(frame, records.lines[rows], "line", problems, name)


def _blank(columns: list[pd.Series], extras: dict[int, list[str]]) -> np.ndarray:
    """Per record, whether every field is blank (white space at most): the
    first column is tested whole, the others only where it is blank."""
    candidates = np.arange(len(columns[0]))
    for values in columns:
        if len(candidates) == 0:
            break
        values = values.iloc[candidates] if len(candidates) < len(values) else values
        candidates = candidates[(values.str.strip() == "").to_numpy(dtype=bool)]
    blank = np.zeros(len(columns[0]), dtype=bool)
    blank[candidates] = True
    for record, beyond in extras.items():
        blank[record] &= not any(v.strip() for v in beyond)
    return blank


def _runs(mask: np.ndarray) -> list[tuple[int, int, bool]]:
    """The runs of equal values of a boolean mask: (start, stop, value)."""
    if len(mask) == 0:
        return []
    edges = np.flatnonzero(mask[1:] != mask[:-1]) + 1
    starts, stops = np.r_[0, edges], np.r_[edges, len(mask)]
    return [(int(a), int(b), bool(mask[a])) for a, b in zip(starts, stops)]


def _pick(column: object, rows: np.ndarray) -> object:
    """The values at `rows` (ascending): an Arrow column is cut into slices
    of its runs of consecutive rows, without a copy."""
    if not isinstance(column, pd.Series):
        wanted = np.zeros(len(column), dtype=bool)  # type: ignore[arg-type]
        wanted[rows] = True
        return _chunks([column.slice(a, b - a)  # type: ignore[attr-defined]
                        for a, b, keep in _runs(wanted) if keep])
    return column.take(rows).reset_index(drop=True)


def _chunks(pieces: list[object]) -> object:
    """One Arrow column of the chunks of `pieces` (arrays or chunked
    arrays), in order, none copied."""
    chunks = []
    for piece in pieces:
        chunks.extend(piece.chunks if isinstance(piece, pa.ChunkedArray) else [piece])
    return pa.chunked_array(chunks, type=pa.large_string())


def _text_series(array: object) -> pd.Series:
    return pd.Series(array, dtype=pd.StringDtype(na_value=np.nan))


def _split_ragged(texts: list[str], width: int
                  ) -> tuple[list[list[str]], list[list[str]], list[int]]:
    """The fields of records given as text, padded or cut to `width`, what
    lies beyond it, and how many fields each has."""
    rows, beyond, counts = [], [], []
    for text in texts:
        fields = next(csv.reader(io.StringIO(text, newline="")), [])
        rows.append((fields + [""] * width)[:width])
        beyond.append(fields[width:])
        counts.append(len(fields))
    return rows, beyond, counts


def _arrow_values(data: bytes, records: Records, width: int
                  ) -> tuple[list[object], dict[int, list[str]]]:
    """Every record's `width` fields as text (Arrow columns), read by
    pyarrow. Records of another width reach pyarrow's handler in file order
    and are split here, then put back in their places."""
    ragged: list[str] = []
    numbers: list[int] = []

    def handler(row: object) -> str:
        ragged.append(getattr(row, "text"))
        numbers.append(getattr(row, "number"))  # the record's, from 1
        return "skip"

    names = [str(i) for i in range(width)]
    table = arrow_csv.read_csv(
        pa.BufferReader(data),
        read_options=arrow_csv.ReadOptions(column_names=names, use_threads=False),
        parse_options=arrow_csv.ParseOptions(ignore_empty_lines=False,
                                             newlines_in_values=records.multiline,
                                             invalid_row_handler=handler),
        convert_options=arrow_csv.ConvertOptions(
            column_types={n: pa.large_string() for n in names}, strings_can_be_null=False,
            quoted_strings_can_be_null=False))
    # The records pyarrow set aside, by their numbers.
    other = np.zeros(len(records.lines), dtype=bool)
    at = np.asarray(numbers, dtype=np.int64) - 1
    if (table.num_rows + len(ragged) != len(other)
            or len(at) and (at.min() < 0 or at.max() >= len(other))):
        raise ValueError("the records do not match pyarrow's reading of the file")
    other[at] = True
    rows, beyond, counts = _split_ragged(ragged, width)
    fields = records.fields
    fields[fields == -1] = width
    fields[at] = counts
    if not ragged:
        return [table.column(name) for name in names], {}
    columns = []
    for j, name in enumerate(names):
        whole = table.column(name)
        split = pa.array([row[j] for row in rows], type=pa.large_string())
        taken = {False: 0, True: 0}
        pieces = []
        for a, b, is_other in _runs(other):
            source = split if is_other else whole
            pieces.append(source.slice(taken[is_other], b - a))
            taken[is_other] += b - a
        columns.append(_chunks(pieces))
    return columns, dict(zip(np.flatnonzero(other).tolist(), beyond))


def _pandas_values(data: bytes, records: Records, width: int
                   ) -> tuple[list[object], dict[int, list[str]]]:
    """Every record's `width` fields as text, read by pandas' C reader."""
    wide = max(width, int(records.fields.max(initial=0)))
    frame = pd.read_csv(io.BytesIO(data), header=None, names=list(range(wide)), dtype=str,
                        keep_default_na=False, na_filter=False, skip_blank_lines=False,
                        encoding="utf-8", engine="c")
    if len(frame) != len(records.fields):
        raise ValueError("the records do not match pandas' reading of the file")
    columns: list[object] = [_text_series(frame[j].to_numpy(dtype=object)) for j in range(width)]
    extras = {}
    for record in np.flatnonzero(records.fields > width).tolist():
        count = int(records.fields[record])
        extras[record] = [str(frame.iat[record, j]) for j in range(width, count)]
    return columns, extras
