# The project's entry points: `make test` and `make demo` work on a fresh machine.

# The CPython versions the modules are built and tested for.
SUPPORTED := 3.10 3.11 3.12 3.13 3.14 3.15

# A CPython of version $(1): pyenv's (the lowest patch release installed), else python$(1) on PATH.
find_python = $(firstword $(wildcard $(HOME)/.pyenv/versions/$(1).*/bin/python$(1)) $(shell command -v python$(1) 2>/dev/null))

# CPython 3.10 unless PYTHON=... says otherwise; each version gets a venv of its own, made
# again when it was made from another interpreter of that version (see .interpreter below).
PYTHON ?= $(call find_python,3.10)
PYINFO := $(if $(PYTHON),$(shell "$(PYTHON)" -c 'import os, sys; print("%d.%d" % sys.version_info[:2], os.path.realpath(sys.executable))' 2>/dev/null))
PYVER := $(word 1,$(PYINFO))
PYREAL := $(word 2,$(PYINFO))
# Another machine's venvs apart from this one's: the arm64 root runs in this same work tree.
MACHINE := $(shell uname -m)
ARCH_SUFFIX := $(if $(filter-out x86_64,$(MACHINE)),-$(MACHINE))
VENV := $(if $(filter-out 3.10,$(PYVER))$(ARCH_SUFFIX),.venv-$(PYVER)$(ARCH_SUFFIX),.venv)
VPY := $(VENV)/bin/python
SAN_VENV := $(if $(filter-out 3.10,$(PYVER)),.venv-sanitize-$(PYVER),.venv-sanitize)
SAN_PY := $(SAN_VENV)/bin/python
INSTALLED_PYTHONS := $(foreach version,$(SUPPORTED),$(call find_python,$(version)))

NATIVE_SOURCES := CMakeLists.txt pyproject.toml $(shell find src -type f 2>/dev/null)
SDK_SOURCES := $(shell find sdk -type f -not -path '*/__pycache__/*' -not -path '*.egg-info*' -not -path 'sdk/build/*' 2>/dev/null)
SIM_SOURCES := $(shell find sim -type f -not -path '*/__pycache__/*' -not -path '*.egg-info*' -not -path 'sim/build/*' 2>/dev/null)

# Builds always treat warnings as errors here; plain `pip install .` does not. The dev
# build keeps its symbols (profiles and debuggers name the functions); wheels are stripped.
BUILD_FLAGS := -C cmake.define.ZELMAR_WERROR=ON -C install.strip=false
PIP_QUIET := --quiet --disable-pip-version-check

export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: all test test-all test-current test-arm64 demo bench sanitize refcheck build wheel sdist docs clean check-python FORCE

all: test

check-python:
	@if [ -z "$(PYVER)" ]; then \
	  echo "No CPython found$(if $(PYTHON), at $(PYTHON)). Supported versions: $(SUPPORTED);" \
	       "install one with pyenv or pass PYTHON=/path/to/python3.X" >&2; exit 1; fi
	@case " $(SUPPORTED) " in *" $(PYVER) "*) ;; *) \
	  echo "$(PYTHON) is Python $(PYVER). Supported versions: $(SUPPORTED)" >&2; exit 1;; esac
	@"$(PYTHON)" -c 'import platform, sys; sys.exit(platform.python_implementation() != "CPython")' || \
	  { echo "$(PYTHON) is not CPython. Supported: CPython $(SUPPORTED)" >&2; exit 1; }

# Which interpreter a venv was made from; rewritten (and so the venv made again) only when
# PYTHON names another one, such as a distribution's 3.11 after pyenv's.
%/.interpreter: FORCE | check-python
	@mkdir -p $*
	@echo "$(PYREAL)" | cmp -s - $@ || echo "$(PYREAL)" > $@

$(VENV)/.deps: requirements-dev.txt $(VENV)/.interpreter
	rm -rf $(VENV)
	"$(PYTHON)" -m venv $(VENV)
	echo "$(PYREAL)" > $(VENV)/.interpreter
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

# The platform simulator, a package of its own (it also registers its pytest fixtures and
# the start-up hook that honours ZELMAR_SIM_URL).
$(VENV)/.sim: $(VENV)/.deps $(SIM_SOURCES)
	$(VPY) -m pip install $(PIP_QUIET) --no-deps --no-build-isolation --force-reinstall ./sim
	rm -rf sim/build
	touch $@

build: $(VENV)/.native $(VENV)/.sim

