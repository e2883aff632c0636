#!/usr/bin/python3
"""End-to-end runs of the kormelt tool, as a subprocess, against the device
simulator kormelt-sim.

Usage: test_cli.py --kormelt PATH --sim PATH [--wine-exe PATH] [unittest arguments]

With --wine-exe, WineTest runs the Windows build of the tool under Wine
(loader in $KORMELT_WINE, prefix in $WINEPREFIX) with COM3 leading to the
simulator through the link $KORMELT_WINE_COM3.

Every run sets all seven KORMELT_COM<n> variables: ports without the
simulator point at a path that cannot exist, so a search never touches this
machine's serial ports and a missing port fails at once.
"""

import argparse
import contextlib
import errno
import fcntl
import importlib.util
import json
import os
import random
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

# The sentences and the image vectors the binding's tests read too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from shared_tables import IMAGE_VECTORS, Sentence  # noqa: E402

KORMELT = None
SIM = None
WINE_EXE = None

NO_PORT = "/dev/null/no-port"  # /dev/null is no directory: opening this fails at once
PACKET_BYTES = 128
ERASE_BLOCKS = [11, 10, 9, 8, 7, 6, 0]
RUN_TIMEOUT_S = 60
SIM_START_TIMEOUT_S = 5

EXIT_OK = 0
EXIT_OUTPUT = 1
EXIT_USAGE = 2
EXIT_IMAGE = 3
EXIT_SEARCH = 4
EXIT_ERASE = 5
EXIT_UPLOAD = 6
EXIT_RESTART = 7
EXIT_CANCELLED = 8
EXIT_SYSTEM = 9
EXIT_DOCTOR = 10

IMAGE_MAX_BYTES = 16 << 20  # firmware an image may hold; its file adds the 2-byte CRC
HEX_TEXT_MAX_BYTES = 64 << 20
REPLY_TIMEOUT_S = 3.0
AGAIN = "run flash again"  # the tool's words in the sentences it shares with the binding
SEAL = "'kormelt seal'"


def load_package_module(name):
    """A module of the Python package's testing helpers (kormelt/testing/<name>.py),
    loaded from the tree by its path: those it takes need nothing but the standard library."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "python", "src",
                        "kormelt", "testing", name + ".py")
    found = importlib.util.spec_from_file_location("kormelt" + name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module  # dataclasses look their module up there
    found.loader.exec_module(module)
    return module


request_log = load_package_module("_request_log")
terminate = load_package_module("_child").stop_child


def crc16(data):
    """The image CRC, bit by bit: polynomial 0x1021, initial 0xAAAA, MSB first."""
    reg = 0xAAAA
    for byte in data:
        reg ^= byte << 8
        for _ in range(8):
            reg = ((reg << 1) ^ 0x1021) if reg & 0x8000 else (reg << 1)
            reg &= 0xFFFF
    return reg


def sealed(data):
    return bytes(data) + crc16(data).to_bytes(2, "big")


def padded(image):
    """What the device holds after an upload: the last packet filled with 0xFF."""
    tail = -len(image) % PACKET_BYTES
    return bytes(image) + b"\xff" * tail


def random_bytes(count, seed):
    return random.Random(seed).randbytes(count)


def hex_record(address, record_type, data=b""):
    body = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, record_type]) + bytes(data)
    return ":" + (body + bytes([-sum(body) & 0xFF])).hex().upper()


HEX_EOF = ":00000001FF"


def tool_message(stderr):
    """The message of the tool's last line on stderr, without its name."""
    last = stderr.rstrip("\n").rsplit("\n", 1)[-1]
    prefix = "kormelt: "
    return last[len(prefix):] if last.startswith(prefix) else last


def port_env(scan_root=NO_PORT, **ports):
    """The environment with COM1..COM7 at NO_PORT, except those given (COM3='/dev/pts/4'), and the
    search for serial devices pointed at scan_root, by default at nothing, never at this machine's."""
    env = dict(os.environ)
    for n in range(1, 8):
        env["KORMELT_COM%d" % n] = ports.get("COM%d" % n, NO_PORT)
    env["KORMELT_SCAN_ROOT"] = scan_root
    return env


def kormelt(*args, env=None, timeout=RUN_TIMEOUT_S):
    return subprocess.run([KORMELT, *args], env=env if env is not None else port_env(), capture_output=True,
                          text=True, timeout=timeout)


def usb_adapter_sysfs(root, name, usb_device, acm=False, **attributes):
    """Makes sysfs under root tell of /dev/<name> what the kernel tells of a USB serial adapter plugged in at
    usb_device ("1-1.2": bus 1, hub port 1, then 2): the USB device with the attributes given (idVendor=...), its
    interface usb_device:1.0, the tty below it, and the relative links the kernel makes."""
    bus = "devices/pci0000:00/0000:00:14.0/usb1"
    device = "%s/%s" % (bus, usb_device)
    interface = "%s/%s:1.0" % (device, usb_device)
    parent = interface if acm else "%s/%s" % (interface, name)
    tty = "%s/tty/%s" % (parent, name)
    os.makedirs(os.path.join(root, "sys", tty), exist_ok=True)
    for key, value in attributes.items():
        with open(os.path.join(root, "sys", device, key), "w") as f:
            f.write(value + "\n")
    # The class entry may be a directory of an earlier test tree; the kernel's is a link.
    os.makedirs(os.path.join(root, "sys/class/tty"), exist_ok=True)
    os.symlink("../../" + tty, os.path.join(root, "sys/class/tty", name))
    os.symlink("../../../" + os.path.basename(parent), os.path.join(root, "sys", tty, "device"))


