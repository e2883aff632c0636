"""Wheel build: the Python package with the native library inside (and,
beside a Linux library, the device simulator), tagged for the platform the
library is built for, so that pip installs it only where it can load.

KORMELT_WHEEL_LIBRARY names the library to ship (libKORMELT.so or
KORMELT.dll); by default the one of the Linux build in the tree.
KORMELT_WHEEL_SIM names the simulator to ship beside a Linux library; by
default the one of the same build, left out when it is not there.
"""

import importlib.machinery
import json
import os
import shutil
import subprocess
import types
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

HERE = Path(__file__).resolve().parent
TREE_BUILD = HERE.parent / "build" / "linux"
LIBRARY_VARIABLE = "KORMELT_WHEEL_LIBRARY"
SIMULATOR_VARIABLE = "KORMELT_WHEEL_SIM"
LIBRARY_NAMES = {"PE": "KORMELT.dll", "ELF": "libKORMELT.so"}
SIMULATOR_NAME = "kormelt-sim"
FAULT_TABLE_NAME = "_faults.json"
PLATFORM_TAGS = {
    ("PE", "i386"): "win32",
    ("PE", "x86-64"): "win_amd64",
    ("PE", "arm64"): "win_arm64",
    ("ELF", "i386"): "linux_i686",
    ("ELF", "x86-64"): "linux_x86_64",
    ("ELF", "aarch64"): "linux_aarch64",
}


def _binary_module():
    # The header reader of the package itself, loaded without importing the
    # package.
    loader = importlib.machinery.SourceFileLoader("kormelt_binary", str(HERE / "src" / "kormelt" / "_binary.py"))
    module = types.ModuleType(loader.name)
    loader.exec_module(module)
    return module


def _library():
    """(path, kind) of the library to ship."""
    path = Path(os.environ.get(LIBRARY_VARIABLE) or TREE_BUILD / "device" / "libKORMELT.so")
    kind = _binary_module().describe_file(path)
    if kind is None:
        raise SystemExit(
            "%s is no shared library; build the library first or set %s to it" % (path, LIBRARY_VARIABLE)
        )
    if path.name != LIBRARY_NAMES[kind.format]:
        raise SystemExit("%s is %s, which must be named %s" % (path, kind, LIBRARY_NAMES[kind.format]))
    if (kind.format, kind.machine) not in PLATFORM_TAGS:
        raise SystemExit("%s is %s, for which there is no wheel platform" % (path, kind))
    return path, kind


def _native_files():
    library, kind = _library()
    files = [library]
    if kind.format == "ELF":
        chosen = os.environ.get(SIMULATOR_VARIABLE)
        simulator = Path(chosen) if chosen else TREE_BUILD / "tools" / "sim" / SIMULATOR_NAME
        if chosen and not simulator.is_file():
            raise SystemExit("%s=%s: no such file" % (SIMULATOR_VARIABLE, chosen))
        if simulator.is_file():
            files.append(simulator)
    return files


def _write_fault_table(simulator, target):
    """The simulator's misbehaviour options, as it declares them, for
    kormelt.testing.Faults: the package takes them from the simulator it
    ships instead of keeping a copy."""
    listed = subprocess.run([str(simulator), "--list-faults"], check=True, capture_output=True, text=True)
    json.loads(listed.stdout)  # a table that does not parse fails the build, not the import
    target.write_text(listed.stdout)


class BuildWithNative(build_py):
    def run(self):
        # The facts come from the tree's headers; make_wheel.py writes them
        # into the sources it stages.
        if not (HERE / "src" / "kormelt" / "_facts.py").is_file():
            raise SystemExit("src/kormelt/_facts.py is missing: build the wheel with make_wheel.py")
        super().run()
        target = Path(self.build_lib) / "kormelt" / "_native"
        # A build directory may hold the files of an earlier build for
        # another platform.
        shutil.rmtree(target, ignore_errors=True)
        target.mkdir(parents=True)
        for source in _native_files():
            shutil.copy2(source, target / source.name)  # keeps the simulator executable
            if source.name == SIMULATOR_NAME:
                _write_fault_table(source, Path(self.build_lib) / "kormelt" / "testing" / FAULT_TABLE_NAME)


class PlatformWheel(bdist_wheel):
    """Pure Python, but bound to the library's platform and width."""

    def finalize_options(self):
        super().finalize_options()
        self.root_is_pure = False

    def get_tag(self):
        _, kind = _library()
        return "py3", "none", PLATFORM_TAGS[(kind.format, kind.machine)]


if not (HERE / "src" / "kormelt" / "_version.py").is_file():
    # pyproject.toml takes the version from there.
    raise SystemExit("src/kormelt/_version.py is missing: build the wheel with make_wheel.py, which writes it")

setup(cmdclass={"build_py": BuildWithNative, "bdist_wheel": PlatformWheel})
