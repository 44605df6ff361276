"""Operator tools for closed database files: ``check``, ``stats`` and ``compact``.

Run as ``ambrik <command>`` or ``python -m ambrik <command>``. The work is done
by the engine (the native module ``ambrik._tools``); this module parses the
command line, reads the key and prints the reports.

Exit status: 0 success (for ``check``: no problem, warnings allowed), 1 problems
found (``check``) or a damaged source (``compact``), 2 the file could not be
examined or written (missing, empty, not a database, locked, no or wrong key,
unsupported format, destination exists, I/O error). With ``--json`` a failure
prints a JSON object with the error on standard output too. A reader that stops
early (``| head``) ends the command quietly with status 141, as a tool killed by
SIGPIPE; Ctrl-C (also during ``--wait``) ends it with status 130.
"""

import argparse
import json
import os
import re
import signal
import sys
from typing import Any, Callable

from . import _ambrik, _tools

Report = dict[str, Any]
_PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]

EXIT_OK = 0
EXIT_PROBLEMS = 1
EXIT_FAILED = 2
# What a shell reports for a command killed by SIGPIPE, or stopped by Ctrl-C.
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE
EXIT_INTERRUPTED = 128 + signal.SIGINT

# Errors that say the source file itself is damaged.
_DAMAGE = {
    "ChecksumMismatchError",
    "CorruptPageError",
    "CorruptSuperblockError",
    "DecryptionFailedError",
    "FileSizeMismatchError",
    "InvalidPageIdError",
}


# What opening reports for a file in which no superblock slot even carries a
# superblock's magic bytes (or that is shorter than one page): no database.
_NO_SUPERBLOCK = re.compile(r"no valid superblock found(: slot \d+: bad magic(; slot \d+: bad magic)*)?")


class _Failure(Exception):
    def __init__(self, message: str, code: int = EXIT_FAILED) -> None:
        super().__init__(message)
        self.code = code


def _error_object(command: str, error: str, message: str, code: int) -> str:
    """The JSON a failed ``--json`` command prints, so that scripts always get JSON."""
    return json.dumps({"command": command, "error": error, "message": message,
                       "exit_status": code}, indent=2)


def check(path: _PathArg, key: bytes | str | None = None, progress: bool = False,
          wait: float = 0.0) -> Report:
    """Verify a closed database file (or one commit of a file in shared use,
    pausing its writers); returns the report as a dict. ``wait``: seconds to
    wait for a program that has the file open to close it, or for the writers
    of a file in shared use to pause (0: 5 seconds for these)."""
    report: Report = json.loads(_tools.check(path, key, progress, wait))
    return report


def stats(path: _PathArg, key: bytes | str | None = None, progress: bool = False,
          wait: float = 0.0) -> Report:
    """Describe a closed database file (or one commit of a file in shared
    use, as ``check`` reads it); returns the report as a dict."""
    report: Report = json.loads(_tools.stats(path, key, progress, wait))
    return report


def compact(src: _PathArg, dst: _PathArg, key: bytes | str | None = None,
            overwrite: bool = False, progress: bool = False, wait: float = 0.0) -> Report:
    """Write the committed state of ``src`` into a new compact file ``dst`` (of
    a file in shared use: the commit newest at the start, writers going on)."""
    report: Report = json.loads(_tools.compact(src, dst, key, overwrite, progress, wait))
    return report


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value >= 0.0:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}")
    return value


def _read_key(args: argparse.Namespace) -> bytes | None:
    if args.key_file is not None:
        try:
            with open(args.key_file, "rb") as f:
                return f.read()
        except OSError as exc:
            raise _Failure(f"cannot read key file {args.key_file}: {exc.strerror}") from None
    if args.passphrase_env is not None:
        # As bytes: the key slot decides how a key is derived, and bytes carry
        # any passphrase the environment can hold.
        value = os.environb.get(os.fsencode(args.passphrase_env))
        if value is None:
            raise _Failure(f"environment variable {args.passphrase_env} is not set")
        return value
    return None


def _plural(n: int, word: str) -> str:
    return f"{n} {word}" + ("" if n == 1 else "s")


