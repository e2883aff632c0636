"""kormelt.testing.SimulatedDevice: the simulator's options, the ports it
points the search at and gives back, its flash and request log."""

import dataclasses
import json
import os
import subprocess

import pytest

import kormelt
from kormelt.testing import NO_PORT, Faults, SimulatedDevice, SimulatorError, find_simulator


@pytest.mark.parametrize(
    "faults, arguments",
    [
        (Faults(), []),
        (Faults(silent_from=3), ["--silent-from", "3"]),
        (
            Faults(bad_crc_at=2, oversize_at=4, babble_at=5, byte_pause_ms=7, hangup_at=9),
            ["--bad-crc-at", "2", "--oversize-at", "4", "--babble-at", "5", "--byte-pause-ms", "7", "--hangup-at", "9"],
        ),
        (Faults(noise=True, short_frames=True), ["--noise", "--short-frames"]),
        (Faults(id_text="other", id_length=12), ["--id", "other", "--id-length", "12"]),
        (Faults(id_text=""), ["--id", ""]),
    ],
)
def test_faults_become_simulator_options(faults, arguments):
    assert faults.arguments() == arguments


def test_faults_are_the_shipped_simulators_own_options():
    listed = subprocess.run([find_simulator(), "--list-faults"], capture_output=True, text=True, check=True)
    table = json.loads(listed.stdout)
    assert [f.name for f in dataclasses.fields(Faults)] == [row["name"] for row in table]
    for row in table:
        assert row["option"] in Faults.__doc__ and row["help"] in Faults.__doc__


def ports():
    return [os.environ.get("KORMELT_COM%d" % n) for n in range(1, 8)]


def test_the_search_is_pointed_at_the_device_and_given_back(monkeypatch):
    monkeypatch.setenv("KORMELT_COM4", "/dev/null/set-before")
    monkeypatch.delenv("KORMELT_COM5")
    before = ports()
    with SimulatedDevice(com=2) as device:
        assert ports() == [NO_PORT, device.path] + [NO_PORT] * 5
        assert os.path.exists(device.path)
    assert ports() == before


def test_two_devices_on_two_ports(make_image):
    path, image = make_image(256)
    with SimulatedDevice(com=3) as third:
        with SimulatedDevice(com=5) as fifth:
            assert ports() == [NO_PORT, NO_PORT, third.path, NO_PORT, fifth.path, NO_PORT, NO_PORT]
            with pytest.raises(SimulatorError, match="COM3 already"):
                SimulatedDevice(com=3).start()
            kormelt.update(path)  # the search stops at the first device
        assert ports() == [NO_PORT, NO_PORT, third.path] + [NO_PORT] * 4
        assert fifth.requests() == []
        assert third.flash() == image


@pytest.mark.parametrize("com", [0, 8])
def test_only_the_searched_ports(com):
    with pytest.raises(ValueError):
        SimulatedDevice(com=com)


def test_flash_and_requests_while_running_and_after(make_image):
    path, image = make_image(512)
    device = SimulatedDevice()
    with device:
        assert device.flash() == b""
        with kormelt.open() as opened:
            opened.program(path)
            assert device.flash() == image
        assert [r.kind for r in device.requests()] == ["identify"] + ["program"] * 4
    assert not device.running
    assert device.returncode == 0
    assert device.flash() == image
    assert [r.address for r in device.requests()[1:]] == [0, 128, 256, 384]


@pytest.mark.parametrize(
    "simulator, words",
    [("/nonexistent/kormelt-sim", "not an executable file"), ("/bin/false", "printed no pseudo-terminal path")],
)
def test_a_simulator_that_cannot_run_is_reported_and_changes_nothing(monkeypatch, simulator, words):
    monkeypatch.setenv("KORMELT_SIM", simulator)
    before = ports()
    with pytest.raises(SimulatorError, match=words):
        SimulatedDevice().start()
    assert ports() == before


def test_a_device_starts_once():
    device = SimulatedDevice()
    with device:
        with pytest.raises(SimulatorError):
            device.start()
    with pytest.raises(SimulatorError):
        device.start()
