#!/usr/bin/python3
"""`kormelt ui` over HTTP, with Python's http.client and raw sockets on loopback only: the token and its
cookie, the Host and Origin rules, bodies refused before they are read, malformed bodies, the headers, an
update of two simulated devices started over the API, and a server that still serves after all of it. The
scan is pointed at a tree of the test's own (the station tests' Rack), never at this machine's ports.

Usage: test_ui_http.py --kormelt PATH --sim PATH [unittest arguments]
"""

import json
import os
import signal
import socket
import threading
import time

import ui_fixture

station, cli = ui_fixture.station, ui_fixture.cli

UPDATE_TIMEOUT_S = 90
STATE_POLL_S = 0.1
UPLOAD_BOUND = (16 << 20) + (64 << 10)  # the largest image and the form around it
# The server gives a client 5 s to send what it announced; an answer within less than that shows it did not
# wait for the body it refused.
ANSWER_BEFORE_READ_TIMEOUT_S = 4
CHUNK = 1 << 20
SEND_AT_MOST = 64 << 20  # far beyond the bound and whatever the sockets hold


def raw_connection(ui, timeout=ANSWER_BEFORE_READ_TIMEOUT_S):
    sock = socket.create_connection(("127.0.0.1", ui.port), timeout=timeout)
    return sock


def read_status(sock):
    """The status code of the answer on sock, read until the end of its status line."""
    data = b""
    while b"\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    line = data.split(b"\r\n", 1)[0].decode(errors="replace")
    parts = line.split()
    if len(parts) < 2 or not parts[0].startswith("HTTP/"):
        raise AssertionError("no HTTP answer: %r" % data[:200])
    return int(parts[1])


class UiCase(station.StationCase):
    ui_args = ()

    def setUp(self):
        super().setUp()
        self.ui = self.start_ui(*self.ui_args)

    def start_ui(self, *args):
        ui = ui_fixture.Ui(["--records", self.records, *args], self.env)
        self.addCleanup(ui.__exit__)
        return ui

    def assert_serves(self):
        status, snapshot = self.ui.json("GET", "/api/state")
        self.assertEqual(status, 200)
        self.assertIn("devices", snapshot)

    def wait_state(self, predicate, what, timeout=UPDATE_TIMEOUT_S):
        deadline = time.monotonic() + timeout
        snapshot = None
        while time.monotonic() < deadline:
            snapshot = self.ui.state()
            if predicate(snapshot):
                return snapshot
            time.sleep(STATE_POLL_S)
        raise AssertionError("not within %d s: %s; last state %r" % (timeout, what, snapshot))


    def wait_records(self, outcomes, what):
        """The records once their outcomes are these: a device shows its result as its worker reports it, and
        its record is completed once the worker has gone."""
        deadline = time.monotonic() + UPDATE_TIMEOUT_S
        records = None
        while time.monotonic() < deadline:
            status, answer = self.ui.json("GET", "/api/records")
            self.assertEqual(status, 200)
            records = answer["records"]
            if sorted(r["outcome"] for r in records) == sorted(outcomes):
                return records
            time.sleep(STATE_POLL_S)
        raise AssertionError("not within %d s: %s; last records %r" % (UPDATE_TIMEOUT_S, what, records))


