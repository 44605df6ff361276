"""The integrity checker as the tests' oracle."""

from ambrik import cli


def assert_sound(path, key=None, where=""):
    """The committed state of the closed file at `path` checks clean: no
    problem and no leaked page."""
    report = cli.check(str(path), key)
    findings = "\n".join(str(f) for f in report["findings"])
    assert report["problems"] == 0 and report["pages"]["leaked"] == 0, \
        f"{where}: {report['problems']} problems, {report['pages']['leaked']} leaked\n{findings}"
