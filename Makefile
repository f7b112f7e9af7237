# Developer entry points. `make test` is what CI runs on a clean clone.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
SOURCES = $(shell git ls-files -co --exclude-standard -- '*.cpp' '*.h')

.PHONY: all deps configure build test run install format bench clean

all: build

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

run: build
	$(BUILD_DIR)/glimmet-bridge

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

bench: build
	tools/bench/run $(BUILD_DIR)

format:
	clang-format -i $(SOURCES)

clean:
	rm -rf $(BUILD_DIR)
