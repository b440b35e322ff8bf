# Quillon: the two commands a newcomer needs, plus a few for developers.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run demo test package test-asan fuzz bench soak clean

all: build

deps:
	@scripts/install-deps

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Quillon on this machine's real serial ports (bind them with QUILLON_COM1..4).
run: build
	$(BUILD_DIR)/src/quillon

# Quillon with COM 1 wired to the simulated instrument interface.
demo: build
	scripts/demo $(BUILD_DIR)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The Debian package: build/quillon_<version>_amd64.deb
package: build
	cd $(BUILD_DIR) && cpack -G DEB

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer; any report fails.
ASAN_BUILD_DIR ?= build-asan
test-asan: deps
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# libFuzzer on the framing, reply check, number reading and reply formatting (FUZZ_SECONDS each).
FUZZ_SECONDS ?= 60
fuzz: deps
	scripts/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) build-fuzz

# Figures for the exchange (time to result, CPU while waiting) and the 10-minute IDN-loop soak.
bench: build
	$(BUILD_DIR)/bench/bench_exchange
soak: build
	$(BUILD_DIR)/bench/bench_soak 600
