"""What a user discovers: docstrings that run, help() with signatures, the
version, and type information a checker reads."""

import doctest
import importlib.metadata
import inspect
import pathlib
import pydoc
import shutil
import subprocess
import sys
import textwrap

import pytest

import vornet
import vornet.market

PUBLIC_FUNCTIONS = ["price", "implied_vol", "greeks", "price_at_forward",
                    "implied_vol_at_forward", "greeks_at_forward"]


def test_docstring_examples_run():
    result = doctest.testmod(vornet.market, optionflags=doctest.ELLIPSIS)
    assert result.attempted >= 2 * len(PUBLIC_FUNCTIONS)
    assert result.failed == 0


@pytest.mark.parametrize("name", PUBLIC_FUNCTIONS)
def test_each_function_is_documented_numpy_style(name):
    doc = inspect.getdoc(getattr(vornet, name))
    for section in ("Parameters\n----------", "Returns\n-------", "Examples\n--------"):
        assert section in doc
    assert "_sections}" not in doc


def test_help_lists_every_function_with_its_signature():
    # pydoc folds long signatures over lines, and from Python 3.14 shows
    # annotations unquoted: compare without white space and quotes.
    def plain(text):
        return "".join(text.replace("'", "").split())

    text = plain(pydoc.render_doc(vornet, renderer=pydoc.plaintext))
    for name in PUBLIC_FUNCTIONS:
        signature = plain(str(inspect.signature(getattr(vornet, name))))
        assert f"{name}{signature}" in text
    assert "kind:KindLike,*,exercise:ExerciseLike=american,workers:int=1" in text


def test_version_is_the_distributions():
    assert vornet.__version__ == importlib.metadata.version("vornet")


@pytest.mark.skipif(shutil.which("mypy", path=str(pathlib.Path(sys.executable).parent)) is None,
                    reason="mypy is not installed in this environment")
def test_a_type_checker_sees_the_signatures(tmp_path):
    sample = tmp_path / "sample.py"
    sample.write_text(textwrap.dedent("""
        import numpy as np
        import vornet
        from vornet import vornet_core, _engine

        p: float = vornet.baw_price(100.0, 100.0, 0.95, 105.0, 0.2, "c")
        v: float = vornet_core.baw_implied_vol(p, 100.0, 100.0, 0.95, 105.0, "c")
        s, status = _engine.implied_sigma(1.0, 100.0, 100.0, 0.95, 105.0, True)
        g = vornet.greeks(100.0, 100.0, 1.0, 0.05, 0.0, 0.2, "c")
        delta = g.delta
        vornet.price(100.0, 100.0, 1.0, 0.05)
        vornet_core.find_forward_baw([1.0], [1.0], [100.0], 100.0)
        reveal_type(vornet.IVStatus.SOLVED)
    """))
    # The checker reads the package from the source tree, as an editable
    # install leaves it.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir",
         str(tmp_path / "cache"), str(sample)], capture_output=True, text=True,
        cwd=pathlib.Path(__file__).resolve().parent.parent)
    lines = result.stdout.splitlines()
    # The two wrong calls, and only they, are errors.
    errors = [line for line in lines if ": error:" in line]
    assert len(errors) == 2, result.stdout
    assert 'No overload variant of "price" matches argument types' in errors[0]
    assert 'Missing positional argument "D" in call to "find_forward_baw"' in errors[1]
    assert any("IVStatus" in line for line in lines if "note: Revealed type" in line)
