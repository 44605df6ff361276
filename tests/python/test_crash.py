"""Kill a committing process at random moments and check what survives.

A child process commits a seeded stream of transactions into one file and logs
each transaction number once its commit has returned. The parent kills it with
SIGKILL, either after a random delay or shortly after it has entered a commit,
and the next child opens the same file and reports every handle with the
length and digest of its value, and the handle the next allocation gets. That
must be exactly the state after the last logged transaction, or after the one
following it (its commit finished but the log line was not written yet); the
next child then resumes from that state, so the damage of all kills
accumulates on one file. After every kill the integrity checker must find the
file sound, with no leaked page.

Set AMBRIK_CRASH_SEED to replay a run with another base seed.
"""

import json
import mmap
import os
import random
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import crash_child as cc
from oracle import assert_sound

CHILD = Path(cc.__file__).resolve()
BASE_SEED = int(os.environ.get("AMBRIK_CRASH_SEED", "20261207"))
KILLS_PER_CONFIG = 20
KEY = bytes(range(32))

CONFIGS = {
    "sb2-default-cache": dict(sb=2, cache=8 << 20, key=None),
    "sb3-small-cache": dict(sb=3, cache=65536, key=None),
    "sb2-small-cache": dict(sb=2, cache=65536, key=None),
    "sb3-small-cache-encrypted": dict(sb=3, cache=65536, key=KEY),
}


class Model:
    """Committed states of one seed, computed on demand and kept."""

    def __init__(self, seed):
        self.seed = seed
        self.states = [cc.State()]
        self.digests = {}

    def state(self, txn):
        while len(self.states) <= txn:
            self.states.append(cc.plan(self.seed, len(self.states), self.states[-1])[2])
        return self.states[txn]

    def expected(self, txn):
        state = self.state(txn)
        values = {}
        for h, shape in state.values.items():
            if shape not in self.digests:
                self.digests[shape] = cc.digest(cc.value_bytes(self.seed, shape))
            values[str(h)] = self.digests[shape]
        return {"values": values, "next_handle": state.next_handle}


def read_line(proc, timeout, what):
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    if not ready:
        proc.kill()
        proc.wait()
        raise AssertionError(f"child gave no {what} within {timeout} s")
    return proc.stdout.readline()


def last_logged(log):
    if not log.exists():
        return 0
    lines = log.read_bytes().split(b"\n")
    complete = [line for line in lines[:-1] if line]
    return int(complete[-1]) if complete else 0


def describe_difference(found_state, expected_state):
    found, expected = found_state["values"], expected_state["values"]
    missing = sorted(set(expected) - set(found), key=int)
    extra = sorted(set(found) - set(expected), key=int)
    changed = sorted((h for h in set(found) & set(expected) if found[h] != expected[h]), key=int)
    return (f"missing {missing[:10]}, unexpected {extra[:10]}, different values {changed[:10]}, "
            f"next handle {found_state['next_handle']} for {expected_state['next_handle']}")


def wait_for_commit(phase, min_txn, deadline):
    while time.monotonic() < deadline:
        txn, where, mean_us = cc.PHASE.unpack_from(phase, 0)
        if txn >= min_txn and where == cc.COMMIT:
            return mean_us
        time.sleep(0.0002)
    return None


