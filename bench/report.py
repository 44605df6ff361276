"""Turns the samples of a run into the printed tables and floor lines."""

import os
import platform
import sqlite3
import statistics

import lmdb

import ambrik
from peers import COLD_CACHE, ORDER, PAGE_SIZE, MiB
from workloads import BIG_BATCH, SMALL

# Rows of the main table and of the encrypted table, in print order.
ROWS = ["a", "b", "c", "d", "ew", "er", "f", "g"]
ENC_ROWS = ["c", "d", "s", "er"]


def fmt_us(seconds):
    us = seconds * 1e6
    if us >= 1000:
        return f"{us:,.0f}"
    if us >= 10:
        return f"{us:.1f}"
    return f"{us:.2f}"


def fmt_ratio(a, b):
    r = a / b
    return f"{r:.2f}" if r < 10 else f"{r:.1f}"


def machine_info():
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    fs = "?"
    try:
        best = ""
        with open("/proc/mounts") as f:
            for line in f:
                dev, mnt, typ = line.split()[:3]
                if "/tmp".startswith(mnt) and len(mnt) > len(best):
                    best, fs = mnt, f"{typ} ({dev} on {mnt})"
    except OSError:
        pass
    return [
        f"machine: {platform.system()} {platform.machine()}, {os.cpu_count()} cores"
        + (f", {model}" if model else "") + f"; /tmp on {fs}",
        f"python {platform.python_version()}, ambrik {ambrik.__version__}, "
        f"sqlite {sqlite3.sqlite_version}, lmdb {'.'.join(map(str, lmdb.version()))} "
        f"(py-lmdb {lmdb.__version__}); load average at start "
        + " ".join(f"{x:.2f}" for x in os.getloadavg()),
    ]


