# Front door of the build: `make` builds the two programs into build/,
# `make test` runs every test twice (plain, then under AddressSanitizer and
# UndefinedBehaviorSanitizer in build/asan), `make demo` runs both programs on
# the sample packet in samples/, `make bench` measures large bases.

BUILD      ?= build
ASAN_BUILD ?= build/asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
BENCH_MESSAGES ?= 100000

.PHONY: all test test-plain test-asan demo bench clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: test-plain test-asan

test-plain: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUIL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

demo: all
	sh samples/demo.sh $(BUILD)

bench:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIL_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	$(BUILD)/bases_bench $(BENCH_MESSAGES)

clean:
	rm -rf $(BUILD)
