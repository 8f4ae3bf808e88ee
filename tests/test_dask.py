"""Chains on Dask: vornet.dask and `vornet surface --scheduler`, on a local
cluster of two worker processes, against the single-process results over
the same generated store of chains (several days and underlyings, one
Parquet file each)."""

import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import vornet
from vornet import chain, cli, demo

pytest.importorskip("dask.dataframe", reason="Dask is not installed (vornet[dask])")
distributed = pytest.importorskip("distributed", reason="Dask's distributed scheduler is not "
                                                        "installed (vornet[dask])")
pytest.importorskip("pyarrow", reason="pyarrow is not installed (vornet[dask])")

import dask.dataframe as dd  # noqa: E402

from vornet import dask as vdask  # noqa: E402

RATES = chain.RateCurve.from_points([(0.0, 0.0535), (0.5, 0.0515), (2.0, 0.0452)])


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=40) as cluster, \
            distributed.Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    """Three days of three underlyings, one Parquet file each, with the
    generator's defects (crossed, one-sided and malformed quotes)."""
    return demo.make_dataset(tmp_path_factory.mktemp("store"), days=3, symbols=3)


def assert_same_table(got, want):
    """Same columns, rows and values; floats bit for bit."""
    assert list(got.columns) == list(want.columns)
    assert len(got) == len(want)
    for column in want.columns:
        a, b = got[column].to_numpy(), want[column].to_numpy()
        if want[column].dtype.kind == "f":
            assert np.array_equal(a.view(np.int64), b.view(np.int64)), column
        else:
            same = pd.Series(a, dtype=object).fillna("<NA>") == pd.Series(b, dtype=object
                                                                         ).fillna("<NA>")
            assert same.all(), (column, np.flatnonzero(~same.to_numpy())[:5])


@pytest.mark.parametrize("method", ["exact", "fast"])
def test_the_cluster_gives_the_single_process_results(client, store, method):
    single = chain.surface(chain.read_chains(store), RATES, method=method).table
    quotes = vdask.read_chains(store)
    assert quotes.npartitions == len(store)
    lazy = vdask.surface(quotes, RATES, method=method)
    assert not any("shuffle" in str(key) for key in lazy.dask)  # nothing moved
    got = lazy.compute()
    # One file, one partition, each with its own rows, order and index.
    lengths = [len(pd.read_parquet(path)) for path in store]
    assert list(got.index) == [i for n in lengths for i in range(n)]
    assert_same_table(got, single)
    assert (single["status"] == "invalid row").sum() >= len(store)
    assert single["detail"].str.contains(r"_XYZ\d\.parquet row \d+: strike").any()


def test_the_cluster_passes_the_model_on(client, store):
    single = chain.surface(chain.read_chains(store), RATES, model="integral").table
    got = vdask.surface(vdask.read_chains(store), RATES, model="integral").compute()
    assert_same_table(got, single)
    approximation = chain.surface(chain.read_chains(store), RATES).table
    solved = (single["status"] == "solved") & (approximation["status"] == "solved")
    assert solved.sum() > 0
    assert not np.array_equal(single["iv"][solved], approximation["iv"][solved])


def test_a_frame_of_ones_own_gives_rows_by_their_position(client, store):
    """dask.dataframe.read_parquet's frame: a bad row's detail counts the
    rows of the whole input, as one process over the same rows does."""
    rows = pd.concat([pd.read_parquet(path) for path in store], ignore_index=True)
    single = chain.surface(chain.Chain(rows, np.arange(1, len(rows) + 1), "row"), RATES).table
    got = vdask.surface(dd.read_parquet([str(p) for p in store]), RATES).compute()
    assert_same_table(got, single)
    assert got["detail"].str.match(r"row \d+: strike").sum() >= len(store)


