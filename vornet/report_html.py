"""The smiles of a surface as an interactive page: one self-contained HTML
file with the panels of the picture (:mod:`vornet.panels`, the same
figures), drawn with plotly, whose script is embedded in the page so that
it opens offline and fetches nothing.

Hovering a point shows its quote: strike, kind, bid, ask, mid, the
volatilities of the mid, bid and ask, and its status. A box per expiry
shows or hides its panel; every panel can be zoomed on its own. A script
error on the page (in plotly or in the page's own code) is written at its
top rather than lost.

plotly is an extra: ``pip install 'vornet[report]'``.
"""

from __future__ import annotations

import html
import math
import os
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from vornet.chain.errors import ChainError
from vornet.panels import MAX_EXPIRIES, MIN_DAYS, Panel, SmileFigure, smile_figures
from vornet.plot import CALL_COLOUR, PUT_COLOUR

if TYPE_CHECKING:
    from vornet.chain import Surface

__all__ = ["INSTALL", "check_report", "write_report", "write_report_figures", "report_page"]

#: How to get what the report needs.
INSTALL = "pip install 'vornet[report]'"
#: A panel's size on the page, in pixels.
PANEL_WIDTH, PANEL_HEIGHT = 380, 300

# Collects every script error and rejected promise of the page and writes
# them at its top: loaded before plotly's own script, so that its errors
# are caught too.
_ERROR_HOOK = """
window.vornetErrors = [];
function vornetShowErrors() {
  var box = document.getElementById("script-errors");
  if (!box || !window.vornetErrors.length) return;
  box.textContent = "This page's script failed: " + window.vornetErrors.join("; ");
  box.hidden = false;
}
window.addEventListener("error", function (event) {
  window.vornetErrors.push(String(event.message || event.type));
  vornetShowErrors();
});
window.addEventListener("unhandledrejection", function (event) {
  window.vornetErrors.push(String(event.reason));
  vornetShowErrors();
});
document.addEventListener("DOMContentLoaded", vornetShowErrors);
"""

# The expiry boxes: each shows or hides its panel; "all" and "none" set
# every box of their figure.
_TOGGLES = """
document.querySelectorAll("fieldset.expiries").forEach(function (boxes) {
  function show(box) {
    var panel = document.getElementById(box.dataset.panel);
    panel.hidden = !box.checked;
    if (box.checked) {
      var plot = panel.querySelector(".js-plotly-plot");
      if (plot) Plotly.Plots.resize(plot);
    }
  }
  boxes.querySelectorAll("input[type=checkbox]").forEach(function (box) {
    box.addEventListener("change", function () { show(box); });
  });
  boxes.querySelectorAll("button[data-set]").forEach(function (button) {
    button.addEventListener("click", function () {
      boxes.querySelectorAll("input[type=checkbox]").forEach(function (box) {
        box.checked = button.dataset.set === "all";
        show(box);
      });
    });
  });
});
"""

_STYLE = """
body { font-family: sans-serif; margin: 1em 2em; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
#script-errors { background: #fdd; border: 1px solid #c00; padding: 0.5em; }
.left-out { color: #555; }
fieldset.expiries { border: 1px solid #ccc; margin: 0.6em 0; font-size: 0.9em; }
fieldset.expiries label { display: inline-block; margin-right: 1em; white-space: nowrap; }
.panels { display: flex; flex-wrap: wrap; gap: 6px; }
.panel[hidden] { display: none; }
"""


def check_report(path: str | os.PathLike[str], inputs: Sequence[Path] = ()) -> None:
    """Raises ChainError, before any work, unless the report can be
    written to `path`: plotly is installed, the name ends in .html (or
    .htm), its folder exists and it is no input file."""
    from vornet.chain.outputs import check_summary

    if Path(path).suffix.lower() not in (".html", ".htm"):
        raise ChainError(f"cannot write the report {Path(path).name}: name it .html")
    try:
        import plotly  # noqa: F401
    except ImportError:
        raise ChainError(f"the report needs plotly: {INSTALL}") from None
    check_summary(path, inputs)


def write_report(result: Surface, path: str | os.PathLike[str], *, title: str | None = None,
                 min_days: float = MIN_DAYS, max_expiries: int = MAX_EXPIRIES,
                 every_quote_time: bool = False, model: str | None = None
                 ) -> list[SmileFigure]:
    """Writes the report of `result`'s smiles (the figures of
    :func:`vornet.panels.smile_figures`, its options here) to `path`, whole
    or not at all; returns the figures."""
    figures = smile_figures(result, min_days=min_days, max_expiries=max_expiries,
                            every_quote_time=every_quote_time, model=model)
    write_report_figures(figures, path, title=title)
    return figures


