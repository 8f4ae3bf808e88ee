"""The surface of a chain: every quote's implied volatility against its
chain's forward, with a status for every row.

:func:`surface` runs these steps over one record of the parsed quotes:

1. read the quotes (:func:`vornet.chain.values.parse_quotes`): numbers,
   sides, times, and the rows that cannot be solved;
2. number the chains (:func:`vornet.chain.keys.group_rows`);
3. discount to each expiry (:class:`vornet.chain.rates.RateCurve`);
4. find each chain's forward (:func:`vornet.chain.forwards.find_forwards`);
5. solve every usable quote's volatility against its chain's forward;
6. lay out the table and the summary (:mod:`vornet.chain.report`).

Nothing is dropped: a row that cannot be used keeps its place with a
status saying why.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

import vornet
from vornet.chain.clock import CALENDAR, make_clock
from vornet.chain.columns import add_results, resolve_columns
from vornet.chain.errors import ChainError
from vornet.chain.files import Chain
from vornet.chain.forwards import Forwards, european_chains, find_forwards, implied_discounts
from vornet.chain.keys import Groups, check_one_underlying, group_rows
from vornet.chain.rates import RateCurve
from vornet.chain.report import summarise
from vornet.chain.statuses import EXPIRED, INVALID_ROW, NO_FORWARD, of_iv_status
from vornet.chain.values import Quotes, Typing, parse_quotes
from vornet.market import (IVStatus, Method, Model, check_method, check_model, resolve_workers,
                           solve_at_forward)

__all__ = ["Surface", "Solution", "surface"]

# Quotes solved per engine call: a progress bar moves after each, and the
# call's copies of its inputs stay small.
_CHUNK = 1 << 17


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
    #: Per table row, the position of its summary row (-1 for a row that
    #: has none: one whose quote time or expiry is not known).
    group: np.ndarray
    #: Per table row, the strike as a number (NaN where it is not one) and
    #: whether the option is a call.
    strike: np.ndarray
    is_call: np.ndarray
    #: Per summary row, a 64-bit hash of its chain's key (see
    #: :func:`vornet.chain.keys.chain_hashes`).
    chain_hashes: np.ndarray
    #: How the Parquet output types the columns read as numbers and times.
    typing: Typing | None = None

    def typed(self, rows: pd.DataFrame) -> pd.DataFrame:
        """`rows` of the table with the columns read as numbers and times
        typed (numbers, timestamps, dates; null where a value did not
        parse), as the Parquet output holds them."""
        return self.typing.apply(rows) if self.typing is not None else rows

    def rows_of(self, position: int) -> np.ndarray:
        """The table rows of the summary row at `position`."""
        return np.flatnonzero(self.group == position)


@dataclasses.dataclass(frozen=True)
class Solution:
    """The results per row, before they join the input's columns."""

    discount: np.ndarray
    forward: np.ndarray
    iv: np.ndarray
    otm: Any
    status: np.ndarray
    detail: np.ndarray
    #: The columns written on request: iv_bid and iv_ask.
    extra: dict[str, np.ndarray] = dataclasses.field(default_factory=dict)

    def columns(self, quotes: Quotes) -> dict[str, Any]:
        return {"T": quotes.T, "forward": self.forward, "discount": self.discount,
                "mid": quotes.mid, "iv": self.iv, **self.extra, "otm": self.otm,
                "status": self.status, "detail": self.detail}


#: The rates argument that asks for the discount factors the quotes imply.
IMPLIED = "implied"


def _discounts(quotes: Quotes, groups: Groups, rates: RateCurve | str,
               clock: Any) -> np.ndarray:
    """exp(-r(T) T) of the rows whose chain is known and has not expired;
    with rates "implied", the discount factor each European chain's quotes
    imply (an American chain is refused)."""
    live = quotes.keyed & (quotes.T > 0.0)
    discount = np.full(len(quotes.T), np.nan)
    if isinstance(rates, RateCurve):
        discount[live] = rates.discount(quotes.T[live])
        return discount
    american = ~european_chains(quotes, groups)
    expired = quotes.status[groups.first] == EXPIRED
    if (american & ~expired).any():
        first = groups.first[np.flatnonzero(american & ~expired)[0]]
        when = clock.local_text(quotes.quote_seconds[[first]])[0]
        raise ChainError(f"--rate implied needs European options: the chain quoted at {when}, "
                         f"expiring {np.int64(quotes.expiry_day[first]).astype('datetime64[D]')},"
                         f" holds American ones")
    implied = implied_discounts(quotes, groups)
    discount[live] = implied[groups.group[live]]
    return discount


