# Quillon: the two commands a newcomer needs, plus a few for developers.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
MAKEFLAGS += --no-print-directory

# Root in a clone that belongs to someone else ("sudo make demo", or su): the packages are
# installed as root, everything else runs as the clone's owner, so that no file in the clone
# ends up belonging to root and the owner's next "make" still works.
ifeq ($(shell id -u),0)
CLONE_OWNER := $(shell stat -c %U $(CURDIR))
ifneq ($(CLONE_OWNER),root)
AS_OWNER := runuser -u $(CLONE_OWNER) --
ifeq ($(MAKELEVEL),0)
$(info make: running as root in $(CLONE_OWNER)'s clone: packages are installed as root, the rest runs as $(CLONE_OWNER))
endif
endif
endif

.PHONY: all build configure programs run demo install uninstall test package test-asan fuzz tidy \
	bench soak format format-check clean

all: build

configure:
	@$(AS_OWNER) scripts/configure $(BUILD_DIR) $(BUILD_TYPE) $(CMAKE_FLAGS)

# Everything: the programs, the tests and the benchmarks.
build:
	@scripts/install-deps test
	@$(MAKE) configure
	$(AS_OWNER) cmake --build $(BUILD_DIR) -j $(JOBS)

# The two programs alone, which is all run and demo need.
programs:
	@scripts/install-deps run
	@$(MAKE) configure
	$(AS_OWNER) cmake --build $(BUILD_DIR) -j $(JOBS) --target quillon quillon-sim

# Quillon on this machine's real serial ports (bind them with QUILLON_COM1..4 or --com1..4).
run: programs
	$(AS_OWNER) $(BUILD_DIR)/src/quillon $(ARGS)

# Quillon with COM 1 wired to the simulated instrument interface. Without a display there is
# nothing to show the window on, so that is found out before minutes of installing and building.
demo:
	@scripts/demo --check-display
	@$(MAKE) programs
	$(AS_OWNER) scripts/demo $(BUILD_DIR)

# Where make install puts the programs: under your home, which needs no sudo; root's go to
# /usr/local.
ifeq ($(shell id -u),0)
PREFIX ?= /usr/local
else
PREFIX ?= $(HOME)/.local
endif

# quillon and quillon-sim in $(PREFIX)/bin, with their manual pages, desktop entry and icons,
# as the package installs them. Root installs; the build stays the clone owner's.
install:
	@scripts/install-deps run
	@$(MAKE) configure
	$(AS_OWNER) cmake --build $(BUILD_DIR) -j $(JOBS) --target quillon quillon-sim manpages debian_changelog
	cmake --install $(BUILD_DIR) --prefix $(PREFIX) --strip
	@# Every install (the package's too) rewrites CMake's manifest: uninstall keeps its own copy.
	@mv $(BUILD_DIR)/install_manifest.txt $(BUILD_DIR)/make-installed $(if $(AS_OWNER),&& chown $(CLONE_OWNER): $(BUILD_DIR)/make-installed)
	@case ":$$PATH:" in *":$(PREFIX)/bin:"*) ;; *) printf '%s\n' \
		"make: $(PREFIX)/bin is not on your PATH$(if $(filter $(HOME)/.local,$(PREFIX)), yet: Debian's ~/.profile adds it when you log in again). For this shell:" \
		"    export PATH=\"$(PREFIX)/bin:\$$PATH\"";; esac

# What the last make install put in place, removed again.
uninstall:
	@[ -f $(BUILD_DIR)/make-installed ] || { echo "make: no install recorded in $(BUILD_DIR)" >&2; exit 1; }
	xargs -d '\n' rm -fv -- <$(BUILD_DIR)/make-installed
	rm -f $(BUILD_DIR)/make-installed

# Upper time bounds ("timing") run last, one at a time, on a machine no other suite loads. A test
# that leaves a file in the temporary directory fails the run.
NO_LEFTOVERS = $(CURDIR)/scripts/no-leftovers
test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen $(AS_OWNER) $(NO_LEFTOVERS) ctest --output-on-failure -j $(JOBS) -LE timing
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen $(AS_OWNER) $(NO_LEFTOVERS) ctest --output-on-failure -L timing

# The Debian package: build/quillon_<version>_amd64.deb
package: build
	cd $(BUILD_DIR) && $(AS_OWNER) cpack -G DEB

# The suite again under AddressSanitizer and UndefinedBehaviorSanitizer; any report fails.
# Only what the suite runs is built, each library as one unit (half the compile time), and the
# package and the Makefile, which run no sanitized code, are checked in the normal build alone.
ASAN_BUILD_DIR ?= build-asan
test-asan:
	@scripts/install-deps test asan
	@$(AS_OWNER) scripts/configure $(ASAN_BUILD_DIR) Debug -DQUILLON_SANITIZE=ON -DQUILLON_BENCH=OFF \
		-DCMAKE_UNITY_BUILD=ON $(CMAKE_FLAGS)
	$(AS_OWNER) cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(AS_OWNER) $(NO_LEFTOVERS) ctest \
		--output-on-failure -j $(JOBS) -LE timing -E '^(package|make)$$'
	cd $(ASAN_BUILD_DIR) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(AS_OWNER) $(NO_LEFTOVERS) ctest \
		--output-on-failure -L timing

# libFuzzer on the framing, reply check, number reading and reply formatting (FUZZ_SECONDS each).
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/install-deps fuzz
	$(AS_OWNER) scripts/fuzz $(FUZZ_SECONDS)

# clang-tidy over the program and the simulator, with the compile database of $(BUILD_DIR); the
# build makes the headers generated from the .ui files that the sources include.
tidy:
	@scripts/install-deps tidy
	@$(MAKE) configure
	@$(AS_OWNER) cmake --build $(BUILD_DIR) -j $(JOBS) --target quillon quillon-sim
	$(AS_OWNER) run-clang-tidy-14 -quiet -p $(BUILD_DIR) -j $(JOBS) '$(CURDIR)/(src|sim)/.*\.cpp$$'

# clang-format over every C++ file; format-check fails on any file it would change.
FORMATTED = $(shell $(AS_OWNER) git ls-files '*.cpp' '*.h')
format:
	@scripts/install-deps format
	@$(AS_OWNER) clang-format -i $(FORMATTED)
format-check:
	@scripts/install-deps format
	@clang-format --dry-run -Werror $(FORMATTED)
	@echo "format: $(words $(FORMATTED)) files formatted"

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) build-fuzz

# Our exchange side by side with pyvisa-py's query and with a bare C client (the floor of this
# machine), and what waiting and looping cost in CPU; what the wire view and the loop chart cost
# the main window; a scan of three lines side by side against a sweep one probe at a time; the
# line served to VXI-11 and raw-socket clients against the same clients on the line directly.
bench:
	@scripts/install-deps bench
	@$(MAKE) build
	$(AS_OWNER) $(BUILD_DIR)/bench/bench_exchange
	$(AS_OWNER) $(BUILD_DIR)/bench/bench_views
	$(AS_OWNER) $(BUILD_DIR)/bench/bench_longreply
	$(AS_OWNER) $(BUILD_DIR)/bench/bench_scan
	$(AS_OWNER) tests/share/netns.sh $(BUILD_DIR)/bench/bench_share
# Ten minutes of the IDN loop at 100 ms, then a minute of a device that never stops talking.
soak: build
	$(AS_OWNER) $(BUILD_DIR)/bench/bench_soak 600 60
