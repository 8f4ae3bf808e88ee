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
from collections.abc import Callable, Mapping

import numpy as np
import pandas as pd

from vornet.chain.clock import SECONDS_PER_YEAR, Clock, Moments, per_distinct
from vornet.chain.columns import time_field
from vornet.chain.files import Chain
from vornet.chain.statuses import CROSSED, EXPIRED, INVALID_ROW, NO_QUOTE, ONE_SIDED

__all__ = ["Quotes", "Problems", "parse_quotes", "numbers"]

_MISSING_TEXT = ("", "nan", "na", "n/a", "null", "none")
_PLAIN_NUMBER = r"\s*[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\s*"


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


def _parse_numbers(distinct: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    missing = _missing_text(distinct)
    text = pd.Series([v if isinstance(v, str) else "" if m else str(v)
                      for v, m in zip(distinct, missing)], dtype=object)
    plain = text.str.fullmatch(_PLAIN_NUMBER).to_numpy(dtype=bool) & ~missing
    values = np.full(len(text), np.nan)
    if plain.any():
        values[plain] = pd.to_numeric(text[plain], errors="coerce").to_numpy(dtype=np.float64)
    bad = ~missing & ~np.isfinite(values)
    values[bad] = np.nan
    return values, missing, bad


def numbers(values: pd.Series) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The values as float64, with masks of the missing ones and of those
    present that are not finite numbers (text that is not a plain decimal
    number, an infinity)."""
    if values.dtype.kind in "fiu":
        parsed = values.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
        return parsed, np.isnan(parsed), np.isinf(parsed)
    parsed, missing, bad = per_distinct(values, _parse_numbers)
    return parsed.copy(), missing, bad


def _sides(distinct: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Whether each value says call, and whether it says put."""
    side = [v.strip().lower() if isinstance(v, str) else "" for v in distinct]
    return (np.array([s in ("c", "call") for s in side], dtype=bool),
            np.array([s in ("p", "put") for s in side], dtype=bool))


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


class _Reader:
    """Reads the chain's fields, noting what is wrong against each row."""

    def __init__(self, chain: Chain, columns: Mapping[str, str], problems: Problems):
        self.frame, self.columns, self.problems = chain.frame, columns, problems

    def raw(self, column: str, row: int) -> str:
        return repr(self.frame[column].iat[row])

    def number(self, name: str, required: bool = True, positive: bool = False) -> np.ndarray:
        column = self.columns[name]
        values, missing, bad = numbers(self.frame[column])
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

    def spot(self) -> np.ndarray:
        if "underlying_bid" in self.columns and "underlying_ask" in self.columns:
            under_bid = self.number("underlying_bid", positive=True)
            under_ask = self.number("underlying_ask", positive=True)
            return 0.5 * (under_bid + under_ask)
        return self.number("underlying_price", positive=True)

    def mid(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """The mid, and which quotes have no side, one side, or cross."""
        if "bid" in self.columns and "ask" in self.columns:
            bids = self.number("bid", required=False)
            asks = self.number("ask", required=False)
            has_bid, has_ask = bids > 0.0, asks > 0.0
            crossed = has_bid & has_ask & (bids > asks)
            mids = np.where(has_bid & has_ask & ~crossed, 0.5 * (bids + asks), np.nan)
            return mids, ~has_bid & ~has_ask, has_bid ^ has_ask, crossed
        mids = self.number("price" if "price" in self.columns else "mid", required=False)
        none = np.zeros(len(mids), dtype=bool)
        return mids, np.isnan(mids), none, none


def parse_quotes(chain: Chain, columns: Mapping[str, str], clock: Clock) -> Quotes:
    """The chain's quotes read with `columns` (field -> column) on `clock`,
    with the statuses of the rows that cannot be solved: invalid, expired,
    not quoted, one-sided or crossed, the first that applies."""
    problems = Problems(chain)
    reader = _Reader(chain, columns, problems)
    strike = reader.number("strike", positive=True)
    is_call, is_put = reader.sides()
    quote_time = reader.moments(time_field(columns), clock)
    expiry = reader.moments("expiration", clock, expiry=True)
    spot = reader.spot()
    mid, no_quote, one_sided, crossed = reader.mid()

    quote_seconds = clock.instants(quote_time)
    expiry_seconds = clock.instants(expiry)
    expiry_day = expiry.day
    T = (expiry_seconds - quote_seconds) / SECONDS_PER_YEAR
    n = len(chain.frame)
    invalid = problems.rows(n)
    status = np.full(n, "", dtype=object)
    status[invalid] = INVALID_ROW
    for mask, name in ((~invalid & (T <= 0.0), EXPIRED), (no_quote, NO_QUOTE),
                       (one_sided, ONE_SIDED), (crossed, CROSSED)):
        status[(status == "") & mask] = name
    return Quotes(chain, columns, strike, is_call, is_put, spot, mid, quote_seconds,
                  expiry_seconds, expiry_day, T, status, problems, status == "", ~invalid)
