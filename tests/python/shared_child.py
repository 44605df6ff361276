"""Workload of the multi-process shared-mode test, and the processes it runs.

Commit i is planned by a generator seeded with (seed, i) from the state after
commit i - 1, on logical ids rather than handles (handles depend on what else
a commit stores), so any committed state follows from its number alone. The
value under the root "dir" maps the ids to handles; the root "counter" holds
the number of the last commit, and every commit rewrites a block of values
naming it, so a view mixing two commits shows at once.

Run with a JSON argument, this is one process: a writer (transactions in
turns, each checking first that it starts from the newest commit), a reader
(snapshots checked against the model, plain reads checked for order), or one
that holds the write lock or a snapshot until it is killed.
"""

import json
import os
import random
import sys
import time
import zlib

import ambrik

TAGS = (1, 2, 3)
RESERVED_TAGS = (0xFFFFFFFE, 0xFFFFFFFF)  # pending-free records, key-map nodes
ROOTS = ("r0", "r1", "r2")
SMALL_MAX = 8162
EXIT_FAULT = 3
EXIT_KNOWN = 4  # stopped by an engine fault the parent reports apart


def pattern(head, length):
    return (head * (length // len(head) + 1))[:length]


def value(shape):
    i, op, length = shape
    return pattern(b"%d/%d|" % (i, op), length)


def block_value(i, j):
    # Every size class in turn: a few bytes, a shared data page, an overflow
    # chain, a long one.
    sizes = (5 + i % 30, 300 + i * 37 % 7800, SMALL_MAX + 1 + i * 101 % 20000, 90000 + i * 13 % 20000)
    return pattern(b"B%d." % i, sizes[(i + j) % 4])


def km_value(i, key):
    return b"%d:%s;" % (i, key) * (1 + zlib.crc32(b"%d%s" % (i, key)) % 1200)


def pick_size(rng):
    return rng.choice((rng.randint(0, 40), rng.randint(41, SMALL_MAX),
                       rng.randint(SMALL_MAX + 1, 30000), rng.randint(90000, 110000)))


class Model:
    """A committed state: logical id -> [shape, tag, client byte], roots, map."""

    def __init__(self, values=None, roots=None, km=None, next_lid=1):
        self.values = {k: list(v) for k, v in (values or {}).items()}
        self.roots, self.km, self.next_lid = dict(roots or {}), dict(km or {}), next_lid

    def copy(self):
        return Model(self.values, self.roots, self.km, self.next_lid)


def plan_op(rng, i, n, w):
    lids = sorted(w.values)
    r = rng.random()
    if not lids or r < (0.45 if len(lids) < 30 else 0.1):  # about 30 live values
        lid, w.next_lid = w.next_lid, w.next_lid + 1
        shape, tag = (i, n, pick_size(rng)), rng.choice((0, 0) + TAGS)
        w.values[lid] = [shape, tag, 0]
        return [("alloc", lid, shape, tag)]
    lid = rng.choice(lids)
    if r < 0.55:
        w.values[lid][0] = (i, n, pick_size(rng))
        return [("update", lid, w.values[lid][0])]
    if r < 0.65:
        ops = [("root", name, None) for name in ROOTS if w.roots.get(name) == lid]
        for op in ops:
            del w.roots[op[1]]
        del w.values[lid]
        return ops + [("delete", lid)]
    if r < 0.72:
        w.values[lid][2] = rng.randrange(256)
        return [("cb", lid, w.values[lid][2])]
    if r < 0.8:
        name = rng.choice(ROOTS)
        target = None if name in w.roots and rng.random() < 0.4 else lid
        w.roots.pop(name, None)
        if target is not None:
            w.roots[name] = target
        return [("root", name, target)]
    key = b"k/%03d" % rng.randrange(80)
    if r < 0.93 or key not in w.km:
        w.km[key] = km_value(i, key)
        return [("put", key, w.km[key])]
    del w.km[key]
    return [("del", key)]


def plan(seed, i, model):
    """The operations of commit i on `model`, and the state after them."""
    rng = random.Random(f"{seed}:{i}")
    w, ops = model.copy(), []
    for n in range(rng.randint(1, 5)):
        if rng.random() < 0.25:  # a savepoint, kept or returned from
            before, keep = w.copy(), rng.random() < 0.5
            inner = [op for k in range(rng.randint(1, 3)) for op in plan_op(rng, i, 100 * n + k, w)]
            ops.append(("sp", f"s{n}", inner, keep))
            w = w if keep else before
        else:
            ops += plan_op(rng, i, n, w)
    return ops, w


class History:
    """Model states by commit number, replayed on demand, the recent ones kept."""

    def __init__(self, seed):
        self.seed, self.states = seed, {0: Model()}

    def at(self, c):  # c: never below the oldest kept (the callers' commits never go back)
        while (top := max(self.states)) < c:
            self.states[top + 1] = plan(self.seed, top + 1, self.states[top])[1]
            self.states.pop(top - 64, None)
        return self.states[c]


def append(args, suffix, data):
    """Appends to a file beside the database; one write, so a kill never tears it."""
    fd = os.open(args["path"] + suffix, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    os.write(fd, data)
    os.close(fd)


def known_fault(args, kind, text):
    """Records a fault the test knows of; False when it is not a known one."""
    if kind in args["known"]:
        append(args, ".known_faults", f"{kind}: {text}\n".encode())
    return kind in args["known"]


def check(cond, text):
    if not cond:
        raise AssertionError(text)


def read_top(view):
    """(commit number, directory) of a view; (0, None) before the first commit."""
    h = view.get_root_name("counter")
    if h is None:
        return 0, None
    c, d = int(view.read(h)), json.loads(view.read(view.get_root_name("dir")))
    check(d["i"] == c, f"counter {c} but directory of commit {d['i']}")  # a torn view
    return c, d


def check_state(view, model, c, d, where):
    """The state of `view` (database, transaction or snapshot) is commit c."""
    for j, h in enumerate(d["block"]):
        check(view.read(h) == block_value(c, j), f"{where}: block value {j} is not commit {c}'s")
    hs = {int(k): h for k, h in d["h"].items()}
    check(set(hs) == set(model.values), f"{where}: commit {c}: ids {sorted(hs)}, {sorted(model.values)}")
    for lid, (shape, tag, cb) in model.values.items():
        got = (view.read(hs[lid]), view.tag(hs[lid]), view.client_byte(hs[lid]))
        check(got == (value(shape), tag or None, cb), f"{where}: commit {c}, id {lid}: {got[1:]} "
              f"and {len(got[0])} bytes for {shape}, {tag}, {cb}")
    for t in TAGS:
        want = sorted(hs[lid] for lid, v in model.values.items() if v[1] == t)
        check(view.handles_with_tag(t) == want, f"{where}: commit {c}, tag {t}")
    for name in ROOTS:
        want = hs[model.roots[name]] if name in model.roots else None
        check(view.get_root_name(name) == want, f"{where}: commit {c}, root {name}")
    check(set(hs.values()) | set(d["block"]) <= set(view.handles()), f"{where}: commit {c}: handles")


def open_db(args, **extra):
    return ambrik.open(args["path"], shared=True, cache_max_bytes=args["cache"],
                       encryption_key=bytes.fromhex(args["key"]) or None, **extra)


def run_ops(t, km, ops, hs):
    for kind, a, *b in ops:
        if kind == "alloc":
            hs[a] = t.allocate_tagged(value(b[0]), b[1]) if b[1] else t.allocate(value(b[0]))
        elif kind == "update":
            t.update(hs[a], value(b[0]))
        elif kind == "delete":
            t.delete(hs.pop(a))
        elif kind == "cb":
            t.set_client_byte(hs[a], b[0])
        elif kind == "root":
            t.clear_root_name(a) if b[0] is None else t.set_root_name(a, hs[b[0]])
        elif kind == "put":
            km[a] = b[0]
        elif kind == "del":
            del km[a]
        else:
            sp, saved = t.savepoint(a), dict(hs)
            run_ops(t, km, b[0], hs)
            if b[1]:
                sp.release()
            else:
                sp.rollback_to()
                hs.clear()
                hs.update(saved)


class Writer:
    """Transactions in turns; each first checks that it starts from the newest commit."""

    def __init__(self, args):
        self.args, self.rng, self.last = args, random.Random(), 0
        self.db = open_db(args, lock_timeout=args["lock_timeout"])
        # One map object for the writer's life, across the other writers' commits.
        self.km, self.history = self.db.keymap("km"), History(args["seed"])
        self.journal = os.open(args["journal"], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)

    def one(self):
        try:
            t = self.db.transaction()
        except ambrik.WriterBusyError:
            check(not self.db.is_poisoned, "WriterBusyError poisoned the database")
            append(self.args, ".events", b"b")  # counted by the parent
            time.sleep(self.rng.uniform(0, 0.005))
            return
        c, d = read_top(t)
        check(c >= self.last, f"transaction began at commit {c}, after this writer made {self.last}")
        model = self.history.at(c)
        if d is not None:
            check_state(t, model, c, d, "writer")
            got = dict(self.km.items(b"k/", b"k0"))
            check(got == model.km, f"writer: commit {c}: map keys {sorted(got)} for {sorted(model.km)}")
        i = c + 1
        ops, _ = plan(self.args["seed"], i, model)
        hs = {int(k): h for k, h in d["h"].items()} if d else {}
        km = self.km if self.rng.random() < 0.7 else t.keymap("km")
        run_ops(t, km, ops, hs)
        if d is None:
            block = [t.allocate(block_value(i, j)) for j in range(4)]
            for name, v in (("counter", b"1"), ("dir", b"{}")):
                t.set_root_name(name, t.allocate(v))
        else:
            block = d["block"]
            for j, h in enumerate(block):
                t.update(h, block_value(i, j))
            t.update(t.get_root_name("counter"), b"%d" % i)
        t.update(t.get_root_name("dir"), json.dumps({"i": i, "h": hs, "block": block}).encode())
        km[b"commit"] = b"%d" % i
        km[b"log/%06d" % i] = self.args["name"].encode()
        if self.rng.random() < 0.08:
            t.rollback()
            append(self.args, ".events", b"r")
            return
        os.write(self.journal, b"I %d\n" % i)
        t.commit()
        os.write(self.journal, b"D %d\n" % i)
        self.last = i
        time.sleep(self.rng.uniform(0, 0.01))


class Reader:
    """Snapshots checked whole against the model; plain reads checked for order."""

    def __init__(self, args):
        self.args, self.rng, self.db, self.last = args, random.Random(), open_db(args), 0
        self.km, self.history = self.db.keymap("km"), History(args["seed"])

    def counter(self):
        h = self.db.get_root_name("counter")
        c = 0 if h is None else int(self.db.read(h))
        check(c >= self.last, f"reader: counter went back from {self.last} to {c}")
        self.last = c
        return c

    def one(self):
        with self.db.snapshot() as s:
            c, d = read_top(s)
            check(c >= self.last, f"reader: snapshot of commit {c} after one of {self.last}")
            self.last = c
            if d is None:
                return
            check_state(s, self.history.at(c), c, d, "snapshot")
            if self.rng.random() < 0.2:  # held while writers go on: it must not change
                time.sleep(self.rng.uniform(0.02, 0.3))
                check(read_top(s)[0] == c, "snapshot changed while open")
                check_state(s, self.history.at(c), c, d, "held snapshot")
            append(self.args, ".events", b"s")
        c1 = self.counter()
        try:
            fault = self.scan_map(c1)
        except ambrik.CorruptKeyMapError as e:
            fault = str(e)
        if fault is None:
            append(self.args, ".events", b"m")
        else:
            check(False, fault)

    def scan_map(self, c1):
        """Plain reads of the map, checked against the commits made meanwhile."""
        try:
            items = list(self.km.items(b"k/", b"k0"))
        except RuntimeError:  # a key came or went during the scan
            items = None
        commit = self.km.get(b"commit")
        c2 = self.counter()
        if commit is not None and not c1 <= int(commit) <= c2:
            return f"map commit {commit} outside [{c1}, {c2}]"
        if items is None or c1 == 0:
            return None
        models = [self.history.at(c) for c in range(c1, c2 + 1)]
        keys = [k for k, _ in items]
        if not any(keys == sorted(m.km) for m in models):
            of = [c for c, m in self.history.states.items() if sorted(m.km) == keys]
            return f"scan keys of no commit in [{c1}, {c2}] but of {of}"
        for k, v in items:
            if not any(m.km.get(k) == v for m in models):
                return f"scan: value of {k} of no commit in [{c1}, {c2}]"
        return None


def main(args):
    if args["role"] in ("lock", "snapshot"):  # held until killed
        db = open_db({**args, "cache": 65536, "key": ""})
        if args["role"] == "lock":
            db.begin()
            for n in range(40):  # spilled: the cache holds 8 pages
                db.allocate(bytes([n]) * 30000)
        held = db.snapshot()
        print("ready", held.handles(), flush=True)
        time.sleep(3600)
    worker = Writer(args) if args["role"] == "writer" else Reader(args)
    try:
        while not os.path.exists(args["stop"]):
            worker.one()
    except AssertionError as e:
        sys.stderr.write(f"{e}\n")
        return EXIT_FAULT
    worker.db.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(json.loads(sys.argv[1])))
