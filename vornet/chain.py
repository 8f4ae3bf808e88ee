"""Option chains from files: each expiry's forward and every quote's implied
volatility, with a status for every row.

::

    from vornet import chain
    quotes = chain.read_chain("chain.csv")
    result = chain.surface(quotes, chain.RateCurve.flat(0.02))
    result.table      # the input rows, in input order, with T, forward, iv, ...
    result.summary    # one row per quote time and expiry

For each quote time and expiry, the forward is the one at which the American
implied volatilities of calls and puts agree best over the strikes quoted on
both sides near the money (:func:`vornet.find_forward_baw`); every quote's
volatility is then solved against that forward in one vectorised call of
:func:`vornet.implied_vol_at_forward`. Nothing is dropped: a row that cannot
be used keeps its place with a status saying why.

The command ``vornet surface`` (:mod:`vornet.cli`) is a thin layer over this
module.
"""

from __future__ import annotations

import concurrent.futures
import csv
import dataclasses
import datetime as dt
import glob
import gzip
import math
import os
import re
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

import numpy as np
import pandas as pd

import vornet
from vornet.market import IVStatus, Method

__all__ = [
    "ChainError",
    "Chain",
    "RateCurve",
    "Surface",
    "STATUSES",
    "FIELDS",
    "read_chain",
    "read_chains",
    "input_files",
    "surface",
    "write_table",
    "format_summary",
    "resolve_workers",
]


class ChainError(Exception):
    """A chain, a rate curve or an option that cannot be used at all (a
    missing column, an empty file, an unreadable curve); the message says
    what and where."""


# ---------------------------------------------------------------------------
# Statuses

SOLVED = "solved"
NO_TIME_VALUE = "no time value"
ABOVE_MAXIMUM = "above maximum"
NO_CONVERGENCE = "no convergence"
ONE_SIDED = "one-sided quote"
NO_QUOTE = "no quote"
CROSSED = "crossed quote"
EXPIRED = "expired"
NO_FORWARD = "no forward"
INVALID_ROW = "invalid row"

#: Every status a row can have, with what it means.
STATUSES: dict[str, str] = {
    SOLVED: "the volatility reproduces the mid price at the expiry's forward",
    NO_TIME_VALUE: "the mid is at or below the exercise value, or below the model's lowest "
                   "price: no volatility is worth it",
    ABOVE_MAXIMUM: "the mid is above the model's price at a total deviation of 8",
    NO_CONVERGENCE: "the root finder stopped at its iteration limit",
    ONE_SIDED: "only a bid or only an ask (the other missing or zero)",
    NO_QUOTE: "neither a bid nor an ask (both missing or zero), or no price",
    CROSSED: "the bid is above the ask",
    EXPIRED: "the quote time is at or after the expiry",
    NO_FORWARD: "the expiry has no forward: no strike near the money is quoted on both "
                "sides with calls and puts that solve",
    INVALID_ROW: "a value is missing or does not parse, or cannot be a market value; "
                 "`detail` says which, with the row's line",
}

_IV_STATUSES = {
    IVStatus.SOLVED: SOLVED,
    IVStatus.NO_TIME_VALUE: NO_TIME_VALUE,
    IVStatus.ABOVE_MAXIMUM: ABOVE_MAXIMUM,
    IVStatus.INVALID_INPUT: INVALID_ROW,
    IVStatus.NO_CONVERGENCE: NO_CONVERGENCE,
}

#: Columns added to the input's; an input column of one of these names is
#: kept as ``<name>_input``.
OUTPUT_COLUMNS = ("T", "forward", "discount", "mid", "iv", "otm", "status", "detail")

SECONDS_PER_YEAR = 365.0 * 86400.0


# ---------------------------------------------------------------------------
# Columns

#: The columns read, by the name they have in the common exchange exports;
#: ``--map name=column`` (``mapping``) names another column for any of them.
FIELDS: dict[str, str] = {
    "quote_datetime": "date and time of the quote (or quote_date: the date, quoted at the "
                      "close)",
    "quote_date": "date of the quote, taken at the close; used without quote_datetime",
    "expiration": "expiry date",
    "strike": "strike price",
    "option_type": "C or P (call, put), in any case",
    "bid": "bid price of the option",
    "ask": "ask price of the option",
    "price": "one price per option, used without bid and ask",
    "mid": "one price per option, used without bid, ask and price",
    "underlying_bid": "bid of the underlying",
    "underlying_ask": "ask of the underlying",
    "underlying_price": "price of the underlying, used without its bid and ask",
    "underlying_symbol": "optional: quotes of different underlyings are kept apart",
    "root": "optional: option roots (classes) are kept apart, also on one expiry date",
}


def _find_column(name: str, columns: list[str]) -> str | None:
    if name in columns:
        return name
    folded = [c for c in columns if c.strip().lower() == name]
    return folded[0] if len(folded) == 1 else None


def _columns_found(columns: list[str]) -> str:
    return ", ".join(repr(c) for c in columns) if columns else "none"