test: build
	$(VPY) -m pytest -q tests

# The suite on every supported version installed here, each in its own venv.
test-all:
	@test -n "$(strip $(INSTALLED_PYTHONS))" || { echo "None of CPython $(SUPPORTED) is installed" >&2; exit 1; }
	@for python in $(INSTALLED_PYTHONS); do \
	  echo "== $$python"; $(MAKE) --no-print-directory test PYTHON=$$python || exit 1; done

# The suite, and the reference check on their debug builds, on the current Pythons, CPython
# 3.14 and 3.15 from Debian testing, inside a Debian root that tools/debian-root makes once
# (debootstrap: needs root) and enters for each run.
CURRENT := 3.14 3.15
test-current:
	@for version in $(CURRENT); do \
	  echo "== CPython $$version (Debian testing)"; \
	  tools/debian-root run $(MAKE) --no-print-directory test PYTHON=/usr/bin/python$$version || exit 1; \
	  tools/debian-root run $(MAKE) --no-print-directory refcheck DBG_PYTHON=python$$version-dbg || exit 1; done

# The suite on Debian's arm64 CPython builds, under user-mode emulation in a root of their own
# (tools/debian-root --arch arm64: root, qemu-user-static, binfmt_misc), then each aarch64
# wheel of dist/ for them in a clean venv there, running the quickstart against the simulator.
# ARM64= names fewer versions (CI runs one); the emulated suite takes some ten times as long.
ARM64 := 3.14 3.15
test-arm64:
	@for version in $(ARM64); do \
	  echo "== CPython $$version (Debian testing, arm64, emulated)"; \
	  tools/debian-root --arch arm64 run $(MAKE) --no-print-directory test wheel-one wheel-check \
	    PYTHON=/usr/bin/python$$version || exit 1; done

# The main job: the whole journey of an application, against the platform simulator.
demo: build
	$(VPY) examples/quickstart.py

# Figures, not pass/fail: instructions per call of the modules' operations beside the same
# steps in plain Python (callgrind; wall-clock times without valgrind), then the job content
# against the plain path (time, peak memory).
bench: build
	$(VPY) bench/icount.py
	$(VPY) bench/bench_job_content.py

# The API reference, read from the built modules (autodoc), into build/docs/html. Warnings
# are errors, and no version marker may be left as it stands in the docstrings.
$(VENV)/.docs: requirements-docs.txt $(VENV)/.deps
	$(VPY) -m pip install $(PIP_QUIET) -r requirements-docs.txt
	touch $@

