"""The library's calls in Python's habits: exceptions for statuses, a
context manager for the open port, a progress callable that may cancel, and
Ctrl-C that cancels instead of being lost inside the library."""

from __future__ import annotations

import contextlib
import gc
import os
import signal
import sys
import threading
import time
import warnings
from types import FrameType
from typing import Any, Callable, Iterator, List, Optional, Tuple

from kormelt._errors import ImageError, Phase, PortBusy, Status, error_for, port_path
from kormelt._facts import SEARCH_FIRST_PORT, SEARCH_PERCENT_STEP
from kormelt._image import CheckResult, PathLike, inspect_file
from kormelt._library import ProgressFunction, library

Progress = Callable[[Phase, int], Optional[bool]]

CANCEL = 1  # what the library's callback returns to stop the running call
GO_ON = 0

# The library runs one call at a time.
_call_lock = threading.Lock()
_call_thread: Optional[int] = None  # ident of the thread in a call
# It has one port slot, which a session holds from open() to close(); a
# second open() waits for it, so one session never closes another's port.
# A plain Lock, because the collector may end a session in any thread.
_port_lock = threading.Lock()
_holder: Optional["_Session"] = None  # the session that holds the slot
# A Device collected during another library call could not close its port;
# the next open() does, before its search.
_port_left_open = False


def _library_path(path: PathLike) -> bytes:
    """path as the library's file functions take it: 8-bit characters, in
    the ANSI code page on Windows."""
    raw = os.fspath(path)
    if isinstance(raw, bytes):
        data = raw
    elif sys.platform == "win32":
        try:
            data = raw.encode("mbcs", "strict")
        except UnicodeEncodeError:
            raise ValueError("%r cannot be given to the library: it has characters outside the ANSI code page" % raw)
    else:
        data = os.fsencode(raw)
    # The library sees a C string: a NUL would cut the path short silently.
    if b"\0" in data:
        raise ValueError("%r cannot be given to the library: it contains a NUL character" % raw)
    return data


@contextlib.contextmanager
def _library_call() -> Iterator[None]:
    """Holds the library for one call. A progress callable that calls the
    library itself would wait for its own call to end: it gets an error."""
    global _call_thread
    if _call_thread == threading.get_ident():
        raise RuntimeError("the KORMELT library is busy with a call on this thread: a progress callable cannot call it")
    with _call_lock:
        _call_thread = threading.get_ident()
        try:
            yield
        finally:
            _call_thread = None


class _Call:
    """One library call with a progress callback: the ctypes function object,
    which lives as long as this record and so for the whole call, and what
    happened in the reports."""

    def __init__(self, phase: Phase, progress: Optional[Progress]) -> None:
        self.phase = phase
        self.progress = progress
        self.percent: Optional[int] = None
        self.stop_asked = False  # the progress callable returned False
        self.error: Optional[BaseException] = None  # what it raised
        self.interrupted = False  # SIGINT arrived during the call
        # The call's start or its last report, and how long the call ran
        # after it: a timeout well short of the reply timeout is a line that
        # failed, not a silent device.
        self.reported_at = time.monotonic()
        self.exchange_seconds: Optional[float] = None
        self.function: Optional[Any] = ProgressFunction(self._report)

    def _report(self, percent: int) -> int:
        # Runs inside the library: nothing may escape, or ctypes would print
        # it, return 0 and let the call go on.
        try:
            self.percent = percent
            self.reported_at = time.monotonic()
            if self.interrupted or self.stop_asked or self.error is not None:
                return CANCEL
            if self.progress is not None and self.progress(self.phase, percent) is False:
                self.stop_asked = True
                return CANCEL
            return CANCEL if self.interrupted else GO_ON
        except BaseException as error:  # noqa: B902 - KeyboardInterrupt and SystemExit must not vanish either
            self.error = error
            return CANCEL

    def on_sigint(self, signum: int, frame: Optional[FrameType]) -> None:
        self.interrupted = True

    def raise_pending(self, status: int) -> None:
        """After the library has returned with status: Ctrl-C first, then
        what the progress callable raised."""
        if self.interrupted:
            raise KeyboardInterrupt
        if self.error is not None:
            error, self.error = self.error, None
            # At a final report of 100 the call cannot be cancelled any more.
            if status == Status.CANCELLED and hasattr(error, "add_note"):
                error.add_note("The %s was cancelled because the progress callable raised this." % self.phase)
            raise error


