# make help   lists the targets
# make test   build everything once and run the C++ tests, then the Python tests
#             on every CPython >= 3.11 found (3.11 always; 3.12, 3.13 when present)
# make demo   build the extension alone (its progress shown) and run it on the bundled examples
# make wheel  the manylinux wheel, with libyaml and ICU inside (build/wheelhouse)
# make asan   the C++ and Python tests under AddressSanitizer and UndefinedBehaviorSanitizer
# make tsan   the C++ tests under ThreadSanitizer (a stress test of 8 threads among them)
# make fuzz   builds the libFuzzer targets (clang) and runs each for FUZZ_SECONDS
# make vsix   the VS Code extension (build/quarl.vsix): grammar, language settings and client
# make bench  the benchmarks: C++ phases on a folder of Markdown, whole
#             compiles, growth with input size, calls from Python, the
#             language server over a pipe (bench/lsp_bench.py), the preview
#             page in Chromium (bench/preview_bench.py), and
#             tessel beside Jinja2 and MiniJinja (bench/peers_bench.py)
# Every target installs what it needs first (scripts/setup.sh).

VENV := .venv
PY := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

CMAKE_GENERATE = cmake -S . -G Ninja
# The one Release tree: the extension, the C++ tests and the benchmarks,
# built once for the tests, the wheel and the benchmarks alike.
BUILD := build/release
WHEELHOUSE := build/wheelhouse
# The package the sanitized extension is tried from (make asan).
ASAN_PKG := $(CURDIR)/build/asan/pkg
# The demo's own tree: the extension alone, none of the tests.
DEMO := build/demo
# The prompt collection beside the repository when it is there, else the
# Markdown of docs/.
BENCH_DATA ?= $(firstword $(wildcard ../shared/data/prompts) docs)
FUZZ_SECONDS ?= 60

# The VS Code extension, packaged.
VSIX := build/quarl.vsix
EXTENSION := editors/vscode

.PHONY: help setup wheel install cpp-test py-test editor-test vsix test demo asan tsan fuzz bench clean

help:
	@sed -n '/^# make/,/^$$/ s/^# //p' Makefile

setup:
	@scripts/setup.sh

# The extension, the C++ tests and benchmarks in $(BUILD) (incrementally),
# as a manylinux wheel in $(WHEELHOUSE).
wheel: setup
	scripts/wheel.sh $(BUILD) $(WHEELHOUSE)
	scripts/check_wheel.sh $(WHEELHOUSE)

install: wheel
	$(PY) -m pip install --quiet --force-reinstall --no-deps $(WHEELHOUSE)/tessel-*.whl

cpp-test: wheel
	ctest --test-dir $(BUILD) --output-on-failure

py-test: install
	@scripts/setup.sh --clients
	$(PY) -m pytest
	$(PY) -m mypy.stubtest tessel._tessel
	cd python && ../$(PY) -m mypy --strict tessel
	scripts/other_pythons.sh $(WHEELHOUSE)

# The extension's client type-checked, bundled and packaged (its npm
# packages from the lock file).
vsix:
	@scripts/setup.sh --node
	cd $(EXTENSION) && npm ci --no-audit --no-fund --loglevel=error
	cd $(EXTENSION) && npm run -s typecheck
	mkdir -p build && cd $(EXTENSION) && npx vsce package --no-dependencies --allow-missing-repository \
		--out $(CURDIR)/$(VSIX)

# The grammar's annotated samples (editors/tests/grammar) and the package.
editor-test: vsix
	@# (the Markdown grammar names many languages for fenced code that are not loaded: not worth a line each)
	cd $(EXTENSION) && npm run -s test:grammar >$(CURDIR)/build/grammar-test.log 2>&1; status=$$?; \
		grep -v '^grammar not found' $(CURDIR)/build/grammar-test.log; exit $$status

test: cpp-test editor-test py-test

demo: setup
	$(CMAKE_GENERATE) -B $(DEMO) --log-level=WARNING -DCMAKE_BUILD_TYPE=Release -DTESSEL_BUILD_TESTS=OFF \
		-DTESSEL_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	cmake --build $(DEMO) --target _tessel
	rm -rf $(DEMO)/pkg && mkdir -p $(DEMO)/pkg/tessel
	cp -r python/tessel/*.py python/tessel/*.pyi python/tessel/lsp python/tessel/preview $(DEMO)/python/_tessel*.so $(DEMO)/pkg/tessel/
	PYTHONPATH=$(DEMO)/pkg $(PY) examples/demo.py

asan: setup
	@scripts/setup.sh --clients
	$(CMAKE_GENERATE) -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSEL_WERROR=ON -DTESSEL_SANITIZE=ON \
		-DTESSEL_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	cmake --build build/asan
	ctest --test-dir build/asan --output-on-failure
	rm -rf $(ASAN_PKG) && mkdir -p $(ASAN_PKG)/tessel
	cp -r python/tessel/*.py python/tessel/*.pyi python/tessel/lsp python/tessel/preview build/asan/python/_tessel*.so $(ASAN_PKG)/tessel/
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
	@scripts/setup.sh --clients
	$(BUILD)/bench/quarl_bench $(BENCH_DATA)
	$(BUILD)/bench/quarl_eval_bench
	$(BUILD)/bench/quarl_compile_bench bench/data/typical_prompt.quarl
	$(BUILD)/bench/quarl_growth_bench
	$(PY) bench/python_bench.py
	$(PY) bench/lsp_bench.py
	$(PY) bench/preview_bench.py
	$(PY) -m pip install --quiet -r bench/requirements.txt
	$(PY) bench/peers_bench.py

clean:
	rm -rf build
