"""The smiles of a surface as data for its pictures: which figures, which
panels, which points, worked out once and drawn twice, by
:mod:`vornet.plot` (matplotlib, a picture) and :mod:`vornet.report_html`
(an interactive page).

:func:`smile_figures` makes one :class:`SmileFigure` per underlying and
quote time (by default the latest quote time of each underlying). A figure
holds one :class:`Panel` per expiry, nearest first: every quote with a
volatility, its log-moneyness ln(K / F) to the expiry's forward, its bid and
ask volatilities where the surface has them, and the panel's own volatility
range. It also holds the term structure of at-the-money volatility (its
underlying's and the others') and a sentence for every expiry it leaves out,
so that nothing is left out silently.
"""

from __future__ import annotations

import dataclasses
import math
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from vornet.chain.errors import ChainError
from vornet.defaults import PLOT_MAX_EXPIRIES, PLOT_MIN_DAYS

if TYPE_CHECKING:
    from vornet.chain import Surface

__all__ = ["MIN_DAYS", "MAX_EXPIRIES", "Panel", "SmileFigure", "smile_figures",
           "check_panel_options", "robust_range", "span_text"]

#: Expiries shorter than this many days are left out of the panels (and
#: named in the figure); at most MAX_EXPIRIES get one, the nearest.
MIN_DAYS = PLOT_MIN_DAYS
MAX_EXPIRIES = PLOT_MAX_EXPIRIES
#: The far-out fence of a panel's volatility range, in interquartile ranges
#: beyond the quartiles of its out-of-the-money points.
FENCE = 3.0

DAYS_PER_YEAR = 365.0


def check_panel_options(min_days: float, max_expiries: int) -> None:
    """Raises ChainError unless `min_days` is a finite number of days, zero
    or more, and `max_expiries` a whole number of at least one."""
    if isinstance(min_days, bool) or not isinstance(min_days, (int, float, np.number)) \
            or not math.isfinite(min_days) or min_days < 0:
        raise ChainError(f"--plot-min-days (min_days) must be a number of days, 0 or more; "
                         f"got {min_days!r}")
    if isinstance(max_expiries, bool) or not isinstance(max_expiries, (int, np.integer)) \
            or max_expiries < 1:
        raise ChainError(f"--plot-max-expiries (max_expiries) must be a whole number, 1 or "
                         f"more; got {max_expiries!r}")


def span_text(days: float) -> str:
    """Time to expiry for a title: ``7 d``, ``0.6 d``, or ``5.5 h`` under
    half a day."""
    if days >= 1.5:
        return f"{days:.0f} d"
    if days >= 0.5:
        return f"{days:.1f} d"
    return f"{24.0 * days:.1f} h"


def robust_range(values: np.ndarray) -> tuple[float, float]:
    """A range that holds `values` but a few far-out ones: within FENCE
    interquartile ranges of the quartiles (a smile's wings curve up, a
    same-day expiry's can run to hundreds of percent), with a margin, never
    below zero. (0, 100) when there is no finite value."""
    values = np.asarray(values, dtype=np.float64)
    values = values[np.isfinite(values)]
    if len(values) == 0:
        return 0.0, 100.0
    q1, median, q3 = np.percentile(values, [25.0, 50.0, 75.0])
    spread = max(q3 - q1, 0.02 * abs(median))
    inside = values[(values >= q1 - FENCE * spread) & (values <= q3 + FENCE * spread)]
    lo, hi = float(inside.min()), float(inside.max())
    margin = max(0.08 * (hi - lo), 0.05 * abs(median), 0.5)
    return max(lo - margin, 0.0), hi + margin