def test_files_of_text_name_their_lines(client, tmp_path):
    files = demo.make_dataset(tmp_path, days=2, symbols=2, suffix=".csv")
    single = chain.surface(chain.read_chains(files), RATES).table
    got = vdask.surface(vdask.read_chains(f"{tmp_path}/*.csv"), RATES).compute()
    assert_same_table(got, single)
    assert got["detail"].str.match(r"2024-03-1\d_XYZ\d\.csv line \d+: ").sum() >= 2


def test_chains_split_between_partitions_are_grouped_first(client, store):
    rows = chain.read_chains(store).frame
    mixed = rows.iloc[np.random.default_rng(5).permutation(len(rows))].reset_index(drop=True)
    single = chain.surface(chain.Chain(mixed, np.arange(1, len(mixed) + 1), "row"),
                           RATES).table
    frame = dd.from_pandas(mixed, npartitions=5, sort=False)
    layout = vdask.find_layout(frame)
    assert not layout.by_chain and layout.split_chains > 0
    assert sum(layout.lengths) == len(mixed)
    lazy = vdask.surface(frame, RATES)
    # Whole chains per partition, in input order within each; indexed by
    # the position in the input.
    in_order = lazy.map_partitions(lambda part: pd.Series([part.index.is_monotonic_increasing]),
                                   meta=(None, bool)).compute()
    assert in_order.all()
    got = lazy.compute()
    assert sorted(got.index) == list(range(len(mixed)))
    assert_same_table(got.sort_index(), single)


def test_grouping_can_be_asked_for(client, store, tmp_path):
    quotes = chain.read_chains(store[:4])
    single = chain.surface(quotes, RATES)
    got = vdask.surface(vdask.read_chains(store[:4]), RATES, by_chain=False).compute()
    assert_same_table(got.sort_index(), single.table)
    # Written, every row goes back to its own file's part, in its place.
    chain.write_parts(single.table, quotes, tmp_path / "one", ".parquet", single.typed)
    written = vdask.write_parts(vdask.read_chains(store[:4]), RATES, tmp_path / "many",
                                by_chain=False)
    assert written.layout is None and written.rows == len(single.table)
    assert_same_table(written.summary, single.summary)
    one = sorted((tmp_path / "one").iterdir())
    assert [p.name for p in written.paths] == [p.name for p in one]
    for path in written.paths:
        assert_same_table(pd.read_parquet(path), pd.read_parquet(tmp_path / "one" / path.name))


def test_the_command_on_a_cluster_writes_what_one_process_writes(client, store, tmp_path,
                                                                 capsys):
    pattern = str(store[0].parent / "*.parquet")
    assert cli.main(["surface", pattern, "--rate", "0.05", "-o", str(tmp_path / "one"),
                     "--summary", str(tmp_path / "one.csv")]) == 0
    alone = capsys.readouterr().out
    address = client.scheduler.address
    assert cli.main(["surface", pattern, "--rate", "0.05", "-o", str(tmp_path / "many") + "/",
                     "--scheduler", address, "--summary", str(tmp_path / "many.csv")]) == 0
    spread = capsys.readouterr().out
    one = sorted((tmp_path / "one").iterdir())
    many = sorted((tmp_path / "many").iterdir())
    assert [p.name for p in one] == [p.name for p in many] == [
        f"part.{n:05d}.parquet" for n in range(len(store))]
    for a, b in zip(one, many):
        assert_same_table(pd.read_parquet(b), pd.read_parquet(a))
    assert_same_table(pd.read_csv(tmp_path / "many.csv"), pd.read_csv(tmp_path / "one.csv"))
    # The same report: the summary and the counts of statuses.
    def report(text):
        return [line for line in text.splitlines() if not line.startswith("wrote")]

    assert report(spread) == report(alone)
    assert f"{len(store)} files: 7750 rows" in spread


