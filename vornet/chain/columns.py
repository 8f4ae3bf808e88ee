"""Column names: the fields a chain is read with and how each is found in a
file, the columns the output adds, and those of the summary."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from vornet.chain.errors import ChainError

__all__ = ["FIELDS", "KEY_FIELDS", "OUTPUT_COLUMNS", "SUMMARY_COLUMNS", "resolve_columns",
           "time_field", "key_columns", "columns_found", "add_results", "empty_results"]

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

#: The optional fields that keep chains apart beside the quote time and the
#: expiry, in the order a chain's key lists them.
KEY_FIELDS = ("underlying_symbol", "root")

#: The columns the output adds to the input's, in order; an input column of
#: one of these names is kept as ``<name>_input``.
OUTPUT_COLUMNS = ("T", "forward", "discount", "mid", "iv", "otm", "status", "detail")

#: The summary's columns; the chain's underlying and root columns, when it
#: has them, come after ``expiration``.
SUMMARY_COLUMNS = ("quote_time", "expiration", "T", "forward", "parity_forward", "atm_vol",
                   "solved", "usable", "rows")


def columns_found(columns: list[str]) -> str:
    """The columns of a file, for a message."""
    return ", ".join(repr(c) for c in columns) if columns else "none"


def _find_column(name: str, columns: list[str]) -> str | None:
    if name in columns:
        return name
    folded = [c for c in columns if c.strip().lower() == name]
    return folded[0] if len(folded) == 1 else None


def _check_mapping(mapping: Mapping[str, str], columns: list[str]) -> None:
    for name, column in mapping.items():
        if name not in FIELDS:
            raise ChainError(f"--map {name}={column}: unknown name {name!r}; the names are "
                             f"{', '.join(FIELDS)}")
        if column not in columns:
            raise ChainError(f"--map {name}={column}: no column {column!r} in the chain "
                             f"(columns found: {columns_found(columns)})")


def resolve_columns(columns: Iterable[Any], mapping: Mapping[str, str] | None = None
                    ) -> dict[str, str]:
    """The file's column for each field the chain is read with.

    A field is found by its own name, then by that name in any case and with
    surrounding spaces (when only one column matches); ``mapping`` names the
    column of a field directly. Raises :class:`ChainError` naming the first
    missing column and the columns found.
    """
    names = [str(c) for c in columns]
    mapping = dict(mapping or {})
    _check_mapping(mapping, names)
    found = {}
    for name in FIELDS:
        match = mapping.get(name) or _find_column(name, names)
        if match is not None:
            found[name] = match

    def missing(*wanted: str) -> ChainError:
        alternatives = " or ".join(repr(n) for n in wanted)
        return ChainError(f"missing column {alternatives} (columns found: "
                          f"{columns_found(names)}); --map {wanted[0]}=COLUMN names "
                          f"another column")

    if "quote_datetime" not in found and "quote_date" not in found:
        raise missing("quote_datetime", "quote_date")
    for name in ("expiration", "strike", "option_type"):
        if name not in found:
            raise missing(name)
    if not ("bid" in found and "ask" in found or "price" in found or "mid" in found):
        raise missing("ask" if "bid" in found else "bid")
    if not ("underlying_bid" in found and "underlying_ask" in found
            or "underlying_price" in found):
        raise missing("underlying_ask" if "underlying_bid" in found else "underlying_bid",
                      "underlying_price")
    return found


def time_field(columns: Mapping[str, str]) -> str:
    """The field the quote time is read from: quote_datetime, else
    quote_date."""
    return "quote_datetime" if "quote_datetime" in columns else "quote_date"


def key_columns(columns: Mapping[str, str]) -> list[str]:
    """The file's columns that tell chains apart beside the quote time and
    the expiry: the underlying's and the root's, when it has them."""
    return [columns[k] for k in KEY_FIELDS if k in columns]


def add_results(frame: pd.DataFrame, results: Mapping[str, Any]
                ) -> tuple[pd.DataFrame, dict[str, str]]:
    """The input's columns followed by the results (OUTPUT_COLUMNS, in
    order), and the input columns renamed because a result has their name
    (old name -> new name)."""
    renamed = {}
    taken = set(map(str, frame.columns)) | set(OUTPUT_COLUMNS)
    for column in frame.columns:
        if column in OUTPUT_COLUMNS:
            new = f"{column}_input"
            while new in taken:
                new += "_"
            renamed[column] = new
            taken.add(new)
    # Column by column, none copied: the input's as they are, then the
    # results' arrays.
    table = {renamed.get(c, c): frame[c] for c in frame.columns}
    for name in OUTPUT_COLUMNS:
        dtype = object if name in ("status", "detail") else None
        table[name] = pd.Series(results[name], index=frame.index, dtype=dtype, copy=False)
    return pd.DataFrame(table, copy=False), renamed


def empty_results(frame: pd.DataFrame) -> pd.DataFrame:
    """The table :func:`add_results` makes of `frame`'s columns, with no
    rows: the output's layout and types."""
    empty = np.empty(0)
    table, _ = add_results(frame.iloc[:0], {
        "T": empty, "forward": empty, "discount": empty, "mid": empty, "iv": empty,
        "otm": pd.array([], dtype="boolean"), "status": np.empty(0, dtype=object),
        "detail": np.empty(0, dtype=object)})
    return table
