# Set-up commands: `make run` builds and starts the program, `make test` builds everything
# (host with sanitizers, mipsel target under qemu) and runs every test.
# Helpers: target, fuzz, tsan, bench, format-check, clean.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

CTEST := ctest --output-on-failure -j2
TOOLCHAIN := cmake/toolchains/mipsel-linux-gnu.cmake
FUZZ_SECONDS ?= 60
# ccache, when the machine has it, speeds up rebuilds across build directories and trees.
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# The project's own gates treat warnings as errors; a plain cmake build only shows them.
WERROR := -DTARVIK_WERROR=ON
# Unit-test labels for the ThreadSanitizer run (a regular expression over module names).
TSAN_LABELS ?= unit

.PHONY: all run test target fuzz tsan bench deps format-check clean \
        host-release host-test target-build

all: run

# The steps share build directories and the two cores: one at a time.
.NOTPARALLEL:

deps:
	@scripts/install-deps

# ---- host --------------------------------------------------------------------------
host-release:
	cmake -S . -B build -G Ninja $(LAUNCHER) -DCMAKE_BUILD_TYPE=Release -DTARVIK_SANITIZE=OFF \
	  -DTARVIK_TSAN=OFF -DTARVIK_FUZZ=OFF -DTARVIK_BENCH=OFF >/dev/null
	cmake --build build --target vexa

run: deps host-release
	build/vexa

host-test:
	cmake -S . -B build -G Ninja $(LAUNCHER) $(WERROR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTARVIK_SANITIZE=ON -DTARVIK_TSAN=OFF -DTARVIK_FUZZ=OFF -DTARVIK_BENCH=OFF >/dev/null
	cmake --build build

# ---- mipsel target -------------------------------------------------------------------
target-build:
	cmake -S . -B build-mipsel -G Ninja $(LAUNCHER) $(WERROR) -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build-mipsel

target: deps
	cmake -S . -B build-mipsel -G Ninja $(LAUNCHER) $(WERROR) -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build-mipsel --target vexa vexa_static
	@echo "stripped static target program: $$(stat -c %s build-mipsel/vexa_static) bytes"

# The target's tests run first, so the output ends with the host CTest summary; a failure
# of either fails the whole command.
test: deps host-test target-build
	@echo "==== mipsel target tests (qemu-mipsel) ===="
	@target_status=0; (cd build-mipsel && $(CTEST)) || target_status=$$?; \
	echo "==== host tests (AddressSanitizer + UndefinedBehaviorSanitizer) ===="; \
	host_status=0; (cd build && $(CTEST)) || host_status=$$?; \
	if [ $$target_status -ne 0 ]; then echo "make test: target tests FAILED" >&2; fi; \
	if [ $$host_status -ne 0 ]; then echo "make test: host tests FAILED" >&2; fi; \
	[ $$target_status -eq 0 ] && [ $$host_status -eq 0 ]

# ---- fuzzing -------------------------------------------------------------------------
# Each target runs for FUZZ_SECONDS on a scratch copy of its seed corpus, so new inputs
# never land in the tree; crashes are kept in fuzz-build/artifacts/.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B fuzz-build -G Ninja $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTARVIK_FUZZ=ON -DTARVIK_TESTS=OFF >/dev/null
	cmake --build fuzz-build --target fuzzers
	@mkdir -p fuzz-build/artifacts; status=0; count=0; failed=0; \
	for source in fuzz/*_fuzz.cpp; do \
	  [ -e "$$source" ] || continue; \
	  name=$$(basename "$$source" .cpp); module=$${name%_fuzz}; \
	  corpus=$$(mktemp -d); log=fuzz-build/artifacts/$$name.log; \
	  if [ -d "fuzz/corpus/$$module" ]; then cp -r "fuzz/corpus/$$module/." "$$corpus/"; fi; \
	  count=$$((count + 1)); \
	  if fuzz-build/fuzz/$$name -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	       -artifact_prefix=fuzz-build/artifacts/$$name- "$$corpus" >"$$log" 2>&1; then \
	    echo "fuzz $$name: ok ($$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$$log" | grep -o '[0-9]*$$') runs in $(FUZZ_SECONDS) s)"; \
	  else \
	    echo "fuzz $$name: FAILED (log $$log)"; tail -n 60 "$$log"; status=1; failed=$$((failed + 1)); \
	  fi; \
	  rm -rf "$$corpus"; \
	done; \
	echo "fuzz: $$((count - failed)) passed, $$failed failed"; \
	exit $$status

# ---- ThreadSanitizer -----------------------------------------------------------------
tsan: deps
	cmake -S . -B build-tsan -G Ninja $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TSAN=ON \
	  -DTARVIK_SANITIZE=OFF >/dev/null
	cmake --build build-tsan
	cd build-tsan && $(CTEST) -L '$(TSAN_LABELS)'

# ---- benchmarks ----------------------------------------------------------------------
bench: deps target
	cmake -S . -B bench-build -G Ninja $(LAUNCHER) -DCMAKE_BUILD_TYPE=Release -DTARVIK_BENCH=ON \
	  -DTARVIK_TESTS=OFF >/dev/null
	cmake --build bench-build --target vexa vexa_static benchmarks plugin_files
	@for program in bench-build/bench/*_bench; do \
	  [ -x "$$program" ] || continue; echo "==== $$program ===="; "$$program"; \
	done
	bench/process_bench.sh bench-build/vexa build-mipsel/vexa_static
	bench/ftpd_bench.py bench-build/vexa
	bench/digest_bench.py bench-build/bench/digest_bench
	bench/ftp_bench.sh bench-build/vexa
	bench/update_bench.py bench-build/vexa
	bench/telnetd_bench.sh bench-build/vexa_static
	bench/cgi_bench.sh bench-build/vexa_static
	bench/sum_bench.py bench-build/vexa_static build-mipsel/vexa_static
	bench/plugin_bench.sh bench-build/vexa
	bench/meminfo_bench.sh bench-build/vexa_static
	bench/fbmap_bench.sh bench-build build-mipsel

# ---- housekeeping --------------------------------------------------------------------
# Reports files that differ from .clang-format (does not rewrite them).
format-check:
	@clang-format --dry-run --Werror source/*.cpp source/*.h source/detail/*.hpp source.vexa/*.cpp \
		tests/unit/*.cpp tests/unit/*.hpp fuzz/*.cpp bench/*.cpp

clean:
	rm -rf build build-mipsel build-tsan fuzz-build bench-build build-default
