"""The smiles' picture: a panel per expiry with its own volatility range,
bid-ask bars, the term structure, one figure per underlying, the pictures
of a run written whole and those of an earlier run cleared, and the
options checked before any work."""

import re

import numpy as np
import pytest
from matplotlib.collections import LineCollection

import smile_chains
from vornet import cli, panels, plot

PNG = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def twenty():
    return smile_chains.twenty_expiries()


def test_twenty_expiries_one_panel_each_every_date_written_as_text(twenty, tmp_path):
    placed = plot.write_smiles(twenty, tmp_path / "smiles.svg")
    assert [(path.name, len(figures)) for path, figures in placed] == [("smiles.svg", 1)]
    figure = placed[0][1][0]
    assert [p.expiration for p in figure.panels] == list(smile_chains.TWENTY_EXPIRIES)
    # SVG keeps its text as text: every expiry's date can be searched for.
    text = " ".join(re.findall(r">([^<]+)</text>", (tmp_path / "smiles.svg").read_text()))
    for expiry in smile_chains.TWENTY_EXPIRIES:
        assert expiry in text
    assert "(5.5 h)" in text  # the same-day expiry, in hours
    assert "XYZ quoted 2024-03-15 10:30" in text


def test_each_panel_is_scaled_on_its_own_out_of_the_money_points(twenty):
    figure, = panels.smile_figures(twenty)
    for panel in figure.panels:
        otm = panel.quotes["vol"][panel.quotes["otm"]]
        assert panel.y_range[0] < panel.atm_vol < panel.y_range[1]
        # Most of the smile is in view, whatever its wings do.
        inside = otm.between(*panel.y_range)
        assert inside.mean() > 0.8, panel.label
    short, far = figure.panels[0], figure.panels[-1]
    assert short.days < 0.25 and short.y_range[1] < 60.0
    # The same-day expiry's far wings would squash its smile: left above.
    assert short.off_scale[1] > 0 and short.quotes["vol"].max() > short.y_range[1]
    assert far.off_scale == (0, 0) or far.quotes["vol"][far.quotes["otm"]].between(
        *far.y_range).all()


@pytest.mark.parametrize("values, holds, leaves", [
    (np.r_[np.linspace(20, 35, 30), 400.0, 350.0], (20, 35), (350, 400)),
    (np.r_[np.linspace(20, 30, 30), 1.0], (20, 30), (1,)),
    (np.linspace(18, 60, 40), (18, 60), ()),
    (np.array([25.0, 25.0, 25.0]), (25, 25), ()),
    (np.array([30.0, np.nan]), (30, 30), ()),
])
def test_robust_range_keeps_the_smile_and_drops_far_wings(values, holds, leaves):
    lo, hi = panels.robust_range(values)
    assert 0.0 <= lo < holds[0] and holds[1] < hi
    for value in leaves:
        assert not lo <= value <= hi


def bar_segments(drawn):
    """Per panel (after the term structure), the bid-ask bars drawn."""
    return [sum(len(c.get_segments()) for c in ax.collections if isinstance(c, LineCollection))
            for ax in drawn.axes[1:]]


@pytest.mark.parametrize("sides", [True, False])
def test_bid_ask_bars_where_the_surface_has_them(twenty, sides):
    result = twenty if sides else smile_chains.twenty_expiries(sides=False)
    figure, = panels.smile_figures(result, max_expiries=6)
    drawn = plot.draw_figure(figure)
    assert len(drawn.axes) == 1 + 6
    bars = [int(p.quotes["bar"].sum()) for p in figure.panels]
    assert bar_segments(drawn) == bars
    assert (min(bars) >= 5 and sum(bars) > 200) if sides else (max(bars) == 0)
    assert figure.sides is sides
    if sides:
        quotes = figure.panels[3].quotes[figure.panels[3].quotes["bar"]]
        assert (quotes["vol_bid"] <= quotes["vol"] + 1e-9).all()
        assert (quotes["vol"] <= quotes["vol_ask"] + 1e-9).all()


def test_expiries_left_out_are_named_and_stay_in_the_term_structure(twenty):
    figure, = panels.smile_figures(twenty, min_days=1, max_expiries=10)
    assert [p.expiration for p in figure.panels] == list(smile_chains.TWENTY_EXPIRIES[1:11])
    assert figure.left_out == [
        "1 expiry under 1 day (2024-03-15)",
        "9 expiries beyond the nearest 10 (2024-08-16 to 2026-01-16)"]
    assert len(figure.term) == 20 and figure.term["drawn"].sum() == 10
    assert figure.term["own"].all()
    text = plot.draw_figure(figure)._suptitle.get_text()
    assert "not drawn: 1 expiry under 1 day (2024-03-15)" in text


