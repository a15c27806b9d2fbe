# Set-up and everyday commands. `make test` and `make demo` install what is
# missing (Debian packages when run as root, Python packages into .venv).

PYTHON      ?= python3
VENV        := .venv
VPY         := $(VENV)/bin/python
BUILD_DIR   := build/py
DEB_PACKAGES := g++ pkg-config libeigen3-dev libgtest-dev libbenchmark-dev
PY_PACKAGES := "numpy>=2" ml_dtypes meson-python meson ninja pytest hypothesis
DEMO_PACKAGES := scikit-learn matplotlib tqdm

.PHONY: deps system-deps build test demo bench clean

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

$(VENV)/.deps:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(PY_PACKAGES)
	touch $@

build: deps
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) -e .
	$(VENV)/bin/ninja -C $(BUILD_DIR)

test: build
	$(VENV)/bin/meson test -C $(BUILD_DIR) --print-errorlogs
	$(VPY) -m pytest -q tests/python

demo: build
	$(VPY) -m pip install -q $(DEMO_PACKAGES)
	$(VPY) examples/demo.py

bench: build
	$(VPY) bench/compare.py

clean:
	rm -rf build build-* .venv
