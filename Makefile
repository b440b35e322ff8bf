# Quillon: the two commands a newcomer needs, plus a few for developers.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run demo test test-asan bench soak clean

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

clean:
	rm -rf $(BUILD_DIR)

# Figures for the exchange (time to result, CPU while waiting) and the 10-minute IDN-loop soak.
bench: build
	$(BUILD_DIR)/bench/bench_exchange
soak: build
	$(BUILD_DIR)/bench/bench_soak 600
