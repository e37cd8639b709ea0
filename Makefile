# Quick-start wrappers around CMake. `make demo` and `make test` do all the set-up on a fresh
# Debian machine (they install what is missing with apt-get when run as root).
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

BASE_PACKAGES := cmake ninja-build g++ libgtest-dev

.PHONY: all deps build demo test sanitize clean

all: build

deps:
	@scripts/need.sh $(BASE_PACKAGES)

build: deps
	cmake -G Ninja -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Builds pbo, extracts the bundled sample archive into a scratch copy and lists the result.
demo: build
	rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo
	cp samples/Island.pbo $(BUILD)/demo/
	$(BUILD)/frontend/pbo -x $(BUILD)/demo/Island.pbo; echo "pbo -x exit code: $$?"
	@cd $(BUILD)/demo && find Island -type f | sort | while read -r f; do \
	  printf '%8s  %s\n' "$$(wc -c <"$$f")" "$$f"; done
	@echo "--- Island/missions/demo/mission.zem ---"
	@cat $(BUILD)/demo/Island/missions/demo/mission.zem | tr -d '\r'

# Builds everything and runs every test.
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DPBO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

clean:
	rm -rf build build-asan build-bench build-fuzz build-windows

# Cross-builds pbo.exe and the test suites with mingw-w64 and runs them under Wine.
.PHONY: windows-test
windows-test:
	scripts/windows-test.sh
