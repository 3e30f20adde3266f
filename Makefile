# make test   build everything and run the C++ and Python tests
# make demo   build the extension and run it on the bundled examples
# make asan   the C++ and Python tests under AddressSanitizer and UndefinedBehaviorSanitizer
# make tsan   the C++ tests under ThreadSanitizer (a stress test of 8 threads among them)
# make fuzz   builds the libFuzzer targets (clang) and runs each for FUZZ_SECONDS
# make bench  the benchmarks (Release build): C++ phases on the prompt collection,
#             whole compiles, growth with input size, calls from Python, and
#             tessel beside Jinja2 and MiniJinja (bench/peers_bench.py)
# Every target installs what it needs first (scripts/setup.sh).

VENV := .venv
PY := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

CMAKE_GENERATE = cmake -S . -G Ninja -Wno-dev
BENCH_DATA ?= ../shared/data/prompts
FUZZ_SECONDS ?= 60

.PHONY: setup install cpp-test py-test test demo asan tsan fuzz bench clean

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
	cd python && ../$(PY) -m mypy --strict tessel

test: cpp-test py-test

demo: install
	$(PY) examples/demo.py

# The C++ tests, then the Python tests against a sanitized extension (the
# interpreter itself is not instrumented, so the runtime is preloaded; the
# timing, allocation-count and small-stack tests are left out, sanitizers
# distort all three; an allocation too large to make fails as it does
# without the sanitizer, instead of ending the process).
ASAN_PKG := build/asan/pkg
asan: setup
	$(CMAKE_GENERATE) -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSEL_WERROR=ON -DTESSEL_SANITIZE=ON \
		-DTESSEL_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	cmake --build build/asan
	ctest --test-dir build/asan --output-on-failure
	rm -rf $(ASAN_PKG) && mkdir -p $(ASAN_PKG)/tessel
	cp python/tessel/*.py python/tessel/*.pyi build/asan/python/_tessel*.so $(ASAN_PKG)/tessel/
	PYTHONPATH=$(ASAN_PKG) ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		$(PY) -m pytest -q -p no:cacheprovider \
		-k "not lock_is_released and not grow_memory and not ordinary_templates_on_a_small_stack"

tsan: setup
	$(CMAKE_GENERATE) -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSEL_WERROR=ON \
		-DTESSEL_SANITIZE_THREAD=ON
	cmake --build build/tsan --target quarl_core_tests
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure

fuzz:
	@scripts/setup.sh --fuzz
	$(CMAKE_GENERATE) -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTESSEL_FUZZ=ON -DTESSEL_BUILD_TESTS=OFF
	cmake --build build/fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

bench: install
	$(CMAKE_GENERATE) -B build/bench -DCMAKE_BUILD_TYPE=Release
	cmake --build build/bench --target quarl_bench quarl_eval_bench quarl_compile_bench \
		quarl_growth_bench
	build/bench/bench/quarl_bench $(BENCH_DATA)
	build/bench/bench/quarl_eval_bench
	build/bench/bench/quarl_compile_bench bench/data/typical_prompt.quarl
	build/bench/bench/quarl_growth_bench
	$(PY) bench/python_bench.py
	$(PY) -m pip install --quiet -r bench/requirements.txt
	$(PY) bench/peers_bench.py

clean:
	rm -rf build
