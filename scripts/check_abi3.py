"""Checks that the installed extensions are stable-ABI modules free of libpython."""
import pathlib
import subprocess
import sys

import ambrik._ambrik as core
import ambrik._tools as tools

for mod in (core, tools):
    path = pathlib.Path(mod.__file__)
    if not path.name.endswith(".abi3.so"):
        sys.exit(f"extension is not an abi3 module: {path.name}")
    dyn = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True).stdout
    if "libpython" in dyn:
        sys.exit(f"extension links against libpython: {path.name}")
    print(f"abi3 check: {path.name} ok")
