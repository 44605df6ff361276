"""Mistakes that mypy --strict must report, each on the line marked `# expect: CODE`.

Checked by scripts/check_typing.py; never executed.
"""

import ambrik

db = ambrik.open()
t = db.transaction()

db.read("x")  # expect: arg-type
t.allocate("text")  # expect: arg-type
x: str = db.read(1)  # expect: assignment
ambrik.open(path=1.5)  # expect: arg-type
m = db.keymap("index")
m[b"key"] = "text"  # expect: assignment
k: str = next(iter(m.keys()))  # expect: assignment

# Correct uses next to them stay clean.
h: int = t.allocate(b"text")
y: bytes = db.read(h)
maybe_tag: int | None = db.tag(h)
pairs: list[tuple[bytes, bytes]] = list(m.items(b"a", b"b", reverse=True))
found: int | None = t.keymap("index").handle(b"key")
