import importlib.metadata

import ambrik
from ambrik import _ambrik


def test_version():
    assert _ambrik.__version__ == "1.0.0"
    assert ambrik.__version__ == "1.0.0"
    assert importlib.metadata.version("ambrik") == "1.0.0"
