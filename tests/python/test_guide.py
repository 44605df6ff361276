"""Every ```python block of the user guide runs as written, in a scratch directory."""

import contextlib
import io
import os
import re

import pytest

GUIDE = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "guide.md")


def python_blocks():
    with open(GUIDE, encoding="utf-8") as f:
        text = f.read()
    blocks = []
    for m in re.finditer(r"^```python\n(.*?)^```$", text, re.S | re.M):
        line = text.count("\n", 0, m.start()) + 2
        # Padded so that a traceback names the line of the guide.
        blocks.append(pytest.param("\n" * (line - 1) + m.group(1), id=f"line{line}"))
    return blocks


def test_guide_has_examples():
    assert len(python_blocks()) >= 10


@pytest.mark.parametrize("source", python_blocks())
def test_guide_example_runs(source, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    code = compile(source, GUIDE, "exec")
    with contextlib.redirect_stdout(io.StringIO()):
        exec(code, {"__name__": "__guide__"})