def test_the_command_puts_chains_split_between_files_back_together(client, tmp_path,
                                                                     capsys):
    """Calls and puts of every chain in different files: solved grouped by
    chain, each file's rows still written to its own part, in order."""
    rows = demo.make_chain(11, snapshots=2).chain
    calls = (rows["option_type"] == "C").to_numpy()
    (tmp_path / "in").mkdir()
    rows[calls].to_csv(tmp_path / "in" / "calls.csv", index=False)
    rows[~calls].to_csv(tmp_path / "in" / "puts.csv", index=False)
    parts = {}
    for name, extra in (("one", []), ("many", ["--scheduler", client.scheduler.address])):
        assert cli.main(["surface", str(tmp_path / "in"), "--rate", "0.04", "-o",
                         str(tmp_path / name), *extra]) == 0
        parts[name] = sorted((tmp_path / name).iterdir())
        assert [p.name for p in parts[name]] == ["part.00000.csv", "part.00001.csv"]
    assert "chains were split between files; their rows were grouped" in capsys.readouterr().out
    for a, b in zip(parts["one"], parts["many"]):
        assert a.read_bytes() == b.read_bytes()
    # Each expiry found its forward from both files.
    statuses = pd.concat([pd.read_csv(p)["status"] for p in parts["many"]])
    assert "no forward" not in set(statuses) and (statuses == "solved").mean() > 0.7


def test_the_progress_bar_counts_the_partitions_as_the_cluster_finishes_them(client, store,
                                                                              capsys):
    written = vdask.write_parts(vdask.read_chains(store[:3]), RATES, None, progress=True)
    assert written.paths == [] and written.rows > 0
    bar = capsys.readouterr().err
    # Over the three partitions, and wiped when done.
    assert "partitions:   0%|" in bar and "| 0/3 [" in bar and bar.endswith("\r")


def test_the_command_starts_a_local_cluster(store, tmp_path, capsys):
    """`--scheduler local --workers 2`: two worker processes of its own."""
    files = store[:2]
    for path in files:
        (tmp_path / "in").mkdir(exist_ok=True)
        (tmp_path / "in" / path.name).write_bytes(path.read_bytes())
    assert cli.main(["surface", str(tmp_path / "in"), "--rate", "0.05", "-o",
                     str(tmp_path / "out"), "--format", "csv", "--scheduler", "local",
                     "--workers", "2", "-q"]) == 0
    assert capsys.readouterr().out == ""
    single = chain.surface(chain.read_chains(files), chain.RateCurve.flat(0.05)).table
    got = pd.concat([pd.read_csv(tmp_path / "out" / f"part.{n:05d}.csv", dtype=str,
                                 keep_default_na=False) for n in range(2)], ignore_index=True)
    assert len(got) == len(single)
    assert (got["status"] == single["status"]).all()
    solved = (single["status"] == "solved").to_numpy()
    # CSV keeps every digit of the floats it writes.
    assert np.array_equal(got["iv"][solved].astype(float).to_numpy(),
                          single["iv"][solved].to_numpy())


@pytest.mark.parametrize("argv, says", [
    (["-o", "{dir}/out.csv"], "with --scheduler, -o names a folder"),
    (["-o", "{dir}/out/", "--plot", "{dir}/p.png"], "--plot is not available with --scheduler"),
])
def test_what_the_cluster_cannot_do_is_an_error(store, tmp_path, capsys, argv, says):
    argv = [a.format(dir=tmp_path) for a in argv]
    assert cli.main(["surface", str(store[0]), "--rate", "0.05", "--scheduler", "local",
                     *argv]) == 2
    assert says in capsys.readouterr().err


def test_bad_input_fails_on_the_client_with_the_reason(client, store, tmp_path):
    frame = vdask.read_chains(store[:2])
    with pytest.raises(chain.ChainError, match="missing column 'strike'"):
        vdask.surface(frame.drop(columns=["strike"]), RATES)
    with pytest.raises(chain.ChainError, match="unknown time zone"):
        vdask.surface(frame, RATES, timezone="Mars/Olympus")
    with pytest.raises(ValueError, match="workers must be a nonzero integer"):
        vdask.surface(frame, RATES, workers=0)
    odd = tmp_path / "odd.parquet"
    pd.read_parquet(store[1]).drop(columns=["open_interest"]).to_parquet(odd)
    with pytest.raises(chain.ChainError, match="odd.parquet has the columns"):
        vdask.surface(vdask.read_chains([store[0], odd]), RATES, by_chain=True).compute()


