# The two commands of the README. Both install what is missing on Debian 12,
# configure and build; then `run` starts the program and `test` runs the suite.

BUILD ?= build
JOBS  ?= $(shell nproc)
PKGS  := g++ cmake make pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev libgtest-dev \
         xvfb xauth
BENCH_PKGS := dos2unix sed findutils coreutils time

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build run test bench bench-deps format clean

all: build

# Installs only the packages that are not installed yet.
deps:
	@missing=""; \
	for p in $(PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug -DTERMINELLE_SANITIZE=ON

build: configure
	cmake --build $(BUILD) -j$(JOBS)

run: build
	ASAN_OPTIONS=detect_leaks=0 ./$(BUILD)/terminelle

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench-deps:
	@missing=""; \
	for p in $(BENCH_PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  $(SUDO) apt-get update && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

# Optimised build without sanitizers; the benchmarks print their ratios.
bench: deps bench-deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTERMINELLE_BENCH=ON -DTERMINELLE_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	@for b in build-bench/bench/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-bench
