"""Forwards: for each chain, the forward at which the American implied
volatilities of its calls and puts agree best over the strikes quoted on
both sides near the money, searched by the engine on native threads; for a
chain of European options, the put-call-parity forward over the same
strikes (exact for them), and on request the discount factor their quotes
imply.

The search works on the strikes within 1 % of the spot, widening the band
through 2, 5, 10, 20, 50 and 100 % until it holds one; a forward is kept
only when a strike in that band has a call and a put that both solve at it.
"""

from __future__ import annotations

import dataclasses
from typing import Any

import numpy as np
import pandas as pd

from vornet import _engine
from vornet.chain.keys import Groups
from vornet.chain.statuses import EXPIRED
from vornet.chain.values import Quotes

__all__ = ["Forwards", "NO_PAIRS", "NO_SEARCH_RESULT", "NO_SOLVING_STRIKE", "find_forwards",
           "european_chains", "implied_discounts"]

#: Why a chain has no forward, by the engine's code.
NO_PAIRS = "no strike has both a call and a put quoted on both sides"
NO_SEARCH_RESULT = "the forward search found no forward"
NO_SOLVING_STRIKE = "no strike near the money has a call and a put that both solve"
_REASONS = np.array(["", NO_PAIRS, NO_SEARCH_RESULT, NO_SOLVING_STRIKE], dtype=object)

# Chains searched per engine call when a progress bar shows: enough to
# keep every thread busy, few enough for the bar to move.
_BATCH = 16


@dataclasses.dataclass(frozen=True)
class Forwards:
    """Per chain: its forward (NaN where it has none), the put-call-parity
    forward over the same strikes, and why there is no forward ("" where
    there is one, or where the chain has expired)."""

    forward: np.ndarray
    parity: np.ndarray
    reason: np.ndarray


@dataclasses.dataclass(frozen=True)
class _Pairs:
    """The quotes the searches work on: per chain (in chain order) the
    strikes whose call and put are both quoted on both sides, duplicates
    averaged, strikes ascending; with each chain's spot and discount."""

    calls: np.ndarray
    puts: np.ndarray
    strikes: np.ndarray
    bounds: np.ndarray
    spots: np.ndarray
    discounts: np.ndarray
    #: Per chain, whether it is European: its forward is then the parity
    #: forward over the band, without a search.
    european: np.ndarray
    #: Per chain, its time to expiry in years (the integral model needs it).
    times: np.ndarray


def _in_order(group: np.ndarray, strike: np.ndarray, is_call: np.ndarray) -> bool:
    """Whether the quotes are sorted by chain, strike and side (calls
    first), as np.lexsort would sort them."""
    if len(group) < 2:
        return True
    g0, g1 = group[:-1], group[1:]
    same_group = g0 == g1
    k0, k1 = strike[:-1], strike[1:]
    same_strike = same_group & (k0 == k1)
    return bool(np.all((g0 < g1) | same_group & ((k0 < k1) | same_strike
                                                 & (is_call[:-1] >= is_call[1:]))))