def _run(call: _Call, function: Callable[..., int], *arguments: Any) -> int:
    """function(*arguments, callback) under the call lock, with Ctrl-C held
    back to the next report of progress."""
    with _library_call():
        # A Python signal handler runs only in the main thread, and Python's
        # own raises KeyboardInterrupt wherever the interpreter is: inside the
        # callback, where it would be lost. While the call runs, SIGINT only
        # marks it, and the next report cancels. A handler the application
        # installed itself is left alone.
        takes_over = (
            threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler
        )
        if takes_over:
            signal.signal(signal.SIGINT, call.on_sigint)
        try:
            call.reported_at = time.monotonic()
            status = function(*arguments, call.function)
            call.exchange_seconds = time.monotonic() - call.reported_at
        finally:
            if takes_over:
                signal.signal(signal.SIGINT, signal.default_int_handler)
            # The library reports only during its call. Dropping the function
            # object now frees the progress callable at once, not at the next
            # collection of the cycle through the bound method.
            call.function = None
    call.raise_pending(status)
    return status


def check(path: PathLike) -> bool:
    """The library's check: True when the image file ends with the correct
    CRC of the rest; False when it does not, or cannot be opened. A file of
    the trailer alone passes it, holding no firmware: check_result() and
    update() refuse that one too."""
    data = _library_path(path)
    lib = library()
    with _library_call():
        status: int = lib.check_crc(data)
    return status == Status.OK


def check_result(path: PathLike) -> CheckResult:
    """The check of check() with its findings: the stored and the computed
    CRC, and a sentence on why a file was refused."""
    data = _library_path(path)
    lib = library()
    with _library_call():
        status = lib.check_crc(data)
    return inspect_file(path, status)


class _Session:
    """One open() to its close(): who holds the port slot, for the message
    of an open() that waits in vain."""

    def __init__(self, thread: threading.Thread, where: str) -> None:
        self.thread = thread
        self.thread_name = thread.name
        self.thread_ident = thread.ident
        self.where = where
        self.com: Optional[int] = None  # known once the search has found the device

    def describe(self) -> str:
        opened = " at %s" % self.where if self.where else ""
        if self.com is None:
            return "thread %r (ident %s) is searching for the device (kormelt.open()%s)" % (
                self.thread_name,
                self.thread_ident,
                opened,
            )
        return "the device on COM%d, opened by thread %r (ident %s)%s, is not closed yet" % (
            self.com,
            self.thread_name,
            self.thread_ident,
            opened,
        )


def _caller_site() -> str:
    """file:line of the application's call into this module, so that a
    waiting open() can say where the port's holder was opened."""
    getframe = getattr(sys, "_getframe", None)
    if getframe is None:
        return ""  # a Python without frame access: the holder goes without a place
    frame: Optional[FrameType] = getframe(1)
    while frame is not None and frame.f_globals is globals():
        frame = frame.f_back
    return "%s:%d" % (frame.f_code.co_filename, frame.f_lineno) if frame is not None else ""


def _busy_error(holder: Optional[_Session], timeout: float) -> PortBusy:
    who = holder.describe() if holder is not None else "another thread's device is not closed yet"
    message = (
        "kormelt.open() waited %g s for the library's one port and gave up: %s. Close that device, or give "
        "open() a longer timeout." % (timeout, who)
    )
    if holder is None:
        return PortBusy(message, timeout, None, None, "", None)
    return PortBusy(message, timeout, holder.thread_name, holder.thread_ident, holder.where, holder.com)


