"""The `vornet` command end to end: chains in files, through `surface`, to
the output rows, the summary and the picture; and `vornet demo`.

Most runs call vornet.cli.main in this process; one runs `python -m vornet`
and one the installed console script."""

import csv
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from vornet import chain, cli, demo

RATES = "years,rate\n0,0.0535\n0.25,0.0528\n0.5,0.0515\n1,0.0488\n2,0.0452\n3,0.0433\n"
PNG = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def exact():
    """A chain whose bid = ask = the model price at the true forward."""
    return demo.make_chain(7, exact=True)


def write_chain(path, frame):
    frame.to_csv(path, index=False)
    return str(path)


def surface(tmp_path, chain_path, *args, rates=RATES):
    """Runs `vornet surface` on `chain_path`; returns (exit status, output
    table read as text, summary)."""
    curve = tmp_path / "rates.csv"
    curve.write_text(rates)
    out, summary = tmp_path / "out.csv", tmp_path / "summary.csv"
    status = cli.main(["surface", str(chain_path), "--rate-curve", str(curve), "-o", str(out),
                       "--summary", str(summary), *args])
    if status != 0:
        return status, None, None
    return status, pd.read_csv(out, dtype=str, keep_default_na=False), pd.read_csv(summary)


def numbers(column):
    return pd.to_numeric(column.replace("", np.nan)).to_numpy(dtype=float)


def test_exact_quotes_give_the_true_forwards_and_volatilities(tmp_path, exact, capsys):
    status, out, summary = surface(tmp_path, write_chain(tmp_path / "chain.csv", exact.chain))
    assert status == 0
    truth = exact.expiries.set_index("expiration")
    assert list(summary["expiration"]) == list(truth.index)
    recovered = summary.set_index("expiration")
    assert np.abs(recovered["forward"] / truth["forward"] - 1).max() < 1e-4  # 1 bp
    np.testing.assert_allclose(recovered["T"], truth["T"], rtol=0, atol=1e-12)

    # Every input row, in order, its columns as they were in the file.
    given = pd.read_csv(tmp_path / "chain.csv", dtype=str, keep_default_na=False)
    assert len(out) == len(given)
    pd.testing.assert_frame_equal(out[list(given.columns)], given)

    iv, vol = numbers(out["iv"]), exact.vol
    solved = (out["status"] == "solved").to_numpy()
    otm = (out["otm"] == "True").to_numpy()
    assert np.abs(iv[solved] - vol[solved]).max() < 1e-6
    # Every out-of-the-money quote solves; what does not is in the money
    # and priced at its exercise value (deep puts exercised at once).
    assert solved[otm].all()
    assert set(out["status"][~solved]) <= {"no time value"}
    assert not otm[~solved].any()
    assert (out["detail"] == "").all()

    # The discount factor of the curve at each T, linear between its points.
    T, D = numbers(out["T"]), numbers(out["discount"])
    knots = np.array([0, 0.25, 0.5, 1, 2, 3]), np.array([0.0535, 0.0528, 0.0515, 0.0488,
                                                         0.0452, 0.0433])
    i = np.searchsorted(knots[0], T) - 1
    weight = (T - knots[0][i]) / (knots[0][i + 1] - knots[0][i])
    rate = knots[1][i] + weight * (knots[1][i + 1] - knots[1][i])
    np.testing.assert_allclose(D, np.exp(-rate * T), rtol=1e-14)

    assert (summary["solved"] <= summary["usable"]).all()
    assert summary["solved"].sum() == solved.sum()
    assert np.isfinite(summary["atm_vol"]).all()
    atm = exact.market.atm_vol(truth["T"].to_numpy())
    assert np.abs(summary["atm_vol"] - atm).max() < 0.01
    printed = capsys.readouterr().out
    for expiry in truth.index:
        assert expiry in printed
    assert "parity fwd" in printed and "solved/usable" in printed


def test_more_workers_give_the_same_output(tmp_path, exact, capsys):
    path = write_chain(tmp_path / "chain.csv", exact.chain)
    _, one, _ = surface(tmp_path, path)
    _, two, _ = surface(tmp_path, path, "--workers", "2")
    pd.testing.assert_frame_equal(one, two)


