"""A large generated option chain for the end-to-end benchmark of
`vornet surface`: seeded, so the same file every time.

The chain is that of one underlying quoted at `quote_times` moments of one
day (a quarter of an hour apart, the spot moving a little between them),
over `expiries` Friday expiries from a week to two years, each with
`strikes` strikes on a grid of 0.25 around the spot and a call and a put
each. Prices are the package's own American prices at the true forward,
with bid/ask spreads rounded to the cent; about 0.1 % of the rows carry a
defect: a one-sided or crossed quote, a strike that is not a number, or a
row with a field too many or too few.
"""

from __future__ import annotations

import datetime as dt
import math
from pathlib import Path

import numpy as np
import pandas as pd

import vornet

RATE = 0.045
DIVIDEND_YIELD = 0.012
SPOT = 150.0
STEP = 0.25


def expiry_dates(count: int, first: dt.date) -> list[dt.date]:
    """Weekly Fridays for the first ten, then the third Friday of each
    month."""
    fridays = [first + dt.timedelta(days=(4 - first.weekday()) % 7 + 7 * (i + 1))
               for i in range(10)]
    dates = list(fridays)
    month = dt.date(first.year, first.month, 1)
    while len(dates) < count:
        month = (month + dt.timedelta(days=32)).replace(day=1)
        third = month + dt.timedelta(days=(4 - month.weekday()) % 7 + 14)
        if third > dates[-1]:
            dates.append(third)
    return dates[:count]


def smile(log_moneyness: np.ndarray, T: float) -> np.ndarray:
    atm = 0.2 + 0.08 * math.exp(-T / 0.3)
    root = math.sqrt(T)
    vol = atm - 0.1 * log_moneyness / root + 0.4 * log_moneyness ** 2 / root
    return np.clip(vol, 0.5 * atm, 1.0)


def make_frame(seed: int = 2024, quote_times: int = 20, expiries: int = 25,
               strikes: int = 1000) -> tuple[pd.DataFrame, dict[str, np.ndarray]]:
    """The chain as text columns, and per row the inputs of the same
    inversion (mid, spot, strike, T, r, q, kind) for rows that are whole."""
    rng = np.random.default_rng(seed)
    day = dt.date(2024, 3, 15)
    dates = expiry_dates(expiries, day)
    frames, truth = [], []
    spot = SPOT
    for t in range(quote_times):
        when = dt.datetime.combine(day, dt.time(9, 45)) + dt.timedelta(minutes=15 * t)
        spot = round(spot * math.exp(0.001 * rng.standard_normal()), 2)
        centre = round(spot / STEP) * STEP
        grid = centre + STEP * (np.arange(strikes) - strikes // 2)
        grid = grid[grid > 0]
        for expiry in dates:
            close = dt.datetime.combine(expiry, dt.time(16, 0))
            T = (close - when).total_seconds() / (365.0 * 86400.0)
            forward = spot * math.exp((RATE - DIVIDEND_YIELD) * T)
            K = np.repeat(grid, 2)
            kind = np.tile(np.array(["C", "P"]), len(grid))
            vol = smile(np.log(K / forward), T)
            price = vornet.price(spot, K, T, RATE, DIVIDEND_YIELD, vol, kind)
            half = 0.01 + 0.004 * price
            centre_price = price + 0.3 * half * rng.uniform(-1.0, 1.0, len(price))
            bid = np.maximum(np.floor((centre_price - half) * 100.0) / 100.0, 0.0)
            ask = np.ceil((centre_price + half) * 100.0) / 100.0
            frames.append(pd.DataFrame({
                "underlying_symbol": "XYZ",
                "quote_datetime": when.isoformat(sep=" "),
                "root": "XYZ",
                "expiration": expiry.isoformat(),
                "strike": K,
                "option_type": kind,
                "bid": np.round(bid, 2),
                "ask": np.round(ask, 2),
                "underlying_bid": round(spot - 0.01, 2),
                "underlying_ask": round(spot + 0.01, 2),
                "open_interest": rng.integers(0, 5000, len(K)),
            }))
            truth.append((np.full(len(K), T), kind))
    table = pd.concat(frames, ignore_index=True)
    text = table.astype(str)
    n = len(text)
    # Defects, about 0.1 % of the rows: one-sided, crossed, malformed.
    picked = rng.choice(n, size=n // 1000, replace=False)
    one_sided, crossed, malformed = np.array_split(picked, 3)
    text.loc[one_sided, "ask"] = ""
    text.loc[crossed, "bid"] = (table.loc[crossed, "ask"] + 0.05).round(2).astype(str)
    text.loc[malformed, "strike"] = text.loc[malformed, "strike"].str.replace("0", "O", n=1) + "x"
    mid = 0.5 * (pd.to_numeric(text["bid"], errors="coerce")
                 + pd.to_numeric(text["ask"], errors="coerce"))
    spot_mid = 0.5 * (table["underlying_bid"] + table["underlying_ask"])
    inputs = {
        "price": mid.to_numpy(),
        "S": spot_mid.to_numpy(),
        "K": table["strike"].to_numpy(dtype=np.float64),
        "T": np.concatenate([T for T, _ in truth]),
        "kind": np.concatenate([k for _, k in truth]),
    }
    return text, inputs


def write_chain(path: str | Path, seed: int = 2024, **sizes: int) -> dict[str, np.ndarray]:
    """Writes the chain as CSV (a few rows ragged: a field too many or too
    few) and returns the inversion's inputs (see make_frame)."""
    text, inputs = make_frame(seed, **sizes)
    lines = text.to_csv(index=False, lineterminator="\n").splitlines(keepends=True)
    rng = np.random.default_rng(seed + 1)
    ragged = rng.choice(np.arange(1, len(lines)), size=max(2, len(text) // 20000), replace=False)
    for k, i in enumerate(ragged):
        body = lines[i].rstrip("\n")
        lines[i] = (body + ",extra\n") if k % 2 else (body.rsplit(",", 1)[0] + "\n")
    Path(path).write_text("".join(lines))
    return inputs
