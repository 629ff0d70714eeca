# Everything installs into .venv; the native build dir under build/ persists,
# so a rebuild recompiles only what changed.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
STAMP := $(VENV)/.korvane-deps
LOCK := build/.make.lock
PIP := $(BIN)/python -m pip

.PHONY: all build demo test bench clean

all: build

$(STAMP): pyproject.toml constraints.txt
	test -x $(BIN)/python || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -c constraints.txt scikit-build-core nanobind
	mkdir -p build
	flock $(LOCK) $(PIP) install -q -c constraints.txt --no-build-isolation -e '.[test]'
	touch $@

build: $(STAMP)
	mkdir -p build
	flock $(LOCK) $(PIP) install -q --no-build-isolation --no-deps -e .

demo: build
	MPLBACKEND=Agg $(BIN)/python examples/quickstart.py

test: build
	MPLBACKEND=Agg $(BIN)/python -m pytest -q

bench: build
	@for script in bench/*.py; do echo "== $$script"; $(BIN)/python $$script || exit 1; done

clean:
	rm -rf build $(VENV)
