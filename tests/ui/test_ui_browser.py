#!/usr/bin/python3
"""The page of `kormelt ui` in a headless Chromium driven by Selenium, as a
technician uses it: an image chosen, the devices of a scan tree of the test's
own shown as cards (each leads to a simulator), all flashed at once, the
records below. Nothing looks at this machine's serial ports.

Usage: test_ui_browser.py --kormelt PATH --sim PATH [unittest arguments]

With KORMELT_UI_SCREENSHOTS=DIR the technician's steps are saved there as PNG
files. Where Chromium, its driver or Selenium is missing, every test is
skipped and says why.
"""

import base64
import contextlib
import hashlib
import os
import socket
import sys
import tempfile
import threading
import time
import unittest

# The station's rack of simulators on a scan tree and the command-line tests' helpers, through the fixture.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ui_fixture  # noqa: E402
import test_ui_http  # noqa: E402  (the bound of an upload)
import tool_test_main  # noqa: E402  (tests/support, on the path test_cli made)

station, cli = ui_fixture.station, ui_fixture.cli

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    SELENIUM_MISSING = None
except ImportError as error:
    SELENIUM_MISSING = "Selenium cannot be imported by %s (%s)" % (sys.executable, error)

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WINDOW = (1280, 1100)  # wide enough for two cards side by side and the table
PAGE_TIMEOUT_S = 15  # the page loaded, its stream open, a snapshot drawn
FLASH_TIMEOUT_S = 30  # small unpaced images: a second or two each
FAILURE_TIMEOUT_S = cli.REPLY_TIMEOUT_S + 10  # a device that stops answering is given up after one reply timeout
STOP_TIMEOUT_S = station.WORKER_GONE_TIMEOUT_S + 5
RECONNECT_TIMEOUT_S = 20  # EventSource waits a few seconds between tries
KEEP_ALIVE_S = 15  # the tool writes a comment on an event stream that has been quiet this long
STREAM_GONE_TIMEOUT_S = KEEP_ALIVE_S + 5
HEX_RECORD_BYTES = 32
RELAY_BACKLOG = 16  # a page opens a handful of connections at once
RELAY_CHUNK_BYTES = 64 << 10
SCREENSHOTS = os.environ.get("KORMELT_UI_SCREENSHOTS")

# Everything a card and a row tell, read in one go so that a redraw between two reads cannot mix them.
READ_PAGE = """
const text = (id) => { const e = document.querySelector('[data-testid="' + id + '"]'); return e ? e.textContent : null; };
const shown = (id) => { const e = document.querySelector('[data-testid="' + id + '"]'); return !!e && e.offsetParent !== null; };
return {
  devices: Array.from(document.querySelectorAll('[data-testid="device"]')).map((card) => ({
    port: card.dataset.port, location: card.dataset.location, serial: card.dataset.serial, state: card.dataset.state,
    percent: Number(card.querySelector('[data-testid="device-progress"]').value), text: card.textContent})),
  records: Array.from(document.querySelectorAll('[data-testid="record-row"]')).map((row) => ({
    serial: row.dataset.serial, outcome: row.dataset.outcome, text: row.textContent})),
  summary: text("image-summary"),
  error: shown("image-error") ? text("image-error") : "",
  lost: shown("connection-lost"),
  flash_enabled: !document.querySelector('[data-testid="flash-all"]').disabled,
  stop_enabled: !document.querySelector('[data-testid="stop-all"]').disabled,
  auto: document.querySelector('[data-testid="auto-flash"]').checked,
};
"""

SELECT_SHA256 = """
const value = Array.from(document.querySelectorAll('[data-testid="image-summary"] dt'))
  .find((term) => term.textContent === 'SHA-256').nextElementSibling;
const range = document.createRange();
range.selectNodeContents(value);
getSelection().removeAllRanges();
getSelection().addRange(range);
"""
SELECTION = "return getSelection().toString();"
# What a link of the page leads to, fetched as the page would (with its cookie).
FETCH_TEXT = """
const done = arguments[arguments.length - 1];
fetch(arguments[0], {credentials: 'same-origin'}).then((r) => r.text()).then(done, (e) => done('failed: ' + e));
"""
SELECTION_PROGRESS_PERCENT = 20  # many snapshots drawn since the selection was made


