# Entry points: `make test` (deps, build, tests), `make test-sanitizers`, `make fuzz-smoke`,
# `make bench`, `make demo`, `make soak`, `make install`, `make package`, `make test-packaging`.
# Everything builds with CMake presets and Ninja.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 20

.PHONY: all deps build test build-asan build-tsan test-asan test-tsan test-sanitizers \
        build-fuzz fuzz-smoke bench demo soak install package test-packaging clean

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
	  log=$$(mktemp); \
	  if ! $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=0 $$work >$$log 2>&1; then \
	    tail -n 40 $$log; rm -rf $$work $$log; echo "$$name failed"; exit 1; \
	  fi; \
	  tail -n 2 $$log; rm -rf $$work $$log; \
	done

# The daemon benchmark takes its own options (IDLE_SECONDS=60 for the full idle minute).
IDLE_SECONDS ?= 30
# The window of the side-by-side run against mbpfan (60 for the full minute).
SIDE_BY_SIDE_SECONDS ?= 20
bench: build
	@set -e; for b in build/bin/bench_*; do \
	  echo "== $$b"; \
	  case $$b in \
	    *daemon_roundtrip) $$b --idle-seconds $(IDLE_SECONDS) ;; \
	    *) $$b --benchmark_min_time=0.2 ;; \
	  esac; \
	done
	@echo "== bench/mbpfan_side_by_side"; \
	if [ "$$(id -u)" -eq 0 ] && [ -c /dev/fuse ]; then ./scripts/install-bench-deps || true; fi; \
	./bench/mbpfan_side_by_side --window $(SIDE_BY_SIDE_SECONDS)
	@echo "== bench/web_face_costs.py"; /usr/bin/python3 ./bench/web_face_costs.py --idle-seconds $(IDLE_SECONDS)

demo: build
	./scripts/demo

# Random rounds over the real processes; SOAK_ROUNDS, SOAK_RANDOM and the others in scripts/soak.
SOAK_ROUNDS ?= 30
soak: build
	SOAK_ROUNDS=$(SOAK_ROUNDS) ./scripts/soak

# make install [PREFIX=/usr/local] [DESTDIR=…] and make package (a .deb for /usr) build the shipped
# programs in build-dist for their prefix: the units and the virtual Mac's profile path follow it.
PREFIX ?= /usr/local
DIST_TARGETS = com.quorvane.SMCService quorvanectl quorvane-virtual-mac quorvane-web quorvane-changelog
define dist_build
cmake -S . -B build-dist -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DCMAKE_INSTALL_PREFIX=$(1) \
  -DQUORVANE_PROFILE_DIR=$(1)/share/quorvane/profiles -DQUORVANE_SMC_DUMP_DIR=$(1)/share/quorvane/tables >/dev/null
CCACHE_NOHASHDIR=1 cmake --build build-dist -j $(JOBS) --target $(DIST_TARGETS)
endef

install: deps
	$(call dist_build,$(PREFIX))
	DESTDIR="$(DESTDIR)" cmake --install build-dist

package: deps
	$(call dist_build,/usr)
	cd build-dist && cpack -G DEB

# The units, the install tree, the package and its maintainer scripts (no running systemd needed);
# then the package installed in a booted minimal Debian under systemd-nspawn (skipped, in one line,
# where that cannot run; the Debian root is cached in build/nspawn-root).
test-packaging: package
	./tests/packaging/run
	./tests/packaging/nspawn-boot

clean:
	rm -rf build build-asan build-tsan build-fuzz build-dist
