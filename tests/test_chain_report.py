"""The surface's steps seen through their results: forwards as the core
finds them, the summary, its text, and the report the command and the
demonstration print."""

import io
import os
import re
import time
from collections import Counter
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import vornet
from vornet import chain, demo
from vornet.chain import report
from vornet.chain.files import Chain
from vornet.chain.statuses import STATUSES

README = Path(__file__).resolve().parent.parent / "README.md"


@pytest.fixture(scope="module")
def generated():
    return demo.make_chain(3, snapshots=2)


def solved(frame, **options):
    text = frame.astype(str)
    return chain.surface(Chain(text, np.arange(2, len(text) + 2)),
                         chain.RateCurve.from_points(demo.Market().rates), **options)


def test_each_forward_is_the_cores(generated):
    """The forward of every chain is find_forward_baw's over its strikes
    quoted on both sides (duplicates averaged), and the parity forward its
    first guess."""
    frame = pd.concat([generated.chain, generated.chain.iloc[[10, 11]]], ignore_index=True)
    frame.loc[len(frame) - 2, "bid"] = float(frame.loc[len(frame) - 2, "bid"]) + 0.02
    result = solved(frame)
    table, summary = result.table, result.summary
    two_sided = table["status"].isin(["solved", "no time value", "above maximum"])
    for position in range(len(summary)):
        rows = result.rows_of(position)
        rows = rows[two_sided.to_numpy()[rows]]
        quotes = pd.DataFrame({"K": result.strike[rows], "call": result.is_call[rows],
                               "mid": table["mid"].to_numpy()[rows]})
        means = quotes.groupby(["K", "call"])["mid"].mean().unstack().dropna()
        spot = float(np.median(pd.to_numeric(table["underlying_bid"].iloc[rows]) / 2
                               + pd.to_numeric(table["underlying_ask"].iloc[rows]) / 2))
        discount = table["discount"].iloc[rows[0]]
        want = vornet.find_forward_baw(means[True].to_numpy(), means[False].to_numpy(),
                                       means.index.to_numpy(), spot, discount)
        assert summary["forward"].iat[position] == want
        assert (table["forward"].to_numpy()[result.rows_of(position)] == want).all()


def test_the_summary_of_two_snapshots(generated):
    result = solved(generated.chain)
    summary = result.summary
    assert list(summary.columns) == ["quote_time", "expiration", "underlying_symbol", "root",
                                     "T", "spot", "forward", "parity_forward", "rate",
                                     "carry", "atm_vol", "solved", "usable", "rows"]
    # The carry the forward implies, from the rate its discount factor gives.
    table = result.table.iloc[[result.rows_of(p)[0] for p in range(len(summary))]]
    r = -np.log(table["discount"].to_numpy()) / summary["T"]
    np.testing.assert_allclose(summary["rate"], r, rtol=1e-14)
    np.testing.assert_allclose(summary["forward"],
                               summary["spot"] * np.exp((r - summary["carry"]) * summary["T"]),
                               rtol=1e-12)
    bids = generated.chain.groupby("quote_datetime")["underlying_bid"].first()
    np.testing.assert_allclose(summary["spot"], bids.loc[summary["quote_time"]] + 0.02,
                               rtol=1e-12)
    assert summary["quote_time"].tolist() == sorted(summary["quote_time"])
    assert summary["rows"].sum() == (result.group >= 0).sum()
    counts = Counter(result.group[result.group >= 0])
    assert [counts[p] for p in range(len(summary))] == summary["rows"].tolist()
    assert (summary["solved"] <= summary["usable"]).all()
    assert set(summary["expiration"]) == set(generated.expiries["expiration"])
    truth = generated.expiries.set_index(["quote_datetime", "expiration"])["forward"]
    for row in summary.itertuples():
        assert abs(row.forward / truth[(row.quote_time, row.expiration)] - 1) < 2e-3


@pytest.fixture
def host_zone(monkeypatch):
    """The host's clock in a zone that is not the exchange's."""
    monkeypatch.setenv("TZ", "Pacific/Auckland")
    time.tzset()
    yield
    monkeypatch.delenv("TZ")
    time.tzset()


