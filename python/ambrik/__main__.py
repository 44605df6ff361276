"""``python -m ambrik``: the operator tools (see ambrik.cli)."""

import sys

from .cli import main

sys.exit(main())