@dataclasses.dataclass(frozen=True)
class Panel:
    """One expiry's smile."""

    expiration: str
    #: Years to expiry.
    T: float
    forward: float
    #: The at-the-money volatility, in percent (NaN when it is not known).
    atm_vol: float
    #: The chain's root when the figure holds several, else None.
    root: str | None
    #: One row per quote with a volatility, by strike: ``row`` (its
    #: position in the surface's table), ``strike``, ``k`` (ln(K / F)),
    #: ``call``, ``otm``, ``vol``, ``vol_bid``, ``vol_ask`` (percent; NaN
    #: where a side did not solve or was not asked for), ``bar`` (both
    #: sides solved), and, as the table has them, ``bid``, ``ask``, ``mid``
    #: and ``status``.
    quotes: pd.DataFrame = dataclasses.field(repr=False)
    #: The volatilities shown (percent): those of the out-of-the-money
    #: points but a few far-out ones (all points when none is out of the
    #: money).
    y_range: tuple[float, float]

    @property
    def days(self) -> float:
        return self.T * DAYS_PER_YEAR

    @property
    def label(self) -> str:
        """The expiry, its root where the figure has several, and its time
        left: ``2024-03-22 (7 d)``."""
        root = f"{self.root} " if self.root is not None else ""
        return f"{root}{self.expiration} ({span_text(self.days)})"

    @property
    def title(self) -> str:
        atm = f"{self.atm_vol:.1f} %" if math.isfinite(self.atm_vol) else "-"
        return f"{self.label}\nF {self.forward:.4g}, ATM {atm}"

    @property
    def off_scale(self) -> tuple[int, int]:
        """How many points lie below and above the range shown."""
        vol = self.quotes["vol"].to_numpy()
        return int((vol < self.y_range[0]).sum()), int((vol > self.y_range[1]).sum())


@dataclasses.dataclass(frozen=True)
class SmileFigure:
    """The smiles of one underlying at one quote time."""

    #: The underlying (None when the chain has no underlying column).
    underlying: str | None
    #: ``YYYY-MM-DD HH:MM:SS`` in the clock's zone (None: no chain at all).
    quote_time: str | None
    panels: list[Panel] = dataclasses.field(repr=False)
    #: The term structure: ``underlying``, ``expiration``, ``days``,
    #: ``atm_vol`` (percent), ``own`` (this figure's underlying) and
    #: ``drawn`` (has a panel), one row per expiry with an ATM volatility.
    term: pd.DataFrame = dataclasses.field(repr=False)
    #: A sentence for each group of expiries left out, and why.
    left_out: list[str]
    #: The log-moneyness range every panel shares.
    x_range: tuple[float, float]
    #: The model named in the title, if any.
    model: str | None = None
    #: Whether the surface has bid and ask volatilities.
    sides: bool = False

    @property
    def heading(self) -> str:
        """``XYZ quoted 2024-03-15 10:30``, with the model where given."""
        who = f"{self.underlying} " if self.underlying is not None else ""
        when = f"quoted {self.quote_time[:16]}" if self.quote_time else "no quotes"
        model = f", model {self.model}" if self.model else ""
        return f"{who}{when}{model}"

    @property
    def name(self) -> str:
        """A file-name part: ``XYZ_2024-03-15T1030`` (seconds added when
        they are not zero)."""
        who = re.sub(r"[^A-Za-z0-9.-]+", "-", str(self.underlying)).strip("-.") or "chain"
        when = "none"
        if self.quote_time:
            stamp = pd.Timestamp(self.quote_time)
            when = stamp.strftime("%Y-%m-%dT%H%M") + (f"{stamp.second:02d}" if stamp.second
                                                       else "")
        return f"{who}_{when}"

    @property
    def notes(self) -> str:
        return "; ".join(self.left_out)


def _key_column(result: Surface, field: str) -> str | None:
    """The summary's column of the chain's `field` (underlying_symbol or
    root), if the chain has one."""
    typing = result.typing
    if typing is None:
        return None
    column = typing.columns.get(field)
    if column is None:
        return None
    original = {new: old for old, new in result.renamed.items()}.get(column, column)
    return original if original in result.summary.columns else None


def _table_column(result: Surface, field: str, fallback: str | None = None) -> str | None:
    typing = result.typing
    column = typing.columns.get(field) if typing is not None else None
    if column is None:
        column = fallback
    return column if column is not None and column in result.table.columns else None


