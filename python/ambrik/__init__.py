"""ambrik: an embedded, single-file, transactional store of opaque byte values."""

from . import _ambrik
from ._ambrik import *  # noqa: F401,F403

__version__ = _ambrik.__version__