def _mean_mids(group: np.ndarray, strike: np.ndarray, is_call: np.ndarray, mid: np.ndarray
               ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The quotes sorted by chain, strike and side (calls first), with the
    mids of repeated quotes averaged: (chain, strike, is_call, mid) per
    distinct quote. pandas averages the repeats, as it always has; a quote
    given once is its own mean."""
    if not _in_order(group, strike, is_call):  # files usually list them so already
        order = np.lexsort((~is_call, strike, group))
        group, strike, is_call, mid = group[order], strike[order], is_call[order], mid[order]
    new = np.ones(len(group), dtype=bool)
    new[1:] = (group[1:] != group[:-1]) | (strike[1:] != strike[:-1]) | (is_call[1:] != is_call[:-1])
    starts = np.flatnonzero(new)
    means = mid[starts]
    counts = np.diff(np.append(starts, len(group)))
    repeated = np.flatnonzero(counts > 1)
    if len(repeated):
        run = np.repeat(np.arange(len(starts)), counts)
        rows = np.flatnonzero(np.isin(run, repeated))
        means[repeated] = pd.Series(mid[rows]).groupby(run[rows], sort=True).mean().to_numpy()
    return group[starts], strike[starts], is_call[starts], means


def _paired(quotes: Quotes, groups: Groups
            ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Per strike quoted with a call and a put both on both sides: its
    chain, strike, and the call's and the put's mids (repeats averaged),
    by chain and strike."""
    quoted = np.flatnonzero(quotes.usable & (quotes.mid > 0.0))
    group, strike, is_call, mid = _mean_mids(groups.group[quoted], quotes.strike[quoted],
                                             quotes.is_call[quoted], quotes.mid[quoted])
    # A call followed by the put of the same chain and strike is a pair.
    pair = is_call[:-1] & ~is_call[1:] & (group[:-1] == group[1:]) & (strike[:-1] == strike[1:])
    calls = np.flatnonzero(pair)
    return group[calls], strike[calls], mid[calls], mid[calls + 1]


def european_chains(quotes: Quotes, groups: Groups) -> np.ndarray:
    """Per chain, whether all its options are European."""
    keyed = groups.group >= 0
    american = np.bincount(groups.group[keyed & ~quotes.european], minlength=groups.count)
    return american == 0


def implied_discounts(quotes: Quotes, groups: Groups) -> np.ndarray:
    """Per chain, the discount factor its quotes imply: minus the slope of
    call minus put against strike (European parity, C - P = D (F - K)) by
    least squares over its strikes quoted on both sides; NaN with fewer
    than two strikes or a slope that is not negative."""
    group, strike, calls, puts = _paired(quotes, groups)
    count = groups.count

    def total(values: np.ndarray) -> np.ndarray:
        return np.bincount(group, weights=values, minlength=count)

    n = np.bincount(group, minlength=count).astype(np.float64)
    gap = calls - puts
    sum_k, sum_y = total(strike), total(gap)
    with np.errstate(divide="ignore", invalid="ignore"):
        slope = (n * total(strike * gap) - sum_k * sum_y) / (n * total(strike * strike)
                                                             - sum_k * sum_k)
    discount = -slope
    discount[(n < 2) | ~(discount > 0.0)] = np.nan
    return discount


def _pairs(quotes: Quotes, groups: Groups, discount: np.ndarray, chosen: np.ndarray) -> _Pairs:
    quoted = np.flatnonzero(quotes.usable & (quotes.mid > 0.0))
    pair_group, strike, calls, puts = _paired(quotes, groups)
    keep = np.isin(pair_group, chosen)
    spots = pd.Series(quotes.spot[quoted]).groupby(groups.group[quoted]).median()
    bounds = np.searchsorted(pair_group[keep], np.append(chosen, chosen[-1] + 1))
    return _Pairs(calls[keep], puts[keep], strike[keep], bounds,
                  spots.reindex(chosen).to_numpy(dtype=np.float64),
                  discount[groups.first[chosen]], european_chains(quotes, groups)[chosen],
                  quotes.T[groups.first[chosen]].astype(np.float64))


def _progress(total: int, enabled: bool) -> Any:
    if not enabled:
        return None
    from tqdm import tqdm

    return tqdm(total=total, desc="expiries", unit="expiry", leave=False, dynamic_ncols=True)


def _search(pairs: _Pairs, threads: int, progress: bool, model: str = "baw"
            ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The engine's search over every chain: all at once, or in batches
    that move a progress bar; with the integral model's implied
    volatilities for model="integral"."""
    count = len(pairs.spots)
    step = max(_BATCH, 4 * threads) if progress else max(count, 1)
    answers = []
    bar = _progress(count, progress)
    try:
        for start in range(0, count, step):
            stop = min(start + step, count)
            lo, hi = pairs.bounds[start], pairs.bounds[stop]
            options: dict[str, Any] = {}
            if model != "baw":
                options = {"model": model, "times": pairs.times[start:stop]}
            answers.append(_engine.find_forwards(
                pairs.calls[lo:hi], pairs.puts[lo:hi], pairs.strikes[lo:hi],
                pairs.bounds[start:stop + 1] - lo, pairs.spots[start:stop],
                pairs.discounts[start:stop], threads, search=~pairs.european[start:stop],
                **options))
            if bar is not None:
                bar.update(stop - start)
    finally:
        if bar is not None:
            bar.close()
    if not answers:
        return np.empty(0), np.empty(0), np.empty(0, dtype=np.int8)
    forward, parity, code = (np.concatenate(parts) for parts in zip(*answers))
    return forward, parity, code


def find_forwards(quotes: Quotes, groups: Groups, discount: np.ndarray, threads: int,
                  progress: bool = False, model: str = "baw") -> Forwards:
    """The forward of every chain that has not expired, on `threads`
    threads (a progress bar over the chains on the standard error when
    `progress`), searched with the implied volatilities of `model`."""
    live = np.flatnonzero(quotes.status[groups.first] != EXPIRED) if groups.count else (
        np.empty(0, dtype=np.int64))
    forward = np.full(groups.count, np.nan)
    parity = np.full(groups.count, np.nan)
    reason = np.full(groups.count, "", dtype=object)
    if len(live):
        found, found_parity, code = _search(_pairs(quotes, groups, discount, live), threads,
                                            progress, model)
        forward[live] = np.where(code == 0, found, np.nan)
        parity[live] = np.where(code == 1, np.nan, found_parity)
        reason[live] = _REASONS[code]
    return Forwards(forward, parity, reason)
