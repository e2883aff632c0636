"""Which library the binding loads, what it says when it cannot, and what
the wheel installed."""

import ctypes
import importlib.metadata
import os
import shutil
import struct
import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import kormelt
from kormelt import _binary, _library

# The Windows builds' DLLs, when they are built.
WINDOWS_DLLS = {
    bits: path
    for bits, path in ((32, os.environ.get("KORMELT_TEST_WIN32_DLL", "")), (64, os.environ.get("KORMELT_TEST_WIN64_DLL", "")))
    if path and os.path.isfile(path)
}
PACKAGE_DIR = os.path.dirname(os.path.abspath(kormelt.__file__))
BUNDLED = os.path.join(PACKAGE_DIR, "_native", "libKORMELT.so")
TREE_SOURCES = str(Path(__file__).resolve().parents[1] / "src")


def pe_header(machine, magic):
    pe_offset = 0x40
    header = bytearray(pe_offset + 26)
    header[:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, pe_offset)
    header[pe_offset : pe_offset + 4] = b"PE\0\0"
    struct.pack_into("<H", header, pe_offset + 4, machine)
    struct.pack_into("<H", header, pe_offset + 24, magic)
    return bytes(header)


def elf_header(elf_class, order, machine):
    header = bytearray(64)
    header[:4] = b"\x7fELF"
    header[4], header[5] = elf_class, order
    struct.pack_into("<H" if order == 1 else ">H", header, 18, machine)
    return bytes(header)


@pytest.mark.parametrize(
    "header, kind",
    [
        (pe_header(0x014C, 0x10B), ("PE", 32, "i386")),
        (pe_header(0x8664, 0x20B), ("PE", 64, "x86-64")),
        (pe_header(0x1234, 0x20B), ("PE", 64, "machine 0x1234")),
        (pe_header(0x014C, 0x999), None),  # neither PE32 nor PE32+
        (pe_header(0x014C, 0x10B)[:-1], None),  # cut short
        (b"MZ" + bytes(100), None),  # a DOS program without a PE part
        (elf_header(1, 1, 3), ("ELF", 32, "i386")),
        (elf_header(2, 1, 62), ("ELF", 64, "x86-64")),
        (elf_header(2, 2, 183), ("ELF", 64, "aarch64")),
        (elf_header(3, 1, 62), None),
        (b"#!/bin/sh\n", None),
        (b"", None),
    ],
)
def test_binary_headers_tell_format_and_width(header, kind):
    found = _binary.describe(header)
    assert (tuple(found) if found else None) == kind


def test_the_built_libraries_are_what_they_should_be():
    assert tuple(_binary.describe_file(BUNDLED)) == ("ELF", 64, "x86-64")
    for bits, path in WINDOWS_DLLS.items():
        assert tuple(_binary.describe_file(path)) == ("PE", bits, {32: "i386", 64: "x86-64"}[bits])


I386_DLL = _binary.BinaryKind("PE", 32, "i386")
AMD64_DLL = _binary.BinaryKind("PE", 64, "x86-64")
ELF64 = _binary.BinaryKind("ELF", 64, "x86-64")


@pytest.mark.parametrize(
    "kind, platform_name, bits, words",
    [
        (I386_DLL, "win32", 64, ["a 32-bit Windows DLL (i386)", "this Python is 64-bit", "Run a 32-bit Python"]),
        (AMD64_DLL, "win32", 32, ["a 64-bit Windows DLL (x86-64)", "this Python is 32-bit", "Run a 64-bit Python"]),
        (I386_DLL, "linux", 64, ["a 32-bit Windows DLL (i386); on linux the library is libKORMELT.so"]),
        (ELF64, "win32", 64, ["on Windows the library is KORMELT.dll"]),
        (_binary.BinaryKind("ELF", 32, "i386"), "linux", 64, ["this Python is 64-bit"]),
    ],
)
def test_a_library_that_cannot_load_here_is_explained(kind, platform_name, bits, words):
    text = _library.mismatch_text("lib", kind, platform_name, bits)
    for word in words:
        assert word in text


@pytest.mark.parametrize(
    "kind, platform_name, bits",
    [(I386_DLL, "win32", 32), (AMD64_DLL, "win32", 64), (ELF64, "linux", 64), (None, "win32", 64)],
)
def test_a_library_that_fits_needs_no_explanation(kind, platform_name, bits):
    assert _library.mismatch_text("lib", kind, platform_name, bits) == ""


def run_python(code, library=None, cwd=None):
    env = dict(os.environ)
    env.pop("KORMELT_LIBRARY", None)
    if library is not None:
        env["KORMELT_LIBRARY"] = library
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, cwd=cwd, timeout=60
    )


LOAD_AND_REPORT = """
    import sys
    import kormelt
    try:
        kormelt.check("no-such-image")
    except kormelt.LibraryError as error:
        print(error)
        sys.exit(3)
"""


def _not_kormelt():
    import _ctypes

    return _ctypes.__file__