def report_lines(*, cfg, quick, elapsed, info, samples, enc_samples, enc_pages_per_value,
                 bulk, bulk_n, bulk_cache, sizes, cipher, load_floor, syncs, open_ms,
                 open_size, baseline, rss_total, rss_vsize, rss_results, space):
    """The full report of a run, one string per printed line."""
    b, n1k = cfg["batch"], cfg["txns"] * cfg["batch"]
    labels = {
        "a": f"(a) allocate 100 B, {b}/txn",
        "b": "(b) 1 allocate per txn",
        "c": "(c) read 100 B, warm",
        "d": "(d) read 100 B, cold",
        "ew": f"(e) write 1 MiB, {min(BIG_BATCH, cfg['big'])}/txn",
        "er": "(e) read 1 MiB, not cached",
        "s": "(s) scan 100 B, cold",
        "f": f"(f) update 100 B, {b}/txn",
        "g": f"(g) delete, {b}/txn",
    }
    peers = ORDER[1:]
    out = []
    out.append(f"ambrik vs peers: {'quick' if quick else 'full'} run, "
               f"median of {cfg['reps']} repetitions, {elapsed:.0f} s total")
    out.extend(info)
    out.append(f"counts: (a)(f)(g) {cfg['txns']} txns x {b} = {n1k} values; (b) {cfg['commits']} "
               f"txns; (c)(d) {cfg['reads']} random reads over the {n1k} values; "
               f"(e) {cfg['big']} values of 1 MiB; cache budget 8 MiB, "
               f"cold {COLD_CACHE // 1024} KiB")
    out.append("")
    out.append("microseconds per operation (median); ratio = ambrik / peer, above 1 = ambrik slower")
    w0 = max(len(v) for v in labels.values())
    head = f"{'workload':<{w0}}  {'ambrik':>9}"
    for p in peers:
        head += f"  {p:>10} {'ratio':>6}"
    out.append(head)
    out.append("-" * len(head))
    spread = []
    for r in ROWS:
        med = {e: statistics.median(samples[(r, e)]) for e in ORDER}
        line = f"{labels[r]:<{w0}}  {fmt_us(med['ambrik']):>9}"
        for p in peers:
            line += f"  {fmt_us(med[p]):>10} {fmt_ratio(med['ambrik'], med[p]):>6}"
        out.append(line)
        for e in ORDER:
            s = samples[(r, e)]
            spread.append(((max(s) - min(s)) / med[e], r, e))
    worst = max(spread)
    typical = statistics.median(x[0] for x in spread)
    out.append(f"run-to-run spread (max-min)/median: median {typical:.0%}, "
               f"largest {worst[0]:.0%} ({labels[worst[1]].split(')')[0]}), {worst[2]})")
    enc = statistics.median(samples[("a", "ambrik-enc")])
    plain = statistics.median(samples[("a", "ambrik")])
    line = (f"(a) encrypted ambrik: {fmt_us(enc)} us per value, "
            f"{fmt_ratio(enc, plain)}x the plaintext run ({fmt_us(plain)})")
    if cipher:
        pages = statistics.median(enc_pages_per_value)
        floor_enc = plain + pages * cipher["seal_ns"] * 1e-9
        line += (f"; floor: plaintext + {pages:.3f} pages written per value x seal "
                 f"{cipher['seal_ns'] / 1000:.2f} us = {fmt_us(floor_enc)} us, "
                 f"{fmt_ratio(floor_enc, plain)}x")
    out.append(line)
    errors = [r["error"] for runs in bulk.values() for r in runs if "error" in r]
    if errors:
        out.append(f"bulk load: error: {errors[0]}")
    else:
        per = {e: statistics.median(r["seconds"] for r in runs) / bulk_n
               for e, runs in bulk.items()}
        growth = max(r["peak_kib"] - r["base_kib"] for r in bulk["ambrik"]) / 1024
        budget = bulk_cache / MiB
        out.append(f"bulk load, {bulk_n:,} x {SMALL} B in one txn, commit included: ambrik "
                   f"{fmt_us(per['ambrik'])} us per value (cache {budget:.2f} MiB), lmdb "
                   f"{fmt_us(per['lmdb'])}, ratio {fmt_ratio(per['ambrik'], per['lmdb'])}; "
                   f"ambrik peak RSS growth {growth:.1f} MiB (limit: budget + 4 MiB = "
                   f"{budget + 4:.2f} MiB)")
    out.append("")
    out.append("floors (what the row cannot go below on this machine):")
    over, ext, over_data = syncs
    floor_b = 3 * over
    lmdb_b = statistics.median(samples[("b", "lmdb")]) * 1e6
    out.append(f"  (b) three overwriting syncs of an 8 KiB write: 3 x {over:.0f} = {floor_b:.0f} us "
               f"(one extending the file: {ext:.0f} us); lmdb's two overwriting fdatasyncs "
               f"2 x {over_data:.0f} = {2 * over_data:.0f} us; floor ratio "
               f"{floor_b / (2 * over_data):.2f} (lmdb measured {lmdb_b:.0f} us)")
    if load_floor is None:
        out.append("  (d) unavailable: build bench/load_floor_bench.cc (make cpp-test)")
    else:
        warm = statistics.median(samples[("c", "ambrik")]) * 1e6
        misses = statistics.median(m for _, m in enc_samples[("d", "plain")])
        per_miss = (load_floor["map_copy_ns"] + load_floor["hash_ns"]) / 1000
        floor_d = warm + misses * per_miss
        lmdb_d = statistics.median(samples[("d", "lmdb")]) * 1e6
        out.append(f"  (d) warm read {warm:.2f} us + {misses:.2f} misses x (copy "
                   f"{load_floor['map_copy_ns']:.0f} ns + trailer hash {load_floor['hash_ns']:.0f}"
                   f" ns) = {floor_d:.2f} us; floor ratio to lmdb {floor_d / lmdb_d:.2f} "
                   f"(pread of a page instead of the copy: {load_floor['pread_ns']:.0f} ns; "
                   "bench/load_floor_bench.cc)")
        pages = statistics.median(m for _, m in enc_samples[("er", "plain")])
        lmdb_er = statistics.median(samples[("er", "lmdb")]) * 1e6
        floor_er = lmdb_er + pages * load_floor["hash_ns"] / 1000
        out.append(f"  (e) read: the same copy into a new bytes object as lmdb's ({lmdb_er:.0f} us) "
                   f"plus the trailer check of its {pages:.0f} pages x {load_floor['hash_ns']:.0f}"
                   f" ns = {floor_er:.0f} us; floor ratio {floor_er / lmdb_er:.2f}")
    out.append("")
    out.append(f"file size after each workload, bytes (ambrik also in {PAGE_SIZE}-byte pages; "
               "sqlite-wal: db + -wal file)")
    head = f"{'after':<{w0}}  {'ambrik':>11} {'pages':>6}" + "".join(f"  {p:>11}" for p in peers)
    out.append(head)
    out.append("-" * len(head))
    size_labels = {"a": labels["a"], "b": labels["b"], "e": f"(e) {cfg['big']} x 1 MiB",
                   "f": labels["f"], "g": labels["g"]}
    for r in ("a", "b", "e", "f", "g"):
        nbytes, pages = sizes[(r, "ambrik")]
        line = f"{size_labels[r]:<{w0}}  {nbytes:>11,} {pages:>6}"
        for p in peers:
            line += f"  {sizes[(r, p)][0]:>11,}"
        out.append(line)
    out.append("")
    cipher_open = cipher and cipher["open_ns"]
    out.append("encrypted ambrik vs plaintext ambrik, microseconds per read (median); "
               "misses = cache misses per read")
    if cipher_open is None:
        out.append("cipher cost: unavailable (bench/cipher_bench.cc could not be built)")
    else:
        out.append(f"cipher cost: one XChaCha20-Poly1305 open of an 8 KiB page = "
                   f"{cipher_open / 1000:.2f} us (bench/cipher_bench.cc); "
                   "bound = plaintext + 1.2 x cipher x misses of the encrypted run")
    head = (f"{'workload':<{w0}}  {'plain':>9} {'encrypted':>9} {'ratio':>6} {'misses':>7}"
            f" {'bound':>9} {'enc/bound':>9}")
    out.append(head)
    out.append("-" * len(head))
    for r in ENC_ROWS:
        plain = statistics.median(t for t, _ in enc_samples[(r, "plain")])
        enc = statistics.median(t for t, _ in enc_samples[(r, "enc")])
        misses = statistics.median(m for _, m in enc_samples[(r, "enc")])
        line = (f"{labels[r]:<{w0}}  {fmt_us(plain):>9} {fmt_us(enc):>9}"
                f" {fmt_ratio(enc, plain):>6} {misses:>7.2f}")
        if cipher_open is not None:
            bound = plain + 1.2 * cipher_open * 1e-9 * misses
            line += f" {fmt_us(bound):>9} {fmt_ratio(enc, bound):>9}"
        out.append(line)
    out.append("")
    out.append(f"open of a database of {cfg['open_values']:,} live values of {SMALL} B "
               f"({open_size / MiB:.0f} MiB file): {open_ms:.0f} ms (median of 5 opens)")
    out.append("")
    out.append(f"(h) one transaction writing {rss_total // MiB} MiB "
               f"({rss_total // rss_vsize} values of {rss_vsize} B), peak RSS of a subprocess")
    out.append(f"    (a subprocess that only imports and opens: {baseline / 1024:.1f} MiB; "
               "'before txn' = peak before the transaction began)")
    head = (f"{'engine':<11} {'setting':<24} {'data':>7} {'peak RSS':>9} {'before txn':>10} "
            f"{'growth':>9} {'spill file':>10} {'file after':>10} {'write s':>7} {'commit s':>8}")
    out.append(head)
    out.append("-" * len(head))
    for n, note, res in rss_results:
        if "error" in res:
            out.append(f"{n:<11} {note:<24} error: {res['error']}")
            continue
        spill = f"{res['spill_bytes'] / MiB:.1f} MiB" if res["spill_bytes"] is not None else "-"
        out.append(
            f"{n:<11} {note:<24} {rss_total // MiB:>3} MiB {res['peak_kib'] / 1024:>5.1f} MiB "
            f"{res['base_kib'] / 1024:>6.1f} MiB {(res['peak_kib'] - res['base_kib']) / 1024:>5.1f} MiB"
            f" {spill:>10} {res['file_bytes'] / MiB:>6.1f} MiB {res['write_s']:>7.2f}"
            f" {res['commit_s']:>8.2f}")
    out.append("")
    out.extend(space)
    return out
