"""What the tests of `kormelt ui` share: the station's and the command-line tests' helpers (the simulator as
a child, images, a scan tree with adapters in hub sockets), `kormelt ui` started on a free loopback port with
its URL read from its first line, a session opened with the token, and requests made with Python's
http.client. Loopback only: nothing here ever connects anywhere else.

    import ui_fixture
    station, cli = ui_fixture.station, ui_fixture.cli   # set cli.KORMELT and cli.SIM before use
    with ui_fixture.Ui(["--records", path], env) as ui:
        status, headers, body = ui.request("GET", "/api/state")
"""

import http.client
import importlib.util
import json
import os
import re
import signal
import subprocess
import sys
import threading
import urllib.parse

_TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _load(name, path):
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


# test_station loads test_cli itself; both are taken whole, never copied.
station = sys.modules.get("test_station") or _load("test_station", os.path.join(_TESTS, "station", "test_station.py"))
cli = station.cli

START_TIMEOUT_S = 20  # until the URL line
STOP_TIMEOUT_S = 30   # a cancelled update waits out at most one silent reply, then the records
REQUEST_TIMEOUT_S = 30
SESSION_COOKIE = "kormelt_session"
URL_PATTERN = re.compile(r"^http://(?P<host>[^/]+):(?P<port>[0-9]+)/\?token=(?P<token>[0-9a-f]+)$")


def parse_url(line):
    """(host, port, token) of the first line `kormelt ui` prints; AssertionError when it is no such URL."""
    found = URL_PATTERN.match(line.strip())
    if found is None:
        raise AssertionError("not the URL line of kormelt ui: %r" % line)
    return found.group("host"), int(found.group("port")), found.group("token")


class Ui:
    """`kormelt ui --listen 127.0.0.1:0 ARGS` as a child. Its later stdout lines are collected by a thread
    (ui.lines); stop() sends a signal and returns (exit code, stderr)."""

    def __init__(self, args, env, listen="127.0.0.1:0"):
        self.process = subprocess.Popen([cli.KORMELT, "ui", "--listen", listen, *args], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = []
        first = self._first_line()
        self.url = first.strip()
        self.host, self.port, self.token = parse_url(first)
        self.netloc = "%s:%d" % (self.host, self.port)
        self.origin = "http://" + self.netloc
        self._reader = threading.Thread(target=self._read_rest, daemon=True)
        self._reader.start()
        self._stderr = None

    def _first_line(self):
        timer = threading.Timer(START_TIMEOUT_S, self.process.kill)
        timer.start()
        try:
            line = self.process.stdout.readline()
        finally:
            timer.cancel()
        if not line:
            stderr = self.process.stderr.read()
            self.process.wait()
            raise AssertionError("kormelt ui printed no URL (exit %s): %s" % (self.process.returncode, stderr))
        return line

    def _read_rest(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.stop()

    def stop(self, signal_number=signal.SIGTERM):
        """Signals the server and waits for it; returns (exit code, stderr)."""
        try:
            if self.process.poll() is None:
                self.process.send_signal(signal_number)
            self.process.wait(timeout=STOP_TIMEOUT_S)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
        self._reader.join(timeout=STOP_TIMEOUT_S)
        self._stderr = self.process.stderr.read()
        self.process.stdout.close()
        self.process.stderr.close()
        return self.process.returncode, self._stderr

    def connection(self, timeout=REQUEST_TIMEOUT_S):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def request(self, method, path, body=None, headers=None, auth=True, origin=True, host=None):
        """One request on a connection of its own: with the token header unless auth is False, the Origin of
        the server for POST unless origin is False (or a string: that Origin). Returns (status, headers as a
        dict with lowercase names, body bytes)."""
        all_headers = {"Host": host or self.netloc}
        if auth:
            all_headers["X-Kormelt-Token"] = self.token
        if method == "POST" and origin:
            all_headers["Origin"] = origin if isinstance(origin, str) else self.origin
        all_headers.update(headers or {})
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
            all_headers.setdefault("Content-Type", "application/json")
        conn = self.connection()
        try:
            conn.request(method, path, body=body, headers=all_headers)
            response = conn.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            conn.close()

    def json(self, method, path, body=None, **options):
        """request() for a JSON answer: (status, the parsed body)."""
        status, _, data = self.request(method, path, body=body, **options)
        return status, json.loads(data) if data else None

    def state(self):
        status, snapshot = self.json("GET", "/api/state")
        if status != 200:
            raise AssertionError("GET /api/state: %d %r" % (status, snapshot))
        return snapshot

    def open_session(self):
        """GET /?token=T as a browser opens the URL: returns the session cookie's value, from the 303."""
        status, headers, _ = self.request("GET", "/?token=" + urllib.parse.quote(self.token), auth=False)
        if status != 303:
            raise AssertionError("GET /?token=: %d" % status)
        cookie = headers.get("set-cookie", "")
        name, _, rest = cookie.partition("=")
        if name != SESSION_COOKIE:
            raise AssertionError("no session cookie: %r" % cookie)
        return rest.split(";", 1)[0]


def multipart(field, filename, content, boundary="kormelt-test-boundary"):
    """(body, Content-Type) of a multipart/form-data upload of one file field."""
    body = (("--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\n") % (boundary, field, filename)).encode()
    body += content + ("\r\n--%s--\r\n" % boundary).encode()
    return body, "multipart/form-data; boundary=" + boundary