def _dates(summary: pd.DataFrame, positions: Sequence[int]) -> str:
    dates = [str(summary["expiration"].iat[p]) for p in positions]
    return ", ".join(dates) if len(dates) <= 4 else f"{dates[0]} to {dates[-1]}"


def _expiries(count: int) -> str:
    return f"{count} expir{'y' if count == 1 else 'ies'}"


def _pick(result: Surface, positions: np.ndarray, min_days: float, max_expiries: int
          ) -> tuple[list[int], list[str]]:
    """The summary rows that get a panel, nearest first, and a sentence for
    each group of the others."""
    summary = result.summary
    T = summary["T"].to_numpy(dtype=np.float64)
    forward = summary["forward"].to_numpy(dtype=np.float64)
    order = positions[np.argsort(T[positions], kind="stable")]
    notes = []
    expired = [p for p in order if not T[p] > 0.0]
    if expired:
        notes.append(f"{_expiries(len(expired))} expired ({_dates(summary, expired)})")
    live = [p for p in order if T[p] > 0.0]
    no_forward = [p for p in live if not math.isfinite(forward[p])]
    if no_forward:
        notes.append(f"{_expiries(len(no_forward))} without a forward "
                     f"({_dates(summary, no_forward)})")
    live = [p for p in live if math.isfinite(forward[p])]
    short = [p for p in live if T[p] * DAYS_PER_YEAR < min_days]
    if short:
        notes.append(f"{_expiries(len(short))} under {min_days:g} day{'' if min_days == 1 else 's'} "
                     f"({_dates(summary, short)})")
    live = [p for p in live if T[p] * DAYS_PER_YEAR >= min_days]
    if len(live) > max_expiries:
        far = live[max_expiries:]
        notes.append(f"{_expiries(len(far))} beyond the nearest {max_expiries} "
                     f"({_dates(summary, far)})")
        live = live[:max_expiries]
    return live, notes


def _panel_quotes(result: Surface, rows: np.ndarray, forward: float,
                  columns: dict[str, str | None]) -> pd.DataFrame:
    table = result.table
    iv = table["iv"].to_numpy(dtype=np.float64)[rows]
    keep = np.isfinite(iv)
    rows = rows[keep]
    strike = result.strike[rows]
    frame = pd.DataFrame({
        "row": rows,
        "strike": strike,
        "k": np.log(strike / forward),
        "call": result.is_call[rows].astype(bool),
        "otm": table["otm"].fillna(False).to_numpy(dtype=bool)[rows],
        "vol": 100.0 * iv[keep],
    })
    for side in ("bid", "ask"):
        name = f"iv_{side}"
        frame[f"vol_{side}"] = (100.0 * table[name].to_numpy(dtype=np.float64)[rows]
                                if name in table.columns else np.nan)
    frame["bar"] = np.isfinite(frame["vol_bid"]) & np.isfinite(frame["vol_ask"])
    for name, column in columns.items():
        frame[name] = table[column].to_numpy()[rows] if column is not None else None
    return frame.sort_values(["strike", "call"], kind="stable").reset_index(drop=True)


def _panel(result: Surface, position: int, root: str | None,
           columns: dict[str, str | None]) -> Panel:
    summary = result.summary
    forward = float(summary["forward"].iat[position])
    quotes = _panel_quotes(result, result.rows_of(position), forward, columns)
    otm = quotes["vol"][quotes["otm"]].to_numpy()
    y_range = robust_range(otm if len(otm) else quotes["vol"].to_numpy())
    return Panel(str(summary["expiration"].iat[position]), float(summary["T"].iat[position]),
                 forward, 100.0 * float(summary["atm_vol"].iat[position]), root, quotes, y_range)


def _x_range(panels: list[Panel]) -> tuple[float, float]:
    """The log-moneyness of every point inside its panel's range, with a
    margin: the far wings off a panel's scale do not widen the others."""
    shown = [p.quotes["k"][(p.quotes["vol"] >= p.y_range[0]) & (p.quotes["vol"] <= p.y_range[1])]
             for p in panels]
    k = np.concatenate([s.to_numpy(dtype=np.float64) for s in shown]) if shown else np.empty(0)
    k = k[np.isfinite(k)]
    if len(k) == 0:
        return -0.5, 0.5
    lo, hi = float(k.min()), float(k.max())
    margin = max(0.04 * (hi - lo), 0.01)
    return lo - margin, hi + margin


