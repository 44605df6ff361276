import importlib.util

import pytest

from ambrik import _ambrik


@pytest.fixture
def second_instance():
    """The extension initialised a second time, as another import in the process would."""
    found = importlib.util.spec_from_file_location("ambrik._ambrik", _ambrik.__file__)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
