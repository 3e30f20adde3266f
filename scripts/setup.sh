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
DEBIAN_PACKAGES=(g++ make pkg-config libgtest-dev nlohmann-json3-dev libyaml-dev libicu-dev)
for option in "$@"; do
  case $option in
    # `setup.sh --fuzz` also installs clang with libFuzzer (older clang cannot
    # compile libstdc++'s <expected>) and the runtime libraries the link needs
    # (libclang_rt.fuzzer and the sanitizers' runtimes, which neither of the
    # other two packages pulls in).
    --fuzz) DEBIAN_PACKAGES+=(clang-19 libfuzzer-19-dev libclang-rt-19-dev) ;;
    # `setup.sh --node` also makes sure of Node.js and npm (the editor
    # extension's build): the machine's own when it has them, else Debian's.
    --node) { command -v node && command -v npm; } >/dev/null || DEBIAN_PACKAGES+=(nodejs npm) ;;
    # `setup.sh --clients` also installs the real clients the tests drive:
    # Neovim (the language server's) and Chromium with its driver (the
    # preview page's).
    --clients) DEBIAN_PACKAGES+=(neovim chromium chromium-driver) ;;
    *) echo "setup.sh: unknown option $option" >&2; exit 2 ;;
  esac
done

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
