"""The library's status codes as exceptions, each with a sentence that says
what happened and what to try next."""

from __future__ import annotations

import enum
import os
import sys
from typing import Dict, Optional, Type

from kormelt._facts import (
    ERASE_BLOCK_COUNT,
    ERASE_PERCENT_STEP,
    LINE_BAUD_RATE,
    PORT_NAME_FALLBACK,
    PORT_NAME_VARIABLE,
    PORT_URL_RFC2217,
    PORT_URL_SOCKET,
    REPLY_TIMEOUT_MS,
    SEARCH_FIRST_PORT,
    SEARCH_LAST_PORT,
    Status,
)
from kormelt._image import CheckResult
from kormelt._text import fill, searched_ports

MS_PER_S = 1000
# The binding's words where the tool, saying the same sentence, has its own.
AGAIN = "run the update again"
HOST = "binding"


class Phase(str, enum.Enum):
    """The steps of an update, in the order update() runs them."""

    CHECK = "check"
    SEARCH = "search"
    ERASE = "erase"
    UPLOAD = "upload"
    RESTART = "restart"

    def __str__(self) -> str:
        return self.value


class _Worded(Exception):
    """An exception that is a sentence: message holds it, and str() is the
    sentence alone, whatever built-in base (OSError, TimeoutError) stands
    beside this one."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        return self.message


class KormeltError(_Worded):
    """A library call failed. status is the library's code, phase the step
    that failed, percent the last progress that step reported (None before
    any report)."""

    def __init__(self, message: str, status: int, phase: Phase, percent: Optional[int] = None) -> None:
        super().__init__(message)
        self.status = status
        self.phase = phase
        self.percent = percent


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
    """No reply came (status 14): the device stayed silent for the reply
    timeout, or the line failed sooner; the message says which."""


class BadReplyCrc(KormeltError):
    """A reply arrived with a wrong CRC, or too long (status 15)."""


class PortNotOpen(KormeltError):
    """The device is closed (status 42)."""


class PortBusy(_Worded, TimeoutError):
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
        self.timeout = timeout
        self.thread_name = thread_name
        self.thread_ident = thread_ident
        self.where = where
        self.com = com


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
    value = (os.environ if environ is None else environ).get("%s%d" % (PORT_NAME_VARIABLE, n), "")
    return value or "%s%d" % (PORT_NAME_FALLBACK, n - 1)


def is_server(port: Optional[str]) -> bool:
    """Whether the library reaches this port over the network: a serial
    server's rfc2217:// or socket:// name."""
    return port is not None and port.startswith((PORT_URL_RFC2217, PORT_URL_SOCKET))


def ports_text(platform: str = sys.platform, environ: Optional[Dict[str, str]] = None) -> str:
    """COM1..COM7 and, where the library maps them to paths, each one's path."""
    if platform == "win32":
        return searched_ports()
    return ", ".join(
        "COM%d %s" % (n, port_path(n, environ)) for n in range(SEARCH_FIRST_PORT, SEARCH_LAST_PORT + 1)
    )


def _search_hint(platform: str) -> str:
    if platform == "win32":
        return fill("hint_windows", ports=searched_ports())
    return (
        "If the device is on another path (a USB adapter is often /dev/ttyUSB0 or /dev/ttyACM0), set "
        "%s<n>=PATH to make it COMn" % PORT_NAME_VARIABLE
    )


def _retry(phase: Phase, percent: Optional[int]) -> str:
    """What to do next and what the device holds meanwhile, after phase
    stopped at percent."""
    if phase == Phase.ERASE:
        erased = min(percent // ERASE_PERCENT_STEP, ERASE_BLOCK_COUNT) if percent is not None and percent > 0 else 0
        if erased == 0:
            return fill("retry_erase_none", again=AGAIN)
        return fill("retry_erase_some", again=AGAIN, erased=erased, blocks=ERASE_BLOCK_COUNT)
    if phase == Phase.UPLOAD:
        return fill("retry_upload", again=AGAIN)
    if phase == Phase.RESTART:
        return fill("retry_restart", again=AGAIN)
    return fill("retry_unchanged", again=AGAIN)


def failure_message(
    phase: Phase,
    status: int,
    percent: Optional[int] = None,
    image: Optional[str] = None,
    platform: str = sys.platform,
    exchange_seconds: Optional[float] = None,
    port: Optional[str] = None,
) -> str:
    """The tool's sentence for a failed call. exchange_seconds is how long
    the call ran since its last progress report, which tells a silent
    device (the whole reply timeout) from a line that failed at once; None
    when unknown. port is the open port's name, when known: on a serial
    server's a failed line is the network's."""
    # How far it got means something only where the percentage counts work done.
    counted = percent is not None and phase in (Phase.ERASE, Phase.UPLOAD)
    at = fill("at_percent", percent=percent) if counted else ""
    failed = fill("phase_failed", phase=phase.value, at=at)
    retry = _retry(phase, percent)
    timeout_s = REPLY_TIMEOUT_MS // MS_PER_S
    if status == Status.CANCELLED:
        return fill("cancelled", phase=phase.value, at=at, status=int(status), closed="", retry=retry)
    if status == Status.NOT_FOUND:
        return fill(
            "not_found",
            ports=searched_ports(),
            status=int(status),
            tried=ports_text(platform),
            hint=_search_hint(platform),
        )
    if status == Status.IMAGE_OPEN:
        return fill(
            "image_open",
            failed=failed,
            source="the image %s" % (image if image is not None else ""),
            status=int(status),
            advice="Check that it still exists, is readable and is not empty",
            again=AGAIN,
        )
    # The library waits REPLY_TIMEOUT_MS for each byte; a call that gave up
    # sooner met a line that failed, not a silent device.
    line_failed = status == Status.WRITE or (
        status == Status.TIMEOUT and exchange_seconds is not None and exchange_seconds * MS_PER_S < REPLY_TIMEOUT_MS
    )
    if line_failed and is_server(port):
        return fill("network_failed", failed=failed, url=port, status=int(status), retry=retry)
    if status == Status.WRITE:
        return fill("write", failed=failed, status=int(status), retry=retry)
    if status == Status.TIMEOUT:
        if line_failed:
            return fill(
                "timeout_line_failed", failed=failed, seconds="%.1f" % exchange_seconds, status=int(status), retry=retry
            )
        key = "timeout_restart" if phase == Phase.RESTART else "timeout_silent"
        return fill(key, failed=failed, timeout_s=timeout_s, status=int(status), retry=retry)
    if status == Status.CRC:
        return fill("crc", failed=failed, status=int(status), baud=LINE_BAUD_RATE, retry=retry)
    if status == Status.PORT_NOT_OPEN:
        return fill(
            "port_not_open",
            failed=failed,
            no_port="the device is not open",
            status=int(status),
            consequence="; open it with kormelt.open() first.",
        )
    return fill("unknown_status", failed=failed, host=HOST, status=int(status), retry=retry)


def error_for(
    phase: Phase,
    status: int,
    percent: Optional[int] = None,
    image: Optional[str] = None,
    exchange_seconds: Optional[float] = None,
    port: Optional[str] = None,
) -> KormeltError:
    """The exception for a failed call."""
    kind = EXCEPTIONS.get(status, KormeltError)
    message = failure_message(phase, status, percent, image, exchange_seconds=exchange_seconds, port=port)
    return kind(message, status, phase, percent)