class SilentPort:
    """A pseudo-terminal whose far end never answers: the search waits out the reply timeout there."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        os.close(self.master)
        os.close(self.slave)


def set_columns(terminal, columns, rows=24):
    """Gives the terminal a window size; 0 columns is the size of a terminal that does not know its own."""
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", rows if columns else 0, columns, 0, 0))


def live_segments(text):
    """The texts the live view drew, each redraw on its own, without the final plain summary line."""
    return [segment for line in text.split("\n") if not line.startswith("done: ")
            for segment in line.split("\r") if segment]


def json_events(stdout):
    """Each line must be valid JSON on its own."""
    return [json.loads(line) for line in stdout.splitlines()]


def reap(process):
    """Kills the child if it still runs and closes its pipes: the end of every child a test starts, however the
    test went."""
    if process.poll() is None:
        process.kill()
        process.wait()
    for pipe in (process.stdout, process.stderr):
        if pipe:
            pipe.close()


class JsonLinesChild:
    """A kormelt command with --json as a child, read event by event, to act at a chosen moment."""

    def __init__(self, args, env, new_session=False):
        self.process = subprocess.Popen([KORMELT, *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, start_new_session=new_session)
        self.events = []

    def read_until(self, predicate, what):
        """Reads events until predicate(event) holds; returns that event."""
        for line in self.process.stdout:
            event = json.loads(line)
            self.events.append(event)
            if predicate(event):
                return event
        self.end()
        raise AssertionError("the run ended before %s: %r" % (what, self.events[-3:]))

    def end(self, act=None):
        """Calls act (which may signal the child), reads the rest; returns (exit code, stderr). The child is
        killed and its pipes closed however that ends."""
        try:
            if act is not None:
                act()
            self.events += [json.loads(line) for line in self.process.stdout]
            stderr = self.process.stderr.read()
            self.process.wait(timeout=RUN_TIMEOUT_S)
            return self.process.returncode, stderr
        finally:
            reap(self.process)


class Running(JsonLinesChild):
    """kormelt flash --json as a child, to signal it at a chosen moment."""

    def __init__(self, args, env):
        super().__init__(["flash", "--json", *args], env)

    def until(self, predicate):
        return self.read_until(predicate, "the awaited event")

    def finish(self, signal_number=None, delay=0.0):
        """Sends the signal after delay seconds, reads the rest; returns (exit code, stderr, seconds from the
        signal to the end)."""
        signalled = []

        def act():
            time.sleep(delay)
            signalled.append(time.monotonic())
            if signal_number is not None:
                self.process.send_signal(signal_number)

        code, stderr = self.end(act)
        return code, stderr, time.monotonic() - signalled[0]


class Simulator:
    """kormelt-sim as a child process, with its dump and log in a private directory."""

    def __init__(self, *options):
        self.dir = tempfile.TemporaryDirectory(prefix="kormelt-cli-sim-")
        self.dump_path = os.path.join(self.dir.name, "dump.bin")
        self.log_path = os.path.join(self.dir.name, "requests.log")
        self.process = subprocess.Popen([SIM, "--dump", self.dump_path, "--log", self.log_path, *options],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.path = self.process.stdout.readline().strip()
        if not self.path:
            self.stop()
            raise RuntimeError("kormelt-sim printed no path")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self.dir.cleanup()

    def stop(self):
        code = terminate(self.process, SIM_START_TIMEOUT_S)
        self.process.stdout.close()
        return code

    def dump(self):
        """The programmed bytes; stops the simulator, which writes them at its end."""
        self.stop()
        with open(self.dump_path, "rb") as f:
            return f.read()

    def log(self):
        """The requests received so far."""
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path) as f:
            return request_log.read_request_log(f.read())


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="kormelt-cli-")
        self.dir = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def file(self, name, content):
        path = os.path.join(self.dir, name)
        if isinstance(content, str):
            content = content.encode()
        with open(path, "wb") as f:
            f.write(content)
        return path

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def image(self, size, seed=1):
        data = random_bytes(size, seed)
        return self.file("image-%d.bin" % size, sealed(data)), sealed(data)


class UsageTest(unittest.TestCase):
    def test_bad_command_lines_give_the_usage_code(self):
        cases = [
            [],
            ["nonsense"],
            ["flash"],
            ["flash", "a.img", "--no-such-option"],
            ["flash", "a.img", "--json", "-q"],
            ["flash", "a.img", "--port", ""],
            ["check"],
            ["seal", "in.bin"],
            ["seal", "in.bin", "-o", "out.img", "--format", "coff"],
            ["seal", "in.bin", "-o", "out.img", "--base", "0x8G"],
            ["flash", "a.img", "--base", "highest"],
            ["info"],
        ]
        for args in cases:
            with self.subTest(args=args):
                result = kormelt(*args)
                self.assertEqual(result.returncode, EXIT_USAGE, result.stderr)
                self.assertNotEqual(result.stderr, "")

    def test_help_lists_the_exit_codes(self):
        for args in (["--help"], ["flash", "--help"], ["doctor", "--help"]):
            with self.subTest(args=args):
                result = kormelt(*args)
                self.assertEqual(result.returncode, EXIT_OK)
                self.assertIn("Exit codes:", result.stdout)
                self.assertIn(" 10  doctor: a check found a problem", result.stdout)
                for code in range(10):
                    self.assertRegex(result.stdout, r"\n  %d  \S" % code)


class SealTest(TempDirTest):
    def seal(self, name, content, *extra):
        source = self.file(name, content)
        output = os.path.join(self.dir, "out.img")
        return kormelt("seal", source, "-o", output, *extra), output

    def test_raw_input_gets_its_crc_high_byte_first(self):
        for data in (b"123456789", random_bytes(1000, 2), random_bytes(70000, 3)):
            with self.subTest(size=len(data)):
                result, output = self.seal("firmware.bin", data)
                self.assertEqual(result.returncode, EXIT_OK, result.stderr)
                self.assertEqual(self.read("out.img"), sealed(data))
                self.assertEqual(kormelt("check", output).returncode, EXIT_OK)

    def test_trailer_of_the_check_string(self):
        result, _ = self.seal("digits.bin", b"123456789")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertEqual(self.read("out.img")[-2:], b"\xd1\x80")

    def test_intel_hex_is_placed_from_address_zero(self):
        data16 = bytes(range(16))
        cases = [
            ("one record", [hex_record(0, 0, data16), HEX_EOF], data16),
            ("gap filled with 0xFF", [hex_record(0, 0, b"\x01\x02"), hex_record(6, 0, b"\x03"), HEX_EOF],
             b"\x01\x02" + b"\xff" * 4 + b"\x03"),
            ("records out of order", [hex_record(4, 0, b"\x05\x06"), hex_record(0, 0, b"\x01\x02\x03\x04"), HEX_EOF],
             b"\x01\x02\x03\x04\x05\x06"),
            ("extended linear address",
             [hex_record(0, 0, b"\xaa"), hex_record(0, 4, b"\x00\x01"), hex_record(2, 0, b"\xbb"), HEX_EOF],
             b"\xaa" + b"\xff" * 0x10001 + b"\xbb"),
            ("extended segment address",
             [hex_record(0, 2, b"\x10\x00"), hex_record(1, 0, b"\xcc"), HEX_EOF], b"\xff" * 0x10001 + b"\xcc"),
            ("linear address back to zero",
             [hex_record(0, 4, b"\x00\x01"), hex_record(0, 0, b"\xbb"), hex_record(0, 4, b"\x00\x00"),
              hex_record(0, 0, b"\xaa"), HEX_EOF], b"\xaa" + b"\xff" * 0xFFFF + b"\xbb"),
            ("start addresses ignored",
             [hex_record(0, 3, b"\x00\x00\x01\x00"), hex_record(0, 5, b"\x00\x00\x01\x00"), hex_record(0, 0, b"\x42"),
              HEX_EOF], b"\x42"),
            ("lower case, CRLF, blank lines, text after the end",
             [hex_record(0, 0, data16).lower(), "", hex_record(16, 0, b"\x99"), HEX_EOF, "trailing junk"],
             data16 + b"\x99"),
        ]
        for name, lines, expected in cases:
            with self.subTest(name):
                newline = "\r\n" if "CRLF" in name else "\n"
                result, output = self.seal("firmware.hex", newline.join(lines) + newline)
                self.assertEqual(result.returncode, EXIT_OK, result.stderr)
                self.assertEqual(self.read("out.img"), sealed(expected))
                self.assertEqual(kormelt("check", output).returncode, EXIT_OK)

    def test_format_option_overrides_the_name(self):
        text = "\n".join([hex_record(0, 0, b"\x12\x34"), HEX_EOF]) + "\n"
        cases = [
            ("firmware.txt", ["--format", "ihex"], b"\x12\x34"),
            ("firmware.IHEX", [], b"\x12\x34"),
            ("firmware.hex", ["--format", "raw"], text.encode()),
        ]
        for name, extra, expected in cases:
            with self.subTest(name=name, extra=extra):
                result, _ = self.seal(name, text, *extra)
                self.assertEqual(result.returncode, EXIT_OK, result.stderr)
                self.assertEqual(self.read("out.img"), sealed(expected))

    def test_bad_hex_names_its_line_and_writes_nothing(self):
        good = hex_record(0, 0, b"\x01\x02\x03")
        bad_sum = good[:-2] + "00"
        cases = [
            ("no colon", [good, good[1:]], 2, "':'"),
            ("bad checksum", [good, hex_record(3, 0, b"\x04"), bad_sum], 3, "checksum"),
            ("odd digit count", [good + "0"], 1, "odd"),
            ("not a hex digit", [good[:5] + "G" + good[6:]], 1, "'G'"),
            ("too short", [":0000"], 1, "short"),
            ("count disagrees with the record", [":0200000001FD"], 1, "byte count"),
            ("unknown record type", [hex_record(0, 6, b"\x00"), HEX_EOF], 1, "type 0x06"),
            ("extended address of the wrong length", [hex_record(0, 4, b"\x01"), HEX_EOF], 1, "2 data bytes"),
            ("overlapping records", [good, hex_record(2, 0, b"\x09"), HEX_EOF], 2, "already filled"),
            ("address beyond 16 MiB", [hex_record(0, 4, b"\x08\x00"), good, HEX_EOF], None, "--base 0x08000000"),
            ("no end-of-file record", [good], 1, "end-of-file"),
            ("no data", [HEX_EOF], None, "no data"),
        ]
        for name, lines, line_number, fragment in cases:
            with self.subTest(name):
                result, output = self.seal("firmware.hex", "\n".join(lines) + "\n")
                self.assertEqual(result.returncode, EXIT_IMAGE)
                if line_number is not None:
                    self.assertIn("line %d" % line_number, result.stderr)
                self.assertIn(fragment, result.stderr)
                self.assertEqual(sorted(os.listdir(self.dir)), ["firmware.hex"])

    def test_failed_seal_keeps_the_previous_output(self):
        output = self.file("out.img", b"previous image")
        result = kormelt("seal", self.file("firmware.hex", "garbage\n"), "-o", output)
        self.assertEqual(result.returncode, EXIT_IMAGE)
        self.assertEqual(self.read("out.img"), b"previous image")
        self.assertEqual(sorted(os.listdir(self.dir)), ["firmware.hex", "out.img"])

    def test_input_problems(self):
        cases = [
            ("empty raw input", self.file("empty.bin", b""), EXIT_IMAGE, "empty"),
            ("missing input", os.path.join(self.dir, "absent.bin"), EXIT_IMAGE, "absent.bin"),
        ]
        for name, source, code, fragment in cases:
            with self.subTest(name):
                result = kormelt("seal", source, "-o", os.path.join(self.dir, "out.img"))
                self.assertEqual(result.returncode, code)
                self.assertIn(fragment, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "out.img")))

    def test_unwritable_output(self):
        result = kormelt("seal", self.file("firmware.bin", b"\x01"), "-o", os.path.join(self.dir, "no", "out.img"))
        self.assertEqual(result.returncode, EXIT_SYSTEM)
        self.assertIn("out.img", result.stderr)


class CheckTest(TempDirTest):
    def test_sealed_image_passes(self):
        path, image = self.image(1000)
        result = kormelt("check", path)
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertIn("CRC ok", result.stdout)
        self.assertIn("0x%04X" % int.from_bytes(image[-2:], "big"), result.stdout)

    def test_failures_show_stored_and_computed_crc(self):
        data = random_bytes(300, 4)
        image = sealed(data)
        tampered = bytearray(image)
        tampered[100] ^= 0x01
        swapped = image[:-2] + image[-1:] + image[-2:-1]
        cases = [
            ("tampered", bytes(tampered), None),
            ("no trailer", data, None),
            ("trailer low byte first", swapped, "low byte first"),
        ]
        for name, content, hint in cases:
            with self.subTest(name):
                result = kormelt("check", self.file("image.bin", content))
                self.assertEqual(result.returncode, EXIT_IMAGE)
                stored = int.from_bytes(content[-2:], "big")
                computed = crc16(content[:-2])
                self.assertIn("0x%04X" % stored, result.stderr)
                self.assertIn("0x%04X" % computed, result.stderr)
                if hint:
                    self.assertIn(hint, result.stderr)

    def test_the_image_vectors_the_library_and_the_binding_share(self):
        for vector in IMAGE_VECTORS:
            with self.subTest(vector.name):
                result = kormelt("check", self.file("vector.img", vector.data))
                self.assertEqual(result.returncode, EXIT_OK if vector.ok else EXIT_IMAGE, result.stderr)
                # Where there is firmware before the trailer, a refusal shows both CRCs.
                if not vector.ok and len(vector.data) > 2:
                    self.assertIn("hold 0x%04X" % vector.stored, result.stderr)
                    self.assertIn("is 0x%04X" % vector.computed, result.stderr)

    def test_files_without_room_for_a_trailer(self):
        cases = [
            ("empty", self.file("empty.img", b""), "empty"),
            ("one byte", self.file("one.img", b"\x42"), "single byte"),
            ("missing", os.path.join(self.dir, "absent.img"), "absent.img"),
        ]
        for name, path, fragment in cases:
            with self.subTest(name):
                result = kormelt("check", path)
                self.assertEqual(result.returncode, EXIT_IMAGE)
                self.assertIn(fragment, result.stderr)
        for name, key in (("empty.img", "image_empty"), ("one.img", "image_single_byte")):
            with self.subTest(name):
                path = os.path.join(self.dir, name)
                sentence = Sentence(key, path=path, trailer_bytes=2, seal=SEAL)
                self.assertTrue(sentence.matches(tool_message(kormelt("check", path).stderr)), sentence)


def expect_update(test, sim, image):
    """The simulator saw a whole update of image and nothing else, stray bytes included (they would be logged
    as frames that do not decode), and holds it."""
    log = sim.log()
    kinds = [request.kind for request in log]
    packets = -(-len(image) // PACKET_BYTES)
    test.assertEqual(kinds, ["identify"] + ["erase"] * 7 + ["program"] * packets + ["restart"])
    test.assertEqual([request.block for request in log if request.kind == "erase"], ERASE_BLOCKS)
    test.assertEqual([request.number for request in log], list(range(1, len(log) + 1)))
    test.assertEqual(sim.dump(), padded(image))


class FlashTest(TempDirTest):
    def expect_update(self, sim, image):
        expect_update(self, sim, image)

    def test_update_through_com3(self):
        path, image = self.image(1000)
        with Simulator() as sim:
            result = kormelt("flash", path, env=port_env(COM3=sim.path))
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            self.assertIn("COM3", result.stdout)
            self.assertEqual(result.stderr, "")
            self.expect_update(sim, image)

    def test_update_through_port_option(self):
        # The other ports point at a nonexistent path, so only --port can find it.
        path, image = self.image(4000, seed=5)
        with Simulator() as sim:
            result = kormelt("flash", "--port", sim.path, path, env=port_env(COM5=NO_PORT))
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            self.assertIn("COM1 (%s)" % sim.path, result.stdout)
            self.expect_update(sim, image)

    def test_plain_output_is_a_few_lines_per_phase(self):
        path, _ = self.image(20000, seed=6)
        with Simulator() as sim:
            result = kormelt("flash", path, env=port_env(COM2=sim.path))
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        upload_lines = [line for line in result.stdout.splitlines() if line.startswith("upload:")]
        self.assertLessEqual(len(upload_lines), 12)  # start, every tenth, end: not one per packet
        self.assertIn("upload: done", result.stdout)
        self.assertNotIn("\r", result.stdout)

    def test_quiet_prints_nothing_on_success(self):
        path, _ = self.image(500)
        with Simulator() as sim:
            result = kormelt("flash", "-q", path, env=port_env(COM7=sim.path))
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertEqual(result.stdout + result.stderr, "")

    def test_bad_image_stops_before_anything_is_sent(self):
        path, image = self.image(1000)
        tampered = bytearray(image)
        tampered[0] ^= 0xFF
        cases = [
            ("wrong CRC", self.file("bad.img", bytes(tampered)), "fails its CRC check"),
            ("missing file", os.path.join(self.dir, "absent.img"), "absent.img"),
        ]
        for name, image_path, fragment in cases:
            with self.subTest(name), Simulator() as sim:
                result = kormelt("flash", image_path, env=port_env(COM1=sim.path))
                self.assertEqual(result.returncode, EXIT_IMAGE)
                self.assertIn(fragment, result.stderr)
                self.assertIn("Nothing was sent", result.stderr)
                self.assertEqual(sim.log(), [])

    def test_no_device_names_the_ports_tried(self):
        path, _ = self.image(100)
        result = kormelt("flash", path)
        self.assertEqual(result.returncode, EXIT_SEARCH)
        for n in range(1, 8):
            self.assertIn("COM%d %s (missing)" % (n, NO_PORT), result.stderr)
        self.assertIn("--port", result.stderr)
        self.assertIn("KORMELT_COM<n>", result.stderr)
        tried = ", ".join("COM%d %s (missing)" % (n, NO_PORT) for n in range(1, 8))
        sentence = Sentence("not_found", ports="COM1 to COM7", status=13, tried=tried)
        self.assertTrue(sentence.matches(tool_message(result.stderr)), sentence)


class FlashFailureTest(TempDirTest):
    """Each failing phase, with its exit code and message. Silences cost 3 s each."""

    def test_each_phase_fails_with_its_own_code(self):
        path, image = self.image(1000)
        packets = -(-len(image) // PACKET_BYTES)
        restart_request = 1 + len(ERASE_BLOCKS) + packets + 1
        # Request 1 is the identification, 2..8 the erase, then the packets.
        upload_retry = Sentence("retry_upload", again=AGAIN)
        cases = [
            ("silence mid-erase", ["--silent-from", "4"], EXIT_ERASE, ["Erase failed at 28%", "stopped answering"],
             Sentence("timeout_silent", failed="Erase failed at 28%", timeout_s=3, status=14,
                      retry=Sentence("retry_erase_some", again=AGAIN, erased=2, blocks=7))),
            ("bad reply CRC in the erase", ["--bad-crc-at", "2"], EXIT_ERASE, ["Erase failed at 0%", "CRC"],
             Sentence("crc", failed="Erase failed at 0%", status=15, baud=19200,
                      retry=Sentence("retry_erase_none", again=AGAIN))),
            ("silence mid-upload", ["--silent-from", "12"], EXIT_UPLOAD, ["Upload failed", "stopped answering"],
             Sentence("timeout_silent", failed="Upload failed at 38%", timeout_s=3, status=14, retry=upload_retry)),
            # The pseudo-terminal's node goes with the line: the port disappeared.
            ("hang-up mid-upload", ["--hangup-at", "12"], EXIT_UPLOAD, ["Upload failed", "partial image"],
             lambda port: Sentence("port_gone", failed="Upload failed at 38%", path=port, status=14,
                                   retry=upload_retry)),
            ("silence at restart", ["--silent-from", str(restart_request)], EXIT_RESTART,
             ["Restart failed", "fully written"],
             Sentence("timeout_restart", failed="Restart failed", timeout_s=3, status=14,
                      retry=Sentence("retry_restart", again=AGAIN))),
        ]
        for name, options, code, fragments, sentence in cases:
            with self.subTest(name), Simulator(*options) as sim:
                started = time.monotonic()
                result = kormelt("flash", path, env=port_env(COM4=sim.path))
                self.assertEqual(result.returncode, code, result.stderr)
                for fragment in fragments:
                    self.assertIn(fragment, result.stderr)
                sentence = sentence(sim.path) if callable(sentence) else sentence
                self.assertTrue(sentence.matches(tool_message(result.stderr)), sentence)
                if "--silent-from" in options:
                    self.assertGreaterEqual(time.monotonic() - started, 3.0)


class JsonTest(TempDirTest):
    def flash_json(self, *args, env):
        result = kormelt("flash", "--json", *args, env=env)
        events = [json.loads(line) for line in result.stdout.splitlines()]
        return result, events

    def test_successful_run(self):
        path, image = self.image(3000, seed=7)
        with Simulator() as sim:
            result, events = self.flash_json(path, env=port_env(COM2=sim.path))
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        phases = [e["phase"] for e in events if e["event"] == "start"]
        self.assertEqual(phases, ["check", "search", "erase", "upload", "restart"])
        ends = {e["phase"]: e for e in events if e["event"] == "end"}
        for phase in phases:
            self.assertEqual((ends[phase]["result"], ends[phase]["status"]), ("ok", 0), phase)
        upload = [e for e in events if e["event"] == "progress" and e["phase"] == "upload"]
        percents = [e["percent"] for e in upload]
        self.assertEqual(percents, sorted(percents))
        self.assertEqual((percents[0], percents[-1]), (0, 100))
        self.assertTrue(all(0 <= e["bytes"] <= e["total"] == len(image) for e in upload))
        search = [e for e in events if e["event"] == "progress" and e["phase"] == "search"]
        self.assertEqual([e["port"] for e in search], ["COM1", "COM2"])
        summary = events[-1]
        self.assertEqual(summary["event"], "summary")
        self.assertEqual((summary["result"], summary["exit_code"], summary["phase"]), ("ok", 0, None))
        self.assertEqual((summary["port"], summary["device"], summary["bytes"]), ("COM2", sim.path, len(image)))

    def test_failed_run(self):
        path, _ = self.image(3000, seed=8)
        with Simulator("--hangup-at", "10") as sim:
            result, events = self.flash_json(path, env=port_env(COM6=sim.path))
        self.assertEqual(result.returncode, EXIT_UPLOAD)
        upload_end = [e for e in events if e["event"] == "end" and e["phase"] == "upload"]
        self.assertEqual(len(upload_end), 1)
        self.assertEqual(upload_end[0]["result"], "failed")
        self.assertNotEqual(upload_end[0]["status"], 0)
        summary = events[-1]
        self.assertEqual((summary["event"], summary["result"], summary["exit_code"], summary["phase"]),
                         ("summary", "failed", EXIT_UPLOAD, "upload"))
        self.assertIn("Upload failed", summary["message"])
        self.assertNotIn("restart", [e["phase"] for e in events if e["event"] == "start"])

    def test_no_device(self):
        path, _ = self.image(100)
        result, events = self.flash_json(path, env=port_env())
        self.assertEqual(result.returncode, EXIT_SEARCH)
        search = [e["percent"] for e in events if e["event"] == "progress" and e["phase"] == "search"]
        self.assertEqual(search, [0, 12, 24, 36, 48, 60, 72, 100])
        self.assertEqual((events[-1]["result"], events[-1]["status"], events[-1]["port"]), ("failed", 13, None))


class CancelTest(TempDirTest):
    """Ctrl-C and SIGTERM mid-upload, on a simulator paced like the real line."""

    def test_signal_mid_upload_cancels_and_frees_the_port(self):
        path, _ = self.image(24000, seed=9)  # about 13 s at 19200 baud
        second_path, second = self.image(1000, seed=10)
        for signal_number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signal_number.name), Simulator("--paced") as sim:
                env = port_env(COM3=sim.path)
                run = Running([path], env)
                run.until(lambda e: e["event"] == "progress" and e["phase"] == "upload" and e["percent"] > 0)
                code, stderr, _ = run.finish(signal_number)
                self.assertEqual(code, EXIT_CANCELLED, stderr)
                self.assertIn("Cancelled during upload", stderr)
                sentence = Sentence("cancelled", phase="upload", status=12, closed="; the port is closed",
                                    retry=Sentence("retry_upload", again=AGAIN))
                self.assertTrue(sentence.matches(tool_message(stderr)), sentence)
                summary = run.events[-1]
                self.assertEqual((summary["result"], summary["phase"], summary["status"]), ("cancelled", "upload", 12))
                self.assertNotIn("restart", [request.kind for request in sim.log()])

                # The port was let go: the same simulator serves the next run.
                result = kormelt("flash", "-q", second_path, env=env)
                self.assertEqual(result.returncode, EXIT_OK, result.stderr)
                self.assertEqual(sim.dump()[:len(second)], second)


class PortsTest(TempDirTest):
    def test_lists_each_port_with_its_device_and_state(self):
        with Simulator() as sim:
            regular = self.file("not-a-tty", b"")
            fifo = os.path.join(self.dir, "fifo")
            os.mkfifo(fifo)
            result = kormelt("ports", env=port_env(COM1=sim.path, COM3=regular, COM4="/dev/null", COM5=fifo))
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            rows = result.stdout.splitlines()
            lines = {line.split()[0]: line for line in rows[1:]}
            self.assertEqual(sorted(lines), ["COM%d" % n for n in range(1, 8)])
            self.assertIn(sim.path, lines["COM1"])
            self.assertIn("KORMELT_COM1", lines["COM1"])
            self.assertIn("free", lines["COM1"])
            self.assertIn("missing", lines["COM2"])
            self.assertIn(NO_PORT, lines["COM2"])
            self.assertIn("not a serial port (a regular file)", lines["COM3"])
            self.assertIn("not a serial port (a character device that is no terminal)", lines["COM4"])
            self.assertIn("not a serial port (a FIFO)", lines["COM5"])
            # The longest state keeps the last column in line.
            found_as = rows[0].index("found as")
            for n in range(1, 8):
                self.assertEqual(lines["COM%d" % n].index("KORMELT_COM%d" % n), found_as, rows)

            held = os.open(sim.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            try:
                fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
                result = kormelt("ports", env=port_env(COM1=sim.path))
            finally:
                os.close(held)
            self.assertIn("in use", result.stdout.splitlines()[1])


class HostileInputTest(TempDirTest):
    """Inputs that are no image file: refused at once, before anything is read without end."""

    def special_files(self):
        fifo = os.path.join(self.dir, "fifo.img")
        os.mkfifo(fifo)
        sock_path = os.path.join(self.dir, "socket.img")
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(sock_path)
        self.addCleanup(sock.close)
        return [("FIFO", fifo, "FIFO"), ("character device", "/dev/zero", "character device"),
                ("directory", self.dir, "directory"), ("socket", sock_path, "socket")]

    def test_check_flash_and_seal_refuse_what_is_no_regular_file(self):
        for name, path, kind in self.special_files():
            for args in (["check", path], ["flash", path], ["seal", path, "-o", os.path.join(self.dir, "out.img")],
                         ["seal", path, "--format", "ihex", "-o", os.path.join(self.dir, "out.img")]):
                with self.subTest(name, command=args[0]), Simulator() as sim:
                    result = kormelt(*args, env=port_env(COM1=sim.path), timeout=10)
                    self.assertEqual(result.returncode, EXIT_IMAGE, result.stderr)
                    self.assertIn("is a %s" % kind, result.stderr)
                    self.assertIn("not a regular file", result.stderr)
                    self.assertEqual(sim.log(), [])
                    self.assertFalse(os.path.exists(os.path.join(self.dir, "out.img")))

    def sparse(self, name, size):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.truncate(size)
        return path

    def test_inputs_beyond_the_bound_are_refused(self):
        image = self.sparse("huge.img", IMAGE_MAX_BYTES + 3)
        cases = [
            (["check", image], "holds more than %d bytes" % (IMAGE_MAX_BYTES + 2)),
            (["flash", image], "holds more than %d bytes" % (IMAGE_MAX_BYTES + 2)),
            (["seal", self.sparse("huge.bin", IMAGE_MAX_BYTES + 1), "-o", os.path.join(self.dir, "out.img")],
             "more than the 16 MiB"),
            (["seal", self.sparse("huge.hex", HEX_TEXT_MAX_BYTES + 1), "-o", os.path.join(self.dir, "out.img")],
             "more than 64 MiB of text"),
        ]
        for args, fragment in cases:
            with self.subTest(args[0], input=args[1]):
                result = kormelt(*args, timeout=30)
                self.assertEqual(result.returncode, EXIT_IMAGE, result.stderr)
                self.assertIn(fragment, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "out.img")))

    def test_images_of_two_bytes_or_fewer_hold_no_firmware(self):
        no_firmware = {"empty_crc": "0xAAAA"}
        cases = [
            ("the CRC of nothing", b"\xaa\xaa", "no firmware", "image_no_firmware", no_firmware),
            ("two other bytes", b"\x12\x34", "no firmware", "image_no_firmware", no_firmware),
            ("one byte", b"\x42", "single byte", "image_single_byte", {}),
            ("empty", b"", "empty", "image_empty", {}),
        ]
        for name, content, fragment, key, values in cases:
            path = self.file("tiny.img", content)
            sentence = Sentence(key, path=path, trailer_bytes=2, seal=SEAL, **values)
            with self.subTest(name, command="check"):
                result = kormelt("check", path)
                self.assertEqual(result.returncode, EXIT_IMAGE, result.stdout)
                self.assertIn(fragment, result.stderr)
                self.assertTrue(sentence.matches(tool_message(result.stderr)), sentence)
            with self.subTest(name, command="flash"), Simulator() as sim:
                result = kormelt("flash", path, env=port_env(COM1=sim.path))
                self.assertEqual(result.returncode, EXIT_IMAGE, result.stdout)
                self.assertIn(fragment, result.stderr)
                self.assertIn("Nothing was sent", result.stderr)
                self.assertTrue(sentence.found_in(result.stderr), sentence)
                self.assertEqual(sim.log(), [])

    def test_hex_bytes_above_0x7f_are_named_as_such(self):
        line = hex_record(0, 0, b"\x01").encode()
        bad = line[:3] + b"\xc3\xa9" + line[5:]
        path = self.file("firmware.hex", bad + b"\n" + HEX_EOF.encode() + b"\n")
        result = kormelt("seal", path, "-o", os.path.join(self.dir, "out.img"))
        self.assertEqual(result.returncode, EXIT_IMAGE)
        self.assertIn("line 1: the byte 0xC3 in column 4", result.stderr)
        self.assertNotIn("control character", result.stderr)


class SealOutputTest(TempDirTest):
    def seal_to(self, output):
        return kormelt("seal", self.file("firmware.bin", b"\x01\x02\x03"), "-o", output)

    def test_outputs_that_are_no_regular_file_are_refused(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        subdir = os.path.join(self.dir, "subdir")
        os.mkdir(subdir)
        to_fifo = os.path.join(self.dir, "to-fifo")
        os.symlink("fifo", to_fifo)
        outputs = [("FIFO", fifo, stat.S_ISFIFO), ("directory", subdir, stat.S_ISDIR),
                   ("symlink to a FIFO", to_fifo, stat.S_ISFIFO)]
        if os.geteuid() == 0:
            # A null device node of the test's own: only root may make one.
            node = os.path.join(self.dir, "nulldev")
            os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))
            outputs.append(("character device", node, stat.S_ISCHR))
        for name, output, still in outputs:
            with self.subTest(name):
                result = self.seal_to(output)
                self.assertEqual(result.returncode, EXIT_SYSTEM, result.stdout)
                self.assertIn("only as a regular file", result.stderr)
                self.assertTrue(still(os.stat(output).st_mode), "the output was replaced")
        leftovers = [n for n in os.listdir(self.dir) if n not in ("firmware.bin", "fifo", "subdir", "to-fifo",
                                                                   "nulldev")]
        self.assertEqual(leftovers, [])

    def test_an_output_that_is_the_input_is_refused(self):
        firmware = b"\x01\x02\x03"
        source = self.file("firmware.bin", firmware)
        os.symlink("firmware.bin", os.path.join(self.dir, "link.bin"))
        os.link(source, os.path.join(self.dir, "hard.bin"))
        names = ["firmware.bin", "hard.bin", "link.bin"]
        for output in (source, os.path.join(self.dir, "link.bin"), os.path.join(self.dir, "hard.bin"),
                       os.path.join(self.dir, ".", "firmware.bin")):
            with self.subTest(output):
                result = kormelt("seal", source, "-o", output)
                self.assertEqual(result.returncode, EXIT_SYSTEM, result.stdout)
                self.assertIn("same file as the input", result.stderr)
                self.assertIn("No image was written", result.stderr)
                self.assertEqual(self.read("firmware.bin"), firmware)
                self.assertEqual(sorted(os.listdir(self.dir)), names)
                self.assertTrue(os.path.islink(os.path.join(self.dir, "link.bin")))
        # Through a link the other way round, too; a different file is no match.
        result = kormelt("seal", os.path.join(self.dir, "link.bin"), "-o", source)
        self.assertEqual(result.returncode, EXIT_SYSTEM, result.stdout)
        self.assertEqual(self.read("firmware.bin"), firmware)
        result = self.seal_to(os.path.join(self.dir, "other.img"))
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertEqual(self.read("other.img"), sealed(firmware))

    def test_a_symlink_is_followed_and_its_target_replaced(self):
        target = self.file("target.img", b"old")
        link = os.path.join(self.dir, "link.img")
        os.symlink("target.img", link)
        dangling = os.path.join(self.dir, "dangling.img")
        os.symlink("new.img", dangling)
        for output, written in ((link, target), (dangling, os.path.join(self.dir, "new.img"))):
            with self.subTest(output):
                result = self.seal_to(output)
                self.assertEqual(result.returncode, EXIT_OK, result.stderr)
                self.assertTrue(os.path.islink(output))
                with open(written, "rb") as f:
                    self.assertEqual(f.read(), sealed(b"\x01\x02\x03"))


class PrivateTmpTest(TempDirTest):
    """Runs whose temporary files (the private copy of the image) go to a directory the test looks into."""

    def setUp(self):
        super().setUp()
        self.tmp = os.path.join(self.dir, "tmp")
        os.mkdir(self.tmp)

    def env(self, **ports):
        env = port_env(**ports)
        env["TMPDIR"] = self.tmp
        return env


class ImageCopyTest(PrivateTmpTest):
    """The library checks and uploads a private copy of the bytes read, removed at the end of every run."""

    def test_an_image_changed_during_the_run_does_not_reach_the_device(self):
        path, image = self.image(1000, seed=12)
        other = sealed(random_bytes(998, seed=13))
        with SilentPort() as silent, Simulator() as sim:
            # COM1 holds the search for 3 s: time enough to change the file.
            run = Running([path], self.env(COM1=silent.path, COM2=sim.path))
            run.until(lambda e: e["event"] == "progress" and e["phase"] == "search")
            with open(path, "r+b") as f:
                f.write(other)
            replacement = self.file("replacement.img", other)
            os.rename(replacement, path)
            code, stderr, _ = run.finish()
            self.assertEqual(code, EXIT_OK, stderr)
            self.assertEqual(sim.dump(), padded(image))
        self.assertEqual(os.listdir(self.tmp), [])

    def test_no_copy_is_left_behind(self):
        path, _ = self.image(1000, seed=14)
        cases = [
            ("success", [], EXIT_OK),
            ("failed upload", ["--hangup-at", "11"], EXIT_UPLOAD),
            ("no device", None, EXIT_SEARCH),
        ]
        for name, options, code in cases:
            with self.subTest(name):
                if options is None:
                    result = kormelt("flash", path, env=self.env())
                else:
                    with Simulator(*options) as sim:
                        result = kormelt("flash", path, env=self.env(COM2=sim.path))
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertEqual(os.listdir(self.tmp), [])
        self.assertEqual(kormelt("check", path, env=self.env()).returncode, EXIT_OK)
        self.assertEqual(os.listdir(self.tmp), [])

    def test_a_cancel_removes_the_copy_too(self):
        # SIGHUP: the terminal or the remote session went away.
        path, _ = self.image(24000, seed=15)
        for signal_number in (signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signal_number.name), Simulator("--paced") as sim:
                run = Running([path], self.env(COM3=sim.path))
                run.until(lambda e: e["event"] == "progress" and e["phase"] == "upload" and e["percent"] > 0)
                code, stderr, _ = run.finish(signal_number)
                self.assertEqual(code, EXIT_CANCELLED, stderr)
                self.assertIn("Cancelled during upload", stderr)
                self.assertEqual(run.events[-1]["result"], "cancelled")
                self.assertNotIn("restart", [request.kind for request in sim.log()])
                self.assertEqual(os.listdir(self.tmp), [])


class FailureTextTest(TempDirTest):
    """Failure sentences keep their facts: how far a phase got, what the device holds, what the line did."""

    def test_sentences_name_the_point_of_failure_and_the_kind_of_failure(self):
        path, _ = self.image(1000)  # 8 packets: upload reports 0, 12, 25, 38, ...
        # Request 1 is the identification, 2..8 the erase, 9.. the packets.
        upload_retry = Sentence("retry_upload", again=AGAIN)
        # A hang-up takes the pseudo-terminal's node with it, as an unplugged
        # adapter takes its device's: the port disappeared.
        cases = [
            ("line hangs up mid-erase", ["--hangup-at", "4"], EXIT_ERASE,
             ["Erase failed at 28%", "disappeared", "2 of 7 blocks were already erased"], ["within 3 s"],
             lambda port: Sentence("port_gone", failed="Erase failed at 28%", path=port, status=14,
                                   retry=Sentence("retry_erase_some", again=AGAIN, erased=2, blocks=7))),
            ("line hangs up mid-upload", ["--hangup-at", "12"], EXIT_UPLOAD,
             ["Upload failed at 38%", "disappeared", "partial image"], ["within 3 s"],
             lambda port: Sentence("port_gone", failed="Upload failed at 38%", path=port, status=14,
                                   retry=upload_retry)),
            ("line babbles mid-upload", ["--babble-at", "10"], EXIT_UPLOAD,
             ["Upload failed at 12%", "line failed", "never formed a reply"], ["within 3 s"],
             Sentence("timeout_line_failed", failed="Upload failed at 12%", status=14, retry=upload_retry)),
            ("device falls silent mid-upload", ["--silent-from", "11"], EXIT_UPLOAD,
             ["Upload failed at 25%", "stopped answering (no reply within 3 s"], ["line failed"],
             Sentence("timeout_silent", failed="Upload failed at 25%", timeout_s=3, status=14, retry=upload_retry)),
        ]
        for name, options, code, present, absent, sentence in cases:
            with self.subTest(name), Simulator(*options) as sim:
                started = time.monotonic()
                result = kormelt("flash", path, env=port_env(COM4=sim.path))
                took = time.monotonic() - started
                self.assertEqual(result.returncode, code, result.stderr)
                for fragment in present:
                    self.assertIn(fragment, result.stderr)
                for fragment in absent:
                    self.assertNotIn(fragment, result.stderr)
                sentence = sentence(sim.path) if callable(sentence) else sentence
                self.assertTrue(sentence.matches(tool_message(result.stderr)), sentence)
                if "--silent-from" in options:
                    self.assertGreaterEqual(took, REPLY_TIMEOUT_S)
                else:
                    self.assertLess(took, REPLY_TIMEOUT_S)

    def test_an_adapter_unplugged_mid_upload_is_named_as_gone(self):
        # The simulator's hang-up removes its link, as unplugging an adapter
        # removes its device and the links to it.
        path, _ = self.image(1000)
        link = os.path.join(self.dir, "ttyUSB0")
        with Simulator("--link", link, "--hangup-at", "12"):
            result = kormelt("flash", "--port", link, path)
            self.assertFalse(os.path.lexists(link), "the simulator left its link")
        self.assertEqual(result.returncode, EXIT_UPLOAD, result.stderr)
        message = tool_message(result.stderr)
        self.assertIn("the port %s disappeared" % link, message)
        sentence = Sentence("port_gone", failed="Upload failed at 38%", path=link, status=14,
                            retry=Sentence("retry_upload", again=AGAIN))
        self.assertTrue(sentence.matches(message), sentence)

    def test_ports_that_are_no_terminal_and_ports_left_as_found(self):
        path, _ = self.image(100)
        regular = self.file("regular-file", b"")
        with SilentPort() as silent:
            cooked = termios.tcgetattr(silent.slave)
            cooked[2] = (cooked[2] & ~termios.CSIZE) | termios.CS7 | termios.PARENB  # cflag
            cooked[3] |= termios.ICANON | termios.ECHO  # lflag
            cooked[4] = cooked[5] = termios.B9600
            termios.tcsetattr(silent.slave, termios.TCSANOW, cooked)
            before = termios.tcgetattr(silent.slave)
            result = kormelt("flash", path, env=port_env(COM1=silent.path, COM2="/dev/null", COM3=regular))
            after = termios.tcgetattr(silent.slave)
        self.assertEqual(result.returncode, EXIT_SEARCH, result.stderr)
        self.assertIn("COM1 %s (no answer)" % silent.path, result.stderr)
        self.assertIn("COM2 /dev/null (a character device that is no terminal)", result.stderr)
        self.assertIn("COM3 %s (a regular file)" % regular, result.stderr)
        self.assertEqual(after, before, "the port the search tried was not left as it was found")


class JsonValidityTest(TempDirTest):
    def flash_events(self, path):
        result = subprocess.run([KORMELT, "flash", "--json", path], env=port_env(), capture_output=True,
                                timeout=RUN_TIMEOUT_S)
        self.assertEqual(result.returncode, EXIT_SEARCH, result.stderr)
        return json_events(result.stdout.decode("utf-8"))

    def test_any_path_gives_valid_json(self):
        data = sealed(random_bytes(100, seed=16))
        cases = [
            ("quote and backslash", 'a "quoted" \\ name.img', 'a "quoted" \\ name.img'),
            ("control character", "tab\there.img", "tab\there.img"),
            ("UTF-8", "caf\u00e9.img", "caf\u00e9.img"),
        ]
        for name, filename, shown in cases:
            with self.subTest(name):
                path = self.file(filename, data)
                events = self.flash_events(path)
                self.assertEqual(events[-1]["image"], os.path.join(self.dir, shown))
                self.assertEqual([e["event"] for e in events if e["event"] == "summary"], ["summary"])
        # Bytes that are not UTF-8 each stand as U+FFFD.
        raw = os.path.join(os.fsencode(self.dir), b"img-\xff-\xe9.img")
        with open(raw, "wb") as f:
            f.write(data)
        events = self.flash_events(raw)
        self.assertEqual(events[-1]["image"], os.path.join(self.dir, "img-\ufffd-\ufffd.img"))
        for event in events:
            self.assertTrue(all(value == value for value in event.values()))  # no NaN


class CancelAnywhereTest(TempDirTest):
    """Ctrl-C and SIGTERM end the run with 8 wherever they come, also while the library waits out silence."""

    def test_signal_while_the_device_is_silent(self):
        path, _ = self.image(1000, seed=17)  # 8 packets: upload reports 0, 12, 25, ...
        cases = [
            ("silent in the upload", ["--silent-from", "11"], signal.SIGINT,
             lambda e: e["event"] == "progress" and e["phase"] == "upload" and e["percent"] == 25, "upload"),
            ("silent in the erase", ["--silent-from", "4"], signal.SIGTERM,
             lambda e: e["event"] == "progress" and e["phase"] == "erase" and e["percent"] == 28, "erase"),
        ]
        for name, options, signal_number, moment, phase in cases:
            with self.subTest(name), Simulator(*options) as sim:
                run = Running([path], port_env(COM2=sim.path))
                run.until(moment)
                code, stderr, took = run.finish(signal_number)
                self.assertEqual(code, EXIT_CANCELLED, stderr)
                self.assertIn("Cancelled during %s" % phase, stderr)
                self.assertLess(took, REPLY_TIMEOUT_S + 2)
                summary = run.events[-1]
                self.assertEqual((summary["result"], summary["phase"], summary["exit_code"]),
                                 ("cancelled", phase, EXIT_CANCELLED))

    def test_signal_while_the_last_port_searched_is_silent(self):
        path, _ = self.image(100, seed=18)
        with SilentPort() as silent:
            run = Running([path], port_env(COM7=silent.path))
            run.until(lambda e: e["event"] == "progress" and e["phase"] == "search" and e.get("port") == "COM7")
            code, stderr, _ = run.finish(signal.SIGINT)
        self.assertEqual(code, EXIT_CANCELLED, stderr)
        self.assertIn("Cancelled during search", stderr)
        self.assertEqual(run.events[-1]["result"], "cancelled")

    def test_signal_after_the_last_upload_report_stops_before_the_restart(self):
        path, image = self.image(254, seed=19)  # 256 bytes, 2 packets: upload reports 0 and 50, then 100
        # The last packet's exchange takes about 0.5 s on this line: the signal
        # comes well after the report of 50 has returned, and well before the
        # exchange ends.
        with Simulator("--paced", "--byte-pause-ms", "40") as sim:
            run = Running([path], port_env(COM1=sim.path))
            run.until(lambda e: e["event"] == "progress" and e["phase"] == "upload" and e["percent"] == 50)
            code, stderr, _ = run.finish(signal.SIGINT, delay=0.15)
            self.assertEqual(code, EXIT_CANCELLED, stderr)
            self.assertIn("Cancelled before the restart", stderr)
            self.assertEqual(run.events[-1]["phase"], "restart")
            self.assertNotIn("restart", [request.kind for request in sim.log()])
            self.assertEqual(sim.dump(), padded(image))


class AdapterSearchTest(TempDirTest):
    """On Linux the ports go to the serial devices found; a fake /dev tree leads to the simulator."""

    def tree(self, **devices):
        root = os.path.join(self.dir, "root")
        for sub in ("dev/serial/by-id", "sys/class/tty/console", "sys/class/tty/ttyS0"):
            os.makedirs(os.path.join(root, sub))
        for name, target in devices.items():
            os.symlink(target, os.path.join(root, "dev", name))
        # ttyS0 has a UART but is the console: never searched.
        with SilentPort() as console:
            pass
        with open(os.path.join(root, "sys/class/tty/ttyS0/type"), "w") as f:
            f.write("4\n")
        with open(os.path.join(root, "sys/class/tty/console/active"), "w") as f:
            f.write("tty0 ttyS0\n")
        return root, console

    def env(self, root, **ports):
        env = dict(os.environ)
        for n in range(1, 8):
            env.pop("KORMELT_COM%d" % n, None)
        env.update({"KORMELT_%s" % port: path for port, path in ports.items()})
        env["KORMELT_SCAN_ROOT"] = root
        return env

    def test_a_usb_adapter_is_found_without_port(self):
        path, image = self.image(1000, seed=20)
        with Simulator() as sim, SilentPort() as console:
            root, _ = self.tree(ttyUSB0=sim.path, ttyS0=console.path)
            os.symlink("../../ttyUSB0", os.path.join(root, "dev/serial/by-id/usb-Maker_Serial-if00-port0"))
            result = kormelt("flash", path, env=self.env(root))
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            self.assertIn("device on COM1 (%s/dev/ttyUSB0)" % root, result.stdout)
            self.assertEqual(sim.dump(), padded(image))

    def test_ports_shows_the_mapping_and_a_set_variable_wins(self):
        with SilentPort() as usb, SilentPort() as acm, SilentPort() as console:
            root, _ = self.tree(ttyUSB0=usb.path, ttyACM3=acm.path, ttyS0=console.path)
            result = kormelt("ports", env=self.env(root, COM1=NO_PORT))
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        lines = {line.split()[0]: line for line in result.stdout.splitlines()[1:]}
        self.assertIn("KORMELT_COM1", lines["COM1"])
        self.assertIn("%s/dev/ttyUSB0" % root, lines["COM2"])
        self.assertIn("USB adapter", lines["COM2"])
        self.assertIn("%s/dev/ttyACM3" % root, lines["COM3"])
        self.assertIn("ACM adapter", lines["COM3"])
        self.assertNotIn("ttyS0", result.stdout)
        for n in range(4, 8):
            self.assertIn("no serial device found", lines["COM%d" % n])

    def test_ports_shows_what_the_kernel_knows_of_each_adapter(self):
        with SilentPort() as ftdi, SilentPort() as acm, SilentPort() as console:
            root, _ = self.tree(ttyUSB0=ftdi.path, ttyACM0=acm.path, ttyS0=console.path)
            usb_adapter_sysfs(root, "ttyUSB0", "1-1.2", idVendor="0403", idProduct="6001", serial="A50285BI",
                              manufacturer="FTDI", product="FT232R USB UART")
            usb_adapter_sysfs(root, "ttyACM0", "1-3", acm=True, idVendor="2e8a", idProduct="000a", product="Pico")
            table = kormelt("ports", env=self.env(root))
            lines = kormelt("ports", "--json", env=self.env(root))
        self.assertEqual((table.returncode, lines.returncode), (EXIT_OK, EXIT_OK), table.stderr + lines.stderr)
        rows = {line.split()[0]: line for line in table.stdout.splitlines()[1:]}
        self.assertIn("location", table.stdout.splitlines()[0])
        self.assertRegex(rows["COM1"], r"1-1\.2:1\.0 +0403:6001 +A50285BI +FTDI FT232R USB UART$")
        self.assertRegex(rows["COM2"], r"1-3:1\.0 +2e8a:000a +- +Pico$")
        self.assertTrue(rows["COM3"].endswith("no serial device found for it"), rows["COM3"])
        ports = {port["port"]: port for port in json_events(lines.stdout)}
        self.assertEqual(sorted(ports), ["COM%d" % n for n in range(1, 8)])
        self.assertEqual({key: ports["COM1"][key] for key in ("device", "location", "vid", "pid", "serial",
                                                               "manufacturer", "product", "state")},
                         {"device": "%s/dev/ttyUSB0" % root, "location": "1-1.2:1.0", "vid": "0403", "pid": "6001",
                          "serial": "A50285BI", "manufacturer": "FTDI", "product": "FT232R USB UART",
                          "state": "free"})
        self.assertEqual((ports["COM2"]["serial"], ports["COM2"]["manufacturer"], ports["COM2"]["product"]),
                         (None, None, "Pico"))
        self.assertEqual((ports["COM3"]["location"], ports["COM3"]["state"]), (None, "missing"))

    def test_more_devices_than_ports_fill_all_seven_and_the_rest_are_not_searched(self):
        with contextlib.ExitStack() as stack:
            usb = [stack.enter_context(SilentPort()) for _ in range(5)]
            acm = [stack.enter_context(SilentPort()) for _ in range(4)]
            devices = {"ttyUSB%d" % k: port.path for k, port in enumerate(usb)}
            devices.update({"ttyACM%d" % k: port.path for k, port in enumerate(acm)})
            root, _ = self.tree(**devices)
            result = kormelt("ports", env=self.env(root))
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        rows = result.stdout.splitlines()[1:]
        lines = {line.split()[0]: line for line in rows if line.startswith("COM")}
        expected = ["ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3", "ttyUSB4", "ttyACM0", "ttyACM1"]
        for n, name in enumerate(expected, start=1):
            with self.subTest(port="COM%d" % n):
                self.assertIn("%s/dev/%s " % (root, name), lines["COM%d" % n])
                self.assertIn("exists, free", lines["COM%d" % n])
        left = [line for line in rows if line.startswith("not searched")]
        self.assertEqual(left, ["not searched (only COM1 to COM7 are): %s/dev/%s (ACM adapter)" % (root, name)
                                for name in ("ttyACM2", "ttyACM3")])

    def test_the_adapters_latency_timer_is_lowered_for_the_run_and_put_back(self):
        """The USB adapter's timer in the tree's sysfs, found by the device number of its tty: 1 ms while the
        device is updated, as it was on every way out."""
        path, _ = self.image(4000, seed=21)  # 32 packets, about 2.5 s at the line's pace
        cases = [
            ("success", [], None, EXIT_OK),
            ("upload fails", ["--hangup-at", "20"], None, EXIT_UPLOAD),
            ("Ctrl-C", [], signal.SIGINT, EXIT_CANCELLED),
            ("the terminal went away (SIGHUP)", [], signal.SIGHUP, EXIT_CANCELLED),
        ]
        for name, options, signal_number, code in cases:
            with self.subTest(name), Simulator("--paced", *options) as sim:
                root, _ = self.tree(ttyUSB0=sim.path)
                try:
                    rdev = os.stat(sim.path).st_rdev
                    os.makedirs(os.path.join(root, "sys/class/tty/ttyUSB0"))
                    with open(os.path.join(root, "sys/class/tty/ttyUSB0/dev"), "w") as f:
                        f.write("%d:%d\n" % (os.major(rdev), os.minor(rdev)))
                    timer = os.path.join(root, "sys/bus/usb-serial/devices/ttyUSB0/latency_timer")
                    os.makedirs(os.path.dirname(timer))
                    with open(timer, "w") as f:
                        f.write("16\n")
                    run = Running([path], self.env(root))
                    run.until(lambda event: event["event"] == "progress" and event["phase"] == "upload"
                              and event["percent"] > 0)
                    with open(timer) as f:
                        during = f.read()
                    returncode, stderr, _ = run.finish(signal_number)
                    self.assertEqual(returncode, code, stderr)
                    self.assertEqual(during, "1\n", "the timer was not lowered for the upload")
                    with open(timer) as f:
                        self.assertEqual(f.read(), "16\n", "the timer was not put back")
                finally:
                    shutil.rmtree(root)


class DoctorTest(TempDirTest):
    """kormelt doctor on a fake /dev, /proc and /sys tree whose devices lead to the simulator and to
    pseudo-terminals of the test's own; one run with --port on this machine's /proc, with the simulator's
    pseudo-terminal as the only device."""

    CHECK_KEYS = {"event", "check", "port", "path", "result", "detail", "fix"}

    def tree(self, devices, latency_ms=None, processes=(), console=None):
        root = os.path.join(self.dir, "root")
        for sub in ("dev/serial/by-id", "proc", "sys/class/tty/console", "sys/bus/usb-serial/devices/ttyUSB0"):
            os.makedirs(os.path.join(root, sub))
        for name, target in devices.items():
            os.symlink(target, os.path.join(root, "dev", name))
        if latency_ms is not None:
            with open(os.path.join(root, "sys/bus/usb-serial/devices/ttyUSB0/latency_timer"), "w") as f:
                f.write("%d\n" % latency_ms)
        if console:
            with open(os.path.join(root, "sys/class/tty/console/active"), "w") as f:
                f.write("tty0 %s\n" % console)
        for pid, comm, fds in processes:
            os.makedirs(os.path.join(root, "proc", str(pid), "fd"))
            with open(os.path.join(root, "proc", str(pid), "comm"), "w") as f:
                f.write(comm + "\n")
            for fd, target in fds.items():
                os.symlink(target, os.path.join(root, "proc", str(pid), "fd", str(fd)))
        return root

    def env(self, root, **ports):
        env = dict(os.environ)
        for n in range(1, 8):
            env.pop("KORMELT_COM%d" % n, None)
        env.update({"KORMELT_%s" % port: path for port, path in ports.items()})
        if root is None:
            env.pop("KORMELT_SCAN_ROOT", None)
        else:
            env["KORMELT_SCAN_ROOT"] = root
        return env

    def troubled_tree(self, sim, silent, console):
        """ttyUSB0 leads to the simulator but screen holds it and its latency timer is 16 ms; ModemManager
        runs; ttyS0, the console, is made COM3 by its variable; ttyACM0 is silent."""
        root = self.tree({"ttyUSB0": sim.path, "ttyACM0": silent.path, "ttyS0": console.path}, latency_ms=16,
                         processes=[(4242, "screen", {3: sim.path}), (812, "ModemManager", {})], console="ttyS0")
        return root, self.env(root, COM3=os.path.join(root, "dev/ttyS0"))

    def test_each_result_on_a_fake_tree_and_a_problem_exit_code(self):
        with Simulator() as sim, SilentPort() as silent, SilentPort() as console:
            root, env = self.troubled_tree(sim, silent, console)
            result = kormelt("doctor", env=env)
        self.assertEqual(result.returncode, EXIT_DOCTOR, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        usb, acm, uart = (os.path.join(root, "dev", name) for name in ("ttyUSB0", "ttyACM0", "ttyS0"))
        expected = [
            "problem  COM1 %s: open in screen (PID 4242). Fix: " % usb,
            "warning  COM1 %s: latency timer 16 ms" % usb,
            "ok       COM2 %s: no other process has it open" % acm,
            "problem  COM3 %s: the system console (ttyS0)" % uart,
            "warning  ModemManager: running (PID 812)",
            "ok       brltty: not running",
            "ok       search: the device answered on COM1 (%s)" % usb,
        ]
        for start in expected:
            with self.subTest(line=start):
                self.assertTrue(any(line.startswith(start) for line in lines), result.stdout)
        self.assertIn("echo 1 | sudo tee %s/sys/bus/usb-serial/devices/ttyUSB0/latency_timer" % root, result.stdout)
        # One line per check, then the summary.
        for line in lines[:-1]:
            self.assertRegex(line, r"^(ok       |warning  |problem  )\S")
        self.assertEqual(lines[-1], "doctor: 2 problems, 2 warnings, %d ok" % (len(lines) - 5))

    def test_json_every_line_parses_and_the_summary_counts_them(self):
        with Simulator() as sim, SilentPort() as silent, SilentPort() as console:
            root, env = self.troubled_tree(sim, silent, console)
            result = kormelt("doctor", "--json", env=env)
        self.assertEqual(result.returncode, EXIT_DOCTOR, result.stderr)
        events = json_events(result.stdout)
        checks, summary = events[:-1], events[-1]
        for check in checks:
            self.assertEqual(set(check), self.CHECK_KEYS, check)
            self.assertEqual(check["event"], "check")
            self.assertIn(check["result"], ("ok", "warning", "problem"))
            self.assertEqual(check["fix"] is None, check["result"] == "ok", check)
        by_check = {(c["check"], c["port"]): c for c in checks}
        self.assertEqual(by_check[("holders", "COM1")]["path"], os.path.join(root, "dev/ttyUSB0"))
        self.assertEqual(by_check[("console", "COM3")]["result"], "problem")
        self.assertEqual(by_check[("modem_manager", None)]["result"], "warning")
        self.assertEqual(by_check[("search", "COM1")]["result"], "ok")
        results = [c["result"] for c in checks]
        self.assertEqual(summary, {"event": "summary", "result": "problem", "ok": results.count("ok"),
                                   "warnings": results.count("warning"), "problems": results.count("problem"),
                                   "exit_code": EXIT_DOCTOR})

    def test_a_healthy_tree_finds_the_simulator_and_exits_zero(self):
        with Simulator() as sim:
            root = self.tree({"ttyUSB0": sim.path}, latency_ms=1, processes=[(4242, "bash", {0: "/dev/null"})])
            os.symlink("../../ttyUSB0", os.path.join(root, "dev/serial/by-id/usb-Maker_Serial-if00-port0"))
            result = kormelt("doctor", env=self.env(root))
            self.assertEqual(result.returncode, EXIT_OK, result.stdout + result.stderr)
            self.assertEqual([request.kind for request in sim.log()], ["identify"])
        usb = os.path.join(root, "dev/ttyUSB0")
        self.assertIn("ok       COM1 %s: latency timer 1 ms\n" % usb, result.stdout)
        self.assertIn("ok       search: the device answered on COM1 (%s)\n" % usb, result.stdout)
        self.assertEqual([line for line in result.stdout.splitlines() if not line.startswith("ok ")],
                         ["doctor: no problem found; 0 warnings, 9 ok"])

    def test_port_option_on_this_machine_sees_the_simulator_as_the_far_end(self):
        with Simulator() as sim:
            result = kormelt("doctor", "--port", sim.path, env=self.env(None))
            pid = sim.process.pid
        self.assertEqual(result.returncode, EXIT_OK, result.stdout + result.stderr)
        self.assertIn("ok       COM1 %s: exists, a character device\n" % sim.path, result.stdout)
        self.assertIn("kormelt-sim (PID %d) holds the other end of the pseudo-terminal" % pid, result.stdout)
        self.assertIn("ok       search: the device answered on COM1 (%s)\n" % sim.path, result.stdout)

    def test_an_empty_port_is_a_usage_error(self):
        result = kormelt("doctor", "--port", "")
        self.assertEqual(result.returncode, EXIT_USAGE)
        self.assertIn("--port needs a device path", result.stderr)
        self.assertEqual(result.stdout, "")

    def test_a_path_that_is_no_port(self):
        regular = self.file("not-a-tty", b"")
        cases = [
            (os.path.join(self.dir, "missing"), "does not exist"),
            (regular, "not a serial port: a regular file"),
        ]
        for path, detail in cases:
            with self.subTest(path=path):
                result = kormelt("doctor", "--port", path, env=self.env(NO_PORT))
                self.assertEqual(result.returncode, EXIT_DOCTOR, result.stderr)
                self.assertIn("problem  COM1 %s: %s. Fix: " % (path, detail), result.stdout)
                self.assertIn("problem  search: no device answered on COM1 (%s) (status 13)" % path, result.stdout)


def records_of(path, *args):
    """The rows of the records file, every column, newest first."""
    result = kormelt("records", "--records", path, "--json", *args)
    if result.returncode != EXIT_OK:
        raise AssertionError("records failed: " + result.stderr)
    return json_events(result.stdout)


class RecordsTest(TempDirTest):
    """flash --records keeps a row per update; `kormelt records` shows them."""

    def test_flash_records_each_update_with_its_port_and_image(self):
        path, image = self.image(2000, seed=30)
        records = os.path.join(self.dir, "new", "dir", "records.sqlite3")  # its directories are made
        with Simulator() as sim:
            result = kormelt("flash", "--records", records, path, env=port_env(COM2=sim.path))
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        with Simulator("--silent-from", "12") as sim:
            failed = kormelt("flash", "--records", records, path, env=port_env(COM1=sim.path))
            self.assertEqual(failed.returncode, EXIT_UPLOAD, failed.stderr)
        rows = records_of(records)
        self.assertEqual([row["outcome"] for row in rows], ["failed", "ok"])
        self.assertEqual([row["exit_code"] for row in rows], [EXIT_UPLOAD, EXIT_OK])
        self.assertEqual((rows[0]["failed_phase"], rows[1]["failed_phase"]), ("upload", None))
        self.assertIn("Upload failed", rows[0]["message"])
        for row in rows:
            self.assertEqual(row["image"], os.path.realpath(path))
            self.assertEqual(row["image_size"], len(image))
            self.assertEqual(row["image_crc"], "0x%04X" % crc16(image[:-2]))
            self.assertEqual(row["image_sha256"], __import__("hashlib").sha256(image).hexdigest())
            self.assertTrue(row["port"].startswith("/dev/pts/"), row["port"])
            self.assertGreaterEqual(row["duration_ms"], 0)
            # Milliseconds: an update of a small image on an unpaced line may
            # start and end within the same one.
            self.assertLessEqual(row["started"], row["finished"])
        self.assertGreaterEqual(rows[0]["duration_ms"], 3000)  # the silent device's timeout
        self.assertEqual(records_of(records, "--outcome", "ok")[0]["id"], rows[1]["id"])
        self.assertEqual(records_of(records, "--image", rows[0]["image_sha256"][:8].upper()), rows)
        self.assertEqual(records_of(records, "--since", "2999-01-01"), [])

        table = kormelt("records", "--records", records)
        self.assertEqual(table.returncode, EXIT_OK, table.stderr)
        lines = table.stdout.splitlines()
        self.assertEqual(len(lines), 3)
        self.assertTrue(lines[0].startswith("started"))
        self.assertIn("failed", lines[1])  # newest first
        csv = kormelt("records", "--records", records, "--csv")
        self.assertEqual(csv.stdout.count("\n"), 3)
        self.assertTrue(csv.stdout.startswith("id,started,finished,"), csv.stdout)

    def test_an_update_that_cannot_be_recorded_does_not_start(self):
        path, _ = self.image(500, seed=31)
        blocker = self.file("not-a-dir", b"")
        cases = [
            ("directory in the way", os.path.join(blocker, "records.sqlite3"), "not a directory"),
            ("no records file", self.file("text.sqlite3", b"no database here, but text long enough" * 4),
             "not a database"),
        ]
        for name, records, reason in cases:
            with self.subTest(name), Simulator() as sim:
                result = kormelt("flash", "--records", records, path, env=port_env(COM1=sim.path))
                self.assertEqual(result.returncode, EXIT_SYSTEM, result.stderr)
                self.assertIn(reason, result.stderr)
                self.assertIn("Nothing was sent to the device", result.stderr)
                self.assertEqual(sim.log(), [])

    def test_records_usage_and_missing_file(self):
        records = os.path.join(self.dir, "absent.sqlite3")
        for args in (["--since", "yesterday"], ["--image", "xyz"], ["--outcome", "great"], ["--json", "--csv"]):
            with self.subTest(args=args):
                result = kormelt("records", "--records", records, *args)
                self.assertEqual(result.returncode, EXIT_USAGE, result.stderr)
        result = kormelt("records", "--records", records)
        self.assertEqual(result.returncode, EXIT_IMAGE)
        self.assertIn("no records at " + records, result.stderr)
        self.assertFalse(os.path.exists(records))
        self.assertEqual(kormelt("flash", "--records", "", "x.img").returncode, EXIT_USAGE)

    def test_the_default_file_is_under_xdg_data_home(self):
        path, _ = self.image(300, seed=32)
        env = port_env()
        env["XDG_DATA_HOME"] = os.path.join(self.dir, "data")
        with Simulator() as sim:
            env["KORMELT_COM1"] = sim.path
            self.assertEqual(kormelt("flash", "--records", os.path.join(self.dir, "data/kormelt/records.sqlite3"),
                                     path, env=env).returncode, EXIT_OK)
        result = kormelt("records", "--json", env=env)
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertEqual([row["outcome"] for row in json_events(result.stdout)], ["ok"])


class TerminalViewTest(TempDirTest):
    """Progress bars on a pseudo-terminal, as a person at a terminal sees them."""

    def on_terminal(self, args, env, columns=0, when=None):
        """Runs kormelt with stdout on a pseudo-terminal columns wide (0: a size the terminal does not know);
        when(output so far, process, master) is called as the output grows; the master end takes a new window
        size as well. Returns (exit code, output, stderr)."""
        master, slave = os.openpty()
        try:
            set_columns(slave, columns)
            process = subprocess.Popen([KORMELT, *args], env=env, stdout=slave, stderr=subprocess.PIPE)
            os.close(slave)  # the tool's end alone keeps it open: its exit ends the reading
            output = b""
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # EIO: the tool closed its end
                    break
                if not chunk:
                    break
                output += chunk
                if when is not None:
                    when(output, process, master)
            stderr = process.communicate(timeout=RUN_TIMEOUT_S)[1]
        finally:
            os.close(master)
        # The terminal turns each newline into CR LF; a CR of the tool's own is a redraw.
        return process.returncode, output.decode().replace("\r\n", "\n"), stderr.decode()

    def test_the_search_names_the_port_it_tries(self):
        path, _ = self.image(1000, seed=21)
        with Simulator() as sim:
            code, text, stderr = self.on_terminal(["flash", path], port_env(COM2=sim.path))
        self.assertEqual(code, EXIT_OK, stderr)
        self.assertIn("\r", text)  # redrawn in place, not one line per report
        self.assertIn("trying COM1 (%s)" % NO_PORT, text)
        self.assertIn("trying COM2 (%s)" % sim.path, text)
        self.assertIn("done: ", text)

    def test_lines_fit_the_width_of_the_terminal(self):
        # The image's path alone is longer than the narrow terminals.
        path, _ = self.image(3000, seed=25)
        cases = [
            ("50 columns", 50, {}, True),
            ("size unknown, COLUMNS=45", 0, {"COLUMNS": "45"}, True),
            ("too narrow for a bar", 30, {}, False),
        ]
        for name, columns, extra, in_place in cases:
            with self.subTest(name), Simulator() as sim:
                env = port_env(COM2=sim.path)
                env.update(extra)
                code, text, stderr = self.on_terminal(["flash", path], env, columns)
                self.assertEqual(code, EXIT_OK, stderr)
                self.assertIn("done: ", text)
                if in_place:
                    width = columns or int(extra["COLUMNS"])
                    self.assertIn("\r", text)
                    self.assertIn("upload  [", text)
                    for segment in live_segments(text):
                        self.assertLess(len(segment), width, repr(segment))
                else:
                    self.assertNotIn("\r", text)
                    self.assertIn("upload: done", text)

    def test_a_resized_terminal_is_followed(self):
        path, _ = self.image(8000, seed=26)  # about 4 s of upload on the paced line
        resized = []

        def shrink(output, process, terminal):
            if not resized and b"upload  [" in output and b"KiB/s" in output:
                set_columns(terminal, 50)
                process.send_signal(signal.SIGWINCH)
                resized.append(len(output))

        with Simulator("--paced") as sim:
            code, text, stderr = self.on_terminal(["flash", path], port_env(COM1=sim.path), 120, shrink)
        self.assertEqual(code, EXIT_OK, stderr)
        self.assertTrue(resized, "the upload ended before the terminal could be resized")
        before = live_segments(text[:resized[0]])
        self.assertTrue(any(len(segment) >= 50 for segment in before), "the line was not wider before")
        upload = [line for line in text.split("\n") if line.lstrip("\r").startswith("upload")]
        self.assertEqual(len(upload), 1, text)
        self.assertLess(len(upload[0].split("\r")[-1]), 50)  # its end, drawn after the resize
        restart = [line for line in text.split("\n") if "restart " in line]
        self.assertTrue(restart and all(len(s) < 50 for s in live_segments(restart[0])), restart)



class ClosedStreamTest(TempDirTest):
    """Started with a standard stream closed (`>&-`), the tool keeps every file it opens, the port included,
    off that stream's number: nothing it prints goes down the serial line."""

    def test_flash_with_standard_streams_closed(self):
        path, image = self.image(1000, seed=24)
        for closed in (">&-", "<&-", "2>&-", "<&- >&- 2>&-"):
            for args in ([], ["--json"]):
                with self.subTest(closed=closed, args=args), Simulator() as sim:
                    result = subprocess.run(["/bin/sh", "-c", 'exec "$@" ' + closed, "sh", KORMELT, "flash", *args,
                                             path], env=port_env(COM1=sim.path), capture_output=True, text=True,
                                            timeout=RUN_TIMEOUT_S)
                    self.assertEqual(result.returncode, EXIT_OK, result.stderr)
                    expect_update(self, sim, image)


@unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
class BrokenOutputTest(PrivateTmpTest):
    """What becomes of the output never decides an update: a reader that goes away ends the output only; a
    write that fails otherwise is reported, and fails a command whose output it was."""

    def test_a_reader_that_goes_away_ends_the_output_not_the_update(self):
        # Paced, so that most of the run comes after the reader has gone, as with `kormelt flash | head -n1`.
        path, image = self.image(3000, seed=22)
        packets = -(-len(image) // PACKET_BYTES)
        cases = [
            ("plain", [], [], EXIT_OK),
            ("json", ["--json"], [], EXIT_OK),
            ("stderr in the pipe too, upload fails", [], ["--hangup-at", "20"], EXIT_UPLOAD),
        ]
        for name, args, options, code in cases:
            with self.subTest(name), Simulator("--paced", *options) as sim:
                stderr = subprocess.STDOUT if "stderr" in name else subprocess.PIPE
                # Popen puts SIGPIPE back to its default for the child, as a shell does.
                process = subprocess.Popen([KORMELT, "flash", *args, path], env=self.env(COM2=sim.path),
                                           stdout=subprocess.PIPE, stderr=stderr)
                try:
                    first = process.stdout.readline()
                    process.stdout.close()
                    messages = process.stderr.read().decode() if process.stderr else ""
                    process.wait(timeout=RUN_TIMEOUT_S)
                finally:
                    reap(process)
                self.assertIn(b"check", first)
                self.assertEqual(process.returncode, code, messages)
                self.assertNotIn("cannot write", messages)
                if code == EXIT_OK:
                    expect_update(self, sim, image)
                else:
                    # Request 20 is the twelfth packet, where the line hangs up.
                    self.assertEqual(len([request for request in sim.log() if request.kind == "program"]), 12)
                    self.assertLess(12, packets)
                self.assertEqual(os.listdir(self.tmp), [])

    def test_a_full_disk_fails_the_command_whose_output_it_is(self):
        path, _ = self.image(1000, seed=23)
        output = os.path.join(self.dir, "out.img")
        reason = "kormelt: cannot write the output: %s" % os.strerror(errno.ENOSPC)
        cases = [
            ("check", ["check", path], EXIT_OUTPUT, True),
            ("seal", ["seal", path, "-o", output], EXIT_OUTPUT, True),
            ("ports", ["ports"], EXIT_OUTPUT, True),
            ("help", ["--help"], EXIT_OUTPUT, True),
            ("flash help", ["flash", "--help"], EXIT_OUTPUT, True),
            ("version", ["--version"], EXIT_OUTPUT, True),
            ("a refusal prints nothing on stdout", ["check", os.path.join(self.dir, "absent.img")], EXIT_IMAGE,
             False),
            ("a usage error prints nothing on stdout", ["nonsense"], EXIT_USAGE, False),
        ]
        with open("/dev/full", "w") as full:
            for name, args, code, reported in cases:
                with self.subTest(name):
                    result = subprocess.run([KORMELT, *args], env=self.env(), stdout=full, stderr=subprocess.PIPE,
                                            text=True, timeout=RUN_TIMEOUT_S)
                    self.assertEqual(result.returncode, code, result.stderr)
                    self.assertEqual(reason in result.stderr, reported, result.stderr)

    def test_a_full_disk_under_flash_is_reported_after_the_run(self):
        path, image = self.image(1000, seed=23)
        reason = "kormelt: cannot write the output: %s" % os.strerror(errno.ENOSPC)
        # The update completes; a run that succeeded then fails with 1, one that failed keeps its code.
        cases = [
            ("plain", [], True, EXIT_OUTPUT, True),
            ("json", ["--json"], True, EXIT_OUTPUT, True),
            ("quiet prints nothing", ["-q"], True, EXIT_OK, False),
            ("no device", [], False, EXIT_SEARCH, True),
        ]
        with open("/dev/full", "w") as full:
            for name, args, device, code, reported in cases:
                with self.subTest(name), Simulator() as sim:
                    env = self.env(COM3=sim.path) if device else self.env()
                    result = subprocess.run([KORMELT, "flash", *args, path], env=env, stdout=full,
                                            stderr=subprocess.PIPE, text=True, timeout=RUN_TIMEOUT_S)
                    self.assertEqual(result.returncode, code, result.stderr)
                    self.assertEqual(reason in result.stderr, reported, result.stderr)
                    if reported:
                        self.assertTrue(result.stderr.rstrip("\n").endswith(reason), result.stderr)
                    if device:
                        expect_update(self, sim, image)
                    self.assertEqual(os.listdir(self.tmp), [])


class SimCommandTest(TempDirTest):
    def test_sim_serves_a_flash_and_dumps_on_ctrl_c(self):
        path, image = self.image(2000, seed=11)
        dump = os.path.join(self.dir, "dump.bin")
        sim = subprocess.Popen([KORMELT, "sim", "--dump", dump], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
        try:
            device = sim.stdout.readline().strip()
            self.assertTrue(device.startswith("/dev/"), device)
            result = kormelt("flash", "--port", device, path)
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            sim.send_signal(signal.SIGINT)
            sim.wait(timeout=SIM_START_TIMEOUT_S)
        finally:
            reap(sim)
        self.assertEqual(sim.returncode, EXIT_OK)
        self.assertEqual(self.read("dump.bin"), padded(image))


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


def wine_kormelt(*args, timeout=RUN_TIMEOUT_S):
    return subprocess.run([os.environ["KORMELT_WINE"], WINE_EXE, *args], capture_output=True, text=True,
                          timeout=timeout)


@unittest.skipUnless(os.environ.get("KORMELT_WINE_COM3"), "needs the Wine prefix of the test run")
class WineTest(TempDirTest):
    """kormelt.exe under Wine, with COM3 leading to the simulator: the same results as on Linux."""

    def simulator(self, *options):
        return Simulator("--link", os.environ["KORMELT_WINE_COM3"], *options)

    def test_update_through_com3(self):
        path, image = self.image(1000)
        with self.simulator() as sim:
            result = wine_kormelt("flash", wine_path(path))
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            self.assertIn("COM3", result.stdout)
            log = sim.log()
            self.assertEqual([request.kind for request in log],
                             ["identify"] + ["erase"] * 7 + ["program"] * 8 + ["restart"])
            self.assertEqual(sim.dump(), padded(image))

    def test_json_and_failing_upload(self):
        path, _ = self.image(3000, seed=8)
        with self.simulator("--hangup-at", "10"):
            result = wine_kormelt("flash", "--json", wine_path(path))
        self.assertEqual(result.returncode, EXIT_UPLOAD, result.stderr)
        events = [json.loads(line) for line in result.stdout.splitlines()]
        summary = events[-1]
        self.assertEqual((summary["event"], summary["result"], summary["exit_code"], summary["phase"]),
                         ("summary", "failed", EXIT_UPLOAD, "upload"))
        self.assertEqual(summary["port"], "COM3")

    def test_doctor_is_not_available(self):
        result = wine_kormelt("doctor", "--port", "COM3")
        self.assertEqual(result.returncode, EXIT_USAGE, result.stderr)
        self.assertIn("doctor is not available on Windows", result.stderr)

    def test_station_records_and_ui_say_they_are_not_there(self):
        path, _ = self.image(300)
        records = wine_path(os.path.join(self.dir, "records.sqlite3"))
        for args in (["station", wine_path(path)], ["records"], ["flash", "--records", records, wine_path(path)],
                     ["ui", "--listen", "127.0.0.1:0", "--image", wine_path(path)]):
            with self.subTest(args=args):
                result = wine_kormelt(*args)
                self.assertEqual(result.returncode, EXIT_USAGE, result.stderr)
                self.assertIn("not available on Windows", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "records.sqlite3")))

    def test_bad_image_and_check(self):
        path, image = self.image(1000)
        tampered = bytearray(image)
        tampered[0] ^= 0xFF
        bad = self.file("bad.img", bytes(tampered))
        with self.simulator() as sim:
            result = wine_kormelt("flash", wine_path(bad))
            self.assertEqual(result.returncode, EXIT_IMAGE)
            self.assertIn("Nothing was sent", result.stderr)
            self.assertEqual(sim.log(), [])
        self.assertEqual(wine_kormelt("check", wine_path(path)).returncode, EXIT_OK)
        result = wine_kormelt("check", wine_path(bad))
        self.assertEqual(result.returncode, EXIT_IMAGE)
        self.assertIn("%04X" % crc16(tampered[:-2]), result.stdout + result.stderr)


def take_programs():
    """Takes --kormelt, --sim and --wine-exe from the command line for every test that runs the programs
    (this module's and those that import it); returns the unittest arguments left."""
    global KORMELT, SIM, WINE_EXE
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--kormelt", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--wine-exe")
    known, rest = parser.parse_known_args()
    KORMELT, SIM, WINE_EXE = known.kormelt, known.sim, known.wine_exe
    return [sys.argv[0], *rest]


def main():
    unittest.main(argv=take_programs(), verbosity=2)


if __name__ == "__main__":
    main()
