"""Helpers shared by the value-type tests."""

import threading


def run_with_stack(stack_size, fn):
    """Runs fn() on the calling thread (stack_size None) or on a new thread with that stack."""
    if stack_size is None:
        return fn()
    result = []
    previous = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=lambda: result.append(fn()))
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)
    assert result, "the operation did not finish"
    return result[0]


def outcome(op, *args):
    """The type of the RecursionError or RuntimeError op(*args) raises, or None."""
    try:
        op(*args)
    except (RecursionError, RuntimeError) as e:
        return type(e)
    return None


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n
