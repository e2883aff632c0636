"""What a shared library file is, read from its header: Windows DLL or ELF,
32 or 64 bits, which processor. A process loads only libraries of its own
width, and the operating system's own message for a mismatch ("%1 is not a
valid Win32 application") does not say so; this lets a failed load say it."""

from __future__ import annotations

import os
import struct
from typing import NamedTuple, Optional, Union

HEADER_BYTES = 4096  # the PE signature sits within the first page in every linker's output

PE_OPTIONAL_MAGIC_BITS = {0x10B: 32, 0x20B: 64}
PE_MACHINES = {0x014C: "i386", 0x8664: "x86-64", 0xAA64: "arm64", 0x01C4: "arm"}
ELF_CLASS_BITS = {1: 32, 2: 64}
ELF_MACHINES = {3: "i386", 40: "arm", 62: "x86-64", 183: "aarch64"}


class BinaryKind(NamedTuple):
    format: str  # "PE" for a Windows DLL, "ELF"
    bits: int  # 32 or 64
    machine: str  # "i386", "x86-64", ... or the header's number in hexadecimal

    def __str__(self) -> str:
        what = "Windows DLL" if self.format == "PE" else "ELF shared library"
        return "a %d-bit %s (%s)" % (self.bits, what, self.machine)


def describe(header: bytes) -> Optional[BinaryKind]:
    """The kind of binary whose first bytes are header; None when it is
    neither a PE nor an ELF file, or too short to tell."""
    if header[:2] == b"MZ" and len(header) >= 0x40:
        pe = struct.unpack_from("<I", header, 0x3C)[0]
        # Signature (4), machine (2), 18 more bytes of file header, then the
        # optional header's magic, which says PE32 or PE32+.
        if len(header) < pe + 26 or header[pe : pe + 4] != b"PE\0\0":
            return None
        machine = struct.unpack_from("<H", header, pe + 4)[0]
        bits = PE_OPTIONAL_MAGIC_BITS.get(struct.unpack_from("<H", header, pe + 24)[0])
        if bits is None:
            return None
        return BinaryKind("PE", bits, PE_MACHINES.get(machine, "machine 0x%04X" % machine))
    if header[:4] == b"\x7fELF" and len(header) >= 20:
        bits = ELF_CLASS_BITS.get(header[4])
        if bits is None or header[5] not in (1, 2):
            return None
        order = "<" if header[5] == 1 else ">"
        machine = struct.unpack_from(order + "H", header, 18)[0]
        return BinaryKind("ELF", bits, ELF_MACHINES.get(machine, "machine %d" % machine))
    return None


def describe_file(path: Union[str, "os.PathLike[str]"]) -> Optional[BinaryKind]:
    """describe() of the file's first bytes; None when it cannot be read."""
    try:
        with open(path, "rb") as f:
            return describe(f.read(HEADER_BYTES))
    except OSError:
        return None
