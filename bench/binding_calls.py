#!/usr/bin/env python3
"""Cost of one call through the Python binding, in microseconds of CPU.

Measured with the process's CPU clock (the machine is shared: wall time
would count other processes' turns), best of several repetitions, on an
in-memory database. The floors are calls that reach no engine code:
`__enter__` (no arguments) and `__exit__` of a finished transaction (three
arguments bound, then nothing to do); `lambda: None` is timeit's own cost.
"""

import time
import timeit

from ambrik import _ambrik as am


def per_call(fn, number, repeat=7):
    timer = timeit.Timer(fn, timer=time.process_time)
    return min(timer.repeat(number=number, repeat=repeat)) / number * 1e6


def main():
    db = am.open()
    value = b"x" * 100

    def thousand_allocations():
        db.begin()
        allocate = db.allocate
        for _ in range(1000):
            allocate(value)
        db.commit()

    rows = [("allocate 100 B, 1000 per txn, commit included",
             per_call(thousand_allocations, 1, 15) / 1000)]
    db.begin()
    h = db.allocate(value)
    db.commit()
    db.begin()
    rows.append(("update(h, 100 B) in a txn", per_call(lambda: db.update(h, value), 20000)))
    db.rollback()
    rows.append(("read(h)", per_call(lambda: db.read(h), 50000)))
    rows.append(("read(handle=h)", per_call(lambda: db.read(handle=h), 50000)))
    txn = db.transaction()
    rows.append(("Transaction.read(h)", per_call(lambda: txn.read(h), 50000)))
    txn.commit()
    rows.append(("floor: __enter__()", per_call(db.__enter__, 100000)))
    rows.append(("floor: finished __exit__(None, None, None)",
                 per_call(lambda: txn.__exit__(None, None, None), 100000)))
    rows.append(("timeit: lambda: None", per_call(lambda: None, 100000)))
    db.close()
    for name, us in rows:
        print(f"{name:50s} {us:8.3f} us")


if __name__ == "__main__":
    main()