class SessionTest(UiCase):
    def test_the_token_opens_a_session_and_nothing_else_does(self):
        cases = [
            ("no token, no cookie", "/", {}),
            ("no token on the API", "/api/state", {}),
            ("no token on a page file", "/app.js", {}),
            ("a wrong token", "/?token=" + "0" * len(self.ui.token), {}),
            ("the token cut short", "/?token=" + self.ui.token[:-1], {}),
            ("a wrong cookie", "/api/state", {"Cookie": "kormelt_session=" + "f" * len(self.ui.token)}),
            ("a wrong token header", "/api/state", {"X-Kormelt-Token": self.ui.token[::-1]}),
            ("the token as another cookie", "/api/state", {"Cookie": "other=" + self.ui.token}),
        ]
        for what, path, headers in cases:
            with self.subTest(what):
                status, _, body = self.ui.request("GET", path, headers=headers, auth=False)
                self.assertEqual(status, 403, body)
                self.assertIn("error", json.loads(body))

        status, headers, _ = self.ui.request("GET", "/?token=" + self.ui.token, auth=False)
        self.assertEqual(status, 303)
        self.assertEqual(headers["location"], "/")
        cookie = [part.strip() for part in headers["set-cookie"].split(";")]
        self.assertEqual(cookie[0], "kormelt_session=" + self.ui.token)
        self.assertIn("HttpOnly", cookie)
        self.assertIn("SameSite=Strict", cookie)
        self.assertIn("Path=/", cookie)

        session = {"Cookie": "kormelt_session=" + self.ui.open_session()}
        for path, mime in [("/", "text/html"), ("/app.js", "text/javascript"), ("/app.css", "text/css"),
                           ("/api/state", "application/json")]:
            with self.subTest(path):
                status, headers, _ = self.ui.request("GET", path, headers=session, auth=False)
                self.assertEqual(status, 200)
                self.assertTrue(headers["content-type"].startswith(mime), headers["content-type"])

    def test_only_requests_addressed_to_this_server_are_answered(self):
        port = self.ui.port
        for host in ["localhost:%d" % port, "127.0.0.1:%d" % port, "[::1]:%d" % port, "LOCALHOST:%d" % port]:
            with self.subTest(host=host):
                self.assertEqual(self.ui.request("GET", "/api/state", host=host)[0], 200)
        for host in ["attacker.example:%d" % port, "attacker.example", "127.0.0.1", "127.0.0.1:%d" % (port + 1),
                     "localhost.attacker.example:%d" % port, "127.0.0.2:%d" % port, " "]:
            with self.subTest(host=host):
                status, _, body = self.ui.request("GET", "/api/state", host=host)
                self.assertEqual(status, 403, body)
                # The page itself is refused too, whatever its session.
                self.assertEqual(self.ui.request("GET", "/?token=" + self.ui.token, host=host, auth=False)[0], 403)

    def test_changes_need_post_and_the_pages_origin(self):
        for what, origin in [("no Origin", False), ("another site", "http://attacker.example"),
                             ("another port", "http://127.0.0.1:%d" % (self.ui.port + 1)),
                             ("https", "https://" + self.ui.netloc), ("an opaque origin", "null")]:
            for path, body in [("/api/stop", {}), ("/api/flash", {}), ("/api/auto", {"enabled": True})]:
                with self.subTest(what, path=path):
                    status, _, answer = self.ui.request("POST", path, body=body, origin=origin)
                    self.assertEqual(status, 403, answer)
        self.assertFalse(self.ui.state()["auto"])
        # GET changes nothing: the routes of changes take POST only.
        for path in ["/api/stop", "/api/flash", "/api/auto", "/api/image"]:
            with self.subTest(get=path):
                self.assertEqual(self.ui.request("GET", path)[0], 405)
        status, answer = self.ui.json("POST", "/api/auto", body={"enabled": True})
        self.assertEqual((status, answer), (200, {"auto": True}))
        self.assertTrue(self.ui.state()["auto"])
        self.assertEqual(self.ui.request("POST", "/api/stop")[0], 202)  # an empty body is {}

    def test_headers_of_the_page_and_the_api(self):
        for path, auth in [("/", True), ("/app.js", True), ("/app.css", True), ("/api/state", True),
                           ("/api/records", True), ("/api/state", False), ("/nothing-here", True)]:
            with self.subTest(path, auth=auth):
                status, headers, _ = self.ui.request("GET", path, auth=auth)
                self.assertEqual(headers.get("content-security-policy"), "default-src 'self'", status)
                self.assertEqual(headers.get("x-content-type-options"), "nosniff")
                self.assertEqual(headers.get("referrer-policy"), "no-referrer")
                if path.startswith("/api/"):
                    self.assertEqual(headers.get("cache-control"), "no-store")
        self.assertEqual(self.ui.request("GET", "/nothing-here")[0], 404)


