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

# Heavy tests (marked `heavy`: matrices of gigabytes, files of millions of lines, a Dask
# cluster of worker processes), which pytest leaves out unless asked, run once, here; the
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

clean:
	rm -rf build $(VENV) $(NP1) .venv-sanitize
