"""Which chain a row belongs to: its quote time, its expiry's date, and its
underlying and option root when the file has those columns. Rows of one
chain share a forward."""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping

import numpy as np
import pandas as pd

from vornet.chain.clock import Clock
from vornet.chain.columns import key_columns, time_field
from vornet.chain.errors import ChainError
from vornet.chain.values import Quotes

__all__ = ["Groups", "chain_keys", "group_rows", "chain_hashes"]


def chain_keys(frame: pd.DataFrame, columns: Mapping[str, str], quote_seconds: np.ndarray,
               expiry_seconds: np.ndarray) -> pd.DataFrame:
    """Per row, what its chain is told apart by: the quote time, the
    expiry, and the underlying and root as text when the chain has those
    columns."""
    keys = pd.DataFrame({"quote": quote_seconds, "expiry": expiry_seconds})
    for i, column in enumerate(key_columns(columns)):
        # As categories (sorted): each distinct text is held once, it hashes
        # as the text itself, and groups in the text's order.
        keys[f"key{i}"] = pd.Categorical(frame[column].astype(str))
    return keys


def _hashes(keys: pd.DataFrame) -> np.ndarray:
    return pd.util.hash_pandas_object(keys, index=False).to_numpy()


@dataclasses.dataclass(frozen=True)
class Groups:
    """The chains of a table's rows, numbered in the order of their keys."""

    #: Per row, its chain's number; -1 for a row whose chain is not known
    #: (an invalid row).
    group: np.ndarray
    #: Per chain: its first row, and a 64-bit hash of its key (the same in
    #: every process, as chain_hashes gives it).
    first: np.ndarray
    hashes: np.ndarray

    @property
    def count(self) -> int:
        return len(self.first)

    def members(self) -> list[np.ndarray]:
        """Per chain, its rows in table order."""
        keyed = np.flatnonzero(self.group >= 0)
        order = np.argsort(self.group[keyed], kind="stable")
        bounds = np.searchsorted(self.group[keyed][order], np.arange(self.count + 1))
        rows = keyed[order]
        return [rows[bounds[g]:bounds[g + 1]] for g in range(self.count)]


def _numbered(keys: pd.DataFrame, rows: np.ndarray) -> np.ndarray:
    """For each of `rows`, the number of its key among the distinct keys of
    those rows in sorted order (column by column): the columns' sorted codes
    combined into one integer while they fit in 62 bits, else pandas'
    grouping."""
    combined = np.zeros(len(rows), dtype=np.int64)
    size = 1
    for column in keys.columns:
        code, uniques = pd.factorize(keys[column].iloc[rows], sort=True)
        size *= max(len(uniques), 1)
        if size >= 2 ** 62:
            known = keys.iloc[rows]
            return known.groupby(list(known.columns), sort=True, observed=True).ngroup().to_numpy()
        combined *= max(len(uniques), 1)
        combined += code
        del code
    return pd.factorize(combined, sort=True)[0].astype(np.int64)


def group_rows(quotes: Quotes) -> Groups:
    """The chains of the quotes whose key is known, numbered in the order
    of quote time, expiry, underlying and root."""
    keyed = quotes.keyed
    keys = chain_keys(quotes.frame, quotes.columns, quotes.quote_seconds,
                      quotes.expiry_seconds)
    n = len(keys)
    group = np.full(n, -1, dtype=np.int64)
    if not keyed.any():
        return Groups(group, np.empty(0, dtype=np.int64), np.empty(0, dtype=np.uint64))
    group[keyed] = _numbered(keys, np.flatnonzero(keyed))
    count = int(group.max()) + 1
    first = np.full(count, -1, dtype=np.int64)
    rows = np.flatnonzero(keyed)
    first[group[rows][::-1]] = rows[::-1]
    return Groups(group, first, _hashes(keys.iloc[first]))


def chain_hashes(frame: pd.DataFrame, columns: Mapping[str, str], clock: Clock
                 ) -> tuple[np.ndarray, np.ndarray]:
    """Per row, a 64-bit hash of its chain's key (the same in every process)
    and whether the key is known (its quote time and expiry parse): rows of
    one chain have one hash, that of :attr:`Groups.hashes`."""
    quote_seconds = clock.instants(clock.read(frame[columns[time_field(columns)]]))
    expiry_seconds = clock.instants(clock.read(frame[columns["expiration"]], expiry=True))
    keys = chain_keys(frame, columns, quote_seconds, expiry_seconds)
    return _hashes(keys), np.isfinite(quote_seconds) & np.isfinite(expiry_seconds)


def check_one_underlying(quotes: Quotes, groups: Groups, clock: Clock) -> None:
    """Where no column names the underlying, raises ChainError when the
    underlying's quotes of one chain do not overlap (one's bid above
    another's ask, a price being a quote without a spread, beyond a basis
    point): the file then holds more than one underlying, which must not be
    averaged into one forward."""
    if quotes.spread is None or groups.count == 0:
        return
    bid, ask = quotes.spread
    rows = np.flatnonzero((groups.group >= 0) & np.isfinite(bid) & np.isfinite(ask))
    if len(rows) == 0:
        return
    group = groups.group[rows]
    highest_bid = pd.Series(bid[rows]).groupby(group).max()
    lowest_ask = pd.Series(ask[rows]).groupby(group).min()
    apart = highest_bid - lowest_ask > 1e-4 * lowest_ask
    if not apart.any():
        return
    g = int(apart.index[apart.to_numpy()][0])
    first = groups.first[g]
    when = clock.local_text(quotes.quote_seconds[[first]])[0]
    expiry = np.datetime_as_string(np.int64(quotes.expiry_day[first]).astype("datetime64[D]"))
    raise ChainError(f"{quotes.chain.source}: at {when}, expiry {expiry}, the underlying's quotes "
                     f"disagree ({highest_bid[g]:g} is above {lowest_ask[g]:g}): the file seems "
                     f"to hold more than one underlying. Name the column that tells them apart "
                     f"with --map underlying_symbol=COLUMN")