def _claim_port(timeout: Optional[float]) -> _Session:
    global _holder
    if timeout is not None and timeout < 0:
        raise ValueError("timeout must be None (wait for ever) or a number of seconds >= 0, not %r" % timeout)
    me = threading.current_thread()
    if not _port_lock.acquire(blocking=False):
        # The holder may be a Device that nothing references any more but a
        # reference cycle: collecting it now ends its session.
        gc.collect()
        if not _port_lock.acquire(blocking=False):
            holder = _holder
            if holder is not None and holder.thread is me:
                opened = " (kormelt.open() at %s)" % holder.where if holder.where else ""
                raise RuntimeError(
                    "a device is already open in this thread%s; the library has one port, so close that one first"
                    % opened
                )
            if timeout is None:
                _port_lock.acquire()
            elif not _port_lock.acquire(timeout=min(timeout, threading.TIMEOUT_MAX)):
                raise _busy_error(_holder or holder, timeout)
    session = _Session(me, _caller_site())
    _holder = session
    return session


def _release_port(session: _Session) -> None:
    global _holder
    if _holder is session:
        _holder = None
        _port_lock.release()


def _end_dropped(session: _Session, lib: Any) -> bool:
    """Ends the session of a Device collected while open, wherever the
    collector runs it: in any thread, during another library call, at
    interpreter exit. Closes the port when the library is free at once, else
    leaves that to the next open(); True when it closed it. Never waits and
    never raises."""
    global _port_left_open
    closed = False
    try:
        # Waiting here could wait for this very thread: the collector may
        # run inside a call, even inside its progress report.
        if _call_lock.acquire(blocking=False):
            try:
                lib.close()  # always 0
                closed = True
            finally:
                _call_lock.release()
    except Exception:  # noqa: B902 - at interpreter exit, parts of the binding may be gone already
        pass  # the port then stays open until the process ends, which closes it
    try:
        if not closed:
            _port_left_open = True
        _release_port(session)
    except Exception:  # noqa: B902 - as above
        pass  # nothing may escape a finaliser
    return closed


_FROM_OPEN = object()  # a Device holds the port slot that open() claimed for it


class Device:
    """The device found by open(), on the port the library keeps open until
    close(). Use it in a with statement: the port is closed on every path."""

    def __init__(self, com: int, key: object = None, session: Optional[_Session] = None) -> None:
        if key is not _FROM_OPEN or session is None:
            raise TypeError("a kormelt.Device comes from kormelt.open()")
        self._session = session
        self._lib = library()  # kept for __del__, which may run when module names are gone
        self.com = com
        session.com = com
        self._open = True
        # The path the library opened as COMn, where it maps ports to paths.
        self.port = None if sys.platform == "win32" else port_path(com)

    @property
    def closed(self) -> bool:
        return not self._open

    def _refuse_if_closed(self, phase: Phase) -> None:
        # The library's slot may hold another session's port by now.
        if not self._open:
            raise error_for(phase, Status.PORT_NOT_OPEN)

    def erase(self, progress: Optional[Progress] = None) -> None:
        """Erases the flash blocks (11, 10, 9, 8, 7, 6, 0); progress gets
        Phase.ERASE and 0, 14, ... 84, then 100."""
        self._refuse_if_closed(Phase.ERASE)
        call = _Call(Phase.ERASE, progress)
        status = _run(call, library().erase)
        if status != Status.OK:
            raise error_for(
                Phase.ERASE, status, call.percent, exchange_seconds=call.exchange_seconds, port=self.port
            )

    def program(self, path: PathLike, progress: Optional[Progress] = None) -> None:
        """Uploads the image file in 128-byte packets from address 0;
        progress gets Phase.UPLOAD and the share sent so far, then 100."""
        self._refuse_if_closed(Phase.UPLOAD)
        data = _library_path(path)
        call = _Call(Phase.UPLOAD, progress)
        status = _run(call, library().program, data)
        if status != Status.OK:
            raise error_for(
                Phase.UPLOAD,
                status,
                call.percent,
                os.fsdecode(os.fspath(path)),
                exchange_seconds=call.exchange_seconds,
                port=self.port,
            )

    def restart(self) -> None:
        """Tells the device to start its new firmware."""
        self._refuse_if_closed(Phase.RESTART)
        lib = library()
        with _library_call():
            started = time.monotonic()
            status = lib.restart()
            exchange_seconds = time.monotonic() - started
        if status != Status.OK:
            raise error_for(Phase.RESTART, status, exchange_seconds=exchange_seconds, port=self.port)

    def close(self) -> None:
        """Closes the port; again is harmless."""
        if not self._open:
            return
        self._open = False
        try:
            lib = library()
            with _library_call():
                lib.close()  # always 0
        finally:
            _release_port(self._session)

    def __enter__(self) -> "Device":
        return self

    def __del__(self) -> None:
        # Left open, the session would hold the port slot for good and every
        # later open() would wait for it.
        if not getattr(self, "_open", False):
            return
        described = repr(self)
        self._open = False
        if _end_dropped(self._session, self._lib):
            what = "its port is closed now"
        else:
            what = "a library call was running, so the next kormelt.open() closes its port"
        # Last, since a warnings filter may turn this into an exception,
        # which the application then asked for.
        try:
            warnings.warn("%s was never closed; %s" % (described, what), ResourceWarning, source=self)
        except Warning:
            raise
        except Exception:  # noqa: B902 - at interpreter exit the warnings machinery may be gone already
            pass

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        where = "COM%d" % self.com + (" (%s)" % self.port if self.port else "")
        return "<kormelt.Device on %s, %s>" % (where, state)


