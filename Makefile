# Front door of the build: `make` builds the two programs into build/,
# `make test` runs every test twice (plain, then under AddressSanitizer and
# UndefinedBehaviorSanitizer in build/asan), `make demo` runs both programs on
# the sample packet in samples/, `make bench` measures both programs on
# large bases against cp and copies hostile files (into bench/RESULTS.md),
# `make fuzz` runs every fuzz harness in fuzz/ for FUZZ_SECONDS seconds each
# (a clang build of its own in build/fuzz; not part of `make test`).

BUILD      ?= build
ASAN_BUILD ?= build/asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
# The sizes `make bench` measures, comma-separated: 10,000 and 100,000
# messages unless given (BENCH_BIG=1 adds 1,000,000).
BENCH_MESSAGES ?=
BENCH_BIG ?=
FUZZ_BUILD ?= build/fuzz
FUZZ_CXX   ?= clang++-16
FUZZ_SECONDS ?= 60

.PHONY: all test test-plain test-asan demo bench fuzz clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: test-plain test-asan

test-plain:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUIL_SANITIZE=ON -DBUILD_TESTING=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

demo: programs
	sh samples/demo.sh $(BUILD)

# ---------------------------------------------------------------------------
# For users: `make programs` builds only the library and the two programs
# (no tests, no GoogleTest needed); `make install` puts the programs and
# their manual pages under PREFIX (inside DESTDIR when given), each also
# under its lower-case name as a link; `make uninstall` removes them again.
PREFIX ?= /usr/local
# What the install rules in CMakeLists.txt put under PREFIX.
INSTALLED = bin/Quilord bin/Quilxfer bin/quilord bin/quilxfer \
            share/man/man1/Quilord.1 share/man/man1/Quilxfer.1 \
            share/man/man1/quilord.1 share/man/man1/quilxfer.1

.PHONY: programs install uninstall

programs:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS) --target Quilord Quilxfer

install: programs
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

uninstall:
	for file in $(INSTALLED); do rm -f "$(DESTDIR)$(PREFIX)/$$file"; done
# ---------------------------------------------------------------------------

bench:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIL_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	BENCH_BIG=$(BENCH_BIG) $(BUILD)/quil_bench --results bench/RESULTS.md \
	  $(if $(BENCH_MESSAGES),--sizes $(BENCH_MESSAGES))

fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DQUIL_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
