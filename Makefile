# Convenience front end over CMake + Ninja.
#   make test     install dependencies, build, run every test, then build the
#                 sanitizer configuration and run the unit suites under it
#   make build    build the release configuration only
#   make check    run the tests of an existing release build
#   make demo     build, then run Kelvane's main job on a local Samba share (scripts/demo)
JOBS ?= $(shell nproc)
BUILD ?= build/release
ASAN_BUILD ?= build/asan
CTEST_FLAGS ?= --output-on-failure --timeout 600

.PHONY: deps build asan check check-asan test bench clean demo

deps:
	bash scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVANE_SANITIZE=ON -DKELVANE_BUILD_BENCH=OFF -DKELVANE_PEER_TESTS=OFF

asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

check: build
	cd $(BUILD) && ctest $(CTEST_FLAGS) -j $(JOBS)

check-asan: asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest $(CTEST_FLAGS) -j $(JOBS) -L unit

test: deps
	$(MAKE) check
	$(MAKE) check-asan

demo: deps
	$(MAKE) build
	bash scripts/demo $(BUILD)

clean:
	rm -rf build
