"""Values: the quotes of a chain as numbers, sides and times, every value
that is missing or does not parse noted against its row, and the status a
row has before any volatility is solved.

Numbers are plain decimals, with an optional sign, point and exponent
(``150``, ``-0.5``, ``1.5e-3``), surrounded by white space at most; a value
that is empty or one of the usual spellings of a missing value (``nan``,
``NA``, ``n/a``, ``null``, ``none``, in any case) is missing. Each distinct
text is parsed once.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import decimal
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from vornet.chain.clock import SECONDS_PER_YEAR, Clock, Moments, per_distinct
from vornet.chain.columns import time_field
from vornet.chain.files import Chain
from vornet.chain.statuses import CROSSED, EXPIRED, INVALID_ROW, NO_QUOTE, ONE_SIDED

__all__ = ["Quotes", "Problems", "Typing", "NUMBER_FIELDS", "parse_quotes", "numbers",
           "typed_numbers", "exact_mid"]

_MISSING_TEXT = ("", "nan", "na", "n/a", "null", "none")
_PLAIN_NUMBER = r"\s*[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\s*"
# The same, for text whose surrounding spaces are gone, in pyarrow's
# regular expressions.
_PLAIN_NUMBER_TRIMMED = r"^[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?$"


class Problems:
    """What is wrong with each row, in the order found: only the rows with
    a problem are kept."""

    def __init__(self, chain: Chain):
        self.chain = chain
        self.by_row: dict[int, list[str]] = {row: [text] for row, text in chain.problems.items()}

    def note(self, rows: np.ndarray, message: Callable[[int], str]) -> None:
        """Notes message(row) against every row where `rows` is true."""
        for row in np.flatnonzero(rows).tolist():
            self.by_row.setdefault(row, []).append(message(row))

    def rows(self, n: int) -> np.ndarray:
        """Whether each of the `n` rows has a problem."""
        mask = np.zeros(n, dtype=bool)
        mask[list(self.by_row)] = True
        return mask

    def detail(self, row: int) -> str:
        """The row's detail: where it is, then what is wrong with it."""
        return f"{self.chain.locate(row)}: " + "; ".join(self.by_row[row])


def _missing_text(distinct: np.ndarray) -> np.ndarray:
    text = pd.Series(distinct, dtype=object)
    is_text = text.map(lambda v: isinstance(v, str)).to_numpy(dtype=bool)
    missing = np.array(text.isna(), dtype=bool)
    if is_text.any():
        folded = text[is_text].str.strip().str.lower()
        missing[is_text] = folded.isin(_MISSING_TEXT).to_numpy(dtype=bool)
    return missing


def _parse_numbers(distinct: np.ndarray, written: bool = False) -> tuple[np.ndarray, ...]:
    missing = _missing_text(distinct)
    text = pd.Series([v if isinstance(v, str) else "" if m else repr(float(v))
                      if isinstance(v, (float, np.floating)) else str(v)
                      for v, m in zip(distinct, missing)], dtype=object)
    plain = text.str.fullmatch(_PLAIN_NUMBER).to_numpy(dtype=bool) & ~missing
    values = np.full(len(text), np.nan)
    if plain.any():
        values[plain] = pd.to_numeric(text[plain], errors="coerce").to_numpy(dtype=np.float64)
    bad = ~missing & ~np.isfinite(values)
    values[bad] = np.nan
    if not written:
        return values, missing, bad
    return values, missing, bad, *_decimals(text, ~bad & ~missing)


