"""The smiles of a surface as a picture: one figure per underlying and
quote time (see :mod:`vornet.panels`), each a term structure of
at-the-money volatility over a grid of panels, one per expiry.

matplotlib draws here through its own Figure and the Agg renderer, without
pyplot: no window is opened and no global backend is changed, so the
functions are safe inside other programs too.

A PDF holds one page per figure. A PNG or SVG holds one figure: with
several, each goes to a file of its own beside the path given, named after
its underlying and quote time (``smiles_XYZ_2024-03-15T1030.png``). Every
file is written whole (under a temporary name, then renamed), and the
pictures of an earlier run to the same path that this run does not write
again are removed.
"""

from __future__ import annotations

import math
import os
import re
import textwrap
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from vornet.panels import MAX_EXPIRIES, MIN_DAYS, Panel, SmileFigure, smile_figures

if TYPE_CHECKING:
    from vornet.chain import Surface

__all__ = ["write_smiles", "write_figures", "draw_figure", "picture_paths", "stale_pictures"]

#: Colours of calls and puts, in the picture and the report alike.
CALL_COLOUR = "#1f5fa8"
PUT_COLOUR = "#c8402a"
#: The most panels in a row.
MAX_COLUMNS = 6


def write_smiles(result: Surface, path: str | os.PathLike[str], *, title: str | None = None,
                 min_days: float = MIN_DAYS, max_expiries: int = MAX_EXPIRIES,
                 every_quote_time: bool = False, model: str | None = None
                 ) -> list[tuple[Path, list[SmileFigure]]]:
    """Draws the smiles of `result` into `path` (.png, .svg or .pdf): the
    figures of :func:`vornet.panels.smile_figures` (its options here), by
    :func:`write_figures`. Returns each file written with its figures."""
    figures = smile_figures(result, min_days=min_days, max_expiries=max_expiries,
                            every_quote_time=every_quote_time, model=model)
    return write_figures(figures, path, title=title)


def picture_paths(path: str | os.PathLike[str], figures: Sequence[SmileFigure]
                  ) -> list[tuple[Path, list[SmileFigure]]]:
    """Where each figure goes: all to `path` when it is a PDF or there is
    one; else one file each beside it, ``<stem>_<underlying>_<quote
    time><suffix>`` (``-2``, ``-3``... added to a name taken twice)."""
    path = Path(path)
    if len(figures) <= 1 or path.suffix.lower() == ".pdf":
        return [(path, list(figures))]
    placed: list[tuple[Path, list[SmileFigure]]] = []
    taken: set[str] = set()
    for figure in figures:
        name = f"{path.stem}_{figure.name}"
        unique, number = name, 1
        while unique in taken:
            number += 1
            unique = f"{name}-{number}"
        taken.add(unique)
        placed.append((path.with_name(unique + path.suffix), [figure]))
    return placed


def stale_pictures(path: str | os.PathLike[str]) -> list[Path]:
    """The pictures a run with `path` may have written: `path` itself and
    the files beside it named as :func:`picture_paths` names them."""
    path = Path(path)
    folder = path.parent
    named = re.compile(rf"^{re.escape(path.stem)}_.+_\d{{4}}-\d{{2}}-\d{{2}}T\d{{4}}(\d{{2}})?"
                       rf"(-\d+)?{re.escape(path.suffix)}$")
    found = [path] if path.is_file() else []
    if folder.is_dir():
        found += sorted(p for p in folder.iterdir() if named.match(p.name) and p.is_file())
    return found


def write_figures(figures: Sequence[SmileFigure], path: str | os.PathLike[str], *,
                  title: str | None = None) -> list[tuple[Path, list[SmileFigure]]]:
    """Writes `figures` as :func:`picture_paths` places them, each file
    whole, then removes the pictures of an earlier run to `path` that this
    run did not write. Returns each file written with its figures."""
    from vornet.chain.outputs import check_picture, write_file

    check_picture(path)
    placed = picture_paths(path, figures)
    for target, group in placed:
        write_file(target, lambda temporary, group=group, target=target: _save(
            [draw_figure(f, title=title) for f in group] or [draw_figure(None, title=title)],
            temporary, target.suffix[1:].lower()))
    written = {target.absolute() for target, _ in placed}
    for stale in stale_pictures(path):
        if stale.absolute() not in written:
            stale.unlink(missing_ok=True)
    return placed


