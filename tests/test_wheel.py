"""The package as a user installs it: the wheel built from the source tree,
its metadata, its compiled modules (the benchmarks' yardstick is not one of
them), `vornet demo` run from a new environment that has the wheel and
the dependencies it declares, nothing else, and mypy --strict, installed
there with pandas' stubs, accepting a file that uses every public name.

Slow (a build and an install from PyPI) and marked `wheel`: the runs on
CPython 3.14 and under the sanitizers leave it out."""

import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.wheel

ROOT = Path(__file__).resolve().parent.parent


def run(command, **kwargs):
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          timeout=1200, **kwargs)
    assert done.returncode == 0, f"{command}:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_the_wheel_installs_the_command_with_its_dependencies(tmp_path):
    before = sorted(p.name for p in ROOT.iterdir())
    # The build tools (meson, ninja) are those of this environment, as the
    # set-up installs them; the build folder is the test's own.
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}"
                                f"{os.environ.get('PATH', '')}")
    env.pop("PYTHONPATH", None)
    dist = tmp_path / "dist"
    run([sys.executable, "-m", "pip", "wheel", "--quiet", "--no-deps", "--no-build-isolation",
         "--wheel-dir", dist, f"--config-settings=build-dir={tmp_path / 'build'}", ROOT],
        env=env, cwd=tmp_path)
    assert sorted(p.name for p in ROOT.iterdir()) == before  # nothing left in the tree
    (wheel,) = dist.glob("vornet-*.whl")

    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        metadata = archive.read(f"{info}/METADATA").decode()
        entry_points = archive.read(f"{info}/entry_points.txt").decode()
        licence = archive.read(f"{info}/licenses/LICENSE.txt").decode()
    headers = metadata.split("\n\n", 1)[0].splitlines()
    assert "License-Expression: BSD-3-Clause" in headers
    assert "License-File: LICENSE.txt" in headers
    assert licence.startswith("BSD 3-Clause License")
    requires = [h.split(": ", 1)[1].replace(" ", "") for h in headers
                if h.startswith("Requires-Dist: ")]
    for name in ("numpy", "scipy", "pandas", "matplotlib", "tqdm"):
        # each with a lower bound, and not only with an extra
        assert any(re.fullmatch(rf"{name}[<>=,.0-9]*>=[.0-9]+[<>=,.0-9]*", r)
                   for r in requires), requires
    assert any(r.startswith("pyarrow") and 'extra=="parquet"' in r for r in requires)
    assert "vornet = vornet.cli:main" in entry_points
    for module in ("cli", "chain", "demo", "plot", "__main__"):
        # a module, or a package of that name
        assert f"vornet/{module}.py" in names or f"vornet/{module}/__init__.py" in names
    compiled = {n.split("/")[-1].split(".")[0] for n in names if n.endswith(".so")}
    assert {"vornet_core", "_engine"} <= compiled, names
    assert not any("_native_loop" in n or "benchmarks" in n for n in names), names

    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", venv], cwd=tmp_path)
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "--quiet", wheel], env=env, cwd=tmp_path)
    where = run([python, "-c", "import vornet.chain; print(vornet.chain.__file__)"],
                env=env, cwd=tmp_path)
    assert Path(where.strip()).is_relative_to(venv)

    output = run([venv / "bin" / "vornet", "demo", "--out-dir", tmp_path / "demo"], env=env,
                 cwd=tmp_path)
    for text in ("true fwd", "solved/usable", "invalid row: line ", "smiles.png"):
        assert text in output
    picture = tmp_path / "demo" / "smiles.png"
    assert picture.read_bytes().startswith(b"\x89PNG") and picture.stat().st_size > 20_000
    assert (tmp_path / "demo" / "surface.csv").stat().st_size > 0

    # The type information comes with the wheel: the checker, run away from
    # the source tree, reads the installed package.
    assert "vornet/py.typed" in names and "vornet/market.pyi" in names
    run([python, "-m", "pip", "install", "--quiet", "mypy", "pandas-stubs"], env=env,
        cwd=tmp_path)
    user = tmp_path / "checked" / "uses_vornet.py"
    user.parent.mkdir()
    user.write_text((ROOT / "tests" / "typing_user.py").read_text())
    run([python, "-m", "mypy", "--strict", "--no-incremental", user], env=env, cwd=user.parent)