def test_the_model_is_in_the_title(twenty):
    figure, = panels.smile_figures(twenty, max_expiries=1, model="baw")
    assert figure.heading == "XYZ quoted 2024-03-15 10:30, model baw"
    figure, = panels.smile_figures(twenty, max_expiries=1)
    assert "model" not in figure.heading


@pytest.mark.parametrize("options, says", [
    ({"min_days": -1}, "--plot-min-days"), ({"min_days": float("nan")}, "--plot-min-days"),
    ({"max_expiries": 0}, "--plot-max-expiries"), ({"max_expiries": 2.5}, "--plot-max-expiries"),
])
def test_bad_panel_options_are_refused(twenty, options, says):
    with pytest.raises(panels.ChainError, match=says):
        panels.smile_figures(twenty, **options)


def run(*argv):
    return cli.main(["surface", *map(str, argv)])


def test_two_underlyings_two_figures_each_file_named_and_stale_ones_removed(tmp_path, capsys):
    folder = smile_chains.two_underlyings(tmp_path / "chains")
    picture = tmp_path / "smiles.png"
    unrelated = tmp_path / "smiles_notes.png"
    unrelated.write_bytes(b"mine")
    picture.write_bytes(b"an earlier run's")
    assert run(folder, "--rate", "0.05", "--plot", picture) == 0
    out = capsys.readouterr().out
    names = ["smiles_XYZ1_2024-03-15T1530.png", "smiles_XYZ2_2024-03-15T1530.png"]
    for name, underlying in zip(names, ("XYZ1", "XYZ2")):
        assert (tmp_path / name).read_bytes().startswith(PNG)
        assert f"drew 9 smiles ({underlying} quoted 2024-03-15 15:30) in {tmp_path / name}" \
            in out
    # The single picture of an earlier run is not left beside the new ones.
    assert not picture.exists() and unrelated.read_bytes() == b"mine"
    assert sorted(p.name for p in tmp_path.iterdir() if p.is_file()) == sorted(
        names + ["smiles_notes.png"])

    # One underlying now: one picture, the two of the earlier run removed.
    one = tmp_path / "one"
    one.mkdir()
    (folder / "2024-03-15_XYZ2.csv").rename(one / "chain.csv")
    assert run(one, "--rate", "0.05", "--plot", picture) == 0
    assert picture.read_bytes().startswith(PNG)
    assert sorted(p.name for p in tmp_path.iterdir() if p.is_file()) == [
        "smiles.png", "smiles_notes.png"]


@pytest.mark.parametrize("suffix, pages", [(".pdf", 2), (".svg", 1)])
def test_a_pdf_has_a_page_per_figure(tmp_path, capsys, suffix, pages):
    folder = smile_chains.two_underlyings(tmp_path / "chains")
    assert run(folder, "--rate", "0.05", "--plot", tmp_path / f"smiles{suffix}") == 0
    written = sorted(p for p in tmp_path.iterdir() if p.is_file())
    if suffix == ".pdf":
        assert [p.name for p in written] == ["smiles.pdf"]
        assert len(re.findall(rb"/Type\s*/Page\b", written[0].read_bytes())) == pages
    else:
        assert len(written) == 2
        for path, underlying in zip(written, ("XYZ1", "XYZ2")):
            text = path.read_text()
            assert f"{underlying} quoted 2024-03-15 15:30" in text
            assert ("XYZ2" if underlying == "XYZ1" else "XYZ1") in text  # the other, grey
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]


@pytest.mark.parametrize("argv, says", [
    (["--plot", "{d}/smiles.jpg"], "a picture is .png, .svg, .pdf"),
    (["--plot", "{d}/s.png", "--plot-min-days", "-2"], "not a number of days"),
    (["--plot", "{d}/s.png", "--plot-max-expiries", "0"], "--plot-max-expiries"),
    (["--plot", "{d}/same.png", "--report", "{d}/same.png"], "cannot write the report"),
])
def test_bad_picture_options_are_refused_before_any_work(tmp_path, capsys, argv, says):
    folder = smile_chains.two_underlyings(tmp_path / "chains")
    out = tmp_path / "out.csv"
    argv = [a.format(d=tmp_path) for a in argv]
    assert run(folder, "--rate", "0.05", "-o", out, *argv) == 2
    assert says in capsys.readouterr().err
    assert not out.exists()
