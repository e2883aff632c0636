"""pytest plugin of the kormelt package: the fixture kormelt_device, a
simulated device that the library's search finds on COM1.

    def test_update(kormelt_device, tmp_path):
        ...
        kormelt.update(image)
        assert kormelt_device.flash() == image_bytes

    @pytest.mark.kormelt_device(faults=Faults(silent_from=2))
    def test_silent(kormelt_device): ...

The marker's keyword arguments are those of SimulatedDevice.
"""

from __future__ import annotations

import sys
from typing import Iterator

import pytest

from kormelt.testing import SimulatedDevice

MARKER = "kormelt_device"


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "%s(paced=False, faults=None, com=1): how the kormelt_device fixture's simulated device behaves" % MARKER,
    )


@pytest.fixture
def kormelt_device(request: pytest.FixtureRequest) -> Iterator[SimulatedDevice]:
    """A running simulated device, stopped after the test."""
    if sys.platform == "win32":
        pytest.skip("the simulated device runs on a pseudo-terminal, which Windows does not have")
    marker = request.node.get_closest_marker(MARKER)
    options = dict(marker.kwargs) if marker is not None else {}
    with SimulatedDevice(**options) as device:
        yield device
