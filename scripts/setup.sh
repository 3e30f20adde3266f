#!/usr/bin/env bash
# Installs what building and testing tessel needs, and nothing that is there
# already: the Debian packages (through apt-get when run as root, otherwise a
# list of what to install) and a local .venv with the Python packages.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=.venv
# The interpreter the venv is made from, never the venv's own.
PATH=$(tr ':' '\n' <<<"$PATH" | grep -vxF "$PWD/$VENV/bin" | paste -sd: -)
PYTHON=${PYTHON:-python3}
# neovim: the real editor the language server's tests drive; chromium and
# its driver: the real browser the preview page's tests drive.
DEBIAN_PACKAGES=(g++ make pkg-config libgtest-dev nlohmann-json3-dev libyaml-dev libicu-dev neovim
                 chromium chromium-driver)
# `setup.sh --fuzz` also installs clang with libFuzzer (older clang cannot
# compile libstdc++'s <expected>) and the runtime libraries the link needs
# (libclang_rt.fuzzer and the sanitizers' runtimes, which neither of the
# other two packages pulls in).
if [[ ${1:-} == --fuzz ]]; then
  DEBIAN_PACKAGES+=(clang-19 libfuzzer-19-dev libclang-rt-19-dev)
fi
# `setup.sh --node` also makes sure of Node.js and npm (the editor extension's
# build): the machine's own when it has them, else Debian's.
if [[ ${1:-} == --node ]] && ! { command -v node && command -v npm; } >/dev/null; then
  DEBIAN_PACKAGES+=(nodejs npm)
fi

missing=()
for package in "${DEBIAN_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "tessel needs these Debian packages; install them and run again:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi

if ! command -v "$PYTHON" >/dev/null; then
  echo "tessel needs Python >= 3.11 as '$PYTHON' (set PYTHON=... to use another)" >&2
  exit 1
fi
if ! "$PYTHON" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
  echo "tessel needs Python >= 3.11; '$PYTHON' is $("$PYTHON" --version 2>&1)" >&2
  exit 1
fi

# The venv is rebuilt when the interpreter or the requirements change.
stamp="$VENV/.tessel-requirements"
wanted="$("$PYTHON" -c 'import sys; print(sys.executable, sys.version)')
$(cat requirements-dev.txt requirements-test.txt)"
if [[ ! -x $VENV/bin/python || ! -f $stamp || "$(cat "$stamp")" != "$wanted" ]]; then
  echo "setup: creating $VENV"
  rm -rf "$VENV"
  "$PYTHON" -m venv "$VENV"
  "$VENV/bin/python" -m pip install --quiet --upgrade pip
  "$VENV/bin/python" -m pip install --quiet -r requirements-dev.txt
  printf '%s' "$wanted" >"$stamp"
fi
