"""The wheels: tagged for the platform and width of the library inside, so
that pip installs each only into a Python that can load it."""

import glob
import os
import platform
import shutil
import subprocess
import sys
import zipfile

import pytest

import kormelt

MAKE_WHEEL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "make_wheel.py")
WHEEL_DIR = os.environ.get("KORMELT_TEST_WHEEL_DIR", "")
WINDOWS_DLLS = {
    bits: os.environ.get(variable, "")
    for bits, variable in ((32, "KORMELT_TEST_WIN32_DLL"), (64, "KORMELT_TEST_WIN64_DLL"))
}
NATIVE = "kormelt-%s.data/purelib/kormelt/_native/" % kormelt.__version__


def native_files(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return {
            name[len(NATIVE) :]: archive.read(name) for name in archive.namelist() if name.startswith(NATIVE)
        }


@pytest.mark.skipif(not WHEEL_DIR, reason="the tested wheel's directory is not given")
def test_the_wheel_under_test_is_for_this_platform_with_library_and_simulator():
    (wheel,) = glob.glob(os.path.join(WHEEL_DIR, "kormelt-*.whl"))
    assert os.path.basename(wheel) == "kormelt-%s-py3-none-linux_%s.whl" % (kormelt.__version__, platform.machine())
    assert sorted(native_files(wheel)) == ["kormelt-sim", "libKORMELT.so"]


def make_wheel(library, work):
    return subprocess.run(
        [sys.executable, MAKE_WHEEL, "--library", str(library), "--work", str(work)],
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.mark.parametrize("bits, tag", [(32, "win32"), (64, "win_amd64")])
def test_a_windows_wheel_carries_the_dll_of_its_width(tmp_path, bits, tag):
    dll = WINDOWS_DLLS[bits]
    if not os.path.isfile(dll):
        pytest.skip("no %d-bit Windows build" % bits)
    result = make_wheel(dll, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    (wheel,) = glob.glob(str(tmp_path / "dist" / "*.whl"))
    assert os.path.basename(wheel) == "kormelt-%s-py3-none-%s.whl" % (kormelt.__version__, tag)
    with open(dll, "rb") as f:
        assert native_files(wheel) == {"KORMELT.dll": f.read()}  # no simulator: it needs a pseudo-terminal


def test_a_library_under_another_name_is_refused(tmp_path):
    from kormelt._library import library

    renamed = tmp_path / "KORMELT.so"
    shutil.copy(library().path, renamed)
    result = make_wheel(renamed, tmp_path / "work")
    assert result.returncode != 0
    assert "must be named libKORMELT.so" in result.stdout + result.stderr
    assert glob.glob(str(tmp_path / "work" / "dist" / "*.whl")) == []
