"""The yardstick the engine's benchmarks measure against: the implied-volatility
inversion as a plain C++ loop over the same numerics (native_loop.cpp, with
the exact solver's earlier path, baseline_solver.cpp).

It is no part of the package: `make yardstick` builds it (meson.build's
_native_loop, configured with -Dyardstick=true) into .cache/yardstick at the
repository root, and `make test` and `make bench` build it first. The 3.14
and sanitizer runs build their own for their interpreter and name its folder
in VORNET_YARDSTICK, which, when set, replaces the default folder.

    yardstick = <this file, loaded by path>
    native_loop = yardstick.load()   # ImportError naming `make yardstick`

Loaded by path, from the benchmarks and the tests alike: the scripts' folder
is not on sys.path when PYTHONSAFEPATH is set.
"""

import importlib.machinery
import importlib.util
import os
import sys
from pathlib import Path

NAME = "_native_loop"
# Where `make yardstick` builds it (the Makefile's YARDSTICK).
DEFAULT_FOLDER = Path(__file__).resolve().parent.parent / ".cache" / "yardstick"


def folder() -> Path:
    """The folder the module is imported from."""
    return Path(os.environ.get("VORNET_YARDSTICK") or DEFAULT_FOLDER)


def load():
    """The compiled module, imported from folder() once per process; an
    ImportError saying where it was looked for and how to build it when that
    folder holds none for this interpreter."""
    if NAME in sys.modules:
        return sys.modules[NAME]
    where = folder()
    # Only the file itself: the folder is a build folder and is never put on
    # sys.path.
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = where / f"{NAME}{suffix}"
        if path.is_file():
            found = importlib.util.spec_from_file_location(NAME, path)
            module = importlib.util.module_from_spec(found)
            found.loader.exec_module(module)
            sys.modules[NAME] = module
            return module
    raise ImportError(
        f"the benchmarks' yardstick {NAME} is not built for this interpreter "
        f"(Python {sys.version.split()[0]}) in {where}: run `make yardstick`", name=NAME)
