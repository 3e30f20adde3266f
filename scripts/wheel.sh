#!/usr/bin/env bash
# Builds the abi3 wheel in BUILD_DIR (the extension, and the C++ tests and
# benchmarks beside it, warnings as errors) and repairs it into a manylinux
# wheel in WHEELHOUSE that carries libyaml and ICU: it installs on any
# x86_64 Linux whose glibc is at least this machine's, with neither library
# installed. ICU's data library is replaced by an empty package
# (scripts/icu_empty_data.cpp): case mapping, all tessel asks of ICU, does
# not read it, and it would be 30 of the wheel's 35 MB.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
wheelhouse=${2:-build/wheelhouse}
PY=.venv/bin/python

rm -rf "$build/dist" "$wheelhouse"
"$PY" -m pip wheel --quiet --no-build-isolation --no-deps -w "$build/dist" \
  -C build-dir="$build" -C cmake.define.TESSEL_BUILD_TESTS=ON -C cmake.define.TESSEL_WERROR=ON .

icu_major=$(pkg-config --modversion icu-uc | cut -d. -f1)
stub="$build/icu-empty-data/libicudata.so.$icu_major"
mkdir -p "$(dirname "$stub")"
if [[ ! -f $stub || scripts/icu_empty_data.cpp -nt $stub ]]; then
  g++ -shared -fPIC -O2 -Wall -Wextra -Werror $(pkg-config --cflags icu-uc) \
    -Wl,-soname,"libicudata.so.$icu_major" -o "$stub" scripts/icu_empty_data.cpp
fi
if ! LD_LIBRARY_PATH="$(realpath "$(dirname "$stub")")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  .venv/bin/auditwheel repair -w "$wheelhouse" "$build"/dist/tessel-*.whl >"$build/auditwheel.log" 2>&1; then
  cat "$build/auditwheel.log" >&2
  exit 1
fi
wheel=$(ls "$wheelhouse"/tessel-*.whl)
echo "wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"
