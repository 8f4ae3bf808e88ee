"""The interactive report: one HTML file that holds its own script, a
plot per panel with each quote in its hover text, refused before any work
without plotly; and loaded in headless Chromium, where no script error
occurs and every plot is rendered."""

import os
import re
import shutil
import subprocess
import sys

import pytest

import smile_chains
from vornet import cli, panels

plotly = pytest.importorskip("plotly", reason="the report needs plotly: pip install "
                                              "'vornet[report]'")

from vornet import report_html  # noqa: E402


@pytest.fixture(scope="module")
def figures():
    return panels.smile_figures(smile_chains.twenty_expiries(), max_expiries=8)


def test_the_page_holds_its_script_and_each_quote(figures, tmp_path):
    path = tmp_path / "report.html"
    report_html.write_report_figures(figures, path)
    page = path.read_text()
    # Nothing to fetch: no script, style or frame from elsewhere, and
    # plotly's own script inside, once.
    assert not re.search(r"""<(script|link|iframe|img)[^>]+(src|href)=["']?(https?:)?//""",
                         page)
    assert page.count("Plotly.newPlot(") == 8 + 1
    assert len(re.findall(r"<script[^>]*>\s*/\*\*\s*\n?\s*\* plotly\.js", page)) <= 1
    assert len(page) > 1_000_000
    # A quote's hover text: strike, kind, bid, ask, mid, status.
    quote = figures[0].panels[2].quotes.iloc[0]
    hover = [f"{quote.strike:g}", "call" if quote.call else "put", f"{float(quote.bid):g}",
             f"{float(quote.ask):g}", f"{quote.mid:g}", f"{quote.vol_bid:.2f}",
             f"{quote.vol_ask:.2f}", quote.status]
    assert re.search(r"\[" + r",\s*".join(re.escape(f'"{v}"') for v in hover), page)
    for label in (p.label for p in figures[0].panels):
        assert f"> {label}</label>" in page


def test_without_plotly_the_report_is_refused_before_any_work(tmp_path, capsys, monkeypatch):
    folder = smile_chains.two_underlyings(tmp_path / "chains")
    monkeypatch.setitem(sys.modules, "plotly", None)
    out = tmp_path / "out.csv"
    assert cli.main(["surface", str(folder), "--rate", "0.05", "-o", str(out), "--report",
                     str(tmp_path / "report.html")]) == 2
    assert "the report needs plotly: pip install 'vornet[report]'" in capsys.readouterr().err
    assert not out.exists()


def test_the_command_writes_the_report_of_both_underlyings(tmp_path, capsys):
    folder = smile_chains.two_underlyings(tmp_path / "chains")
    path = tmp_path / "report.html"
    assert cli.main(["surface", str(folder), "--rate", "0.05", "--report", str(path),
                     "--plot-max-expiries", "4"]) == 0
    out = capsys.readouterr().out
    assert f"wrote the report of 8 smiles in 2 figures to {path}" in out
    assert "not drawn (XYZ1 quoted 2024-03-15 15:30): 5 expiries beyond the nearest 4" in out
    page = path.read_text()
    assert page.count("Plotly.newPlot(") == 2 * (4 + 1)
    for heading in ("XYZ1 quoted 2024-03-15 15:30", "XYZ2 quoted 2024-03-15 15:30"):
        assert f"<h2>{heading}</h2>" in page


def chromium():
    found = shutil.which("chromium")
    if found is None:
        pytest.skip("Debian's chromium is not installed (tools/install-chromium installs it)")
    return found


def load(page_path, tmp_path, *extra):
    """Chromium's DOM of the page once its scripts ran; never under a
    preloaded sanitizer library."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                        "PYTHONMALLOC")}
    done = subprocess.run(
        [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-dev-shm-usage", f"--user-data-dir={tmp_path / 'profile'}",
         "--virtual-time-budget=8000", "--window-size=1500,2000", *extra,
         page_path.as_uri()],
        capture_output=True, text=True, env=env, timeout=180)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


def error_box(dom):
    return re.search(r'<div id="script-errors"( hidden="")?>([^<]*)</div>', dom)


def test_the_report_in_a_browser(figures, tmp_path):
    path = tmp_path / "report.html"
    report_html.write_report_figures(figures, path)
    dom = load(path, tmp_path, "--dump-dom")
    box = error_box(dom)
    assert box is not None and box.group(1) and box.group(2) == "", box and box.group(2)
    # One rendered plot per panel, and the term structure.
    plots = re.findall(r'<div id="(overview-\d+|plot-\d+-\d+)" class="plotly-graph-div '
                       r'js-plotly-plot"', dom)
    assert sorted(plots) == sorted(["overview-0"] + [f"plot-0-{i}" for i in range(8)])
    assert dom.count('class="main-svg"') >= 9 * 2
    # Each panel's plot drew its points.
    assert dom.count('class="scatterlayer') >= 9

    # The hook does see a failing script: the same page with one broken
    # line says so.
    broken = tmp_path / "broken.html"
    broken.write_text(path.read_text().replace("</body>", "<script>notDefined();</script></body>"))
    box = error_box(load(broken, tmp_path, "--dump-dom"))
    assert box is not None and not box.group(1) and "notDefined" in box.group(2)
