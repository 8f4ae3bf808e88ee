"""A generated option chain, and ``vornet demo``: surface on it, with the
true forwards beside the recovered ones, and its smiles.

The chain is that of a stock that pays a discrete dividend between its
expiries, quoted on one morning: expiries from a week to two years, a smile
skewed to the puts, bid/ask spreads that widen away from the money, some
one-sided and crossed quotes and one malformed row. Prices are the package's
own American prices at the true forward (:func:`vornet.price_at_forward`),
so that with ``exact=True`` (bid = ask = that price, no defects) the
forwards and volatilities ``surface`` recovers can be checked against the
truth. A seeded generator makes the same chain every time.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import math
import sys
import tempfile
from pathlib import Path
from typing import TextIO

import numpy as np
import pandas as pd

import vornet
from vornet import chain as chains

__all__ = ["Market", "Generated", "make_chain", "make_dataset", "run", "DEMO_EXPIRIES"]

#: The demo's expiries: Fridays from a week to two years after the quote date.
DEMO_EXPIRIES = ("2024-03-22", "2024-04-05", "2024-04-19", "2024-05-17", "2024-06-21",
                 "2024-09-20", "2024-12-20", "2025-06-20", "2026-03-20")


@dataclasses.dataclass(frozen=True)
class Market:
    """The market the chain is generated in."""

    symbol: str = "XYZ"
    quote_time: str = "2024-03-15 10:30:00"
    spot: float = 150.0
    #: The underlying's half spread.
    spot_half_spread: float = 0.02
    dividend: float = 1.85
    ex_date: str = "2024-08-09"
    #: Continuously compounded zero rates: (years, rate).
    rates: tuple[tuple[float, float], ...] = ((0.0, 0.0535), (0.25, 0.0528), (0.5, 0.0515),
                                              (1.0, 0.0488), (2.0, 0.0452), (3.0, 0.0433))
    expiries: tuple[str, ...] = DEMO_EXPIRIES

    def curve(self) -> chains.RateCurve:
        return chains.RateCurve.from_points(self.rates)

    def atm_vol(self, T: np.ndarray) -> np.ndarray:
        """At-the-money volatility: higher at the short end."""
        return 0.205 + 0.085 * np.exp(-T / 0.3)

    def vol(self, log_moneyness: np.ndarray, T: np.ndarray) -> np.ndarray:
        """The smile: skewed to the puts, curving up in both wings, steeper
        at the short end."""
        root = np.sqrt(T)
        atm = self.atm_vol(T)
        smile = atm - 0.11 * log_moneyness / root + 0.5 * log_moneyness ** 2 / root
        return np.maximum(smile, 0.55 * atm)


@dataclasses.dataclass
class Generated:
    """A generated chain and the truth it was made from."""

    #: The chain in the exchange export layout, one row per option.
    chain: pd.DataFrame
    #: Per row, the volatility the price was made with.
    vol: np.ndarray
    #: Per quote time and expiry: quote_datetime, expiration, T, forward,
    #: discount.
    expiries: pd.DataFrame
    market: Market


def _strike_step(T: float) -> float:
    return 1.0 if T < 0.05 else 2.5 if T < 0.3 else 5.0 if T < 1.2 else 10.0


def make_chain(seed: int = 2024, *, exact: bool = False, market: Market | None = None,
               snapshots: int = 1, strike_count: int | None = None,
               expiries: tuple[str, ...] | None = None) -> Generated:
    """Generates a chain.

    Parameters
    ----------
    seed : int
        Seed of the random generator: the same seed, the same chain.
    exact : bool
        bid = ask = the model price, with no one-sided, crossed or malformed
        quotes; otherwise spreads that widen away from the money, prices
        rounded to the cent, and a few defects.
    snapshots : int
        Quote times, half an hour apart, the spot moving a little between.
    strike_count : int, optional
        Strikes per expiry, evenly spaced over the same range (default: the
        listed strike steps, 1 to 10 by expiry).
    expiries : tuple of str, optional
        Expiry dates (default: the market's).
    """
    market = market or Market()
    expiries = expiries or market.expiries
    rng = np.random.default_rng(seed)
    clock = chains.make_clock()
    curve = market.curve()
    start = dt.datetime.fromisoformat(market.quote_time)
    spot = market.spot
    frames, vols, truths = [], [], []
    for snapshot in range(snapshots):
        when = (start + dt.timedelta(minutes=30 * snapshot)).isoformat(sep=" ")
        if snapshot:
            spot = round(spot * math.exp(0.002 * rng.standard_normal()), 2)
        t_div = chains.year_fraction(when, market.ex_date, clock)
        for expiration in expiries:
            T = chains.year_fraction(when, expiration, clock)
            discount = float(curve.discount(T))
            carried = spot
            if 0.0 < t_div < T:
                carried -= market.dividend * float(curve.discount(t_div))
            forward = carried / discount
            atm = float(market.atm_vol(np.array(T)))
            width = 3.0 * atm * math.sqrt(T) + 0.04
            lo, hi = forward * math.exp(-width), forward * math.exp(width)
            if strike_count is None:
                step = _strike_step(T)
                strikes = np.arange(math.ceil(lo / step), math.floor(hi / step) + 1) * step
            else:
                strikes = np.round(np.linspace(lo, hi, strike_count), 2)
            K = np.repeat(strikes, 2)
            kind = np.tile(np.array(["C", "P"]), len(strikes))
            vol = market.vol(np.log(K / forward), np.full(len(K), T))
            price = vornet.price_at_forward(spot, K, T, discount, forward, vol, kind)
            bid, ask = (price, price) if exact else _spread(rng, price, K, forward, T, discount,
                                                            vol)
            frames.append(pd.DataFrame({
                "underlying_symbol": market.symbol,
                "quote_datetime": when,
                "root": market.symbol,
                "expiration": expiration,
                "strike": K,
                "option_type": kind,
                "bid_size": rng.integers(1, 200, len(K)),
                "bid": bid,
                "ask_size": rng.integers(1, 200, len(K)),
                "ask": ask,
                "underlying_bid": round(spot - market.spot_half_spread, 2),
                "underlying_ask": round(spot + market.spot_half_spread, 2),
                "open_interest": rng.integers(0, 5000, len(K)),
            }))
            vols.append(vol)
            truths.append({"quote_datetime": when, "expiration": expiration, "T": T,
                           "forward": forward, "discount": discount})
    table = pd.concat(frames, ignore_index=True)
    if not exact:
        table = _defects(rng, table)
    return Generated(table, np.concatenate(vols), pd.DataFrame(truths), market)


def _spread(rng: np.random.Generator, price: np.ndarray, K: np.ndarray, forward: float,
            T: float, discount: float, vol: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Bid and ask around the model price, in cents: the half spread is
    some volatility points of vega, more away from the money, with a little
    noise in where the quote is centred."""
    total = vol * math.sqrt(T)
    d1 = np.log(forward / K) / total + 0.5 * total
    vega = discount * forward * np.exp(-0.5 * d1 * d1) / math.sqrt(2.0 * math.pi) * math.sqrt(T)
    standard = np.abs(np.log(K / forward)) / total
    half = 0.01 + 0.003 * price + vega * 0.004 * (1.0 + 0.8 * standard)
    centre = price + 0.3 * half * rng.uniform(-1.0, 1.0, len(price))
    bid = np.maximum(np.floor((centre - half) * 100.0) / 100.0, 0.0)
    ask = np.ceil((centre + half) * 100.0) / 100.0
    return np.round(bid, 2), np.round(ask, 2)


def _defects(rng: np.random.Generator, table: pd.DataFrame) -> pd.DataFrame:
    """A few quotes crossed or one-sided, and one row whose strike is a typo."""
    table = table.astype({"strike": object, "ask": object})
    two_sided = np.flatnonzero((table["bid"] > 0.0).to_numpy())
    picked = rng.choice(two_sided, size=6, replace=False)
    for row in picked[:3]:  # crossed: the bid a few cents above the ask
        table.loc[row, "bid"] = float(table.loc[row, "ask"]) + 0.05
    for row in picked[3:5]:  # one-sided: no ask
        table.loc[row, "ask"] = ""
    row = int(picked[5])
    strike = float(table.loc[row, "strike"])
    table.loc[row, "strike"] = f"{strike:g}".replace("0", "O", 1) if "0" in f"{strike:g}" \
        else f"{strike:g}x"
    return table


def make_dataset(folder: str | Path, *, days: int = 5, symbols: int = 4, snapshots: int = 1,
                 strike_count: int | None = None, seed: int = 2024, suffix: str = ".parquet",
                 exact: bool = False) -> list[Path]:
    """Writes a store of chains, one file per trading day and underlying
    (``2024-03-11_XYZ1.parquet``, ...), as desks keep their chains:
    `days` weekdays up to 2024-03-15, `symbols` underlyings with spots from
    40 to 400, each file made by :func:`make_chain` (with its defects unless
    `exact`), its `snapshots` quote times half an hour apart up to 15:30.
    Parquet files keep the columns' text where defects made them text.
    Returns the files written, sorted."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    last = dt.date(2024, 3, 15)
    dates: list[dt.date] = []
    day = last
    while len(dates) < days:
        if day.weekday() < 5:
            dates.append(day)
        day -= dt.timedelta(days=1)
    spots = np.geomspace(40.0, 400.0, symbols) if symbols > 1 else np.array([150.0])
    paths = []
    for d, date in enumerate(sorted(dates)):
        for u, spot in enumerate(spots):
            first = (dt.datetime.combine(date, dt.time(15, 30))
                     - dt.timedelta(minutes=30 * (snapshots - 1)))
            market = Market(symbol=f"XYZ{u + 1}", quote_time=first.isoformat(sep=" "),
                            spot=round(float(spot), 2), dividend=round(0.012 * float(spot), 2))
            generated = make_chain(seed + 1000 * d + u, exact=exact, market=market,
                                   snapshots=snapshots, strike_count=strike_count)
            table = generated.chain
            path = folder / f"{date.isoformat()}_{market.symbol}{suffix}"
            if chains.is_parquet(path):
                text = [c for c in table.columns if table[c].dtype == object]
                table.astype({c: str for c in text}).to_parquet(path, index=False)
            else:
                table.to_csv(path, index=False)
            paths.append(path)
    return sorted(paths)


def run(out_dir: str | Path | None = None, *, seed: int = 2024, workers: int = 1,
        out: TextIO = sys.stdout) -> Path:
    """Generates the chain into `out_dir` (default: a new temporary folder),
    runs surface on it, prints what it found beside the truth and draws the
    smiles. Returns the folder."""
    from vornet.chain.report import count_statuses, print_report
    from vornet.chain.statuses import INVALID_ROW, SOLVED

    folder = Path(out_dir) if out_dir is not None else Path(
        tempfile.mkdtemp(prefix="vornet-demo-"))
    folder.mkdir(parents=True, exist_ok=True)
    generated = make_chain(seed)
    market = generated.market
    chain_path, rates_path = folder / "chain.csv", folder / "rates.csv"
    output_path, picture_path = folder / "surface.csv", folder / "smiles.png"
    report_path = folder / "smiles.html"
    generated.chain.to_csv(chain_path, index=False)
    rates_path.write_text("years,rate\n" + "".join(f"{t:g},{r:g}\n" for t, r in market.rates))

    print(f"vornet demo: {market.symbol} at {market.spot:g}, quoted {market.quote_time} "
          f"(US/Eastern); a dividend of {market.dividend:g} goes ex on {market.ex_date}; "
          f"rates {market.rates[0][1]:.2%} to {market.rates[-1][1]:.2%}", file=out)
    print(f"chain: {len(generated.chain)} quotes over {len(market.expiries)} expiries, "
          f"written to {chain_path} (rate curve {rates_path})", file=out)
    print(f"running: vornet surface {chain_path} --rate-curve {rates_path} -o {output_path} "
          f"--sides --plot {picture_path} --report {report_path}\n", file=out)

    quotes = chains.read_chain(chain_path)
    result = chains.surface(quotes, chains.RateCurve.read(rates_path), workers=workers,
                            sides=True)
    chains.write_table(result.table, output_path)

    truth = generated.expiries.set_index("expiration")["forward"]
    true_forward = [float(truth[e]) for e in result.summary["expiration"]]
    error_bp = [1e4 * (f / t - 1.0) if math.isfinite(f) else math.nan
                for f, t in zip(result.summary["forward"], true_forward)]
    print_report(result.summary, count_statuses(result.table["status"]), len(result.table),
                 chain_path.name, out,
                 {"true fwd": true_forward,
                  "error bp": [f"{e:+.2f}" if math.isfinite(e) else "-" for e in error_bp]})

    solved = (result.table["status"] == SOLVED).to_numpy(dtype=bool)
    otm = result.table["otm"].fillna(False).to_numpy(dtype=bool)
    chosen = solved & otm
    gap = result.table["iv"].to_numpy(dtype=np.float64)[chosen] - generated.vol[chosen]
    print(f"\nout-of-the-money quotes solved: {chosen.sum()}; their volatility from the mid "
          f"of the spread is within {100 * np.max(np.abs(gap)):.2f} points of the true one "
          f"(root mean square {100 * np.sqrt(np.mean(gap ** 2)):.2f})", file=out)
    invalid = result.table[result.table["status"] == INVALID_ROW]
    for detail in invalid["detail"]:
        print(f"invalid row: {detail}", file=out)

    print(f"\nwrote {output_path} ({len(result.table)} rows)", file=out)
    _draw(result, picture_path, report_path, out)
    return folder


def _draw(result: chains.Surface, picture_path: Path, report_path: Path, out: TextIO) -> None:
    """The picture and, where plotly is installed, the report, of the same
    figures."""
    from vornet import plot
    from vornet.panels import smile_figures

    figures = smile_figures(result)
    plot.write_figures(figures, picture_path)
    drawn = sum(len(f.panels) for f in figures)
    print(f"wrote the picture of {drawn} smiles: {picture_path}", file=out)
    try:
        from vornet import report_html

        report_html.write_report_figures(figures, report_path)
    except chains.ChainError as error:  # plotly missing: the install line
        print(f"no report: {error}", file=out)
    else:
        print(f"wrote the interactive report: {report_path}", file=out)
