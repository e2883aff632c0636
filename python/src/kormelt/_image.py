"""Image files: the firmware byte for byte from device address 0, followed by
the CRC of those bytes, high byte first."""

from __future__ import annotations

import binascii
import os
import stat
from dataclasses import dataclass
from typing import Optional, Union

from kormelt._facts import CRC_TRAILER_BYTES, IMAGE_FILE_MIN_BYTES, Status
from kormelt._text import fill

CRC_INIT = 0xAAAA
READ_CHUNK_BYTES = 1 << 20
# The binding's words where the tool, saying the same sentence, has its own.
SEAL = "kormelt.seal() or 'kormelt seal'"

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def crc16(data: bytes, crc: int = CRC_INIT) -> int:
    """The image and frame CRC: polynomial 0x1021, most significant bit
    first, started from 0xAAAA, no final XOR. Pass the result back as crc to
    go on over more data."""
    # crc_hqx is this CRC with the start value left to the caller.
    return binascii.crc_hqx(data, crc)


def seal(firmware: bytes) -> bytes:
    """The image of firmware: its bytes and their CRC, high byte first."""
    return bytes(firmware) + crc16(firmware).to_bytes(CRC_TRAILER_BYTES, "big")


@dataclass(frozen=True)
class CheckResult:
    """What the check found in an image file. ok says whether it is an
    image to upload: the library's check passed and firmware precedes the
    trailer (a file of the trailer alone passes the CRC check, the CRC of
    nothing being the two bytes AA AA). status is the library's code (0, 15,
    or -1 when it cannot open the file). stored_crc is the file's last two
    bytes, computed_crc the CRC of the bytes before them; both None when the
    file cannot be read or is shorter than the trailer. size is None when
    the file cannot be read."""

    path: str
    status: int
    size: Optional[int]
    stored_crc: Optional[int]
    computed_crc: Optional[int]
    read_error: Optional[str] = None

    @property
    def ok(self) -> bool:
        return self.status == Status.OK and (self.size is None or self.size >= IMAGE_FILE_MIN_BYTES)

    def __bool__(self) -> bool:
        return self.ok

    @property
    def message(self) -> str:
        """Why the check refused the file; "" when it passed."""
        if self.ok:
            return ""
        if self.size is None:
            return "Cannot read %s: %s. Check the file name and that the file is readable." % (
                self.path,
                self.read_error or "unknown error",
            )
        if self.size == 0:
            return fill("image_empty", path=self.path, trailer_bytes=CRC_TRAILER_BYTES, seal=SEAL)
        if self.stored_crc is None or self.computed_crc is None:
            return fill("image_single_byte", path=self.path, trailer_bytes=CRC_TRAILER_BYTES, seal=SEAL)
        if self.size < IMAGE_FILE_MIN_BYTES:
            return fill(
                "image_no_firmware",
                path=self.path,
                trailer_bytes=CRC_TRAILER_BYTES,
                empty_crc="0x%04X" % crc16(b""),
                seal=SEAL,
            )
        if self.status == Status.FILE_CHECK_OPEN_FAILED:
            return fill(
                "image_check_open",
                source="%s although it is readable now" % self.path,
                status=self.status,
                again="check it again",
            )
        if self.stored_crc == self.computed_crc:
            # Read here after the library read it: what it refused was other bytes.
            return "%s changed while it was being checked; check it again." % self.path
        text = fill(
            "image_crc",
            path=self.path,
            stored="0x%04X" % self.stored_crc,
            data_bytes=self.size - CRC_TRAILER_BYTES,
            computed="0x%04X" % self.computed_crc,
        )
        swapped = (self.stored_crc << 8 | self.stored_crc >> 8) & 0xFFFF
        if swapped == self.computed_crc:
            return text + " " + fill("image_crc_swapped")
        return text + " " + fill("image_crc_unsealed", seal=SEAL)


def _kind_of(mode: int) -> str:
    """What a path that is no regular file is, in the tool's words."""
    for test, words in (
        (stat.S_ISDIR, "a directory"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISSOCK, "a socket"),
    ):
        if test(mode):
            return words
    return "a special file"


def inspect_file(path: PathLike, status: int) -> CheckResult:
    """The findings for path, given the library's status for it. The CRC
    of the bytes before the trailer is computed only when the library
    refused the file: for a file that passed it equals the stored one."""
    name = os.fsdecode(os.fspath(path))
    try:
        # As the library does: opened without blocking (a FIFO without a
        # writer would wait for ever) and judged by its descriptor, so only
        # a regular file is read.
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0))
        try:
            kind = os.fstat(fd).st_mode
            if not stat.S_ISREG(kind):
                return CheckResult(name, status, None, None, None, "not a regular file but " + _kind_of(kind))
            if hasattr(os, "O_NONBLOCK"):
                os.set_blocking(fd, True)
            f = os.fdopen(fd, "rb")
        except BaseException:
            os.close(fd)
            raise
        with f:
            size = os.fstat(f.fileno()).st_size
            if size < CRC_TRAILER_BYTES:
                return CheckResult(name, status, size, None, None)
            if status == 0:
                f.seek(size - CRC_TRAILER_BYTES)
                stored = int.from_bytes(f.read(CRC_TRAILER_BYTES), "big")
                return CheckResult(name, status, size, stored, stored)
            crc = CRC_INIT
            held = b""  # the last two bytes seen so far, kept back from the CRC
            size = 0  # what was read, which is what the CRCs describe
            while True:
                chunk = f.read(READ_CHUNK_BYTES)
                if not chunk:
                    break
                size += len(chunk)
                data = held + chunk
                crc = crc16(data[:-CRC_TRAILER_BYTES], crc)
                held = data[-CRC_TRAILER_BYTES:]
    except OSError as error:
        return CheckResult(name, status, None, None, None, error.strerror or str(error))
    if len(held) < CRC_TRAILER_BYTES:  # the file shrank while it was read
        return CheckResult(name, status, size, None, None)
    return CheckResult(name, status, size, int.from_bytes(held, "big"), crc)