def browser_missing():
    if SELENIUM_MISSING:
        return SELENIUM_MISSING
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            return "%s is not installed" % program
    return None


class Relay:
    """The tool's port on [::1], relayed to its listening address 127.0.0.1, so that a test can cut the page's
    connections and refuse new ones, as a tool that is gone would, and let them through again. The tool takes
    [::1]:PORT as its own Host, so nothing of the HTTP is touched."""

    def __init__(self, port):
        self.port = port
        self.listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        try:
            self.listener.bind(("::1", port))
            self.listener.listen(RELAY_BACKLOG)
        except OSError:
            self.listener.close()
            raise
        self.lock = threading.Lock()
        self.passing = True
        self.sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # closed
            with self.lock:
                passing = self.passing
            if not passing:
                client.close()
                continue
            try:
                upstream = socket.create_connection(("127.0.0.1", self.port))
            except OSError:
                client.close()
                continue
            with self.lock:
                self.sockets += [client, upstream]
            for source, sink in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    @staticmethod
    def _pump(source, sink):
        try:
            while True:
                data = source.recv(RELAY_CHUNK_BYTES)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass  # the other side, or a cut, closed it
        for end in (source, sink):
            with contextlib.suppress(OSError):  # already shut by the other direction
                end.shutdown(socket.SHUT_RDWR)

    def cut(self):
        with self.lock:
            self.passing = False
            cut, self.sockets = self.sockets, []
        for end in cut:
            with contextlib.suppress(OSError):
                end.shutdown(socket.SHUT_RDWR)
            end.close()

    def restore(self):
        with self.lock:
            self.passing = True

    def close(self):
        self.cut()
        self.listener.close()


