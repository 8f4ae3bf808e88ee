"""Column names: the fields a chain is read with and how each is found in a
file, the columns the output adds, and those of the summary."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from vornet.chain.errors import ChainError

__all__ = ["FIELDS", "KEY_FIELDS", "OUTPUT_COLUMNS", "SUMMARY_COLUMNS", "resolve_columns",
           "time_field", "key_columns", "columns_found", "add_results", "empty_results",
           "renamed_inputs"]

#: The columns read, by the name they have in the common exchange exports;
#: ``--map name=column`` (``mapping``) names another column for any of them.
FIELDS: dict[str, str] = {
    "quote_datetime": "date and time of the quote (or quote_date: the date, quoted at the "
                      "close)",
    "quote_date": "date of the quote, taken at the close; used without quote_datetime",
    "expiration": "expiry date",
    "expiration_time": "optional: the time of day the option expires at, per row (09:30 for "
                       "options settled at the open)",
    "strike": "strike price",
    "option_type": "C or P (call, put), in any case",
    "bid": "bid price of the option",
    "ask": "ask price of the option",
    "price": "one price per option, used without bid and ask",
    "mid": "one price per option, used without bid, ask and price",
    "underlying_bid": "bid of the underlying",
    "underlying_ask": "ask of the underlying",
    "underlying_price": "price of the underlying, used without its bid and ask",
    "style": "optional: American or European (A or E), in any case; American where missing",
    "underlying_symbol": "optional: quotes of different underlyings are kept apart (also read "
                         "from a column named underlying, symbol or ticker)",
    "root": "optional: option roots (classes) are kept apart, also on one expiry date",
}

#: The optional fields that keep chains apart beside the quote time and the
#: expiry, in the order a chain's key lists them.
KEY_FIELDS = ("underlying_symbol", "root")

#: Other names a field's column has in common files, tried in this order
#: after the field's own name (in any case).
ALIASES: dict[str, tuple[str, ...]] = {
    "underlying_symbol": ("underlying", "symbol", "ticker"),
}

#: The columns the output adds to the input's, in order (iv_bid and iv_ask
#: only on request); an input column of one of these names is kept as
#: ``<name>_input``.
OUTPUT_COLUMNS = ("T", "forward", "discount", "mid", "iv", "iv_bid", "iv_ask", "delta", "vega",
                  "otm", "status", "detail")
#: The output columns written on request only.
REQUESTED_COLUMNS = ("iv_bid", "iv_ask")

#: The summary's columns; the chain's underlying and root columns, when it
#: has them, come after ``expiration``.
SUMMARY_COLUMNS = ("quote_time", "expiration", "T", "spot", "forward", "parity_forward",
                   "rate", "carry", "atm_vol", "solved", "usable", "rows")


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


def _underlying(frame: pd.DataFrame | None, names: list[str]) -> str | None:
    """The underlying's column among its usual names: not one whose value
    differs on every row (an option's own contract symbol)."""
    for alias in ("underlying_symbol", *ALIASES["underlying_symbol"]):
        column = _find_column(alias, names)
        if column is None:
            continue
        if frame is not None and len(frame) > 1 and frame[column].nunique(dropna=False) == len(
                frame):
            continue
        return column
    return None


def resolve_columns(columns: Iterable[Any], mapping: Mapping[str, str] | None = None,
                    frame: pd.DataFrame | None = None) -> dict[str, str]:
    """The file's column for each field the chain is read with.

    A field is found by its own name, then by that name in any case and with
    surrounding spaces (when only one column matches), then by its other
    names (ALIASES); ``mapping`` names the column of a field directly. With
    the chain's `frame`, a column whose value differs on every row is not
    taken as the underlying's. Raises :class:`ChainError` naming the first
    missing column and the columns found.
    """
    names = [str(c) for c in columns]
    mapping = dict(mapping or {})
    _check_mapping(mapping, names)
    found = {}
    for name in FIELDS:
        if name in mapping:
            match: str | None = mapping[name]
        elif name == "underlying_symbol":
            match = _underlying(frame, names)
        else:
            match = _find_column(name, names)
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


def renamed_inputs(columns: Iterable[Any], written: Iterable[str] = OUTPUT_COLUMNS
                   ) -> dict[str, str]:
    """The input columns that the name of an output column `written` takes,
    and the names they are written under (``<name>_input``)."""
    renamed = {}
    columns = list(columns)
    written = set(written)
    taken = set(map(str, columns)) | written
    for column in columns:
        if column in written:
            new = f"{column}_input"
            while new in taken:
                new += "_"
            renamed[column] = new
            taken.add(new)
    return renamed


def add_results(frame: pd.DataFrame, results: Mapping[str, Any]
                ) -> tuple[pd.DataFrame, dict[str, str]]:
    """The input's columns followed by the results (OUTPUT_COLUMNS, in
    order), and the input columns renamed because a result has their name
    (old name -> new name)."""
    written = [name for name in OUTPUT_COLUMNS if name in results]
    renamed = renamed_inputs(frame.columns, written)
    # Column by column, none copied: the input's as they are, then the
    # results' arrays.
    table = {renamed.get(c, c): frame[c] for c in frame.columns}
    for name in written:
        dtype = object if name in ("status", "detail") else None
        table[name] = pd.Series(results[name], index=frame.index, dtype=dtype, copy=False)
    return pd.DataFrame(table, copy=False), renamed


def empty_results(frame: pd.DataFrame, sides: bool = False) -> pd.DataFrame:
    """The table :func:`add_results` makes of `frame`'s columns, with no
    rows: the output's layout and types (with iv_bid and iv_ask when
    `sides`)."""
    empty = np.empty(0)
    results: dict[str, Any] = {name: empty for name in OUTPUT_COLUMNS
                               if sides or name not in REQUESTED_COLUMNS}
    results.update(otm=pd.array([], dtype="boolean"), status=np.empty(0, dtype=object),
                   detail=np.empty(0, dtype=object))
    table, _ = add_results(frame.iloc[:0], results)
    return table