def write_report_figures(figures: Sequence[SmileFigure], path: str | os.PathLike[str], *,
                         title: str | None = None) -> None:
    """Writes the page of `figures` to `path`, whole or not at all."""
    from vornet.chain.outputs import write_file

    check_report(path)
    page = report_page(figures, title=title)
    write_file(path, lambda target: Path(target).write_text(page, encoding="utf-8"))


def report_page(figures: Sequence[SmileFigure], *, title: str | None = None) -> str:
    """The page, as text: per figure its heading, what was left out, the
    term structure, a box per expiry and a plot per panel."""
    heading = title or "Implied volatility smiles"
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f"<title>{html.escape(heading)}</title>",
        f"<script>{_ERROR_HOOK}</script>",
        f"<style>{_STYLE}</style>",
        "</head><body>",
        f"<h1>{html.escape(heading)}</h1>",
        '<div id="script-errors" hidden></div>',
        "<p>Each panel: the implied volatility of every quote's mid against ln(K / F), calls "
        "as circles, puts as triangles, out-of-the-money quotes filled, the bars from the "
        "bid's volatility to the ask's; hover a point for its quote. Drag to zoom, "
        "double-click to come back.</p>",
    ]
    embed = True  # plotly's script goes with the first plot, once
    for number, figure in enumerate(figures):
        parts.append(f'<section class="figure" id="figure-{number}">')
        parts.append(f"<h2>{html.escape(figure.heading)}</h2>")
        if figure.left_out:
            parts.append(f'<p class="left-out">Not drawn: {html.escape(figure.notes)}.</p>')
        parts.append('<div class="overview">'
                     + _plot_html(_overview(figure), f"overview-{number}", embed) + "</div>")
        embed = False
        if not figure.panels:
            parts.append("<p>No solved quotes to draw.</p></section>")
            continue
        parts.append('<fieldset class="expiries"><legend>Expiries shown</legend>'
                     '<button type="button" data-set="all">all</button> '
                     '<button type="button" data-set="none">none</button> ')
        for p, panel in enumerate(figure.panels):
            parts.append(f'<label><input type="checkbox" checked '
                         f'data-panel="panel-{number}-{p}"> {html.escape(panel.label)}</label>')
        parts.append('</fieldset><div class="panels">')
        for p, panel in enumerate(figure.panels):
            plot = _plot_html(_panel(panel, figure), f"plot-{number}-{p}", False)
            parts.append(f'<div class="panel" id="panel-{number}-{p}">{plot}</div>')
        parts.append("</div></section>")
    parts.append(f"<script>{_TOGGLES}</script>")
    parts.append("</body></html>")
    return "\n".join(parts)


def _plot_html(figure: Any, div_id: str, embed: bool) -> str:
    return figure.to_html(full_html=False, include_plotlyjs=embed, div_id=div_id,
                          config={"displaylogo": False, "responsive": False})


def _text(value: Any, digits: int | None = None) -> str:
    """A value for the hover text: numbers to `digits` places, missing ones
    as a dash."""
    if value is None:
        return "-"
    if isinstance(value, (float, np.floating)):
        if not math.isfinite(value):
            return "-"
        return f"{value:.{digits}f}" if digits is not None else f"{value:g}"
    text = str(value).strip()
    return text if text and text.lower() != "nan" else "-"


