"""The platform layer through the test hooks: each thread's stack bounds and the check on them,
where random bytes come from, and set_nomemory's window."""

import threading

import pytest
from conftest import import_hooks

hooks = import_hooks()


def test_each_thread_checks_its_own_stack() -> None:
    hooks.stack_check(0)  # the main thread first: bounds kept per process would be its own
    seen = []

    def probe() -> None:  # then frames with a little more and a little less than the margin left
        room, size, full = hooks.stack_check(0)
        margin = min(64 << 10, size // 4)
        seen.extend([(room, size, full, margin)])
        if 0 < room < size <= 64 << 20:  # bounds not this thread's: reserving room would overflow
            seen.extend(hooks.stack_check(room - margin + d) for d in (-8192, 8192))

    # On Windows the size is the thread's first commit, not its reservation, which stays the
    # executable's (2 MB for python.exe): the reserves below follow the size found.
    old = threading.stack_size(512 << 10)
    (t := threading.Thread(target=probe)).start(), t.join(), threading.stack_size(old)
    (room, size, full, margin), *deeper = seen
    assert 0 < room < size <= 64 << 20 and not full, seen
    (above, _, above_full), (below, _, below_full) = deeper
    assert (above_full, below_full) == (False, True) and margin <= above, seen
    assert 0 < below < margin, seen


def test_random_bytes_from_the_system_else_the_device() -> None:
    # The maps' secret came from the system; a system giving half (zeros) leaves the rest to the
    # device.
    (system, source), (mixed, fallback) = (hooks.random_fill(64, f) for f in (False, True))
    assert (hooks.hash_secret_source(), source, fallback) == ("system", "system", "device")
    assert system != bytes(64) and mixed[:32] == bytes(32) and mixed[32:] != bytes(32)


# Allocations start + 1 to stop fail, counted from the call over the three domains.
@pytest.mark.parametrize(("start", "stop"), [(0, 1), (4, 5), (2, 7), (5, 5), (3, 100)])
def test_set_nomemory_window(start, stop) -> None:
    assert hooks.nomemory_window(start, stop, 9) == [start < i <= stop for i in range(1, 10)]
