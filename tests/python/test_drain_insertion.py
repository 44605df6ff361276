import gc
import importlib.util
import weakref

import pytest

from ambrik import _ambrik
from ambrik._ambrik import DrainInsertion


def test_members_are_shared_instances():
    assert DrainInsertion.Mru is DrainInsertion.Mru
    assert type(DrainInsertion.LruTail) is DrainInsertion
    assert repr(DrainInsertion.LruTail) == "DrainInsertion.LruTail"
    assert repr(DrainInsertion.Mru) == "DrainInsertion.Mru"
    assert int(DrainInsertion.LruTail) == 0 and int(DrainInsertion.Mru) == 1
    assert DrainInsertion.__module__ == "ambrik._ambrik"


def test_not_instantiable():
    with pytest.raises(TypeError):
        DrainInsertion()
    with pytest.raises(TypeError):
        DrainInsertion(0)


def test_equality():
    lru, mru = DrainInsertion.LruTail, DrainInsertion.Mru
    assert lru == lru and lru != mru and not (lru == mru)
    assert lru == 0 and mru == 1 and 1 == mru and mru != 0
    assert mru == True  # noqa: E712 - bool converts to int
    # Floats and strings do not convert to an int: default comparison.
    assert lru != 0.0 and not (lru == "LruTail")
    assert mru != 2**100


def test_no_ordering_and_unhashable():
    with pytest.raises(TypeError):
        DrainInsertion.LruTail < DrainInsertion.Mru
    with pytest.raises(TypeError):
        DrainInsertion.Mru > 0
    with pytest.raises(TypeError):
        hash(DrainInsertion.Mru)


def test_members_compare_across_module_instances(second_instance):
    other = second_instance.DrainInsertion
    assert other is not DrainInsertion
    assert other.Mru == DrainInsertion.Mru and other.LruTail != DrainInsertion.Mru


def test_second_initialisation_is_freed_when_unreferenced():
    # The members refer to their class and the class to its members; that
    # cycle must not keep a module initialised a second time alive.
    found = importlib.util.spec_from_file_location("ambrik._ambrik", _ambrik.__file__)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    classes = [weakref.ref(module.DrainInsertion), weakref.ref(module.Ambrik)]
    module.open(drain_insertion=module.DrainInsertion.Mru).close()
    del module, found
    gc.collect()
    assert [ref() for ref in classes] == [None, None]