def test_the_fast_solver_gives_the_same_statuses_and_near_volatilities(tmp_path, exact):
    path = write_chain(tmp_path / "chain.csv", exact.chain)
    _, exact_out, _ = surface(tmp_path, path)
    _, fast_out, _ = surface(tmp_path, path, "--method", "fast")
    pd.testing.assert_series_equal(fast_out["status"], exact_out["status"])
    pd.testing.assert_series_equal(fast_out["forward"], exact_out["forward"])
    iv_fast, iv_exact, T = (pd.to_numeric(frame[column]) for frame, column in
                            ((fast_out, "iv"), (exact_out, "iv"), (exact_out, "T")))
    assert iv_exact.notna().sum() > 0.5 * len(iv_exact)
    assert ((iv_fast - iv_exact).abs() * np.sqrt(T)).max() <= 2e-9


def test_the_integral_model_solves_the_chain_near_the_approximation(tmp_path, exact):
    # The chain's prices are the approximation's: the integral model's
    # forwards and volatilities differ from them by the approximation's error.
    path = write_chain(tmp_path / "chain.csv", exact.chain)
    _, baw, _ = surface(tmp_path, path)
    _, integral, summary = surface(tmp_path, path, "--model", "integral", "--workers", "2")
    assert set(integral["status"]) <= {"solved", "no time value", "no volatility information"}
    both = (baw["status"] == "solved") & (integral["status"] == "solved")
    assert both.sum() > 0.7 * len(baw)
    iv_baw, iv_integral = numbers(baw["iv"][both]), numbers(integral["iv"][both])
    assert 0 < np.max(np.abs(iv_integral - iv_baw)) < 0.05
    forward_baw, forward_integral = numbers(baw["forward"]), numbers(integral["forward"])
    assert np.nanmax(np.abs(forward_integral / forward_baw - 1.0)) < 2e-3
    assert cli.main(["surface", path, "--rate", "0.05", "--model", "exact"]) != 0


# A change to one row of the exact chain, the status it gets and what its
# detail says.
DEFECTS = [
    ({"bid": "9.9", "ask": "9.8"}, "crossed quote", ""),
    ({"ask": ""}, "one-sided quote", ""),
    ({"bid": "0"}, "one-sided quote", ""),
    ({"bid": "0", "ask": "0"}, "no quote", ""),
    ({"strike": "1O5"}, "invalid row", "strike '1O5' is not a number"),
    ({"strike": "-5"}, "invalid row", "strike '-5' is not positive"),
    ({"strike": ""}, "invalid row", "strike is missing"),
    ({"expiration": "2024-02-30"}, "invalid row", "expiration '2024-02-30' does not parse"),
    ({"quote_datetime": "soon"}, "invalid row", "quote_datetime 'soon' does not parse"),
    ({"option_type": "X"}, "invalid row", "option_type 'X' is not C or P"),
    ({"underlying_bid": "0"}, "invalid row", "underlying_bid '0' is not positive"),
    ({"bid": "abc"}, "invalid row", "bid 'abc' is not a number"),
    ({"ask": "-1"}, "invalid row", "ask '-1' is negative"),
    ({"strike": "1_05"}, "invalid row", "strike '1_05' is not a number"),
    ({"strike": "\u0661\u0660\u0665"}, "invalid row", "is not a number"),
    ({"strike": "1,05"}, "invalid row", "strike '1,05' is not a number"),
    ({"expiration": "2024-03-01"}, "expired", ""),
]


@pytest.mark.parametrize("change, expected, detail", DEFECTS,
                         ids=[f"{next(iter(c))}={next(iter(c.values()))!r}"
                              for c, _, _ in DEFECTS])
def test_each_defect_keeps_its_row_with_a_status(tmp_path, exact, change, expected, detail):
    frame = exact.chain.astype(str)
    row = 41
    for column, value in change.items():
        frame.loc[row, column] = value
    status, out, _ = surface(tmp_path, write_chain(tmp_path / "chain.csv", frame))
    assert status == 0
    assert len(out) == len(frame)
    assert out.at[row, "status"] == expected
    if detail:
        # The header is line 1: row i of the frame is on line i + 2.
        assert out.at[row, "detail"].startswith(f"line {row + 2}: ")
        assert detail in out.at[row, "detail"]
    else:
        assert out.at[row, "detail"] == ""
    others = out.drop(index=row)
    assert set(others["status"]) <= {"solved", "no time value"}
    assert (out["strike"] == frame["strike"]).all()


