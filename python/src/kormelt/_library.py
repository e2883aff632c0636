"""Loading the native library and declaring its six functions to ctypes."""

from __future__ import annotations

import ctypes
import os
import struct
import sys
import threading
from pathlib import Path
from typing import Optional, Tuple

from kormelt._binary import BinaryKind, describe_file

LIBRARY_VARIABLE = "KORMELT_LIBRARY"
NATIVE_DIR = Path(__file__).resolve().parent / "_native"

# Every export and the progress callback use the C calling convention, also
# on 32-bit Windows: CFUNCTYPE and CDLL, never WINFUNCTYPE or WinDLL.
ProgressFunction = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_int32)


class LibraryError(OSError):
    """The native library cannot be loaded, or is not the KORMELT library."""


def library_file_name(platform: str = sys.platform) -> str:
    if platform == "win32":
        return "KORMELT.dll"
    if platform == "darwin":
        return "libKORMELT.dylib"
    return "libKORMELT.so"


def python_bits() -> int:
    return struct.calcsize("P") * 8


def mismatch_text(path: str, kind: Optional[BinaryKind], platform: str, bits: int) -> str:
    """Why a library of this kind cannot load into this Python, or "" when
    the kind gives no reason."""
    name = library_file_name(platform)
    if kind is None:
        return ""
    if kind.format == "PE" and platform != "win32":
        return "%s is %s; on %s the library is %s." % (path, kind, platform, name)
    if kind.format == "ELF" and platform == "win32":
        return "%s is %s; on Windows the library is %s." % (path, kind, name)
    if kind.bits != bits:
        text = "%s is %s, and this Python is %d-bit: a process loads only libraries of its own width." % (
            path,
            kind,
            bits,
        )
        if platform == "win32":
            if kind.bits == 32:
                text += (
                    " Run a 32-bit Python (python.org's \"Windows installer (32-bit)\") for this DLL, or use a "
                    "64-bit build of KORMELT.dll."
                )
            else:
                text += " Run a 64-bit Python for this DLL, or use the 32-bit KORMELT.dll."
        return text
    return ""


class Library:
    """The six functions of one loaded library, declared."""

    def __init__(self, path: str, handle: ctypes.CDLL) -> None:
        self.path = path
        self.check_crc = handle.KORMELT_CheckCRC
        self.check_crc.argtypes = [ctypes.c_char_p]
        self.close = handle.KORMELT_Close
        self.close.argtypes = []
        self.erase = handle.KORMELT_Erase
        self.erase.argtypes = [ProgressFunction]
        self.open = handle.KORMELT_Open
        self.open.argtypes = [ProgressFunction]
        self.program = handle.KORMELT_Programm
        self.program.argtypes = [ctypes.c_char_p, ProgressFunction]
        self.restart = handle.KORMELT_Restart
        self.restart.argtypes = []
        for function in (self.check_crc, self.close, self.erase, self.open, self.program, self.restart):
            function.restype = ctypes.c_int32


def candidate() -> Tuple[str, str]:
    """(what it is, path) of the library to load: the one named by
    KORMELT_LIBRARY when that is set, else the copy inside the package.
    Never both: a library asked for by name that fails to load must not be
    replaced silently by another."""
    chosen = os.environ.get(LIBRARY_VARIABLE, "")
    if chosen:
        return LIBRARY_VARIABLE, chosen
    return "the library inside the package", str(NATIVE_DIR / library_file_name())


def load_from(label: str, path: str) -> Library:
    if not os.path.exists(path):
        reason = "no such file"
    else:
        try:
            handle = ctypes.CDLL(path)
        except OSError as error:
            reason = mismatch_text(path, describe_file(path), sys.platform, python_bits()) or str(error)
        else:
            try:
                return Library(path, handle)
            except AttributeError as error:
                raise LibraryError("%s (%s) is not the KORMELT library: %s" % (label, path, error)) from None
    bundled = str(NATIVE_DIR / library_file_name())
    if label == LIBRARY_VARIABLE:
        advice = "Point %s at %s, or unset it to use the library inside the package (%s)." % (
            LIBRARY_VARIABLE,
            library_file_name(),
            bundled,
        )
    else:
        advice = "Set %s to the path of %s." % (LIBRARY_VARIABLE, library_file_name())
    raise LibraryError(
        "Cannot load the KORMELT library: tried %s (%s): %s. %s" % (label, path, reason.rstrip("."), advice)
    )


_loaded: Optional[Library] = None
_load_lock = threading.Lock()


def library() -> Library:
    """The library, loaded on first use; LibraryError when it cannot be."""
    global _loaded
    with _load_lock:
        if _loaded is None:
            _loaded = load_from(*candidate())
        return _loaded
