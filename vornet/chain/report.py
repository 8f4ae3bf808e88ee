"""The report of a surface: the summary per chain (built from the solved
quotes), the summary as a text table, and the count of each status.

The command and the demonstration both print it with :func:`print_report`.
"""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Callable, Mapping, Sequence
from typing import Any, TextIO

import numpy as np
import pandas as pd

from vornet.chain.clock import Clock
from vornet.chain.columns import SUMMARY_COLUMNS, key_columns
from vornet.chain.forwards import Forwards
from vornet.chain.keys import Groups
from vornet.chain.statuses import SOLVED, STATUSES
from vornet.chain.values import Quotes

__all__ = ["SUMMARY_ROWS", "summarise", "atm_vol", "varying_keys", "format_summary",
           "status_line", "print_report"]

#: Summary rows printed at most: the first and the last half of them.
SUMMARY_ROWS = 40


def atm_vol(log_moneyness: np.ndarray, vols: np.ndarray) -> float:
    """The volatility at the forward, linear between the nearest quotes on
    either side; NaN unless quotes lie on both sides (or at it)."""
    if len(vols) == 0 or log_moneyness.min() > 0.0 or log_moneyness.max() < 0.0:
        return math.nan
    order = np.argsort(log_moneyness, kind="stable")
    return float(np.interp(0.0, log_moneyness[order], vols[order]))


def summarise(quotes: Quotes, groups: Groups, forwards: Forwards, discount: np.ndarray,
              iv: np.ndarray, status: np.ndarray, otm: Any, clock: Clock) -> pd.DataFrame:
    """One row per chain, in chain order: its quote time (in the clock's
    zone), expiry, underlying and root (when the file has those columns),
    T, the underlying's spot (the median of its quotes' mids), forward,
    parity forward, the rate its discount factor gives (r = -ln(D) / T), the
    carry the forward implies (q such that F = S exp((r - q) T)),
    at-the-money volatility, and its quotes solved, usable and in all."""
    first = groups.first
    summary = pd.DataFrame({
        "quote_time": clock.local_text(quotes.quote_seconds[first]),
        "expiration": np.datetime_as_string(
            quotes.expiry_day[first].astype(np.int64).astype("datetime64[D]")).astype(object),
    })
    for column in key_columns(quotes.columns):
        summary[column] = quotes.frame[column].iloc[first].to_numpy()
    solved = status == SOLVED
    chosen = solved & otm.fillna(False).to_numpy(dtype=bool)
    atm = []
    spot = np.full(groups.count, np.nan)
    for g, rows in enumerate(groups.members()):
        picked = rows[chosen[rows]]
        atm.append(atm_vol(np.log(quotes.strike[picked] / forwards.forward[g]), iv[picked]))
        spots = quotes.spot[rows]
        spots = spots[~np.isnan(spots)]
        if len(spots):
            spot[g] = np.median(spots)
    keyed = groups.group >= 0
    count = groups.count

    def per_chain(mask: np.ndarray) -> np.ndarray:
        return np.bincount(groups.group[keyed & mask], minlength=count).astype(np.int64)

    T = quotes.T[first]
    summary["T"] = T
    summary["spot"] = spot
    summary["forward"] = forwards.forward
    summary["parity_forward"] = forwards.parity
    with np.errstate(divide="ignore", invalid="ignore"):
        rate = -np.log(discount[first]) / T
        summary["rate"] = rate
        summary["carry"] = rate - np.log(forwards.forward / spot) / T
    summary["atm_vol"] = np.asarray(atm, dtype=np.float64)
    summary["solved"] = per_chain(solved)
    summary["usable"] = per_chain(quotes.usable)
    summary["rows"] = per_chain(np.ones(len(status), dtype=bool))
    return summary


def varying_keys(summary: pd.DataFrame) -> list[str]:
    """The summary's root and underlying columns that tell its rows apart
    (those with one value throughout say nothing)."""
    return [c for c in summary.columns
            if c not in SUMMARY_COLUMNS and summary[c].nunique(dropna=False) > 1]


def _number(value: float, digits: int) -> str:
    return f"{value:.{digits}f}" if math.isfinite(value) else "-"


def _percent(value: float) -> str:
    return f"{100.0 * value:.2f} %" if math.isfinite(value) else "-"


def format_summary(summary: pd.DataFrame,
                   extra: Mapping[str, Sequence[Any] | Callable[[dict[str, Any]], Any]]
                   | None = None) -> str:
    """The summary as a text table. `extra` adds columns: heading -> values
    (one per summary row) or a function of the summary row (a dict)."""
    from tabulate import tabulate

    keys = varying_keys(summary)
    extra = dict(extra or {})
    headings = ["quote time", "expiry", *keys, "T", "spot", "forward", "parity fwd",
                "rate r", "carry q", *extra, "ATM vol", "solved/usable"]
    rows = []
    for i, record in enumerate(summary.to_dict("records")):
        cells = [str(record["quote_time"])[:16], str(record["expiration"])]
        cells += [str(record[k]) for k in keys]
        cells += [_number(record["T"], 6), _number(record["spot"], 4),
                  _number(record["forward"], 4), _number(record["parity_forward"], 4),
                  _percent(record["rate"]), _percent(record["carry"])]
        for values in extra.values():
            value = values(record) if callable(values) else values[i]
            cells.append(value if isinstance(value, str) else _number(float(value), 4))
        cells.append(_percent(record["atm_vol"]))
        cells.append(f"{record['solved']}/{record['usable']}")
        rows.append(cells)
    # Dates and names to the left, numbers to the right.
    align = ["left"] * (2 + len(keys)) + ["right"] * (len(headings) - 2 - len(keys))
    return tabulate(rows, headers=headings, tablefmt="simple", colalign=align,
                    disable_numparse=True)


def status_line(counts: Mapping[str, int]) -> str:
    """The count of each status, in the order of :data:`STATUSES`."""
    return "status: " + ", ".join(f"{counts[s]} {s}" for s in STATUSES if counts.get(s))


def print_report(summary: pd.DataFrame, counts: Mapping[str, int], rows: int, source: str,
                 out: TextIO, extra: Mapping[str, Any] | None = None) -> None:
    """Prints the summary (its first and last SUMMARY_ROWS / 2 rows when it
    is longer) and the count of each status."""
    print(f"{source}: {rows} rows, {len(summary)} expiries (quote time and expiry)\n", file=out)
    if len(summary) > SUMMARY_ROWS:
        half = SUMMARY_ROWS // 2
        shown = list(range(half)) + list(range(len(summary) - half, len(summary)))
        picked = {k: (v if callable(v) else [v[i] for i in shown])
                  for k, v in (extra or {}).items()}
        lines = format_summary(summary.iloc[shown].reset_index(drop=True), picked).splitlines()
        print("\n".join(lines[:2 + half]), file=out)
        print(f"... {len(summary) - SUMMARY_ROWS} more (--summary FILE writes them all) ...",
              file=out)
        print("\n".join(lines[2 + half:]), file=out)
    else:
        print(format_summary(summary, extra), file=out)
    print("\n" + status_line(counts), file=out)


def count_statuses(status: Sequence[str] | np.ndarray) -> Counter[str]:
    """How many rows have each status."""
    return Counter(pd.Series(status, dtype=object).value_counts().to_dict())