def test_line_numbers_are_the_files_lines(tmp_path, exact):
    """Blank lines and a quoted field over two lines do not shift the line
    reported; a row with too many fields is kept and reported."""
    frame = exact.chain.astype(str).iloc[:60].copy()
    frame["note"] = ""
    frame.loc[3, "note"] = "two\nlines"
    frame.loc[20, "strike"] = "12O"
    path = tmp_path / "chain.csv"
    text = frame.to_csv(index=False, lineterminator="\n").splitlines(keepends=True)
    # header, rows 0-9, a blank line, rows 10-: the note of row 3 takes
    # two lines.
    lines = text[:12] + ["\n"] + text[12:]
    extra = lines[-1].rstrip("\n") + ",surplus\n"
    lines[-1] = extra
    path.write_text("".join(lines))
    physical = path.read_text().splitlines()

    status, out, _ = surface(tmp_path, path)
    assert status == 0
    assert len(out) == len(frame)
    assert out.at[3, "note"] == "two\nlines"
    line = int(out.at[20, "detail"].split(":")[0].split()[1])
    assert physical[line - 1].split(",")[4] == "12O"
    last = out.iloc[-1]
    assert last["status"] == "invalid row"
    assert f"line {len(physical)}: " in last["detail"]
    assert "'surplus'" in last["detail"]


def test_an_unclosed_quote_stops_the_run_naming_its_line(tmp_path, exact, capsys):
    """Without its closing quote a field would take every later row in."""
    lines = exact.chain.to_csv(index=False).splitlines(keepends=True)
    lines[5] = lines[5].replace(",XYZ,", ',"XYZ,', 1)
    path = tmp_path / "chain.csv"
    path.write_text("".join(lines))
    message = run_error(tmp_path, capsys, "surface", str(path), "--rate", "0.02", "-o",
                        str(tmp_path / "out.csv"))
    assert "chain.csv: line 6: a quoted field opens here and is never closed" in message
    assert not (tmp_path / "out.csv").exists()


def calls_only(frame, first):
    return frame[~(first & (frame["option_type"] == "P"))].reset_index(drop=True)


def worthless(frame, first):
    """Every quote of the expiry at a tenth of a cent, with no strike at the
    spot: no strike has both a call and a put with time value, at any
    forward (the search itself would still end somewhere)."""
    frame = frame.copy()
    frame.loc[first, ["bid", "ask"]] = "0.001"
    frame.loc[first, ["underlying_bid", "underlying_ask"]] = ["150.49", "150.51"]
    return frame


@pytest.mark.parametrize("change, reason", [
    (calls_only, "no strike has both a call and a put quoted on both sides"),
    (worthless, "no strike near the money has a call and a put that both solve"),
])
def test_an_expiry_without_a_forward(tmp_path, exact, change, reason):
    frame = exact.chain.astype(str)
    expiry = exact.expiries["expiration"][0]
    frame = change(frame, frame["expiration"] == expiry)
    status, out, summary = surface(tmp_path, write_chain(tmp_path / "chain.csv", frame))
    assert status == 0
    assert len(out) == len(frame)
    mine = out["expiration"] == expiry
    assert set(out["status"][mine]) == {"no forward"}
    assert set(out["detail"][mine]) == {reason}
    assert (out["forward"][mine] == "").all() and (out["iv"][mine] == "").all()
    assert math.isnan(summary["forward"][0]) and summary["solved"][0] == 0
    assert set(out["status"][~mine]) <= {"solved", "no time value"}


def test_other_layouts(tmp_path, exact):
    """One price column, the underlying's price, a quote date, other column
    names through --map and headings in another case."""
    frame = exact.chain.copy()
    frame["Mark"] = frame["bid"]
    frame["underlying_price"] = (frame["underlying_bid"] + frame["underlying_ask"]) / 2
    frame = frame.drop(columns=["bid", "ask", "underlying_bid", "underlying_ask"])
    frame = frame.rename(columns={"strike": "STRIKE", "expiration": "Expiry"})
    status, out, summary = surface(tmp_path, write_chain(tmp_path / "chain.csv", frame),
                                   "--map", "price=Mark", "--map", "expiration=Expiry")
    assert status == 0
    truth = exact.expiries.set_index("expiration")
    assert np.abs(summary["forward"].to_numpy() / truth["forward"].to_numpy() - 1).max() < 1e-4
    solved = (out["status"] == "solved").to_numpy()
    assert np.abs(numbers(out["iv"])[solved] - exact.vol[solved]).max() < 1e-6