def open(progress: Optional[Progress] = None, *, timeout: Optional[float] = None) -> Device:
    """Searches COM1 to COM7 for the device and returns it with its port
    open; progress gets Phase.SEARCH and 0, 12, ... per port tried.
    Raises NotFound when no port has the device.

    The library has one port: while a Device is open, open() in another
    thread waits until it is closed, for ever when timeout is None, else up
    to timeout seconds, then raises PortBusy (a TimeoutError) naming the
    thread that holds the port and where it called open(). In the thread
    that holds it, open() raises RuntimeError at once. A Device collected
    without close() has its port closed and warns with ResourceWarning."""
    global _port_left_open
    lib = library()
    session = _claim_port(timeout)
    try:
        if _port_left_open:
            with _library_call():
                lib.close()
            _port_left_open = False
        call = _Call(Phase.SEARCH, progress)
        status = _run(call, lib.open)
        if status != Status.OK:
            raise error_for(Phase.SEARCH, status, call.percent, exchange_seconds=call.exchange_seconds)
    except BaseException:
        # A failed or cancelled search leaves no port open; a Ctrl-C after
        # a successful one must not leave the port held either.
        try:
            with _library_call():
                lib.close()
        finally:
            _release_port(session)
        raise
    last = call.percent if call.percent is not None else 0
    return Device(SEARCH_FIRST_PORT + last // SEARCH_PERCENT_STEP, _FROM_OPEN, session)


def update(path: PathLike, progress: Optional[Progress] = None, *, timeout: Optional[float] = None) -> None:
    """A whole firmware update, in this order: check the image, find the
    device, erase, upload, restart. A bad image stops it before anything is
    sent; the port is closed on every path. A progress callable that
    returns False, even at a phase's final report of 100, stops it before
    the next phase. timeout is open()'s: how long to wait for a device that
    another thread holds open, None for ever."""
    result = check_result(path)
    if not result:
        raise ImageError(result.message + " Nothing was sent to the device.", result.status, Phase.CHECK, None, result)

    stopped: List[Tuple[Phase, int]] = []

    def report(phase: Phase, percent: int) -> Optional[bool]:
        answer = progress(phase, percent) if progress is not None else None
        if answer is False:
            stopped.append((phase, percent))
        return answer

    def stop_if_asked() -> None:
        if stopped:
            phase, percent = stopped[-1]
            raise error_for(phase, Status.CANCELLED, percent)

    with open(report, timeout=timeout) as device:
        device.erase(report)
        stop_if_asked()
        device.program(path, report)
        stop_if_asked()
        device.restart()