class AbuseTest(UiCase):
    def upload_headers(self, length):
        return ("POST /api/image HTTP/1.1\r\nHost: %s\r\nOrigin: %s\r\nX-Kormelt-Token: %s\r\n"
                "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: %d\r\n\r\n"
                % (self.ui.netloc, self.ui.origin, self.ui.token, length)).encode()

    def test_an_upload_beyond_the_bound_is_refused_before_its_body_is_read(self):
        sock = raw_connection(self.ui)
        try:
            sock.sendall(self.upload_headers(17 << 20) + b"--b\r\n" + b"x" * 1000)
            # Only the headers and a little of the body were sent: a server that read on would wait for the
            # rest until its read timeout and answer only then.
            self.assertEqual(read_status(sock), 413)
        finally:
            sock.close()
        status, _, body = self.ui.request("POST", "/api/image", body=b"x" * 10,
                                          headers={"Content-Length": str(UPLOAD_BOUND + 1),
                                                   "Content-Type": "multipart/form-data; boundary=b"})
        self.assertEqual(status, 413, body)
        self.assert_serves()

    def test_a_body_without_a_length_is_cut_at_the_bound(self):
        sock = raw_connection(self.ui, timeout=30)
        head = self.upload_headers(0).replace(b"Content-Length: 0", b"Transfer-Encoding: chunked")
        answers = []
        reader = threading.Thread(target=lambda: answers.append(read_status(sock)), daemon=True)
        sent = 0
        try:
            sock.sendall(head)
            reader.start()
            chunk = b"%x\r\n" % CHUNK + b"y" * CHUNK + b"\r\n"
            with self.assertRaises(OSError):
                while sent < SEND_AT_MOST:
                    sock.sendall(chunk)
                    sent += CHUNK
            reader.join(timeout=30)
        finally:
            sock.close()
        self.assertLess(sent, SEND_AT_MOST)
        self.assertEqual(answers, [413])
        self.assert_serves()

    def test_malformed_bodies_are_refused(self):
        form = "multipart/form-data; boundary=b"
        good_part = b'--b\r\nContent-Disposition: form-data; name="image"; filename="fw.bin"\r\n\r\nabc\r\n--b--\r\n'
        uploads = [
            ("no multipart", b"abc", "application/octet-stream"),
            ("no boundary", good_part, "multipart/form-data"),
            ("another boundary", good_part, "multipart/form-data; boundary=c"),
            ("no closing boundary", b'--b\r\nContent-Disposition: form-data; name="image"; filename="f"\r\n\r\nabc',
             form),
            ("headers that never end", b'--b\r\nContent-Disposition: form-data; name="image"', form),
            ("a header line without a name", b'--b\r\nno colon here\r\n\r\nabc\r\n--b--\r\n', form),
            ("no field image", good_part.replace(b'name="image"', b'name="other"'), form),
            ("image that is no file", good_part.replace(b'; filename="fw.bin"', b""), form),
            ("only the end", b"--b--\r\n", form),
            ("garbage", os.urandom(5000), form),
            ("empty", b"", form),
        ]
        for what, body, content_type in uploads:
            with self.subTest(what):
                status, _, answer = self.ui.request("POST", "/api/image", body=body,
                                                    headers={"Content-Type": content_type})
                self.assertEqual(status, 400, answer)
                self.assertIn("error", json.loads(answer))
        for path, body in [("/api/auto", b"{not json"), ("/api/auto", b"[]"), ("/api/auto", b'{"enabled": "yes"}'),
                           ("/api/auto", b"{}"), ("/api/flash", b"{garbage"), ("/api/stop", b"\xff\xfe"),
                           ("/api/auto", b"x" * 5000)]:
            with self.subTest(path, body=body[:20]):
                status, _, answer = self.ui.request("POST", path, body=body,
                                                    headers={"Content-Type": "application/json"})
                self.assertIn(status, (400, 413), answer)
                self.assertEqual(status, 413 if len(body) > 4096 else 400, answer)
        self.assertIsNone(self.ui.state()["image"])
        self.assert_serves()

    def test_requests_that_are_no_http_are_refused_or_dropped(self):
        head = "Host: %s\r\nX-Kormelt-Token: %s\r\n" % (self.ui.netloc, self.ui.token)
        garbage = [
            os.urandom(3000),
            b"\x00" * 100 + b"\r\n\r\n",
            b"GET\r\n\r\n",
            b"GET / HTTP/9.9\r\n" + head.encode() + b"\r\n",
            b"BREW /api/state HTTP/1.1\r\n" + head.encode() + b"\r\n",
            b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\n" + head.encode() + b"\r\n",
            b"GET /api/state HTTP/1.1\r\n" + head.encode() + b"X-Long: " + b"b" * 20000 + b"\r\n\r\n",
            b"GET /api/state HTTP/1.1\r\n" + head.encode() + b"".join(b"X-%d: 1\r\n" % k for k in range(5000))
            + b"\r\n",
            b"GET /%00/../../etc/passwd HTTP/1.1\r\n" + head.encode() + b"\r\n",
            b"POST /api/auto HTTP/1.1\r\n" + head.encode() + b"Origin: " + self.ui.origin.encode()
            + b"\r\nContent-Length: -5\r\n\r\n",
            b"POST /api/auto HTTP/1.1\r\n" + head.encode() + b"Origin: " + self.ui.origin.encode()
            + b"\r\nContent-Length: 99999999999999999999999\r\n\r\n",
            b"POST /api/auto HTTP/1.1\r\n" + head.encode() + b"Origin: " + self.ui.origin.encode()
            + b"\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n",
        ]
        for k, request in enumerate(garbage):
            with self.subTest(k=k, start=request[:40]):
                sock = raw_connection(self.ui, timeout=10)
                try:
                    try:
                        sock.sendall(request)
                        answer = sock.recv(4096)
                    except ConnectionResetError:
                        answer = b""  # dropped: as good as refused
                finally:
                    sock.close()
                if answer:
                    # Refused, or (many headers, each within its bound) answered; never a failure of the server.
                    self.assertTrue(answer.startswith(b"HTTP/1.1 "), answer[:200])
                    self.assertLess(int(answer.split()[1]), 500, answer[:200])
                self.assert_serves()

    def test_a_silent_client_does_not_hold_up_the_others(self):
        silent = [raw_connection(self.ui, timeout=30) for _ in range(4)]
        try:
            silent[0].sendall(b"GET /api/state HTTP/1.1\r\nHost: ")  # half a request, then nothing
            silent[1].sendall(self.upload_headers(1000) + b"--b")  # a body announced and never sent
            started = time.monotonic()
            for _ in range(5):
                self.assert_serves()
            self.assertLess(time.monotonic() - started, ANSWER_BEFORE_READ_TIMEOUT_S)
        finally:
            for sock in silent:
                sock.close()


