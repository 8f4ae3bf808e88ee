"""What the command writes: never over an input, whole or not at all, an
output folder's parts replaced as a set, and every bad output refused
before any work."""

import os
from pathlib import Path

import pandas as pd
import pytest

from vornet import chain, cli, demo
from vornet.chain import outputs

RATES = "years,rate\n0,0.0535\n1,0.0488\n3,0.0433\n"


@pytest.fixture(scope="module")
def exact():
    return demo.make_chain(7, exact=True).chain.iloc[:120]


@pytest.fixture
def files(tmp_path, exact):
    exact.to_csv(tmp_path / "chain.csv", index=False)
    (tmp_path / "rates.csv").write_text(RATES)
    return tmp_path


def run(*argv):
    return cli.main([str(a) for a in argv])


def error(capsys, *argv):
    assert run(*argv) == 2
    err = capsys.readouterr().err
    assert "Traceback" not in err
    return err


def snapshot(folder):
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir()) if p.is_file()}


@pytest.mark.parametrize("option, target", [
    ("-o", "chain.csv"), ("-o", "./chain.csv"), ("-o", "link.csv"),
    ("--summary", "chain.csv"), ("--summary", "link.csv"), ("--plot", "link.png"),
])
def test_an_output_that_is_an_input_is_refused_before_any_work(files, capsys, option, target):
    for link in ("link.csv", "link.png"):
        (files / link).symlink_to(files / "chain.csv")
    before = snapshot(files)
    err = error(capsys, "surface", files / "chain.csv", "--rate", "0.02", option,
                f"{files}/{target}")
    assert "is the input file" in err
    assert snapshot(files) == before


def test_a_folder_holding_an_input_is_refused(files, capsys):
    before = snapshot(files)
    err = error(capsys, "surface", files / "chain.csv", "--rate", "0.02", "-o", f"{files}/")
    assert "holds the input" in err
    assert snapshot(files) == before


@pytest.mark.parametrize("argv, says", [
    (["-o", "{d}/missing/out.csv"], "does not exist"),
    (["--summary", "{d}/missing/summary.csv"], "does not exist"),
    (["--plot", "{d}/smiles.xyz"], "a picture is .png, .svg, .pdf"),
    (["--plot", "{d}/missing/smiles.png"], "does not exist"),
    (["-o", "{d}/out.csv", "--summary", "{d}/out.csv"], "must be different files"),
    (["--rate", "2"], "rates are decimals: 0.02 is 2 %"),
    (["--rate", "-1.5"], "rates are decimals"),
])
def test_bad_outputs_and_rates_are_refused_before_any_work(files, capsys, monkeypatch, argv,
                                                            says):
    def no_work(*args, **kwargs):
        raise AssertionError("the chain was read")

    monkeypatch.setattr("vornet.chain.job.read_chains", no_work)
    argv = [a.format(d=files) for a in argv]
    rate = [] if "--rate" in argv else ["--rate", "0.02"]
    err = error(capsys, "surface", files / "chain.csv", *rate, *argv)
    assert says in err


def test_a_rate_curve_in_percent_is_refused(files, capsys):
    (files / "percent.csv").write_text("years,rate\n0.5,5.2\n1,5.0\n")
    err = error(capsys, "surface", files / "chain.csv", "--rate-curve", files / "percent.csv")
    assert "percent.csv: the rate at 0.5 years is 5.2: rates are decimals" in err
    curve = chain.RateCurve.from_points([(0.0, -0.005), (30.0, 0.9)])  # unusual, not wrong
    assert curve.rates.tolist() == [-0.005, 0.9]


def test_dash_writes_csv_to_the_standard_output(files, capsys, exact):
    assert run("surface", files / "chain.csv", "--rate", "0.02", "-o", "-") == 0
    captured = capsys.readouterr()
    assert not (files / "-").exists()
    rows = captured.out.splitlines()
    assert rows[0].startswith(",".join(exact.columns)) and len(rows) == len(exact) + 1
    assert "expiries (quote time and expiry)" in captured.err


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".csv.gz"])
def test_an_interrupted_write_keeps_the_earlier_file(tmp_path, monkeypatch, suffix):
    if suffix == ".parquet":
        pytest.importorskip("pyarrow", reason="pyarrow is not installed (vornet[parquet])")
    path = tmp_path / f"out{suffix}"
    old = pd.DataFrame({"a": [1, 2, 3]})
    chain.write_table(old, path)
    written = path.read_bytes()

    def stop(table, target, *args, **kwargs):
        Path(target).write_bytes(b"a\n1\n")  # ends on a row boundary
        raise Interrupt

    if suffix == ".parquet":
        monkeypatch.setattr(outputs, "_write_parquet", stop)
    else:
        monkeypatch.setattr(pd.DataFrame, "to_csv", stop)
    with pytest.raises(Interrupt):
        chain.write_table(pd.DataFrame({"a": range(10**5)}), path)
    assert path.read_bytes() == written
    assert [p.name for p in tmp_path.iterdir()] == [path.name]


def test_files_are_written_with_the_usual_permissions(tmp_path):
    chain.write_table(pd.DataFrame({"a": [1]}), tmp_path / "out.csv")
    umask = os.umask(0)
    os.umask(umask)
    assert (tmp_path / "out.csv").stat().st_mode & 0o777 == 0o666 & ~umask


def parts(folder):
    return sorted(p.name for p in folder.iterdir())