class BrowserCase(station.StationCase):
    """One Chromium for a group; each test has its own tool, records and scan tree."""

    driver = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.missing = browser_missing()
        if cls.missing:
            return
        # The browser and its driver talk over loopback; a proxy of the environment must not sit between them.
        for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
            os.environ.pop(name, None)
        cls.profile = tempfile.TemporaryDirectory(prefix="kormelt-ui-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--disable-gpu", "--no-sandbox", "--no-proxy-server",
                         "--no-first-run", "--disable-extensions", "--disable-dev-shm-usage",
                         "--user-data-dir=" + cls.profile.name, "--window-size=%d,%d" % WINDOW):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        try:
            cls.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        except WebDriverException as error:
            cls.missing = "Chromium does not start here: %s" % str(error).strip().splitlines()[0]
            cls.profile.cleanup()

    @classmethod
    def tearDownClass(cls):
        if cls.driver is not None:
            cls.driver.quit()
            cls.profile.cleanup()
        super().tearDownClass()

    def setUp(self):
        if self.missing:
            raise unittest.SkipTest(self.missing)
        super().setUp()

    def start_ui(self, *args):
        return self.stack.enter_context(ui_fixture.Ui(["--records", self.records, *args], self.env))

    def open(self, url):
        self.console_errors()  # those of the test before
        self.driver.get(url)
        self.wait(lambda page: not page["lost"], "the page connected to the tool", PAGE_TIMEOUT_S)

    def console_errors(self):
        """What the console has said since the last call at the level of errors: a script's exception, what
        the page's Content-Security-Policy blocked, a file that did not load, an answer of the tool that
        was no success."""
        return [entry["message"] for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]

    def page(self):
        return self.driver.execute_script(READ_PAGE)

    def wait(self, predicate, what, timeout):
        """The page once predicate holds for it; the last page read is in the failure."""
        deadline = time.monotonic() + timeout
        while True:
            page = self.page()
            if predicate(page):
                return page
            if time.monotonic() > deadline:
                raise AssertionError("not within %.0f s: %s; the page: %r" % (timeout, what, page))
            time.sleep(0.1)

    def hook(self, testid):
        return self.driver.find_element(By.CSS_SELECTOR, '[data-testid="%s"]' % testid)

    def choose_image(self, path):
        self.hook("image-input").send_keys(path)

    def states(self, page):
        return {device["serial"]: device["state"] for device in page["devices"]}

    @staticmethod
    def outcomes(page):
        """(serial, outcome) of each row of the table; a row is there from the update's start, as running."""
        return sorted((row["serial"], row["outcome"]) for row in page["records"])

    def screenshot(self, name):
        """The whole page, below the window's edge too, as DIR/name.png."""
        if not SCREENSHOTS:
            return
        os.makedirs(SCREENSHOTS, exist_ok=True)
        size = self.driver.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
        shot = self.driver.execute_cdp_cmd("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}})
        with open(os.path.join(SCREENSHOTS, name + ".png"), "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def plug(self, count, *options, prefix="DEV"):
        sims = [self.sim(*options) for _ in range(count)]
        for k, sim in enumerate(sims):
            self.rack.plug("ttyUSB%d" % k, k + 2, sim.path, serial="%s%d" % (prefix, k))
        return sims


class FlashPageTest(BrowserCase):
    """The technician's three steps, and the records they leave."""

    def test_choose_an_image_see_two_devices_flash_both_and_find_them_recorded(self):
        path, image = self.image(3000, seed=60)
        ui = self.start_ui()
        self.open(ui.url)
        page = self.page()
        self.assertFalse(page["flash_enabled"], "no image yet")
        self.assertEqual(page["devices"], [])

        self.choose_image(path)
        page = self.wait(lambda p: os.path.basename(path) in p["summary"], "the image summary", PAGE_TIMEOUT_S)
        self.assertIn(hashlib.sha256(image).hexdigest(), page["summary"])
        self.assertIn("0x%04X" % cli.crc16(image[:-2]), page["summary"])
        self.assertIn("{:,}".format(len(image)), page["summary"])
        self.assertEqual(page["error"], "")
        self.assertFalse(page["flash_enabled"], "no device yet")
        self.screenshot("1-image-chosen")

        sims = self.plug(2)
        page = self.wait(lambda p: self.states(p) == {"DEV0": "waiting", "DEV1": "waiting"}, "two waiting cards",
                         PAGE_TIMEOUT_S)
        by_serial = {device["serial"]: device for device in page["devices"]}
        for k in range(2):
            self.assertEqual(by_serial["DEV%d" % k]["port"], self.rack.dev("ttyUSB%d" % k))
            self.assertEqual(by_serial["DEV%d" % k]["location"], station.Rack.location(k + 2))
            self.assertIn("FT232R USB UART", by_serial["DEV%d" % k]["text"])
        self.assertTrue(page["flash_enabled"])
        self.assertFalse(page["stop_enabled"], "nothing runs yet")
        self.screenshot("2-devices-seen")

        self.hook("flash-all").click()
        page = self.wait(lambda p: self.states(p) == {"DEV0": "ok", "DEV1": "ok"}
                         and self.outcomes(p) == [("DEV0", "ok"), ("DEV1", "ok")], "both green and recorded",
                         FLASH_TIMEOUT_S)
        for device in page["devices"]:
            self.assertEqual(device["percent"], 100)
            self.assertRegex(device["text"], r"Done in \d+\.\d+ s")
        self.screenshot("3-flashed")
        for sim in sims:
            self.assert_updated(sim, image)

        # The filter narrows the table, and the download follows it.
        serial_filter = self.driver.find_element(By.ID, "filter-serial")
        serial_filter.send_keys("DEV1")
        page = self.wait(lambda p: [r["serial"] for r in p["records"]] == ["DEV1"], "the filtered table",
                         PAGE_TIMEOUT_S)
        csv = self.driver.execute_async_script(FETCH_TEXT, self.driver.find_element(By.ID, "records-csv")
                                               .get_attribute("href"))
        self.assertIn("DEV1", csv)
        self.assertNotIn("DEV0", csv)
        self.assertEqual(len(csv.strip().splitlines()), 2, csv)  # the header and the one row
        self.assertEqual(self.console_errors(), [])

    def test_every_control_is_labelled_and_worked_from_the_keyboard(self):
        path, image = self.image(1000, seed=68)
        sims = self.plug(1)
        ui = self.start_ui("--image", path)
        self.open(ui.url)
        self.wait(lambda p: p["flash_enabled"], "a device to flash", PAGE_TIMEOUT_S)
        unlabelled = self.driver.execute_script(
            "return Array.from(document.querySelectorAll('input, select')).filter((e) => e.labels.length === 0)"
            ".map((e) => e.id);")
        self.assertEqual(unlabelled, [])
        # Tab goes through the steps in order; Stop is off while nothing runs.
        order = []
        for _ in range(6):
            ActionChains(self.driver).send_keys(Keys.TAB).perform()
            order.append(self.driver.execute_script("return document.activeElement.id;"))
        self.assertEqual(order, ["image-input", "flash-all", "auto-flash", "filter-serial", "filter-outcome",
                                 "records-csv"])
        self.hook("flash-all").send_keys(Keys.ENTER)
        self.wait(lambda p: self.states(p) == {"DEV0": "ok"}, "the device flashed from the keyboard", FLASH_TIMEOUT_S)
        self.assert_updated(sims[0], image)
        self.hook("auto-flash").send_keys(Keys.SPACE)
        self.wait(lambda p: p["auto"], "the switch on from the keyboard", PAGE_TIMEOUT_S)

    def test_one_device_failing_leaves_the_other_flashed(self):
        path, image = self.image(3000, seed=61)
        good = self.sim()
        bad = self.sim("--silent-from", "12")  # request 12 is a packet of the upload
        self.rack.plug("ttyUSB0", 2, good.path, serial="GOOD")
        self.rack.plug("ttyUSB1", 3, bad.path, serial="BAD")
        ui = self.start_ui("--image", path)
        self.open(ui.url)
        self.wait(lambda p: len(p["devices"]) == 2 and p["flash_enabled"], "two devices to flash", PAGE_TIMEOUT_S)
        self.hook("flash-all").click()
        page = self.wait(lambda p: self.states(p) == {"GOOD": "ok", "BAD": "failed"}
                         and self.outcomes(p) == [("BAD", "failed"), ("GOOD", "ok")], "one green, one red, recorded",
                         FAILURE_TIMEOUT_S)
        failed = [device for device in page["devices"] if device["serial"] == "BAD"][0]
        self.assertIn("stopped answering", failed["text"])
        self.assert_updated(good, image)
        self.assertNotIn("restart", [request.kind for request in bad.log()])

        self.driver.find_element(By.CSS_SELECTOR, "#filter-outcome option[value='failed']").click()
        page = self.wait(lambda p: [r["serial"] for r in p["records"]] == ["BAD"], "only the failure listed",
                         PAGE_TIMEOUT_S)
        self.assertIn("stopped answering", page["records"][0]["text"])

    def test_a_device_that_appears_is_flashed_when_auto_is_on(self):
        path, image = self.image(2000, seed=62)
        ui = self.start_ui("--image", path)
        self.open(ui.url)
        self.assertEqual(self.page()["devices"], [])
        self.driver.find_element(By.CSS_SELECTOR, "label.switch").click()
        self.wait(lambda p: p["auto"], "the switch on", PAGE_TIMEOUT_S)
        sim = self.sim()
        self.rack.plug("ttyUSB0", 2, sim.path, serial="NEW")
        page = self.wait(lambda p: self.states(p) == {"NEW": "ok"} and self.outcomes(p) == [("NEW", "ok")],
                         "the new device flashed and recorded", FLASH_TIMEOUT_S)
        self.assertTrue(page["auto"])
        self.assert_updated(sim, image)

    def test_stop_in_the_middle_of_the_upload(self):
        path, _ = self.image(station.PACED_IMAGE_BYTES, seed=63)
        sims = self.plug(2, "--paced", prefix="SLOW")
        ui = self.start_ui("--image", path)
        self.open(ui.url)
        self.wait(lambda p: len(p["devices"]) == 2 and p["flash_enabled"], "two devices to flash", PAGE_TIMEOUT_S)
        self.hook("flash-all").click()
        page = self.wait(lambda p: len(p["devices"]) == 2 and all(d["state"] == "running" and d["percent"] > 0
                                                                 for d in p["devices"]),
                         "both uploading", FLASH_TIMEOUT_S)
        self.assertTrue(page["stop_enabled"])
        self.assertFalse(page["flash_enabled"], "nothing left to start")
        self.hook("stop-all").click()
        page = self.wait(lambda p: set(self.states(p).values()) == {"cancelled"}
                         and self.outcomes(p) == [("SLOW0", "cancelled"), ("SLOW1", "cancelled")],
                         "both stopped and recorded", STOP_TIMEOUT_S)
        self.assertFalse(page["stop_enabled"])
        for sim in sims:
            self.assertNotIn("restart", [request.kind for request in sim.log()])


    def test_a_selected_sha256_stays_selected_while_progress_streams_in(self):
        path, image = self.image(station.PACED_IMAGE_BYTES, seed=70)
        self.plug(1, "--paced")
        ui = self.start_ui("--image", path)
        self.open(ui.url)
        self.wait(lambda p: p["flash_enabled"], "a device to flash", PAGE_TIMEOUT_S)
        # As a technician selects the checksum to copy it into the release notes.
        self.driver.execute_script(SELECT_SHA256)
        sha256 = hashlib.sha256(image).hexdigest()
        self.assertEqual(self.driver.execute_script(SELECTION), sha256)
        self.assertEqual(ui.json("POST", "/api/flash", {})[0], 202)
        self.wait(lambda p: [d["percent"] for d in p["devices"]][0] >= SELECTION_PROGRESS_PERCENT,
                  "the upload well under way", FLASH_TIMEOUT_S)
        self.assertEqual(self.driver.execute_script(SELECTION), sha256)
        self.assertEqual(ui.json("POST", "/api/stop", {})[0], 202)


class ImagePageTest(BrowserCase):
    """What the image step shows of an image the tool refuses, and of a locked station."""

    def test_a_refused_image_is_shown_and_cannot_be_flashed(self):
        path, image = self.image(1000, seed=64)
        tampered = bytearray(image)
        tampered[5] ^= 0x40
        cases = [
            ("wrong CRC", "tampered.img", bytes(tampered), "fails its CRC check"),
            ("empty file", "empty.img", b"", "is empty"),
        ]
        self.plug(1)
        ui = self.start_ui()
        self.open(ui.url)
        for name, file_name, content, reason in cases:
            with self.subTest(name):
                self.choose_image(path)
                self.wait(lambda p: os.path.basename(path) in p["summary"] and p["flash_enabled"],
                          "the good image accepted first", PAGE_TIMEOUT_S)
                refused = self.file(file_name, content)
                expected = cli.tool_message(cli.kormelt("check", refused, env=self.env).stderr)
                self.choose_image(refused)
                page = self.wait(lambda p: p["error"] != "", "the refusal", PAGE_TIMEOUT_S)
                self.assertIn(reason, page["error"])
                self.assertIn(reason, expected)
                self.assertFalse(page["flash_enabled"])
                self.assertNotIn(os.path.basename(path), page["summary"], "the earlier image is no longer used")
        # Taken again, a good image clears the refusal.
        self.choose_image(path)
        page = self.wait(lambda p: p["error"] == "" and p["flash_enabled"], "the refusal gone", PAGE_TIMEOUT_S)

    def test_firmware_in_intel_hex_is_sealed_and_flashed(self):
        firmware = cli.random_bytes(700, seed=69)
        lines = [cli.hex_record(address, 0x00, firmware[address:address + HEX_RECORD_BYTES])
                 for address in range(0, len(firmware), HEX_RECORD_BYTES)]
        path = self.file("release.hex", "\n".join(lines + [cli.HEX_EOF, ""]))
        image = cli.sealed(firmware)
        sims = self.plug(1)
        ui = self.start_ui()
        self.open(ui.url)
        self.choose_image(path)
        page = self.wait(lambda p: "release.hex" in p["summary"], "the summary of the HEX file", PAGE_TIMEOUT_S)
        self.assertIn("an Intel HEX file", page["summary"])
        self.assertIn(hashlib.sha256(image).hexdigest(), page["summary"])
        self.assertIn("{:,} bytes".format(len(image)), page["summary"])
        self.hook("flash-all").click()
        self.wait(lambda p: self.states(p) == {"DEV0": "ok"}, "the device flashed", FLASH_TIMEOUT_S)
        self.assert_updated(sims[0], image)

    def test_an_upload_too_large_is_refused_and_the_image_before_stays(self):
        path, _ = self.image(1000, seed=67)
        self.plug(1)
        ui = self.start_ui()
        self.open(ui.url)
        self.choose_image(path)
        self.wait(lambda p: os.path.basename(path) in p["summary"] and p["flash_enabled"], "the image accepted",
                  PAGE_TIMEOUT_S)
        self.choose_image(self.file("huge.img", bytes(test_ui_http.UPLOAD_BOUND + 1)))
        page = self.wait(lambda p: p["error"] != "", "the refusal", PAGE_TIMEOUT_S)
        self.assertIn("larger than an image can be", page["error"])
        self.assertIn("still the one used", page["error"])
        self.assertIn(os.path.basename(path), page["summary"])
        self.assertTrue(page["flash_enabled"])
        self.choose_image(path)
        self.wait(lambda p: p["error"] == "", "the refusal gone", PAGE_TIMEOUT_S)

    def test_a_locked_station_shows_its_image_and_offers_no_other(self):
        path, image = self.image(1500, seed=65)
        sims = self.plug(1)
        ui = self.start_ui("--image", path, "--locked")
        self.open(ui.url)
        page = self.wait(lambda p: os.path.basename(path) in p["summary"] and p["flash_enabled"],
                         "the given image ready", PAGE_TIMEOUT_S)
        self.assertIn(hashlib.sha256(image).hexdigest(), page["summary"])
        inputs = self.driver.find_elements(By.CSS_SELECTOR, '[data-testid="image-input"]')
        self.assertTrue(all(not element.is_enabled() or not element.is_displayed() for element in inputs), inputs)
        self.hook("flash-all").click()
        self.wait(lambda p: self.states(p) == {"DEV0": "ok"}, "the device flashed", FLASH_TIMEOUT_S)
        self.assert_updated(sims[0], image)


class ConnectionPageTest(BrowserCase):
    """The banner while the tool cannot be reached, and the page caught up once it can."""

    def test_the_banner_shows_while_the_stream_is_cut_and_goes_when_it_is_back(self):
        path, _ = self.image(1000, seed=66)
        first = self.sim()
        self.rack.plug("ttyUSB0", 2, first.path, serial="FIRST")
        ui = self.start_ui("--image", path)
        try:
            relay = Relay(ui.port)
        except OSError as error:
            self.skipTest("no IPv6 loopback to relay the tool's port on: %s" % error)
        self.addCleanup(relay.close)
        url = ui.url.replace("//127.0.0.1:", "//[::1]:")
        self.open(url)
        page = self.wait(lambda p: self.states(p) == {"FIRST": "waiting"}, "the first device", PAGE_TIMEOUT_S)
        self.assertFalse(page["lost"])

        relay.cut()
        page = self.wait(lambda p: p["lost"], "the banner", RECONNECT_TIMEOUT_S)
        self.assertFalse(page["flash_enabled"], "nothing can be asked of a tool that is not there")
        # What changes meanwhile is shown once the page is back.
        second = self.sim()
        self.rack.plug("ttyUSB1", 3, second.path, serial="SECOND")
        time.sleep(station.SCAN_SETTLE_S)
        self.assertEqual(set(self.states(self.page())), {"FIRST"})

        relay.restore()
        page = self.wait(lambda p: not p["lost"] and set(self.states(p)) == {"FIRST", "SECOND"},
                         "the banner gone and the second device shown", RECONNECT_TIMEOUT_S)
        self.assertTrue(page["flash_enabled"])

    def test_a_second_window_on_the_station_is_told_of_in_both(self):
        ui = self.start_ui()
        self.open(ui.url)
        first = self.driver.current_window_handle
        others = (lambda: self.driver.find_element(By.ID, "others").is_displayed())
        self.assertFalse(others())
        self.driver.switch_to.new_window("tab")
        self.open(ui.url)
        station.wait_until(others, PAGE_TIMEOUT_S, "the note in the second window")
        self.driver.switch_to.window(first)
        station.wait_until(others, PAGE_TIMEOUT_S, "the note in the first window")
        self.driver.switch_to.window(self.driver.window_handles[-1])
        self.driver.close()
        self.driver.switch_to.window(first)
        # The tool finds a stream closed when it next writes to it: a device plugged in is such a write, mostly
        # sooner than the stream's keep-alive, which is the bound.
        sim = self.sim()
        self.rack.plug("ttyUSB0", 2, sim.path, serial="NEXT")
        station.wait_until(lambda: not others(), STREAM_GONE_TIMEOUT_S, "the note gone with the second window")


if __name__ == "__main__":
    tool_test_main.main(cli)