def _points(panel: Panel, is_call: bool, colour: str) -> Any:
    """A panel's calls or puts: the mid's volatility, the bar from bid to
    ask, full for those out of the money and faint for the others."""
    import plotly.graph_objects as go

    quotes = panel.quotes[panel.quotes["call"] == is_call]
    vol = quotes["vol"].to_numpy(dtype=np.float64)
    bar = quotes["bar"].to_numpy(dtype=bool)
    up = np.where(bar, quotes["vol_ask"].to_numpy(dtype=np.float64) - vol, np.nan)
    down = np.where(bar, vol - quotes["vol_bid"].to_numpy(dtype=np.float64), np.nan)
    otm = quotes["otm"].to_numpy(dtype=bool)
    kind = "call" if is_call else "put"
    custom = [[_text(r.strike), kind, _text(r.bid), _text(r.ask), _text(r.mid),
               _text(r.vol_bid, 2), _text(r.vol_ask, 2), _text(r.status),
               "out of the money" if r.otm else "in the money"]
              for r in quotes.itertuples(index=False)]
    return go.Scatter(
        x=quotes["k"].to_numpy(), y=vol, mode="markers", name=kind, legendgroup=kind,
        showlegend=False,
        marker=dict(symbol="circle" if is_call else "triangle-down", color=colour,
                    size=np.where(otm, 7, 6).tolist(), opacity=np.where(otm, 1.0, 0.4).tolist(),
                    line=dict(color=colour, width=1)),
        error_y=dict(type="data", symmetric=False, array=up, arrayminus=down, color=colour,
                     thickness=1, width=0, visible=bool(bar.any())),
        customdata=custom,
        hovertemplate=("<b>%{customdata[0]} %{customdata[1]}</b> (%{customdata[8]})<br>"
                       "bid %{customdata[2]}, ask %{customdata[3]}, mid %{customdata[4]}<br>"
                       "vol %{y:.2f} % (bid %{customdata[5]}, ask %{customdata[6]})<br>"
                       "ln(K/F) %{x:.4f}<br>%{customdata[7]}<extra></extra>"))


def _panel(panel: Panel, figure: SmileFigure) -> Any:
    import plotly.graph_objects as go

    quotes = panel.quotes
    otm = quotes[quotes["otm"]].sort_values("k")
    fig = go.Figure()
    fig.add_trace(go.Scatter(x=otm["k"].to_numpy(), y=otm["vol"].to_numpy(), mode="lines",
                             line=dict(color="#999", width=1), hoverinfo="skip",
                             showlegend=False))
    fig.add_trace(_points(panel, False, PUT_COLOUR))
    fig.add_trace(_points(panel, True, CALL_COLOUR))
    fig.add_vline(x=0.0, line=dict(color="#777", width=1, dash="dash"))
    below, above = panel.off_scale
    off = ", ".join(t for t in (f"{above} above" if above else "",
                                f"{below} below" if below else "") if t)
    if off:
        fig.add_annotation(text=off, xref="paper", yref="paper", x=1, y=1, showarrow=False,
                           xanchor="right", yanchor="top", font=dict(size=10, color="#666"))
    fig.update_layout(
        title=dict(text=html.escape(panel.title).replace("\n", "<br>"), font=dict(size=12),
                   x=0.5),
        width=PANEL_WIDTH, height=PANEL_HEIGHT, margin=dict(l=50, r=10, t=50, b=40),
        template="plotly_white", hovermode="closest")
    fig.update_xaxes(range=list(figure.x_range), title=dict(text="ln(K / F)",
                                                            font=dict(size=11)))
    fig.update_yaxes(range=list(panel.y_range), title=dict(text="implied vol (%)",
                                                           font=dict(size=11)))
    return fig


def _overview(figure: SmileFigure) -> Any:
    """ATM volatility against days to expiry: this figure's underlying in
    colour (expiries without a panel hollow), the others in grey."""
    import plotly.graph_objects as go

    fig = go.Figure()
    term = figure.term
    for underlying, other in term[~term["own"].astype(bool)].groupby("underlying", sort=False):
        fig.add_trace(go.Scatter(
            x=other["days"], y=other["atm_vol"], mode="lines+markers", name=str(underlying),
            line=dict(color="#bbb", width=1), marker=dict(size=4, color="#bbb"),
            customdata=other["expiration"],
            hovertemplate=(f"{html.escape(str(underlying))} %{{customdata}}: "
                           "%{x:.1f} d, ATM %{y:.2f} %<extra></extra>")))
    own = term[term["own"].astype(bool)]
    if len(own):
        drawn = own["drawn"].to_numpy(dtype=bool)
        fig.add_trace(go.Scatter(
            x=own["days"], y=own["atm_vol"], mode="lines+markers",
            name=str(figure.underlying) if figure.underlying is not None else "ATM vol",
            line=dict(color="#333", width=1.5),
            marker=dict(size=7, color=np.where(drawn, "#333", "white").tolist(),
                        line=dict(color="#333", width=1)),
            customdata=own["expiration"],
            hovertemplate="%{customdata}: %{x:.2f} d, ATM %{y:.2f} %<extra></extra>"))
    fig.update_layout(
        title=dict(text="Term structure: ATM volatility", font=dict(size=13)),
        height=320, margin=dict(l=60, r=20, t=50, b=45), template="plotly_white")
    fig.update_xaxes(type="log", title=dict(text="days to expiry (log scale)"))
    fig.update_yaxes(title=dict(text="ATM vol (%)"))
    return fig
