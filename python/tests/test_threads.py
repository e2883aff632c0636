"""The library runs one call at a time and has one port: calls from several
threads are serialised, and a device session holds the port to its end:
its close(), or the collection of a Device never closed."""

import contextlib
import gc
import os
import subprocess
import sys
import termios
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


REOPEN_TIMEOUT_S = 10  # bounds every open() below, so that a held port fails the test instead of hanging it
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


def here(function):
    return function()


def drop(held):
    held.clear()
    gc.collect()


def drop_in_a_cycle(held):
    # Automatic collections would find the cycle at a random moment: open()
    # is the one that has to.
    cycle = [held.pop()]
    cycle.append(cycle)


@contextlib.contextmanager
def no_automatic_collection():
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


# name, where the device is opened, how it is dropped, where open() is called next
DROPPED_DEVICES = [
    ("reopened in the same thread", here, drop, here),
    ("reopened in another thread", here, drop, in_thread),
    ("opened in another thread, dropped and reopened here", in_thread, drop, here),
    ("dropped in a reference cycle", here, drop_in_a_cycle, here),
]


@pytest.mark.parametrize(
    "open_in, dropping, reopen_in", [case[1:] for case in DROPPED_DEVICES], ids=[case[0] for case in DROPPED_DEVICES]
)
def test_a_device_dropped_without_close_frees_the_port(kormelt_device, open_in, dropping, reopen_in):
    held = [open_in(lambda: kormelt.open(timeout=REOPEN_TIMEOUT_S))]
    with no_automatic_collection(), pytest.warns(ResourceWarning, match="never closed; its port is closed now"):
        dropping(held)
        again = reopen_in(lambda: kormelt.open(timeout=REOPEN_TIMEOUT_S))
    # The dropped device's port was closed, not left to the process's end.
    assert len(descriptors_to(kormelt_device.path)) == 1
    assert again.com == 1
    again.close()
    assert descriptors_to(kormelt_device.path) == []
    assert [r.kind for r in kormelt_device.requests()] == ["identify", "identify"]


def test_a_device_dropped_during_another_call_is_closed_by_the_next_open(kormelt_device):
    # Another thread's call holds the library meanwhile; the library refuses
    # every image path that could block it, so the test holds the binding's
    # call lock itself, as a running call does.
    device = kormelt.open()
    inside, leave = threading.Event(), threading.Event()

    def busy():
        with kormelt._api._library_call():
            inside.set()
            leave.wait(JOIN_TIMEOUT_S)

    caller = threading.Thread(target=busy, daemon=True)
    caller.start()
    assert inside.wait(JOIN_TIMEOUT_S)
    try:
        with pytest.warns(ResourceWarning, match="the next kormelt.open[(][)] closes its port"):
            del device
            gc.collect()
        assert len(descriptors_to(kormelt_device.path)) == 1
    finally:
        leave.set()
    caller.join(JOIN_TIMEOUT_S)

    with kormelt.open(timeout=REOPEN_TIMEOUT_S) as again:
        assert len(descriptors_to(kormelt_device.path)) == 1
        assert again.com == 1
    assert descriptors_to(kormelt_device.path) == []
    assert [r.kind for r in kormelt_device.requests()] == ["identify", "identify"]


ISPEED, OSPEED = 4, 5  # in termios.tcgetattr's list
LEFT_OPEN_AT_EXIT = """
import sys, kormelt
device = kormelt.open()
print("open", flush=True)
sys.stdin.readline()
"""


def test_a_device_left_open_at_exit_is_closed(kormelt_device):
    # The child keeps its device to the end; the library's close puts back
    # the settings it found at open, which the line is then changed away from.
    child = subprocess.Popen(
        [sys.executable, "-W", "always::ResourceWarning", "-c", LEFT_OPEN_AT_EXIT],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        assert child.stdout.readline().strip() == b"open"
        line = os.open(kormelt_device.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            found = termios.tcgetattr(line)
            changed = list(found)
            changed[ISPEED] = changed[OSPEED] = termios.B9600
            termios.tcsetattr(line, termios.TCSANOW, changed)
            _, errors = child.communicate(b"\n", timeout=JOIN_TIMEOUT_S)
            after = termios.tcgetattr(line)
        finally:
            os.close(line)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    text = errors.decode(errors="replace")
    assert child.returncode == 0, text
    assert (after[ISPEED], after[OSPEED]) == (found[ISPEED], found[OSPEED]) == (termios.B19200, termios.B19200)
    assert "never closed; its port is closed now" in text
    assert "Exception ignored" not in text


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
