# One word for each everyday task; CMake does the real work.
BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
PREFIX     ?= /usr/local

.PHONY: all configure test cross-test demo bench bench-large clean

all: $(BUILD)/rempar

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

$(BUILD)/rempar: configure
	cmake --build $(BUILD) -j $(JOBS)

# Ends with "N passed, M failed, K skipped" and names each skipped test.
# TEST_ARGS go to ctest (e.g. TEST_ARGS="-R Kernel").
test: all
	JOBS=$(JOBS) bash scripts/run_tests.sh $(BUILD) $(TEST_ARGS)

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

# Builds the tool alone, without the tests (no libgtest-dev needed), in its
# own folder so that the test build keeps its settings.
DEMO_BUILD ?= build-demo
demo:
	cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=Release -DREMPAR_TESTS=OFF $(CMAKE_ARGS) >/dev/null
	cmake --build $(DEMO_BUILD) -j $(JOBS) --target rempar
	bash scripts/demo.sh $(DEMO_BUILD)/rempar

bench:
	bash bench/run.sh

# Files of many GiB (sparse), side by side with 1 GiB ones; not run by CI.
bench-large:
	bash bench/large_files.sh

clean:
	rm -rf $(BUILD) $(DEMO_BUILD)

# Installs bin/rempar and share/man/man1/rempar.1 under $(PREFIX); a DESTDIR
# given to make or set in the environment stages the tree below it.
.PHONY: install package lint
install: all
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# A .deb (installs under /usr) and a .tar.gz in $(BUILD)/.
package: all
	cd $(BUILD) && cpack -G "DEB;TGZ"

# Formatting, clang-tidy on src/ (through the build's compile_commands.json)
# and the manual page.
lint: configure
	JOBS=$(JOBS) bash scripts/lint.sh $(BUILD)

# The libFuzzer targets (clang++), each run for FUZZ_SECONDS in build-fuzz/;
# fails on any crash, leak, time-out or sanitizer report.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) bash scripts/fuzz.sh
