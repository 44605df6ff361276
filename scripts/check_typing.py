#!/usr/bin/env python3
"""Type checks of the installed package, run by `make typecheck`.

1. `mypy --strict` accepts examples/typed_example.py.
2. `mypy --strict` on tests/typing/planted_bugs.py reports exactly the lines
   marked `# expect: CODE`, each with that error code, and nothing else. Its
   output is shown only when that fails: on success its `error:` lines are
   the planted mistakes, and only a summary is printed.
3. stubtest finds no difference between the stubs and the built module.

mypy must resolve `ambrik` to the installed package (its py.typed and
stubs), so it runs from a directory where the source tree is not importable.
"""

import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "examples", "typed_example.py")
PLANTED = os.path.join(ROOT, "tests", "typing", "planted_bugs.py")
ALLOWLIST = os.path.join(ROOT, "tests", "typing", "stubtest_allowlist.txt")
ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z0-9-]+)\]$")


def run(args, cwd):
    proc = subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True)
    return proc.returncode, proc.stdout + proc.stderr


def mypy(path, cwd):
    return run(["-m", "mypy", "--strict", "--no-incremental", "--show-error-codes",
                "--no-error-summary", "--no-pretty", path], cwd)


def expected_errors(path):
    found = set()
    with open(path, encoding="utf-8") as f:
        for number, text in enumerate(f, 1):
            m = re.search(r"#\s*expect:\s*([a-z0-9-]+)", text)
            if m:
                found.add((number, m.group(1)))
    return found


def main():
    failures = []
    with tempfile.TemporaryDirectory() as cwd:
        rc, out = mypy(EXAMPLE, cwd)
        if rc != 0:
            failures.append(f"mypy --strict rejects {EXAMPLE}:\n{out}")

        # Its `error:` lines are the planted mistakes being caught: shown only
        # when they are not exactly the expected ones, so that a passing run
        # prints no error a reader could take for a failure.
        rc, out = mypy(PLANTED, cwd)
        before = len(failures)
        got = set()
        for line in out.splitlines():
            m = ERROR_LINE.match(line)
            if m:
                got.add((int(m.group("line")), m.group("code")))
            elif ": error:" in line:
                failures.append(f"unparsed mypy error: {line}")
        want = expected_errors(PLANTED)
        if not want:
            failures.append(f"no `# expect:` markers in {PLANTED}")
        for line, code in sorted(want - got):
            failures.append(f"planted_bugs.py:{line}: expected a [{code}] error, mypy reported none")
        for line, code in sorted(got - want):
            failures.append(f"planted_bugs.py:{line}: unexpected [{code}] error")
        if len(failures) > before:
            failures.append(f"mypy --strict on {PLANTED} (errors expected on the lines "
                            f"marked `# expect:`) said:\n{out}")

        args = ["-m", "mypy.stubtest", "ambrik"]
        if os.path.exists(ALLOWLIST):
            args += ["--allowlist", ALLOWLIST]
        rc, out = run(args, cwd)
        if rc != 0:
            failures.append(f"stubtest found differences:\n{out}")

    if failures:
        print("\n".join(failures), file=sys.stderr)
        return 1
    print(f"typecheck: example clean; the {len(want)} planted mistakes of "
          f"tests/typing/planted_bugs.py reported where expected (their mypy errors "
          f"are the point, not shown); stubs match the module")
    return 0


if __name__ == "__main__":
    sys.exit(main())
