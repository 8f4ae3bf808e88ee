"""The check that an interpreter running from an unpacked prefix maps no
shared library from outside it (tools/pytest_in_prefix.py)."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

TOOL = pathlib.Path(__file__).resolve().parent.parent / "tools" / "pytest_in_prefix.py"


@pytest.fixture(scope="module")
def tool():
    location = importlib.util.spec_from_file_location("pytest_in_prefix", TOOL)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


def mapped_libc():
    """The real path of the C library this process maps."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split(None, 5)[-1].strip()
            if os.path.basename(path).startswith("libc.so") or os.path.basename(path).startswith("libc-"):
                return os.path.realpath(path)
    pytest.skip("no C library in /proc/self/maps")


@pytest.mark.parametrize("allowed, reported", [
    (lambda libc: [], True),
    (lambda libc: [os.path.dirname(libc)], False),
    (lambda libc: [os.path.dirname(os.path.dirname(libc))], False),
    # a folder whose name is a prefix of the library's folder's name
    (lambda libc: [os.path.dirname(libc)[:-1]], True),
    (lambda libc: [libc], False),
], ids=["nothing-allowed", "its-folder", "above-it", "name-prefix", "the-file"])
def test_library_outside_the_allowed_folders_is_reported(tool, allowed, reported):
    libc = mapped_libc()
    foreign = [os.path.realpath(p) for p in tool.foreign_libraries(allowed(libc))]
    assert (libc in foreign) == reported


def test_run_fails_before_the_suite_when_a_library_is_foreign(tmp_path):
    """With a prefix that holds none of the interpreter's libraries, the run
    stops at start with status 1 and names the C library."""
    run = subprocess.run([sys.executable, str(TOOL), str(tmp_path), "--version"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 1
    assert "FAILED: at start" in run.stderr
    assert os.path.basename(mapped_libc()) in run.stderr