def test_the_summary_reads_the_exchanges_clock(host_zone):
    rows = [["2024-03-15 10:30:00", "2024-03-22", "100", kind, "2.5", "2.6", "100"]
            for kind in "CP"]
    frame = pd.DataFrame(rows, columns=["quote_datetime", "expiration", "strike",
                                        "option_type", "bid", "ask", "underlying_price"])
    for zone in ("America/Chicago", "Asia/Tokyo"):
        result = solved(frame, timezone=zone)
        assert result.summary["quote_time"].tolist() == ["2024-03-15 10:30:00"]


def summary_of(count):
    days = pd.date_range("2024-01-01", periods=count, freq="D")
    return pd.DataFrame({"quote_time": "2024-01-01 10:00:00",
                         "expiration": days.strftime("%Y-%m-%d"),
                         "T": np.arange(count) / 365.0, "spot": 99.5,
                         "forward": 100.0 + np.arange(count), "parity_forward": 100.0,
                         "rate": 0.04, "carry": 0.01, "atm_vol": 0.2, "solved": 3, "usable": 4,
                         "rows": 5})


@pytest.mark.parametrize("count", [3, report.SUMMARY_ROWS, report.SUMMARY_ROWS + 1, 57])
def test_a_long_summary_shows_its_ends_and_counts_the_rest(count):
    summary = summary_of(count)
    out = io.StringIO()
    report.print_report(summary, {"solved": 1}, 10, "chain.csv", out)
    text = out.getvalue()
    shown = [e for e in summary["expiration"] if e in text]
    if count <= report.SUMMARY_ROWS:
        assert len(shown) == count and "more" not in text
    else:
        half = report.SUMMARY_ROWS // 2
        want = list(summary["expiration"][:half]) + list(summary["expiration"][-half:])
        assert shown == want
        assert f"... {count - report.SUMMARY_ROWS} more (--summary FILE" in text
    assert text.startswith(f"chain.csv: 10 rows, {count} expiries")


def test_extra_columns_follow_the_rows_shown():
    summary = summary_of(50)
    out = io.StringIO()
    extra = {"true fwd": [f"t{i}" for i in range(50)]}
    report.print_report(summary, {}, 0, "x", out, extra)
    lines = [line for line in out.getvalue().splitlines() if line.startswith("2024-01-01")]
    assert len(lines) == report.SUMMARY_ROWS
    expirations = [line.split()[2] for line in lines]
    labels = [re.search(r"\bt(\d+)\b", line).group(1) for line in lines]
    assert [summary["expiration"].tolist().index(e) for e in expirations] == list(map(int,
                                                                                       labels))


def test_the_summary_table_lines_up():
    text = report.format_summary(summary_of(3).assign(root=["A", "B", "B"]))
    lines = text.splitlines()
    assert lines[0].split() == ["quote", "time", "expiry", "root", "T", "spot", "forward",
                                "parity", "fwd", "rate", "r", "carry", "q", "ATM", "vol",
                                "solved/usable"]
    assert set(lines[1]) == {"-", " "}
    assert len({len(line) for line in lines}) == 1
    assert lines[2].split()[4:] == ["0.000000", "99.5000", "100.0000", "100.0000", "4.00", "%",
                                    "1.00", "%", "20.00", "%", "3/4"]


def test_the_status_line_follows_the_documented_order():
    counts = {status: i + 1 for i, status in enumerate(reversed(STATUSES))}
    line = report.status_line(counts)
    assert [part.split(" ", 1)[1] for part in line[len("status: "):].split(", ")] == list(
        STATUSES)
    assert report.status_line({"no forward": 0, "solved": 2}) == "status: 2 solved"
    table = README.read_text().split("| status | meaning |", 1)[1].split("\n\n", 1)[0]
    documented = re.findall(r"^\| `([a-z -]+)` \|", table, re.MULTILINE)
    assert documented == list(STATUSES)


def test_report_counts_the_table(generated):
    result = solved(generated.chain)
    out = io.StringIO()
    counts = report.count_statuses(result.table["status"])
    report.print_report(result.summary, counts, len(result.table), "x.csv", out)
    last = out.getvalue().strip().splitlines()[-1]
    assert sum(int(part.split()[0]) for part in last[len("status: "):].split(", ")) == len(
        result.table)


