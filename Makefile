# Two entry points for a fresh Debian 12 machine:
#   make demo   install what is missing, build, run a short demo
#   make test   install what is missing, build, run every test (C++, Python,
#               and the C++ tests again under AddressSanitizer/UBSan)
# and `make bench` for the side-by-side benchmark against the peers.

PYTHON     ?= /usr/bin/python3
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)

# Debian packages the build and the tests need; the benchmark needs the peers too.
APT_BUILD  = cmake g++ make python3 python3-dev python3-numpy python3-pytest \
             libgtest-dev nlohmann-json3-dev libopenblas-dev libopenblas-serial-dev
APT_BENCH  = python3-faiss python3-hnswlib python3-sklearn libbenchmark-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps deps-bench build build-asan test test-cpp test-python test-asan demo bench clean

all: build

# Installs only what is missing, so a prepared machine skips apt entirely.
define apt_install
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call apt_install,$(APT_BUILD))

deps-bench: deps
	$(call apt_install,$(APT_BENCH))

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(PYTHON)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKOVRA_SANITIZE=ON -DKOVRA_BUILD_MODULE=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-python: build
	PYTHONPATH=$(CURDIR)/$(BUILD)/python $(PYTHON) -m pytest tests/python -q

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

test: test-cpp test-python test-asan

demo: build
	PYTHONPATH=$(CURDIR)/$(BUILD)/python $(PYTHON) examples/demo.py

bench: deps-bench
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(PYTHON) -DKOVRA_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	PYTHONPATH=$(CURDIR)/$(BUILD)/python:$(CURDIR) $(PYTHON) -m bench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