@pytest.mark.parametrize("quote, expiry, args, hours", [
    # From 10:30 to the 16:00 close, a week later.
    ("2024-03-15 10:30:00", "2024-03-22", [], 7 * 24 + 5.5),
    # Across the change to summer time the week is an hour shorter.
    ("2024-03-08 10:30:00", "2024-03-15", [], 7 * 24 + 4.5),
    # A quote time with its offset: 14:30 UTC is 10:30 in New York.
    ("2024-03-15T14:30:00Z", "2024-03-22", [], 7 * 24 + 5.5),
    # A quote date alone is at the close; the expiry time and zone given.
    ("2024-03-15", "2024-03-22", [], 7 * 24),
    ("03/15/2024 10:30", "2024-03-22", ["--expiry-time", "09:30"], 7 * 24 - 1),
    ("2024-03-15 10:30:00", "2024-03-22", ["--calendar", "none", "--timezone", "Europe/London"],
     7 * 24 + 5.5),
    # London's exchange closes at 16:30, in London.
    ("2024-03-15 10:30:00", "2024-03-22", ["--calendar", "XLON"], 7 * 24 + 6),
    # New York's quote times, London's close: 12:30 New York time that day.
    ("2024-03-15 10:30:00", "2024-03-22", ["--calendar", "XLON", "--timezone",
                                          "America/New_York"], 7 * 24 + 2),
    ("2024-03-15 16:00:00", "2024-03-15", [], 0.0),
])
def test_time_to_expiry(tmp_path, quote, expiry, args, hours):
    rows = [["quote_datetime", "expiration", "strike", "option_type", "bid", "ask",
             "underlying_price"],
            [quote, expiry, "100", "C", "2.5", "2.6", "100"],
            [quote, expiry, "100", "P", "2.4", "2.5", "100"]]
    path = tmp_path / "chain.csv"
    with open(path, "w", newline="") as file:
        csv.writer(file).writerows(rows)
    status, out, _ = surface(tmp_path, path, *args)
    assert status == 0
    np.testing.assert_allclose(numbers(out["T"]), hours / (365 * 24), rtol=1e-12, atol=1e-15)
    assert set(out["status"]) == ({"expired"} if hours <= 0 else {"solved"})


def run_error(tmp_path, capsys, *argv):
    status = cli.main(list(argv))
    captured = capsys.readouterr()
    assert status == 2
    assert "Traceback" not in captured.err
    message = [line for line in captured.err.splitlines() if line.startswith("vornet: error: ")]
    assert message, captured.err
    return message[0]


@pytest.mark.parametrize("drop, named", [
    (["strike"], "'strike'"),
    (["quote_datetime"], "'quote_datetime' or 'quote_date'"),
    (["ask"], "'ask'"),
    (["underlying_bid", "underlying_ask"], "'underlying_bid' or 'underlying_price'"),
])
def test_a_missing_column_is_named_with_the_columns_found(tmp_path, capsys, exact, drop, named):
    frame = exact.chain.drop(columns=drop)
    path = write_chain(tmp_path / "chain.csv", frame)
    message = run_error(tmp_path, capsys, "surface", path, "--rate", "0.02")
    assert f"missing column {named}" in message
    assert "columns found: " + ", ".join(repr(c) for c in frame.columns) in message


@pytest.mark.parametrize("content, says", [
    ("", "chain.csv is empty"),
    ("\n\n", "chain.csv is empty"),
    ("quote_datetime,expiration,strike\n", "chain.csv has no quotes"),
])
def test_an_empty_file_is_a_clear_error(tmp_path, capsys, content, says):
    path = tmp_path / "chain.csv"
    path.write_text(content)
    assert says in run_error(tmp_path, capsys, "surface", str(path), "--rate", "0.02")