@pytest.mark.parametrize("function, args", [
    (vornet.price, (100.0, [90.0, 110.0], 0.5, 0.03, 0.01, 0.25, "c")),
    (vornet.implied_vol, ([12.0, 3.5], 100.0, [90.0, 110.0], 0.5, 0.03, 0.01, ["c", "p"])),
    (vornet.greeks_at_forward, (100.0, 95.0, 0.5, 0.985, 101.0, 0.3, "p")),
    (vornet._engine.price, (np.array([5.0]), np.array([100.0]), np.array([0.98]),
                            np.array([101.0]), np.array([0.2]), np.array([True]))),
    (vornet.baw_price, (5.0, 100.0, 0.98, 101.0, 0.2, "c")),
])
def test_functions_travel_by_reference_and_run_on_the_workers(client, function, args):
    assert pickle.loads(pickle.dumps(function)) is function
    assert len(pickle.dumps(function)) < 100  # a name, not a body
    here, there = function(*args), client.submit(function, *args, pure=False).result()
    assert pickle.dumps(here) == pickle.dumps(there)


def test_without_dask_the_message_says_what_to_install(tmp_path):
    code = ("import sys; sys.modules['dask'] = None; sys.modules['distributed'] = None\n"
            "from vornet import cli\n"
            f"status = cli.main(['surface', {str(tmp_path / 'c.csv')!r}, '--rate', '0.02', "
            "'--scheduler', 'local'])\n"
            "try:\n    import vornet.dask\nexcept ImportError as e:\n    print(e)\n"
            "sys.exit(status)")
    (tmp_path / "c.csv").write_text(demo.make_chain(3, exact=True).chain.to_csv(index=False))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 2
    assert "--scheduler needs Dask: pip install 'vornet[dask]'" in done.stderr
    assert "vornet.dask needs Dask: pip install 'vornet[dask]'" in done.stdout


def test_an_unclosed_quote_stops_the_cluster_run(client, tmp_path, capsys):
    """The file's later rows are not swallowed on the cluster either: the
    run fails naming the line the quote opens on, and the output folder is
    left as it was."""
    frame = demo.make_chain(5).chain.astype(str)
    (tmp_path / "in").mkdir()
    frame.iloc[:40].to_csv(tmp_path / "in" / "a.csv", index=False)
    text = frame.iloc[40:80].to_csv(index=False).splitlines(keepends=True)
    text[6] = text[6].replace(",XYZ,", ',"XYZ,', 1)
    (tmp_path / "in" / "b.csv").write_text("".join(text))
    with pytest.raises(chain.ChainError, match="b.csv: line 7: a quoted field opens here"):
        vdask.read_chains(tmp_path / "in").compute()
    out = tmp_path / "out"
    out.mkdir()
    (out / "part.00000.csv").write_text("an earlier run's\n")
    address = client.scheduler.address
    status = cli.main(["surface", str(tmp_path / "in"), "--rate", "0.02", "-o", f"{out}/",
                       "--scheduler", address, "-q"])
    assert status == 2
    assert "line 7: a quoted field opens here" in capsys.readouterr().err
    assert sorted(p.name for p in out.iterdir()) == ["part.00000.csv"]
    assert (out / "part.00000.csv").read_text() == "an earlier run's\n"


def test_numpy_integers_are_workers(client, store):
    frame = vdask.surface(vdask.read_chains(store[:1]), RATES, workers=np.int64(1))
    assert len(frame.compute()) == len(chain.read_chain(store[0]).frame)
