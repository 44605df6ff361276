"""Every ```python block of the user guide and of the README runs as written,
in a scratch directory (the README's one after the other, as a reader would)."""

import contextlib
import io
import os
import re

import pytest

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
GUIDE = os.path.join(ROOT, "docs", "guide.md")
README = os.path.join(ROOT, "README.md")


def python_blocks(path=GUIDE):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    blocks = []
    for m in re.finditer(r"^```python\n(.*?)^```$", text, re.S | re.M):
        line = text.count("\n", 0, m.start()) + 2
        # Padded so that a traceback names the line of the document.
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


def test_readme_examples_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    blocks = python_blocks(README)
    assert len(blocks) >= 2
    for block in blocks:
        with contextlib.redirect_stdout(io.StringIO()):
            exec(compile(block.values[0], README, "exec"), {"__name__": "__readme__"})
