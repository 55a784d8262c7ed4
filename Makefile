# Entry points: `make test` (deps, build, tests), `make test-sanitizers`, `make fuzz-smoke`,
# `make bench`, `make demo`, `make soak`. Everything builds with CMake presets and Ninja.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 20

.PHONY: all deps build test build-asan build-tsan test-asan test-tsan test-sanitizers \
        build-fuzz fuzz-smoke bench demo soak clean

all: build

deps:
	@./scripts/install-deps

build/build.ninja: | deps
	cmake --preset default

build: deps build/build.ninja
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default -j $(JOBS)

build-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)

build-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)

test-asan: build-asan
	ctest --preset asan -j $(JOBS)

test-tsan: build-tsan
	ctest --preset tsan -j $(JOBS)

test-sanitizers: test-asan test-tsan

build-fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS) --target fuzzers

# Runs every fuzz target briefly from its corpus folder (fuzz/corpus/<name>, if present).
fuzz-smoke: build-fuzz
	@set -e; for f in build-fuzz/bin/fuzz_*; do \
	  name=$$(basename $$f); corpus=fuzz/corpus/$${name#fuzz_}; work=$$(mktemp -d); \
	  [ -d $$corpus ] && cp -r $$corpus/. $$work/; \
	  echo "== $$name ($(FUZZ_SECONDS) s)"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=0 $$work 2>&1 | tail -n 2; \
	  rm -rf $$work; \
	done

bench: build
	@set -e; for b in build/bin/bench_*; do echo "== $$b"; $$b --benchmark_min_time=0.2; done

demo: build
	./scripts/demo

# Random rounds over the real processes; SOAK_ROUNDS, SOAK_RANDOM and the others in scripts/soak.
SOAK_ROUNDS ?= 30
soak: build
	SOAK_ROUNDS=$(SOAK_ROUNDS) ./scripts/soak

clean:
	rm -rf build build-asan build-tsan build-fuzz
