"""Shared helpers of the binding's tests. They run against the installed
package (the wheel in a fresh virtual environment), never the sources."""

import os
import random
import sys
import threading
import time
from pathlib import Path

import pytest

from kormelt.testing import NO_PORT

# The sentences and the image vectors the tool's tests read too.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "support"))

PORT_COUNT = 7
PACKET_BYTES = 128
ERASE_BLOCKS = [11, 10, 9, 8, 7, 6, 0]
WAIT_TIMEOUT_S = 10.0


@pytest.fixture(autouse=True)
def no_real_ports(monkeypatch):
    """Every port the library searches leads nowhere unless a test's
    simulated device takes one: no test ever opens this machine's serial
    ports."""
    for n in range(1, PORT_COUNT + 1):
        monkeypatch.setenv("KORMELT_COM%d" % n, NO_PORT)
    monkeypatch.delenv("KORMELT_LIBRARY", raising=False)
    monkeypatch.delenv("KORMELT_SIM", raising=False)


def _crc_table():
    table = []
    for index in range(256):
        crc = index << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
        table.append(crc & 0xFFFF)
    return table


CRC_TABLE = _crc_table()


def crc16_reference(data, crc=0xAAAA):
    """The CRC computed here, independent of the binding's own: polynomial
    0x1021, most significant bit first, start 0xAAAA, no final XOR."""
    for byte in data:
        crc = CRC_TABLE[(crc >> 8) ^ byte] ^ ((crc << 8) & 0xFFFF)
    return crc


def sealed(firmware):
    return bytes(firmware) + crc16_reference(firmware).to_bytes(2, "big")


def firmware(size, seed=1):
    return random.Random(seed).randbytes(size)


@pytest.fixture
def make_image(tmp_path):
    """make_image(size, seed=1) -> (path, bytes) of a sealed image of size
    bytes in all."""

    def make(size, seed=1, name=None):
        data = sealed(firmware(size - 2, seed))
        path = tmp_path / (name or "image-%d-%d.img" % (size, seed))
        path.write_bytes(data)
        return str(path), data

    return make


def padded(image):
    """What the device holds after an upload: the last packet's tail as
    erased flash, 0xFF."""
    return bytes(image) + b"\xff" * (-len(image) % PACKET_BYTES)


def descriptors_to(path):
    """This process's open file descriptors that lead to path."""
    target = os.path.realpath(path)
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink("/proc/self/fd/" + fd) == target:
                found.append(int(fd))
        except OSError:
            pass  # closed while the directory was listed
    return found


def wait_for_requests(device, count, timeout=WAIT_TIMEOUT_S):
    """Waits until the simulated device has received count requests."""
    deadline = time.monotonic() + timeout
    while len(device.requests()) < count:
        if time.monotonic() > deadline:
            raise AssertionError("the device received %d requests, not %d" % (len(device.requests()), count))
        time.sleep(0.01)


def interrupt_after_requests(device, count):
    """A thread that sends SIGINT to this process once the simulated device
    has received count requests, as Ctrl-C in a terminal does."""
    import signal

    def send():
        wait_for_requests(device, count)
        time.sleep(0.2)  # well inside the library's 3 s wait for the reply
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=send, daemon=True)
    thread.start()
    return thread
