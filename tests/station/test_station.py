#!/usr/bin/python3
"""End-to-end runs of `kormelt station` and `kormelt records` against several
device simulators at once, on a scan tree of the test's own: /dev/ttyUSB<k>
lead to the simulators' pseudo-terminals and sysfs tells of each what the
kernel tells of a USB adapter in a hub socket. No test looks at this
machine's serial ports: the scan is always pointed at the tree, or the ports
are named with --ports.

Usage: test_station.py --kormelt PATH --sim PATH [unittest arguments]
"""

import contextlib
import fcntl
import hashlib
import importlib.util
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

# The command-line tests' helpers: the simulator as a child, images, the fake sysfs of an adapter.
_CLI = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "cli", "test_cli.py")
_spec = importlib.util.spec_from_file_location("test_cli", _CLI)
cli = importlib.util.module_from_spec(_spec)
sys.modules["test_cli"] = cli
_spec.loader.exec_module(cli)
import tool_test_main  # noqa: E402  (tests/support, on the path test_cli made)

EXIT_OK = cli.EXIT_OK
EXIT_IMAGE = cli.EXIT_IMAGE
EXIT_SEARCH = cli.EXIT_SEARCH
EXIT_UPLOAD = cli.EXIT_UPLOAD
EXIT_ERASE = cli.EXIT_ERASE
EXIT_CANCELLED = cli.EXIT_CANCELLED
EXIT_SYSTEM = cli.EXIT_SYSTEM
EXIT_STATION = 11
EXIT_USAGE = cli.EXIT_USAGE
RUN_TIMEOUT_S = 90
PACED_IMAGE_BYTES = 12000  # about 7 s of upload at 19200 baud: time to act in the middle of it
WORKER_GONE_TIMEOUT_S = 6  # a cancelled worker waits out at most one silent reply (3 s)
SCAN_SETTLE_S = 1.5  # three scans of --watch


def kormelt(*args, env, timeout=RUN_TIMEOUT_S):
    return subprocess.run([cli.KORMELT, *args], env=env, capture_output=True, text=True, timeout=timeout)


