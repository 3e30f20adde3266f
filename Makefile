# make test   build everything and run the C++ and Python tests
# make demo   build the extension and run it on the bundled examples
# make asan   the C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer
# make bench  the benchmarks (Release build): C++ phases on the prompt collection,
#             whole compiles, and calls from Python
# Every target installs what it needs first (scripts/setup.sh).

VENV := .venv
PY := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

CMAKE_GENERATE = cmake -S . -G Ninja -Wno-dev
BENCH_DATA ?= ../shared/data/prompts

.PHONY: setup install cpp-test py-test test demo asan bench clean

setup:
	@scripts/setup.sh

# Builds the extension (incrementally, in build/<wheel tag>) into .venv.
install: setup
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .

cpp-test: setup
	$(CMAKE_GENERATE) -B build/cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSEL_WERROR=ON \
		-DTESSEL_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	cmake --build build/cpp
	ctest --test-dir build/cpp --output-on-failure

py-test: install
	$(PY) -m pytest
	$(PY) -m mypy.stubtest tessel._tessel

test: cpp-test py-test

demo: install
	$(PY) examples/demo.py

asan: setup
	$(CMAKE_GENERATE) -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSEL_WERROR=ON -DTESSEL_SANITIZE=ON
	cmake --build build/asan
	ctest --test-dir build/asan --output-on-failure

bench: install
	$(CMAKE_GENERATE) -B build/bench -DCMAKE_BUILD_TYPE=Release
	cmake --build build/bench --target quarl_bench quarl_eval_bench quarl_compile_bench
	build/bench/bench/quarl_bench $(BENCH_DATA)
	build/bench/bench/quarl_eval_bench
	build/bench/bench/quarl_compile_bench bench/data/typical_prompt.quarl
	$(PY) bench/python_bench.py

clean:
	rm -rf build
