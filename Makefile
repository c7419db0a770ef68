# Two entry points: `make run` builds and starts Fetchwright, `make test` builds and runs every test.
# Both first install any missing Debian packages (scripts/setup.sh).
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: run test build setup clean

run: build
	./$(BUILD_DIR)/fetchwright

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

build: setup
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

setup:
	bash scripts/setup.sh

clean:
	rm -rf $(BUILD_DIR)
