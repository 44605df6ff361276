"""Workload shared by the crash test and the process it kills.

The state after transaction t is a pure function of the seed: transaction t
is planned by a generator seeded with (seed, t) from the state after t - 1,
so the parent can recompute any committed state and the child can resume
from whichever state a kill left in the file.

Run as a script, this is the child: it opens the database, reports what it
finds (handle -> length and digest, and the next handle) on stdout, reads "resume K" or "stop"
from stdin, and then commits transactions K + 1, K + 2, ... until killed.
Every third transaction first takes a detour under a savepoint that it
returns from. After each commit returns it appends the transaction number to the log and
fsyncs it. A small shared file tells the parent which transaction the child
is in and whether it is inside commit, so kills can be aimed at commits.
"""

import hashlib
import json
import mmap
import os
import random
import struct
import sys
import time

SMALL_MAX = 8162  # largest value stored in a data page
PHASE = struct.Struct("<qqq")  # transaction, phase, mean commit time in us
PHASE_SIZE = PHASE.size
IDLE, OPS, COMMIT, LOGGING = 0, 1, 2, 3
PHASE_NAMES = {IDLE: "idle", OPS: "ops", COMMIT: "commit", LOGGING: "logging"}
TARGET_LIVE = 24
EXIT_MISMATCH = 3


def value_bytes(seed, shape):
    txn, op, length = shape
    return hashlib.shake_128(f"{seed}/{txn}/{op}".encode()).digest(length)


def digest(value):
    return [len(value), hashlib.blake2b(value, digest_size=16).hexdigest()]


def pick_size(rng):
    r = rng.random()
    if r < 0.40:
        return rng.randint(0, 300)
    if r < 0.55:
        return rng.randint(301, SMALL_MAX)
    if r < 0.65:
        return rng.choice((SMALL_MAX - 1, SMALL_MAX, SMALL_MAX + 1, SMALL_MAX + 2,
                           2 * 8184, 2 * 8184 + 1, 3 * 8184 - 7))
    return rng.randint(SMALL_MAX + 1, 40000)


class State:
    """Committed content: handle -> value shape (txn, op, length), plus the next handle."""

    __slots__ = ("values", "next_handle")

    def __init__(self, values=None, next_handle=1):
        self.values = {} if values is None else values
        self.next_handle = next_handle

    def copy(self):
        return State(dict(self.values), self.next_handle)


def plan(seed, txn, state):
    """Return (kind, ops, state after txn); kind is "commit", "rollback" or "empty"."""
    rng = random.Random(f"{seed}:{txn}")
    r = rng.random()
    if r < 0.05:
        return "empty", [], state
    kind = "rollback" if r < 0.12 else "commit"
    work = state.copy()
    ops = []
    for i in range(rng.randint(1, 6)):
        live = sorted(work.values)
        p_alloc = 0.7 if len(live) < TARGET_LIVE else 0.3
        r = rng.random()
        if not live or r < p_alloc:
            shape = (txn, i, pick_size(rng))
            ops.append(("alloc", work.next_handle, shape))
            work.values[work.next_handle] = shape
            work.next_handle += 1
        elif r < p_alloc + (1 - p_alloc) * 0.6:
            h = rng.choice(live)
            shape = (txn, i, pick_size(rng))
            ops.append(("update", h, shape))
            work.values[h] = shape
        elif r < p_alloc + (1 - p_alloc) * 0.85:
            h = rng.choice(live)
            ops.append(("delete", h))
            del work.values[h]
        else:
            hs = rng.sample(live, min(len(live), rng.randint(2, 4)))
            ops.append(("delete_many", hs))
            for h in hs:
                del work.values[h]
    return kind, ops, (state if kind == "rollback" else work)


def replay(seed, upto):
    state = State()
    for txn in range(1, upto + 1):
        state = plan(seed, txn, state)[2]
    return state


def open_db(am, args):
    return am.open(args["path"], cache_max_bytes=args["cache"],
                   superblock_count=args["sb"],
                   encryption_key=bytes.fromhex(args["key"]) if args["key"] else None)


def run_child(args):
    from ambrik import _ambrik as am

    seed = args["seed"]
    db = open_db(am, args)
    found = {str(h): digest(db.read(h)) for h in db.handles()}
    # The next handle is part of the committed state too (a transaction may
    # allocate and delete the same value); an allocation that is rolled back
    # shows it without changing anything.
    db.begin()
    next_handle = db.allocate(b"")
    db.rollback()
    sys.stdout.write(json.dumps({"values": found, "next_handle": next_handle}) + "\n")
    sys.stdout.flush()
    command = sys.stdin.readline().split()
    if not command or command[0] != "resume":
        db.close()
        return 0
    start = int(command[1])

    phase_fd = os.open(args["phase"], os.O_RDWR)
    phase = mmap.mmap(phase_fd, PHASE_SIZE)
    log_fd = os.open(args["log"], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    state = replay(seed, start)
    mean_us = 0
    for txn in range(start + 1, start + 100_000):
        kind, ops, after = plan(seed, txn, state)
        PHASE.pack_into(phase, 0, txn, OPS, mean_us)
        if txn % 3 == 0:
            # A detour returned from: the pages it takes (free ones included)
            # are given back, then the planned operations run under the
            # still open savepoint and the commit discards it.
            detour = db.transaction().savepoint("detour")
            db.allocate(value_bytes(seed, (txn, 99, 30000)))
            live = sorted(state.values)
            if live:
                db.update(live[txn % len(live)], value_bytes(seed, (txn, 98, 20000)))
            detour.rollback_to()
        else:
            db.begin()
        for op in ops:
            if op[0] == "alloc":
                got = db.allocate(value_bytes(seed, op[2]))
                if got != op[1]:
                    sys.stderr.write(f"txn {txn}: allocate returned {got}, expected {op[1]}\n")
                    return EXIT_MISMATCH
            elif op[0] == "update":
                db.update(op[1], value_bytes(seed, op[2]))
            elif op[0] == "delete":
                db.delete(op[1])
            else:
                db.delete_many(op[1])
        PHASE.pack_into(phase, 0, txn, COMMIT, mean_us)
        began = time.perf_counter()
        if kind == "rollback":
            db.rollback()
        else:
            db.commit()
        took = int((time.perf_counter() - began) * 1e6)
        mean_us = took if mean_us == 0 else (3 * mean_us + took) // 4
        PHASE.pack_into(phase, 0, txn, LOGGING, mean_us)
        os.write(log_fd, f"{txn}\n".encode())
        os.fsync(log_fd)
        PHASE.pack_into(phase, 0, txn, IDLE, mean_us)
        state = after
    return 0


if __name__ == "__main__":
    sys.exit(run_child(json.loads(sys.argv[1])))