class UpdateTest(UiCase):
    def upload(self, path, name=None):
        with open(path, "rb") as f:
            body, content_type = ui_fixture.multipart("image", name or os.path.basename(path), f.read())
        return self.ui.json("POST", "/api/image", body=body, headers={"Content-Type": content_type})

    def test_two_devices_are_updated_over_http_and_recorded(self):
        path, image = self.image(3000, seed=71)
        sims = [self.sim() for _ in range(2)]
        for k, sim in enumerate(sims):
            self.rack.plug("ttyUSB%d" % k, k + 2, sim.path, serial="UI%d" % k)
        self.assertEqual(self.ui.json("POST", "/api/flash")[0], 409)  # no image yet

        status, answer = self.upload(path, "firmware.img")
        self.assertEqual(status, 200, answer)
        self.assertEqual(answer["image"]["name"], "firmware.img")
        self.assertEqual(answer["image"]["size"], len(image))
        self.assertEqual(answer["image"]["crc"], "0x%04X" % cli.crc16(image[:-2]))
        self.assertEqual(answer["image"]["format"], "image")
        snapshot = self.wait_state(lambda s: len(s["devices"]) == 2, "both devices found")
        self.assertEqual({d["state"] for d in snapshot["devices"]}, {"waiting"})
        self.assertEqual(sorted(d["serial"] for d in snapshot["devices"]), ["UI0", "UI1"])
        for sim in sims:
            self.assert_untouched(sim)  # found, and held until asked

        records_before = snapshot["records_version"]
        status, answer = self.ui.json("POST", "/api/flash", body={})
        self.assertEqual((status, answer), (202, {"started": 2}))
        snapshot = self.wait_state(lambda s: all(d["state"] == "ok" for d in s["devices"]), "both updated")
        self.assertEqual([d["percent"] for d in snapshot["devices"]], [100, 100])
        records = self.wait_records(["ok", "ok"], "both recorded")
        self.assertGreater(self.ui.state()["records_version"], records_before)
        self.assertEqual(sorted(r["usb_serial"] for r in records), ["UI0", "UI1"])
        self.assertEqual(self.ui.json("GET", "/api/records?outcome=failed")[1], {"records": []})
        self.assertEqual(len(self.ui.json("GET", "/api/records?serial=UI1&limit=5")[1]["records"]), 1)
        self.assertEqual(self.ui.json("GET", "/api/records?limit=0")[0], 400)
        status, headers, csv = self.ui.request("GET", "/api/records.csv?serial=UI0")
        self.assertEqual(status, 200)
        self.assertTrue(headers["content-type"].startswith("text/csv"))
        self.assertEqual(headers["content-disposition"], 'attachment; filename="kormelt-records.csv"')
        self.assertEqual(len(csv.decode().strip().splitlines()), 2)  # the header and the one row

        code, stderr = self.ui.stop()
        self.assertEqual(code, cli.EXIT_CANCELLED, stderr)
        self.assertEqual(sum(" ok in " in line for line in self.ui.lines), 2, self.ui.lines)
        for sim in sims:
            self.assert_updated(sim, image)
        self.assertEqual([row["outcome"] for row in self.rows()], ["ok", "ok"])

    def test_a_refused_image_is_named_and_clears_the_image(self):
        path, image = self.image(2000, seed=72)
        self.assertEqual(self.upload(path)[0], 200)
        broken = self.file("broken.img", image[:-1] + bytes([image[-1] ^ 1]))
        status, answer = self.upload(broken)
        self.assertEqual(status, 422, answer)
        self.assertTrue(answer["error"].startswith("broken.img"), answer)
        self.assertNotIn(os.sep + "kormelt-ui-", answer["error"])  # the private folder stays private
        snapshot = self.ui.state()
        self.assertIsNone(snapshot["image"])
        self.assertEqual(snapshot["image_error"], answer["error"])
        # Firmware with addresses is sealed as flash would seal it.
        hexfile = self.file("fw.hex", "\n".join([cli.hex_record(0, 0, b"\x01\x02\x03\x04"), cli.HEX_EOF]) + "\n")
        status, answer = self.upload(hexfile)
        self.assertEqual(status, 200, answer)
        self.assertEqual((answer["image"]["format"], answer["image"]["size"]), ("ihex", 6))
        self.assertIsNone(self.ui.state()["image_error"])


