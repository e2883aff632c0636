"""Firmware updates against the simulated device, as a whole and step by
step, through the pytest fixture."""

import gc
import time
import weakref

import pytest

import kormelt
from conftest import ERASE_BLOCKS, PACKET_BYTES, descriptors_to, padded
from kormelt.testing import Faults, SimulatedDevice

LINE_BYTES_PER_SECOND = 1920  # 19200 baud, 8N1


def expected_progress(image_size, device_com=1):
    search = [12 * n for n in range(device_com)]
    erase = [14 * n for n in range(len(ERASE_BLOCKS))] + [100]
    packets = -(-image_size // PACKET_BYTES)
    upload = [100 * PACKET_BYTES * n // image_size for n in range(packets)] + [100]
    return (
        [("search", p) for p in search] + [("erase", p) for p in erase] + [("upload", p) for p in upload]
    )


def assert_whole_update(device, image):
    requests = device.requests()
    packets = -(-len(image) // PACKET_BYTES)
    assert [r.kind for r in requests] == ["identify"] + ["erase"] * 7 + ["program"] * packets + ["restart"]
    assert [r.block for r in requests[1:8]] == ERASE_BLOCKS
    assert [r.address for r in requests[8:-1]] == [PACKET_BYTES * n for n in range(packets)]
    assert device.flash() == padded(image)


# 3 bytes is the smallest image: one byte of firmware and the trailer.
@pytest.mark.parametrize("size", [16384, 300, 3])
def test_update_writes_the_image_into_the_device(kormelt_device, make_image, size):
    path, image = make_image(size)
    seen = []
    kormelt.update(path, progress=lambda phase, percent: seen.append((phase, percent)))

    assert_whole_update(kormelt_device, image)
    if size % PACKET_BYTES == 0:
        assert kormelt_device.flash() == image
    assert seen == expected_progress(size)
    assert all(isinstance(phase, kormelt.Phase) for phase, _ in seen)
    assert descriptors_to(kormelt_device.path) == []


def test_step_by_step_with_the_port_closed_after(kormelt_device, make_image):
    path, image = make_image(1024)
    with kormelt.open() as device:
        assert not device.closed
        assert (device.com, device.port) == (1, kormelt_device.path)
        assert len(descriptors_to(kormelt_device.path)) == 1
        device.erase()
        device.program(path)
        device.restart()
    assert device.closed
    assert descriptors_to(kormelt_device.path) == []
    assert_whole_update(kormelt_device, image)
    device.close()  # again: harmless


@pytest.mark.kormelt_device(com=3)
def test_the_marker_places_the_device_on_another_port(kormelt_device, make_image):
    path, image = make_image(512)
    seen = []
    with kormelt.open(progress=lambda phase, percent: seen.append(percent)) as device:
        assert device.com == 3
        device.erase()
        device.program(path)
    assert seen == [0, 12, 24]
    assert kormelt_device.flash() == image


def test_the_fixture_runs_without_faults_and_unpaced(kormelt_device):
    assert (kormelt_device.paced, kormelt_device.faults, kormelt_device.com) == (False, Faults(), 1)
    assert kormelt_device.requests() == []


def test_a_paced_line_takes_its_wire_time(make_image):
    path, image = make_image(256)
    with SimulatedDevice(paced=True) as device:
        start = time.monotonic()
        kormelt.update(path)
        elapsed = time.monotonic() - start
        wire_bytes = sum(len(r.payload) + 4 for r in device.requests())  # flags and CRC, before stuffing
        assert device.flash() == image
    # A lower bound only: the requests alone cannot cross the line faster.
    assert elapsed >= wire_bytes / LINE_BYTES_PER_SECOND


def test_a_progress_callable_nobody_keeps_lives_through_the_call_and_no_longer(kormelt_device, make_image):
    path, image = make_image(4096)
    calls = []

    class Watcher:
        def report(self, phase, percent):
            calls.append((phase, percent))
            gc.collect()  # would free whatever the binding failed to keep

    watcher = Watcher()
    gone = weakref.ref(watcher)
    report = watcher.report
    del watcher
    kormelt.update(path, progress=report)
    del report
    gc.collect()

    assert len(calls) == len(expected_progress(len(image)))
    assert gone() is None, "the binding keeps the progress callable after the call"
    assert kormelt_device.flash() == image