@pytest.mark.parametrize(
    "make_library, words",
    [
        (lambda tmp: str(tmp / "missing" / "libKORMELT.so"), ["tried KORMELT_LIBRARY (", "missing/libKORMELT.so): no such file", "unset it"]),
        (lambda tmp: _write(tmp / "libKORMELT.so", b"not a library\n" * 100), ["tried KORMELT_LIBRARY (", "invalid ELF header"]),
        (lambda tmp: WINDOWS_DLLS.get(32) or pytest.skip("no Windows 32-bit build"), ["is a 32-bit Windows DLL (i386); on linux"]),
        (lambda tmp: _not_kormelt(), ["is not the KORMELT library", "KORMELT_"]),
    ],
    ids=["missing", "not a library", "windows dll", "another library"],
)
def test_a_library_named_that_does_not_load_is_reported_with_what_was_tried(tmp_path, make_library, words):
    library = make_library(tmp_path)
    result = run_python(LOAD_AND_REPORT, library)
    assert result.returncode == 3, result.stderr
    assert library in result.stdout
    for word in words:
        assert word in result.stdout


def _write(path, content):
    path.write_bytes(content)
    return str(path)


def test_without_the_library_inside_the_package_the_message_says_where_it_looked(tmp_path):
    shutil.copytree(PACKAGE_DIR, tmp_path / "kormelt", ignore=shutil.ignore_patterns("_native", "__pycache__"))
    result = run_python("import sys; sys.path.insert(0, %r)\n%s" % (str(tmp_path), textwrap.dedent(LOAD_AND_REPORT)))
    assert result.returncode == 3, result.stderr
    expected = os.path.join(str(tmp_path), "kormelt", "_native", "libKORMELT.so")
    assert "tried the library inside the package (%s): no such file" % expected in result.stdout
    assert "Set KORMELT_LIBRARY to the path of libKORMELT.so" in result.stdout


def test_the_library_named_is_the_one_loaded(tmp_path):
    copy = shutil.copy(BUNDLED, tmp_path / "libKORMELT.so")
    image = tmp_path / "image.img"
    image.write_bytes(kormelt.seal(b"firmware"))
    code = "import kormelt, kormelt._library as l; print(kormelt.check(%r), l.library().path)" % str(image)
    assert run_python(code, str(copy)).stdout.split() == ["True", str(copy)]
    assert run_python(code).stdout.split() == ["True", BUNDLED]


def test_the_callback_and_the_functions_use_the_c_calling_convention():
    assert _library.ProgressFunction._flags_ & ctypes._FUNCFLAG_CDECL
    lib = _library.library()
    for function in (lib.open, lib.erase, lib.program, lib.restart, lib.close, lib.check_crc):
        assert function._flags_ & ctypes._FUNCFLAG_CDECL
        assert function.restype is ctypes.c_int32


def test_the_wheel_is_installed_in_this_environment_with_everything_inside():
    assert sys.prefix != sys.base_prefix, "not in a virtual environment"
    assert PACKAGE_DIR.startswith(sys.prefix)
    assert os.path.isfile(os.path.join(PACKAGE_DIR, "py.typed"))
    simulator = os.path.join(PACKAGE_DIR, "_native", "kormelt-sim")
    assert os.access(simulator, os.X_OK)
    from kormelt.testing import find_simulator

    assert find_simulator() == simulator
    plugins = importlib.metadata.entry_points(group="pytest11")
    assert [(e.name, e.value) for e in plugins if e.name == "kormelt"] == [("kormelt", "kormelt.testing.pytest_plugin")]
    assert importlib.metadata.version("kormelt") == kormelt.__version__


FACTS_AS_JSON = """
    import json
    import kormelt, kormelt._facts as facts
    print(kormelt.__file__)
    values = {name: getattr(facts, name) for name in dir(facts) if name.isupper()}
    values["Status"] = {member.name: member.value for member in facts.Status}
    print(json.dumps(values, sort_keys=True))
"""


def test_the_wheel_carries_the_facts_written_from_the_headers():
    assert os.path.isfile(os.path.join(PACKAGE_DIR, "_facts.py"))
    assert kormelt._facts.__file__ == os.path.join(PACKAGE_DIR, "_facts.py")
    assert kormelt.Status is kormelt._facts.Status


def test_from_the_source_tree_the_facts_are_read_from_its_headers():
    installed = run_python(FACTS_AS_JSON)
    from_tree = run_python("import sys; sys.path.insert(0, %r)\n%s" % (TREE_SOURCES, textwrap.dedent(FACTS_AS_JSON)))
    assert from_tree.returncode == 0, from_tree.stderr
    where, facts = from_tree.stdout.splitlines()
    assert where == os.path.join(TREE_SOURCES, "kormelt", "__init__.py")
    assert not os.path.exists(os.path.join(TREE_SOURCES, "kormelt", "_facts.py"))  # nothing written into the tree
    assert json.loads(facts) == json.loads(installed.stdout.splitlines()[1])


def test_a_package_without_its_facts_outside_a_tree_says_how_to_build_it(tmp_path):
    shutil.copytree(PACKAGE_DIR, tmp_path / "kormelt", ignore=shutil.ignore_patterns("_facts.py", "_native", "__pycache__"))
    result = run_python("import sys; sys.path.insert(0, %r)\nimport kormelt" % str(tmp_path))
    assert result.returncode != 0
    assert "kormelt._facts is missing" in result.stderr
    assert "make_wheel.py" in result.stderr
