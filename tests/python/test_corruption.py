"""Damaged files must fail cleanly, never hand back wrong bytes.

A file is built by a known sequence of commits (allocations, updates and
deletions of small and overflow values), then copies of it are damaged:
single bit flips in the newest and in older superblock slots, in the page
chain of one large value or in a tree or data page, random flips anywhere,
bursts inside one page, truncation and appended garbage. A worker subprocess
opens each copy and reads every handle, so that a crash of the interpreter is
reported as a failure of the copy that caused it rather than taking pytest
down.

The rules checked for every copy:
- only this module's exceptions escape, and of those only the ones a damaged
  page can produce (a checksum mismatch in a plaintext file, a failed
  decryption in an encrypted one), or an invalid handle for a value that is
  not in the state that was opened;
- whatever opens is the last commit, or the one before it when the newest
  superblock was hit (truncation must fail the open); a list of handles or a
  value that is returned is exactly that state's;
- damage that no live page depends on (an older slot, bytes past the end)
  changes nothing, a hit newest slot only rolls back one commit, and a flip in
  a large value's chain fails only that value.

Set AMBRIK_CORRUPTION_SEED to damage other copies.
"""

import hashlib
import json
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

from ambrik import _ambrik as am

PAGE = 8192
ENCRYPTED_STRIDE = 8232
SMALL_MAX = 8162
KEY = bytes(range(100, 132))
COPIES_PER_FILE = 60
BATCH = 30
BASE_SEED = int(os.environ.get("AMBRIK_CORRUPTION_SEED", "100"))

FILES = {
    "plain-sb2": dict(sb=2, key=None),
    "plain-sb3": dict(sb=3, key=None),
    "encrypted-sb2": dict(sb=2, key=KEY),
    "encrypted-sb3": dict(sb=3, key=KEY),
}


def digest(value):
    return hashlib.blake2b(value, digest_size=16).hexdigest()


# ---------------------------------------------------------------- the worker


def describe_exception(exc):
    return [type(exc).__name__, isinstance(exc, am.AmbrikError), str(exc)[:200]]


def probe(path, key, read_only, probes):
    """Open one damaged copy and read everything; record results and errors."""
    def open_db():
        return am.open(path, encryption_key=key, read_only=read_only, create_if_missing=False)

    result = {"reads": {}}
    try:
        db = open_db()
    except Exception as exc:  # noqa: BLE001 - every escape is recorded and judged
        result["open"] = describe_exception(exc)
        return result
    result["open"] = None
    try:
        try:
            result["handles"] = ["ok", db.handles()]
        except Exception as exc:  # noqa: BLE001
            result["handles"] = describe_exception(exc)
        for h in probes:
            if db.is_poisoned:
                # A fatal error poisons the handle; the other values are judged
                # through a fresh open, as an application would do.
                db.close()
                try:
                    db = open_db()
                except Exception as exc:  # noqa: BLE001
                    result["reopen"] = describe_exception(exc)
                    return result
            try:
                result["reads"][str(h)] = ["ok", digest(db.read(h))]
            except Exception as exc:  # noqa: BLE001
                result["reads"][str(h)] = describe_exception(exc)
    finally:
        db.close()
    return result


def worker():
    job = json.loads(sys.stdin.read())
    original = Path(job["original"]).read_bytes()
    scratch = Path(job["scratch"])
    key = bytes.fromhex(job["key"]) if job["key"] else None
    for i, mutation in job["copies"]:
        data = bytearray(original)
        for offset, xor in mutation["flips"]:
            data[offset] ^= xor
        if mutation.get("truncate") is not None:
            del data[mutation["truncate"]:]
        if mutation.get("append"):
            data += bytes.fromhex(mutation["append"])
        scratch.write_bytes(data)
        Path(str(scratch) + ".spillway").unlink(missing_ok=True)
        print(json.dumps({"begin": i}), flush=True)
        result = probe(str(scratch), key, i % 2 == 1, job["probes"])
        print(json.dumps({"done": i, "result": result}), flush=True)


# ---------------------------------------------------------------- the parent


class Built:
    """A committed file and the state after each of its commits."""

    def __init__(self, path, sb, key, states):
        self.path, self.sb, self.key, self.states = path, sb, key, states
        self.data = path.read_bytes()
        self.stride = ENCRYPTED_STRIDE if key else PAGE
        self.last = len(states) - 1


