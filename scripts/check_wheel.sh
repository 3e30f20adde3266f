#!/usr/bin/env bash
# Shows that the wheel in WHEELHOUSE stands on its own: installed into a
# fresh venv, its extension needs nothing outside the wheel but the C
# library and the C++ runtime, and it imports and compiles (YAML
# frontmatter, ICU case mapping) with the system's libyaml and ICU hidden
# (bound over with /dev/null in a mount namespace of its own; that needs
# root, and is skipped, saying so, without it).
set -euo pipefail
cd "$(dirname "$0")/.."
wheelhouse=${1:-build/wheelhouse}
wheel=$(ls "$wheelhouse"/tessel-*.whl)
venv=build/venvs/wheel-check
rm -rf "$venv"
.venv/bin/python -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --no-deps "$wheel"
module=$("$venv/bin/python" -c 'import tessel._tessel as m; print(m.__file__)')

outside=$(ldd "$module" | awk '/=>/ {print $3}' | grep -v '/tessel\.libs/' |
          grep -vE '/lib(c|m|stdc\+\+|gcc_s|pthread|dl)\.so' || true)
if [[ -n $outside ]]; then
  echo "check_wheel: the extension needs libraries the wheel does not carry:" >&2
  echo "$outside" >&2
  exit 1
fi

icu_major=$(pkg-config --modversion icu-uc | cut -d. -f1)
check="
import ctypes
for name in ('libyaml-0.so.2', 'libicuuc.so.$icu_major'):
    try:
        ctypes.CDLL(name)
    except OSError:
        continue
    raise SystemExit(f'check_wheel: {name} is not hidden')
import tessel
output = tessel.compile('---\nname: Straße\n---\n{{ upper(name) }} {{ lower(name) }}').output
assert output.endswith('STRASSE straße\n'), output
print('check_wheel: the wheel compiles with the system libyaml and ICU hidden')
"
plain_check() {
  "$venv/bin/python" -c "import tessel; tessel.compile('---\nx: 1\n---\n{{ upper(\"a\") }}')"
}
if [[ $(id -u) -ne 0 ]] || ! unshare -m true 2>/dev/null; then
  echo "check_wheel: no mount namespace here (needs root), so the system libraries stay visible; only the links were checked"
  plain_check
  exit 0
fi
status=0
unshare -m bash -c '
  for library in $(find /usr/lib /lib -type f \( -name "libyaml*.so*" -o -name "libicu*.so*" \) 2>/dev/null); do
    mount --bind /dev/null "$library" 2>/dev/null || exit 77
  done
  exec "$0" -c "$1"' "$venv/bin/python" "$check" || status=$?
if [[ $status -eq 77 ]]; then
  echo "check_wheel: the system libraries could not be hidden here; only the links were checked"
  plain_check
elif [[ $status -ne 0 ]]; then
  exit "$status"
fi