def test_the_chain_package_reaches_the_core_and_scipy_only_where_asked(tmp_path):
    """A cold run of the command imports neither the core module, SciPy nor
    matplotlib; the picture imports matplotlib."""
    import subprocess
    import sys

    demo.make_chain(5).chain.iloc[:200].to_csv(tmp_path / "chain.csv", index=False)
    script = ("import sys, vornet.cli\n"
              "vornet.cli.main(sys.argv[1:])\n"
              "print(sorted(m for m in ('scipy', 'matplotlib', 'vornet.vornet_core')"
              " if m in sys.modules))\n")
    for extra, want in (([], "[]"), (["--plot", str(tmp_path / "s.png")], "['matplotlib']")):
        done = subprocess.run([sys.executable, "-c", script, "surface", str(tmp_path / "chain.csv"),
                               "--rate", "0.02", "-q", *extra],
                              capture_output=True, text=True, cwd=tmp_path, timeout=300,
                              env={**os.environ, "PYTHONWARNINGS": "ignore"})
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip().splitlines()[-1] == want


def test_the_order_of_the_rows_does_not_change_the_forwards(generated):
    """Quotes listed in any order give each chain the same forward."""
    frame = generated.chain
    shuffled = frame.sample(frac=1.0, random_state=5)
    one, other = solved(frame), solved(shuffled)
    assert one.summary["forward"].tolist() == other.summary["forward"].tolist()
    assert one.summary["parity_forward"].tolist() == other.summary["parity_forward"].tolist()


def two_underlyings(symbol_column):
    """GOOG at 751 and AAPL at 648, quoted at one time on the same expiries,
    their symbols in `symbol_column` (none: no such column)."""
    frames = []
    for symbol, spot in (("GOOG", 751.0), ("AAPL", 648.0)):
        market = demo.Market(symbol=symbol, spot=spot, dividend=0.0,
                             expiries=("2024-03-22", "2024-04-19"))
        frame = demo.make_chain(11, exact=True, market=market).chain
        frames.append(frame.drop(columns=["underlying_symbol", "root"]))
        if symbol_column:
            frames[-1][symbol_column] = symbol
    return pd.concat(frames, ignore_index=True)


@pytest.mark.parametrize("column", ["underlying", "Symbol", " TICKER ", "underlying_symbol"])
def test_two_underlyings_in_one_file_are_kept_apart(column):
    result = solved(two_underlyings(column))
    summary = result.summary
    assert len(summary) == 4
    by_symbol = summary.groupby(column)["forward"].agg(["min", "max"])
    assert 640 < by_symbol.loc["AAPL", "min"] <= by_symbol.loc["AAPL", "max"] < 660
    assert 745 < by_symbol.loc["GOOG", "min"] <= by_symbol.loc["GOOG", "max"] < 765


def test_two_underlyings_without_a_column_stop_the_run():
    with pytest.raises(chain.ChainError, match=r"more than one underlying.*--map "
                                               r"underlying_symbol=COLUMN"):
        solved(two_underlyings(None))


def test_a_contract_symbol_is_not_the_underlying(generated):
    """A column whose value differs on every row names the contract, not
    the underlying: the underlying's own column is used, or none."""
    frame = generated.chain.assign(symbol=[f"XYZ{i:06d}" for i in range(len(generated.chain))])
    result = solved(frame.drop(columns=["underlying_symbol"]))
    assert "symbol" not in result.summary.columns
    both = solved(two_underlyings("underlying").assign(
        symbol=lambda f: [f"C{i}" for i in range(len(f))]))
    assert set(both.summary["underlying"]) == {"AAPL", "GOOG"}