@pytest.mark.parametrize("argv, says", [
    (["surface", "{dir}/nowhere.csv", "--rate", "0.02"], "no such file"),
    (["surface", "{chain}", "--rate", "0.02", "--map", "sttrike=x"], "unknown name 'sttrike'"),
    (["surface", "{chain}", "--rate", "0.02", "--map", "strike=Strike"], "no column 'Strike'"),
    (["surface", "{chain}", "--rate", "0.02", "-o", "{dir}/out.xlsx"], "cannot tell the format"),
    (["surface", "{chain}", "--rate-curve", "{dir}/bad-rates.csv"], "line 3: expected two"),
    (["surface", "{chain}", "--rate", "0.02", "--expiry-time", "4pm"], "not a time of day"),
    (["surface", "{chain}", "--rate", "0.02", "--timezone", "Mars/Olympus"], "time zone"),
    (["surface", "{chain}", "--rate", "0.02", "--workers", "0"], "workers"),
    (["surface", "{chain}"], "one of the arguments --rate --rate-curve is required"),
    (["surface", "{chain}", "--rate", "two"], "not a number"),
])
def test_bad_usage_is_an_error(tmp_path, capsys, exact, argv, says):
    chain_path = write_chain(tmp_path / "chain.csv", exact.chain.iloc[:10])
    (tmp_path / "bad-rates.csv").write_text("years,rate\n0.5,0.02\n1.0\n")
    argv = [a.format(dir=tmp_path, chain=chain_path) for a in argv]
    assert says in run_error(tmp_path, capsys, *argv)


def test_the_picture(tmp_path, exact, capsys):
    path = write_chain(tmp_path / "chain.csv", exact.chain)
    status, _, _ = surface(tmp_path, path, "--plot", str(tmp_path / "smiles.png"))
    assert status == 0
    picture = (tmp_path / "smiles.png").read_bytes()
    assert picture.startswith(PNG) and len(picture) > 20_000
    assert f"drew {len(exact.expiries)} smiles" in capsys.readouterr().out

    # Nothing solves: the picture says so rather than failing.
    one_sided = exact.chain.assign(bid=0.0)
    status, _, _ = surface(tmp_path, write_chain(tmp_path / "none.csv", one_sided),
                           "--plot", str(tmp_path / "none.png"))
    assert status == 0
    assert (tmp_path / "none.png").read_bytes().startswith(PNG)
    assert "drew 0 smiles" in capsys.readouterr().out


def test_quiet_prints_nothing(tmp_path, exact, capsys):
    path = write_chain(tmp_path / "chain.csv", exact.chain.iloc[:40])
    assert cli.main(["surface", path, "--rate", "0.05", "-q", "-o",
                     str(tmp_path / "out.csv")]) == 0
    assert capsys.readouterr() == ("", "")
    assert len(pd.read_csv(tmp_path / "out.csv")) == 40


def test_parquet_in_and_out(tmp_path, exact):
    pytest.importorskip("pyarrow", reason="pyarrow is not installed (vornet[parquet])")
    frame = exact.chain.copy()
    frame.loc[5, "strike"] = -1.0
    frame.to_parquet(tmp_path / "chain.parquet", index=False)
    out_path = tmp_path / "out.parquet"
    (tmp_path / "rates.csv").write_text(RATES)
    assert cli.main(["surface", str(tmp_path / "chain.parquet"), "--rate-curve",
                     str(tmp_path / "rates.csv"), "-o", str(out_path), "-q"]) == 0
    out = pd.read_parquet(out_path)
    assert len(out) == len(frame)
    assert out.at[5, "status"] == "invalid row"
    assert out.at[5, "detail"].startswith("row 6: ")
    solved = (out["status"] == "solved").to_numpy()
    assert np.abs(out["iv"].to_numpy()[solved] - exact.vol[solved]).max() < 1e-6


def test_many_files_read_as_one_chain(tmp_path, exact, capsys):
    """Calls in one file and puts in another: read together, each expiry
    finds its forward over both; each file's rows go to a part of their
    own, the same rows as from one file."""
    whole = exact.chain.astype({"strike": object})
    whole.loc[4, "strike"] = "1OO"
    calls = (whole["option_type"] == "C").to_numpy()
    (tmp_path / "in" / "day").mkdir(parents=True)
    write_chain(tmp_path / "in" / "a_calls.csv", whole[calls])
    write_chain(tmp_path / "in" / "day" / "b_puts.csv", whole[~calls])
    (tmp_path / "in" / "notes.txt").write_text("not a chain")
    status, alone, _ = surface(tmp_path, write_chain(tmp_path / "whole.csv", whole))
    assert status == 0
    for chain_argument in (str(tmp_path / "in"), str(tmp_path / "in" / "**" / "*.csv")):
        assert cli.main(["surface", chain_argument, "--rate-curve", str(tmp_path / "rates.csv"),
                         "-o", str(tmp_path / "parts"), "-q"]) == 0
        parts = sorted((tmp_path / "parts").iterdir())
        assert [p.name for p in parts] == ["part.00000.csv", "part.00001.csv"]
        got = [pd.read_csv(p, dtype=str, keep_default_na=False) for p in parts]
        assert [len(g) for g in got] == [calls.sum(), (~calls).sum()]
        joined = pd.concat(got)
        joined.index = np.concatenate([np.flatnonzero(calls), np.flatnonzero(~calls)])
        joined = joined.sort_index()
        assert joined.drop(columns="detail").equals(alone.drop(columns="detail"))
        assert joined.at[4, "detail"] == "a_calls.csv line 4: strike '1OO' is not a number"
        assert alone.at[4, "detail"] == "line 6: strike '1OO' is not a number"


