# Two entry points for a fresh Debian 12 machine:
#   make demo   install what is missing, build, run a short demo
#   make test   install what is missing, build, run every test (C++; Python
#               against the wheel installed in a fresh virtual environment;
#               the C++ tests again under AddressSanitizer/UBSan; then each
#               fuzz target for FUZZ_SECONDS)
# and `make bench` for the side-by-side benchmark against the peers, `make wheel`
# for the installable wheel in dist/.

PYTHON     ?= /usr/bin/python3
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 10
JOBS       ?= $(shell nproc)
VENV       ?= $(BUILD)/venv

# Debian packages the build and the tests need; the benchmark needs the peers too.
APT_BUILD  = cmake g++ make python3 python3-dev python3-numpy python3-pytest strace \
             libgtest-dev nlohmann-json3-dev libopenblas-dev libopenblas-serial-dev
# The wheel, the virtual environment the Python tests install it into, and the
# stub check (mypy's stubtest).
APT_WHEEL  = python3-venv python3-pip python3-build python3-mypy
# kovra_vector_db.distributed runs on Dask's scheduler (python3-distributed
# brings python3-dask); its tests start a local cluster.
APT_DIST   = python3-distributed python3-dask
# libFuzzer needs clang. Of Debian 12's clangs only clang-19 compiles libstdc++
# 12's <expected>: the older ones report __cpp_concepts below 202002L, which
# hides std::expected. llvm-19 brings the symbolizer for readable reports.
FUZZ_CXX   = clang++-19
APT_FUZZ   = clang-19 libclang-rt-19-dev libomp-19-dev llvm-19
APT_BENCH  = python3-faiss python3-hnswlib python3-sklearn python3-pil libbenchmark-dev
# The LanceDB peer runs in Node; Debian's nodejs and npm are installed only when
# the machine has no `node` or `npm` of its own.
APT_NODE   = nodejs npm

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps deps-bench deps-node apt-node deps-fuzz build build-asan build-fuzz wheel venv test test-cpp test-python test-asan fuzz demo bench clean

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
	$(call apt_install,$(APT_BUILD) $(APT_WHEEL) $(APT_DIST))

deps-fuzz: deps
	$(call apt_install,$(APT_FUZZ))

deps-bench: deps deps-node bench/node_modules/.package-lock.json
	$(call apt_install,$(APT_BENCH))

deps-node:
	@missing=""; command -v node >/dev/null 2>&1 || missing="$$missing nodejs"; \
	command -v npm >/dev/null 2>&1 || missing="$$missing npm"; \
	if [ -n "$$missing" ]; then $(MAKE) --no-print-directory apt-node; fi

apt-node:
	$(call apt_install,$(APT_NODE))

# The Node packages of the LanceDB peer, exactly as bench/package-lock.json pins them.
bench/node_modules/.package-lock.json: bench/package-lock.json bench/package.json | deps-node
	cd bench && npm ci --no-audit --no-fund

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(PYTHON)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKOVRA_SANITIZE=ON -DKOVRA_BUILD_MODULE=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

build-fuzz: deps-fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DKOVRA_FUZZ=ON -DKOVRA_BUILD_MODULE=OFF -DKOVRA_BUILD_TESTS=OFF -DKOVRA_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The wheel reuses the build directory's objects.
wheel: build
	rm -f dist/kovra_vector_db-*.whl
	KOVRA_BUILD_DIR=$(BUILD) $(PYTHON) -m build --wheel --no-isolation --outdir dist .

# A fresh virtual environment with the wheel installed; NumPy and pytest come
# from Debian's site packages.
venv: wheel
	$(PYTHON) -m venv --system-site-packages --clear $(VENV)
	$(VENV)/bin/python -m pip install -q --no-index --no-deps dist/kovra_vector_db-*.whl

# The Python tests run against the installed copy, not the build tree.
test-python: venv
	KOVRA_EXPECT_INSTALLED=1 $(VENV)/bin/python -m pytest tests/python -q

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

# One target at a time, each for FUZZ_SECONDS; findings are left in
# $(FUZZ_BUILD)/fuzz/<target>/ (see fuzz/CMakeLists.txt).
fuzz: build-fuzz
	cd $(FUZZ_BUILD) && ctest --output-on-failure -j 1

test: test-cpp test-python test-asan
	$(MAKE) fuzz

demo: build
	PYTHONPATH=$(CURDIR)/$(BUILD)/python $(PYTHON) examples/demo.py

bench: deps-bench
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(PYTHON) -DKOVRA_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	PYTHONPATH=$(CURDIR)/$(BUILD)/python:$(CURDIR) $(PYTHON) -m bench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-wheel dist
