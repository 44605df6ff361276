#!/usr/bin/env python3
"""Store a few values in an ambrik file, reopen it and read them back.

Usage: python3 examples/quickstart.py [PATH]   (default: a temporary file)
"""

import os
import sys
import tempfile

import ambrik


def main(path):
    # Open (and create) the database file. `with` closes it at the end.
    with ambrik.open(path) as db:
        # Every change happens in a transaction. The block commits (durably)
        # when it ends, or rolls back if it raises.
        with db.transaction() as t:
            handles = [t.allocate(text.encode()) for text in ("hello", "ambrik", "world")]
        print("stored handles", handles)

    # Reopen: the committed values are in the file. Reads need no transaction.
    with ambrik.open(path) as db:
        for h in handles:
            print(h, db.read(h).decode())


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as tmp:
            main(os.path.join(tmp, "quickstart.ambrik"))
