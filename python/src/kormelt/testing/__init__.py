"""A simulated device for tests: kormelt-sim on a pseudo-terminal, with the
library's port search pointed at it.

    from kormelt.testing import SimulatedDevice, Faults

    with SimulatedDevice(faults=Faults(silent_from=2)) as sim:
        ...  # kormelt.open() finds the device on COM1
        sim.requests()  # what the device received so far

The pytest plugin of this package adds the fixture kormelt_device.
"""

from __future__ import annotations

import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import field, make_dataclass
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from kormelt._facts import NO_PORT_PATH, PORT_NAME_VARIABLE, SEARCH_FIRST_PORT, SEARCH_LAST_PORT
from kormelt.testing._child import stop_child
from kormelt.testing._request_log import Request, read_request_log

SIMULATOR_VARIABLE = "KORMELT_SIM"
SIMULATOR_NAME = "kormelt-sim"
# Opening this fails at once: a port that is not the simulator is never one
# of the machine's real serial ports.
NO_PORT = NO_PORT_PATH
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 10.0
DUMP_TIMEOUT_S = 10.0
POLL_INTERVAL_S = 0.01

NATIVE_DIR = Path(__file__).resolve().parent.parent / "_native"


class SimulatorError(RuntimeError):
    """kormelt-sim cannot be found, started or asked for its flash."""


FAULT_TABLE = Path(__file__).resolve().parent / "_faults.json"
# What a Faults field of each kind of simulator option holds, and its
# default, which leaves the option out.
_FIELD_KINDS = {
    "request": (int, 0),  # a request number K, 0 for off
    "milliseconds": (int, 0),
    "flag": (bool, False),
    "text": (Optional[str], None),
    "length": (Optional[int], None),
}


def _fault_table() -> List[Dict[str, str]]:
    """The simulator's misbehaviour options as it lists them (kormelt-sim
    --list-faults), written into the package when the wheel is built; empty
    in a package without the simulator."""
    try:
        with open(FAULT_TABLE) as f:
            table: List[Dict[str, str]] = json.load(f)
    except FileNotFoundError:
        return []
    unknown = [row["kind"] for row in table if row["kind"] not in _FIELD_KINDS]
    if unknown:
        raise SimulatorError("%s lists options of kinds this package does not know: %s" % (FAULT_TABLE, unknown))
    return table


_FAULTS = _fault_table()


def _arguments(self: "Faults") -> List[str]:
    """The simulator's command-line options for these faults."""
    args: List[str] = []
    for row in _FAULTS:
        value = getattr(self, row["name"])
        if value == _FIELD_KINDS[row["kind"]][1]:
            continue
        args += [row["option"]] if row["kind"] == "flag" else [row["option"], str(value)]
    return args


Faults = make_dataclass(
    "Faults",
    [(row["name"], _FIELD_KINDS[row["kind"]][0], field(default=_FIELD_KINDS[row["kind"]][1])) for row in _FAULTS],
    frozen=True,
    namespace={"arguments": _arguments},
)
Faults.__module__ = __name__
Faults.__doc__ = "How the simulated device misbehaves, one keyword per option of kormelt-sim. Requests are " \
    "numbered from 1 in the order they arrive, every frame counted (the identify request of the search is 1, " \
    "the first erase 2); 0 switches an option off.\n\n" + "\n".join(
        "%s (%s): %s" % (row["name"], row["option"], row["help"]) for row in _FAULTS
    )


def find_simulator() -> str:
    """kormelt-sim: the one in $KORMELT_SIM, else the one inside the
    package, else the first on PATH."""
    chosen = os.environ.get(SIMULATOR_VARIABLE, "")
    if chosen:
        if not os.access(chosen, os.X_OK):
            raise SimulatorError("%s=%s is not an executable file" % (SIMULATOR_VARIABLE, chosen))
        return chosen
    bundled = NATIVE_DIR / SIMULATOR_NAME
    if os.access(bundled, os.X_OK):
        return str(bundled)
    found = shutil.which(SIMULATOR_NAME)
    if found:
        return found
    raise SimulatorError(
        "%s not found: not in %s, not inside the package (%s), not on PATH"
        % (SIMULATOR_NAME, SIMULATOR_VARIABLE, bundled)
    )


# The ports of the search, shared by every simulated device of the process.
_ports_lock = threading.Lock()
_attached: Dict[int, "SimulatedDevice"] = {}
_saved_environment: Dict[str, Optional[str]] = {}


def _port_variable(n: int) -> str:
    return "%s%d" % (PORT_NAME_VARIABLE, n)


def _point_ports() -> None:
    """COMn at the simulated device attached there, every other port at a
    path that cannot exist. Call with _ports_lock held."""
    if not _saved_environment:
        for n in range(SEARCH_FIRST_PORT, SEARCH_LAST_PORT + 1):
            _saved_environment[_port_variable(n)] = os.environ.get(_port_variable(n))
    for n in range(SEARCH_FIRST_PORT, SEARCH_LAST_PORT + 1):
        device = _attached.get(n)
        os.environ[_port_variable(n)] = device.path if device is not None else NO_PORT


def _restore_ports() -> None:
    """The port variables as they were before the first device. Call with
    _ports_lock held."""
    for name, value in _saved_environment.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value
    _saved_environment.clear()


