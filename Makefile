# Everything installs into .venv; the native build dir under build/ persists,
# so a rebuild recompiles only what changed.
PYTHON ?= python3
VENV ?= .venv
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

.PHONY: all build demo test bench stubs sanitize clean

all: build

# A Python outside pyproject.toml's range is refused in one line before
# anything is installed (the venv's own, once it exists).
$(STAMP): pyproject.toml constraints.txt
	@if test -x $(BIN)/python; then $(BIN)/python scripts/admitted_python.py; \
	  else $(PYTHON) scripts/admitted_python.py; fi >/dev/null
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

# nanobind names the instances of ours still alive when an interpreter ends
# (builds with the test hooks keep that report on), after pytest has
# returned: a pytest run, with its output kept in $(1).log, fails when pytest
# does or when that report printed.
without_exit_leaks = ( $(2); echo $$? > $(1).status ) 2>&1 | tee $(1).log; \
	test "$$(cat $(1).status)" = 0 || exit 1; \
	if grep -q "nanobind: leaked" $(1).log; then echo "nanobind reported instances left alive at exit" >&2; exit 1; fi

test: build
	$(call without_exit_leaks,build/pytest,MPLBACKEND=Agg $(BIN)/python -m pytest -q)

bench: build
	@for script in bench/*.py; do echo "== $$script"; $(BIN)/python $$script || exit 1; done

# Rewrites the stubs from the built modules; run it after changing a binding
# (tests/test_stubs.py fails while a stub is stale).
stubs: build
	@for entry in $(STUBS); do \
	  $(BIN)/python -m nanobind.stubgen -q -p cpp/bindings/stub_patterns.txt -m $${entry%%:*} -O $${entry#*:} || exit 1; \
	done

# The extensions built with AddressSanitizer and UndefinedBehaviorSanitizer in
# their own build folder, and the tests that reach native code run against
# them. The package is staged as a copy of src/korvane with the sanitized
# modules dropped in, and a small venv puts that copy ahead of the project's
# own site-packages (whose editable-install hook it leaves out). The Python
# interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded, with the C++ runtime whose exceptions it intercepts; Python keeps
# objects alive until exit by design, hence no leak report. The runtime
# cannot serve libraries opened with RTLD_DEEPBIND, which pycryptodome (under
# the exchange client) asks for unless told not to. Output is
# captured at the Python level only, so that a report on the way down is
# seen. The pickle scan's fuzz corpus is replayed first, by a driver built
# with the same sanitizers (leak detection on: nothing but C++ runs there).
SANITIZE_DIR := build/sanitize
SANITIZE_CXX ?= g++
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
# The tests that call the native modules, directly or through the factor's
# backtest (the entry gate's road calls back into Python from a run).
SANITIZE_TESTS := tests/native tests/factor/signals tests/factor/accounting \
	tests/factor/construction/test_bar_resampling.py tests/features/test_sample_weights.py \
	tests/features/test_signalforge.py tests/classifier/test_entry_gate_road.py \
	tests/results/test_scorebook_bootstrap.py tests/connections/test_coinlink.py \
	tests/classifier/test_pipeline_scan.py
SANITIZE_RUN = LD_PRELOAD="$$($(SANITIZE_CXX) -print-file-name=libasan.so) $$($(SANITIZE_CXX) -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	PYCRYPTODOME_DISABLE_DEEPBIND=1 MPLBACKEND=Agg $(SANITIZE_DIR)/venv/bin/python

sanitize: build
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(SANITIZE_CXX) "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" \
	  "-DCMAKE_MODULE_LINKER_FLAGS=$(SANITIZE_FLAGS)" "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE_FLAGS)" \
	  -DKORVANE_TEST_HOOKS=ON -DKORVANE_FUZZ_REPLAY=ON -DPython_EXECUTABLE=$(abspath $(BIN)/python)
	cmake --build $(SANITIZE_DIR) --parallel "$$(nproc)"
	ASAN_OPTIONS=allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(SANITIZE_DIR)/pickle_scan_replay cpp/fuzz/corpus
	rm -rf $(SANITIZE_DIR)/stage
	mkdir -p $(SANITIZE_DIR)/stage
	cp -R src/korvane $(SANITIZE_DIR)/stage/
	cmake --install $(SANITIZE_DIR) --prefix $(SANITIZE_DIR)/stage
	test -x $(SANITIZE_DIR)/venv/bin/python || $(BIN)/python -m venv --without-pip $(SANITIZE_DIR)/venv
	$(BIN)/python -c "import sysconfig; print('$(abspath $(SANITIZE_DIR)/stage)', sysconfig.get_path('purelib'), \
	  sysconfig.get_path('platlib'), sep='\n')" > "$$($(SANITIZE_DIR)/venv/bin/python -c \
	  "import sysconfig; print(sysconfig.get_path('purelib'))")/korvane-sanitize.pth"
	$(SANITIZE_RUN) -c "import korvane._kernels as k, sys; \
	  sys.exit(0 if k.__file__.startswith('$(abspath $(SANITIZE_DIR))/') else 'not the sanitized build: ' + k.__file__)"
	$(call without_exit_leaks,$(SANITIZE_DIR)/pytest,$(SANITIZE_RUN) -m pytest -q -p no:cacheprovider --capture=sys $(SANITIZE_TESTS))

clean:
	rm -rf build $(VENV)
