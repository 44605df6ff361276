"""The native module ``ambrik._ambrik`` under its own short name.

The exception classes report ``_ambrik`` as their module, so ``pickle``
looks them up as ``_ambrik.<Name>``: importing this module makes that lookup
find the very classes the package raises, in any process.
"""

import sys

from ambrik import _ambrik as _native

sys.modules[__name__] = _native
