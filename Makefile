# Thin wrapper over CMake; packagers may drive CMake directly.
BUILD  ?= build
ASAN   ?= build-asan
ARM    ?= build-arm
JOBS   ?= $(shell nproc)
CMAKE  ?= cmake
CTEST  ?= ctest

.PHONY: all test test-asan arm demo clean deps-test deps-arm

all:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=OFF
	$(CMAKE) --build $(BUILD) -j $(JOBS)

deps-test:
	tools/install-deps.sh test

test: deps-test
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=ON
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	$(CTEST) --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps-test
	$(CMAKE) -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DTORPOR_TESTS=ON -DTORPOR_SANITIZE=ON
	$(CMAKE) --build $(ASAN) -j $(JOBS)
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		$(CTEST) --test-dir $(ASAN) --output-on-failure -j $(JOBS)

deps-arm:
	tools/install-deps.sh arm

# Cross build for 32-bit ARM; the unit tests run under qemu-arm.
arm: deps-arm
	$(CMAKE) -S . -B $(ARM) -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake \
		-DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=ON
	$(CMAKE) --build $(ARM) -j $(JOBS)
	$(CTEST) --test-dir $(ARM) --output-on-failure -j $(JOBS)

# The real torpord in a throw-away sandbox against simulated disks, time sped up.
demo: deps-test
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=ON
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target torpord torpor-standin torpor-leddrv
	tools/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN) $(ARM)