def build(path, sb, key, seed):
    rng = random.Random(seed)
    states = [{}]
    live = {}
    with am.open(str(path), superblock_count=sb, encryption_key=key) as db:
        for commit in range(1, 14):
            last = commit == 13
            db.begin()
            for size in [rng.randint(SMALL_MAX + 1, 30000)] + \
                        [rng.randint(0, 3000) for _ in range(rng.randint(1, 3) if not last else 1)]:
                value = rng.randbytes(size)
                live[db.allocate(value)] = value
            if commit > 3:
                h = rng.choice(sorted(live))
                # Move the value across the size classes.
                new_size = rng.randint(SMALL_MAX + 1, 25000) if len(live[h]) <= SMALL_MAX \
                    else rng.randint(1, 500)
                live[h] = rng.randbytes(new_size)
                db.update(h, live[h])
                gone = rng.choice(sorted(live))
                db.delete(gone)
                del live[gone]
            db.commit()
            states.append(dict(live))
    return Built(path, sb, key, states)


def generations(built):
    return [int.from_bytes(built.data[u * built.stride + 8:u * built.stride + 16], "little")
            for u in range(built.sb)]


def chain_pages(built, state):
    """Plaintext only: page id -> the large value whose bytes it carries."""
    owners = {}
    for p in range(built.sb, len(built.data) // PAGE):
        page = built.data[p * PAGE:(p + 1) * PAGE]
        for h, value in state.items():
            if len(value) <= SMALL_MAX:
                continue
            windows = [value[o:o + 32] for o in range(0, len(value) - 32, 1024)] + [value[-32:]]
            if any(page.find(w) >= 0 for w in windows):
                owners[p] = h
    return owners


def mutations(built, rng, count):
    size = len(built.data)
    gens = generations(built)
    newest = max(range(built.sb), key=lambda u: gens[u])
    older = [u for u in range(built.sb) if u != newest]
    owners = chain_pages(built, built.states[built.last]) if not built.key else {}
    # Handle-table nodes, data pages and free-map pages, live or superseded;
    # ciphertext hides the type, so only plaintext files get aimed flips.
    structure = [p for p in range(built.sb, size // PAGE)
                 if built.data[p * PAGE] in (1, 2, 4, 7)] if not built.key else []

    def flip_in(start, length):
        return [start + rng.randrange(length), 1 << rng.randrange(8)]

    def slots_hit(flips):
        return {o // built.stride for o, _ in flips
                if o // built.stride < built.sb and o % built.stride < PAGE}

    out = []
    kinds = ["newest_sb"] * 8 + ["older_sb"] * 6 + ["truncate"] * 4 + ["append"] * 3 + \
            ["burst"] * 8 + \
            (["value_page"] * 10 if owners else []) + (["structure"] * 10 if structure else [])
    kinds += ["random"] * (count - len(kinds))
    for kind in kinds:
        m = {"kind": kind, "flips": []}
        if kind == "newest_sb":
            m["flips"] = [flip_in(newest * built.stride, PAGE)]
        elif kind == "older_sb":
            m["flips"] = [flip_in(rng.choice(older) * built.stride, PAGE)]
        elif kind == "value_page":
            page = rng.choice(sorted(owners))
            m["flips"] = [flip_in(page * PAGE, PAGE)]
            m["owner"] = owners[page]
        elif kind == "structure":
            m["flips"] = [flip_in(rng.choice(structure) * PAGE, PAGE)]
        elif kind == "burst":
            unit = rng.randrange(built.sb, size // built.stride)
            start = unit * built.stride + rng.randrange(built.stride - 64)
            m["flips"] = [[start + j, rng.randrange(1, 256)] for j in range(rng.randint(2, 64))]
        elif kind == "truncate":
            m["truncate"] = rng.randrange(built.sb * built.stride, size)
        elif kind == "append":
            m["append"] = rng.randbytes(rng.choice((1, 100, built.stride, 3 * built.stride))).hex()
        else:
            while True:
                m["flips"] = [[rng.randrange(size), rng.randrange(1, 256)]
                              for _ in range(rng.randint(1, 3))]
                if len(slots_hit(m["flips"])) <= 1:
                    break
        m["state"] = built.last - 1 if newest in slots_hit(m["flips"]) else built.last
        out.append(m)
    return out


def judge(built, m, result):
    """Return a list of rule violations for one damaged copy."""
    page_error = "DecryptionFailedError" if built.key else "ChecksumMismatchError"
    state = {str(h): digest(v) for h, v in built.states[m["state"]].items()}
    strict = m["kind"] in ("newest_sb", "older_sb", "append", "value_page")
    faults = []

    def error_ok(what, exc, allowed):
        if not exc[1]:
            faults.append(f"{what}: foreign exception {exc[0]}: {exc[2]}")
        elif exc[0] not in allowed:
            faults.append(f"{what}: unexpected {exc[0]}: {exc[2]}")

    if m["kind"] == "truncate":
        if result["open"] is None:
            faults.append("a truncated file opened")
        else:
            error_ok("open", result["open"], {"FileSizeMismatchError"})
        return faults
    if result["open"] is not None:
        error_ok("open", result["open"], set() if strict else {page_error})
        return faults
    if "reopen" in result:
        error_ok("reopen", result["reopen"], {page_error})

    handles = result["handles"]
    if handles[0] != "ok":
        error_ok("handles()", handles, set() if strict else {page_error})
    elif sorted(handles[1]) != sorted(int(h) for h in state):
        faults.append(f"handles() gave {sorted(handles[1])}, "
                      f"the state holds {sorted(int(h) for h in state)}")

    for h, got in result["reads"].items():
        damaged = m["kind"] == "value_page" and int(h) == m["owner"]
        if got[0] == "ok":
            if h not in state:
                faults.append(f"read({h}) succeeded for a handle that is not in the opened state")
            elif got[1] != state[h]:
                faults.append(f"read({h}) returned wrong bytes")
            elif damaged:
                faults.append(f"read({h}) succeeded although its chain was damaged")
        elif damaged:
            error_ok(f"read({h})", got, {"ChecksumMismatchError"})
        elif h in state:
            error_ok(f"read({h})", got, set() if strict else {page_error})
        else:
            error_ok(f"read({h})", got,
                     {"InvalidHandleError"} | (set() if strict else {page_error}))
    return faults


def run_batch(built, scratch, batch, probes):
    job = json.dumps({"original": str(built.path), "scratch": str(scratch),
                      "key": built.key.hex() if built.key else "",
                      "copies": batch, "probes": probes})
    code = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); " \
           f"import test_corruption; test_corruption.worker()"
    try:
        proc = subprocess.run([sys.executable, "-c", code], input=job.encode(),
                              capture_output=True, timeout=120)
        stdout, returncode, stderr = proc.stdout, proc.returncode, proc.stderr
    except subprocess.TimeoutExpired as hung:
        stdout, returncode, stderr = hung.stdout or b"", "a hang", hung.stderr or b""
    results, begun = {}, None
    for line in stdout.decode().splitlines():
        record = json.loads(line)
        if "begin" in record:
            begun = record["begin"]
        else:
            results[record["done"]] = record["result"]
    if returncode != 0:
        culprit = begun if begun not in results else None
        return results, (culprit, returncode, stderr.decode()[-2000:])
    return results, None


@pytest.mark.parametrize("name", list(FILES))
def test_damaged_copies(tmp_path, name):
    layout = FILES[name]
    seed = BASE_SEED + list(FILES).index(name)
    where = f"[{name}, seed {seed}; rerun with AMBRIK_CORRUPTION_SEED={BASE_SEED}]"
    built = build(tmp_path / "original.db", layout["sb"], layout["key"], seed)
    assert len(set(generations(built))) == layout["sb"]
    assert len(built.data) % built.stride == 0

    rng = random.Random(seed)
    copies = mutations(built, rng, COPIES_PER_FILE)
    every = sorted(set().union(*built.states))
    probes = every + [max(every) + 1, 0]
    failures, seen = [], {}
    for start in range(0, len(copies), BATCH):
        batch = [[i, copies[i]] for i in range(start, min(start + BATCH, len(copies)))]
        results, crash = run_batch(built, tmp_path / "copy.db", batch, probes)
        if crash:
            culprit, code, stderr = crash
            mutation = copies[culprit] if culprit is not None else None
            failures.append(f"worker died with {code} on copy {culprit} {mutation}: {stderr}")
            break
        for i, _ in batch:
            for fault in judge(built, copies[i], results[i]):
                m = copies[i]
                failures.append(f"copy {i} ({m['kind']}, flips {m['flips'][:4]}, "
                                f"truncate {m.get('truncate')}): {fault}")
            outcome = results[i]["open"][0] if results[i]["open"] else "opened"
            seen[outcome] = seen.get(outcome, 0) + 1
    print(f"{where} {len(copies)} copies; outcomes of open: {seen}")
    assert not failures, f"{where} {len(failures)} violations:\n" + \
        "\n".join(failures[:15])
