"""Both classes' method tables: order, text signatures, and the forwarding
of Transaction's shared methods with the same binding rules."""

import inspect
import types

import pytest

from ambrik import _ambrik as am

SHARED_IN_TRANSACTION_ORDER = [
    "allocate", "read", "update", "delete", "delete_many", "allocate_tagged", "tag",
    "client_byte", "set_client_byte", "handles_with_tag", "delete_tagged", "delete_with_tag",
    "set_root_name", "get_root_name", "clear_root_name", "handles", "stats", "counters", "defrag",
    "keymap", "backup",
]


def methods(cls):
    return [n for n, v in vars(cls).items() if isinstance(v, types.MethodDescriptorType)]


def test_table_orders():
    assert methods(am.Transaction) == [
        "__enter__", "__exit__", "commit", "rollback", *SHARED_IN_TRANSACTION_ORDER, "savepoint"]
    assert methods(am.Ambrik) == [
        "close", "__enter__", "__exit__", "begin", "commit", "rollback", "transaction", "snapshot",
        "sync", "allocate", "read", "update", "delete", "delete_many", "handles", "allocate_tagged",
        "tag", "handles_with_tag", "client_byte", "set_client_byte", "delete_tagged",
        "delete_with_tag", "set_root_name", "get_root_name", "clear_root_name", "stats",
        "counters", "defrag", "keymap", "backup", "add_key", "rotate_key", "remove_key",
        "set_cache_max_bytes",
        "set_spillway_max_bytes", "set_drain_insertion"]


@pytest.mark.parametrize("name", SHARED_IN_TRANSACTION_ORDER)
def test_shared_signatures_agree(name):
    ours = getattr(am.Ambrik, name)
    theirs = getattr(am.Transaction, name)
    assert ours.__text_signature__ == theirs.__text_signature__
    assert ours.__text_signature__.startswith("($self")
    assert str(inspect.signature(theirs)).startswith("(self")


def test_transaction_forwards_keywords_and_binding_errors(tmp_path):
    with am.open(tmp_path / "db") as db:
        with db.transaction() as txn:
            h = txn.allocate(value=memoryview(b"--value")[2:])
            txn.set_client_byte(byte=7, handle=h)
            assert txn.read(handle=h) == b"value"
            assert txn.client_byte(h) == 7
            for call, message in [
                (lambda: txn.read(h, handle=h),
                 "read() got multiple values for argument 'handle'"),
                (lambda: txn.update(h), "update() missing 1 required positional argument: 'value'"),
                (lambda: txn.defrag(None, 1),
                 "defrag() takes from 0 to 1 positional arguments but 2 were given"),
                (lambda: txn.stats(1), "Transaction.stats() takes no arguments (1 given)"),
            ]:
                with pytest.raises(TypeError) as info:
                    call()
                assert str(info.value) == message