def resolve_columns(columns: Iterable[str], mapping: Mapping[str, str] | None = None
                    ) -> dict[str, str]:
    """The file's column for each field the chain is read with.

    A field is found by its own name, then by that name in any case and with
    surrounding spaces (when only one column matches); ``mapping`` names the
    column of a field directly. Raises :class:`ChainError` naming the first
    missing column and the columns found.
    """
    columns = [str(c) for c in columns]
    mapping = dict(mapping or {})
    for name, column in mapping.items():
        if name not in FIELDS:
            raise ChainError(f"--map {name}={column}: unknown name {name!r}; the names are "
                             f"{', '.join(FIELDS)}")
        if column not in columns:
            raise ChainError(f"--map {name}={column}: no column {column!r} in the chain "
                             f"(columns found: {_columns_found(columns)})")
    found = {}
    for name in FIELDS:
        match = mapping.get(name) or _find_column(name, columns)
        if match is not None:
            found[name] = match

    def missing(*names: str) -> ChainError:
        alternatives = " or ".join(repr(n) for n in names)
        return ChainError(f"missing column {alternatives} (columns found: "
                          f"{_columns_found(columns)}); --map {names[0]}=COLUMN names "
                          f"another column")

    if "quote_datetime" not in found and "quote_date" not in found:
        raise missing("quote_datetime", "quote_date")
    for name in ("expiration", "strike", "option_type"):
        if name not in found:
            raise missing(name)
    if not ("bid" in found and "ask" in found or "price" in found or "mid" in found):
        raise missing("ask" if "bid" in found else "bid" if "ask" in found else "bid")
    if not ("underlying_bid" in found and "underlying_ask" in found
            or "underlying_price" in found):
        raise missing("underlying_ask" if "underlying_bid" in found
                      else "underlying_bid" if "underlying_ask" in found
                      else "underlying_bid", "underlying_price")
    return found


# ---------------------------------------------------------------------------
# Reading


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


def read_chain(path: str | os.PathLike[str]) -> Chain:
    """Reads an option chain from CSV (also gzip-compressed, ``.csv.gz``)
    or Parquet (``.parquet``, ``.pq``; needs pyarrow).

    CSV values are kept as text, so that the columns the chain is not read
    with pass through unchanged. Blank lines are skipped. A row with more or
    fewer fields than the header is kept, padded or cut to the header, and
    marked to be reported as an invalid row.
    """
    path = Path(path)
    name = path.name
    if _is_parquet(path):
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise ChainError(f"reading {name} needs pyarrow: pip install 'vornet[parquet]'"
                             ) from None
        try:
            frame = pd.read_parquet(path)
        except OSError as error:
            raise ChainError(f"cannot read {path}: {error}") from None
        except Exception as error:  # pyarrow's own errors for a file that is not Parquet
            raise ChainError(f"cannot read {path} as Parquet: {error}") from None
        if len(frame.columns) == 0:
            raise ChainError(f"{name} is empty: it has no columns")
        if len(frame) == 0:
            raise ChainError(f"{name} has no quotes: its columns are "
                             f"{_columns_found([str(c) for c in frame.columns])} "
                             f"but it has no rows")
        frame = frame.reset_index(drop=True)
        return Chain(frame, np.arange(1, len(frame) + 1), "row", {}, name)
    return _read_csv(path)


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
        files = sorted(p for p in path.rglob("*") if p.is_file() and _is_chain_file(p))
        if not files:
            raise ChainError(f"{path} holds no .csv, .csv.gz or .parquet file")
        return files
    return [path]


def _is_chain_file(path: Path) -> bool:
    name = path.name.lower()
    return name.endswith((".csv", ".csv.gz", ".parquet", ".pq"))


def file_names(paths: list[Path]) -> list[str]:
    """Short names for messages: the paths below the folder they share."""
    if len(paths) == 1:
        return [paths[0].name]
    common = Path(os.path.commonpath([p.absolute() for p in paths]))
    return [p.absolute().relative_to(common).as_posix() for p in paths]


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


def check_columns(frame: pd.DataFrame, name: str, columns: list[str], first: str) -> None:
    """Raises ChainError unless the file `name` has the columns of the file
    `first` (in any order)."""
    if set(frame.columns) != set(columns):
        raise ChainError(f"{name} has the columns {_columns_found(list(frame.columns))} "
                         f"where {first} has {_columns_found(columns)}")


def _is_parquet(path: Path) -> bool:
    return path.suffix.lower() in (".parquet", ".pq")


def _read_csv(path: Path) -> Chain:
    name = path.name
    opener: Callable[..., Any] = gzip.open if path.suffix.lower() == ".gz" else open
    header: list[str] | None = None
    rows: list[list[str]] = []
    lines: list[int] = []
    problems: dict[int, str] = {}
    try:
        with opener(path, "rt", encoding="utf-8-sig", newline="") as file:
            reader = csv.reader(file)
            while True:
                start = reader.line_num + 1
                try:
                    record = next(reader)
                except StopIteration:
                    break
                if not any(field.strip() for field in record):
                    continue
                if header is None:
                    header = [field.strip() for field in record]
                    _check_header(header, name)
                    continue
                if len(record) != len(header):
                    extra = record[len(header):]
                    problem = (f"it has {len(record)} fields where the header has "
                               f"{len(header)}")
                    if extra:
                        problem += f" (beyond them: {', '.join(repr(v) for v in extra)})"
                    problems[len(rows)] = problem
                    record = (record + [""] * len(header))[:len(header)]
                rows.append(record)
                lines.append(start)
    except FileNotFoundError:
        raise ChainError(f"cannot read {path}: no such file") from None
    except IsADirectoryError:
        raise ChainError(f"cannot read {path}: it is a folder") from None
    except (OSError, UnicodeDecodeError, csv.Error, EOFError) as error:
        where = f" near line {reader.line_num}" if header is not None else ""
        raise ChainError(f"cannot read {path}{where}: {error}") from None
    if header is None:
        raise ChainError(f"{name} is empty: no header line and no quotes")
    if not rows:
        raise ChainError(f"{name} has no quotes: only the header line "
                         f"({_columns_found(header)})")
    frame = pd.DataFrame(rows, columns=header, dtype=object)
    return Chain(frame, np.asarray(lines, dtype=np.int64), "line", problems, name)