def test_an_output_folder_holds_this_runs_parts_only(tmp_path, exact):
    (tmp_path / "in").mkdir()
    for i in range(3):
        exact.iloc[40 * i:40 * (i + 1)].to_csv(tmp_path / "in" / f"{i}.csv", index=False)
    out = tmp_path / "out"
    out.mkdir()
    (out / "notes.txt").write_text("mine")
    (out / "part.00007.parquet").write_text("an earlier run's")
    assert run("surface", tmp_path / "in", "--rate", "0.02", "-o", out, "-q") == 0
    assert parts(out) == ["notes.txt", "part.00000.csv", "part.00001.csv", "part.00002.csv"]
    (tmp_path / "in" / "2.csv").unlink()
    assert run("surface", tmp_path / "in", "--rate", "0.02", "-o", out, "-q") == 0
    assert parts(out) == ["notes.txt", "part.00000.csv", "part.00001.csv"]
    rows = sum(len(pd.read_csv(out / p)) for p in parts(out) if p.startswith("part"))
    assert rows == 80
    assert (out / "notes.txt").read_text() == "mine"


def test_a_failed_run_leaves_the_folder_as_it_was(tmp_path, exact, monkeypatch):
    (tmp_path / "in").mkdir()
    for i in range(3):
        exact.iloc[40 * i:40 * (i + 1)].to_csv(tmp_path / "in" / f"{i}.csv", index=False)
    out = tmp_path / "out"
    assert run("surface", tmp_path / "in", "--rate", "0.02", "-o", out, "-q") == 0
    before = snapshot(out)
    calls = []
    real = outputs._table_writer

    def failing(table, path, *args):
        calls.append(path)
        if len(calls) == 2:
            raise OSError(28, "No space left on device")
        return real(table, path, *args)

    monkeypatch.setattr(outputs, "_table_writer", failing)
    assert run("surface", tmp_path / "in", "--rate", "0.03", "-o", out, "-q") == 2
    assert snapshot(out) == before


def test_parquet_holds_numbers_and_times_and_csv_the_text(files, exact):
    pytest.importorskip("pyarrow", reason="pyarrow is not installed (vornet[parquet])")
    frame = exact.astype(str)
    frame.loc[3, "strike"] = "1O5"
    frame.loc[4, "expiration"] = "soon"
    frame.to_csv(files / "text.csv", index=False)
    assert run("surface", files / "text.csv", "--rate", "0.02", "-q", "-o",
               files / "out.parquet", "--summary", files / "summary.csv") == 0
    assert run("surface", files / "text.csv", "--rate", "0.02", "-q", "-o",
               files / "out.csv") == 0
    typed = pd.read_parquet(files / "out.parquet")
    text = pd.read_csv(files / "out.csv", dtype=str, keep_default_na=False)
    for column in ("strike", "bid", "ask", "underlying_bid", "underlying_ask"):
        assert typed[column].dtype == "float64", column
    assert pd.isna(typed.at[3, "strike"]) and text.at[3, "strike"] == "1O5"
    assert "strike '1O5' is not a number" in typed.at[3, "detail"]
    assert str(typed["quote_datetime"].dtype) == "datetime64[us, America/New_York]"
    assert typed.at[0, "quote_datetime"] == pd.Timestamp("2024-03-15 10:30",
                                                         tz="America/New_York")
    assert typed.at[0, "expiration"].isoformat() == frame.at[0, "expiration"]
    assert pd.isna(typed.at[4, "expiration"]) and text.at[4, "expiration"] == "soon"
    assert typed["option_type"].tolist() == text["option_type"].tolist()
    assert (text["strike"] == frame["strike"]).all()


def test_parquet_written_in_slices_is_the_whole_table(files, exact, monkeypatch):
    """Rows written a slice at a time come back whole and typed alike, a
    text column empty in the first slice (the detail) included."""
    pytest.importorskip("pyarrow", reason="pyarrow is not installed (vornet[parquet])")
    frame = exact.astype(str)
    frame.loc[len(frame) - 1, "strike"] = "1O5"
    frame.to_csv(files / "text.csv", index=False)
    assert run("surface", files / "text.csv", "--rate", "0.02", "-q", "-o",
               files / "whole.parquet") == 0
    monkeypatch.setattr(outputs, "_ROWS_AT_A_TIME", 7)
    assert run("surface", files / "text.csv", "--rate", "0.02", "-q", "-o",
               files / "sliced.parquet") == 0
    whole = pd.read_parquet(files / "whole.parquet")
    sliced = pd.read_parquet(files / "sliced.parquet")
    pd.testing.assert_frame_equal(sliced, whole)
    assert len(sliced) == len(frame) and "not a number" in sliced["detail"].iloc[-1]


@pytest.mark.parametrize("bid, ask, mid", [
    ("150.8", "150.9", "150.85"), ("0.1", "0.2", "0.15"), ("1.05", "1.1", "1.075"),
    ("2", "2.01", "2.005"), ("1e-3", "0.003", "0.002"),
])
def test_the_mid_is_the_decimal_midpoint(tmp_path, bid, ask, mid):
    rows = [["2024-03-15 10:30:00", "2024-06-21", "150", kind, bid, ask, "150.00", "150.02"]
            for kind in "CP"]
    frame = pd.DataFrame(rows, columns=["quote_datetime", "expiration", "strike", "option_type",
                                        "bid", "ask", "underlying_bid", "underlying_ask"])
    frame.to_csv(tmp_path / "chain.csv", index=False)
    assert run("surface", tmp_path / "chain.csv", "--rate", "0.02", "-q", "-o",
               tmp_path / "out.csv") == 0
    assert pd.read_csv(tmp_path / "out.csv", dtype=str)["mid"].tolist() == [mid, mid]
    result = chain.surface(frame, 0.02)
    assert result.table["mid"].tolist() == [float(mid)] * 2
