# One word for each everyday task; CMake does the real work.
BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

.PHONY: all configure test demo bench clean

all: $(BUILD)/rempar

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

$(BUILD)/rempar: configure
	cmake --build $(BUILD) -j $(JOBS)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: all
	bash scripts/demo.sh $(BUILD)/rempar

bench:
	bash bench/run.sh

clean:
	rm -rf $(BUILD)