@pytest.mark.parametrize("name", list(CONFIGS))
def test_kills_leave_a_committed_state(tmp_path, name):
    config = CONFIGS[name]
    seed = BASE_SEED + list(CONFIGS).index(name)
    where = f"[{name}, seed {seed}; rerun with AMBRIK_CRASH_SEED={BASE_SEED}]"
    rng = random.Random(seed)
    model = Model(seed)
    log = tmp_path / "committed.log"
    phase_file = tmp_path / "phase"
    phase_file.write_bytes(bytes(cc.PHASE_SIZE))
    args = json.dumps(dict(path=str(tmp_path / "crash.db"), seed=seed, sb=config["sb"],
                           cache=config["cache"], key=config["key"].hex() if config["key"] else "",
                           log=str(log), phase=str(phase_file)))
    landed = {phase_name: 0 for phase_name in cc.PHASE_NAMES.values()}
    unlogged_commits = 0

    with open(phase_file, "r+b") as f:
        phase = mmap.mmap(f.fileno(), cc.PHASE_SIZE)
    try:
        # A busy machine wakes the parent late and spoils its aim: more
        # kills, up to twice as many, until enough land inside a commit.
        for kill in range(2 * KILLS_PER_CONFIG + 1):
            proc = subprocess.Popen([sys.executable, str(CHILD), args], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                line = read_line(proc, 30, "report after open")
                if not line:
                    proc.wait()
                    raise AssertionError(
                        f"{where} kill {kill}: the child died opening the file "
                        f"(exit {proc.returncode}): {proc.stderr.read().decode()[-2000:]}")
                found = json.loads(line)
                logged = last_logged(log)
                if found == model.expected(logged + 1):
                    resume = logged + 1
                    unlogged_commits += model.state(logged + 1) is not model.state(logged)
                    # The next child starts after it and never logs it.
                    with open(log, "a") as f:
                        f.write(f"{resume}\n")
                elif found == model.expected(logged):
                    resume = logged
                else:
                    older = next((t for t in range(logged - 1, -1, -1)
                                  if found == model.expected(t)), None)
                    raise AssertionError(
                        f"{where} kill {kill}: the reopened file holds neither the state after "
                        f"the last logged transaction {logged} nor the one after it; "
                        f"it matches the state after transaction {older}; against {logged}: "
                        f"{describe_difference(found, model.expected(logged))}; against "
                        f"{logged + 1}: {describe_difference(found, model.expected(logged + 1))}; "
                        f"files kept in {tmp_path}")

                if kill >= KILLS_PER_CONFIG and (landed["commit"] >= KILLS_PER_CONFIG // 4
                                                 or kill == 2 * KILLS_PER_CONFIG):
                    proc.communicate(b"stop\n", timeout=30)
                    assert proc.returncode == 0, f"{where}: final child exited {proc.returncode}"
                    break

                phase[:] = bytes(cc.PHASE_SIZE)
                proc.stdin.write(f"resume {resume}\n".encode())
                proc.stdin.flush()
                if rng.random() < 0.4:
                    time.sleep(rng.uniform(0, 0.2))
                else:
                    # Aim inside a commit: a few transactions in, then a fraction
                    # of the commit time the child has been measuring.
                    mean_us = wait_for_commit(phase, resume + rng.randint(1, 3),
                                              time.monotonic() + 20)
                    assert mean_us is not None, f"{where} kill {kill}: the child made no progress"
                    time.sleep(rng.uniform(0, 1.3) * (mean_us or 5000) / 1e6)
                alive = proc.poll() is None
                if not alive:
                    raise AssertionError(
                        f"{where} kill {kill}: the child exited by itself ({proc.returncode}): "
                        f"{proc.stderr.read().decode()[-2000:]}")
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait()
                # What a kill leaves checks clean: no page is lost by it.
                assert_sound(tmp_path / "crash.db", config["key"], f"{where} kill {kill}")
                landed[cc.PHASE_NAMES[cc.PHASE.unpack_from(phase, 0)[1]]] += 1
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
                for stream in (proc.stdin, proc.stdout, proc.stderr):
                    stream.close()
    finally:
        phase.close()

    progress = last_logged(log)
    print(f"{where}: {sum(landed.values())} kills, landed {landed}, "
          f"{unlogged_commits} finished but unlogged commits, {progress} transactions")
    assert progress > KILLS_PER_CONFIG, f"{where}: too few transactions committed ({progress})"
    assert landed["commit"] >= KILLS_PER_CONFIG // 4, \
        f"{where}: too few kills landed inside a commit: {landed}"
