# Two entry points: `make run` builds and starts Fetchwright, `make test` builds and runs every test.
# Both first install any missing Debian packages (scripts/setup.sh).
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: run test build configure setup clean

# Only the program itself is built for a first start; the tests and benchmarks come with `make test`.
run: configure
	cmake --build $(BUILD_DIR) --target fetchwright -j $(JOBS)
	./$(BUILD_DIR)/fetchwright

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

configure: setup
	cmake -S . -B $(BUILD_DIR) -G Ninja

setup:
	bash scripts/setup.sh

clean:
	rm -rf $(BUILD_DIR)
