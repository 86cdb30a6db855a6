# Thin wrapper over CMake; packagers may drive CMake directly.
BUILD  ?= build
ASAN   ?= build-asan
ARM    ?= build-arm
BENCH  ?= build-bench
APPLIANCE ?= build-appliance
DRIVES ?= build-drives
JOBS   ?= $(shell nproc)
CMAKE  ?= cmake
CTEST  ?= ctest
# CMake's own makefiles, run below this one, would name every directory they enter.
MAKEFLAGS += --no-print-directory

.PHONY: all test test-asan arm appliance check demo deb bench clean deps-build deps-test deps-arm \
	deps-appliance deps-deb deps-check deps-bench mutants deps-mutants drives deps-drives

all: deps-build
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=OFF
	$(CMAKE) --build $(BUILD) -j $(JOBS)

deps-build:
	tools/install-deps.sh build

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

deps-appliance:
	tools/install-deps.sh arm appliance

# The cross build on an emulated ARM system: QEMU's virt machine with Debian's
# kernel, busybox, hdparm and sg_start, an AHCI disk and two USB disks; the
# test suite and the daemon's scenarios run inside (tools/appliance/).
# Debian's armel libfuse3 (fetched into $(APPLIANCE)) gives the fan stand-in.
appliance: deps-appliance
	tools/appliance/fetch.sh $(APPLIANCE)
	$(CMAKE) -S . -B $(ARM) -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake \
		-DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=ON \
		-DTORPOR_FUSE3_LIB=$(abspath $(APPLIANCE))/armel/lib/arm-linux-gnueabi/libfuse3.so.3 \
		-DTORPOR_FUSE3_INCLUDE=$(abspath $(APPLIANCE))/armel/usr/include/fuse3
	$(CMAKE) --build $(ARM) -j $(JOBS)
	tools/appliance/run.sh $(ARM) $(APPLIANCE)

deps-drives:
	tools/install-deps.sh test drives

# The amd64 packages (those of make deb, built here when missing) on
# Debian's amd64 kernel under QEMU, with scsi_debug disks: units that really
# stop (tools/appliance/drives.sh).
drives: deps-drives
	tools/appliance/fetch.sh $(DRIVES) amd64
	ls $(BUILD)/deb/torpord_*_amd64.deb >/dev/null 2>&1 || sh packaging/build-debs.sh . $(BUILD)
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=ON
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target torpor-fastclock
	tools/appliance/drives.sh $(BUILD)/deb $(BUILD)/tests/support/torpor-fastclock.so $(DRIVES)

deps-check:
	tools/install-deps.sh test arm check

# The quality gates, in order: sanitizers, static analysis, fuzzing,
# coverage, the ARM build under emulation (tools/check.sh says what each does).
check: deps-check
	JOBS=$(JOBS) tools/check.sh

# The real torpord in a throw-away sandbox against simulated disks, time sped up.
demo: deps-test
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=ON
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target torpord torpor-standin torpor-leddrv \
		torpor-fastclock
	tools/demo.sh $(BUILD)

deps-deb:
	tools/install-deps.sh deb arm

# Debian packages, built by dpkg-buildpackage from a copy of the tree: for the
# build machine in $(BUILD)/deb, for the appliance (armel, cross-built) in
# $(ARM)/deb; each set is checked (lintian, contents) once it is made.
deb: deps-deb
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=OFF
	sh packaging/build-debs.sh . $(BUILD)
	sh packaging/check-debs.sh $(BUILD)/deb $$(dpkg --print-architecture) $(BUILD)/packaging/deb-expected.sh
	sh packaging/build-debs.sh . $(ARM) armel
	sh packaging/check-debs.sh $(ARM)/deb armel $(BUILD)/packaging/deb-expected.sh

deps-bench:
	tools/install-deps.sh bench

# The daemon's cost per cycle and the library's throughput; figures in
# $(BENCH)/results (see bench/RESULTS.md).
bench: deps-bench
	$(CMAKE) -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=OFF -DTORPOR_BENCH=ON
	$(CMAKE) --build $(BENCH) -j $(JOBS)
	bench/run.sh $(BENCH)

deps-mutants:
	tools/install-deps.sh test mutants

# Mutation testing, for people: MUTANTS mutants of daemon/ and lib/ (or of the
# directories or files in MUTANTS_IN) drawn with SEED, each run against the
# tests that reach its file; survivors in build-mutants/survivors.txt.
mutants: deps-mutants
	tools/mutants.py $(if $(MUTANTS),--mutants $(MUTANTS)) $(if $(SEED),--seed $(SEED)) --jobs $(JOBS) $(MUTANTS_IN)

clean:
	rm -rf $(BUILD) $(ASAN) $(ARM) $(BENCH) $(APPLIANCE) $(DRIVES) build-lint build-fuzz build-cov build-mutants