def _print_header(report: Report, out: Any) -> None:
    sb = report["superblock"]
    print(f"file: {report['path']} ({report['file_bytes']} bytes, "
          f"{report['units']} page units of {report['stride']} bytes)", file=out)
    if sb["chosen"] is None:
        print("superblock: none valid", file=out)
    else:
        kind = "encrypted" if sb["encrypted"] else "plaintext"
        print(f"superblock: slot {sb['chosen']} of {sb['superblock_count']}, generation "
              f"{sb['generation']}, format {sb['format_version']:#010x} ({kind}), "
              f"{sb['page_count']} pages, next_handle {sb['next_handle']}", file=out)
    for slot in report["slots"]:
        if slot["valid"]:
            chosen = " (chosen)" if slot.get("chosen") else ""
            print(f"  slot {slot['slot']}: valid, generation {slot['generation']}{chosen}",
                  file=out)
        else:
            print(f"  slot {slot['slot']}: invalid: {slot['defect']}", file=out)


def _print_findings(report: Report, out: Any) -> None:
    for f in report["findings"]:
        where = f"page {f['page']}: " if f["page"] is not None else ""
        print(f"{f['severity']}: {where}{f['text']}", file=out)
    if report["findings_dropped"]:
        print(f"... {report['findings_dropped']} more findings not listed", file=out)


def _cmd_check(args: argparse.Namespace, key: bytes | None, progress: bool) -> int:
    report = check(args.file, key, progress, args.wait)
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        if not args.quiet:
            _print_header(report, sys.stdout)
        _print_findings(report, sys.stdout)
        verdict = "sound" if report["problems"] == 0 else "DAMAGED"
        print(f"{verdict}: {_plural(report['problems'], 'problem')}, "
              f"{_plural(report['warnings'], 'warning')}")
    return EXIT_OK if report["problems"] == 0 else EXIT_PROBLEMS


def _cmd_stats(args: argparse.Namespace, key: bytes | None, progress: bool) -> int:
    report = stats(args.file, key, progress, args.wait)
    if args.json:
        print(json.dumps(report, indent=2))
        return EXIT_OK
    out = sys.stdout
    _print_header(report, out)
    sb = report["superblock"]
    if sb["encrypted"]:
        slots = ", ".join(
            f"{k['slot']} ({k['kind']}"
            + (f", argon2id {k['memory_kib']} KiB x {k['passes']} x {k['lanes']})"
               if k["kind"] == "passphrase" else ")")
            for k in sb["key_slots"])
        print(f"key slots: {len(sb['key_slots'])} active: {slots}", file=out)
    s = report["stats"]
    print("stats():", file=out)
    for name in ("handle_count", "total_pages", "file_size_bytes",
                 "spillway_logical_bytes", "spillway_max_bytes"):
        print(f"  {name}: {s[name]}", file=out)
    print("pages:", file=out)
    for name, count in report["pages"].items():
        print(f"  {name}: {count}", file=out)
    c = report["content"]
    print("content:", file=out)
    for name, value in c.items():
        print(f"  {name}: {value}", file=out)
    if c["data_page_slots"]:
        print(f"  data page fill: {c['inline_values'] / c['data_page_slots']:.1%} of slots live",
              file=out)
    if report["named_roots"]:
        print("named roots:", file=out)
        for r in report["named_roots"]:
            state = "" if r["live"] else " (not live)"
            if r["key_map"]:
                m = r["key_map"]
                state += (f" (key map: {_plural(m['keys'], 'key')}, {_plural(m['nodes'], 'node')},"
                          f" height {m['height']})")
            print(f"  {r['name']!r}: handle {r['handle']}{state}", file=out)
    print(f"check: {_plural(report['problems'], 'problem')}, "
          f"{_plural(report['warnings'], 'warning')} (run `ambrik check` for the list)", file=out)
    return EXIT_OK


