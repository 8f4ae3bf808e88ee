"""The smiles of a surface as a picture.

matplotlib draws here through its own Figure and the Agg renderer, without
pyplot: no window is opened and no global backend is changed, so the
function is safe inside other programs too.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from vornet.chain import Surface

__all__ = ["plot_smiles", "write_smiles"]

#: Beyond this many smiles a colour bar of the expiries replaces the legend.
LEGEND_LIMIT = 12


def write_smiles(result: Surface, path: str | os.PathLike[str], *,
                 title: str | None = None) -> int:
    """:func:`plot_smiles` into `path` (.png, .svg or .pdf), written whole
    or not at all; returns the number of smiles drawn."""
    from vornet.chain.outputs import check_picture, write_file

    check_picture(path)
    drawn = []
    write_file(path, lambda target: drawn.append(
        plot_smiles(result, target, title=title, format=Path(path).suffix[1:].lower())))
    return drawn[0]


def plot_smiles(result: Surface, path: str | os.PathLike[str], *,
                title: str | None = None, format: str | None = None) -> int:
    """Draws one smile per expiry of the latest quote time: the implied
    volatility of the solved out-of-the-money quotes against the
    log-moneyness ln(K / F) to the expiry's forward, calls and puts marked.
    Writes `path` in `format`, by default the one its name says (.png,
    .svg, .pdf, ...), and returns the number of smiles drawn."""
    import matplotlib
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import Normalize
    from matplotlib.figure import Figure

    from vornet.chain.report import varying_keys
    from vornet.chain.statuses import SOLVED

    table, summary = result.table, result.summary
    latest = summary["quote_time"].max() if len(summary) else None
    # Positions in the summary of the latest quote time's expiries with a
    # forward, shortest first.
    picked = np.flatnonzero(((summary["quote_time"] == latest)
                             & np.isfinite(summary["forward"]) & (summary["T"] > 0)).to_numpy())
    picked = picked[np.argsort(summary["T"].to_numpy()[picked], kind="stable")]
    chosen = summary.iloc[picked]
    key_columns = varying_keys(summary)

    solved = (table["status"] == SOLVED).to_numpy(dtype=bool)
    otm = table["otm"].fillna(False).to_numpy(dtype=bool)
    iv = table["iv"].to_numpy(dtype=np.float64)

    fig = Figure(figsize=(10, 6), layout="constrained")
    ax = fig.subplots()
    root_t = np.sqrt(chosen["T"].to_numpy(dtype=np.float64))
    norm = Normalize(vmin=0.0, vmax=float(root_t.max()) if len(root_t) else 1.0)
    cmap = matplotlib.colormaps["viridis"]
    drawn = 0
    for position, smile in zip(picked, chosen.itertuples(index=False)):
        rows = result.rows_of(position)
        rows = rows[solved[rows] & otm[rows]]
        if len(rows) == 0:
            continue
        k = np.log(result.strike[rows] / smile.forward)
        vol = 100.0 * iv[rows]
        calls = result.is_call[rows]
        order = np.argsort(k, kind="stable")
        colour = cmap(0.9 * norm(np.sqrt(smile.T)))
        days = smile.T * 365.0
        keys = "".join(f"{summary[c].iat[position]} " for c in key_columns)
        span = f"{days:.0f} d" if days >= 1.5 else f"{24.0 * days:.1f} h"
        ax.plot(k[order], vol[order], "-", color=colour, linewidth=1.2, alpha=0.8,
                label=f"{keys}{smile.expiration} ({span})")
        ax.plot(k[calls], vol[calls], "o", color=colour, markersize=4)
        ax.plot(k[~calls], vol[~calls], "v", color=colour, markersize=4.5,
                markerfacecolor="white")
        drawn += 1

    heading = title or "Implied volatility smiles (out-of-the-money quotes)"
    if latest is not None:
        heading += f", quoted {latest[:16]}"
    _decorate(fig, ax, heading, drawn, ScalarMappable(norm=norm, cmap=cmap))
    fig.savefig(os.fspath(path), dpi=130, format=format)
    return drawn


def _decorate(fig: Any, ax: Any, heading: str, drawn: int, scale: Any) -> None:
    """Axes, title, grid, and the legend of the expiries (a colour bar of
    sqrt(T) beyond LEGEND_LIMIT of them) with the call and put markers."""
    from matplotlib.lines import Line2D

    ax.axvline(0.0, color="0.6", linewidth=0.8, linestyle=":")
    ax.set_xlabel("log-moneyness ln(K / F)", fontsize=11)
    ax.set_ylabel("implied volatility (%)", fontsize=11)
    ax.grid(True, color="0.92")
    ax.tick_params(labelsize=10)
    ax.set_title(heading, fontsize=12)
    markers = [Line2D([], [], marker="o", linestyle="none", color="0.3", label="call"),
               Line2D([], [], marker="v", linestyle="none", color="0.3",
                      markerfacecolor="white", label="put")]
    if drawn == 0:
        ax.text(0.5, 0.5, "no solved out-of-the-money quotes", transform=ax.transAxes,
                ha="center", va="center", fontsize=12, color="0.4")
    elif drawn <= LEGEND_LIMIT:
        handles, _ = ax.get_legend_handles_labels()
        ax.legend(handles=handles + markers, title="expiry", fontsize=9, title_fontsize=10,
                  loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0)
    else:
        ax.legend(handles=markers, fontsize=9, loc="upper right")
        bar = fig.colorbar(scale, ax=ax)
        bar.set_label("sqrt(T), T in years", fontsize=10)
