# Everything installs into .venv; the native build dir under build/ persists,
# so a rebuild recompiles only what changed.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
STAMP := $(VENV)/.korvane-deps
LOCK := build/.make.lock
PIP := $(BIN)/python -m pip
# The editable build binds the native functions only tests use.
TEST_HOOKS := -C cmake.define.KORVANE_TEST_HOOKS=ON

# Each extension module and the package folder its committed .pyi stub sits in.
STUBS := korvane._kernels:src/korvane \
	korvane.factors.technical._pairtrader:src/korvane/factors/technical \
	korvane.utils.results._scorebook:src/korvane/utils/results \
	korvane.rarAV._signalforge:src/korvane/rarAV \
	korvane.connections.binance._coinlink:src/korvane/connections/binance

.PHONY: all build demo test bench stubs clean

all: build

$(STAMP): pyproject.toml constraints.txt
	test -x $(BIN)/python || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	mkdir -p build
	# Dependencies install with build isolation: some are source distributions
	# (timeseriescv, peewee) whose builds need tools a bare venv lacks.
	$(BIN)/python -c "import tomllib; p = tomllib.load(open('pyproject.toml', 'rb')); \
	  b = p['build-system']['requires']; d = p['project']; \
	  print(*b, *d['dependencies'], *d['optional-dependencies']['test'], sep='\\n')" > build/requirements.txt
	$(PIP) install -q -c constraints.txt -r build/requirements.txt
	# Only the project itself builds without isolation, so its CMake cache keeps
	# pointing at the venv's nanobind across incremental rebuilds.
	flock $(LOCK) $(PIP) install -q -c constraints.txt --no-build-isolation --no-deps $(TEST_HOOKS) -e .
	touch $@

build: $(STAMP)
	mkdir -p build
	flock $(LOCK) $(PIP) install -q --no-build-isolation --no-deps $(TEST_HOOKS) -e .

demo: build
	MPLBACKEND=Agg $(BIN)/python examples/quickstart.py

test: build
	MPLBACKEND=Agg $(BIN)/python -m pytest -q

bench: build
	@for script in bench/*.py; do echo "== $$script"; $(BIN)/python $$script || exit 1; done

# Rewrites the stubs from the built modules; run it after changing a binding
# (tests/test_stubs.py fails while a stub is stale).
stubs: build
	@for entry in $(STUBS); do \
	  $(BIN)/python -m nanobind.stubgen -q -p cpp/bindings/stub_patterns.txt -m $${entry%%:*} -O $${entry#*:} || exit 1; \
	done

clean:
	rm -rf build $(VENV)
