# The project's entry points: `make test` and `make demo` work on a fresh machine.

# CPython 3.10, from pyenv unless PYTHON=... says otherwise.
PYENV_PYTHON := $(shell pyenv prefix 3.10.13 2>/dev/null)
PYTHON ?= $(firstword $(wildcard $(PYENV_PYTHON)/bin/python3.10 $(HOME)/.pyenv/versions/3.10.13/bin/python3.10 $(HOME)/.pyenv/versions/3.10*/bin/python3.10) $(shell command -v python3.10 2>/dev/null))

VENV := .venv
VPY := $(VENV)/bin/python
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python

NATIVE_SOURCES := CMakeLists.txt pyproject.toml $(shell find src -type f 2>/dev/null)
SDK_SOURCES := $(shell find sdk -type f -not -path '*/__pycache__/*' -not -path '*.egg-info*' -not -path 'sdk/build/*' 2>/dev/null)
SIM_SOURCES := $(shell find sim -type f -not -path '*/__pycache__/*' -not -path '*.egg-info*' -not -path 'sim/build/*' 2>/dev/null)

# Builds always treat warnings as errors here; plain `pip install .` does not.
BUILD_FLAGS := -C cmake.define.ZELMAR_WERROR=ON -C install.strip=false
PIP_QUIET := --quiet --disable-pip-version-check

export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: all test demo bench sanitize build clean check-python

all: test

check-python:
	@test -n "$(PYTHON)" && "$(PYTHON)" -c 'import sys; assert sys.version_info[:2] == (3, 10), sys.version' \
	  || { echo "CPython 3.10 not found: install it with pyenv or pass PYTHON=/path/to/python3.10" >&2; exit 1; }

$(VENV)/.deps: requirements-dev.txt | check-python
	rm -rf $(VENV)
	"$(PYTHON)" -m venv $(VENV)
	$(VPY) -m pip install $(PIP_QUIET) --upgrade pip
	$(VPY) -m pip install $(PIP_QUIET) -r requirements-dev.txt
	touch $@

# The stand-in SDK first, then the modules into its zelmar/external/ package directory.
# Neither is editable: an editable install would put them in two different places.
$(VENV)/.sdk: $(VENV)/.deps $(SDK_SOURCES)
	$(VPY) -m pip install $(PIP_QUIET) --no-deps --no-build-isolation --force-reinstall ./sdk
	rm -rf sdk/build
	touch $@

$(VENV)/.native: $(VENV)/.sdk $(NATIVE_SOURCES)
	$(VPY) -m pip install $(PIP_QUIET) --no-deps --no-build-isolation --force-reinstall $(BUILD_FLAGS) .
	touch $@

# The platform simulator, a package of its own (it also registers its pytest fixtures).
$(VENV)/.sim: $(VENV)/.deps $(SIM_SOURCES)
	$(VPY) -m pip install $(PIP_QUIET) --no-deps --no-build-isolation --force-reinstall ./sim
	rm -rf sim/build
	touch $@

build: $(VENV)/.native $(VENV)/.sim

test: build
	$(VPY) -m pytest -q tests

# The main job: the whole journey of an application, against the platform simulator.
demo: build
	$(VPY) examples/quickstart.py

# Figures, not pass/fail: instructions per call of the modules' operations beside the same
# steps in plain Python (callgrind; wall-clock times without valgrind), then the job content
# against the plain path (time, peak memory).
bench: build
	$(VPY) bench/icount.py
	$(VPY) bench/bench_job_content.py

# The sanitizer build lives in a venv of its own, so the normal build stays as it is.
$(SAN_VENV)/.deps: requirements-dev.txt | check-python
	rm -rf $(SAN_VENV)
	"$(PYTHON)" -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install $(PIP_QUIET) --upgrade pip
	$(SAN_PY) -m pip install $(PIP_QUIET) -r requirements-dev.txt
	touch $@

sanitize: $(SAN_VENV)/.deps
	$(SAN_PY) -m pip install $(PIP_QUIET) --no-deps --no-build-isolation --force-reinstall ./sdk ./sim
	rm -rf sdk/build sim/build
	PATH=$(CURDIR)/$(SAN_VENV)/bin:$$PATH $(SAN_PY) -m pip install $(PIP_QUIET) --no-deps --no-build-isolation \
	  --force-reinstall $(BUILD_FLAGS) -C cmake.define.ZELMAR_SANITIZE=ON -C build-dir=build/sanitize .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc ZELMAR_SANITIZE=1 $(SAN_PY) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf $(VENV) $(SAN_VENV) build dist sdk/build sim/build