docs: build $(VENV)/.docs
	rm -rf build/docs
	$(VPY) -m sphinx -E -W --keep-going -q -b html docs build/docs/html
	@! grep -l '::version(v[0-9]' build/docs/html/*.html || { echo "version markers left as they stand" >&2; exit 1; }
	@echo "API reference: build/docs/html/index.html"

# One manylinux wheel per supported version installed here, into dist/, then (as root) the
# current Pythons' from the Debian root, built there by its GCC against its glibc headers, and
# the aarch64 wheels of the versions tested on Arm, built natively in the arm64 root.
wheel:
	@test -n "$(strip $(INSTALLED_PYTHONS))" || { echo "None of CPython $(SUPPORTED) is installed" >&2; exit 1; }
	@for python in $(INSTALLED_PYTHONS); do \
	  $(MAKE) --no-print-directory wheel-one PYTHON=$$python || exit 1; done
	@if [ "$$(id -u)" = 0 ]; then for version in $(CURRENT); do \
	  tools/debian-root run $(MAKE) --no-print-directory wheel-one PYTHON=/usr/bin/python$$version || exit 1; done; \
	  for version in $(ARM64); do tools/debian-root --arch arm64 run $(MAKE) --no-print-directory wheel-one \
	    PYTHON=/usr/bin/python$$version || exit 1; done; \
	else echo "not root: no wheels for CPython $(CURRENT), nor aarch64 ones (they are built in tools/debian-root)" >&2; fi
	@ls -1 dist/*.whl

# The source distribution, into dist/: what pip builds from where no wheel fits.
sdist: $(VENV)/.deps
	$(VPY) -m build --sdist --no-isolation --outdir dist .
	@ls -1 dist/*.tar.gz

.PHONY: wheel-one wheel-check
wheel-one: $(VENV)/.deps
	$(VPY) tools/wheel.py dist

# This Python's wheel of dist/ in a clean venv beside the stand-in SDK and the simulator,
# running the quickstart from outside the work tree.
WHEEL_CHECK := build/wheel-check-$(PYVER)-$(MACHINE)
wheel-check: | check-python
	rm -rf $(WHEEL_CHECK)
	"$(PYTHON)" -m venv $(WHEEL_CHECK)
	$(WHEEL_CHECK)/bin/python -m pip install $(PIP_QUIET) ./sdk ./sim \
	  $$(ls dist/zelmar_external_native-*-cp$(subst .,,$(PYVER))-*$(MACHINE).whl | tail -n 1)
	rm -rf sdk/build sim/build
	cd /tmp && $(CURDIR)/$(WHEEL_CHECK)/bin/python $(CURDIR)/examples/quickstart.py

# The sanitizer build lives in a venv of its own, so the normal build stays as it is.
$(SAN_VENV)/.deps: requirements-dev.txt $(SAN_VENV)/.interpreter
	rm -rf $(SAN_VENV)
	"$(PYTHON)" -m venv $(SAN_VENV)
	echo "$(PYREAL)" > $(SAN_VENV)/.interpreter
	$(SAN_PY) -m pip install $(PIP_QUIET) --upgrade pip
	$(SAN_PY) -m pip install $(PIP_QUIET) -r requirements-dev.txt
	touch $@

sanitize: $(SAN_VENV)/.deps
	$(SAN_PY) -m pip install $(PIP_QUIET) --no-deps --no-build-isolation --force-reinstall ./sdk ./sim
	rm -rf sdk/build sim/build
	PATH=$(CURDIR)/$(SAN_VENV)/bin:$$PATH $(SAN_PY) -m pip install $(PIP_QUIET) --no-deps --no-build-isolation \
	  --force-reinstall $(BUILD_FLAGS) -C cmake.define.ZELMAR_SANITIZE=ON -C build-dir=build/sanitize-$(PYVER) .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc ZELMAR_SANITIZE=1 $(SAN_PY) -m pytest -q -p no:cacheprovider tests

# The leak tests on a debug interpreter, Debian's python3.11-dbg by default (installed with
# apt-get when missing, with its -dev and -venv: that needs root), where sys.gettotalrefcount() must stay flat over
# every operation, and each allocation of a few operations fails in turn. test-current runs
# them on python3.14-dbg and python3.15-dbg too.
DBG_PYTHON ?= python3.11-dbg
DBG_VERSION := $(patsubst python%-dbg,%,$(notdir $(DBG_PYTHON)))
DBG_VENV := .venv-dbg-$(DBG_VERSION)
DBG_DEPS := $(shell grep -E '^(cmake|ninja|scikit-build-core|setuptools|wheel|pytest|requests|urllib3)[=>]' requirements-dev.txt)

$(DBG_VENV)/.deps: requirements-dev.txt
	command -v $(DBG_PYTHON) >/dev/null || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
	  python$(DBG_VERSION)-dbg python$(DBG_VERSION)-dev python$(DBG_VERSION)-venv >/dev/null; }
	rm -rf $(DBG_VENV)
	$(DBG_PYTHON) -m venv $(DBG_VENV)
	$(DBG_VENV)/bin/python -m pip install $(PIP_QUIET) --upgrade pip
	$(DBG_VENV)/bin/python -m pip install $(PIP_QUIET) $(foreach d,$(DBG_DEPS),'$(d)')
	touch $@

refcheck: $(DBG_VENV)/.deps
	$(DBG_VENV)/bin/python -m pip install $(PIP_QUIET) --no-deps --no-build-isolation --force-reinstall ./sdk
	rm -rf sdk/build
	PATH=$(CURDIR)/$(DBG_VENV)/bin:$$PATH $(DBG_VENV)/bin/python -m pip install $(PIP_QUIET) --no-deps \
	  --no-build-isolation --force-reinstall $(BUILD_FLAGS) -C build-dir=build/debug-$(DBG_VERSION) .
	$(DBG_VENV)/bin/python -c 'import sys; assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"'
	$(DBG_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/test_leaks.py tests/test_memory_failure.py

# Everything the build, the tests and the tools leave: what .gitignore lists.
clean:
	rm -rf .venv .venv-* build dist sdk/build sim/build sdk/*.egg-info sim/*.egg-info .pytest_cache .mypy_cache
	find . -path ./.git -prune -o -name __pycache__ -type d -prune -exec rm -rf {} +
