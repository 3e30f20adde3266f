#!/usr/bin/env bash
# Runs the Python tests on each CPython >= 3.11 that this machine has beside
# the one of .venv (3.12 and 3.13 when present, through pyenv or on PATH),
# each in a venv of its own (build/venvs/<version>) with the one abi3 wheel
# from WHEELHOUSE installed. A version that is not here is skipped, saying so.
set -euo pipefail
cd "$(dirname "$0")/.."
wheelhouse=${1:-build/wheelhouse}
wheel=$(ls "$wheelhouse"/tessel-*.whl)
main=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')

# The interpreter of CPython `version`, or nothing.
find_python() {
  local version=$1 candidate
  for candidate in "$(command -v "python$version" || true)" \
                   "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version"; do
    if [[ -x $candidate ]] && "$candidate" -c 'import sys' 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
}

for version in 3.11 3.12 3.13; do
  [[ $version == "$main" ]] && continue
  python=$(find_python "$version")
  if [[ -z $python ]]; then
    echo "other_pythons: no CPython $version here; its tests are skipped"
    continue
  fi
  venv=build/venvs/$version
  stamp="$venv/.tessel-requirements"
  wanted="$("$python" -c 'import sys; print(sys.executable, sys.version)')
$(cat requirements-test.txt)"
  if [[ ! -x $venv/bin/python || ! -f $stamp || "$(cat "$stamp")" != "$wanted" ]]; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet -r requirements-test.txt
    printf '%s' "$wanted" >"$stamp"
  fi
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel"
  echo "other_pythons: the Python tests on CPython $version"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider
done
