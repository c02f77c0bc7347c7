# The commands of the README. Each installs what is missing on Debian 12,
# configures and builds: `run` an optimised program in build/, `test` a
# sanitizer build in build-test/, `bench` an optimised build with the
# benchmarks in build-bench/.

BUILD      ?= build
TEST_BUILD ?= build-test
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
DESTDIR    ?=
# Building, the French texts Qt draws, the faces the window font may take,
# the checks of the installed files and of a display, and the package tools.
PKGS := g++ cmake make pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev libgtest-dev \
        qt6-translations-l10n fonts-dejavu-core fonts-liberation2 \
        desktop-file-utils appstream xvfb dpkg-dev file
BENCH_PKGS := dos2unix sed findutils coreutils time
# What checks the package `make deb` builds.
DEB_PKGS := lintian mandoc
# What renders the checked-in pictures from their drawings.
PICTURE_PKGS := librsvg2-bin icoutils netpbm

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build run test install deb deb-deps bench bench-deps pictures format clean

all: build

# Installs only the packages that are not installed yet.
define install_missing
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PKGS))

# The optimised build takes Debian's hardening flags (fortified functions,
# stack protector, read-only relocations bound at start), asked for here
# rather than at parse time so that a fresh machine has dpkg-dev by then.
# Debian 12's dpkg-buildflags gives no control-flow protection: on x86, where
# the processor has it, -fcf-protection is added here.
configure: deps
	export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	case "$$(dpkg-architecture -qDEB_HOST_ARCH_CPU)" in amd64|i386) cf=-fcf-protection;; *) cf=;; esac; \
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTERMINELLE_SANITIZE=OFF \
	      -DTERMINELLE_TESTS=OFF -DTERMINELLE_BENCH=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
	      -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS) $$cf" \
	      -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"

build: configure
	cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/terminelle

test: deps
	cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTERMINELLE_SANITIZE=ON
	cmake --build $(TEST_BUILD) -j$(JOBS)
	cd $(TEST_BUILD) && ctest --output-on-failure -j$(JOBS)

# DESTDIR stages the files elsewhere, as packagers do. Through sudo only when
# the place is not writable: a prefix in the home folder stays the user's.
install: build
	@dir="$(DESTDIR)$(PREFIX)"; \
	while [ ! -d "$$dir" ]; do dir=$$(dirname "$$dir"); done; \
	if [ -w "$$dir" ]; then sudo=; else sudo="$(SUDO)"; fi; \
	echo "Installing into $(DESTDIR)$(PREFIX)"; \
	$$sudo env DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

deb-deps:
	$(call install_missing,$(DEB_PKGS))

# The Debian packages of the optimised programs, left in $(BUILD): the window
# (terminelle) and the command line (terminelle-cli, without Qt), which
# lintian must pass without an error or a warning.
deb: build deb-deps
	cd $(BUILD) && cpack -G DEB
	lintian --fail-on error,warning $(BUILD)/terminelle_*.deb $(BUILD)/terminelle-cli_*.deb

bench-deps:
	$(call install_missing,$(BENCH_PKGS))

# Optimised build without sanitizers; the benchmarks print their ratios.
bench: deps bench-deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTERMINELLE_BENCH=ON -DTERMINELLE_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	@for b in build-bench/bench/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done

# After changing a drawing in resources/pictures/; commit what it writes.
pictures:
	$(call install_missing,$(PICTURE_PKGS))
	resources/regenerate-pictures.sh

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(TEST_BUILD) build-bench