def _check_header(header: list[str], name: str) -> None:
    seen = set()
    for column in header:
        if column in seen:
            raise ChainError(f"{name}: the header names the column {column!r} twice")
        seen.add(column)


# ---------------------------------------------------------------------------
# Values


_MISSING_TEXT = frozenset({"", "nan", "na", "n/a", "null", "none"})


def _is_missing(value: Any) -> bool:
    """None, NaN, NaT, empty text or one of the usual spellings of a
    missing value."""
    if isinstance(value, str):
        return value.strip().lower() in _MISSING_TEXT
    return bool(pd.isna(value))


def _per_distinct(values: pd.Series, function: Callable[[Any], Any], dtype: Any) -> np.ndarray:
    """`function` of each value, computed once per distinct value (a chain
    repeats its dates, sides and strikes many times over)."""
    codes, uniques = pd.factorize(values, use_na_sentinel=False)
    return np.array([function(u) for u in uniques], dtype=dtype)[codes]


def _numbers(values: pd.Series) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The values as float64, with masks of the missing ones and of those
    present that are not finite numbers (text that does not parse, an
    infinity)."""
    if values.dtype.kind in "fiu":
        numbers = values.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
        return numbers, np.isnan(numbers), np.isinf(numbers)
    numbers = pd.to_numeric(values, errors="coerce").to_numpy(dtype=np.float64,
                                                              na_value=np.nan, copy=True)
    missing = np.zeros(len(numbers), dtype=bool)
    # What the fast parse leaves out: missing values, and text it does not
    # take (surrounding spaces) or that is not a number.
    for row in np.flatnonzero(np.isnan(numbers)):
        value = values.iat[row]
        if _is_missing(value):
            missing[row] = True
        elif isinstance(value, str):
            try:
                numbers[row] = float(value.strip())
            except ValueError:
                pass
    bad = ~missing & ~np.isfinite(numbers)
    numbers[bad] = np.nan
    return numbers, missing, bad


_DATE_FORMATS = ("%m/%d/%Y", "%Y%m%d", "%d-%b-%Y", "%Y/%m/%d")
_TIME_FORMATS = ("%H:%M:%S", "%H:%M", "%H:%M:%S.%f")
_DATE_ONLY = re.compile(r"^\d{4}-\d{2}-\d{2}$")


def _parse_moment(value: Any) -> dt.datetime | dt.date | None:
    """A date (no time of day given) or a datetime, from text in ISO 8601 or
    one of the usual US layouts, or from a date or timestamp value; None
    when it does not parse."""
    if isinstance(value, dt.datetime):  # pandas' Timestamp too
        return value.to_pydatetime() if isinstance(value, pd.Timestamp) else value
    if isinstance(value, dt.date):
        return value
    if isinstance(value, np.datetime64):
        return None if np.isnat(value) else pd.Timestamp(value).to_pydatetime()
    if not isinstance(value, str):
        return None
    text = value.strip()
    if _DATE_ONLY.match(text):
        try:
            return dt.date.fromisoformat(text)
        except ValueError:
            return None
    try:
        return dt.datetime.fromisoformat(text)
    except ValueError:
        pass
    for date_format in _DATE_FORMATS:
        try:
            return dt.datetime.strptime(text, date_format).date()
        except ValueError:
            pass
        for time_format in _TIME_FORMATS:
            try:
                return dt.datetime.strptime(text, f"{date_format} {time_format}")
            except ValueError:
                pass
    return None


def _moments(values: pd.Series, convert: Callable[[Any], float]) -> np.ndarray:
    """`convert` applied to each parsed value; NaN where a value is missing
    or does not parse."""
    def one(value: Any) -> float:
        moment = _parse_moment(value)
        return math.nan if moment is None else convert(moment)

    return _per_distinct(values, one, np.float64)


@dataclasses.dataclass(frozen=True)
class _Clock:
    """Times of day in one time zone: a naive time is local time there."""

    zone: ZoneInfo
    close: dt.time

    def quote_seconds(self, moment: dt.datetime | dt.date) -> float:
        """Seconds since the epoch of a quote time; a date alone is taken at
        the close."""
        if not isinstance(moment, dt.datetime):
            return self.expiry_seconds(moment)
        if moment.tzinfo is None:
            moment = moment.replace(tzinfo=self.zone)
        return moment.timestamp()

    def expiry_seconds(self, moment: dt.datetime | dt.date) -> float:
        """Seconds since the epoch of the close on an expiry's day."""
        if isinstance(moment, dt.datetime):
            if moment.tzinfo is not None:
                moment = moment.astimezone(self.zone)
            moment = moment.date()
        return dt.datetime.combine(moment, self.close, tzinfo=self.zone).timestamp()

    def day(self, moment: dt.datetime | dt.date) -> float:
        """The expiry's day as a number (the proleptic ordinal)."""
        if isinstance(moment, dt.datetime):
            if moment.tzinfo is not None:
                moment = moment.astimezone(self.zone)
            moment = moment.date()
        return float(moment.toordinal())

    def local(self, seconds: float) -> str:
        return dt.datetime.fromtimestamp(seconds, self.zone).strftime("%Y-%m-%d %H:%M:%S")