def _term(summary: pd.DataFrame, chosen: dict[Any, np.ndarray], own: Any,
          drawn: Sequence[int]) -> pd.DataFrame:
    """ATM volatility against days to expiry of every figure's chains (the
    quote time each figure shows), this figure's underlying marked."""
    parts = []
    for underlying, positions in chosen.items():
        T = summary["T"].to_numpy(dtype=np.float64)[positions]
        atm = 100.0 * summary["atm_vol"].to_numpy(dtype=np.float64)[positions]
        keep = (T > 0) & np.isfinite(atm)
        positions = positions[keep]
        order = np.argsort(T[keep], kind="stable")
        positions = positions[order]
        parts.append(pd.DataFrame({
            "underlying": underlying,
            "expiration": summary["expiration"].to_numpy()[positions],
            "days": T[keep][order] * DAYS_PER_YEAR,
            "atm_vol": atm[keep][order],
            "own": underlying == own,
            "drawn": np.isin(positions, np.asarray(drawn, dtype=np.int64)),
        }))
    if not parts:
        return pd.DataFrame({"underlying": [], "expiration": [], "days": [], "atm_vol": [],
                             "own": [], "drawn": []})
    return pd.concat(parts, ignore_index=True)


def smile_figures(result: Surface, *, min_days: float = MIN_DAYS,
                  max_expiries: int = MAX_EXPIRIES, every_quote_time: bool = False,
                  model: str | None = None) -> list[SmileFigure]:
    """The figures of a surface's smiles: one per underlying and quote time
    (the latest of each underlying, or every one with `every_quote_time`),
    underlyings in the order they first appear, quote times in order.
    Expiries shorter than `min_days` days and those beyond the nearest
    `max_expiries` get no panel but a sentence in the figure's
    ``left_out`` (as do expired chains and those without a forward), and
    keep their point in the term structure. A surface with no chain at
    all gives one figure with no panel."""
    check_panel_options(min_days, max_expiries)
    summary = result.summary
    underlying_column = _key_column(result, "underlying_symbol")
    root_column = _key_column(result, "root")
    columns = {"bid": _table_column(result, "bid"), "ask": _table_column(result, "ask"),
               "mid": _table_column(result, "mid", "mid"), "status": "status"}
    sides = "iv_bid" in result.table.columns
    if len(summary) == 0:
        return [SmileFigure(None, None, [], _term(summary, {}, None, []),
                            ["no quote time and expiry could be read"], (-0.5, 0.5), model,
                            sides)]
    who = (summary[underlying_column].astype(str).to_numpy(dtype=object)
           if underlying_column is not None else np.full(len(summary), None, dtype=object))
    when = summary["quote_time"].astype(str).to_numpy(dtype=object)
    underlyings = list(dict.fromkeys(who.tolist()))
    latest = {u: max(when[who == u]) for u in underlyings}
    # Each underlying's chains at the quote time its figure shows: the
    # latest; the others (with every_quote_time) only have figures of their
    # own.
    shown = {u: np.flatnonzero((who == u) & (when == latest[u])) for u in underlyings}
    figures = []
    for underlying in underlyings:
        times = sorted(set(when[who == underlying].tolist())) if every_quote_time \
            else [latest[underlying]]
        for quote_time in times:
            positions = np.flatnonzero((who == underlying) & (when == quote_time))
            several_roots = (root_column is not None
                             and summary[root_column].iloc[positions].nunique() > 1)
            picked, notes = _pick(result, positions, min_days, max_expiries)
            panels = [_panel(result, p, str(summary[root_column].iat[p]) if several_roots
                             else None, columns) for p in picked]
            chosen = dict(shown)
            chosen[underlying] = positions
            figures.append(SmileFigure(underlying, quote_time, panels,
                                       _term(summary, chosen, underlying, picked), notes,
                                       _x_range(panels), model, sides))
    return figures
