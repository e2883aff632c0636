#!/usr/bin/python3
"""End-to-end runs of the kormelt tool, and one of the Python binding, through
ports on the network: socket:// against kormelt-sim --tcp, rfc2217:// against
the distribution's ser2net in front of the simulator's pseudo-terminal, and
servers on the loopback that say nothing, stop halfway or misbehave.

Usage: test_remote.py --kormelt PATH --sim PATH [--library PATH] [unittest arguments]
(without --library the tests through the Python binding are skipped)

The simulator, images and runs of the tool are those of tests/cli/test_cli.py,
imported from there. Every server listens on 127.0.0.1 only, and every one
the tests start stops by itself.
"""

import argparse
import contextlib
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "cli"))
import test_cli as cli  # noqa: E402
from test_cli import (AGAIN, EXIT_DOCTOR, EXIT_OK, EXIT_SEARCH, EXIT_UPLOAD, RUN_TIMEOUT_S, Simulator,  # noqa: E402
                      TempDirTest, expect_update, kormelt, padded, port_env, sealed, terminate, tool_message)
from shared_tables import Sentence  # noqa: E402

LIBRARY = None
PYTHON_SOURCES = os.path.join(HERE, os.pardir, os.pardir, "python", "src")

LOOPBACK = "127.0.0.1"
# The library's bounds (link/remote_posix.h, protocol/protocol.h), kept here
# as the tests' own figures.
CONNECT_TIMEOUT_S = 2.0
NEGOTIATION_TIMEOUT_S = 2.0
REPLY_TIMEOUT_S = 3.0
CLOSE_DRAIN_S = 0.25
# Generous room past a bound on a busy machine; a test asserts the bound's
# lower end where the wait is the point, and this upper one.
LATE_MARGIN_S = 2.5
# How long a scripted server keeps at it before it stops by itself.
SERVER_LIFETIME_S = 20.0
SER2NET_START_S = 5.0

HOSTS_FILE = "/etc/hosts"
# A name whose lookup fails on this machine without a question to any name
# server: a label longer than the 63 characters a name may hold.
UNKNOWN_NAME = "x" * 64 + ".invalid"

IAC, DONT, DO, WONT, WILL, SB, SE, NOP = 255, 254, 253, 252, 251, 250, 240, 241
BINARY, SGA, COM_PORT = 0, 3, 44


def free_port():
    """A TCP port on the loopback that nobody listens on (at the moment of asking)."""
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def loopback_name():
    """A name other than localhost that this machine's hosts file maps to 127.0.0.1, or None: looked up, it
    never leaves the machine."""
    try:
        with open(HOSTS_FILE, encoding="utf-8", errors="replace") as hosts:
            lines = hosts.read().splitlines()
    except OSError:
        return None
    for line in lines:
        fields = line.split("#", 1)[0].split()
        if len(fields) > 1 and fields[0] == LOOPBACK:
            names = [name for name in fields[1:] if name.lower() != "localhost"]
            if names:
                return names[0]
    return None


def only_port(url):
    """COM1 is url, the other six lead nowhere."""
    return port_env(COM1=url)


def summary(result):
    """The last JSON event of a flash --json run: exit code, failed phase and status."""
    event = json.loads(result.stdout.splitlines()[-1])
    return event["exit_code"], event["phase"], event["status"]


def flash_json(path, url, *extra):
    return kormelt("flash", "--json", *extra, "--port", url, path, env=only_port(url))


def tcp_simulator(*options):
    return Simulator("--tcp", "%s:0" % LOOPBACK, *options)