class CancelTest(UiCase):
    """Paced devices, stopped in the middle of their upload: by the page, and by a signal to the server."""

    def setUp(self):
        station.StationCase.setUp(self)
        # The server's private folders land here, to be seen gone at its end.
        self.tmp = os.path.join(self.dir, "tmp")
        os.makedirs(self.tmp)
        self.env["TMPDIR"] = self.tmp
        self.ui = self.start_ui()

    def start_paced(self, count):
        path, image = self.image(station.PACED_IMAGE_BYTES, seed=74)
        sims = [self.sim("--paced") for _ in range(count)]
        for k, sim in enumerate(sims):
            self.rack.plug("ttyUSB%d" % k, k + 2, sim.path, serial="RUN%d" % k)
        with open(path, "rb") as f:
            body, content_type = ui_fixture.multipart("image", "paced.img", f.read())
        self.assertEqual(self.ui.request("POST", "/api/image", body=body, headers={"Content-Type": content_type})[0],
                         200)
        self.wait_state(lambda s: len(s["devices"]) == count, "the devices found")
        self.assertEqual(self.ui.json("POST", "/api/flash")[1], {"started": count})
        self.wait_state(lambda s: all(d["phase"] == "upload" and d["percent"] > 15 for d in s["devices"]),
                        "every device uploading")
        return sims

    def test_stop_cancels_the_updates_and_the_server_goes_on(self):
        sims = self.start_paced(2)
        self.assertEqual(self.ui.request("POST", "/api/stop", body={})[0], 202)
        snapshot = self.wait_state(lambda s: all(d["state"] == "cancelled" for d in s["devices"]), "both cancelled",
                                   timeout=station.WORKER_GONE_TIMEOUT_S)
        for device in snapshot["devices"]:
            self.assertTrue(device["message"].startswith("Cancelled during upload"), device)
        for sim in sims:
            self.assertNotIn("restart", [r.kind for r in sim.log()])
            self.assertTrue(station.port_is_free(sim.path))
        self.wait_records(["cancelled"] * 2, "both recorded as cancelled")
        self.assert_serves()

    def test_a_signal_cancels_the_updates_records_them_and_ends_the_server(self):
        sims = self.start_paced(2)
        signalled = time.monotonic()
        code, stderr = self.ui.stop(signal.SIGTERM)
        self.assertLess(time.monotonic() - signalled, station.WORKER_GONE_TIMEOUT_S)
        self.assertEqual(code, cli.EXIT_CANCELLED, stderr)
        for sim in sims:
            self.assertNotIn("restart", [r.kind for r in sim.log()])
            self.assertTrue(station.port_is_free(sim.path), "a worker still holds %s" % sim.path)
        self.assertEqual([row["outcome"] for row in self.rows()], ["cancelled"] * 2)
        self.assertEqual(sum(": cancelled" in line or "Cancelled" in line for line in self.ui.lines), 2, self.ui.lines)
        self.assertEqual([n for n in os.listdir(self.tmp) if n.startswith("kormelt-")], [])  # the uploads gone too