def port_is_free(path):
    """Whether nobody holds the port's lock, as the library takes it: a worker that is gone holds none."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(fd)


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError("not within %.1f s: %s" % (timeout, what))


class Rack:
    """A scan root with adapters plugged into hub sockets 1-1.2, 1-1.3, ... each leading to a simulator."""

    def __init__(self, directory):
        self.root = os.path.join(directory, "root")
        os.makedirs(os.path.join(self.root, "dev/serial/by-id"))
        os.makedirs(os.path.join(self.root, "sys/class/tty/console"))
        with open(os.path.join(self.root, "sys/class/tty/console/active"), "w") as f:
            f.write("tty0\n")

    def plug(self, name, socket, sim_path, serial=None, vid="0403", pid="6001"):
        """/dev/<name> in the hub socket 1-1.<socket>, with its USB serial number (none when None)."""
        attributes = {"idVendor": vid, "idProduct": pid, "manufacturer": "FTDI", "product": "FT232R USB UART"}
        if serial is not None:
            attributes["serial"] = serial
        cli.usb_adapter_sysfs(self.root, name, "1-1.%d" % socket, **attributes)
        os.symlink(sim_path, os.path.join(self.root, "dev", name))
        return self.dev(name)

    def unplug(self, name):
        os.remove(os.path.join(self.root, "dev", name))
        os.remove(os.path.join(self.root, "sys/class/tty", name))

    def dev(self, name):
        return os.path.join(self.root, "dev", name)

    @staticmethod
    def location(socket):
        return "1-1.%d:1.0" % socket


class Events(cli.JsonLinesChild):
    """A station run with --json as a child, read line by line, to act at a chosen moment."""

    def __init__(self, args, env, new_session=False):
        super().__init__(["station", "--json", *args], env, new_session)

    def until(self, predicate, what="the awaited event"):
        """Reads events until predicate(event, the events so far) holds; returns that event."""
        return self.read_until(lambda event: predicate(event, self.events), what)

    def finish(self, signal_number=None, group=False):
        """Sends the signal (to the station, or to its process group as a terminal does), reads the rest;
        returns (exit code, stderr)."""

        def act():
            if signal_number is not None:
                if group:
                    os.killpg(self.process.pid, signal_number)
                else:
                    self.process.send_signal(signal_number)

        return self.end(act)

    def of(self, kind, port=None):
        return [e for e in self.events if e["event"] == kind and (port is None or e["port"] == port)]


def records_of(records, env, *args):
    result = kormelt("records", "--records", records, "--json", *args, env=env)
    if result.returncode != EXIT_OK:
        raise AssertionError("records failed: " + result.stderr)
    return [json.loads(line) for line in result.stdout.splitlines()]


class StationCase(cli.TempDirTest):
    def setUp(self):
        super().setUp()
        self.rack = Rack(self.dir)
        self.records = os.path.join(self.dir, "records", "records.sqlite3")
        self.stack = contextlib.ExitStack()
        self.addCleanup(self.stack.close)
        self.env = dict(os.environ)
        for n in range(1, 8):
            self.env.pop("KORMELT_COM%d" % n, None)
        self.env["KORMELT_SCAN_ROOT"] = self.rack.root
        # Nothing of a test may land in the records of the person running it.
        self.env["XDG_DATA_HOME"] = os.path.join(self.dir, "xdg")

    def sim(self, *options):
        return self.stack.enter_context(cli.Simulator(*options))

    def station(self, *args, env=None):
        return kormelt("station", "--records", self.records, *args, env=env or self.env)

    def rows(self, *args):
        return records_of(self.records, self.env, *args)

    def assert_updated(self, sim, image):
        cli.expect_update(self, sim, image)

    def assert_untouched(self, sim):
        self.assertEqual(sim.log(), [])


class StationTest(StationCase):
    def test_every_adapter_is_updated_at_once_and_recorded(self):
        path, image = self.image(3000, seed=40)
        sims = [self.sim() for _ in range(4)]
        for k, sim in enumerate(sims):
            self.rack.plug("ttyUSB%d" % k, k + 2, sim.path, serial="SER%d" % k)
        # A UART of the machine is found by the scan but never updated unless named.
        with cli.SilentPort() as uart:
            os.symlink(uart.path, self.rack.dev("ttyS0"))
            os.makedirs(os.path.join(self.rack.root, "sys/class/tty/ttyS0"))
            with open(os.path.join(self.rack.root, "sys/class/tty/ttyS0/type"), "w") as f:
                f.write("4\n")
            result = self.station(path, "--json")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        events = cli.json_events(result.stdout)
        for event in events:
            self.assertTrue({"port", "location", "serial"} <= set(event), event)
        check = events[0]
        self.assertEqual((check["event"], check["port"], check["result"]), ("check", None, "ok"))
        self.assertEqual(check["sha256"], hashlib.sha256(image).hexdigest())
        summary = events[-1]
        self.assertEqual((summary["event"], summary["result"], summary["exit_code"]), ("summary", "ok", EXIT_OK))
        self.assertEqual((summary["devices"], summary["ok"], summary["failed"]), (4, 4, 0))
        self.assertEqual(sorted(r["serial"] for r in summary["results"]), ["SER0", "SER1", "SER2", "SER3"])
        self.assertNotIn("ttyS0", result.stdout)
        for sim in sims:
            self.assert_updated(sim, image)
        # All four ran at once: each had started before any had its result.
        kinds = [e["event"] for e in events if e["event"] in ("started", "result")]
        self.assertEqual(kinds, ["started"] * 4 + ["result"] * 4)

        rows = self.rows()
        self.assertEqual(len(rows), 4)
        by_serial = {row["usb_serial"]: row for row in rows}
        for k in range(4):
            row = by_serial["SER%d" % k]
            self.assertEqual((row["outcome"], row["exit_code"]), ("ok", EXIT_OK))
            self.assertEqual((row["location"], row["usb_vid"], row["usb_pid"]), (Rack.location(k + 2), "0403", "6001"))
            self.assertEqual((row["manufacturer"], row["product"]), ("FTDI", "FT232R USB UART"))
            self.assertEqual(row["port"], self.rack.dev("ttyUSB%d" % k))
            self.assertEqual(row["image"], os.path.realpath(path))
            self.assertEqual(row["image_sha256"], hashlib.sha256(image).hexdigest())
            self.assertEqual(row["station_pid"], rows[0]["station_pid"])

    def test_a_failing_device_leaves_the_others_running(self):
        path, image = self.image(3000, seed=41)
        good = [self.sim() for _ in range(2)]
        bad = self.sim("--silent-from", "12")  # request 12 is a packet of the upload
        self.rack.plug("ttyUSB0", 2, good[0].path, serial="GOOD0")
        self.rack.plug("ttyUSB1", 3, bad.path, serial="BAD")
        self.rack.plug("ttyUSB2", 4, good[1].path, serial="GOOD1")
        started = time.monotonic()
        result = self.station(path, "--json")
        self.assertEqual(result.returncode, EXIT_STATION, result.stderr)
        self.assertGreaterEqual(time.monotonic() - started, 3.0)  # the silent device's reply timeout
        summary = cli.json_events(result.stdout)[-1]
        self.assertEqual((summary["result"], summary["ok"], summary["failed"]), ("failed", 2, 1))
        failed = [r for r in summary["results"] if r["result"] == "failed"]
        self.assertEqual(len(failed), 1)
        self.assertEqual((failed[0]["serial"], failed[0]["exit_code"], failed[0]["phase"]), ("BAD", EXIT_UPLOAD, "upload"))
        self.assertIn("stopped answering", failed[0]["message"])
        # The failure on stderr, with its port and message.
        self.assertIn("%s (%s, serial BAD): Upload failed" % (Rack.location(3), self.rack.dev("ttyUSB1")), result.stderr)
        for sim in good:
            self.assert_updated(sim, image)
        self.assertNotIn("restart", [r.kind for r in bad.log()])
        outcomes = {row["usb_serial"]: (row["outcome"], row["exit_code"], row["failed_phase"]) for row in self.rows()}
        self.assertEqual(outcomes, {"GOOD0": ("ok", 0, None), "GOOD1": ("ok", 0, None),
                                    "BAD": ("failed", EXIT_UPLOAD, "upload")})

    def test_match_selects_by_location_serial_vid_pid_or_path(self):
        path, image = self.image(800, seed=42)
        cases = [
            ("location", ["--match", "1-1.3:*"], {1}),
            ("serial", ["--match", "B*"], {1, 2}),
            ("VID:PID, case ignored", ["--match", "1A86:7523"], {2}),
            ("two patterns", ["--match", "AAA", "--match", "1-1.4:1.0"], {0, 2}),
            ("path", ["--match", "*/ttyUSB0"], {0}),
        ]
        for name, args, chosen in cases:
            with self.subTest(name), contextlib.ExitStack() as stack:
                rack = Rack(tempfile.mkdtemp(dir=self.dir))
                sims = [stack.enter_context(cli.Simulator()) for _ in range(3)]
                rack.plug("ttyUSB0", 2, sims[0].path, serial="AAA")
                rack.plug("ttyUSB1", 3, sims[1].path, serial="BBB")
                rack.plug("ttyUSB2", 4, sims[2].path, serial="BCC", vid="1a86", pid="7523")
                env = dict(self.env, KORMELT_SCAN_ROOT=rack.root)
                result = self.station(path, *args, env=env)
                self.assertEqual(result.returncode, EXIT_OK, result.stderr)
                for k, sim in enumerate(sims):
                    if k in chosen:
                        self.assertEqual(sim.dump(), cli.padded(image), k)
                    else:
                        self.assert_untouched(sim)
        result = self.station(path, "--match", "nothing-like-this")
        self.assertEqual(result.returncode, EXIT_SEARCH)
        self.assertIn("No port matches", result.stderr)

    def test_named_ports_and_a_bound_on_the_jobs(self):
        path, image = self.image(2000, seed=43)
        sims = [self.sim() for _ in range(3)]
        # Named ports need no scan: pseudo-terminals as they are, with no identity.
        result = self.station(path, "--ports", *[sim.path for sim in sims], "--jobs", "1", "--json")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        events = cli.json_events(result.stdout)
        kinds = [e["event"] for e in events if e["event"] in ("started", "result")]
        self.assertEqual(kinds, ["started", "result"] * 3)  # one after the other
        self.assertTrue(all(e["location"] is None and e["serial"] is None
                            for e in events if e["event"] == "device"))
        for sim in sims:
            self.assert_updated(sim, image)

    def test_plain_lines_when_no_terminal(self):
        path, _ = self.image(1500, seed=44)
        sim = self.sim()
        self.rack.plug("ttyUSB0", 2, sim.path, serial="PLAIN")
        result = self.station(path)
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertNotIn("\r", result.stdout)
        self.assertNotIn("\x1b", result.stdout)
        lines = result.stdout.splitlines()
        self.assertTrue(lines[0].startswith("check: "), lines)
        name = "%s PLAIN: " % Rack.location(2)
        self.assertIn(name + "upload started", lines)
        self.assertTrue(any(line.startswith(name + "ok in ") for line in lines), lines)
        self.assertLessEqual(len([line for line in lines if line.startswith(name + "upload")]), 11)
        self.assertTrue(lines[-1].startswith("station: 1 updated, 0 failed of 1 ports"), lines[-1])

    def test_nothing_is_touched_when_the_run_cannot_start(self):
        path, image = self.image(1000, seed=45)
        tampered = bytearray(image)
        tampered[5] ^= 0x40
        bad_image = self.file("bad.img", bytes(tampered))
        blocker = self.file("a-file", b"")
        sim = self.sim()
        self.rack.plug("ttyUSB0", 2, sim.path)
        cases = [
            ("image with a wrong CRC", [bad_image, "--records", self.records], EXIT_IMAGE, "fails its CRC check"),
            ("missing image", [os.path.join(self.dir, "absent.img"), "--records", self.records], EXIT_IMAGE,
             "absent.img"),
            ("records under a file", [path, "--records", os.path.join(blocker, "r.sqlite3")], EXIT_SYSTEM,
             "not a directory"),
            ("records file that is no database", [path, "--records", self.file("text", b"plain text, no db" * 8)],
             EXIT_SYSTEM, "not a database"),
        ]
        for name, args, code, reason in cases:
            with self.subTest(name):
                result = kormelt("station", "--json", *args, env=self.env)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(reason, result.stderr)
                summary = cli.json_events(result.stdout)[-1]
                self.assertEqual((summary["event"], summary["exit_code"], summary["port"]), ("summary", code, None))
                self.assert_untouched(sim)
        empty = Rack(tempfile.mkdtemp(dir=self.dir))
        result = self.station(path, env=dict(self.env, KORMELT_SCAN_ROOT=empty.root))
        self.assertEqual(result.returncode, EXIT_SEARCH)
        self.assertIn("No USB or ACM adapter found", result.stderr)

    def test_usage_and_help(self):
        for args in ([], ["a.img", "--jobs", "0"], ["a.img", "--jobs", "x"], ["a.img", "--no-such"]):
            with self.subTest(args=args):
                self.assertEqual(kormelt("station", *args, env=self.env).returncode, EXIT_USAGE)
        help_text = kormelt("station", "--help", env=self.env).stdout
        self.assertIn("Exit codes:", help_text)
        self.assertIn(" 11  station: one or more devices failed", help_text)


class StationTerminalTest(StationCase):
    """The live rows on a pseudo-terminal, as a person at the station sees them."""

    def test_one_row_per_port_redrawn_in_place_within_the_width(self):
        path, _ = self.image(6000, seed=46)
        sims = [self.sim("--paced") for _ in range(3)]
        for k, sim in enumerate(sims):
            self.rack.plug("ttyUSB%d" % k, k + 2, sim.path, serial="LIVE%d" % k)
        columns = 60
        master, slave = os.openpty()
        try:
            cli.set_columns(slave, columns)
            process = subprocess.Popen([cli.KORMELT, "station", "--records", self.records, path], env=self.env,
                                       stdout=slave, stderr=subprocess.PIPE)
            os.close(slave)
            output = b""
            while True:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
            stderr = process.communicate(timeout=RUN_TIMEOUT_S)[1]
        finally:
            os.close(master)
        self.assertEqual(process.returncode, EXIT_OK, stderr)
        text = output.decode().replace("\r\n", "\n")
        self.assertIn("\x1b[3A", text)  # back up over the three rows to redraw them
        # Each row as drawn: the text after its carriage return, up to the erase of the rest of the line.
        rows = [segment.split("\x1b[K")[0] for segment in text.split("\r") if "\x1b[K" in segment]
        self.assertGreater(len(rows), 9)
        for row in rows:
            self.assertLess(len(row), columns, repr(row))
        final = rows[-3:]
        for k, row in enumerate(final):
            self.assertTrue(row.startswith("%s  LIVE%d  done" % (Rack.location(k + 2), k)), row)
            self.assertIn("100%", row)
        bar_at = {row.index("[") for row in final}
        self.assertEqual(len(bar_at), 1, "the bars line up: %r" % final)
        self.assertIn("upload", text)
        self.assertTrue(text.rstrip("\n").split("\n")[-1].startswith("station: 3 updated, 0 failed"), text[-200:])


class StationCancelTest(StationCase):
    """Ctrl-C and SIGKILL in the middle of an update of paced devices."""

    def plug_paced(self, count):
        path, image = self.image(PACED_IMAGE_BYTES, seed=47)
        sims = [self.sim("--paced") for _ in range(count)]
        for k, sim in enumerate(sims):
            self.rack.plug("ttyUSB%d" % k, k + 2, sim.path, serial="RUN%d" % k)
        return path, image, sims

    def all_uploading(self, count):
        def predicate(event, events):
            uploading = {e["port"] for e in events
                         if e["event"] == "progress" and e["phase"] == "upload" and e["percent"] > 0}
            return len(uploading) == count
        return predicate

    def test_ctrl_c_cancels_every_update_and_records_it(self):
        for group in (False, True):
            with self.subTest("to its process group, as a terminal does" if group else "to the station alone"):
                self.rack = Rack(tempfile.mkdtemp(dir=self.dir))
                self.env["KORMELT_SCAN_ROOT"] = self.rack.root
                self.records = os.path.join(tempfile.mkdtemp(dir=self.dir), "records.sqlite3")
                path, _, sims = self.plug_paced(3)
                run = Events([path, "--records", self.records], self.env, new_session=True)
                run.until(self.all_uploading(3), "all three uploading")
                signalled = time.monotonic()
                code, stderr = run.finish(signal.SIGINT, group=group)
                self.assertLess(time.monotonic() - signalled, WORKER_GONE_TIMEOUT_S)
                self.assertEqual(code, EXIT_CANCELLED, stderr)
                summary = run.events[-1]
                self.assertEqual((summary["result"], summary["cancelled"], summary["ok"]), ("cancelled", 3, 0))
                self.assertEqual({r["result"] for r in summary["results"]}, {"cancelled"})
                for sim in sims:
                    self.assertNotIn("restart", [r.kind for r in sim.log()])
                    self.assertTrue(port_is_free(sim.path), "a worker still holds %s" % sim.path)
                self.assertEqual([row["outcome"] for row in self.rows()], ["cancelled"] * 3)
                self.assertEqual({row["exit_code"] for row in self.rows()}, {EXIT_CANCELLED})
                # Each worker cancelled its update itself, at the library's next report, as flash does.
                for result in summary["results"]:
                    self.assertTrue(result["message"].startswith("Cancelled during upload"), result["message"])
                for sim in sims:
                    sim.stop()

    def test_a_killed_station_leaves_no_update_running_and_its_rows_interrupted(self):
        path, _, sims = self.plug_paced(3)
        run = Events([path, "--records", self.records], self.env)
        run.until(self.all_uploading(3), "all three uploading")
        self.assertEqual([row["outcome"] for row in self.rows()], ["running"] * 3)
        station_pid = run.process.pid
        run.finish(signal.SIGKILL)
        # The kernel tells each worker (SIGTERM): it cancels, and lets go of its port.
        for sim in sims:
            wait_until(lambda: port_is_free(sim.path), WORKER_GONE_TIMEOUT_S, "the worker on %s is gone" % sim.path)
        counts = [len(sim.log()) for sim in sims]
        time.sleep(0.5)
        self.assertEqual([len(sim.log()) for sim in sims], counts, "a device still gets requests")
        for sim in sims:
            self.assertNotIn("restart", [r.kind for r in sim.log()])
        rows = self.rows()
        self.assertEqual([row["outcome"] for row in rows], ["interrupted"] * 3)
        self.assertEqual({row["station_pid"] for row in rows}, {station_pid})
        self.assertTrue(all(row["finished"] is None for row in rows))
        self.assertEqual(self.rows("--outcome", "ok"), [])
        with contextlib.closing(sqlite3.connect(self.records)) as db:
            self.assertEqual(db.execute("PRAGMA integrity_check").fetchone()[0], "ok")


class StationWatchTest(StationCase):
    """--watch: adapters appearing, staying, leaving and coming back."""

    def test_each_device_plugged_in_is_updated_once(self):
        path, image = self.image(1200, seed=48)
        first = self.sim()
        self.rack.plug("ttyUSB0", 2, first.path, serial="FIRST")
        run = Events([path, "--watch", "--records", self.records], self.env)
        try:
            ended = lambda serial: lambda e, _: e["event"] == "result" and e["serial"] == serial  # noqa: E731
            self.assertEqual(run.until(ended("FIRST"), "the first device's result")["result"], "ok")

            # Another appears in another socket.
            second = self.sim()
            self.rack.plug("ttyUSB1", 3, second.path, serial="SECOND")
            self.assertEqual(run.until(ended("SECOND"), "the second device's result")["result"], "ok")

            # They stay plugged in: not updated again.
            time.sleep(SCAN_SETTLE_S)
            self.assert_updated(first, image)
            self.assertEqual(len(second.log()), len(first.log()))

            # The first leaves; a new device comes into its socket, under another name as a replug may be.
            self.rack.unplug("ttyUSB0")
            run.until(lambda e, _: e["event"] == "unplugged" and e["location"] == Rack.location(2), "unplugged")
            third = self.sim()
            self.rack.plug("ttyUSB5", 2, third.path, serial="THIRD")
            result = run.until(ended("THIRD"), "the third device's result")
            self.assertEqual((result["result"], result["location"], result["done"]), ("ok", Rack.location(2), 2))
            self.assert_updated(third, image)
            self.assert_updated(second, image)
        finally:
            code, stderr = run.finish(signal.SIGINT)
        self.assertEqual(code, EXIT_CANCELLED, stderr)
        summary = run.events[-1]
        self.assertEqual((summary["event"], summary["ok"], summary["failed"], summary["devices"]),
                         ("summary", 3, 0, 2))
        sockets = {r["location"]: (r["done"], r["failed"]) for r in summary["results"]}
        self.assertEqual(sockets, {Rack.location(2): (2, 0), Rack.location(3): (1, 0)})
        self.assertEqual(sorted(row["usb_serial"] for row in self.rows("--outcome", "ok")), ["FIRST", "SECOND", "THIRD"])


def mount_tmpfs(directory, size):
    """A tmpfs of size at directory; the reason why not when it cannot be had."""
    if shutil.which("mount") is None:
        return "no mount program"
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", directory],
                            capture_output=True, text=True)
    return None if result.returncode == 0 else "cannot mount a tmpfs here: " + (result.stderr.strip() or "mount failed")


def fill(directory):
    """Writes a file until the file system is full."""
    fd = os.open(os.path.join(directory, "filler"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
    try:
        block = b"\0" * 4096
        while True:
            try:
                if os.write(fd, block) == 0:
                    break
            except OSError:
                if len(block) == 1:
                    break
                block = block[:len(block) // 2]  # the last pages' worth, down to the last byte
    finally:
        os.close(fd)


class StationFullDiskTest(StationCase):
    """The records on a file system that is full or fills during the run: a small tmpfs of the test's own."""

    def setUp(self):
        super().setUp()
        self.disk = os.path.join(self.dir, "disk")
        os.makedirs(self.disk)
        reason = mount_tmpfs(self.disk, "1m")
        if reason is not None:
            self.skipTest(reason)
        self.mounted = True
        self.records = os.path.join(self.disk, "records.sqlite3")

    def tearDown(self):
        # Before the directory it is mounted in goes.
        self.stack.close()
        if getattr(self, "mounted", False):
            subprocess.run(["umount", self.disk], check=True)
        super().tearDown()

    def test_a_full_disk_stops_the_station_before_any_device(self):
        path, _ = self.image(1000, seed=49)
        sim = self.sim()
        self.rack.plug("ttyUSB0", 2, sim.path)
        fill(self.disk)
        result = self.station(path)
        self.assertEqual(result.returncode, EXIT_SYSTEM, result.stderr)
        self.assertIn("full", result.stderr)
        self.assertIn("No device was touched", result.stderr)
        self.assert_untouched(sim)

    def test_a_records_file_that_opens_but_takes_no_row_stops_it_too(self):
        path, _ = self.image(1000, seed=51)
        empty = Rack(tempfile.mkdtemp(dir=self.dir))
        made = self.station(path, env=dict(self.env, KORMELT_SCAN_ROOT=empty.root))  # makes the file, finds nothing
        self.assertEqual(made.returncode, EXIT_SEARCH, made.stderr)
        sim = self.sim()
        self.rack.plug("ttyUSB0", 2, sim.path)
        # Another reader keeps the file's log and shared memory, so that it opens on the full disk; the first
        # row has no room.
        with contextlib.closing(sqlite3.connect(self.records)) as reader:
            self.assertEqual(reader.execute("SELECT count(*) FROM updates").fetchone()[0], 0)
            fill(self.disk)
            result = self.station(path, "--json")
        self.assertEqual(result.returncode, EXIT_SYSTEM, result.stderr)
        self.assertIn("full", result.stderr)
        self.assertIn("No device was touched", result.stderr)
        self.assertEqual([e["event"] for e in cli.json_events(result.stdout)], ["check", "device", "summary"])
        self.assert_untouched(sim)

    def test_a_disk_that_fills_during_the_run_fails_it_clearly(self):
        path, image = self.image(PACED_IMAGE_BYTES, seed=50)
        sims = [self.sim("--paced") for _ in range(2)]
        for k, sim in enumerate(sims):
            self.rack.plug("ttyUSB%d" % k, k + 2, sim.path, serial="FULL%d" % k)
        run = Events([path, "--records", self.records], self.env)
        run.until(lambda e, events: len({x["port"] for x in events if x["event"] == "progress"
                                         and x["phase"] == "upload"}) == 2, "both uploading")
        fill(self.disk)
        code, stderr = run.finish()
        self.assertEqual(code, EXIT_SYSTEM, stderr)
        summary = run.events[-1]
        self.assertIn("records cannot be written", summary["message"])
        self.assertIn("full", summary["message"])
        problems = run.of("problem")
        self.assertEqual(len(problems), 2, run.events[-4:])
        self.assertTrue(all("could not be recorded" in p["message"] for p in problems), problems)
        self.assertIn("full", stderr)
        for sim in sims:
            self.assert_updated(sim, image)  # the devices were not made to pay for the disk
        os.remove(os.path.join(self.disk, "filler"))
        # Never shown as a success: the rows read as cut off.
        self.assertEqual([row["outcome"] for row in self.rows()], ["interrupted"] * 2)


def main():
    tool_test_main.main(cli)


if __name__ == "__main__":
    main()
