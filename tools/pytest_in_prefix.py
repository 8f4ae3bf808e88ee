"""Runs pytest in this interpreter, then checks that the process mapped no
shared library from outside the interpreter's own prefix.

usage: PYTHON tools/pytest_in_prefix.py PREFIX [PYTEST-ARGUMENT...]
       (PREFIX "-": an interpreter of the system's own, libraries unchecked)

For an interpreter unpacked with its own C library under PREFIX: a library
the system's loader cache supplies instead (the system's libc, libm,
libstdc++, ...) would mix two C libraries in one process, which crashes in
odd places or not at all. Shared objects under PREFIX and under the virtual
environment (sys.prefix, where the wheels and the package are installed)
are allowed, and so is the benchmarks' yardstick, built for this interpreter
in the folder VORNET_YARDSTICK names; any other is reported and fails the
run, as does a vornet imported from anywhere but the virtual environment.
The exit status is pytest's, or 1 for such a failure when pytest passed.
"""

import os
import sys


def foreign_libraries(allowed):
    """Paths of the mapped shared objects that lie under none of `allowed`."""
    found = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) < 6:
                continue
            path = fields[5].strip()
            if not path.startswith("/") or ".so" not in os.path.basename(path):
                continue
            real = os.path.realpath(path.removesuffix(" (deleted)"))
            if not any(real == root or real.startswith(root + os.sep) for root in allowed):
                found.add(path)
    return sorted(found)


def report(when, allowed):
    foreign = foreign_libraries(allowed)
    for path in foreign:
        print(f"test-314: FAILED: {when}, the interpreter maps {path}, "
              f"which is outside {allowed[0]}", file=sys.stderr)
    return not foreign


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    check = argv[1] != "-"
    allowed = [os.path.realpath(argv[1]), os.path.realpath(sys.prefix)]
    if os.environ.get("VORNET_YARDSTICK"):
        allowed.append(os.path.realpath(os.environ["VORNET_YARDSTICK"]))
    if check and not report("at start", allowed):
        return 1
    import vornet
    import pytest

    here = os.path.realpath(vornet.__file__)
    if not here.startswith(allowed[1] + os.sep):
        print(f"test-314: FAILED: vornet is imported from {here}, "
              f"not from the environment {allowed[1]}", file=sys.stderr)
        return 1
    status = pytest.main(argv[2:])
    if check and not report("after the suite", allowed):
        return status or 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