class AutoAndEventsTest(UiCase):
    def test_with_auto_on_a_device_plugged_in_is_updated_at_once(self):
        path, image = self.image(2500, seed=75)
        with open(path, "rb") as f:
            body, content_type = ui_fixture.multipart("image", "auto.img", f.read())
        self.assertEqual(self.ui.request("POST", "/api/image", body=body, headers={"Content-Type": content_type})[0],
                         200)
        early = self.sim()
        self.rack.plug("ttyUSB0", 2, early.path, serial="EARLY")
        self.wait_state(lambda s: len(s["devices"]) == 1, "the first device found")
        self.assertEqual(self.ui.json("POST", "/api/auto", body={"enabled": True})[1], {"auto": True})
        late = self.sim()
        self.rack.plug("ttyUSB1", 3, late.path, serial="LATE")
        snapshot = self.wait_state(lambda s: any(d["serial"] == "LATE" and d["state"] == "ok" for d in s["devices"]),
                                   "the device plugged in with auto on updated")
        # Only the one that appeared: the one found before stays waiting.
        self.assertEqual({d["serial"]: d["state"] for d in snapshot["devices"]}, {"EARLY": "waiting", "LATE": "ok"})
        self.assert_untouched(early)
        self.assert_updated(late, image)
        # Unplugged, it leaves the page.
        self.rack.unplug("ttyUSB1")
        self.wait_state(lambda s: [d["serial"] for d in s["devices"]] == ["EARLY"], "the unplugged device gone")

    def test_the_event_stream_sends_the_state_on_connect_and_on_change(self):
        conn = self.ui.connection(timeout=10)
        try:
            conn.request("GET", "/api/events", headers={"Host": self.ui.netloc, "X-Kormelt-Token": self.ui.token})
            response = conn.getresponse()
            self.assertEqual(response.status, 200)
            self.assertTrue(response.getheader("Content-Type").startswith("text/event-stream"))
            self.assertEqual(response.getheader("Cache-Control"), "no-store")

            def next_event():
                lines = []
                while True:
                    line = response.readline().decode()
                    self.assertTrue(line, "the stream ended")
                    if line == "\n" and lines:
                        return lines
                    if line != "\n":
                        lines.append(line.rstrip("\n"))

            first = next_event()
            self.assertEqual(first[0], "event: state")
            self.assertTrue(first[1].startswith("data: "))
            self.assertFalse(json.loads(first[1][len("data: "):])["auto"])
            self.assertEqual(self.ui.json("POST", "/api/auto", body={"enabled": True})[0], 200)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                event = next_event()
                if event[0] == "event: state" and json.loads(event[1][len("data: "):])["auto"]:
                    break
            else:
                self.fail("no event with auto on")
            self.assertGreaterEqual(self.ui.state()["connected_clients"], 1)
        finally:
            conn.close()


