"""Exceptions cross process boundaries, and the package's star import."""

import concurrent.futures
import inspect
import pickle
import subprocess
import sys

import pytest

import ambrik
from ambrik import _ambrik

from test_exceptions import MODULE_ORDER


def sample(name):
    cls = getattr(_ambrik, name)
    if name == "IoError":
        exc = cls(28, "I/O error: No space left on device (os error 28)")
        exc.kind = "StorageFull"
        return exc
    return cls(f"message of {name}")


@pytest.mark.parametrize("name", MODULE_ORDER)
def test_every_exception_class_round_trips(name):
    exc = sample(name)
    back = pickle.loads(pickle.dumps(exc))
    assert type(back) is type(exc)
    assert back.args == exc.args and str(back) == str(exc)
    if name == "IoError":
        assert (back.errno, back.kind) == (28, "StorageFull")


def test_fresh_interpreter_unpickles_without_importing_ambrik_first():
    data = pickle.dumps([sample(name) for name in MODULE_ORDER])
    code = (
        "import pickle, sys\n"
        "assert 'ambrik' not in sys.modules\n"
        "for e in pickle.loads(sys.stdin.buffer.read()):\n"
        "    print(type(e).__module__, type(e).__name__, getattr(e, 'kind', '-'))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True,
                         check=True).stdout.decode().split("\n")
    assert out[0] == "_ambrik AmbrikError -"
    assert "_ambrik IoError StorageFull" in out


def read_missing_handle():
    with ambrik.open() as db:
        return db.read(1)


def test_worker_error_reaches_the_parent():
    with concurrent.futures.ProcessPoolExecutor(max_workers=1) as pool:
        with pytest.raises(ambrik.InvalidHandleError, match="^invalid handle: 1$"):
            pool.submit(read_missing_handle).result()


def test_star_import_keeps_the_builtin_open():
    namespace = {}
    exec("from ambrik import *", namespace)
    assert "open" not in namespace and "InvalidHandleError" in namespace
    assert "Stats" in namespace and "Ambrik" in namespace
    # The package's open forwards to the native one, showing its real defaults.
    assert "drain_insertion=DrainInsertion.LruTail" in str(inspect.signature(ambrik.open))
