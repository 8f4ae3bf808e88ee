# make demo   set up if needed, then print the demonstration
# make test   set up if needed, check the free-threaded compile, run the tests
# make sanitize   run the tests against a build with AddressSanitizer and
#                 UndefinedBehaviorSanitizer (its own environment, .cache/sanitize)
#
# Set-up: .venv is created with the best interpreter tools/find-python finds,
# the dependencies come from PyPI, and the extension is installed in editable
# mode, so that importing it rebuilds whatever sources changed.

VENV := .venv
# Tools installed in the environment (ninja, meson) come first on PATH.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
PY := $(VENV)/bin/python
INSTALLED := $(VENV)/.vornet-installed
DEPENDENCIES := "meson-python>=0.16" "meson>=1.4" ninja "numpy>=2,<3" "scipy>=1.11" "pytest>=8" "hypothesis>=6.100"

.PHONY: demo test sanitize bench check-headers clean

demo: $(INSTALLED)
	$(PY) examples/demo.py

test: $(INSTALLED) check-headers
	$(PY) -m pytest

# Leaves .venv alone: tools/sanitize keeps its environment and build folder
# under .cache/sanitize.
sanitize:
	tools/sanitize

bench: $(INSTALLED)
	$(PY) benchmarks/bench_batch.py
	$(PY) benchmarks/bench_forward.py

# Compiles the module against CPython 3.14's headers, with and without the
# free-threaded build's Py_GIL_DISABLED; skipped when they cannot be fetched.
check-headers: $(INSTALLED)
	tools/check-headers $(PY)

$(PY):
	@base=$$(tools/find-python) && echo "Creating $(VENV) with $$base" && "$$base" -m venv $(VENV)

$(INSTALLED): pyproject.toml meson.build | $(PY)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(DEPENDENCIES)
	$(PY) -m pip install --quiet --no-build-isolation --editable .
	@touch $@

clean:
	rm -rf $(VENV) build .cache
