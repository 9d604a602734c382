# The two commands: `make run` and `make test`. Both install what is
# missing, then build.

BUILD        ?= build
ASAN_BUILD   ?= build-asan
TSAN_BUILD   ?= build-tsan
CLANG_BUILD  ?= build-clang
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS         ?= $(shell nproc)
CMAKE_FLAGS  ?=

.PHONY: run test deps build clang sanitize tsan fuzz bench clean

run: build
	./scripts/run-demo $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

deps:
	./scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The tree built with clang, warnings as errors as with g++, and its tests
# run: the fuzz targets are clang's, so the whole tree must build with it.
clang: deps
	./scripts/install-deps clang
	CC=clang CXX=clang++ cmake -S . -B $(CLANG_BUILD) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(CLANG_BUILD) -j $(JOBS)
	cd $(CLANG_BUILD) && ctest --output-on-failure -j $(JOBS)

# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=address $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The tests of the code that owns threads, under ThreadSanitizer.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS) -L 'platform/dispatch|platform/foundation|platform/frameworks|platform/render|measurement|tools'

# Every fuzz target for FUZZ_SECONDS each, built with clang and the
# libraries instrumented, under AddressSanitizer and UndefinedBehaviorSanitizer.
fuzz: deps
	./scripts/install-deps clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON \
		-DVELMORA_WERROR=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target velmora_fuzz_targets
	./scripts/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: build
	./scripts/run-benchmarks $(BUILD)

clean:
	rm -rf $(BUILD) $(CLANG_BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