def test_the_chain_and_dask_modules_are_attributes_of_vornet(tmp_path):
    import subprocess
    import sys

    script = ("import sys, vornet\n"
              "print('pandas' in sys.modules)\n"
              "print(vornet.chain.surface.__module__)\n"
              "try:\n"
              "    print(vornet.dask.surface.__module__)\n"
              "except ImportError as error:\n"
              "    print('vornet[dask]' in str(error))\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.split()
    assert lines[:2] == ["False", "vornet.chain.pipeline"]
    assert lines[2] in ("vornet.dask", "True")


def test_the_sides_volatilities_bracket_the_mids(generated):
    plain = solved(generated.chain)
    both = solved(generated.chain, sides=True)
    table = both.table
    columns = list(table.columns)
    assert columns[columns.index("iv"):] == ["iv", "iv_bid", "iv_ask", "delta", "vega", "otm",
                                             "status", "detail"]
    pd.testing.assert_series_equal(table["status"], plain.table["status"])
    pd.testing.assert_series_equal(table["iv"], plain.table["iv"])
    all_three = table[["iv_bid", "iv", "iv_ask"]].notna().all(axis=1)
    assert all_three.sum() > len(table) / 2
    ordered = table[all_three]
    assert (ordered["iv_bid"] < ordered["iv"]).all() and (ordered["iv"] < ordered["iv_ask"]).all()
    # A bid that does not solve leaves the row's status to its mid.
    lost = table["iv_bid"].isna() & (table["status"] == "solved")
    assert lost.any() and table.loc[lost, "iv"].notna().all()
    assert "iv_bid" not in plain.table.columns


# Each expiry's rate and carry.
EUROPEAN_RATES = (("2024-04-19", 0.052, 0.015), ("2024-06-21", 0.050, 0.014))


def european_rates():
    """The rate curve through the European chain's own rates."""
    return chain.RateCurve.from_points(
        [(chain.year_fraction("2024-03-15 10:30:00", expiration), r)
         for expiration, r, _ in EUROPEAN_RATES])


def european_chain(style_column=True):
    """Exact European quotes (bid = ask = the Black-76 price) on two
    expiries, a skewed smile, forwards and discount factors known."""
    rows, truth = [], {}
    S = 4700.0
    for expiration, r, q in EUROPEAN_RATES:
        T = chain.year_fraction("2024-03-15 10:30:00", expiration)
        D, F = np.exp(-r * T), S * np.exp((r - q) * T)
        K = np.arange(4000.0, 5400.0, 25.0)
        vol = 0.16 - 0.3 * np.log(K / F) + 0.8 * np.log(K / F) ** 2
        for kind in "CP":
            price = vornet.price_at_forward(S, K, T, D, F, vol, kind, exercise="european")
            for k, p, v in zip(K, price, vol):
                rows.append({"quote_datetime": "2024-03-15 10:30:00", "expiration": expiration,
                             "strike": k, "option_type": kind, "bid": p, "ask": p,
                             "underlying_price": S, "style": "E"})
                truth[(expiration, k, kind)] = v
        truth[expiration] = (F, D)
    frame = pd.DataFrame(rows)
    return (frame if style_column else frame.drop(columns="style")), truth


@pytest.mark.parametrize("how", ["column", "option"])
def test_a_european_chain_gives_its_forward_and_volatilities(how):
    frame, truth = european_chain(style_column=how == "column")
    options = {} if how == "column" else {"style": "european"}
    result = chain.surface(frame, european_rates(), **options)
    for row in result.summary.itertuples():
        F, D = truth[row.expiration]
        assert abs(row.forward / F - 1) < 1e-8
    table = result.table
    solved = table["status"] == "solved"
    assert solved.mean() > 0.9
    for row in table[solved].itertuples():
        assert abs(row.iv - truth[(row.expiration, row.strike, row.option_type)]) < 1e-10


def test_the_discount_factor_a_european_chain_implies():
    frame, truth = european_chain()
    result = chain.surface(frame, "implied")
    for row in result.summary.itertuples():
        F, D = truth[row.expiration]
        assert abs(np.exp(-row.rate * row.T) / D - 1) < 1e-8
        assert abs(row.forward / F - 1) < 1e-8
    american, _ = european_chain(style_column=False)
    with pytest.raises(chain.ChainError, match="--rate implied needs European options"):
        chain.surface(american, "implied")


def test_delta_and_vega_are_the_models_at_the_volatility(generated):
    result = solved(generated.chain)
    table = result.table
    rows = table[table["status"] == "solved"]
    spot = (pd.to_numeric(rows["underlying_bid"]) + pd.to_numeric(rows["underlying_ask"])) / 2
    greeks = vornet.greeks_at_forward(spot.to_numpy(), rows["strike"].astype(float).to_numpy(),
                                      rows["T"].to_numpy(), rows["discount"].to_numpy(),
                                      rows["forward"].to_numpy(), rows["iv"].to_numpy(),
                                      rows["option_type"].to_numpy())
    np.testing.assert_allclose(rows["delta"], greeks.delta, rtol=1e-9, atol=1e-12)
    # greeks' vega is a five-point difference of the price, good to about
    # 1e-6 relative; the analytic vega is checked against careful
    # differences to 1e-8 in the engine's own tests.
    np.testing.assert_allclose(rows["vega"], greeks.vega, rtol=1e-5, atol=1e-8)
    assert table.loc[table["status"] != "solved", ["delta", "vega"]].isna().all().all()