def make_clock(close: str | dt.time = "16:00", timezone: str = "America/New_York") -> _Clock:
    """The clock that times to expiry are measured with: the expiry's close
    (``HH:MM``) in `timezone`, where naive quote times also are."""
    try:
        zone = ZoneInfo(timezone)
    except (ZoneInfoNotFoundError, ValueError):
        raise ChainError(f"unknown time zone {timezone!r} (a name such as "
                         f"'America/New_York' or 'Europe/London')") from None
    if not isinstance(close, dt.time):
        try:
            close = dt.time.fromisoformat(close.strip())
        except ValueError:
            raise ChainError(f"expiry time {close!r} is not a time of day such as "
                             f"'16:00'") from None
    return _Clock(zone, close)


def year_fraction(quote_time: Any, expiration: Any, clock: _Clock | None = None) -> float:
    """The time in years of 365 days from a quote time to its expiry's close,
    as :func:`surface` measures it; NaN when either does not parse."""
    clock = clock or make_clock()
    quote, expiry = _parse_moment(quote_time), _parse_moment(expiration)
    if quote is None or expiry is None:
        return math.nan
    return (clock.expiry_seconds(expiry) - clock.quote_seconds(quote)) / SECONDS_PER_YEAR


# ---------------------------------------------------------------------------
# Rates