def _implied_vols(quotes: Quotes, prices: list[np.ndarray], rows: np.ndarray,
                  forward: np.ndarray, discount: np.ndarray, threads: int, method: Method,
                  progress: bool, targets: list[tuple[np.ndarray, ...]],
                  model: Model = "baw") -> np.ndarray:
    """Solves `rows` in chunks, each chunk's answers written in place: at
    the first of `prices` (the mid) the volatility, delta and vega into the
    first target's three arrays (by row); at the others (the sides) the
    volatility into their target's one. Returns the mid's statuses (by
    position in `rows`)."""
    bar = None
    if progress:
        from tqdm import tqdm

        bar = tqdm(total=len(rows) * len(prices), desc="quotes", unit="quote", leave=False,
                   dynamic_ncols=True, unit_scale=True)
    codes = np.empty(len(rows), dtype=np.int8)
    try:
        for start in range(0, len(rows), _CHUNK):
            part = rows[start:start + _CHUNK]
            terms = (quotes.spot[part], quotes.strike[part], quotes.T[part], discount[part],
                     forward[part], np.where(quotes.is_call[part], "c", "p"))
            options = dict(exercise=np.where(quotes.european[part], "european", "american"),
                           method=method, workers=threads, model=model)
            for number, (price, target) in enumerate(zip(prices, targets)):
                if number == 0:
                    vol, code, delta, vega = solve_at_forward(price[part], *terms, **options)
                    target[1][part], target[2][part] = delta, vega
                    codes[start:start + len(part)] = code
                else:
                    vol, _ = vornet.implied_vol_at_forward(price[part], *terms, full_output=True,
                                                           **options)
                target[0][part] = vol
                if bar is not None:
                    bar.update(len(part))
    finally:
        if bar is not None:
            bar.close()
    return codes


def _solve(quotes: Quotes, groups: Groups, forwards: Forwards, discount: np.ndarray,
           threads: int, method: Method, progress: bool, model: Model = "baw") -> Solution:
    """Every usable quote's volatility against its chain's forward; the
    others keep their status, and a chain without a forward gives its
    quotes the status "no forward" with the reason."""
    keyed = groups.group >= 0
    forward = np.full(len(keyed), np.nan)
    forward[keyed] = forwards.forward[groups.group[keyed]]
    status = quotes.status.copy()
    no_forward = quotes.usable & ~np.isfinite(forward)
    status[no_forward] = NO_FORWARD
    detail = np.full(len(keyed), "", dtype=object)
    detail[no_forward] = forwards.reason[groups.group[no_forward]]
    iv = np.full(len(keyed), np.nan)
    rows = np.flatnonzero(quotes.usable & np.isfinite(forward))
    extra = {}
    if quotes.sides is not None:
        extra = {"iv_bid": np.full(len(keyed), np.nan), "iv_ask": np.full(len(keyed), np.nan)}
    sensitivities = {"delta": np.full(len(keyed), np.nan), "vega": np.full(len(keyed), np.nan)}
    if len(rows):
        prices = [quotes.mid, *(quotes.sides or ())]
        targets = [(iv, sensitivities["delta"], sensitivities["vega"]),
                   *((extra[name],) for name in extra)]
        codes = _implied_vols(quotes, prices, rows, forward, discount, threads, method,
                              progress, targets, model)
        status[rows] = of_iv_status(codes)
        rejected = np.zeros(len(keyed), dtype=bool)
        rejected[rows[codes == IVStatus.INVALID_INPUT]] = True
        quotes.problems.note(rejected, lambda row: "the model rejects its values")
    extra.update(sensitivities)
    for row in np.flatnonzero(status == INVALID_ROW).tolist():
        detail[row] = quotes.problems.detail(row)
    otm = pd.array(np.where(quotes.is_call, quotes.strike >= forward, quotes.strike <= forward),
                   dtype="boolean")
    otm[~np.isfinite(forward) | ~np.isfinite(quotes.strike)
        | ~(quotes.is_call | quotes.is_put)] = pd.NA
    return Solution(discount, forward, iv, otm, status, detail, extra)