@pytest.mark.parametrize("make, argument, says", [
    (lambda d: None, "{dir}/nothing/*.csv", "no file matches"),
    (lambda d: (d / "empty").mkdir(), "{dir}/empty", "holds no .csv, .csv.gz or .parquet file"),
    (lambda d: (d / "b.csv").write_text("strike,other\n1,2\n"), "{dir}/*.csv",
     "b.csv has the columns 'strike', 'other' where a.csv has"),
])
def test_files_that_cannot_be_read_together(tmp_path, exact, capsys, make, argument, says):
    write_chain(tmp_path / "a.csv", exact.chain)
    make(tmp_path)
    assert cli.main(["surface", argument.format(dir=tmp_path), "--rate", "0.02"]) == 2
    assert says in capsys.readouterr().err


def test_the_readme_lists_every_status():
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    for status in chain.STATUSES:
        assert f"| `{status}` |" in readme


def run_command(command, cwd):
    done = subprocess.run(command, capture_output=True, text=True, cwd=cwd, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_python_dash_m(tmp_path, exact):
    path = write_chain(tmp_path / "chain.csv", exact.chain)
    output = run_command([sys.executable, "-m", "vornet", "surface", path, "--rate", "0.05",
                          "-o", str(tmp_path / "out.csv")], tmp_path)
    assert f"wrote {len(exact.chain)} rows" in output
    assert "solved" in output


def test_console_script_runs_the_demo(tmp_path):
    script = Path(sys.executable).with_name("vornet")
    output = run_command([str(script), "demo", "--out-dir", str(tmp_path / "demo")], tmp_path)
    for heading in ("true fwd", "error bp", "parity fwd", "ATM vol", "solved/usable"):
        assert heading in output
    assert "invalid row: line " in output
    picture = (tmp_path / "demo" / "smiles.png").read_bytes()
    assert picture.startswith(PNG) and len(picture) > 20_000
    generated = demo.make_chain()
    out = pd.read_csv(tmp_path / "demo" / "surface.csv", dtype=str, keep_default_na=False)
    assert len(out) == len(generated.chain)
    statuses = set(out["status"])
    assert {"solved", "one-sided quote", "crossed quote", "invalid row"} <= statuses
    # The recovered forwards, printed beside the true ones, are close.
    errors = [float(line.split()[-4]) for line in output.splitlines()
              if line[:4] == "2024" and line.split()[-4][0] in "+-"]
    assert len(errors) == len(generated.expiries)
    assert max(abs(e) for e in errors) < 20.0


def test_the_api_example_still_runs(tmp_path):
    example = Path(__file__).resolve().parent.parent / "examples" / "demo.py"
    output = run_command([sys.executable, str(example)], tmp_path)
    assert "Forward from 17 skewed call/put quotes" in output


def test_heavy_imports_wait_for_the_command(tmp_path):
    """`import vornet` (and the command's module, until a chain is read)
    imports neither pandas, matplotlib nor tqdm."""
    output = run_command([sys.executable, "-c", """if True:
        import sys
        import vornet, vornet.cli
        vornet.price(100.0, 100.0, 1.0, 0.05, 0.0, 0.2, "c")
        print(sorted(m for m in ("pandas", "matplotlib", "tqdm") if m in sys.modules))
        vornet.cli.main(["--version"])
        print(sorted(m for m in ("pandas", "matplotlib", "tqdm") if m in sys.modules))
        """], tmp_path)
    assert output.splitlines() == ["[]", f"vornet {vornet_version()}", "[]"]


def vornet_version():
    import vornet

    return vornet.__version__
