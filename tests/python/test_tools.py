"""The operator tools: `ambrik check`, `ambrik stats`, `ambrik compact`.

Damage is made by hand in plaintext files, aimed at pages whose role is known
(a compacted copy has no free or superseded pages, so every page of a type is
a live one), with the trailer recomputed where the damage is structural, so
that the checker's own rules are what finds it.
"""

import concurrent.futures
import hashlib
import json
import os
import random
import signal
import struct
import subprocess
import sys
import time

import pytest
import xxhash

import ambrik
from ambrik import cli



PAGE = 8192
SEALED = 8232
KEY = bytes(range(7, 39))
NO_PAGE = 2**64 - 1


def run(*args, env=None):
    proc = subprocess.run([sys.executable, "-m", "ambrik", *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


def fill(db, rng, count=300, tags=4):
    """Small, large and tagged values with client bytes, then some deletions."""
    with db.transaction() as t:
        for i in range(count):
            size = rng.choice([0, 17, 200, 3000, 8162, 8163, 20000])
            value = rng.randbytes(size)
            h = t.allocate_tagged(value, rng.randint(1, tags)) if i % 3 == 0 else t.allocate(value)
            if i % 5 == 0:
                t.set_client_byte(h, i % 256)
        t.set_root_name("first", 1)
        t.set_root_name("wörter", 7)
    with db.transaction() as t:
        for h in t.handles()[::4]:
            t.delete(h)


def build(path, key=None, sb=2, seed=1, count=300):
    with ambrik.open(str(path), superblock_count=sb, encryption_key=key) as db:
        fill(db, random.Random(seed), count)


def snapshot(path, key=None):
    with ambrik.open(str(path), encryption_key=key, create_if_missing=False) as db:
        values = {h: (db.read(h), db.tag(h), db.client_byte(h)) for h in db.handles()}
        tags = {t: db.handles_with_tag(t) for t in range(1, 9)}
        roots = {n: db.get_root_name(n) for n in ("first", "wörter", "none")}
        db.begin()
        next_handle = db.allocate(b"")
        db.rollback()
    return values, tags, roots, next_handle


def superblock(data, stride=PAGE):
    """Fields of the newest valid plaintext slot."""
    best = None
    for u in range(16):
        unit = data[u * stride:u * stride + PAGE]
        if len(unit) < PAGE or unit[:4] != b"KBMA":
            continue
        if xxhash.xxh3_64_intdigest(unit[:8184]) != int.from_bytes(unit[8184:], "little"):
            continue
        gen = int.from_bytes(unit[8:16], "little")
        if best is None or gen >= best["generation"]:
            best = dict(slot=u, generation=gen,
                        handle_root=int.from_bytes(unit[16:24], "little"),
                        freemap_root=int.from_bytes(unit[24:32], "little"),
                        count=int.from_bytes(unit[308:312], "little"),
                        membership_root=int.from_bytes(unit[312:320], "little"),
                        freemap_depth=int.from_bytes(unit[320:324], "little"))
    return best


def page(data, p):
    return bytearray(data[p * PAGE:(p + 1) * PAGE])


def put(data, p, content, trailer=True):
    content = bytearray(content)
    if trailer:
        content[8184:] = xxhash.xxh3_64_intdigest(bytes(content[:8184])).to_bytes(8, "little")
    data[p * PAGE:(p + 1) * PAGE] = content


def pages_of_type(data, t):
    return [p for p in range(len(data) // PAGE) if data[p * PAGE] == t]


def problems_at(report, p):
    return [f["text"] for f in report["findings"] if f["severity"] == "problem" and f["page"] == p]


@pytest.fixture
def compacted(tmp_path):
    """A plaintext file whose pages are all live (no free map, nothing superseded)."""
    src, dst = tmp_path / "src.db", tmp_path / "live.db"
    build(src, sb=3)
    cli.compact(str(src), str(dst))
    return dst


def damaged(tmp_path, source, change):
    data = bytearray(source.read_bytes())
    change(data)
    out = tmp_path / "damaged.db"
    out.write_bytes(data)
    return out, cli.check(str(out))


# ------------------------------------------------------------------ check


def test_check_sound_files_and_exit_status(tmp_path):
    plain, enc = tmp_path / "p.db", tmp_path / "e.db"
    build(plain, sb=3)
    build(enc, key=KEY)
    (tmp_path / "key").write_bytes(KEY)
    code, out, err = run("check", plain)
    assert code == 0 and out.splitlines()[-1].startswith("sound: 0 problems"), out
    assert err == ""  # no progress when standard error is not a terminal
    code, out, _ = run("check", enc, "--key-file", tmp_path / "key")
    assert code == 0, out
    report = cli.check(str(enc), KEY)
    assert report["problems"] == 0 and report["superblock"]["encrypted"]
    assert report["content"]["live_handles"] == len(snapshot(enc, KEY)[0])


def test_progress_only_on_a_terminal(tmp_path):
    import pty
    path = tmp_path / "p.db"
    build(path, count=40)
    master, slave = pty.openpty()
    try:
        proc = subprocess.run([sys.executable, "-m", "ambrik", "check", str(path)],
                              stdout=subprocess.PIPE, stderr=slave, timeout=60)
        os.close(slave)
        slave = None
        shown = os.read(master, 4096)
    finally:
        if slave is not None:
            os.close(slave)
        os.close(master)
    assert proc.returncode == 0
    assert b"\r" in shown  # the progress line is drawn and cleared


def test_check_cannot_check(tmp_path):
    path = tmp_path / "e.db"
    build(path, key=KEY, count=20)
    (tmp_path / "wrong").write_bytes(b"not the key")
    (tmp_path / "empty.db").write_bytes(b"")
    (tmp_path / "notes.txt").write_text("not a database\n" * 1000)  # longer than a page
    (tmp_path / "short.txt").write_text("not a database either\n")
    # A file that is not a database: status 2 and one text for every command.
    for name, error, message in [
            ("missing.db", "DatabaseFileNotFoundError", "database file not found: {}"),
            ("empty.db", "DatabaseFileNotFoundError", "{} is empty (0 bytes): not a database file"),
            ("notes.txt", "CorruptSuperblockError", "{} is not a database file (no superblock in it)"),
            ("short.txt", "CorruptSuperblockError", "{} is not a database file (no superblock in it)")]:
        for command in ("check", "stats", "compact"):
            target = [tmp_path / "out.db"] if command == "compact" else ["--json"]
            code, out, err = run(command, tmp_path / name, *target)
            text = message.format(tmp_path / name)
            assert (code, err) == (2, f"ambrik {command}: {error}: {text}\n"), (name, command)
            if command != "compact":
                assert json.loads(out) == {"command": command, "error": error, "message": text,
                                           "exit_status": 2}
    assert not (tmp_path / "out.db").exists()
    code, _, err = run("check", path)
    assert code == 2 and "NoEncryptionKeyError" in err
    code, _, err = run("check", path, "--key-file", tmp_path / "wrong")
    assert code == 2 and "InvalidEncryptionKeyError" in err
    with ambrik.open(str(path), encryption_key=KEY):
        code, _, err = run("check", path, "--key-file", tmp_path / "wrong")
        assert code == 2 and "LockFailedError" in err and "--wait SECONDS" in err
        with pytest.raises(ambrik.LockFailedError):
            cli.check(str(path), KEY)
    with pytest.raises(ambrik.InvalidEncryptionKeyError):
        cli.stats(str(path), b"wrong")
    with pytest.raises(ambrik.DatabaseFileNotFoundError):
        cli.compact(str(tmp_path / "missing.db"), str(tmp_path / "out.db"))
    env = dict(os.environ, AMBRIK_TEST_PASS="x")
    code, _, err = run("check", path, "--passphrase-env", "AMBRIK_TEST_PASS", env=env)
    assert code == 2 and "InvalidEncryptionKeyError" in err


@pytest.mark.parametrize("kind", ["handle_root", "data", "overflow", "membership", "freemap"])
def test_check_finds_bit_flips_in_each_page_type(tmp_path, compacted, kind):
    if kind == "freemap":
        source = tmp_path / "with-free.db"
        build(source)
        sb = superblock(source.read_bytes())
        target = sb["freemap_root"]
    else:
        source = compacted
        data = source.read_bytes()
        sb = superblock(data)
        target = {"handle_root": sb["handle_root"],
                  "membership": sb["membership_root"],
                  "data": pages_of_type(data, 2)[3] if kind == "data" else None,
                  "overflow": pages_of_type(data, 3)[5] if kind == "overflow" else None}[kind]

    def flip(data):
        data[target * PAGE + 1000] ^= 0x10

    path, report = damaged(tmp_path, source, flip)
    assert any("checksum" in t for t in problems_at(report, target)), report["findings"]
    expected = {"membership": "membership_index", "freemap": "free_map"}.get(kind, "handle_table")
    assert expected in {f["kind"] for f in report["findings"] if f["page"] == target}
    assert run("check", path)[0] == 1


def test_check_encrypted_page_that_does_not_decrypt(tmp_path):
    src, live = tmp_path / "e.db", tmp_path / "live.db"
    build(src, key=KEY, count=60)
    cli.compact(str(src), str(live), KEY)
    data = bytearray(live.read_bytes())
    target = len(data) // SEALED - 2
    data[target * SEALED + 300] ^= 0x40
    live.write_bytes(data)
    report = cli.check(str(live), KEY)
    assert any("decrypt" in t for t in problems_at(report, target)), report["findings"]


def test_check_superblock_slots(tmp_path):
    path = tmp_path / "sb3.db"
    build(path, sb=3)
    data = path.read_bytes()
    chosen = superblock(data)["slot"]
    following = (chosen + 1) % 3  # where the next commit writes
    older = (chosen + 2) % 3

    def flip(slot):
        def change(d):
            d[slot * PAGE + 40] ^= 1
        return change

    _, report = damaged(tmp_path, path, flip(following))
    assert report["problems"] == 0 and report["warnings"] >= 1  # a torn write looks the same
    _, report = damaged(tmp_path, path, flip(older))
    assert any("bad checksum" in t for t in problems_at(report, older))

    def wipe_all(d):
        for s in range(3):
            d[s * PAGE:(s + 1) * PAGE] = bytes(PAGE)
    out, report = damaged(tmp_path, path, wipe_all)
    assert report["superblock"]["chosen"] is None and report["problems"] >= 3
    assert {f["kind"] for f in report["findings"]} == {"superblock"}
    code, out, _ = run("check", out)
    assert code == 1 and "no valid superblock found" in out


def test_check_structural_damage(tmp_path, compacted):
    data = compacted.read_bytes()
    sb = superblock(data)
    leaf = next(p for p in pages_of_type(data, 1) if data[p * PAGE + 1] == 1)
    content = page(data, leaf)
    entries = [i for i in range(510) if content[16 + 16 * i + 10] in (1, 2)]
    overflow = [i for i in entries if content[16 + 16 * i + 10] == 2]
    tagged = [i for i in entries if int.from_bytes(content[16 + 16 * i + 11:16 + 16 * i + 15],
                                                   "little")]

    # A page reachable twice: a second handle points at the same chain.
    def share_chain(d):
        c = page(d, leaf)
        a, b = overflow[0], overflow[1]
        c[16 + 16 * b:16 + 16 * b + 11] = c[16 + 16 * a:16 + 16 * a + 11]
        put(d, leaf, c)
    first = int.from_bytes(content[16 + 16 * overflow[0]:24 + 16 * overflow[0]], "little")
    _, report = damaged(tmp_path, compacted, share_chain)
    assert any("reached twice" in t for t in problems_at(report, first)), report["findings"]

    # A broken chain: the first page of a multi-page chain ends it early.
    def cut_chain(d):
        c = page(d, first)
        c[24:32] = bytes(8)
        put(d, first, c)
    _, report = damaged(tmp_path, compacted, cut_chain)
    assert any("broken chain" in t for t in problems_at(report, first)), report["findings"]
    assert report["pages"]["leaked"] > 0  # the chain's tail

    # A tag index that disagrees: the entry's tag changes, the index does not.
    def retag(d):
        c = page(d, leaf)
        i = tagged[0]
        c[16 + 16 * i + 11:16 + 16 * i + 15] = (999).to_bytes(4, "little")
        put(d, leaf, c)
    _, report = damaged(tmp_path, compacted, retag)
    texts = problems_at(report, leaf)
    assert any("carries tag 999" in t for t in texts), report["findings"]
    assert any("disagrees" in f["text"] for f in report["findings"])
    assert any("carries tag 999" in f["text"] and f["page"] != leaf for f in report["findings"])

    # A handle-table node replaced by a page of another type.
    def wrong_type(d):
        c = page(d, sb["handle_root"])
        c[0] = 6
        put(d, sb["handle_root"], c)
    _, report = damaged(tmp_path, compacted, wrong_type)
    assert report["problems"] >= 1 and report["pages"]["leaked"] > 0

    # A truncated file.
    out = tmp_path / "short.db"
    out.write_bytes(data[:-PAGE])
    report = cli.check(str(out))
    assert any("truncated" in f["text"] for f in report["findings"])
    assert run("check", out)[0] == 1


def test_check_page_both_reachable_and_free(tmp_path):
    path = tmp_path / "free.db"
    build(path)
    data = path.read_bytes()
    sb = superblock(data)
    assert sb["freemap_depth"] == 0  # the root is the leaf
    victim = sb["handle_root"]

    def mark(d):
        c = page(d, sb["freemap_root"])
        c[16 + victim // 8] |= 1 << (victim % 8)
        put(d, sb["freemap_root"], c)
    _, report = damaged(tmp_path, path, mark)
    assert any("marked free but reachable" in t for t in problems_at(report, victim))
    assert {f["kind"] for f in report["findings"] if f["page"] == victim} == {"free_map"}


def test_check_after_killed_commits(tmp_path):
    """Files left by a process killed at random points check sound."""
    path = tmp_path / "crash.db"
    code = (
        "import ambrik, random, sys\n"
        "rng = random.Random(int(sys.argv[2]))\n"
        "with ambrik.open(sys.argv[1], superblock_count=3, cache_max_bytes=65536) as db:\n"
        "    while True:\n"
        "        with db.transaction() as t:\n"
        "            for _ in range(rng.randint(1, 40)):\n"
        "                t.allocate_tagged(rng.randbytes(rng.choice([10, 500, 9000])), 3)\n"
        "            hs = t.handles()\n"
        "            for h in hs[:rng.randint(0, len(hs) // 2)]:\n"
        "                t.delete(h)\n")
    rng = random.Random(5)
    for round_ in range(6):
        child = subprocess.Popen([sys.executable, "-c", code, str(path), str(round_)])
        time.sleep(0.3 + rng.random() * 0.4)
        child.send_signal(signal.SIGKILL)
        child.wait()
        report = cli.check(str(path))
        assert report["problems"] == 0, report["findings"]


# ------------------------------------------------------------------ stats


def test_stats_text_and_json(tmp_path):
    path = tmp_path / "s.db"
    build(path, key=KEY, sb=4)
    with ambrik.open(str(path), encryption_key=KEY) as db:
        db.add_key(KEY, "a passphrase")
        expected = db.stats()
    report = cli.stats(str(path), "a passphrase")
    assert report["stats"]["handle_count"] == expected.handle_count
    assert report["stats"]["total_pages"] == expected.total_pages
    sb = report["superblock"]
    assert sb["encrypted"] and sb["superblock_count"] == 4
    assert [(k["slot"], k["kind"]) for k in sb["key_slots"]] == [(0, "raw"), (1, "passphrase")]
    pages = report["pages"]
    assert sum(v for k, v in pages.items() if k != "tail_units") == expected.total_pages
    (tmp_path / "key").write_bytes(KEY)
    code, out, _ = run("stats", path, "--key-file", tmp_path / "key")
    assert code == 0 and "handle_count" in out and "passphrase" in out
    code, out, _ = run("stats", path, "--key-file", tmp_path / "key", "--json")
    assert code == 0 and json.loads(out)["stats"] == report["stats"]


# ------------------------------------------------------------------ compact


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_compact_round_trip_plaintext(tmp_path):
    src, dst = tmp_path / "src.db", tmp_path / "dst.db"
    build(src, sb=5)
    before = digest(src)
    code, out, _ = run("compact", src, dst)
    assert code == 0, out
    assert digest(src) == before
    assert snapshot(dst) == snapshot(src)
    report = cli.check(str(dst))
    assert report["problems"] == 0 and report["warnings"] == 0 or all(
        "not live" in f["text"] for f in report["findings"])
    assert report["superblock"]["superblock_count"] == 5
    assert report["pages"]["free"] == 0 and report["pages"]["leaked"] == 0
    assert not list(tmp_path.glob("*.tmp"))
    # The copy is an ordinary database: it takes further commits.
    with ambrik.open(str(dst)) as db:
        with db.transaction() as t:
            h = t.allocate(b"after")
        assert db.read(h) == b"after"
    assert cli.check(str(dst))["problems"] == 0


def test_compact_round_trip_encrypted_keeps_key_slots(tmp_path):
    src, dst = tmp_path / "src.db", tmp_path / "dst.db"
    build(src, key=KEY, sb=3)
    with ambrik.open(str(src), encryption_key=KEY) as db:
        db.add_key(KEY, "second key")
    env = dict(os.environ, AMBRIK_TEST_PASS="second key")
    code, out, err = run("compact", src, dst, "--passphrase-env", "AMBRIK_TEST_PASS", env=env)
    assert code == 0, err
    assert snapshot(dst, KEY) == snapshot(src, KEY)
    assert snapshot(dst, "second key")[0] == snapshot(src, KEY)[0]
    d_src, d_dst = src.read_bytes(), dst.read_bytes()
    assert len(d_dst) % SEALED == 0
    slots = lambda d: d[332:332 + 1024]  # noqa: E731 - key slots of slot 0
    assert slots(d_dst) == slots(d_src[superblock_slot_sealed(d_src) * SEALED:])
    assert cli.check(str(dst), KEY)["problems"] == 0


def superblock_slot_sealed(data):
    gens = [int.from_bytes(data[u * SEALED + 8:u * SEALED + 16], "little") for u in range(3)]
    return max(range(3), key=lambda u: gens[u])


def test_compact_shrinks_to_a_fresh_load(tmp_path):
    rng = random.Random(3)
    src, dst, fresh = tmp_path / "src.db", tmp_path / "dst.db", tmp_path / "fresh.db"
    values = [rng.randbytes(rng.choice([40, 700, 2500, 12000])) for _ in range(3000)]
    with ambrik.open(str(src)) as db:
        with db.transaction() as t:
            handles = [t.allocate(v) for v in values]
        with db.transaction() as t:
            for i, h in enumerate(handles):
                if i % 10:
                    t.delete(h)
    kept = values[::10]
    with ambrik.open(str(fresh)) as db:
        with db.transaction() as t:
            for v in kept:
                t.allocate(v)
    cli.compact(str(src), str(dst))
    shrink = os.path.getsize(dst) / os.path.getsize(fresh)
    print(f"source {os.path.getsize(src)}, compacted {os.path.getsize(dst)}, "
          f"fresh load {os.path.getsize(fresh)}: {shrink:.3f}x of fresh")
    assert shrink <= 1.2
    assert os.path.getsize(dst) < os.path.getsize(src) / 5
    with ambrik.open(str(dst)) as db:
        assert [db.read(h) for h in db.handles()] == kept


def test_compact_refusals(tmp_path):
    src, dst = tmp_path / "src.db", tmp_path / "dst.db"
    build(src, count=30)
    dst.write_bytes(b"keep me")
    code, _, err = run("compact", src, dst)
    assert code == 2 and dst.read_bytes() == b"keep me"
    assert err == f"ambrik compact: FileExistsError: [Errno 17] File exists: {str(dst)!r} " \
                  "(use --force to replace it)\n"
    with pytest.raises(FileExistsError) as info:
        cli.compact(str(src), str(dst))
    assert info.value.filename == str(dst) and not isinstance(info.value, ambrik.AmbrikError)
    code, _, err = run("compact", src, src, "--force")
    assert code == 2 and "source and destination are the same file" in err
    assert run("compact", src, dst, "--force")[0] == 0
    assert snapshot(dst) == snapshot(src)
    # A damaged source: nothing is written.
    data = bytearray(src.read_bytes())
    root = superblock(data)["handle_root"]
    data[root * PAGE + 100] ^= 4
    bad = tmp_path / "bad.db"
    bad.write_bytes(data)
    code, _, err = run("compact", bad, tmp_path / "out.db")
    assert code == 1 and "ChecksumMismatchError" in err
    assert not (tmp_path / "out.db").exists() and not list(tmp_path.glob("*.tmp"))


def test_compact_empty_and_locked(tmp_path):
    src, dst = tmp_path / "empty.db", tmp_path / "copy.db"
    ambrik.open(str(src), superblock_count=4).close()
    cli.compact(str(src), str(dst))
    assert os.path.getsize(dst) == 4 * PAGE
    assert cli.check(str(dst))["problems"] == 0
    with ambrik.open(str(dst), read_only=True) as db:  # a reader too keeps it from being replaced
        assert db.handles() == []
        with ambrik.open(str(src)):
            code, _, err = run("compact", src, tmp_path / "other.db")
            assert code == 2 and "LockFailedError" in err
        code, _, err = run("compact", src, dst, "--force")
        assert code == 2 and "OSError: [Errno 16] destination is open in another program" in err
    code, _, err = run("compact", src, tmp_path / "no" / "such" / "dir.db")
    assert code == 2 and "FileNotFoundError" in err and not list(tmp_path.glob("*.tmp"))


# ------------------------------------------------------------ shared use

BLOCK = (8, 3000, 20000)  # a slot, a shared data page, an overflow chain

# Commits until the stop file appears, freeing pages while the tools read.
SHARED_WRITER = f"""
import os, struct, sys, time, ambrik
with ambrik.open(sys.argv[1], shared=True, lock_timeout=60) as db:
    i, extra = 0, []
    while not os.path.exists(sys.argv[2]):
        i += 1
        with db.transaction() as t:
            for n, size in enumerate({BLOCK}):
                t.update(t.get_root_name(f"b{{n}}"), struct.pack("<Q", i) * (size // 8))
            extra.append(t.allocate(b"x")) if i % 2 else t.delete(extra.pop())
        print(i, flush=True) if i == 1 else time.sleep(0.002)
print(i, flush=True)
"""


def block_number(db):
    """The commit number that all block values of one snapshot carry."""
    with db.snapshot() as snap:
        numbers = {x for n, size in enumerate(BLOCK)
                   for x in struct.unpack(f"<{size // 8}Q", snap.read(snap.get_root_name(f"b{n}")))}
    assert len(numbers) == 1, numbers
    return numbers.pop()


def test_tools_read_one_commit_of_a_file_in_shared_use(tmp_path):
    path, stop = tmp_path / "live.db", tmp_path / "stop"
    build(path, count=40)
    with ambrik.open(str(path)) as db, db.transaction() as t:
        for n, size in enumerate(BLOCK):
            t.set_root_name(f"b{n}", t.allocate(bytes(size)))
    writer = subprocess.Popen([sys.executable, "-c", SHARED_WRITER, str(path), str(stop)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline() == "1\n"
        with ambrik.open(str(path), shared=True, lock_timeout=30) as db:
            for report in (cli.check(str(path)), json.loads(run("check", "--json", path)[1])):
                assert report["problems"] == 0 and report["pages"]["leaked"] == 0, report
            stats = cli.stats(str(path))  # both halves of it describe one commit
            assert stats["stats"]["handle_count"] == stats["content"]["live_handles"]
            assert json.loads(run("stats", "--json", path)[1])["problems"] == 0
            copy, before = tmp_path / "copy.db", block_number(db)
            cli.compact(str(path), str(copy))
            with ambrik.open(str(copy), read_only=True) as c:
                assert before <= block_number(c) <= block_number(db)
            assert cli.check(str(copy))["problems"] == 0
            # A transaction in progress keeps check out, not compact.
            db.begin()
            with pytest.raises(ambrik.LockFailedError, match="shared use and its writers kept"
                               " the write lock for 0.3 s"):
                cli.check(str(path), wait=0.3)
            code, _, err = run("check", "--wait", "0.1", path)
            assert code == 2 and err.endswith("commits) (--wait SECONDS waits longer)\n"), err
            assert run("compact", path, copy, "--force")[0] == 0
            with concurrent.futures.ThreadPoolExecutor(1) as pool:
                waiting = pool.submit(cli.check, str(path), wait=30)
                time.sleep(0.3)
                assert not waiting.done()
                db.rollback()
                assert waiting.result()["problems"] == 0
    finally:
        stop.touch()
        code = writer.wait(timeout=60)
    assert code == 0 and int(writer.stdout.read()) > 1


def test_database_module_surface_unchanged():
    from ambrik import _ambrik, _tools
    assert not {"check", "stats", "compact"} & set(dir(_ambrik))
    assert {"check", "stats", "compact"} <= set(dir(_tools))


def test_out_of_memory_while_converting_arguments_is_memory_error():
    # Under an address-space limit the copy of a huge path or key fails; that
    # must reach Python as MemoryError, not end the process.
    script = r"""
import resource
from ambrik import _tools
big = b"/" + b"x" * (256 << 20)
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + (64 << 20), resource.RLIM_INFINITY))
for call in (lambda: _tools.check(big), lambda: _tools.stats("/nonexistent", big),
             lambda: _tools.compact("/nonexistent", big)):
    try:
        call()
    except MemoryError:
        print("MemoryError")
"""
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert (proc.returncode, proc.stdout.split()) == (0, ["MemoryError"] * 3), proc.stderr


def test_command_line_manners(tmp_path):
    code, out, _ = run("--version")
    assert (code, out) == (0, f"ambrik {ambrik.__version__}\n")
    parsers = [cli._parser()]
    parsers += [p for a in parsers[0]._actions if a.choices for p in a.choices.values()]
    assert all(a.help for p in parsers for a in p._actions), "an argument without help"
    # A reader that has gone: no traceback, the status of a SIGPIPE death.
    path = tmp_path / "p.db"
    build(path, count=40)
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        proc = subprocess.run([sys.executable, "-m", "ambrik", "stats", str(path)],
                              stdout=write_end, stderr=subprocess.PIPE, text=True, timeout=120)
    finally:
        os.close(write_end)
    assert (proc.returncode, proc.stderr) == (128 + signal.SIGPIPE, "")
