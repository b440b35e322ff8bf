# Quillon: the two commands a newcomer needs, plus a few for developers.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
MAKEFLAGS += --no-print-directory

.PHONY: all build programs run demo test package test-asan fuzz bench soak format format-check clean

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

# Everything: the programs, the tests and the benchmarks.
build:
	@scripts/install-deps test
	@$(MAKE) $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The two programs alone, which is all run and demo need.
programs:
	@scripts/install-deps run
	@$(MAKE) $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quillon quillon-sim

# Quillon on this machine's real serial ports (bind them with QUILLON_COM1..4 or --com1..4).
run: programs
	$(BUILD_DIR)/src/quillon $(ARGS)

# Quillon with COM 1 wired to the simulated instrument interface.
demo: programs
	scripts/demo $(BUILD_DIR)

# Upper time bounds ("timing") run last, one at a time, on a machine no other suite loads.
test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) -LE timing
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -L timing

# The Debian package: build/quillon_<version>_amd64.deb
package: build
	cd $(BUILD_DIR) && cpack -G DEB

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer; any report fails.
ASAN_BUILD_DIR ?= build-asan
test-asan:
	@scripts/install-deps test asan
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS) -LE timing
	cd $(ASAN_BUILD_DIR) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -L timing

# libFuzzer on the framing, reply check, number reading and reply formatting (FUZZ_SECONDS each).
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/install-deps fuzz
	scripts/fuzz $(FUZZ_SECONDS)

# clang-format over every C++ file; format-check fails on any file it would change.
FORMATTED = $(shell git ls-files '*.cpp' '*.h')
format:
	@scripts/install-deps format
	@clang-format -i $(FORMATTED)
format-check:
	@scripts/install-deps format
	@clang-format --dry-run -Werror $(FORMATTED)
	@echo "format: $(words $(FORMATTED)) files formatted"

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) build-fuzz

# Our exchange side by side with pyvisa-py's query, and what waiting and looping cost in CPU;
# what the wire view and the loop chart cost the main window.
bench:
	@scripts/install-deps bench
	@$(MAKE) build
	$(BUILD_DIR)/bench/bench_exchange
	$(BUILD_DIR)/bench/bench_views
	$(BUILD_DIR)/bench/bench_longreply
# Ten minutes of the IDN loop at 100 ms, then a minute of a device that never stops talking.
soak: build
	$(BUILD_DIR)/bench/bench_soak 600 60