class StartTest(station.StationCase):
    def test_what_keeps_the_server_from_starting(self):
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        self.addCleanup(taken.close)
        bad = self.file("bad.img", b"\x00" * 100)
        cases = [
            ("no port", ["--listen", "127.0.0.1"], cli.EXIT_USAGE, "--listen"),
            ("a port beyond 65535", ["--listen", "127.0.0.1:70000"], cli.EXIT_USAGE, "--listen"),
            ("a name that is no address", ["--listen", "example.invalid:0"], cli.EXIT_USAGE, "--listen"),
            ("locked without an image", ["--listen", "127.0.0.1:0", "--locked"], cli.EXIT_USAGE, "--image"),
            ("a refused image", ["--listen", "127.0.0.1:0", "--image", bad], cli.EXIT_IMAGE, "bad.img"),
            ("a port taken", ["--listen", "127.0.0.1:%d" % taken.getsockname()[1]], cli.EXIT_SYSTEM, "cannot listen"),
        ]
        for what, args, code, words in cases:
            with self.subTest(what):
                result = station.kormelt("ui", "--records", self.records, *args, env=self.env, timeout=30)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertEqual(result.stdout, "")  # no address to open
                self.assertIn(words, result.stderr)


    def test_a_signal_right_after_the_start_ends_it(self):
        for signal_number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signal_number):
                ui = ui_fixture.Ui(["--records", self.records], self.env)
                self.assertEqual(ui.stop(signal_number)[0], cli.EXIT_CANCELLED)


class LockedTest(UiCase):
    def setUp(self):
        station.StationCase.setUp(self)
        self.path, self.image_bytes = self.image(1500, seed=73)
        self.ui = self.start_ui("--image", self.path, "--locked")

    def test_the_locked_image_cannot_be_replaced(self):
        snapshot = self.ui.state()
        self.assertTrue(snapshot["locked"])
        self.assertEqual(snapshot["image"]["size"], len(self.image_bytes))
        body, content_type = ui_fixture.multipart("image", "other.img", self.image_bytes)
        status, _, answer = self.ui.request("POST", "/api/image", body=body, headers={"Content-Type": content_type})
        self.assertEqual(status, 409, answer)
        self.assertEqual(self.ui.state()["image"]["sha256"], snapshot["image"]["sha256"])


if __name__ == "__main__":
    station.main()  # the same command line as the station's tests, and the tests of this file
