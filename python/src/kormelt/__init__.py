"""KORMELT for Python: firmware updates of a device on a serial line,
through the KORMELT library.

    import kormelt

    kormelt.update("firmware.img", progress=lambda phase, percent: print(phase, percent))

or step by step:

    with kormelt.open() as device:
        device.erase()
        device.program("firmware.img")
        device.restart()

Failures raise KormeltError subclasses that carry the library's status.
The native library is the one inside this package, or the file named by
the environment variable KORMELT_LIBRARY.
"""

try:
    import kormelt._facts as _facts  # noqa: F401 - written into the wheel from the tree's headers
except ModuleNotFoundError as missing:
    if missing.name != "kormelt._facts":
        raise
    from kormelt._tree import install_facts

    install_facts()

from kormelt._api import Device, Progress, check, check_result, open, update
from kormelt._errors import (
    BadReplyCrc,
    Cancelled,
    DeviceSilent,
    ImageError,
    KormeltError,
    NotFound,
    Phase,
    PortBusy,
    PortNotOpen,
    Status,
    WriteFailed,
)
from kormelt._image import CheckResult, crc16, seal
from kormelt._library import LibraryError
from kormelt._version import __version__  # written into the wheel from the project's version

__all__ = [
    "BadReplyCrc",
    "Cancelled",
    "CheckResult",
    "Device",
    "DeviceSilent",
    "ImageError",
    "KormeltError",
    "LibraryError",
    "NotFound",
    "Phase",
    "PortBusy",
    "PortNotOpen",
    "Progress",
    "Status",
    "WriteFailed",
    "check",
    "check_result",
    "crc16",
    "open",
    "seal",
    "update",
]
