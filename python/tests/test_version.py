"""One version: the project's, from CMake, in the wheel's name, in the
installed distribution's metadata and in kormelt.__version__."""

import glob
import importlib.metadata
import os

import pytest

import kormelt

PROJECT_VERSION = os.environ.get("KORMELT_TEST_PROJECT_VERSION", "")
WHEEL_DIR = os.environ.get("KORMELT_TEST_WHEEL_DIR", "")


@pytest.mark.skipif(not PROJECT_VERSION, reason="the project's version is not given")
def test_the_package_metadata_and_wheel_carry_the_projects_version():
    assert kormelt.__version__ == PROJECT_VERSION
    assert importlib.metadata.version("kormelt") == PROJECT_VERSION
    if WHEEL_DIR:
        (wheel,) = glob.glob(os.path.join(WHEEL_DIR, "kormelt-*.whl"))
        assert os.path.basename(wheel).startswith("kormelt-%s-" % PROJECT_VERSION)
