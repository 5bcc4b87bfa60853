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
