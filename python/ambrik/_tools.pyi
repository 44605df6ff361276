"""Operator tools over closed database files (used by `python -m ambrik`); reports as JSON text."""

import os

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Key = bytes | str

def check(path: _Path, key: _Key | None = None, progress: bool = False, wait: float = 0.0) -> str:
    """Verify a closed database file; JSON report."""

def stats(path: _Path, key: _Key | None = None, progress: bool = False, wait: float = 0.0) -> str:
    """Describe a closed database file; JSON report."""

def compact(
    src: _Path,
    dst: _Path,
    key: _Key | None = None,
    overwrite: bool = False,
    progress: bool = False,
    wait: float = 0.0,
) -> str:
    """Write the committed state of src into a new, compact file dst; JSON report."""
