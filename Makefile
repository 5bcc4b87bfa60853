# Two commands for a fresh clone: `make run` and `make test`.
# BUILD may be relative or absolute; JOBS defaults to the machine's cores.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60

BUILD_DIR := $(abspath $(BUILD))
# cmake --build runs make again below this one: keep its output plain.
MAKEFLAGS += --no-print-directory
# Configures quietly: only notices (such as a missing GoogleTest) and errors.
CONFIGURE := cmake --log-level=NOTICE -S .

.PHONY: run test build clean bench asan fuzz lint

# Configures in Release and builds everything, tests included.
build:
	$(CONFIGURE) -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Builds only the program, in Release, and sorts the shipped examples/sortdata.txt.
run:
	$(CONFIGURE) -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target shufflesort
	cd examples && $(BUILD_DIR)/shufflesort

# Builds everything and runs every test.
test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) build-*

# Google Benchmark of whole searches.
bench:
	$(CONFIGURE) -B build-bench -DCMAKE_BUILD_TYPE=Release -DSHUFFLESORT_BENCH=ON \
		-DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS) --target search_bench
	./build-bench/bench/search_bench

# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	$(CONFIGURE) -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHUFFLESORT_SANITIZE=ON \
		$(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

# libFuzzer on the value file reader for FUZZ_SECONDS (needs clang); its log
# is kept in build-fuzz/fuzz.log and shown only when it finds something.
fuzz:
	$(CONFIGURE) -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DSHUFFLESORT_FUZZ=ON -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target value_file_fuzz
	mkdir -p build-fuzz/corpus
	./build-fuzz/value_file_fuzz -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build-fuzz/ \
		-print_final_stats=1 build-fuzz/corpus tests/fuzz/corpus 2>build-fuzz/fuzz.log || \
		{ tail -n 40 build-fuzz/fuzz.log; exit 1; }
	@grep '^stat::number_of_executed_units' build-fuzz/fuzz.log

# clang-tidy, cppcheck and clang-format, all of which must report nothing.
lint: build
	bash .ci/lint $(BUILD_DIR)
