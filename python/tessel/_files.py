"""Files as the command line reads and writes them."""

from __future__ import annotations

import os
import signal
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager

# How far up from a template the search for its project root goes.
MAX_ROOT_SEARCH = 256
ROOT_MARKERS = (".git", ".quarlroot")


def project_root(directory: str) -> str:
    """The folder the compiler names files relative to, for an entry in
    `directory`: the nearest one upward holding `.git` or `.quarlroot`, else
    `directory` itself (both with symbolic links resolved)."""
    start = current = os.path.realpath(directory)
    for _ in range(MAX_ROOT_SEARCH):
        if any(os.path.lexists(os.path.join(current, marker)) for marker in ROOT_MARKERS):
            return current
        parent = os.path.dirname(current)
        if parent == current:
            break
        current = parent
    return start


def read_bytes(path: str) -> bytes | None:
    """The file's bytes, or None when it cannot be read."""
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError:
        return None


def _current_umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextmanager
def _interruptions_held() -> Iterator[None]:
    """Ctrl-C and a request to terminate wait until the block is done, then
    take effect: a write interrupted half-way would leave its temporary file."""
    held = {signal.SIGINT, signal.SIGTERM}
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def write_atomically(path: str, data: bytes) -> None:
    """Writes `data` to `path` through a temporary file in the same folder
    renamed over it, so that readers see the old file or the new one, never a
    part, and nothing else is left behind, even when interrupted. An existing
    file keeps its permissions; a symbolic link keeps pointing where it did,
    and its target is replaced."""
    with _interruptions_held():
        _replace(path, data)


def _replace(path: str, data: bytes) -> None:
    target = os.path.realpath(path)
    try:
        mode = os.stat(target).st_mode & 0o7777
    except FileNotFoundError:
        mode = 0o666 & ~_current_umask()
    folder, name = os.path.split(target)
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=f".{name}.", suffix=".tmp")
    try:
        with os.fdopen(handle, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
