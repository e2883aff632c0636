"""The library runs one call at a time and has one port: calls from several
threads are serialised, and a device session holds the port to its end."""

import sys
import threading
import time

import pytest

import kormelt
from conftest import descriptors_to

IMAGE_BYTES = 8192  # 64 packets: long enough for two updates to overlap
JOIN_TIMEOUT_S = 60


def test_two_updates_at_once_run_one_after_the_other(kormelt_device, make_image):
    images = [make_image(IMAGE_BYTES, seed=seed) for seed in (1, 2)]
    start = threading.Barrier(len(images))
    errors = []

    def run(path):
        try:
            start.wait()
            kormelt.update(path)
        except BaseException as error:  # reported by the test below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(path,)) for path, _ in images]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT_S)
    assert errors == []

    # Two whole updates in the log, one after the other, never mixed.
    kinds = [r.kind for r in kormelt_device.requests()]
    one = ["identify"] + ["erase"] * 7 + ["program"] * (IMAGE_BYTES // 128) + ["restart"]
    assert kinds == one + one
    programs = [r for r in kormelt_device.requests() if r.kind == "program"]
    first, second = programs[: len(programs) // 2], programs[len(programs) // 2 :]
    written = {b"".join(r.data for r in first), b"".join(r.data for r in second)}
    assert written == {image for _, image in images}
    assert descriptors_to(kormelt_device.path) == []


def test_open_in_another_thread_waits_for_the_device_to_be_closed(kormelt_device):
    events = []
    opened = threading.Event()

    def second():
        with kormelt.open():
            events.append("second open")
            opened.set()

    with kormelt.open():
        thread = threading.Thread(target=second)
        thread.start()
        # The second search would close this session's port if it ran now.
        assert not opened.wait(0.5)
        events.append("first close")
    thread.join(JOIN_TIMEOUT_S)
    assert events == ["first close", "second open"]
    assert [r.kind for r in kormelt_device.requests()] == ["identify", "identify"]


BUSY_TIMEOUT_S = 0.5
CLOCK_SLACK_S = 0.01  # a lock's timed wait may end this much before its deadline by the clock's grain


def in_thread(function, name=None):
    """function() in a thread of its own: its result, or what it raised."""
    outcome = []

    def run():
        try:
            outcome.append((True, function()))
        except BaseException as error:  # handed to the caller below
            outcome.append((False, error))

    thread = threading.Thread(target=run, name=name, daemon=True)
    thread.start()
    thread.join(JOIN_TIMEOUT_S)
    assert outcome, "%s did not return within %d s" % (function, JOIN_TIMEOUT_S)
    done, value = outcome[0]
    if not done:
        raise value
    return value


def open_waiting(path, timeout):
    return kormelt.open(timeout=timeout)


def update_waiting(path, timeout):
    kormelt.update(path, timeout=timeout)


# name, the call that waits for the port, its timeout
BUSY_CALLS = [
    ("open at once", open_waiting, 0),
    ("open after a wait", open_waiting, BUSY_TIMEOUT_S),
    ("update after a wait", update_waiting, BUSY_TIMEOUT_S),
]


@pytest.mark.parametrize("call, timeout", [case[1:] for case in BUSY_CALLS], ids=[case[0] for case in BUSY_CALLS])
def test_open_in_another_thread_gives_up_after_its_timeout_naming_the_holder(kormelt_device, make_image, call, timeout):
    path, _ = make_image(1024)
    opened_at = "%s:%d" % (__file__, sys._getframe().f_lineno + 1)  # the next line
    with kormelt.open():
        started = time.monotonic()
        with pytest.raises(kormelt.PortBusy) as caught:
            in_thread(lambda: call(path, timeout), name="waiter")
        waited = time.monotonic() - started
    assert timeout - CLOCK_SLACK_S <= waited < JOIN_TIMEOUT_S
    busy = caught.value
    assert isinstance(busy, TimeoutError)
    holder = threading.current_thread()
    assert (busy.thread_name, busy.thread_ident, busy.where, busy.com, busy.timeout) == (
        holder.name,
        holder.ident,
        opened_at,
        1,
        timeout,
    )
    for words in ("waited %g s" % timeout, "COM1", repr(holder.name), "ident %d" % holder.ident, opened_at):
        assert words in str(busy)
    assert [r.kind for r in kormelt_device.requests()] == ["identify"]
