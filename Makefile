# Quick-start wrappers around CMake. `make demo` and `make test` do all the set-up on a fresh
# Debian machine (they install what is missing with apt-get when run as root). Builds are
# quiet: their output goes to $(BUILD)/build.log, shown whole only when they fail (the
# compiler's warnings are shown either way).
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

BASE_PACKAGES := cmake ninja-build g++ libgtest-dev groff-base
# What the tests use beyond the build: the package test checks the package with lintian.
# Not in BASE_PACKAGES, so that make demo stays quick.
TEST_PACKAGES := lintian

.PHONY: all deps configure build pbo demo test sanitize clean

all: build

deps:
	@scripts/need.sh $(BASE_PACKAGES)

CONFIGURE = cmake -G Ninja -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: deps
	@echo "Building everything in $(BUILD)/ (log: $(BUILD)/build.log)"
	@scripts/quietly.sh $(BUILD)/build.log sh -c '$(CONFIGURE) && cmake --build $(BUILD) -j $(JOBS)'

# The tool alone: $(BUILD)/frontend/pbo.
pbo: deps
	@echo "Building pbo in $(BUILD)/ (log: $(BUILD)/build.log)"
	@scripts/quietly.sh $(BUILD)/build.log sh -c \
	  '$(CONFIGURE) && cmake --build $(BUILD) -j $(JOBS) --target pbo'

# Builds the tool, extracts a copy of the bundled sample archive and shows what came out.
demo: pbo
	@rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo && cp samples/Island.pbo $(BUILD)/demo/
	@echo "Built $(BUILD)/frontend/pbo. In $(BUILD)/demo/, a copy of samples/Island.pbo:"
	@echo "$$ pbo -x Island.pbo"
	@cd $(BUILD)/demo && ../frontend/pbo -x Island.pbo; echo "exit code $$? (0: every entry came out whole)"
	@cd $(BUILD)/demo && find Island -type f | sort | while read -r f; do \
	  printf '%8s bytes  %s\n' "$$(wc -c <"$$f")" "$$f"; done
	@echo "--- Island/missions/demo/mission.zem, a binarized mission written as text:"
	@tr -d '\r' <$(BUILD)/demo/Island/missions/demo/mission.zem
	@echo "--- To use pbo anywhere, see Install in README.md."

# Builds everything and runs every test; then says why each skipped test was skipped.
test: build
	@scripts/need.sh $(TEST_PACKAGES)
	@JOBS=$(JOBS) scripts/run-tests.sh $(BUILD)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	@$(MAKE) --no-print-directory test BUILD=build-asan CMAKE_FLAGS="-DPBO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

# The suites that run the archive modes on worker threads, under ThreadSanitizer.
.PHONY: tsan
tsan: deps
	@echo "Building the threaded suites in build-tsan/ (log: build-tsan/build.log)"
	@scripts/quietly.sh build-tsan/build.log sh -c 'cmake -G Ninja -S . -B build-tsan \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPBO_TSAN=ON && cmake --build build-tsan -j $(JOBS) \
	  --target pbo archive_tests security_tests frontend_tests'
	@TSAN_OPTIONS=halt_on_error=1 JOBS=$(JOBS) scripts/run-tests.sh build-tsan \
	  -R '[.]Threads[0-9]+$$'

# Builds the libFuzzer binaries with clang under AddressSanitizer and UndefinedBehavior-
# Sanitizer and runs each target for FUZZ_SECONDS. New inputs go to build-fuzz/corpus/;
# an input that breaks a property is saved as build-fuzz/findings/<target>-crash-<hash>
# and stops the run (copy it into fuzz/corpus/<target>/ once mended, as a regression seed).
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
# archive_extract makes and removes folders for every input; memory-backed is much faster.
FUZZ_TMPDIR ?= $(if $(wildcard /dev/shm),/dev/shm,/tmp)
FUZZ_TARGETS := archive_extract lzss_decode mission_to_text lzss_round_trip
# Longest input per target: whole small archives; packed blocks and missions of a few KB;
# round-trip data short enough for the plain reference coder.
FUZZ_MAX_LEN_archive_extract := 65536
FUZZ_MAX_LEN_lzss_decode := 16384
FUZZ_MAX_LEN_mission_to_text := 16384
FUZZ_MAX_LEN_lzss_round_trip := 4096