def _save(drawn: list[Any], target: Path, format: str) -> None:
    """The figures into `target`: one page each in a PDF; SVG text kept as
    text."""
    import matplotlib

    with matplotlib.rc_context({"svg.fonttype": "none", "pdf.fonttype": 42}):
        if format == "pdf":
            from matplotlib.backends.backend_pdf import PdfPages

            with PdfPages(target) as pages:
                for figure in drawn:
                    pages.savefig(figure)
        else:
            drawn[0].savefig(target, dpi=110, format=format)


def _grid(count: int) -> tuple[int, int]:
    columns = min(max(1, math.ceil(math.sqrt(count))), MAX_COLUMNS)
    return columns, max(1, math.ceil(count / columns))


def draw_figure(figure: SmileFigure | None, *, title: str | None = None) -> Any:
    """A matplotlib Figure of one underlying at one quote time: the term
    structure on top, then a panel per expiry sharing the log-moneyness
    axis, and what was left out and why. None draws a figure that says
    there is nothing to draw."""
    from matplotlib.figure import Figure

    panels = figure.panels if figure is not None else []
    columns, rows = _grid(len(panels))
    fig = Figure(figsize=(max(9.0, 3.0 * columns), 2.9 + 2.45 * rows), layout="constrained")
    grid = fig.add_gridspec(rows + 1, columns, height_ratios=[1.25] + [1.0] * rows)
    overview = fig.add_subplot(grid[0, :])
    heading = title or "implied volatility smiles"
    if figure is not None:
        heading = f"{figure.heading}: {heading}"
        if figure.sides:
            heading += " (bars: bid to ask)"
        _draw_term(overview, figure)
        if figure.left_out:
            heading += "\n" + textwrap.fill("not drawn: " + figure.notes, 40 * columns)
    fig.suptitle(heading, fontsize=11)
    if not panels:
        overview.text(0.5, 0.5, "no solved quotes to draw", transform=overview.transAxes,
                      ha="center", va="center", fontsize=11, color="0.4")
        return fig
    first = None
    for number, panel in enumerate(panels):
        ax = fig.add_subplot(grid[1 + number // columns, number % columns], sharex=first)
        first = first or ax
        _draw_panel(ax, panel, bottom=number + columns >= len(panels),
                    left=number % columns == 0)
    first.set_xlim(*figure.x_range)
    _legend(fig, figure.sides)
    return fig


def _draw_term(ax: Any, figure: SmileFigure) -> None:
    """ATM volatility against days to expiry, log-scaled: this figure's
    underlying in colour (expiries without a panel hollow), the others in
    grey."""
    term = figure.term
    own = term[term["own"]]
    for underlying, other in term[~term["own"]].groupby("underlying", sort=False):
        ax.plot(other["days"], other["atm_vol"], "-", color="0.72", linewidth=1.0,
                marker=".", markersize=4)
        ax.annotate(str(underlying), (other["days"].iat[-1], other["atm_vol"].iat[-1]),
                    fontsize=7, color="0.55", xytext=(3, 0), textcoords="offset points",
                    va="center")
    if len(own):
        name = str(figure.underlying) if figure.underlying is not None else "ATM volatility"
        ax.plot(own["days"], own["atm_vol"], "-", color="0.25", linewidth=1.2, label=name)
        drawn = own["drawn"].to_numpy(dtype=bool)
        ax.plot(own["days"][drawn], own["atm_vol"][drawn], "o", color="0.25", markersize=4)
        if (~drawn).any():
            ax.plot(own["days"][~drawn], own["atm_vol"][~drawn], "o", color="0.25",
                    markersize=5, markerfacecolor="white", label="no panel")
    if len(term):
        ax.set_xscale("log")
        ax.legend(fontsize=7, loc="upper right")
    else:
        ax.text(0.5, 0.5, "no ATM volatility", transform=ax.transAxes, ha="center",
                va="center", fontsize=9, color="0.4")
    ax.set_xlabel("days to expiry", fontsize=8)
    ax.set_ylabel("ATM vol (%)", fontsize=8)
    ax.set_title("term structure", fontsize=9)
    ax.grid(True, color="0.92", which="both")
    ax.tick_params(labelsize=7)


def _draw_panel(ax: Any, panel: Panel, *, bottom: bool, left: bool) -> None:
    """One expiry: a bar from bid to ask volatility and a point at the mid's
    for each quote (calls round and blue, puts pointing down and red; out
    of the money filled, in the money hollow and faint), the out-of-the-
    money smile joined, the forward's line."""
    quotes = panel.quotes
    k, vol = quotes["k"].to_numpy(), quotes["vol"].to_numpy()
    call, otm = quotes["call"].to_numpy(dtype=bool), quotes["otm"].to_numpy(dtype=bool)
    bar = quotes["bar"].to_numpy(dtype=bool)
    ax.axvline(0.0, color="0.45", linewidth=0.8, linestyle="--", zorder=1)
    smile = np.argsort(k[otm], kind="stable")
    ax.plot(k[otm][smile], vol[otm][smile], "-", color="0.55", linewidth=0.7, zorder=2)
    for is_call, colour, marker in ((True, CALL_COLOUR, "o"), (False, PUT_COLOUR, "v")):
        for out, alpha in ((True, 0.55), (False, 0.2)):
            picked = (call == is_call) & (otm == out)
            bars = picked & bar
            if bars.any():
                ax.vlines(k[bars], quotes["vol_bid"].to_numpy()[bars],
                          quotes["vol_ask"].to_numpy()[bars], color=colour, alpha=alpha,
                          linewidth=1.0, zorder=3)
            if picked.any():
                ax.plot(k[picked], vol[picked], marker, linestyle="none", color=colour,
                        markersize=3.6 if out else 3.0, alpha=1.0 if out else 0.45,
                        markerfacecolor=colour if out else "none", markeredgewidth=0.8,
                        zorder=4 if out else 3)
    ax.set_ylim(*panel.y_range)
    below, above = panel.off_scale
    off = ", ".join(t for t in (f"{above} above" if above else "",
                                f"{below} below" if below else "") if t)
    if off:
        ax.text(0.98, 0.96, off, transform=ax.transAxes, ha="right", va="top", fontsize=6.5,
                color="0.4")
    if len(quotes) == 0:
        ax.text(0.5, 0.5, "no solved quotes", transform=ax.transAxes, ha="center",
                va="center", fontsize=8, color="0.4")
    ax.set_title(panel.title, fontsize=8)
    ax.grid(True, color="0.93")
    ax.tick_params(labelsize=7, labelbottom=bottom)
    if bottom:
        ax.set_xlabel("ln(K / F)", fontsize=8)
    if left:
        ax.set_ylabel("implied vol (%)", fontsize=8)


def _legend(fig: Any, sides: bool) -> None:
    from matplotlib.lines import Line2D

    handles = [
        Line2D([], [], marker="o", linestyle="none", color=CALL_COLOUR, markersize=4,
               label="call, out of the money"),
        Line2D([], [], marker="v", linestyle="none", color=PUT_COLOUR, markersize=4,
               label="put, out of the money"),
        Line2D([], [], marker="o", linestyle="none", color="0.5", markersize=4,
               markerfacecolor="none", label="in the money"),
        Line2D([], [], linestyle="--", color="0.45", linewidth=0.8, label="forward"),
    ]
    if sides:
        handles.append(Line2D([], [], linestyle="-", color="0.5", linewidth=1.0,
                              label="bid to ask"))
    fig.legend(handles=handles, loc="outside lower center", ncol=len(handles), fontsize=8,
               frameon=False)