class SimulatedDevice:
    """kormelt-sim as a child process, found by the library's search as COM
    com (COM1 by default) while every other searched port leads nowhere.
    paced runs the line at its real rate, 19200 baud; faults makes the
    device misbehave. A context manager: the simulator is stopped and the
    port variables restored on every path out."""

    def __init__(
        self,
        paced: bool = False,
        faults: Optional[Faults] = None,
        com: int = 1,
        simulator: Optional[str] = None,
    ) -> None:
        if not SEARCH_FIRST_PORT <= com <= SEARCH_LAST_PORT:
            raise ValueError(
                "com must be %d to %d, the ports the library searches" % (SEARCH_FIRST_PORT, SEARCH_LAST_PORT)
            )
        self.paced = paced
        self.faults = faults if faults is not None else Faults()
        self.com = com
        self.simulator = simulator
        self.path = ""  # the pseudo-terminal the library opens, once started
        self._process: Optional["subprocess.Popen[bytes]"] = None
        self._dir: Optional["tempfile.TemporaryDirectory[str]"] = None
        self._final: Optional[Tuple[bytes, List[Request]]] = None
        self.returncode: Optional[int] = None

    @property
    def running(self) -> bool:
        return self._process is not None

    def start(self) -> "SimulatedDevice":
        if sys.platform == "win32":
            raise SimulatorError("the simulated device runs on a pseudo-terminal, which Windows does not have")
        if self._process is not None or self._final is not None:
            raise SimulatorError("a SimulatedDevice starts once")
        program = self.simulator or find_simulator()
        self._dir = tempfile.TemporaryDirectory(prefix="kormelt-sim-")
        command = [program, "--dump", self._dump_path, "--log", self._log_path]
        if self.paced:
            command.append("--paced")
        command += self.faults.arguments()
        with _ports_lock:
            if self.com in _attached:
                self._dir.cleanup()
                raise SimulatorError("COM%d already leads to another simulated device" % self.com)
            with open(self._stderr_path, "wb") as stderr:
                self._process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr)
            try:
                self.path = self._read_path()
            except BaseException:
                self._end_process()
                self._dir.cleanup()
                raise
            _attached[self.com] = self
            _point_ports()
        return self

    def _read_path(self) -> str:
        assert self._process is not None and self._process.stdout is not None
        ready, _, _ = select.select([self._process.stdout], [], [], START_TIMEOUT_S)
        line = self._process.stdout.readline().decode(errors="replace").strip() if ready else ""
        if not line:
            raise SimulatorError("%s printed no pseudo-terminal path: %s" % (SIMULATOR_NAME, self._stderr().strip()))
        return line

    def stop(self) -> int:
        """Stops the simulator (it writes its flash and log as it goes) and
        points the ports back; returns its exit status. Harmless when
        stopped already."""
        if self._process is None:
            return self.returncode if self.returncode is not None else 0
        with _ports_lock:
            if _attached.get(self.com) is self:
                del _attached[self.com]
            if _attached:
                _point_ports()
            else:
                _restore_ports()
        try:
            self.returncode = self._end_process()
            self._final = (self._read_dump(), self._read_log())
        finally:
            if self._dir is not None:
                self._dir.cleanup()
        return self.returncode

    def _end_process(self) -> int:
        process, self._process = self._process, None
        assert process is not None
        code = stop_child(process, STOP_TIMEOUT_S)
        if process.stdout is not None:
            process.stdout.close()
        return code

    def flash(self) -> bytes:
        """The device's flash from address 0 to the end of the highest byte
        programmed; holes hold 0xFF. While the simulator runs it is asked
        for a fresh copy; after stop() the copy from its end."""
        if self._final is not None:
            return self._final[0]
        process = self._require_running()
        before = self._dump_identity()
        process.send_signal(signal.SIGUSR1)
        deadline = time.monotonic() + DUMP_TIMEOUT_S
        # The simulator writes the dump to a new file and renames it.
        while self._dump_identity() == before:
            if process.poll() is not None or time.monotonic() > deadline:
                raise SimulatorError("%s wrote no flash dump: %s" % (SIMULATOR_NAME, self._stderr().strip()))
            time.sleep(POLL_INTERVAL_S)
        return self._read_dump()

    def requests(self) -> List[Request]:
        """Every request received so far, in order."""
        if self._final is not None:
            return list(self._final[1])
        self._require_running()
        return self._read_log()

    def _require_running(self) -> "subprocess.Popen[bytes]":
        if self._process is None:
            raise SimulatorError("the simulated device is not started")
        return self._process

    @property
    def _dump_path(self) -> str:
        assert self._dir is not None
        return os.path.join(self._dir.name, "flash.bin")

    @property
    def _log_path(self) -> str:
        assert self._dir is not None
        return os.path.join(self._dir.name, "requests.log")

    @property
    def _stderr_path(self) -> str:
        assert self._dir is not None
        return os.path.join(self._dir.name, "stderr.txt")

    def _dump_identity(self) -> Optional[Tuple[int, int]]:
        try:
            status = os.stat(self._dump_path)
        except FileNotFoundError:
            return None
        return status.st_ino, status.st_mtime_ns

    def _read_dump(self) -> bytes:
        try:
            with open(self._dump_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def _read_log(self) -> List[Request]:
        try:
            with open(self._log_path) as f:
                text = f.read()
        except FileNotFoundError:
            return []
        return read_request_log(text)

    def _stderr(self) -> str:
        try:
            with open(self._stderr_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def __enter__(self) -> "SimulatedDevice":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        return "<SimulatedDevice COM%d %s>" % (self.com, self.path or "(not started)")


__all__ = [
    "Faults",
    "NO_PORT",
    "Request",
    "SimulatedDevice",
    "SimulatorError",
    "find_simulator",
    "read_request_log",
]
