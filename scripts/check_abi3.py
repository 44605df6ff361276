"""Checks that the installed extension is a stable-ABI module free of libpython."""
import pathlib
import subprocess
import sys

import ambrik._ambrik as mod

path = pathlib.Path(mod.__file__)
if not path.name.endswith(".abi3.so"):
    sys.exit(f"extension is not an abi3 module: {path.name}")
dyn = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True).stdout
if "libpython" in dyn:
    sys.exit("extension links against libpython")
print(f"abi3 check: {path.name} ok")
