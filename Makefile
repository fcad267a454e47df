# One word for each everyday task; CMake does the real work.
#
# `make` builds the tool alone in build/ (g++, cmake and make are all it
# needs); `make test` builds and runs the tests in build-test/, a folder of
# its own, so that no setting of one build reaches the other. BUILD=dir on
# the command line names the folder of either (make test BUILD=build-asan ...).
BUILD      ?= build
TEST_BUILD ?= $(if $(filter command line,$(origin BUILD)),$(BUILD),build-test)
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
PREFIX     ?= /usr/local

.PHONY: all configure configure-test test cross-test demo bench bench-cold bench-large bench-proven clean

all: $(BUILD)/rempar

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DREMPAR_TESTS=OFF $(CMAKE_ARGS)

$(BUILD)/rempar: configure
	cmake --build $(BUILD) -j $(JOBS)

# Stops at once, with one line naming the Debian packages, when a library the
# tests need is missing; any other failure shows CMake's whole output.
configure-test:
	@mkdir -p $(TEST_BUILD)
	@cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=Release -DREMPAR_TESTS=ON $(CMAKE_ARGS) \
	  >$(TEST_BUILD)/configure.log 2>&1 || \
	  { grep -m1 '^make test needs: ' $(TEST_BUILD)/configure.log || cat $(TEST_BUILD)/configure.log; exit 1; }

# Ends with "N passed, M failed, K skipped" and names each skipped test; a
# run in which no test ran fails. TEST_ARGS go to ctest (e.g. TEST_ARGS="-R Kernel").
test: configure-test
	cmake --build $(TEST_BUILD) -j $(JOBS)
	JOBS=$(JOBS) bash scripts/run_tests.sh $(TEST_BUILD) $(TEST_ARGS)

# The whole suite built for another CPU and run under qemu-user:
#   make cross-test ARCH=aarch64      (or ARCH=s390x, a big-endian CPU)
# in build-$(ARCH)/, with the cross compiler g++-$(ARCH)-linux-gnu, the tests
# labelled huge (multi-GiB sparse files, loop devices) included: under
# emulation they add about 0.5 (s390x) to 3 (aarch64) minutes on 2 cores.
# CROSS_TEST_ARGS passes ctest arguments, e.g. CROSS_TEST_ARGS="-LE huge" to
# leave those out; the test summary then counts them as skipped and names them.
CROSS_ARCHES := aarch64 s390x
CROSS_TEST_ARGS ?=
cross-test:
	@case " $(CROSS_ARCHES) " in *" $(ARCH) "*) ;; \
	  *) echo "cross-test: set ARCH to one of: $(CROSS_ARCHES)"; exit 1 ;; esac
	$(MAKE) test BUILD=build-$(ARCH) TEST_ARGS="$(CROSS_TEST_ARGS)" \
	  CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-$(ARCH).cmake $(CMAKE_ARGS)"

# The repair cycle on a generated 64 MiB file, with the tool of `make`.
demo: all
	bash scripts/demo.sh $(BUILD)/rempar

# Builds its own folders (build-bench, build-avx2, build-plain); needs rdiff,
# rsync, GNU time and libbenchmark-dev besides. Times both walks (default and
# REMPAR_WALK=read) in three page-cache states; SIZE_MIB and RUNS adjust it.
bench:
	CMAKE_ARGS="$(CMAKE_ARGS)" bash bench/run.sh

# Checksum creation of a 4 GiB file read from disk, the page cache dropped
# before every run; as root (otherwise it says SKIP); not run by CI.
bench-cold:
	CMAKE_ARGS="$(CMAKE_ARGS)" bash bench/cold.sh

# Files of many GiB (sparse), side by side with 1 GiB ones; not run by CI.
bench-large:
	bash bench/large_files.sh

# Patch application before and after read-back and binding (bench/proven_repair.sh).
bench-proven:
	bash bench/proven_repair.sh

clean:
	rm -rf $(BUILD) $(TEST_BUILD)

# Installs bin/rempar and share/man/man1/rempar.1 under $(PREFIX); a DESTDIR
# given to make or set in the environment stages the tree below it.
.PHONY: install package lint
install: all
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# A .deb (installs under /usr) and a .tar.gz in $(BUILD)/.
package: all
	cd $(BUILD) && cpack -G "DEB;TGZ"

# Formatting, clang-tidy on src/ and the manual page. clang-tidy reads the
# test build's compile_commands.json, the only one that also compiles the
# kernels' emulated builds.
lint: configure-test
	JOBS=$(JOBS) bash scripts/lint.sh $(TEST_BUILD)

# The libFuzzer targets (clang++), each run for FUZZ_SECONDS in build-fuzz/;
# fails on any crash, leak, time-out or sanitizer report.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) bash scripts/fuzz.sh
