"""The engines the benchmark drives: ambrik and its peers sqlite3 and lmdb.

Each engine offers begin()/commit() for write transactions, and after
begin(): insert(value) -> key, update(key, value), delete(key). Between
reads_begin() and reads_end(): read(key) -> bytes. reopen(cold) closes
and opens the database again.
"""

import os
import sqlite3
import struct

import lmdb

from ambrik import _ambrik as am

PAGE_SIZE = 8192  # ambrik page size
MiB = 1 << 20
WARM_CACHE = 8 * MiB  # ambrik's default cache_max_bytes
COLD_CACHE = 256 * 1024
LMDB_MAP_SIZE = 4 << 30


class AmbrikEngine:
    label = "ambrik"

    def __init__(self, directory, cache=WARM_CACHE, key=None):
        self.path = os.path.join(directory, "bench.ambrik")
        self.key = key
        self._open(cache)

    def _open(self, cache):
        db = am.open(self.path, cache_max_bytes=cache, encryption_key=self.key)
        self.db = db
        self.begin, self.commit = db.begin, db.commit
        self.insert, self.update, self.delete, self.read = (
            db.allocate, db.update, db.delete, db.read)

    def reads_begin(self):
        pass

    def reads_end(self):
        pass

    def reopen(self, cold):
        self.db.close()
        self._open(COLD_CACHE if cold else WARM_CACHE)

    def count(self):
        return len(self.db.handles())

    def misses(self):
        return self.db.counters().cache_misses

    def size(self):
        n = os.path.getsize(self.path)
        return n, n // PAGE_SIZE

    def spillway_bytes(self):
        p = self.path + ".spillway"
        return os.path.getsize(p) if os.path.exists(p) else 0

    def close(self):
        self.db.close()


class SqliteEngine:
    def __init__(self, directory, journal, cache=WARM_CACHE):
        self.label = "sqlite-" + journal[:3].lower()
        self.journal = journal
        self.path = os.path.join(directory, "bench.sqlite")
        self._open(cache)
        self.conn.execute("CREATE TABLE IF NOT EXISTS kv(k INTEGER PRIMARY KEY, v BLOB)")

    def _open(self, cache):
        conn = sqlite3.connect(self.path, isolation_level=None)
        mode = conn.execute(f"PRAGMA journal_mode={self.journal}").fetchone()[0]
        assert mode.lower() == self.journal.lower(), mode
        conn.execute("PRAGMA synchronous=FULL")
        conn.execute(f"PRAGMA cache_size=-{cache // 1024}")  # negative: KiB
        self.conn = conn
        cur = conn.cursor()
        ex = cur.execute

        def insert(v):
            ex("INSERT INTO kv(v) VALUES (?)", (v,))
            return cur.lastrowid

        def update(k, v):
            ex("UPDATE kv SET v = ? WHERE k = ?", (v, k))

        def delete(k):
            ex("DELETE FROM kv WHERE k = ?", (k,))

        def read(k):
            return ex("SELECT v FROM kv WHERE k = ?", (k,)).fetchone()[0]

        def begin():
            ex("BEGIN")

        def commit():
            ex("COMMIT")

        self.insert, self.update, self.delete, self.read = insert, update, delete, read
        self.begin = self.reads_begin = begin
        self.commit = self.reads_end = commit

    def reopen(self, cold):
        self.conn.close()
        self._open(COLD_CACHE if cold else WARM_CACHE)

    def count(self):
        return self.conn.execute("SELECT count(*) FROM kv").fetchone()[0]

    def size(self):
        n = os.path.getsize(self.path)
        wal = self.path + "-wal"
        if os.path.exists(wal):
            n += os.path.getsize(wal)
        return n, None

    def close(self):
        self.conn.close()


class LmdbEngine:
    label = "lmdb"

    def __init__(self, directory, cache=None):
        self.path = os.path.join(directory, "bench.lmdb")
        self.next_key = 0
        self._open()

    def _open(self):
        self.env = lmdb.open(self.path, map_size=LMDB_MAP_SIZE, sync=True, metasync=True)
        self.txn = None

    def begin(self):
        txn = self.env.begin(write=True)
        self.txn = txn
        put = txn.put
        pack = struct.Struct(">Q").pack

        def insert(v):
            k = pack(self.next_key)
            self.next_key += 1
            put(k, v)
            return k

        self.insert, self.update, self.delete = insert, put, txn.delete

    def commit(self):
        self.txn.commit()
        self.txn = None

    def reads_begin(self):
        self.txn = self.env.begin()
        self.read = self.txn.get

    def reads_end(self):
        self.txn.abort()
        self.txn = None

    def reopen(self, cold):
        self.env.close()
        self._open()

    def count(self):
        return self.env.stat()["entries"]

    def size(self):
        return os.path.getsize(os.path.join(self.path, "data.mdb")), None

    def close(self):
        self.env.close()


ENGINES = {
    "ambrik": AmbrikEngine,
    "sqlite-del": lambda d, cache=WARM_CACHE: SqliteEngine(d, "DELETE", cache),
    "sqlite-wal": lambda d, cache=WARM_CACHE: SqliteEngine(d, "WAL", cache),
    "lmdb": LmdbEngine,
}
ORDER = list(ENGINES)