def _decimals(text: pd.Series, plain: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each number as written, as an integer (a float, exact below 2**53;
    NaN beyond) and the decimal places it is scaled by: 150.85 is 15085 and 2.
    Numbers without an exponent and with at most 15 digits are read by
    string operations; the others one by one as decimals."""
    scaled = np.full(len(text), np.nan)
    places = np.zeros(len(text), dtype=np.int64)
    rows = np.flatnonzero(plain)
    if not len(rows):
        return scaled, places
    written = text.iloc[rows].str.strip()
    digits = written.str.replace(".", "", regex=False)
    short = ~written.str.contains("[eE]", regex=True).to_numpy(dtype=bool) & (
        digits.str.lstrip("+-").str.len().to_numpy() <= 15)
    point = written[short].str.find(".").to_numpy()
    length = written[short].str.len().to_numpy()
    places[rows[short]] = np.where(point >= 0, length - point - 1, 0)
    scaled[rows[short]] = pd.to_numeric(digits[short]).to_numpy(dtype=np.float64)
    for i in rows[~short].tolist():
        number = decimal.Decimal(text.iat[i].strip())
        exponent = int(number.as_tuple().exponent)
        places[i] = max(-exponent, 0)
        whole = int(number.scaleb(int(places[i])))
        scaled[i] = float(whole) if abs(whole) < 2**53 else np.nan
    return scaled, places


def numbers(values: pd.Series, written: bool = False) -> tuple[np.ndarray, ...]:
    """The values as float64, with masks of the missing ones and of those
    present that are not finite numbers (text that is not a plain decimal
    number, an infinity); with `written`, also each number as written
    (see _decimals)."""
    if values.dtype.kind in "fiu" and not written:
        parsed = values.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
        return parsed, np.isnan(parsed), np.isinf(parsed)
    if values.dtype.kind in "fiu":
        values = values.astype(object)
    parsed, missing, bad, *exact = per_distinct(values,
                                                lambda distinct: _parse_numbers(distinct, written))
    return (parsed.copy(), missing, bad, *exact) if written else (parsed.copy(), missing, bad)


def typed_numbers(values: pd.Series) -> np.ndarray:
    """:func:`numbers`' values (NaN where there is none), for a column
    written whole: pyarrow's string kernels on text that pyarrow holds,
    with no Python step per distinct value."""
    arrow = getattr(values.array, "_pa_array", None)
    if values.dtype.kind in "fiu" or arrow is None:
        return numbers(values)[0]
    import pyarrow as pa
    import pyarrow.compute as pc

    trimmed = pc.utf8_trim_whitespace(arrow)
    none = pa.scalar(None, trimmed.type)
    try:
        # pyarrow reads the plain decimals as they read here, and beyond
        # them only infinities and NaN, which are no number here either:
        # when every value present reads, those are the numbers.
        parsed = pc.cast(pc.if_else(pc.equal(trimmed, ""), none, trimmed), pa.float64())
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        plain = pc.match_substring_regex(trimmed, _PLAIN_NUMBER_TRIMMED)
        parsed = pc.cast(pc.if_else(plain, trimmed, none), pa.float64())
    result = parsed.to_numpy(zero_copy_only=False)
    result = np.where(np.isfinite(result), result, np.nan)
    return result


def exact_mid(bid: tuple[np.ndarray, np.ndarray], ask: tuple[np.ndarray, np.ndarray],
              fallback: np.ndarray) -> np.ndarray:
    """The decimal midpoint of two numbers as written ((15080 + 15090) / 200
    is 150.85, where 0.5 * (150.8 + 150.9) is 150.85000000000002), correctly
    rounded, where both are exact below 2**53; `fallback` elsewhere."""
    (b, bp), (a, ap) = bid, ask
    places = np.maximum(bp, ap)
    with np.errstate(invalid="ignore", over="ignore"):
        total = b * 10.0 ** (places - bp) + a * 10.0 ** (places - ap)
        exact = np.isfinite(total) & (np.abs(total) < 2.0**53) & (places <= 22)
        return np.where(exact, total / (2.0 * 10.0 ** np.minimum(places, 22)), fallback)


def _sides(distinct: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Whether each value says call, and whether it says put."""
    side = [v.strip().lower() if isinstance(v, str) else "" for v in distinct]
    return (np.array([s in ("c", "call") for s in side], dtype=bool),
            np.array([s in ("p", "put") for s in side], dtype=bool))


def _styles(distinct: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Whether each value says European, and whether it says either style
    (a missing one is American)."""
    missing = _missing_text(distinct)
    said = [v.strip().lower() if isinstance(v, str) else "" for v in distinct]
    european = np.array([s in ("european", "e") for s in said], dtype=bool)
    american = np.array([s in ("american", "a") for s in said], dtype=bool)
    return european, european | american | missing


def _times_of_day(distinct: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    missing = _missing_text(distinct)
    micro = np.full(len(distinct), np.nan)
    for i, value in enumerate(distinct):
        if missing[i]:
            continue
        try:
            time = dt.time.fromisoformat(str(value).strip())
        except ValueError:
            continue
        micro[i] = ((time.hour * 60 + time.minute) * 60 + time.second) * 10**6 + time.microsecond
    return micro, missing


def _at_times(clock: Clock, day: np.ndarray, micro: np.ndarray) -> np.ndarray:
    """clock.at_time_of_day for each (day, time), once per distinct pair."""
    codes, pairs = pd.MultiIndex.from_arrays([day, micro]).factorize()
    at = clock.at_time_of_day(pairs.get_level_values(0).to_numpy(dtype=np.float64),
                              pairs.get_level_values(1).to_numpy(dtype=np.float64))
    return at[codes]


@dataclasses.dataclass
class Quotes:
    """A chain's quotes as numbers, per row; NaN where a value is missing,
    does not parse or cannot be a market value."""

    chain: Chain
    #: Field -> the file's column.
    columns: Mapping[str, str]
    strike: np.ndarray
    is_call: np.ndarray
    is_put: np.ndarray
    spot: np.ndarray
    #: The mid of a two-sided quote (or the price column).
    mid: np.ndarray
    quote_seconds: np.ndarray
    #: The expiry: the close of its date, or the instant given.
    expiry_seconds: np.ndarray
    #: The expiry's date, in days since the epoch.
    expiry_day: np.ndarray
    #: Years from the quote time to the expiry's close.
    T: np.ndarray
    #: The status of rows that cannot be solved ("" for the others).
    status: np.ndarray
    problems: Problems

    @property
    def frame(self) -> pd.DataFrame:
        return self.chain.frame

    #: The rows to solve: valid, not expired, quoted on both sides.
    usable: np.ndarray
    #: The rows whose chain is known: those with no problem.
    keyed: np.ndarray
    #: Per row, whether the option is European (exercised only at expiry).
    european: np.ndarray
    #: The underlying's bid and ask (its price, twice) per row, kept where
    #: no column names the underlying.
    spread: tuple[np.ndarray, np.ndarray] | None = None
    #: The option's bid and ask per row, where they were asked for.
    sides: tuple[np.ndarray, ...] | None = None


class _Reader:
    """Reads the chain's fields, noting what is wrong against each row."""

    def __init__(self, chain: Chain, columns: Mapping[str, str], problems: Problems):
        self.frame, self.columns, self.problems = chain.frame, columns, problems

    def raw(self, column: str, row: int) -> str:
        return repr(self.frame[column].iat[row])

    def number(self, name: str, required: bool = True, positive: bool = False,
               written: list[tuple[np.ndarray, np.ndarray]] | None = None) -> np.ndarray:
        """The column's numbers; NaN where missing, not a number, or (noted)
        not positive or negative. `written` receives each number as
        written."""
        column = self.columns[name]
        values, missing, bad, *exact = numbers(self.frame[column], written is not None)
        if written is not None:
            written.append((exact[0], exact[1]))
        if required:
            self.problems.note(missing, lambda row: f"{column} is missing")
        self.problems.note(bad, lambda row: f"{column} {self.raw(column, row)} is not a number")
        wrong = values <= 0.0 if positive else values < 0.0
        test = "is not positive" if positive else "is negative"
        self.problems.note(wrong, lambda row: f"{column} {self.raw(column, row)} {test}")
        values[wrong] = np.nan
        return values

    def sides(self) -> tuple[np.ndarray, np.ndarray]:
        column = self.columns["option_type"]
        is_call, is_put = per_distinct(self.frame[column], _sides)
        self.problems.note(~(is_call | is_put),
                           lambda row: f"{column} {self.raw(column, row)} is not C or P")
        return is_call, is_put

    def european(self, style: str | None) -> np.ndarray:
        """Per row, whether the option is European: `style` ("american" or
        "european") for every row when given, else the style column's
        American/European (A/E, in any case), American where missing."""
        n = len(self.frame)
        if style is not None:
            return np.full(n, style == "european")
        if "style" not in self.columns:
            return np.zeros(n, dtype=bool)
        column = self.columns["style"]
        european, known = per_distinct(self.frame[column], _styles)
        self.problems.note(~known, lambda row: f"{column} {self.raw(column, row)} is not "
                                               f"American or European")
        return european

    def moments(self, name: str, clock: Clock, expiry: bool = False) -> Moments:
        """The dates and times of a column (see :class:`Clock`)."""
        column = self.columns[name]
        seconds, day, missing = per_distinct(
            self.frame[column], lambda distinct: (*clock.parse_distinct(distinct, expiry),
                                                  _missing_text(distinct)))
        moments = Moments(seconds, day)
        self.problems.note(missing, lambda row: f"{column} is missing")
        unparsed = np.isnan(moments.day) & ~missing
        self.problems.note(unparsed,
                           lambda row: f"{column} {self.raw(column, row)} does not parse as a "
                                       f"date")
        return moments

    def times_of_day(self, name: str) -> np.ndarray:
        """A column of times of day as microseconds after midnight; NaN
        where missing, or not a time (noted)."""
        column = self.columns[name]
        micro, missing = per_distinct(self.frame[column], _times_of_day)
        self.problems.note(np.isnan(micro) & ~missing,
                           lambda row: f"{column} {self.raw(column, row)} is not a time of day")
        return micro

    def spot(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The underlying's mid, and its bid and ask (its price twice)."""
        if "underlying_bid" in self.columns and "underlying_ask" in self.columns:
            under_bid = self.number("underlying_bid", positive=True)
            under_ask = self.number("underlying_ask", positive=True)
            return 0.5 * (under_bid + under_ask), under_bid, under_ask
        price = self.number("underlying_price", positive=True)
        return price, price, price

    def mid(self, sides: list[np.ndarray] | None = None
            ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """The mid, and which quotes have no side, one side, or cross;
        `sides` receives the bids and the asks."""
        if "bid" in self.columns and "ask" in self.columns:
            written: list[tuple[np.ndarray, np.ndarray]] = []
            bids = self.number("bid", required=False, written=written)
            asks = self.number("ask", required=False, written=written)
            if sides is not None:
                sides += [bids, asks]
            has_bid, has_ask = bids > 0.0, asks > 0.0
            crossed = has_bid & has_ask & (bids > asks)
            two_sided = has_bid & has_ask & ~crossed
            mids = np.where(two_sided, exact_mid(written[0], written[1], 0.5 * (bids + asks)),
                            np.nan)
            return mids, ~has_bid & ~has_ask, has_bid ^ has_ask, crossed
        mids = self.number("price" if "price" in self.columns else "mid", required=False)
        none = np.zeros(len(mids), dtype=bool)
        return mids, np.isnan(mids), none, none


def parse_quotes(chain: Chain, columns: Mapping[str, str], clock: Clock,
                 keep_sides: bool = False, style: str | None = None) -> Quotes:
    """The chain's quotes read with `columns` (field -> column) on `clock`,
    with the statuses of the rows that cannot be solved: invalid, expired,
    not quoted, one-sided or crossed, the first that applies. With
    `keep_sides`, the bids and asks are kept too; `style` ("american",
    "european") overrides the style column."""
    problems = Problems(chain)
    reader = _Reader(chain, columns, problems)
    strike = reader.number("strike", positive=True)
    is_call, is_put = reader.sides()
    european = reader.european(style)
    quote_time = reader.moments(time_field(columns), clock)
    expiry = reader.moments("expiration", clock, expiry=True)
    spot, spot_bid, spot_ask = reader.spot()
    # Without a column for the underlying, its quotes show whether the file
    # holds more than one.
    spread = None if "underlying_symbol" in columns else (spot_bid, spot_ask)
    sides: list[np.ndarray] | None = [] if keep_sides else None
    mid, no_quote, one_sided, crossed = reader.mid(sides)

    quote_seconds = clock.instants(quote_time)
    expiry_seconds = clock.instants(expiry)
    expiry_day = expiry.day
    if "expiration_time" in columns:  # a time of day per row comes first
        time = reader.times_of_day("expiration_time")
        given = np.isfinite(time) & np.isfinite(expiry_day)
        expiry_seconds[given] = _at_times(clock, expiry_day[given], time[given])
    T = (expiry_seconds - quote_seconds) / SECONDS_PER_YEAR
    n = len(chain.frame)
    invalid = problems.rows(n)
    status = np.full(n, "", dtype=object)
    status[invalid] = INVALID_ROW
    for mask, name in ((~invalid & (T <= 0.0), EXPIRED), (no_quote, NO_QUOTE),
                       (one_sided, ONE_SIDED), (crossed, CROSSED)):
        status[(status == "") & mask] = name
    return Quotes(chain, columns, strike, is_call, is_put, spot, mid, quote_seconds,
                  expiry_seconds, expiry_day, T, status, problems, status == "", ~invalid,
                  european, spread, tuple(sides) if sides else None)


#: The fields the Parquet output holds as numbers.
NUMBER_FIELDS = ("strike", "bid", "ask", "price", "mid", "underlying_bid", "underlying_ask",
                 "underlying_price")


@dataclasses.dataclass(frozen=True)
class Typing:
    """How the output's copies of the columns read as numbers and times are
    typed: numbers as float64, the quote time as a timestamp in the clock's
    zone (a quote date as a date), the expiry as a date; a value that did
    not parse is null (its row's ``detail`` says why)."""

    #: Field -> the output's name of the file's column.
    columns: Mapping[str, str]
    clock: Clock

    @classmethod
    def of(cls, columns: Mapping[str, str], renamed: Mapping[str, str], clock: Clock) -> Typing:
        return cls({field: renamed.get(column, column) for field, column in columns.items()},
                   clock)

    def apply(self, frame: pd.DataFrame) -> pd.DataFrame:
        """A shallow copy of `frame` (rows of the output table) with the
        typed columns."""
        typed: dict[str, Any] = {}
        for field in NUMBER_FIELDS:
            column = self.columns.get(field)
            if column is not None and column in frame.columns:
                typed[column] = typed_numbers(frame[column])
        for field in ("quote_datetime", "quote_date", "expiration"):
            column = self.columns.get(field)
            if column is None or column not in frame.columns:
                continue
            moments = self.clock.read(frame[column], expiry=field == "expiration")
            if field == "quote_datetime":
                seconds = self.clock.instants(moments)
                typed[column] = (pd.to_datetime(pd.Series(seconds, index=frame.index), unit="s",
                                                utc=True).dt.tz_convert(self.clock.zone))
            else:
                import pyarrow as pa

                # Whole days since the epoch are what a date32 holds: no
                # date object per row.
                days = np.asarray(moments.day, dtype=np.float64)
                known = np.isfinite(days)
                typed[column] = pd.Series(
                    pa.array(np.where(known, days, 0).astype(np.int32), type=pa.int32(),
                             mask=~known).cast(pa.date32()),
                    index=frame.index, dtype=pd.ArrowDtype(pa.date32()))
        return frame.assign(**typed)
