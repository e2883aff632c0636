"""Ctrl-C, as SIGINT to the process, while the library waits for a silent
device: the call is cancelled at the next report of progress, and
KeyboardInterrupt is raised once the library has returned, with the port
closed."""

import signal
import sys

import pytest

import kormelt
from conftest import descriptors_to, interrupt_after_requests
from kormelt.testing import Faults, SimulatedDevice

IMAGE_BYTES = 1024
FIRST_ERASE = 2
FIRST_PROGRAM = FIRST_ERASE + 7
SLOW_BYTE_MS = 200  # an erase reply takes over a second: time enough for the signal to land in it


@pytest.fixture(autouse=True)
def python_handles_sigint():
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    yield
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler, "the binding left its handler behind"


def _open(path):
    with kormelt.open():
        pass


def _erase(path):
    with kormelt.open() as device:
        device.erase()


def _update(path):
    kormelt.update(path)


# name, faults, what runs, K: SIGINT once request K has arrived, during the
# wait for its reply; nothing is sent after it
CASES = [
    ("silent search", Faults(silent_from=1), _open, 1),
    ("silent erase", Faults(silent_from=FIRST_ERASE), _erase, FIRST_ERASE),
    ("silent upload in an update", Faults(silent_from=FIRST_PROGRAM + 3), _update, FIRST_PROGRAM + 3),
    # A reply that comes, slowly: the erase goes on to its next report.
    ("slow erase", Faults(byte_pause_ms=SLOW_BYTE_MS), _erase, FIRST_ERASE),
]


@pytest.mark.parametrize("faults, run, requests", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_ctrl_c_during_a_wait_for_the_device(make_image, monkeypatch, faults, run, requests):
    path, _ = make_image(IMAGE_BYTES)
    # Lost inside the callback, the interrupt would be handed to this hook
    # ("Exception ignored") and the call would go on.
    ignored = []
    monkeypatch.setattr(sys, "unraisablehook", ignored.append)
    with SimulatedDevice(faults=faults) as device:
        sender = interrupt_after_requests(device, requests)
        with pytest.raises(KeyboardInterrupt):
            run(path)
        sender.join()
        assert descriptors_to(device.path) == []
        assert len(device.requests()) == requests  # nothing sent after the interrupt
    assert ignored == []
    assert kormelt.check(path)  # the library is free again


def test_the_progress_callable_sees_no_report_after_the_interrupt(make_image):
    path, _ = make_image(IMAGE_BYTES)
    seen = []
    with SimulatedDevice(faults=Faults(byte_pause_ms=SLOW_BYTE_MS)) as device:
        sender = interrupt_after_requests(device, FIRST_ERASE)
        with pytest.raises(KeyboardInterrupt):
            kormelt.update(path, progress=lambda phase, percent: seen.append((phase, percent)))
        sender.join()
    assert seen == [("search", 0), ("erase", 0)]


def test_an_application_handler_is_left_alone(make_image):
    caught = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    try:
        with SimulatedDevice(faults=Faults(silent_from=1)) as device:
            interrupt_after_requests(device, 1)
            with pytest.raises(kormelt.NotFound):  # the search went on to its end
                kormelt.open()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert caught == [signal.SIGINT]
