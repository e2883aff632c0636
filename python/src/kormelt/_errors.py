"""The library's status codes as exceptions, each with a sentence that says
what happened and what to try next."""

from __future__ import annotations

import enum
import os
import sys
from typing import Dict, Optional, Type

from kormelt._image import CheckResult

REPLY_TIMEOUT_S = 3  # the library's wait for each reply byte
SEARCH_FIRST_PORT = 1
SEARCH_LAST_PORT = 7
PORT_VARIABLE = "KORMELT_COM"  # followed by n: the path of COMn on POSIX systems


class Status(enum.IntEnum):
    OK = 0
    IMAGE_OPEN = 1
    PORT_OPEN = 2
    PORT_CONFIG = 4
    WRITE = 5
    PORT_NUMBER = 8
    CANCELLED = 12
    NOT_FOUND = 13
    TIMEOUT = 14
    CRC = 15
    PORT_QUEUES = 19
    NO_MEMORY = 30
    PORT_STATE = 39
    PORT_NOT_OPEN = 42
    PORT_TIMEOUTS = 43
    FILE_CHECK_OPEN_FAILED = -1


class Phase(str, enum.Enum):
    """The steps of an update, in the order update() runs them."""

    CHECK = "check"
    SEARCH = "search"
    ERASE = "erase"
    UPLOAD = "upload"
    RESTART = "restart"

    def __str__(self) -> str:
        return self.value


class KormeltError(Exception):
    """A library call failed. status is the library's code, phase the step
    that failed, percent the last progress that step reported (None before
    any report)."""

    def __init__(self, message: str, status: int, phase: Phase, percent: Optional[int] = None) -> None:
        super().__init__(message)
        self.message = message
        self.status = status
        self.phase = phase
        self.percent = percent

    def __str__(self) -> str:
        return self.message


class ImageError(KormeltError):
    """The image file is missing, unreadable, empty or fails its CRC check.
    check holds the check's findings when the check refused the file."""

    def __init__(
        self,
        message: str,
        status: int,
        phase: Phase,
        percent: Optional[int] = None,
        check: Optional[CheckResult] = None,
    ) -> None:
        super().__init__(message, status, phase, percent)
        self.check = check


class WriteFailed(KormeltError, OSError):
    """Writing a request to the port failed (status 5)."""


class Cancelled(KormeltError):
    """The progress callable returned False (status 12)."""


class NotFound(KormeltError):
    """No device answered on COM1 to COM7 (status 13)."""


class DeviceSilent(KormeltError, TimeoutError):
    """No reply byte came within 3 s (status 14)."""


class BadReplyCrc(KormeltError):
    """A reply arrived with a wrong CRC, or too long (status 15)."""


class PortNotOpen(KormeltError):
    """The device is closed (status 42)."""


class PortBusy(TimeoutError):
    """open() waited its timeout while another thread's Device held the
    library's one port. No library call failed, so this is no KormeltError
    and has no status; it says who holds the port: the name and ident of the
    thread whose open() took it, where that open() was called (file:line,
    "" when unknown), and the COM port of its device (None while its search
    still runs)."""

    def __init__(
        self,
        message: str,
        timeout: float,
        thread_name: Optional[str],
        thread_ident: Optional[int],
        where: str,
        com: Optional[int],
    ) -> None:
        super().__init__(message)
        self.message = message
        self.timeout = timeout
        self.thread_name = thread_name
        self.thread_ident = thread_ident
        self.where = where
        self.com = com

    def __str__(self) -> str:
        return self.message


EXCEPTIONS: Dict[int, Type[KormeltError]] = {
    Status.IMAGE_OPEN: ImageError,
    Status.WRITE: WriteFailed,
    Status.CANCELLED: Cancelled,
    Status.NOT_FOUND: NotFound,
    Status.TIMEOUT: DeviceSilent,
    Status.CRC: BadReplyCrc,
    Status.PORT_NOT_OPEN: PortNotOpen,
}


def port_path(n: int, environ: Optional[Dict[str, str]] = None) -> str:
    """The device the library opens as COMn on a POSIX system."""
    value = (os.environ if environ is None else environ).get("%s%d" % (PORT_VARIABLE, n), "")
    return value or "/dev/ttyS%d" % (n - 1)


def ports_text(platform: str = sys.platform, environ: Optional[Dict[str, str]] = None) -> str:
    """COM1..COM7 and, where the library maps them to paths, each one's path."""
    if platform == "win32":
        return "COM1 to COM7"
    return ", ".join(
        "COM%d %s" % (n, port_path(n, environ)) for n in range(SEARCH_FIRST_PORT, SEARCH_LAST_PORT + 1)
    )


def _device_state(phase: Phase) -> str:
    """What the device holds after phase stopped halfway."""
    if phase == Phase.ERASE:
        return "The device may be partly erased until the update runs again."
    if phase == Phase.UPLOAD:
        return "The device holds a partial image until the update runs again."
    if phase == Phase.RESTART:
        return "The image is fully written: power-cycle the device to start it, or run the update again."
    return "Nothing was changed on the device."


def failure_message(
    phase: Phase,
    status: int,
    percent: Optional[int] = None,
    image: Optional[str] = None,
    platform: str = sys.platform,
) -> str:
    # How far it got means something only where the percentage counts work done.
    at = " at %d%%" % percent if percent is not None and phase in (Phase.ERASE, Phase.UPLOAD) else ""
    failed = "%s failed%s" % (phase.value.capitalize(), at)
    state = _device_state(phase)
    if status == Status.CANCELLED:
        return "Cancelled during %s%s (status %d). %s" % (phase.value, at, status, state)
    if status == Status.NOT_FOUND:
        text = "No device answered on COM1 to COM7 (status %d). Tried: %s. " % (status, ports_text(platform))
        if platform != "win32":
            text += (
                "If the device is on another path (a USB adapter is often /dev/ttyUSB0 or /dev/ttyACM0), "
                "set %s<n>=PATH to make it COMn; " % PORT_VARIABLE
            )
        return text + "check that the device is powered and connected and that no other program holds its port."
    if status == Status.IMAGE_OPEN:
        return (
            "%s: the library could not read the image %s (status %d). Check that it still exists, is "
            "readable and is not empty." % (failed, image if image is not None else "", status)
        )
    if status == Status.WRITE:
        return (
            "%s: writing to the port failed (status %d); the adapter may have been unplugged or the port taken "
            "away. Check the connection. %s" % (failed, status, state)
        )
    if status == Status.TIMEOUT:
        if phase == Phase.RESTART:
            return "%s: the device did not confirm the restart command within %d s (status %d). %s" % (
                failed,
                REPLY_TIMEOUT_S,
                status,
                state,
            )
        return "%s: the device stopped answering (no reply within %d s, status %d). Check its power and cable. %s" % (
            failed,
            REPLY_TIMEOUT_S,
            status,
            state,
        )
    if status == Status.CRC:
        return (
            "%s: a reply from the device arrived damaged (CRC error, status %d). The line may be noisy or not "
            "at 19200 baud: check the cable. %s" % (failed, status, state)
        )
    if status == Status.PORT_NOT_OPEN:
        return "%s: the device is not open (status %d); open it with kormelt.open() first." % (failed, status)
    return "%s: the library returned a status this binding does not know (status %d). %s" % (failed, status, state)


def error_for(
    phase: Phase, status: int, percent: Optional[int] = None, image: Optional[str] = None
) -> KormeltError:
    """The exception for a failed call."""
    kind = EXCEPTIONS.get(status, KormeltError)
    return kind(failure_message(phase, status, percent, image), status, phase, percent)
