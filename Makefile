# Set-up from a fresh clone. `make run` installs the package into a private virtual
# environment and describes the sample matrix with `orvanel info`. `make test` builds the
# abi3 wheel, audits it, installs it into a private virtual environment and runs the whole
# test suite, then runs it once more against the NumPy 1.x line, then replays the fuzz
# seed corpus and the committed regression inputs through the fuzz targets. Before all
# that it runs the C++ tests of the core's codec.

PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
NP1    := .venv-numpy1
DIST   := build/dist
WHEEL   = $$(ls $(DIST)/orvanel-*.whl)

.PHONY: run test test-core test-numpy2 test-numpy1 fuzz-replay wheel install venv clean sanitize fuzz stress

run: venv
	$(VPY) -m pip install --quiet .
	$(VENV)/bin/orvanel info

test: test-core test-numpy2 test-numpy1 fuzz-replay

# The codec's kernels against plain references (tests/cpp), with the default compiler.
CORE_TESTS := build/core-tests
test-core:
	@mkdir -p $(CORE_TESTS)
	@{ cmake -S . -B $(CORE_TESTS) -DORVANEL_CORE_TESTS=ON -DORVANEL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo && \
	   cmake --build $(CORE_TESTS) -j 2 --target codec_test; } >$(CORE_TESTS)/build.log 2>&1 || \
	   { cat $(CORE_TESTS)/build.log; exit 1; }
	$(CORE_TESTS)/codec_test

venv: $(VPY)

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

# Warnings fail the build here (ORVANEL_WERROR); a plain `pip install .` only shows them.
wheel: venv
	rm -rf $(DIST)
	$(VPY) -m pip wheel --quiet --no-deps --wheel-dir $(DIST) -C cmake.define.ORVANEL_WERROR=ON .
	$(VPY) -m pip install --quiet abi3audit
	$(VENV)/bin/abi3audit --strict --report $(DIST)/orvanel-*.whl

# The wheel just built, with everything the tests need, in the private environment.
install: wheel
	$(VPY) -m pip install --quiet --force-reinstall --no-deps $(WHEEL)
	$(VPY) -m pip install --quiet "$(WHEEL)[test]"

# Heavy tests (marked `heavy`: every command on matrices of gigabytes in a small address
# space), which pytest leaves out unless asked, run once, here; the
# NumPy 1.x run and `make sanitize` leave them out.
test-numpy2: install
	$(VPY) -m pytest -q tests
	$(VPY) -m pytest -q -m heavy tests

test-numpy1: wheel
	test -x $(NP1)/bin/python || $(PYTHON) -m venv $(NP1)
	$(NP1)/bin/python -m pip install --quiet "numpy>=1.26,<2"
	$(NP1)/bin/python -m pip install --quiet --force-reinstall --no-deps $(WHEEL)
	$(NP1)/bin/python -m pip install --quiet "$(WHEEL)[test]" "numpy>=1.26,<2"
	$(NP1)/bin/python -c "import numpy; assert numpy.__version__.startswith('1.'), numpy.__version__"
	$(NP1)/bin/python -m pytest -q -m "not heavy" tests

# The fuzz targets built with the default compiler as programs that replay stored
# inputs (no libFuzzer, no sanitizer): seconds, as part of `make test`. The seeds are
# made with the installed package.
fuzz-replay: install
	PYTHON=$(VPY) bash fuzz/replay.sh

# Hardening. `make sanitize` runs the whole suite against a build with AddressSanitizer
# and UndefinedBehaviorSanitizer (its own build folder and environment); `make fuzz` runs
# every fuzz target under libFuzzer for FUZZ_SECONDS seconds (clang++ with libFuzzer must
# be installed: .ci/run installs it); `make stress` runs the thread stress and leak tests
# at a large size.
FUZZ_SECONDS ?= 60

sanitize:
	PYTHON=$(PYTHON) bash tools/run_sanitized.sh