.PHONY: fuzz fuzz-build
# libFuzzer ships with the runtime libraries of the clang that is installed.
CLANG_MAJOR = $(shell clang++ -dumpversion 2>/dev/null | cut -d. -f1)
fuzz-build:
	@scripts/need.sh cmake ninja-build clang libclang-rt-$(or $(CLANG_MAJOR),14)-dev
	cmake -G Ninja -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
	  -DPBO_SANITIZE=ON -DPBO_FUZZ=ON -DPBO_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/findings
	$(foreach t,$(FUZZ_TARGETS),echo "=== fuzz_$(t) for $(FUZZ_SECONDS) s" && \
	  mkdir -p $(FUZZ_BUILD)/corpus/$(t) && \
	  TMPDIR=$(FUZZ_TMPDIR) $(FUZZ_BUILD)/fuzz/fuzz_$(t) -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	    -rss_limit_mb=2048 -max_len=$(FUZZ_MAX_LEN_$(t)) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/findings/$(t)- \
	    $(if $(wildcard fuzz/$(t).dict),-dict=fuzz/$(t).dict) \
	    $(FUZZ_BUILD)/corpus/$(t) fuzz/corpus/$(t) && ) true

# Benchmarks, from this repository alone: bench/make_corpus.py writes the corpus (nine
# files of 64 MiB in all, and a tree of about 3650 files, from a fixed seed); lzss_bench
# times the codec against the plain exhaustive encoder, the plain decode loop and general
# compressors (the yardsticks, linked into the benchmark only); bench/tool_bench.py times
# the whole tool on the tree, on one large file and on a million small entries.
# BENCH_TOOL_FLAGS=--quick makes the tool tables take a minute instead of most of the time.
BENCH_BUILD ?= build-bench
BENCH_TOOL_FLAGS ?=
BENCH_DISK_MB := 3500
# Measured from a clean clone on this project's 2-core machine, building included.
BENCH_MINUTES = $(if $(findstring --quick,$(BENCH_TOOL_FLAGS)),5,10)
BENCH_PACKAGES := cmake ninja-build g++ zlib1g-dev libdeflate-dev libzstd-dev liblz4-dev \
  python3 time
.PHONY: bench
bench:
	@echo "make bench: about $(BENCH_MINUTES) minutes on 2 cores, $(BENCH_DISK_MB) MB of disk in" \
	  "$(BENCH_BUILD)/ and, for a million small files, about 6 GB of RAM disk (/dev/shm)."
	@scripts/need.sh $(BENCH_PACKAGES)
	@python3 -c 'import sys; sys.exit(sys.version_info < (3, 9))' || \
	  { echo "make bench needs Python 3.9 or later"; exit 1; }
	@mkdir -p $(BENCH_BUILD) && \
	  free=$$(df -Pk $(BENCH_BUILD) | awk 'NR == 2 { print int($$4 / 1024) }') && \
	  if [ "$$free" -lt $(BENCH_DISK_MB) ]; then \
	    echo "make bench needs $(BENCH_DISK_MB) MB free in $(BENCH_BUILD)/; $$free MB are."; exit 1; fi
	@echo "Building lzss_bench and pbo in $(BENCH_BUILD)/ (log: $(BENCH_BUILD)/build.log)"
	@scripts/quietly.sh $(BENCH_BUILD)/build.log sh -c 'cmake -G Ninja -S . -B $(BENCH_BUILD) \
	  -DCMAKE_BUILD_TYPE=Release -DPBO_BUILD_BENCH=ON -DPBO_BUILD_TESTS=OFF && \
	  cmake --build $(BENCH_BUILD) -j $(JOBS) --target lzss_bench pbo'
	python3 bench/make_corpus.py $(BENCH_BUILD)/corpus
	python3 bench/make_corpus.py --tree $(BENCH_BUILD)/tree
	$(BENCH_BUILD)/bench/lzss_bench $(BENCH_BUILD)/corpus
	python3 bench/tool_bench.py $(BENCH_TOOL_FLAGS) $(BENCH_BUILD)/frontend/pbo \
	  $(BENCH_BUILD)/corpus $(BENCH_BUILD)/tree $(BENCH_BUILD)/tool

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-windows build-aarch64 \
	  build-s390x build-cross-compare

# Cross-builds pbo.exe and the test suites with mingw-w64 and runs them under Wine, then
# the Windows download (pbo-VERSION-win64.zip) as a user gets it.
.PHONY: windows-test
windows-test:
	scripts/windows-test.sh

# Cross-builds for CROSS_ARCHS (64-bit Arm, and IBM Z, which is big-endian), runs every
# suite under qemu-user, then packs one folder on x86-64, on each of them and on Windows
# (after windows-test) and compares the archives byte for byte.
CROSS_ARCHS ?= aarch64 s390x
.PHONY: cross-test
cross-test:
	JOBS=$(JOBS) scripts/cross-test.sh $(CROSS_ARCHS)
