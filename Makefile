# Two entry points: `make run` builds and starts Fetchwright, `make test` builds and runs every test.
# Both first install any missing Debian packages (scripts/setup.sh).
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: run test build configure configure-run setup setup-run clean

# Only the program itself is installed for and built for a first start; the tests, benchmarks
# and their tools come with `make test`.
run: configure-run
	cmake --build $(BUILD_DIR) --target fetchwright -j $(JOBS)
	./$(BUILD_DIR)/fetchwright

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

configure: setup
	cmake -S . -B $(BUILD_DIR) -G Ninja -DFETCHWRIGHT_TESTS=ON -DFETCHWRIGHT_BENCH=ON

configure-run: setup-run
	cmake -S . -B $(BUILD_DIR) -G Ninja -DFETCHWRIGHT_TESTS=OFF -DFETCHWRIGHT_BENCH=OFF

setup:
	bash scripts/setup.sh test

setup-run:
	bash scripts/setup.sh run

clean:
	rm -rf $(BUILD_DIR)
