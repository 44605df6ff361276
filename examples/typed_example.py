#!/usr/bin/env python3
"""A fully annotated program using ambrik; `mypy --strict` must accept it.

Usage: python3 examples/typed_example.py [PATH]   (default: a temporary file)
"""

from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path

import ambrik

DOCS_TAG = 7


def store(db: ambrik.Ambrik, texts: list[str]) -> list[int]:
    with db.transaction() as t:
        handles = [t.allocate_tagged(s.encode(), DOCS_TAG) for s in texts]
        index = t.allocate(b",".join(str(h).encode() for h in handles))
        t.set_root_name("index", index)
        with t.savepoint("scratch") as sp:
            t.set_client_byte(index, 1)
            assert sp.name == "scratch"
    return handles


def show(db: ambrik.Ambrik) -> None:
    index: int | None = db.get_root_name("index")
    if index is None:
        raise SystemExit("no index")
    for h in db.handles_with_tag(DOCS_TAG):
        value: bytes = db.read(h)
        tag: int | None = db.tag(h)
        print(h, tag, value.decode())
    stats: ambrik.Stats = db.stats()
    counters: ambrik.Counters = db.counters()
    print(stats.handle_count, stats.total_pages, counters.fsync_calls)


def main(path: Path) -> None:
    try:
        with ambrik.open(path, cache_max_bytes=1 << 20,
                         drain_insertion=ambrik.DrainInsertion.Mru) as db:
            store(db, ["alpha", "beta", "gamma"])
            show(db)
            with db.transaction() as t:
                deleted, complete = t.delete_with_tag(DOCS_TAG, 2)
                result: ambrik.DefragStats = t.defrag(ambrik.DefragOptions(sparse_threshold=0.5))
                print(len(deleted), complete, result.values_moved)
    except ambrik.IoError as e:
        print("I/O failure:", e.errno, e.kind, file=sys.stderr)
        raise
    except ambrik.OperationalError as e:
        print("refused:", e, file=sys.stderr)
        raise


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(Path(sys.argv[1]))
    else:
        with tempfile.TemporaryDirectory() as tmp:
            main(Path(os.path.join(tmp, "typed.ambrik")))