def surface(chain: Chain | pd.DataFrame, rates: RateCurve | float | str, *,
            mapping: Mapping[str, str] | None = None, expiry_time: str | dt.time | None = None,
            timezone: str | None = None, calendar: str | None = CALENDAR, workers: int = 1,
            progress: bool = False, method: Method = "exact", sides: bool = False,
            style: str | None = None, model: Model = "baw") -> Surface:
    """Forwards and implied volatilities of a whole chain.

    Parameters
    ----------
    chain : Chain or pandas.DataFrame
        From :func:`vornet.chain.read_chain`, or a DataFrame of quotes in any
        layout the command reads (a bad row's ``detail`` then names its
        position, ``row 1`` for the first).
    rates : RateCurve, float or "implied"
        Continuously compounded rates: ``discount = exp(-r(T) T)``; a number
        is a flat rate; ``"implied"`` takes each chain's discount factor
        from its quotes (European chains only: minus the slope of call minus
        put against strike).
    mapping : dict, optional
        Field name -> column, for columns named otherwise (see ``FIELDS``).
    expiry_time : str, optional
        The time of day every option expires at; by default the close of
        the exchange's last session on or before the expiry's date.
    timezone : str, optional
        The zone of the close and of quote times given without one; by
        default the calendar's.
    calendar : str, optional
        The exchange's calendar (``"XNYS"`` by default, any name of the
        ``exchange_calendars`` package); ``"none"`` closes every day at
        16:00.
    workers : int, optional
        Native threads for the forward searches and the implied
        volatilities: 1 (default), -1 every core.
    progress : bool, optional
        Progress bars over the expiries and the quotes on the standard error.
    method : {'exact', 'fast'}, optional
        The implied-volatility solver (see :func:`vornet.implied_vol`); the
        forwards are found by the exact one either way.
    style : {'american', 'european'}, optional
        The options' exercise for every row; by default the style column's
        (American where the file has none).
    sides : bool, optional
        Also the volatilities of the bid and the ask (``iv_bid``, ``iv_ask``:
        NaN where a side does not solve; the row's status is the mid's):
        three inversions a quote instead of one.
    model : {'baw', 'integral'}, optional
        The American model (see :func:`vornet.price`): the approximation
        (default) or the exercise boundary solved, for the forward searches
        and the implied volatilities alike; European rows are Black-76's
        either way.
    """
    if isinstance(chain, pd.DataFrame):
        chain = Chain(chain.reset_index(drop=True), np.arange(1, len(chain) + 1), "row",
                      source="frame")
    if isinstance(rates, str):
        if rates != IMPLIED:
            raise ChainError(f"rates must be a RateCurve, a number or {IMPLIED!r}, got {rates!r}")
    elif not isinstance(rates, RateCurve):
        rates = RateCurve.flat(float(rates))
    if style not in (None, "american", "european"):
        raise ChainError(f"style must be 'american' or 'european', got {style!r}")
    clock = make_clock(expiry_time, timezone, calendar)
    try:
        threads = resolve_workers(workers)
        check_method(method)
        check_model(model)
    except (TypeError, ValueError) as error:
        raise ChainError(str(error)) from None
    columns = resolve_columns(chain.frame.columns, mapping, chain.frame)
    quotes = parse_quotes(chain, columns, clock, keep_sides=sides, style=style)
    groups = group_rows(quotes)
    check_one_underlying(quotes, groups, clock)
    discount = _discounts(quotes, groups, rates, clock)
    forwards = find_forwards(quotes, groups, discount, threads, progress, model)
    solution = _solve(quotes, groups, forwards, discount, threads, method, progress, model)
    table, renamed = add_results(chain.frame, solution.columns(quotes))
    summary = summarise(quotes, groups, forwards, discount, solution.iv, solution.status,
                        solution.otm, clock)
    return Surface(table, summary, renamed, groups.group, quotes.strike, quotes.is_call,
                   groups.hashes, Typing.of(columns, renamed, clock))