fuzz: install
	PYTHON=$(VPY) FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh

stress: install
	ORVANEL_STRESS_OPERATIONS=20000 ORVANEL_STRESS_THREADS=8 ORVANEL_LEAK_CYCLES=50000 \
		$(VPY) -m pytest -q -s tests/test_stress.py tests/test_leaks.py

# Checks beyond the test suite, each its own target (.ci/run runs them after make test).
# `make lint`: ruff (lint rules, then the format check), mypy --strict on the package
# with the extension modules' stubs, and clang-tidy over the core and the extension
# modules (clang-tidy from the Debian package; .ci/run installs it when missing).
# `make docs`: the documentation site in build/docs/html, warnings as errors.
# `make package-check`: the wheel repaired and tagged manylinux by auditwheel (patchelf
# from the Debian package), audited for the stable ABI, and the repaired wheel and a
# source distribution each installed into a fresh environment and smoke-tested.
.PHONY: lint lint-python lint-format tidy docs package-check

WHEELHOUSE := build/wheelhouse
SDIST      := build/sdist
TIDY       := build/tidy
# The wheel make test built and installed, or a new one when there is none.
INSTALLED  = $(VPY) -c "import orvanel._engine" 2>/dev/null && test -n "$$(ls $(DIST)/orvanel-*.whl 2>/dev/null)" || $(MAKE) install

lint: lint-python tidy lint-format

lint-python: venv
	$(INSTALLED)
	$(VPY) -m pip install --quiet "$(WHEEL)[lint]"
	$(VENV)/bin/ruff check .
	$(VENV)/bin/mypy

# Fails until the tree has been formatted once with `ruff format`.
lint-format: venv
	$(INSTALLED)
	$(VPY) -m pip install --quiet "$(WHEEL)[lint]"
	$(VENV)/bin/ruff format --check .

tidy: venv
	@mkdir -p $(TIDY)
	@cmake -S . -B $(TIDY) -DORVANEL_BUILD_PYTHON=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
		-DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE=$(abspath $(VPY)) >$(TIDY)/configure.log 2>&1 || \
		{ cat $(TIDY)/configure.log; exit 1; }
	run-clang-tidy -quiet -p $(TIDY) -j 2 '/(core|python)/[^/]*\.cpp$$' >$(TIDY)/tidy.log 2>&1 || \
		{ grep -v '^clang-tidy\|^[0-9]* warnings generated' $(TIDY)/tidy.log; exit 1; }
	@echo "clang-tidy: core/ and python/ clean"

docs: venv
	$(INSTALLED)
	$(VPY) -m pip install --quiet "$(WHEEL)[docs]"
	rm -rf build/docs
	$(VENV)/bin/sphinx-build -W --keep-going -n -q -b html docs build/docs/html
	@echo "documentation in build/docs/html/index.html"

package-check: venv
	test -n "$$(ls $(DIST)/orvanel-*.whl 2>/dev/null)" || $(MAKE) wheel
	# auditwheel 6.8.0: the last release that works with Debian 12's patchelf (0.14.3).
	$(VPY) -m pip install --quiet "auditwheel==6.8.0" abi3audit build
	rm -rf $(WHEELHOUSE) $(SDIST)
	$(VENV)/bin/auditwheel repair --wheel-dir $(WHEELHOUSE) $(DIST)/orvanel-*.whl
	$(VENV)/bin/abi3audit --strict --report $(WHEELHOUSE)/orvanel-*manylinux*.whl
	PYTHON=$(PYTHON) bash tools/smoke_install.sh $(WHEELHOUSE)/orvanel-*manylinux*.whl
	$(VPY) -m build --sdist --outdir $(SDIST) .
	PYTHON=$(PYTHON) bash tools/smoke_install.sh $(SDIST)/orvanel-*.tar.gz

clean:
	rm -rf build $(VENV) $(NP1) .venv-sanitize
