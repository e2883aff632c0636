#!/usr/bin/python3
"""Checks a KORMELT.dll: its exports, imports, machine and version record."""
import sys

import pefile

EXPORTS = ["KORMELT_CheckCRC", "KORMELT_Close", "KORMELT_Erase",
           "KORMELT_Open", "KORMELT_Programm", "KORMELT_Restart"]
IMPORTS = {"kernel32.dll", "msvcrt.dll"}
VERSION_STRINGS = {
    "FileVersion": "1.0.0.1",
    "ProductVersion": "1.0.0.1",
    "FileDescription": "KORMELT",
    "InternalName": "KORMELT",
    "PrivateBuild": "kormelt uploader",
    "SpecialBuild": "FW updater",
}
MACHINES = {"i686": 0x014C, "x86_64": 0x8664}


def check(path, arch):
    problems = []
    pe = pefile.PE(path)
    if pe.FILE_HEADER.Machine != MACHINES[arch]:
        problems.append(f"machine 0x{pe.FILE_HEADER.Machine:04x}, expected {arch}")

    exports = [(s.ordinal, s.name.decode() if s.name else None)
               for s in pe.DIRECTORY_ENTRY_EXPORT.symbols]
    expected = [(i + 1, name) for i, name in enumerate(EXPORTS)]
    if sorted(exports) != expected:
        problems.append(f"exports {sorted(exports)}, expected {expected}")

    imports = {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
    if imports != IMPORTS:
        problems.append(f"imports {sorted(imports)}, expected {sorted(IMPORTS)}")

    fixed = pe.VS_FIXEDFILEINFO[0]
    for field in ("FileVersionMS", "ProductVersionMS"):
        if getattr(fixed, field) != 0x00010000:
            problems.append(f"{field} 0x{getattr(fixed, field):08x}")
    for field in ("FileVersionLS", "ProductVersionLS"):
        if getattr(fixed, field) != 0x00000001:
            problems.append(f"{field} 0x{getattr(fixed, field):08x}")

    strings = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    for key, value in VERSION_STRINGS.items():
        if strings.get(key) != value:
            problems.append(f"version string {key}={strings.get(key)!r}, expected {value!r}")
    return problems


def main():
    path, arch = sys.argv[1], sys.argv[2]
    problems = check(path, arch)
    for p in problems:
        print(f"{path}: {p}")
    if problems:
        return 1
    print(f"{path}: {arch}, exports 1..6 alphabetical, imports KERNEL32.dll and msvcrt.dll, version 1.0.0.1")
    return 0


if __name__ == "__main__":
    sys.exit(main())
