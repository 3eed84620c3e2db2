# The two commands a newcomer runs: `make demo` and `make test`.
# Both install missing Debian packages first (scripts/install-deps).

BUILD_DIR ?= build
FUZZ_DIR ?= build-fuzz
SAN_DIR ?= build-asan
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
# make install PREFIX=DIR [DESTDIR=ROOT]; without PREFIX, the configured
# CMAKE_INSTALL_PREFIX (/usr/local by default).
PREFIX ?=
DESTDIR ?=

.PHONY: all deps configure build demo test fuzz sanitize bench install package format clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Builds everything and runs the main job on the built-in example.
demo: build
	@examples/demo.sh $(BUILD_DIR)

# The whole test suite through ctest.
test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# libFuzzer targets (clang, ASan and UBSan), each run for a few seconds.
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -G Ninja -DVLM_FUZZ=ON \
	  -DVLM_SANITIZE=address,undefined -DVLM_BENCH=OFF >/dev/null
	@cmake --build $(FUZZ_DIR) --target fuzz_all -j $(JOBS)
	@ctest --test-dir $(FUZZ_DIR) -L fuzz --output-on-failure

# Everything that does not replace malloc/abort, under ASan and UBSan.
sanitize: deps
	@cmake -S . -B $(SAN_DIR) -G Ninja -DVLM_SANITIZE=address,undefined \
	  -DVLM_BENCH=OFF >/dev/null
	@cmake --build $(SAN_DIR) -j $(JOBS)
	@ctest --test-dir $(SAN_DIR) --output-on-failure -j $(JOBS) -LE fuzz

# Benchmarks with their peers side by side (see bench/README.md).
bench: build
	@bench/run.sh $(BUILD_DIR)

# Installs the build under PREFIX (within DESTDIR when given).
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) $(if $(PREFIX),--prefix "$(PREFIX)")

# The .deb and the .tar.xz, in $(BUILD_DIR).
package: build
	@cmake --build $(BUILD_DIR) --target package

format:
	@git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(FUZZ_DIR) $(SAN_DIR)