def _cmd_compact(args: argparse.Namespace, key: bytes | None, progress: bool) -> int:
    r = compact(args.src, args.dst, key, args.force, progress, args.wait)
    ratio = r["dest_bytes"] / r["source_bytes"] if r["source_bytes"] else 1.0
    print(f"compacted {args.src} ({r['source_bytes']} bytes) into {args.dst} "
          f"({r['dest_bytes']} bytes, {ratio:.1%}): {_plural(r['handles'], 'handle')}, "
          f"{r['value_bytes']} value bytes, {_plural(r['tags'], 'tag')}")
    return EXIT_OK


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="ambrik", description="Operator tools for closed ambrik database files.",
        epilog="Exit status: 0 success, 1 problems found (check) or a damaged source "
               "(compact), 2 the file could not be examined or written.")
    p.add_argument("--version", action="version", version=f"%(prog)s {_ambrik.__version__}",
                   help="print the version and exit")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND",
                           help="check, stats or compact (COMMAND -h for its options)")

    def key_options(sp: argparse.ArgumentParser) -> None:
        sp.add_argument("--wait", metavar="SECONDS", type=_seconds, default=0.0,
                        help="wait up to SECONDS for a program that has the file open "
                             "(default 0: fail at once); for a file in shared use, how long "
                             "check and stats wait for its writers to pause (default 5)")
        g = sp.add_mutually_exclusive_group()
        g.add_argument("--key-file", metavar="PATH",
                       help="raw key of an encrypted file: the file's bytes, as they are")
        g.add_argument("--passphrase-env", metavar="NAME",
                       help="take the passphrase from environment variable NAME")

    c = sub.add_parser("check", help="verify a closed database file end to end")
    c.add_argument("file", help="the database file (closed: no program may have it open)")
    key_options(c)
    c.add_argument("--json", action="store_true",
                   help="print the full report as JSON (a failure as a JSON error object)")
    c.add_argument("-q", "--quiet", action="store_true", help="print only findings and verdict")

    s = sub.add_parser("stats", help="describe a closed database file")
    s.add_argument("file", help="the database file (closed: no program may have it open)")
    key_options(s)
    s.add_argument("--json", action="store_true",
                   help="print the report as JSON (a failure as a JSON error object)")

    k = sub.add_parser("compact", help="copy the committed state into a new, compact file")
    k.add_argument("src", help="the database file to copy (closed)")
    k.add_argument("dst", help="the new file; must not exist unless --force is given")
    key_options(k)
    k.add_argument("-f", "--force", action="store_true", help="replace DST if it exists")
    return p


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        code = _run(args)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
        return code
    except KeyboardInterrupt:
        print(f"ambrik {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader has what it wanted: stop as a Unix tool does, without a
        # traceback, and with nothing left for Python to flush at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_BROKEN_PIPE


def _run(args: argparse.Namespace) -> int:
    progress = sys.stderr.isatty()
    commands: dict[str, Callable[[argparse.Namespace, bytes | None, bool], int]] = {
        "check": _cmd_check, "stats": _cmd_stats, "compact": _cmd_compact}
    try:
        key = _read_key(args)
        return commands[args.command](args, key, progress)
    except _Failure as exc:
        return _fail(args, "ArgumentError", str(exc), exc.code)
    except (_ambrik.AmbrikError, OSError) as exc:
        if isinstance(exc, BrokenPipeError):
            raise
        message, code = _explain(args, exc)
        return _fail(args, type(exc).__name__, message, code)


def _explain(args: argparse.Namespace, exc: Exception) -> tuple[str, int]:
    """The message and exit status of a command that failed with ``exc``."""
    source = args.src if args.command == "compact" else args.file
    text = str(exc)
    if isinstance(exc, _ambrik.DatabaseFileNotFoundError):
        try:
            empty = os.stat(source).st_size == 0
        except OSError:
            empty = False
        if empty:
            return f"{source} is empty (0 bytes): not a database file", EXIT_FAILED
        return f"{text}: {source}", EXIT_FAILED
    if isinstance(exc, _ambrik.CorruptSuperblockError) and _NO_SUPERBLOCK.fullmatch(text):
        # Not a damaged database: no database at all, whatever the command.
        return f"{source} is not a database file (no superblock in it)", EXIT_FAILED
    if isinstance(exc, _ambrik.LockFailedError) and "shared use and its writers" in text:
        # A file in shared use: the writers' turn, not the file, was in the way.
        return f"{text} (--wait SECONDS waits longer)", EXIT_FAILED
    if isinstance(exc, _ambrik.LockFailedError):
        return (f"{text}: {source} is open in another program "
                "(--wait SECONDS waits for it to close the file)"), EXIT_FAILED
    if isinstance(exc, FileExistsError) and args.command == "compact":
        return f"{text} (use --force to replace it)", EXIT_FAILED
    damaged = args.command == "compact" and type(exc).__name__ in _DAMAGE
    return text, EXIT_PROBLEMS if damaged else EXIT_FAILED


def _fail(args: argparse.Namespace, error: str, message: str, code: int) -> int:
    shown = message if error == "ArgumentError" else f"{error}: {message}"
    print(f"ambrik {args.command}: {shown}", file=sys.stderr)
    if getattr(args, "json", False):
        print(_error_object(args.command, error, message, code))
    return code
