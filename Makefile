# Developer commands. Everything installs into .venv, created on first use.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD_INPUTS := CMakeLists.txt pyproject.toml $(shell find sources host stubs -type f -not -path '*/__pycache__/*' 2>/dev/null)

.PHONY: install system-packages test bench demo live-demo clean sanitize fuzz format

$(PY):
	@echo "Setting up $(VENV) and building the C++ modules for the first time: half a minute to a minute"
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

$(VENV)/.tools: | $(PY)
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.18" ninja
	touch $@

# The bench extra too, so that make bench runs on this build as it is.
$(VENV)/.installed: $(VENV)/.tools $(BUILD_INPUTS)
	@echo "Building qz_packets, qz_engine, qz_autopos and qz_track (C++) into $(VENV): 10 to 20 s"
	$(PY) -m pip install --quiet --no-build-isolation ".[test,bench]"
	touch $@

install: $(VENV)/.installed

# The suite runs twice: as is, then with assertions disabled (python -O).
# Debian packages the live, browser and stub tests use (installed when missing).
system-packages:
	@scripts/system_packages.sh

test: install system-packages
	$(PY) -m pytest -q
	$(PY) -O -m pytest -q

# Replays the bundled capture: prints the summary, writes examples/hall.positions.csv
# and examples/hall.png.
$(VENV)/.demo-installed: $(VENV)/.tools $(BUILD_INPUTS)
	@echo "Building qz_packets, qz_engine, qz_autopos and qz_track (C++) into $(VENV): 10 to 20 s"
	$(PY) -m pip install --quiet --no-build-isolation ".[demo]"
	touch $@

demo: $(VENV)/.demo-installed
	$(PY) -m qz_host demo

# Streams the bundled capture over UDP into qz-host live, which surveys the
# anchors from the stream and prints each fix as a JSON line.
LIVE_DEMO_PORT ?= 47474
$(VENV)/.live-installed: $(VENV)/.tools $(BUILD_INPUTS)
	$(PY) -m pip install --quiet --no-build-isolation ".[live]"
	touch $@

live-demo: $(VENV)/.live-installed
	$(PY) -m qz_host live udp://127.0.0.1:$(LIVE_DEMO_PORT) --fcs --survey-timeout 5 & live=$$!; \
	sleep 1; $(PY) -m qz_host emit examples/hall.qzcap udp://127.0.0.1:$(LIVE_DEMO_PORT); \
	sleep 0.5; kill -TERM $$live; wait $$live

# Rebuilds only what changed since the last install.
bench: install
	$(PY) benchmarks/run_all.py

# The suite on every supported CPython found (pyenv's builds or pythonX.Y on
# the PATH), each in a venv of its own under build/; VERSIONS="3.8 3.13"
# picks some. The benchmarks' headline ratios on each, in one table.
.PHONY: test-all bench-all wheels
test-all:
	$(PYTHON) scripts/suite_on_every_interpreter.py

bench-all:
	$(PYTHON) scripts/bench_on_every_interpreter.py

# The sdist, and from it a manylinux wheel (auditwheel-repaired) for every
# supported CPython found, into dist/; VERSIONS="3.8 3.13" picks some.
wheels:
	$(PYTHON) scripts/build_wheels.py

# Memory checks: the suite under ASan and UBSan, then the leak driver under
# LeakSanitizer and valgrind (own venv and build dirs under build/).
sanitize:
	PYTHON=$(PYTHON) scripts/sanitize.sh

# Coverage-guided fuzzing of the modules, FUZZ_SECONDS per harness.
FUZZ_SECONDS ?= 60
fuzz:
	PYTHON=$(PYTHON) scripts/fuzz.sh $(FUZZ_SECONDS)

# Formats the C++ (clang-format) in place and applies ruff's safe fixes to
# the Python; scripts/check_format.sh without --apply checks both (in CI).
format: install
	scripts/check_format.sh --apply

clean:
	rm -rf build $(VENV)
