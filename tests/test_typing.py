"""What a type checker sees: the stub of vornet.market is the one its tool
writes, mypy --strict accepts a user's file that uses every public name and
sees floats, arrays and Series come back where they do, refuses a method or
an errors value that does not exist; and the same file, run, gets what the
checker was told."""

import importlib.util
import pathlib
import subprocess
import sys
import types
import typing

import numpy as np
import numpy.typing as npt
import pytest

import vornet

pd = pytest.importorskip("pandas")

ROOT = pathlib.Path(__file__).resolve().parent.parent
USER_FILE = ROOT / "tests" / "typing_user.py"


def test_the_stub_is_what_its_tool_writes():
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "market-stub"), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def mypy(tmp_path, *files):
    """mypy --strict on `files`, reading the package from the source tree."""
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed in this environment")
    if importlib.util.find_spec("pandas-stubs") is None and \
            importlib.util.find_spec("pandas_stubs") is None:
        stubs = pathlib.Path(pd.__file__).parent.parent / "pandas-stubs"
        if not stubs.exists():
            pytest.skip("pandas-stubs is not installed in this environment")
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--cache-dir", str(tmp_path / "cache"), *map(str, files)],
                          capture_output=True, text=True, cwd=ROOT)


def test_strict_mypy_accepts_a_file_that_uses_every_public_name(tmp_path):
    result = mypy(tmp_path, USER_FILE)
    assert result.returncode == 0, result.stdout + result.stderr
    # Every public name of the package and of vornet.market is used.
    text = USER_FILE.read_text()
    for name in (*vornet.__all__, "baw_price", "baw_implied_vol", "vectorized_baw_implied_vol",
                 "find_forward_baw", "solve_at_forward", "__version__"):
        assert name in text, name


def test_strict_mypy_refuses_unknown_options(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "import vornet\n"
        "vornet.implied_vol(5.0, 100.0, 95.0, 0.5, 0.03, 0.01, 'c', method='newton')\n"
        "vornet.implied_vol(5.0, 100.0, 95.0, 0.5, 0.03, 0.01, 'c', errors='coerce')\n"
        "vornet.price(100.0, 95.0, 0.5, 0.03, 0.01, 0.25)\n"
        "x: str = vornet.price(100.0, 95.0, 0.5, 0.03, 0.01, 0.25, 'c')\n")
    result = mypy(tmp_path, wrong)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in errors] == [2, 3, 4, 5], result.stdout


class _SeriesOf:
    """Stands for pandas.Series[T] in the checker's strings (pandas' Series
    takes no parameters at run time): ("series", T)."""

    def __class_getitem__(cls, item):
        return ("series", item)


def check(value, expected):
    """What assert_type claims, checked at run time."""
    if isinstance(expected, str):
        expected = eval(expected, {"pd": types.SimpleNamespace(Series=_SeriesOf)})
    origin = typing.get_origin(expected)
    if isinstance(expected, tuple):  # a Series of floats or of codes
        assert isinstance(value, pd.Series), value
        assert value.dtype == (np.float64 if expected[1] is float else np.int8), value.dtype
    elif origin is tuple:
        assert isinstance(value, tuple)
        for part, want in zip(value, typing.get_args(expected), strict=True):
            check(part, want)
    elif origin is vornet.Greeks:
        assert isinstance(value, vornet.Greeks)
        for part in value:
            check(part, typing.get_args(expected)[0])
    elif origin is npt.NDArray or origin is np.ndarray:
        # NDArray[T] (an alias of ndarray[shape, dtype[T]]) or ndarray itself
        args = typing.get_args(expected)
        dtype = args[0] if origin is npt.NDArray else typing.get_args(args[1])[0]
        assert type(value) is np.ndarray and value.dtype == dtype, (value, expected)
    elif expected is float:
        assert type(value) is float, value
    else:
        assert origin is None and isinstance(value, expected), (value, expected)
    return value


def test_the_file_gets_what_the_checker_sees(monkeypatch):
    monkeypatch.setattr(typing, "assert_type", check)
    location = importlib.util.spec_from_file_location("typing_user", USER_FILE)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    assert module.version == vornet.__version__