@dataclasses.dataclass(frozen=True)
class RateCurve:
    """Continuously compounded zero rates by years to maturity: linear
    between the points, flat beyond the first and the last."""

    years: np.ndarray
    rates: np.ndarray

    @classmethod
    def flat(cls, rate: float) -> RateCurve:
        if not math.isfinite(rate):
            raise ChainError(f"the rate must be a finite number, got {rate!r}")
        return cls(np.array([0.0]), np.array([float(rate)]))

    @classmethod
    def from_points(cls, points: Iterable[tuple[float, float]]) -> RateCurve:
        pairs = sorted((float(t), float(r)) for t, r in points)
        if not pairs:
            raise ChainError("the rate curve has no points")
        years = np.array([t for t, _ in pairs])
        rates = np.array([r for _, r in pairs])
        if not (np.isfinite(years).all() and np.isfinite(rates).all()):
            raise ChainError("the rate curve's years and rates must be finite numbers")
        if (years < 0).any():
            raise ChainError("the rate curve's years must not be negative")
        if (np.diff(years) == 0).any():
            raise ChainError(f"the rate curve gives two rates for "
                             f"{years[1:][np.diff(years) == 0][0]:g} years")
        return cls(years, rates)

    @classmethod
    def read(cls, path: str | os.PathLike[str]) -> RateCurve:
        """Reads two columns, years and rate (0.02 for 2 %), separated by a
        comma, a semicolon or white space; an optional header line, blank
        lines and ``#`` comments are skipped."""
        path = Path(path)
        try:
            text = path.read_text(encoding="utf-8-sig")
        except (OSError, UnicodeDecodeError) as error:
            raise ChainError(f"cannot read the rate curve {path}: {error}") from None
        points = []
        first = True
        for number, line in enumerate(text.splitlines(), start=1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = [f for f in re.split(r"[,;\s]+", line) if f]
            try:
                if len(fields) != 2:
                    raise ValueError
                points.append((float(fields[0]), float(fields[1])))
            except ValueError:
                if first and not any(_is_number(f) for f in fields):
                    first = False
                    continue  # a header line
                raise ChainError(f"{path.name} line {number}: expected two numbers, years and "
                                 f"rate, got {line!r}") from None
            first = False
        try:
            return cls.from_points(points)
        except ChainError as error:
            raise ChainError(f"{path.name}: {error}") from None

    def rate(self, T: Any) -> np.ndarray:
        return np.interp(T, self.years, self.rates)

    def discount(self, T: Any) -> np.ndarray:
        return np.exp(-self.rate(T) * np.asarray(T, dtype=np.float64))


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


# ---------------------------------------------------------------------------
# Workers


def resolve_workers(workers: int) -> int:
    """Threads for `workers` as the engine counts them: a positive count as
    it is, -1 every core, -k every core but k - 1."""
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        cores = os.cpu_count() or 1
    resolved = cores + 1 + workers if workers < 0 else workers
    if resolved < 1:
        raise ChainError(f"workers must be a positive integer, or -k for all {cores} cores "
                         f"but k - 1; got {workers}")
    return resolved


# ---------------------------------------------------------------------------
# The surface


@dataclasses.dataclass
class Surface:
    """What :func:`surface` gives: the table and the per-expiry summary."""

    #: One row per input row, in input order: the input's columns, then
    #: ``T``, ``forward``, ``discount``, ``mid``, ``iv``, ``otm``, ``status``
    #: and ``detail``.
    table: pd.DataFrame
    #: One row per quote time and expiry (and root or underlying, when the
    #: chain has those columns): ``quote_time``, ``expiration``, ``T``,
    #: ``forward``, ``parity_forward``, ``atm_vol``, ``solved``, ``usable``,
    #: ``rows``.
    summary: pd.DataFrame
    #: Input columns renamed because an output column has their name.
    renamed: dict[str, str]
    #: Per table row, its summary row (-1 for a row that has none: one whose
    #: quote time or expiry is not known).
    group: np.ndarray
    #: Per table row, the strike as a number (NaN where it is not one) and
    #: whether the option is a call.
    strike: np.ndarray
    is_call: np.ndarray


_BANDS = (0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0)


def _near_money(strikes: np.ndarray, spot: float) -> np.ndarray:
    """The strikes the forward search works on: those within 1 % of the
    spot, the band widening through 2, 5, 10, 20, 50 and 100 % until it
    holds one; every strike when none does."""
    for pct in _BANDS:
        mask = (strikes >= (1.0 - pct) * spot) & (strikes <= (1.0 + pct) * spot)
        if mask.any():
            return mask
    return np.ones(len(strikes), dtype=bool)


def _forward(calls: np.ndarray, puts: np.ndarray, strikes: np.ndarray, spot: float,
             discount: float) -> tuple[float, float, str]:
    """The forward of one expiry, the put-call-parity forward over the same
    strikes, and why there is no forward ("" when there is one).

    The search always ends somewhere, also when no strike solves on both
    sides (it then walks to the top of its bracket): a forward is accepted
    only when a strike it searched over solves on both sides there.
    """
    if len(strikes) == 0:
        return math.nan, math.nan, "no strike has both a call and a put quoted on both sides"
    near = _near_money(strikes, spot)
    parity = float(np.mean(strikes[near] + (calls[near] - puts[near]) / discount))
    forward = vornet.find_forward_baw(calls, puts, strikes, spot, discount)
    if not (math.isfinite(forward) and forward > 0.0):
        return math.nan, parity, "the forward search found no forward"
    n = int(near.sum())
    ones = np.ones(n)
    call_sigma = vornet.vectorized_baw_implied_vol(calls[near], spot * ones, strikes[near],
                                                   discount * ones, forward * ones, "c" * n)
    put_sigma = vornet.vectorized_baw_implied_vol(puts[near], spot * ones, strikes[near],
                                                  discount * ones, forward * ones, "p" * n)
    if not ((call_sigma > 0.0) & (put_sigma > 0.0)).any():
        return (math.nan, parity, "no strike near the money has a call and a put that both "
                "solve")
    return forward, parity, ""


def _atm_vol(log_moneyness: np.ndarray, vols: np.ndarray) -> float:
    """The volatility at the forward, linear between the nearest quotes on
    either side; NaN unless quotes lie on both sides (or at it)."""
    if len(vols) == 0 or log_moneyness.min() > 0.0 or log_moneyness.max() < 0.0:
        return math.nan
    order = np.argsort(log_moneyness, kind="stable")
    return float(np.interp(0.0, log_moneyness[order], vols[order]))


def _progress(total: int, enabled: bool) -> Any:
    if not enabled:
        return None
    from tqdm import tqdm

    return tqdm(total=total, desc="expiries", unit="expiry", leave=False, dynamic_ncols=True)


def _search_forwards(jobs: list[tuple[Any, ...]], threads: int, progress: bool
                     ) -> Iterable[tuple[int, tuple[float, float, str]]]:
    """(group, _forward's answer) for every job (group, calls, puts,
    strikes, spot, discount), on `threads` threads, as they finish, with the
    progress bar moving as each does."""
    def search(job: tuple[Any, ...]) -> tuple[int, tuple[float, float, str]]:
        g, calls, puts, strike_row, spot, disc = job
        return g, _forward(calls, puts, strike_row, spot, disc)

    bar = _progress(len(jobs), progress)

    def counted(answers: Iterable[tuple[int, tuple[float, float, str]]]
                ) -> Iterable[tuple[int, tuple[float, float, str]]]:
        for answer in answers:
            yield answer
            if bar is not None:
                bar.update()

    try:
        if threads > 1 and len(jobs) > 1:
            with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
                futures = [pool.submit(search, job) for job in jobs]
                yield from counted(f.result() for f in concurrent.futures.as_completed(futures))
        else:
            yield from counted(map(search, jobs))
    finally:
        if bar is not None:
            bar.close()


def surface(chain: Chain, rates: RateCurve, *, mapping: Mapping[str, str] | None = None,
            expiry_time: str | dt.time = "16:00", timezone: str = "America/New_York",
            workers: int = 1, progress: bool = False, method: Method = "exact") -> Surface:
    """Forwards and implied volatilities of a whole chain.

    Parameters
    ----------
    chain : Chain
        From :func:`read_chain`.
    rates : RateCurve
        Continuously compounded rates: ``discount = exp(-r(T) T)``.
    mapping : dict, optional
        Field name -> column, for columns named otherwise (see ``FIELDS``).
    expiry_time, timezone : str, optional
        The expiry's close, ``"16:00"`` in ``"America/New_York"`` by default;
        naive quote times are local times of the same zone.
    workers : int, optional
        Native threads for the implied volatilities, and threads for the
        forward searches of different expiries: 1 (default), -1 every core.
    progress : bool, optional
        A progress bar over the expiries on the standard error.
    method : {'exact', 'fast'}, optional
        The implied-volatility solver (see :func:`vornet.implied_vol`); the
        forwards are found by the exact one either way.
    """
    clock = make_clock(expiry_time, timezone)
    threads = resolve_workers(workers)
    frame = chain.frame
    columns = resolve_columns(frame.columns, mapping)
    n = len(frame)
    problems: list[list[str]] = [[] for _ in range(n)]
    for row, problem in chain.problems.items():
        problems[row].append(problem)

    def report(mask: np.ndarray, message: Callable[[int], str]) -> None:
        for row in np.flatnonzero(mask).tolist():
            problems[row].append(message(row))

    def raw(column: str, row: int) -> str:
        return repr(frame[column].iat[row])

    def number(name: str, required: bool = True, positive: bool = False,
               negative_ok: bool = False) -> np.ndarray:
        column = columns[name]
        values, missing, bad = _numbers(frame[column])
        if required:
            report(missing, lambda row: f"{column} is missing")
        report(bad, lambda row: f"{column} {raw(column, row)} is not a number")
        if positive:
            wrong = values <= 0.0
            report(wrong, lambda row: f"{column} {raw(column, row)} is not positive")
            values[wrong] = np.nan
        elif not negative_ok:
            wrong = values < 0.0
            report(wrong, lambda row: f"{column} {raw(column, row)} is negative")
            values[wrong] = np.nan
        return values

    strikes = number("strike", positive=True)

    side_column = columns["option_type"]
    side = _per_distinct(frame[side_column],
                         lambda v: v.strip().lower() if isinstance(v, str) else "", object)
    is_call = (side == "c") | (side == "call")
    is_put = (side == "p") | (side == "put")
    report(~(is_call | is_put),
           lambda row: f"{side_column} {raw(side_column, row)} is not C or P")

    time_name = "quote_datetime" if "quote_datetime" in columns else "quote_date"
    quote_seconds = _moments(frame[columns[time_name]], clock.quote_seconds)
    expiry_seconds = _moments(frame[columns["expiration"]], clock.expiry_seconds)
    expiry_days = _moments(frame[columns["expiration"]], clock.day)
    for seconds, name in ((quote_seconds, time_name), (expiry_seconds, "expiration")):
        column = columns[name]
        missing = _per_distinct(frame[column], _is_missing, bool)
        report(missing, lambda row: f"{column} is missing")
        report(np.isnan(seconds) & ~missing,
               lambda row: f"{column} {raw(column, row)} does not parse as a date")

    if "underlying_bid" in columns and "underlying_ask" in columns:
        under_bid = number("underlying_bid", positive=True)
        under_ask = number("underlying_ask", positive=True)
        spots = 0.5 * (under_bid + under_ask)
    else:
        spots = number("underlying_price", positive=True)

    two_sided_prices = "bid" in columns and "ask" in columns
    if two_sided_prices:
        bids = number("bid", required=False)
        asks = number("ask", required=False)
        has_bid, has_ask = bids > 0.0, asks > 0.0
        no_quote = ~has_bid & ~has_ask
        one_sided = has_bid ^ has_ask
        crossed = has_bid & has_ask & (bids > asks)
        mids = np.where(has_bid & has_ask & ~crossed, 0.5 * (bids + asks), np.nan)
    else:
        mids = number("price" if "price" in columns else "mid", required=False)
        no_quote = np.isnan(mids)
        one_sided = crossed = np.zeros(n, dtype=bool)

    invalid = np.array([bool(p) for p in problems], dtype=bool)
    T = (expiry_seconds - quote_seconds) / SECONDS_PER_YEAR
    expired = ~invalid & (T <= 0.0)
    status = np.full(n, "", dtype=object)
    status[invalid] = INVALID_ROW
    for mask, name in ((expired, EXPIRED), (no_quote, NO_QUOTE), (one_sided, ONE_SIDED),
                       (crossed, CROSSED)):
        status[(status == "") & mask] = name
    usable = status == ""

    # The quotes of one quote time and expiry (and root and underlying).
    keyed = ~invalid
    keys, key_names = _chain_keys(frame, columns, quote_seconds, expiry_days)
    group = np.full(n, -1, dtype=np.int64)
    key_frame = keys[keyed]
    group[keyed] = key_frame.groupby(list(key_frame.columns), sort=True).ngroup().to_numpy()
    n_groups = int(group.max()) + 1 if keyed.any() else 0

    discount = np.full(n, np.nan)
    discount[keyed & ~expired] = rates.discount(T[keyed & ~expired])
    forwards = np.full(n_groups, np.nan)
    parities = np.full(n_groups, np.nan)
    reasons = [""] * n_groups

    # Per expiry, the strikes whose call and put are both quoted on both
    # sides (duplicates averaged), and the spot.
    quoted = usable & (mids > 0.0)
    pairs = (pd.DataFrame({"g": group[quoted], "K": strikes[quoted], "call": is_call[quoted],
                           "mid": mids[quoted]})
             .groupby(["g", "K", "call"], sort=True)["mid"].mean().unstack("call")
             .reindex(columns=[True, False]).dropna())
    pair_group = pairs.index.get_level_values("g").to_numpy()
    pair_strikes = pairs.index.get_level_values("K").to_numpy(dtype=np.float64)
    pair_calls = pairs[True].to_numpy(dtype=np.float64)
    pair_puts = pairs[False].to_numpy(dtype=np.float64)
    group_spot = pd.Series(spots[quoted]).groupby(group[quoted]).median()
    first_row = np.full(n_groups, -1, dtype=np.int64)
    first_row[group[keyed][::-1]] = np.flatnonzero(keyed)[::-1]
    jobs = []
    for g in range(n_groups):
        row = first_row[g]
        if expired[row]:
            continue
        lo, hi = np.searchsorted(pair_group, [g, g + 1])
        spot = float(group_spot.get(g, math.nan))
        jobs.append((g, pair_calls[lo:hi], pair_puts[lo:hi], pair_strikes[lo:hi], spot,
                     float(discount[row])))

    for g, found in _search_forwards(jobs, threads, progress):
        forwards[g], parities[g], reasons[g] = found

    forward = np.full(n, np.nan)
    forward[keyed] = forwards[group[keyed]]
    no_forward = usable & ~np.isfinite(forward)
    status[no_forward] = NO_FORWARD
    detail = np.full(n, "", dtype=object)
    for row in np.flatnonzero(no_forward).tolist():
        detail[row] = reasons[group[row]]

    solve = usable & np.isfinite(forward)
    iv = np.full(n, np.nan)
    if solve.any():
        vols, codes = vornet.implied_vol_at_forward(
            mids[solve], spots[solve], strikes[solve], T[solve], discount[solve],
            forward[solve], np.where(is_call[solve], "c", "p"), full_output=True,
            workers=workers, method=method)
        iv[solve] = vols
        names = np.array([_IV_STATUSES[IVStatus(code)] for code in range(len(IVStatus))],
                         dtype=object)
        status[solve] = names[codes]
        rejected = np.flatnonzero(solve)[codes == IVStatus.INVALID_INPUT]
        for row in rejected:
            problems[row].append("the model rejects its values")

    for row in np.flatnonzero(status == INVALID_ROW).tolist():
        detail[row] = f"{chain.locate(row)}: " + "; ".join(problems[row])

    otm = pd.array(np.where(is_call, strikes >= forward, strikes <= forward), dtype="boolean")
    otm[~np.isfinite(forward) | ~np.isfinite(strikes) | ~(is_call | is_put)] = pd.NA

    table, renamed = _with_results(frame, {
        "T": T, "forward": forward, "discount": discount, "mid": mids, "iv": iv, "otm": otm,
        "status": status, "detail": detail})

    summary = _summary(clock, n_groups, group, keyed, key_names, frame, quote_seconds,
                       expiry_days, T, forwards, parities, strikes, is_call, iv, status,
                       usable, otm)
    return Surface(table, summary, renamed, group, strikes, is_call)


def _chain_keys(frame: pd.DataFrame, columns: Mapping[str, str], quote_seconds: np.ndarray,
                expiry_days: np.ndarray) -> tuple[pd.DataFrame, list[str]]:
    """Per row, what its chain is told apart by: the quote time, the expiry's
    day, and the underlying and root when the chain has those columns (as
    text); and the names of those columns."""
    key_names = [columns[k] for k in ("underlying_symbol", "root") if k in columns]
    keys = pd.DataFrame({"quote": quote_seconds, "expiry": expiry_days})
    for i, column in enumerate(key_names):
        keys[f"key{i}"] = frame[column].astype(str).to_numpy()
    return keys, key_names


def chain_hashes(frame: pd.DataFrame, columns: Mapping[str, str], clock: _Clock
                 ) -> tuple[np.ndarray, np.ndarray]:
    """Per row, a 64-bit hash of its chain's key as :func:`surface` groups
    the rows (the same in every process), and whether the key is known (its
    quote time and expiry parse): rows of one chain have one hash."""
    time_name = "quote_datetime" if "quote_datetime" in columns else "quote_date"
    quote_seconds = _moments(frame[columns[time_name]], clock.quote_seconds)
    expiry_days = _moments(frame[columns["expiration"]], clock.day)
    keys, _ = _chain_keys(frame, columns, quote_seconds, expiry_days)
    hashes = pd.util.hash_pandas_object(keys, index=False).to_numpy()
    return hashes, np.isfinite(quote_seconds) & np.isfinite(expiry_days)


def _with_results(frame: pd.DataFrame, results: dict[str, Any]
                  ) -> tuple[pd.DataFrame, dict[str, str]]:
    renamed = {}
    taken = set(map(str, frame.columns)) | set(results)
    for column in frame.columns:
        if column in results:
            new = f"{column}_input"
            while new in taken:
                new += "_"
            renamed[column] = new
            taken.add(new)
    table = frame.rename(columns=renamed)
    added = pd.DataFrame(results, index=frame.index)
    added["status"] = added["status"].astype(object)
    added["detail"] = added["detail"].astype(object)
    return pd.concat([table, added], axis=1), renamed


def _summary(clock: _Clock, n_groups: int, group: np.ndarray, keyed: np.ndarray,
             key_names: list[str], frame: pd.DataFrame, quote_seconds: np.ndarray,
             expiry_days: np.ndarray, T: np.ndarray, forwards: np.ndarray,
             parities: np.ndarray, strikes: np.ndarray, is_call: np.ndarray,
             iv: np.ndarray, status: np.ndarray, usable: np.ndarray, otm: Any) -> pd.DataFrame:
    rows = np.arange(len(group))[keyed]
    first = pd.Series(rows).groupby(group[keyed]).first().to_numpy()
    records = []
    solved = status == SOLVED
    out_of_money = otm.fillna(False).to_numpy(dtype=bool)
    by_group = pd.Series(rows).groupby(group[keyed]).indices
    for g in range(n_groups):
        members = rows[by_group[g]]
        row = first[g]
        record: dict[str, Any] = {
            "quote_time": clock.local(quote_seconds[row]),
            "expiration": dt.date.fromordinal(int(expiry_days[row])).isoformat(),
        }
        for column in key_names:
            record[column] = frame[column].iat[row]
        chosen = members[solved[members] & out_of_money[members]]
        record.update({
            "T": T[row],
            "forward": forwards[g],
            "parity_forward": parities[g],
            "atm_vol": _atm_vol(np.log(strikes[chosen] / forwards[g]), iv[chosen]),
            "solved": int(solved[members].sum()),
            "usable": int(usable[members].sum()),
            "rows": len(members),
        })
        records.append(record)
    columns = ["quote_time", "expiration", *key_names, "T", "forward", "parity_forward",
               "atm_vol", "solved", "usable", "rows"]
    return pd.DataFrame.from_records(records, columns=columns)


# ---------------------------------------------------------------------------
# Output


def write_table(table: pd.DataFrame, path: str | os.PathLike[str]) -> None:
    """Writes the table as CSV (``.csv``, ``.csv.gz``) or Parquet
    (``.parquet``, ``.pq``; needs pyarrow)."""
    path = Path(path)
    check_output(path)
    try:
        if _is_parquet(path):
            table.to_parquet(path, index=False)
        else:
            table.to_csv(path, index=False)
    except OSError as error:
        raise ChainError(f"cannot write {path}: {error}") from None


def part_path(folder: str | os.PathLike[str], number: int, suffix: str) -> Path:
    """The file of part `number` of an output folder: ``part.00000.csv``."""
    return Path(folder) / f"part.{number:05d}{suffix}"


def write_parts(result: Surface, chain: Chain, folder: str | os.PathLike[str],
                suffix: str) -> list[Path]:
    """Writes the table to a folder, the rows of each input file to a part
    of their own (``part.00000.csv``, ... in the order of the files); the
    rows of a chain read from one file all go to ``part.00000``."""
    folder = Path(folder)
    check_output(part_path(folder, 0, suffix))
    folder.mkdir(parents=True, exist_ok=True)
    count = len(chain.files) if chain.files is not None else 1
    file_of = chain.file_of if chain.file_of is not None else np.zeros(len(result.table), int)
    paths = [part_path(folder, number, suffix) for number in range(count)]
    for number, path in enumerate(paths):
        write_table(result.table[file_of == number], path)
    return paths


def check_output(path: str | os.PathLike[str]) -> None:
    """Raises ChainError when the table cannot be written in `path`'s
    format, before any work is done."""
    path = Path(path)
    suffixes = "".join(path.suffixes[-2:]).lower()
    if _is_parquet(path):
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise ChainError(f"writing {path.name} needs pyarrow: pip install "
                             f"'vornet[parquet]'") from None
    elif not (path.suffix.lower() == ".csv" or suffixes == ".csv.gz"):
        raise ChainError(f"cannot tell the format of {path.name}: name it .csv, .csv.gz or "
                         f".parquet")


SUMMARY_COLUMNS = ("quote_time", "expiration", "T", "forward", "parity_forward", "atm_vol",
                   "solved", "usable", "rows")


def varying_keys(summary: pd.DataFrame) -> list[str]:
    """The summary's root and underlying columns that tell its rows apart
    (those with one value throughout say nothing)."""
    return [c for c in summary.columns
            if c not in SUMMARY_COLUMNS and summary[c].nunique(dropna=False) > 1]


def format_summary(summary: pd.DataFrame, extra: Mapping[str, Any] | None = None) -> str:
    """The summary as a text table. `extra` adds columns: heading -> values
    (one per summary row) or a function of the summary row."""
    headings = ["quote time", "expiry"]
    key_columns = varying_keys(summary)
    headings += key_columns
    headings += ["T", "forward", "parity fwd"]
    extra = dict(extra or {})
    headings += list(extra)
    headings += ["ATM vol", "solved/usable"]

    def num(value: float, digits: int) -> str:
        return f"{value:.{digits}f}" if math.isfinite(value) else "-"

    lines = []
    for i, row in enumerate(summary.itertuples(index=False)):
        record = row._asdict()
        cells = [record["quote_time"][:16], record["expiration"]]
        cells += [str(summary[c].iat[i]) for c in key_columns]
        cells += [num(record["T"], 6), num(record["forward"], 4),
                  num(record["parity_forward"], 4)]
        for values in extra.values():
            value = values(record) if callable(values) else values[i]
            cells.append(value if isinstance(value, str) else num(float(value), 4))
        atm = record["atm_vol"]
        cells.append(f"{100.0 * atm:.2f} %" if math.isfinite(atm) else "-")
        cells.append(f"{record['solved']}/{record['usable']}")
        lines.append(cells)
    widths = [max([len(h)] + [len(line[j]) for line in lines]) for j, h in enumerate(headings)]
    left = 2 + len(key_columns)

    def render(cells: list[str]) -> str:
        return "  ".join(c.ljust(w) if j < left else c.rjust(w)
                         for j, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return "\n".join([render(headings), render(["-" * w for w in widths])]
                     + [render(line) for line in lines])
