# Two entry points: `make run` builds and starts Fetchwright, `make test` builds and runs every test.
# Both first install any missing Debian packages (scripts/setup.sh).
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: run run-xvfb check-display build-program test build configure configure-run setup setup-run clean

# Only the program itself is installed for and built for a first start; the tests, benchmarks
# and their tools come with `make test`. Fetchwright opens a window: without a display, `make run`
# says so before anything is installed or built.
run: check-display
	$(MAKE) --no-print-directory build-program
	./$(BUILD_DIR)/fetchwright

# The same inside a virtual display (Xvfb), for a machine without one.
run-xvfb:
	bash scripts/setup.sh run-xvfb
	$(MAKE) --no-print-directory build-program
	xvfb-run -a ./$(BUILD_DIR)/fetchwright

check-display:
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	  echo "make run: this session has no display (DISPLAY and WAYLAND_DISPLAY are unset), and Fetchwright opens a window." >&2; \
	  echo "Run it in a graphical session or over 'ssh -X', or inside a virtual display: 'make run-xvfb'" >&2; \
	  echo "(installs xvfb too; to start it again later: xvfb-run -a ./$(BUILD_DIR)/fetchwright)." >&2; \
	  exit 1; \
	fi

build-program: configure-run
	cmake --build $(BUILD_DIR) --target fetchwright -j $(JOBS)

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