class Ser2net:
    """The distribution's ser2net on the loopback in front of a device path, with an rfc2217 accepter."""

    def __init__(self, device, line="9600e71"):
        self.dir = tempfile.TemporaryDirectory(prefix="kormelt-ser2net-")
        self.port = free_port()
        config = os.path.join(self.dir.name, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("connection: &device\n"
                    "  accepter: telnet(rfc2217),tcp,%s,%d\n"
                    "  connector: serialdev,%s,%s,local\n" % (LOOPBACK, self.port, device, line))
        self.process = subprocess.Popen([shutil.which("ser2net"), "-n", "-d", "-u", "-c", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + SER2NET_START_S
        while not self.listening():
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.stop()
                raise RuntimeError("ser2net did not start listening on port %d" % self.port)
            time.sleep(0.05)
        self.url = "rfc2217://%s:%d" % (LOOPBACK, self.port)

    def listening(self):
        """Whether the port is in the kernel's table of listening sockets; no connection is made, so the
        device is not opened for nothing."""
        with open("/proc/net/tcp") as f:
            rows = [line.split() for line in f.readlines()[1:]]
        return any(row[1].endswith(":%04X" % self.port) and row[3] == "0A" for row in rows)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        terminate(self.process, SER2NET_START_S)
        self.dir.cleanup()


class ScriptedServer:
    """A TCP server on the loopback that plays script(connection) for each host that connects, one at a time,
    in a thread, and stops by itself after SERVER_LIFETIME_S."""

    def __init__(self, script):
        self.script = script
        self.listener = socket.socket()
        self.listener.bind((LOOPBACK, 0))
        self.listener.listen(4)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        self.stopping = threading.Event()
        self.deadline = time.monotonic() + SERVER_LIFETIME_S
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def url(self, scheme="rfc2217", suffix=""):
        return "%s://%s:%d%s" % (scheme, LOOPBACK, self.port, suffix)

    def alive(self):
        return not self.stopping.is_set() and time.monotonic() < self.deadline

    def serve(self):
        while self.alive():
            try:
                connection, _ = self.listener.accept()
            except socket.timeout:
                continue
            self.connections += 1
            with connection:
                connection.settimeout(0.2)
                with contextlib.suppress(OSError):
                    self.script(self, connection)
        self.listener.close()

    def read_some(self, connection):
        """What the host sent within a moment; None once it closed."""
        try:
            data = connection.recv(4096)
        except socket.timeout:
            return b""
        return data if data else None

    def hold(self, connection):
        """Says nothing more, reading what comes, until the host goes."""
        while self.alive() and self.read_some(connection) is not None:
            pass

    def flood(self, connection, chunk):
        """Sends chunk again and again until the host goes."""
        connection.settimeout(1.0)
        while self.alive():
            connection.sendall(chunk)

    def agree(self, connection):
        """What a good serial server does: binary, suppress-go-ahead and COM-PORT-OPTION agreed, each setting
        answered with the value asked."""
        connection.sendall(bytes([IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA,
                                  IAC, DO, COM_PORT]))
        received = b""
        while self.alive() and received.count(bytes([IAC, SE])) < 5:
            data = self.read_some(connection)
            if data is None:
                return False
            received += data
        for start in range(len(received)):
            if received[start:start + 3] == bytes([IAC, SB, COM_PORT]):
                end = received.index(bytes([IAC, SE]), start)
                code, value = received[start + 3], received[start + 4:end]
                connection.sendall(bytes([IAC, SB, COM_PORT, code + 100]) + value + bytes([IAC, SE]))
        return True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.thread.join(timeout=SERVER_LIFETIME_S)


class TimedRun:
    """A run of the tool with its duration."""

    def __init__(self, path, url, *extra):
        started = time.monotonic()
        self.result = flash_json(path, url, *extra)
        self.seconds = time.monotonic() - started


class SocketTest(TempDirTest):
    """socket:// against the simulator on TCP: the same update and the same failures as on a pseudo-terminal."""

    def test_update_over_a_socket(self):
        path, image = self.image(5000, seed=21)
        with tcp_simulator() as sim:
            url = "socket://" + sim.path
            result = kormelt("flash", "--port", url, path, env=port_env())
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            self.assertIn("COM1 (%s)" % url, result.stdout)
            expect_update(self, sim, image)

    def test_update_through_a_server_named_by_its_host_name(self):
        name = loopback_name()
        if name is None:
            self.skipTest("%s maps no name but localhost to %s" % (HOSTS_FILE, LOOPBACK))
        path, image = self.image(3000, seed=28)
        with tcp_simulator() as sim:
            url = "socket://%s:%s" % (name, sim.path.rsplit(":", 1)[1])
            result = kormelt("flash", "--port", url, path, env=port_env())
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            self.assertIn("COM1 (%s)" % url, result.stdout)
            expect_update(self, sim, image)

    def test_a_port_variable_may_name_a_server(self):
        # Found in its place among the seven, the ports before it tried first.
        path, image = self.image(700, seed=22)
        with tcp_simulator() as sim:
            url = "socket://" + sim.path
            result = kormelt("flash", "--json", path, env=port_env(COM4=url))
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            events = [json.loads(line) for line in result.stdout.splitlines()]
            tried = [e["port"] for e in events if e["event"] == "progress" and e["phase"] == "search"]
            self.assertEqual(tried, ["COM1", "COM2", "COM3", "COM4"])
            expect_update(self, sim, image)

    def test_the_binding_words_a_dropped_connection_as_the_networks(self):
        skip_without_binding(self)
        path, _ = self.image(1000, seed=27)
        script = (
            "import sys\n"
            "import kormelt\n"
            "try:\n"
            "    kormelt.update(sys.argv[1])\n"
            "except kormelt.KormeltError as error:\n"
            "    print(error.status)\n"
            "    print(error)\n")
        with tcp_simulator("--hangup-at", "12") as sim:
            url = "socket://" + sim.path
            env = dict(only_port(url), KORMELT_LIBRARY=LIBRARY, PYTHONPATH=PYTHON_SOURCES, PYTHONDONTWRITEBYTECODE="1")
            result = subprocess.run([sys.executable, "-c", script, path], env=env, capture_output=True, text=True,
                                    timeout=RUN_TIMEOUT_S)
        self.assertEqual(result.returncode, 0, result.stderr)
        status, message = result.stdout.splitlines()[:2]
        self.assertEqual(int(status), 14)
        sentence = Sentence("network_failed", failed="Upload failed at 38%", url=url, status=14,
                            retry=Sentence("retry_upload", again="run the update again"))
        self.assertTrue(sentence.found_in(message), (sentence, message))

    def test_faults_give_the_statuses_of_a_pseudo_terminal(self):
        path, _ = self.image(1000, seed=23)
        for options in (["--silent-from", "4"], ["--bad-crc-at", "2"], ["--hangup-at", "12"], ["--bad-crc-at", "1"]):
            with self.subTest(options=options):
                with Simulator(*options) as sim:
                    on_pty = flash_json(path, sim.path)
                with tcp_simulator(*options) as sim:
                    on_tcp = flash_json(path, "socket://" + sim.path)
                self.assertNotEqual(on_pty.returncode, EXIT_OK, on_pty.stderr)
                self.assertEqual(on_tcp.returncode, on_pty.returncode, on_tcp.stderr)
                self.assertEqual(summary(on_tcp), summary(on_pty))


class ToolTest(TempDirTest):
    """What the tool says of ports on the network: their state without a word to the device, doctor's checks,
    and a failure worded as the network's."""

    def test_ports_shows_whether_each_server_is_reachable(self):
        closed = free_port()
        with tcp_simulator() as sim:
            env = port_env(COM2="socket://" + sim.path, COM3="rfc2217://%s:%d" % (LOOPBACK, closed),
                           COM4="rfc2217://%s:2217" % UNKNOWN_NAME, COM5="tcp://%s:1" % LOOPBACK)
            result = kormelt("ports", env=env)
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            lines = {line.split()[0]: line for line in result.stdout.splitlines()[1:]}
            self.assertIn("server reachable", lines["COM2"])
            self.assertIn("server unreachable (Connection refused)", lines["COM3"])
            self.assertIn("server unreachable (%s could not be looked up" % UNKNOWN_NAME, lines["COM4"])
            self.assertNotIn("no answer within", lines["COM4"], "the lookup failed at once, not at the bound")
            self.assertIn("cannot be opened (not a port name the library takes", lines["COM5"])
            states = {e["port"]: e["state"] for e in map(json.loads, kormelt("ports", "--json", env=env)
                                                         .stdout.splitlines()) if "state" in e}
            self.assertEqual((states["COM2"], states["COM3"], states["COM4"]), ("reachable", "unreachable",
                                                                                 "unreachable"))
            self.assertEqual(sim.log(), [], "the device was sent nothing")

    def test_doctor_checks_the_name_its_resolution_and_the_connection(self):
        closed = free_port()
        with tcp_simulator() as sim:
            url = "socket://" + sim.path
            good = kormelt("doctor", "--port", url, env=port_env())
            self.assertEqual(good.returncode, EXIT_OK, good.stdout + good.stderr)
            self.assertIn("127.0.0.1 needs no lookup", good.stdout)
            self.assertIn("the server takes connections", good.stdout)
            self.assertIn("the device answered on COM1 (%s)" % url, good.stdout)
        cases = [
            ("rfc2217://%s:%d" % (LOOPBACK, closed), "cannot connect: Connection refused"),
            ("rfc2217://%s:2217" % UNKNOWN_NAME, "%s could not be looked up" % UNKNOWN_NAME),
            ("socket://%s" % LOOPBACK, "not a port name the library takes"),
        ]
        for url, words in cases:
            with self.subTest(url=url):
                result = kormelt("doctor", "--port", url, env=port_env())
                self.assertEqual(result.returncode, EXIT_DOCTOR, result.stdout + result.stderr)
                self.assertIn(words, result.stdout)

    def test_doctor_looks_a_name_up_and_connects_as_the_library_does(self):
        name = loopback_name()
        if name is None:
            self.skipTest("%s maps no name but localhost to %s" % (HOSTS_FILE, LOOPBACK))
        with tcp_simulator() as sim:
            url = "socket://%s:%s" % (name, sim.path.rsplit(":", 1)[1])
            result = kormelt("doctor", "--port", url, env=port_env())
            self.assertEqual(result.returncode, EXIT_OK, result.stdout + result.stderr)
            self.assertIn("%s resolves to %s" % (name, LOOPBACK), result.stdout)
            self.assertIn("the server takes connections", result.stdout)
            self.assertIn("the device answered on COM1 (%s)" % url, result.stdout)

    def test_a_failed_line_on_a_server_is_the_networks(self):
        path, _ = self.image(1000, seed=25)
        with tcp_simulator("--hangup-at", "12") as sim:
            url = "socket://" + sim.path
            result = kormelt("flash", "--port", url, path, env=port_env())
        self.assertEqual(result.returncode, EXIT_UPLOAD, result.stderr)
        sentence = Sentence("network_failed", failed="Upload failed at 38%", url=url, status=14,
                            retry=Sentence("retry_upload", again=AGAIN))
        self.assertTrue(sentence.matches(tool_message(result.stderr)), (sentence, result.stderr))


class BoundsTest(TempDirTest):
    """Servers that fail the host: each costs at most its bound, and ends as a port without the device or a
    device that stopped answering."""

    def test_a_server_that_is_not_listening_fails_at_once(self):
        path, _ = self.image(100)
        port = free_port()
        for url in ("socket://%s:%d" % (LOOPBACK, port), "rfc2217://%s:%d" % (LOOPBACK, port),
                    "rfc2217://localhost:%d" % port, "socket://[::1]:%d" % port):
            with self.subTest(url=url):
                run = TimedRun(path, url)
                self.assertEqual(run.result.returncode, EXIT_SEARCH, run.result.stderr)
                self.assertEqual(summary(run.result), (EXIT_SEARCH, "search", 13))
                self.assertLess(run.seconds, CONNECT_TIMEOUT_S)

    def test_names_that_are_no_port_open_nothing(self):
        path, _ = self.image(100)
        for url in ("rfc2217://%s" % LOOPBACK, "tcp://%s:1" % LOOPBACK, "socket://%s:0" % LOOPBACK,
                    "rfc2217://%s:1?sometimes" % LOOPBACK):
            with self.subTest(url=url):
                run = TimedRun(path, url)
                self.assertEqual(summary(run.result), (EXIT_SEARCH, "search", 13))
                self.assertLess(run.seconds, CONNECT_TIMEOUT_S)

    def test_a_server_that_accepts_and_says_nothing(self):
        path, _ = self.image(100)
        # rfc2217 gives up when the agreement does not come; a plain socket
        # is a silent device.
        cases = [("rfc2217", NEGOTIATION_TIMEOUT_S), ("socket", REPLY_TIMEOUT_S)]
        for scheme, bound in cases:
            with self.subTest(scheme=scheme), ScriptedServer(ScriptedServer.hold) as server:
                run = TimedRun(path, server.url(scheme))
                self.assertEqual(summary(run.result), (EXIT_SEARCH, "search", 13))
                self.assertGreaterEqual(run.seconds, bound)
                self.assertLess(run.seconds, bound + CLOSE_DRAIN_S + LATE_MARGIN_S)
                self.assertGreaterEqual(server.connections, 1)

    def test_a_silent_server_in_the_search_costs_its_bound_and_the_search_goes_on(self):
        path, image = self.image(600, seed=26)
        with ScriptedServer(ScriptedServer.hold) as silent, tcp_simulator() as sim:
            started = time.monotonic()
            result = kormelt("flash", "--json", path, env=port_env(COM2=silent.url(), COM3="socket://" + sim.path))
            seconds = time.monotonic() - started
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            self.assertGreaterEqual(seconds, NEGOTIATION_TIMEOUT_S)
            self.assertLess(seconds, NEGOTIATION_TIMEOUT_S + CLOSE_DRAIN_S + LATE_MARGIN_S)
            self.assertEqual(json.loads(result.stdout.splitlines()[-1])["port"], "COM3")
            expect_update(self, sim, image)

    def test_a_server_that_stops_mid_upload(self):
        # A relay to the simulator that stops passing bytes on, both ways,
        # once the host has sent enough to be well into the upload, and keeps
        # the connection open: a half-open line.
        path, _ = self.image(3000, seed=24)
        stop_after = 900  # bytes from the host: identify, the erase, some packets

        with tcp_simulator() as sim:
            host, port = sim.path.rsplit(":", 1)

            def relay(server, connection):
                device = socket.create_connection((host, int(port)))
                device.settimeout(0.05)
                passed = 0
                with device:
                    while server.alive() and passed < stop_after:
                        data = server.read_some(connection)
                        if data is None:
                            return
                        device.sendall(data)
                        passed += len(data)
                        with contextlib.suppress(socket.timeout):
                            connection.sendall(device.recv(4096))
                    server.hold(connection)

            with ScriptedServer(relay) as server:
                run = TimedRun(path, server.url("socket"))
            self.assertEqual(run.result.returncode, EXIT_UPLOAD, run.result.stderr)
            self.assertEqual(summary(run.result), (EXIT_UPLOAD, "upload", 14))
            self.assertIn("Upload failed", run.result.stderr)


@unittest.skipUnless(shutil.which("ser2net"), "ser2net is not installed")
class Ser2netTest(TempDirTest):
    """rfc2217:// through ser2net in front of the simulator's pseudo-terminal, which starts at 9600 7E1 so that
    only the library's settings make it 19200 8N1."""

    def test_update_over_rfc2217(self):
        image = sealed(cli.random_bytes(6000, 31))
        path = self.file("image.bin", image)
        with Simulator() as sim, Ser2net(sim.path) as server:
            result = kormelt("flash", "--port", server.url, path, env=port_env())
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            self.assertIn("COM1 (%s)" % server.url, result.stdout)
            expect_update(self, sim, image)

    def test_an_image_full_of_telnet_and_frame_escapes(self):
        # 0xFF is telnet's command byte, doubled on the way; 0xFD and 0x7E
        # are the frame's escape and flag, stuffed in every packet.
        image = sealed(bytes([0xFF, 0xFF, 0xFD, 0xFF, 0x7E, 0xFD, 0xFF]) * 300)
        path = self.file("escapes.bin", image)
        with Simulator() as sim, Ser2net(sim.path) as server:
            result = kormelt("flash", "--port", server.url + "?strict", path, env=port_env())
            self.assertEqual(result.returncode, EXIT_OK, result.stderr)
            expect_update(self, sim, image)

    def test_faults_give_the_statuses_of_a_pseudo_terminal(self):
        path, _ = self.image(1000, seed=32)
        for options in (["--silent-from", "4"], ["--bad-crc-at", "2"], ["--hangup-at", "12"]):
            with self.subTest(options=options):
                with Simulator(*options) as sim:
                    on_pty = flash_json(path, sim.path)
                with Simulator(*options) as sim, Ser2net(sim.path) as server:
                    on_rfc2217 = flash_json(path, server.url)
                self.assertNotEqual(on_pty.returncode, EXIT_OK, on_pty.stderr)
                self.assertEqual(on_rfc2217.returncode, on_pty.returncode, on_rfc2217.stderr)
                self.assertEqual(summary(on_rfc2217), summary(on_pty))

    def test_the_binding_updates_and_the_library_sets_the_line(self):
        skip_without_binding(self)
        image = sealed(cli.random_bytes(2000, 33))
        path = self.file("image.bin", image)
        script = (
            "import json, os, sys, termios\n"
            "import kormelt\n"
            "with kormelt.open() as device:\n"
            "    fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)\n"
            "    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)\n"
            "    os.close(fd)\n"
            "    device.erase()\n"
            "    device.program(sys.argv[2])\n"
            "    device.restart()\n"
            "print(json.dumps({'cflag': cflag, 'ispeed': ispeed, 'ospeed': ospeed}))\n")
        with Simulator() as sim, Ser2net(sim.path) as server:
            env = dict(only_port(server.url), KORMELT_LIBRARY=LIBRARY, PYTHONPATH=PYTHON_SOURCES,
                       PYTHONDONTWRITEBYTECODE="1")
            result = subprocess.run([sys.executable, "-c", script, sim.path, path], env=env, capture_output=True,
                                    text=True, timeout=RUN_TIMEOUT_S)
            self.assertEqual(result.returncode, 0, result.stderr)
            line = json.loads(result.stdout.splitlines()[-1])
            self.assertEqual((line["ispeed"], line["ospeed"]), (termios.B19200, termios.B19200))
            self.assertEqual(line["cflag"] & termios.CSIZE, termios.CS8)
            self.assertEqual(line["cflag"] & (termios.PARENB | termios.CSTOPB | termios.CRTSCTS), 0)
            self.assertEqual(sim.dump(), padded(image))


class HostileServerTest(TempDirTest):
    """Telnet servers that misbehave: none makes a run wait past its bound."""

    def run_against(self, script, bound, suffix=""):
        path, _ = self.image(100)
        with ScriptedServer(script) as server:
            run = TimedRun(path, server.url(suffix=suffix))
        self.assertEqual(summary(run.result), (EXIT_SEARCH, "search", 13), run.result.stderr)
        self.assertLess(run.seconds, bound + CLOSE_DRAIN_S + LATE_MARGIN_S)
        return run

    def test_servers_that_never_let_the_agreement_end(self):
        unknown = b"".join(bytes([IAC, verb, option]) for option in range(45, 256) for verb in (DO, WILL))
        cases = [
            ("a subnegotiation without end", bytes([IAC, SB, COM_PORT]) + b"\x55" * 4096),
            ("requests for every unknown option", unknown),
            ("a flood of commands", bytes([IAC, NOP]) * 2048),
            ("refusals of everything", bytes([IAC, WONT, BINARY, IAC, DONT, BINARY]) * 512),
        ]
        for name, chunk in cases:
            with self.subTest(name):
                self.run_against(lambda server, connection: server.flood(connection, chunk), NEGOTIATION_TIMEOUT_S)

    def test_a_server_that_refuses_com_port_option(self):
        def refuse(server, connection):
            connection.sendall(bytes([IAC, WILL, BINARY, IAC, DO, BINARY, IAC, DONT, COM_PORT]))
            server.hold(connection)

        # Strict by default: refused at once. Tolerant: the line is taken as
        # it is and the silent device behind it costs the reply timeout.
        strict = self.run_against(refuse, 0.0)
        self.assertLess(strict.seconds, NEGOTIATION_TIMEOUT_S)
        tolerant = self.run_against(refuse, REPLY_TIMEOUT_S, suffix="?tolerant")
        self.assertGreaterEqual(tolerant.seconds, REPLY_TIMEOUT_S)

    def test_a_server_that_answers_other_settings(self):
        def answers(baud):
            return (bytes([IAC, SB, COM_PORT, 101]) + baud + bytes([IAC, SE]) +
                    b"".join(bytes([IAC, SB, COM_PORT, code, value, IAC, SE])
                             for code, value in ((102, 8), (103, 1), (104, 1), (105, 1))))

        def wrong(server, connection):
            connection.sendall(bytes([IAC, WILL, BINARY, IAC, DO, BINARY, IAC, DO, COM_PORT]))
            received = b""
            while server.alive() and received.count(bytes([IAC, SE])) < 5:
                data = server.read_some(connection)
                if data is None:
                    return
                received += data
            connection.sendall(answers(bytes([0, 0, 0x25, 0x80])))  # 9600 baud
            server.hold(connection)

        # Refused as soon as the answers are in, without waiting for the device.
        run = self.run_against(wrong, 0.0)
        self.assertLess(run.seconds, NEGOTIATION_TIMEOUT_S)

    def test_servers_that_agree_and_then_misbehave(self):
        def then(after):
            def script(server, connection):
                if server.agree(connection):
                    after(server, connection)
            return script

        cases = [
            ("half-open: nothing more", then(ScriptedServer.hold)),
            ("commands instead of a reply", then(lambda s, c: s.flood(c, bytes([IAC, NOP]) * 2048))),
            ("a subnegotiation instead of a reply", then(lambda s, c: s.flood(c, bytes([IAC, SB, COM_PORT]) +
                                                                           b"\x7e" * 4096))),
        ]
        for name, script in cases:
            with self.subTest(name):
                run = self.run_against(script, REPLY_TIMEOUT_S)
                self.assertGreaterEqual(run.seconds, REPLY_TIMEOUT_S)


def skip_without_binding(test):
    if LIBRARY is None:
        test.skipTest("no library for the binding: a sanitizer build cannot be loaded into Python")


def main():
    global LIBRARY
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--kormelt", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--library")
    known, rest = parser.parse_known_args()
    cli.KORMELT, cli.SIM, LIBRARY = known.kormelt, known.sim, known.library
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
