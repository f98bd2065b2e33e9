# Entry points: `make test` and `make demo` (see README.md).
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps configure build test demo bench fuzz package test-asan test-tsan clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DORV_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug"

test-tsan:
	$(MAKE) build BUILD=build-tsan CMAKE_FLAGS="-DORV_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"
	cd build-tsan && ctest --output-on-failure -L tsan

fuzz:
	FUZZ_SECONDS=$(or $(FUZZ_SECONDS),60) bash scripts/fuzz.sh

bench: build
	cd $(BUILD) && pg_virtualenv -t ./bin/orv-bench bench-results.json

package: build
	cmake --build $(BUILD) --target package

demo:
	@bash scripts/demo.sh

clean:
	rm -rf build build-asan build-tsan build-fuzz
