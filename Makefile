# Two commands for a fresh clone: `make run` and `make test`.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: run test build clean

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j 2

# Builds in Release and sorts the shipped examples/sortdata.txt.
run: build
	cd examples && ../$(BUILD)/shufflesort

# Builds everything and runs every test.
test: build
	cd $(BUILD) && ctest --output-on-failure -j 2

clean:
	rm -rf $(BUILD) build-*

# Google Benchmark: attempts per second, literal replay against the search.
.PHONY: bench
bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSHUFFLESORT_BENCH=ON -DSHUFFLESORT_TESTS=OFF
	cmake --build build-bench -j 2 --target search_bench
	./build-bench/bench/search_bench

# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer.
.PHONY: asan
asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHUFFLESORT_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j 2
	cd build-asan && ctest --output-on-failure -j 2

# libFuzzer on the value file reader for FUZZ_SECONDS (needs clang).
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DSHUFFLESORT_FUZZ=ON -DSHUFFLESORT_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j 2 --target value_file_fuzz
	mkdir -p build-fuzz/corpus
	./build-fuzz/value_file_fuzz -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build-fuzz/ \
		build-fuzz/corpus tests/fuzz/corpus

# clang-tidy, cppcheck and clang-format, all of which must report nothing.
.PHONY: lint
lint: build
	clang-tidy -p $(BUILD) --quiet src/*.cpp tests/*.cpp
	clang-tidy --quiet bench/*.cpp tests/fuzz/*.cpp -- -std=c++17 -Isrc -Itests
	cppcheck --library=googletest --enable=warning,performance,portability,style --std=c++17 \
		--error-exitcode=1 --inline-suppr --suppress=missingIncludeSystem --quiet \
		-I src -I tests src bench tests
	clang-format --dry-run -Werror src/*.cpp src/*.h tests/*.cpp tests/*.h tests/fuzz/*.cpp bench/*.cpp
