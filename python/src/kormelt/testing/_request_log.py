"""The simulator's request log: one JSON object per line, one line per frame
received (tools/sim/request_log.h describes the format). This is the one
reader of it in Python; it uses nothing but the standard library, so the
command-line tests load it from the tree by its path."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import List, Optional


@dataclass(frozen=True)
class Request:
    """One frame the simulated device received. number counts every frame
    from 1 (the fault options name requests by it); kind is identify, erase,
    program, restart or unknown for a good request, bad-crc, short or
    overlong for one that did not decode; payload holds its bytes."""

    kind: str
    payload: bytes
    number: int = 0

    @property
    def block(self) -> int:
        """The block of an erase request."""
        return self.payload[1]

    @property
    def address(self) -> int:
        """The device address of a program request."""
        return int.from_bytes(self.payload[1:5], "little")

    @property
    def data(self) -> bytes:
        """The 128 data bytes of a program request."""
        return self.payload[5:]


def parse_request_line(line: str) -> Optional[Request]:
    """One log line, or None when it is not a line of the log's format."""
    try:
        record = json.loads(line)
        kind, hex_bytes, number = record["kind"], record["bytes"], record["n"]
        if not isinstance(kind, str) or not isinstance(hex_bytes, str) or not isinstance(number, int):
            return None
        return Request(kind, bytes.fromhex(hex_bytes), number)
    except (ValueError, KeyError, TypeError):
        return None


def read_request_log(text: str) -> List[Request]:
    """Every complete line of a log's text, in order. A last line without its
    newline is still being written and is left out; so is anything that is
    not a line of the format."""
    requests = []
    for line in text.split("\n")[:-1]:
        request = parse_request_line(line)
        if request is not None:
            requests.append(request)
    return requests
