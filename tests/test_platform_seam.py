"""The platform layer as the test hooks reach it: each thread's own stack bounds and the check
on them, where random bytes come from, and the window of set_nomemory."""

import threading

import pytest
from conftest import import_hooks

hooks = import_hooks()
MARGIN = 64 << 10


def test_each_thread_checks_its_own_stack() -> None:
    # The main thread asks first: bounds kept once per process would then be its bounds, and a
    # frame of another thread would lie outside them.
    hooks.stack_check(0)
    seen = []

    def probe() -> None:
        room, size, full = hooks.stack_check(0)
        margin = min(MARGIN, size // 4)
        # One frame with a little more room left than the margin, one with a little less.
        near = [hooks.stack_check(room - margin + d) for d in (-8192, 8192)]
        seen.append((room, size, full, near, margin))

    old = threading.stack_size(512 << 10)
    try:
        (thread := threading.Thread(target=probe)).start()
        thread.join()
    finally:
        threading.stack_size(old)
    room, size, full, near, margin = seen[0]
    assert 0 < room < size <= 64 << 20 and not full, seen
    assert [n[2] for n in near] == [False, True], seen
    assert all(n[2] == (0 < n[0] < margin) for n in near), seen


def test_random_bytes_from_the_system_else_the_device() -> None:
    # The process secret of the maps' keys came from the system, which gives all it is asked;
    # where it gives only half, the device fills in the rest.
    assert hooks.hash_secret_source() == "system"
    (system, source), (mixed, fallback) = (hooks.random_fill(64, f) for f in (False, True))
    assert (source, fallback) == ("system", "device")
    assert system != bytes(64) and mixed[:32] == bytes(32) and mixed[32:] != bytes(32)


# set_nomemory(start, stop) fails the interpreter's allocations start + 1 to stop, counted from
# the call over its three domains.
@pytest.mark.parametrize(("start", "stop"), [(0, 1), (4, 5), (2, 7), (5, 5), (3, 100)])
def test_set_nomemory_fails_the_allocations_after_start_up_to_stop(start, stop) -> None:
    assert hooks.nomemory_window(start, stop, 9) == [start < i <= stop for i in range(1, 10)]
