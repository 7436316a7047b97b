# Set-up from a fresh clone. `make test` builds the abi3 wheel, audits it, installs it into
# a private virtual environment and runs the whole test suite.

PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
DIST   := build/dist

.PHONY: test wheel venv clean

venv: $(VPY)

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

wheel: venv
	rm -rf $(DIST)
	$(VPY) -m pip wheel --quiet --no-deps --wheel-dir $(DIST) .
	$(VPY) -m pip install --quiet abi3audit
	$(VENV)/bin/abi3audit --strict --report $(DIST)/orvanel-*.whl

test: wheel
	$(VPY) -m pip install --quiet --force-reinstall --no-deps $(DIST)/orvanel-*.whl
	$(VPY) -m pip install --quiet "$$(ls $(DIST)/orvanel-*.whl)[test]"
	$(VPY) -m pytest -q tests

clean:
	rm -rf build $(VENV)
