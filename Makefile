# Developer entry points. `make test` is what CI runs on a clean clone.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
CCACHE = $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
ASAN_DIR ?= build-asan
SOURCES = $(shell git ls-files -co --exclude-standard -- '*.cpp' '*.h')

.PHONY: all deps configure build test run install deb format bench clean fuzz sanitize faults agents-e2e mutants

all: build

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) $(CCACHE)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

run: build
	$(BUILD_DIR)/glimmet-bridge

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The Debian package of the build, $(BUILD_DIR)/glimmet-bridge_VERSION_ARCH.deb, checked by lintian.
deb: build
	rm -f $(BUILD_DIR)/glimmet-bridge_*.deb
	cd $(BUILD_DIR) && cpack -G DEB
	lintian $(BUILD_DIR)/glimmet-bridge_*.deb

bench: build
	tools/bench/run $(BUILD_DIR)

# Every libFuzzer target of tools/fuzz for FUZZ_SECONDS each, in a clang build of its own.
fuzz: deps
	cmake -S . -B $(FUZZ_DIR) $(CCACHE) -DGLIMMET_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-19 \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo \
		"-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_targets
	tools/fuzz/run $(FUZZ_DIR) $(FUZZ_SECONDS)

# The whole suite under gcc's AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(ASAN_DIR) $(CCACHE) -DCMAKE_BUILD_TYPE=Debug \
		"-DCMAKE_CXX_FLAGS=-O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -LE bench

# The long fault and load runs against a real bridge (root: each runs in its own network namespace).
faults: build
	tools/fault/run $(BUILD_DIR) idle 60
	tools/fault/run $(BUILD_DIR) kill9 100
	tools/fault/run $(BUILD_DIR) replug 50
	tools/fault/run $(BUILD_DIR) soak 600

# The real Claude Code and Codex releases from npm (cached in ~/.cache/glimmet-agents) against the
# bridge, each run in its own network namespace with fake model APIs on loopback; then Claude Code
# on a second namespace exporting OpenTelemetry to the bridge, and a relay there.
agents-e2e: build
	tools/agents-e2e/run $(BUILD_DIR)
	tools/remote-e2e/run $(BUILD_DIR)

# The faults of tools/mutants/faults.txt built one at a time into a scratch copy of the tree, each
# against the tests that guard it; prints which the suite killed. Slow: not part of CI.
mutants: deps
	tools/mutants/run --scratch $(BUILD_DIR)-mutants --jobs $(JOBS)

format:
	clang-format -i $(SOURCES)

clean:
	rm -rf $(BUILD_DIR)
