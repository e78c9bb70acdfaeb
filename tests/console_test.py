#!/usr/bin/env python3
"""The operator console in a real browser: headless Chromium, driven with
Selenium, against `velmo --headless` and `velmo-devsim` devices on loopback.

    console_test.py VELMO VELMO_DEVSIM [unittest arguments]
    console_test.py VELMO VELMO_DEVSIM --screenshot PATH

Exits 77 (CTest's "skipped") when Chromium, chromedriver or Selenium is not
installed. With --screenshot it runs no test: it shows the console as the
README pictures it (three devices, one showing its information, one a command
taken) and writes that picture to PATH as PNG (scripts/screenshots).
"""

import json
import os
import random
import re
import secrets
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

SKIP = 77

try:
    from selenium import webdriver
    from selenium.common.exceptions import (NoAlertPresentException, StaleElementReferenceException,
                                            TimeoutException)
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError as e:  # pragma: no cover
    print(f"SKIP: Selenium is not installed ({e})")
    sys.exit(SKIP)

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver") or (
    "/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)

VELMO = DEVSIM = None
WAIT_S = 10  # the longest any single expectation is waited for


def wait_until(predicate, timeout=WAIT_S, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            return value
        time.sleep(step)


def port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def sn_of(prefix, index):
    """The SN velmo-devsim gives device `index` of --sn-prefix PREFIX."""
    return f"{prefix}{index:0{24 - len(prefix)}d}"[:24]


class Velmo:
    """velmo --headless on free loopback ports: device P, HTTP P+1, management P+2."""

    def __init__(self, work, *extra):
        self.work = work
        self.token = None
        for attempt in range(8):
            base = random.randrange(20000, 32000)  # below the ephemeral range
            if not all(port_free(base + i) for i in range(3)):
                continue
            self.device_port, self.admin_port = base, base + 2
            self.out = os.path.join(work, f"velmo-{base}.out")
            with open(self.out, "wb") as out, open(self.out + ".err", "wb") as err:
                self.proc = subprocess.Popen(
                    [VELMO, "--headless", "--bind", "127.0.0.1", "--device-port", str(base), "--http-port",
                     str(base + 1), "--admin-port", str(base + 2), "--file-dir", work, *extra],
                    stdout=out, stderr=err)
            if wait_until(lambda: "Tcp Server Start" in self.output(), 5) and \
                    "Tcp Server Start fail" not in self.output() and \
                    wait_until(self._serves_console, 5):
                return
            self.stop()
        raise RuntimeError("no free ports for velmo")

    def _serves_console(self):
        if "Admin Start fail" in self.output():
            return False
        try:
            with urllib.request.urlopen(self.url("/"), timeout=1) as r:
                return b"console.js" in r.read()
        except OSError:
            return False

    def output(self):
        with open(self.out, encoding="utf-8", errors="replace") as f:
            return f.read()

    def url(self, path):
        return f"http://127.0.0.1:{self.admin_port}{path}"

    def api(self, method, path, body=None):
        """(status, headers, parsed JSON or raw bytes) of one management-port request."""
        headers = {"X-Velmo-Request": "1"}
        if self.token:
            headers["Authorization"] = "Bearer " + self.token
        data = body.encode() if isinstance(body, str) else body
        req = urllib.request.Request(self.url(path), data=data, method=method, headers=headers)
        try:
            with urllib.request.urlopen(req, timeout=15) as r:
                status, hdrs, raw = r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            status, hdrs, raw = e.code, e.headers, e.read()
        try:
            return status, hdrs, json.loads(raw) if raw else None
        except ValueError:
            return status, hdrs, raw

    def device_sns(self, prefix=""):
        status, _, body = self.api("GET", "/v1/devices?limit=1000&prefix=" + urllib.parse.quote(prefix))
        assert status == 200, body
        return [d["sn"] for d in body["devices"]]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Devsim:
    """velmo-devsim devices that heartbeat (and so take commands) every `heartbeat` seconds."""

    def __init__(self, velmo, work, *, count=1, prefix=None, sn=None, heartbeat=0.2):
        self.out = os.path.join(work, f"devsim-{secrets.token_hex(4)}.out")
        args = [DEVSIM, "--server", f"127.0.0.1:{velmo.device_port}", "--heartbeat", str(heartbeat)]
        if sn is not None:
            args += ["--sn", sn]
            self.sns = [sn]
        else:
            args += ["--devices", str(count), "--sn-prefix", prefix]
            self.sns = [sn_of(prefix, i) for i in range(count)]
        with open(self.out, "wb") as out:
            self.proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT)
        # Registered once the server lists them all.
        if not wait_until(lambda: set(self.sns) <= set(velmo.device_sns(prefix or sn))):
            self.stop()
            raise RuntimeError(f"the simulated devices did not register: {self.output()}")

    def output(self):
        with open(self.out, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def start_browser():
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,900", "--lang=zh-CN"):
        options.add_argument(arg)
    options.binary_location = CHROMIUM
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class ConsoleCase(unittest.TestCase):
    """One velmo and one browser for the whole class."""

    velmo_args = ()

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velmo-console-")
        cls.velmo = Velmo(cls.work, *cls.velmo_args)
        cls.sims = []
        try:
            cls.driver = start_browser()
        except Exception:
            cls.velmo.stop()
            raise

    @classmethod
    def start_fleet(cls, count, prefix):
        """The class's simulated devices; a failed start takes the class down cleanly."""
        try:
            cls.fleet = Devsim(cls.velmo, cls.work, count=count, prefix=prefix)
        except Exception:
            cls.tearDownClass()
            raise
        cls.sims.append(cls.fleet)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        for sim in cls.sims:
            sim.stop()
        cls.velmo.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def tearDown(self):
        # The page must run cleanly: no script error and nothing its Content
        # Security Policy refused (an inline style or script would be).
        problems = [e["message"] for e in self.driver.get_log("browser")
                    if e.get("source") in ("javascript", "security")
                    or "Content Security Policy" in e["message"] or "Uncaught" in e["message"]]
        self.assertEqual(problems, [], "the browser reported problems")

    # -- helpers ------------------------------------------------------------

    def devsim(self, **kwargs):
        sim = Devsim(self.velmo, self.work, **kwargs)
        self.sims.append(sim)
        return sim

    def open_console(self):
        self.driver.get(self.velmo.url("/"))
        self.wait(lambda d: "conn-up" in d.find_element(By.ID, "conn-state").get_attribute("class").split()
                  or d.find_element(By.ID, "token-overlay").is_displayed(), "the console did not come up")

    def wait(self, condition, message, timeout=WAIT_S):
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.05,
                                 ignored_exceptions=(StaleElementReferenceException,)).until(condition)
        except TimeoutException:
            self.fail(f"{message} (waited {timeout} s)")

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text

    def rows(self):
        """[number, SN, address] of each row of the device table, as shown."""
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#device-rows tr')]"
            ".map(tr => [...tr.cells].slice(0, 3).map(c => c.textContent));")

    def shown_sns(self):
        return [r[1] for r in self.rows()]

    def row(self, sn):
        # One look-up in the page: rows come and go while the list reloads.
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#device-rows tr')]"
            ".find(tr => tr.getAttribute('data-sn') === arguments[0]) || null;", sn)

    def send_command(self, sn, text):
        """Types `text` into the row of `sn` and sends it, as an operator does."""
        row = self.row(sn)
        row.find_element(By.CSS_SELECTOR, "input.cmd-input").send_keys(text)
        row.find_element(By.CSS_SELECTOR, "button.cmd-send").click()

    def result_of(self, sn):
        return self.driver.execute_script(
            "const tr = [...document.querySelectorAll('#device-rows tr')]"
            ".find(tr => tr.getAttribute('data-sn') === arguments[0]);"
            "return tr ? tr.querySelector('td.result').innerText : null;", sn)

    def series(self):
        """The chart's line (its path), read in one go: the chart is redrawn each second."""
        return self.driver.execute_script("return document.getElementById('device-series').getAttribute('d');")

    def log_lines(self):
        return self.driver.execute_script(
            "return [...document.getElementById('log').children].map(d => d.textContent);")

    def server_log(self):
        status, _, lines = self.velmo.api("GET", "/v1/log?lines=1000")
        self.assertEqual(status, 200)
        return lines

    def filter_by(self, prefix):
        # Typed, as an operator does: every key is an input event.
        box = self.driver.find_element(By.ID, "sn-filter")
        box.send_keys(Keys.CONTROL + "a", Keys.BACKSPACE)
        if prefix:
            box.send_keys(prefix)

    def page_numbers(self):
        return [int(n) for n in re.findall(r"\d+", self.text("page-range"))]

    def accept_confirm(self, accept):
        alert = self.wait(lambda d: self._alert(d), "no confirmation was asked")
        text = alert.text
        alert.accept() if accept else alert.dismiss()
        return text

    @staticmethod
    def _alert(driver):
        try:
            return driver.switch_to.alert
        except NoAlertPresentException:
            return False


class OpenConsoleTest(ConsoleCase):
    """A management port without a token, as on a workstation."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.start_fleet(3, "2023A")

    def setUp(self):
        self.driver.get(self.velmo.url("/"))
        self.driver.execute_script("localStorage.clear(); sessionStorage.clear();")
        self.open_console()

    def test_files_are_served_with_their_types_and_guards(self):
        for path, kind in (("/", "text/html; charset=utf-8"), ("/console.css", "text/css"),
                           ("/console.js", "application/javascript")):
            status, headers, body = self.velmo.api("GET", path)
            self.assertEqual(status, 200, path)
            self.assertTrue(headers["Content-Type"].startswith(kind), f"{path}: {headers['Content-Type']}")
            self.assertEqual(headers["X-Content-Type-Options"], "nosniff", path)
            self.assertIn("default-src 'self'", headers["Content-Security-Policy"], path)
            self.assertIn("no-", headers["Cache-Control"], path)  # never a stale console after an upgrade
            self.assertGreater(len(body), 500, path)
        # Nothing from elsewhere: no absolute URL in the page's own files.
        for path in ("/", "/console.css", "/console.js"):
            text = self.velmo.api("GET", path)[2].decode()
            self.assertIsNone(re.search(r"(src|href)=\"(https?:)?//|url\(\s*['\"]?(https?:)?//|@import", text), path)

    def test_page_shows_counters_list_log_and_chart(self):
        want = sorted(self.fleet.sns)
        self.wait(lambda d: self.text("device-count") == str(len(want)), "device counter")
        self.assertEqual(self.text("client-count"), "0")
        self.wait(lambda d: self.shown_sns() == want, "the devices, by SN")
        rows = self.rows()
        self.assertEqual([r[0] for r in rows], [str(i + 1) for i in range(len(want))])
        self.assertTrue(all(r[2] == "127.0.0.1" for r in rows), rows)
        self.assertEqual(self.page_numbers(), [1, len(want), len(want)])
        # The window's labels, in Chinese by default.
        body = self.driver.find_element(By.TAG_NAME, "body").text
        for label in ("功能按键", "开始监听", "停止监听", "关闭连接", "取消接收", "在线客户端：", "在线设备数：",
                      "设备", "日志"):
            self.assertIn(label, body)
        # The log is the server's, line for line, in order (seeded, then live).
        self.wait(lambda d: self.log_lines() == self.server_log(), "the log view differs from the server's log")
        box = self.driver.find_element(By.ID, "log")
        self.assertLessEqual(
            abs(int(box.get_property("scrollHeight")) - int(box.get_property("clientHeight"))
                - int(box.get_property("scrollTop"))), 8, "the log does not show its newest line")
        # The chart: a line up to now, a y axis that reaches the count.
        series = self.series()
        self.assertTrue(series.startswith("M"), series)
        # Read in one go: the chart is drawn anew with each statistics event.
        labels = self.driver.execute_script(
            "return [...document.querySelectorAll('#device-chart text')].map(t => t.textContent);")
        numbers = [int(t) for t in labels if t.isdigit()]
        self.assertIn(0, numbers)
        self.assertGreaterEqual(max(numbers), len(want))
        self.assertIn("现在", labels)

    def test_devices_coming_and_going_show_live(self):
        before = sorted(self.fleet.sns)
        self.wait(lambda d: self.shown_sns() == before, "the first devices")
        series_before = self.series()
        # Socket numbers come back: only lines logged from now on count.
        seen = len(self.log_lines())
        newcomers = self.devsim(count=2, prefix="2024B")
        sockets = [d["socket"] for d in self.velmo.api("GET", "/v1/devices?prefix=2024B")[2]["devices"]]
        self.wait(lambda d: self.text("device-count") == "5", "the counter did not count the newcomers")
        self.wait(lambda d: self.shown_sns() == sorted(before + newcomers.sns), "the newcomers are not listed")
        self.wait(lambda d: all(any(line.endswith(f"OnSocketConnect-{s}") for line in self.log_lines()[seen:])
                                for s in sockets), "no live log line for the newcomers")
        newcomers.stop()
        self.wait(lambda d: self.text("device-count") == "3", "the counter did not see them go")
        self.wait(lambda d: self.shown_sns() == before, "the rows of the devices gone stay")
        self.wait(lambda d: all(any(f"OnSocketDisconnect-{s}," in line for line in self.log_lines()[seen:])
                                for s in sockets), "no live log line for their going")
        self.assertNotEqual(self.series(), series_before,
                            "the chart did not move")

    def test_command_and_information_reach_the_device(self):
        sn = self.fleet.sns[1]
        self.wait(lambda d: self.row(sn) is not None, "the device's row")
        self.send_command(sn, "led on 你好")
        self.wait(lambda d: self.result_of(sn) == "taken", "the command was not taken")
        self.assertTrue(wait_until(lambda: f"{sn}: led on 你好\n" in self.fleet.output()),
                        "the device did not receive the command")
        # Too long a command: the server's refusal, as it gives it.
        row = self.row(sn)
        field = row.find_element(By.CSS_SELECTOR, "input.cmd-input")
        field.clear()
        field.send_keys("x" * 300)
        row.find_element(By.CSS_SELECTOR, "button.cmd-send").click()
        self.wait(lambda d: self.result_of(sn) == "413 body too long", "no refusal shown for a long command")
        self.row(sn).find_element(By.CSS_SELECTOR, "input.cmd-input").clear()
        # The device's information, as the API gives it.
        self.row(sn).find_element(By.CSS_SELECTOR, "button.info").click()
        self.wait(lambda d: "版本" in (self.result_of(sn) or ""), "the device's information is not shown")
        status, _, info = self.velmo.api("GET", "/v1/devices/" + sn + "/info")
        self.assertEqual(status, 200, info)
        shown = self.result_of(sn)
        for key in ("version", "ip", "mac"):
            self.assertIn(info[key], shown)
        # Another device's row takes its own command, the first row's answer stays.
        other = self.fleet.sns[0]
        self.send_command(other, "led on")
        self.wait(lambda d: self.result_of(other) == "taken", "the second command was not taken")
        # A picture of the page can be taken (scripts/screenshots makes the
        # README's): a PNG as large as the page's view.
        png = self.driver.get_screenshot_as_png()
        self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(list(struct.unpack(">II", png[16:24])),
                         self.driver.execute_script("return [window.innerWidth, window.innerHeight];"))

    def test_disconnect_asks_first(self):
        sim = self.devsim(count=1, prefix="2025C")
        sn = sim.sns[0]
        self.wait(lambda d: self.row(sn) is not None, "the device's row")
        self.row(sn).find_element(By.CSS_SELECTOR, "button.disconnect").click()
        self.assertIn(sn, self.accept_confirm(False))
        # A refused confirmation sends nothing (an answer would show in the row).
        self.assertEqual(self.result_of(sn), "")
        self.assertIn(sn, self.velmo.device_sns(sn), "refusing the confirmation still disconnected")
        self.row(sn).find_element(By.CSS_SELECTOR, "button.disconnect").click()
        self.accept_confirm(True)
        self.wait(lambda d: self.row(sn) is None, "the disconnected device stays listed")
        self.assertEqual(self.velmo.device_sns(sn), [])
        self.assertTrue(wait_until(lambda: "disconnected by the server" in sim.output()), sim.output())
        self.wait(lambda d: any(line.endswith(f"SN={sn}") and "OnOperatorClose-" in line
                                for line in self.log_lines()), "no log line for the disconnection")

    def test_filter_and_pages(self):
        many = self.devsim(count=230, prefix="2026P", heartbeat=5)
        try:
            everyone = sorted(self.fleet.sns + many.sns)
            self.wait(lambda d: self.text("device-count") == str(len(everyone)), "device counter")
            self.wait(lambda d: self.page_numbers() == [1, 100, len(everyone)], "first page")
            self.assertEqual(self.shown_sns(), everyone[:100])
            self.filter_by("2026P")
            self.wait(lambda d: self.page_numbers() == [1, 100, 230], "filtered first page")
            self.assertEqual(self.shown_sns(), many.sns[:100])
            self.assertFalse(self.driver.find_element(By.ID, "page-next").get_property("disabled"))
            self.assertTrue(self.driver.find_element(By.ID, "page-prev").get_property("disabled"))
            self.driver.find_element(By.ID, "page-next").click()
            self.wait(lambda d: self.page_numbers() == [101, 200, 230], "second page")
            self.assertEqual(self.shown_sns(), many.sns[100:200])
            self.assertEqual([r[0] for r in self.rows()], [str(i) for i in range(101, 201)])
            self.driver.find_element(By.ID, "page-next").click()
            self.wait(lambda d: self.page_numbers() == [201, 230, 230], "last page")
            self.assertEqual(self.shown_sns(), many.sns[200:])
            self.assertTrue(self.driver.find_element(By.ID, "page-next").get_property("disabled"))
            self.driver.find_element(By.ID, "page-prev").click()
            self.wait(lambda d: self.page_numbers() == [101, 200, 230], "back to the second page")
            # A narrower prefix starts at its first page again.
            prefix = many.sns[0][:22]  # "2026P0000000000000000" + one more digit: ten devices
            self.filter_by(prefix)
            want = [sn for sn in everyone if sn.startswith(prefix)]
            self.wait(lambda d: self.shown_sns() == want, "narrow filter")
            self.assertEqual(self.page_numbers(), [1, len(want), len(want)])
            self.filter_by("no-such-device")
            self.wait(lambda d: self.shown_sns() == [] and self.page_numbers() == [0], "empty filter")
            self.assertTrue(self.driver.find_element(By.ID, "device-empty").is_displayed())
            # The page that was shown loses its devices: the list follows.
            self.filter_by("2026P")
            self.wait(lambda d: self.page_numbers() == [1, 100, 230], "filtered first page again")
            self.driver.find_element(By.ID, "page-next").click()
            self.wait(lambda d: self.page_numbers() == [101, 200, 230], "second page again")
            self.driver.find_element(By.ID, "page-next").click()
            self.wait(lambda d: self.page_numbers() == [201, 230, 230], "last page again")
        finally:
            many.stop()
        self.wait(lambda d: self.page_numbers() == [0], "the devices gone are still listed")
        self.filter_by("")
        self.wait(lambda d: self.shown_sns() == sorted(self.fleet.sns), "unfiltered list")

    def test_english_switch_is_remembered(self):
        start = self.driver.find_element(By.ID, "btn-start-listen")
        self.assertEqual(start.text, "开始监听")
        self.driver.find_element(By.ID, "lang-switch").click()
        self.wait(lambda d: self.text("btn-start-listen") == "Start listening", "no English")
        english = {"btn-stop-listen": "Stop listening", "btn-close-all": "Close connections",
                   "btn-cancel-recv": "Cancel transfers"}
        for element_id, label in english.items():
            self.assertEqual(self.text(element_id), label)
        legends = [e.text for e in self.driver.find_elements(By.TAG_NAME, "legend")]
        self.assertEqual(legends, ["Controls", "Devices", "Log"])
        body = self.driver.find_element(By.TAG_NAME, "body").text
        self.assertIn("Online clients:", body)
        self.assertIn("Online devices:", body)
        self.assertIn(" of ", self.text("page-range"))
        self.assertEqual(self.driver.find_element(By.TAG_NAME, "html").get_attribute("lang"), "en")
        self.driver.refresh()
        self.open_console()
        self.assertEqual(self.text("btn-start-listen"), "Start listening", "the choice was not remembered")
        self.driver.find_element(By.ID, "lang-switch").click()
        self.wait(lambda d: self.text("btn-start-listen") == "开始监听", "no way back to Chinese")
        legends = [e.text for e in self.driver.find_elements(By.TAG_NAME, "legend")]
        self.assertEqual(legends, ["功能按键", "设备", "日志"])

    def test_listen_buttons_and_cancel(self):
        self.wait(lambda d: self.text("listen-state") == "监听中", "not shown as listening")
        self.driver.find_element(By.ID, "btn-stop-listen").click()
        self.wait(lambda d: self.text("listen-state") == "未监听", "stop listening not shown")
        self.assertFalse(self.velmo.api("GET", "/v1/stats")[2]["listening"])
        with socket.socket() as s:
            self.assertNotEqual(s.connect_ex(("127.0.0.1", self.velmo.device_port)), 0, "still accepting")
        self.driver.find_element(By.ID, "btn-start-listen").click()
        self.wait(lambda d: self.text("listen-state") == "监听中", "start listening not shown")
        self.assertTrue(self.velmo.api("GET", "/v1/stats")[2]["listening"])
        self.driver.find_element(By.ID, "btn-cancel-recv").click()
        self.wait(lambda d: self.text("action-status") == "完成", "cancel transfers did not report done")

    def test_log_clear_clears_the_view_only(self):
        self.wait(lambda d: len(self.log_lines()) > 0, "empty log")
        server_lines = len(self.server_log())
        self.driver.find_element(By.ID, "log-clear").click()
        self.assertEqual(self.log_lines(), [])
        self.assertGreaterEqual(len(self.server_log()), server_lines, "clearing reached the server")
        sim = self.devsim(count=1, prefix="2028L")
        socket_id = self.velmo.api("GET", "/v1/devices?prefix=2028L")[2]["devices"][0]["socket"]
        self.wait(lambda d: any(line.endswith(f"OnSocketConnect-{socket_id}") for line in self.log_lines()),
                  "new lines do not show after a clear")
        sim.stop()

    def test_hostile_sn_is_shown_as_text(self):
        hostile = "<img src=x onerror=v=1><b>&amp;\"'</b>"
        sim = self.devsim(sn=hostile)
        self.filter_by("<img")
        self.wait(lambda d: self.shown_sns() == [hostile], "the device with markup in its SN is not listed as is")
        markup = "#device-table img, #device-table b, #log img, #log b"
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, markup), [])
        row = self.row(hostile)
        row.find_element(By.CSS_SELECTOR, "input.cmd-input").send_keys("ping")
        row.find_element(By.CSS_SELECTOR, "button.cmd-send").click()
        self.wait(lambda d: self.result_of(hostile) == "taken", "a command to it was not taken")
        self.assertTrue(wait_until(lambda: f"{hostile}: ping\n" in sim.output()))
        # Its SN goes into the log when it is disconnected.
        self.row(hostile).find_element(By.CSS_SELECTOR, "button.disconnect").click()
        self.assertIn(hostile, self.accept_confirm(True))
        self.wait(lambda d: any(line.endswith("SN=" + hostile) for line in self.log_lines()),
                  "the log line with the SN is not shown as is")
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, markup), [])
        self.assertIsNone(self.driver.execute_script("return window.v;"))

    def test_zz_close_all_asks_first(self):
        # Last: it disconnects every device of the class.
        self.wait(lambda d: self.text("device-count") == "3", "device counter")
        self.driver.find_element(By.ID, "btn-close-all").click()
        self.accept_confirm(False)
        # A refused confirmation sends nothing (the button would say it works).
        self.assertEqual(self.text("action-status"), "")
        self.assertEqual(len(self.velmo.device_sns()), 3, "refusing the confirmation still closed")
        self.driver.find_element(By.ID, "btn-close-all").click()
        self.accept_confirm(True)
        self.wait(lambda d: self.text("device-count") == "0", "the counter still counts devices")
        self.wait(lambda d: self.shown_sns() == [], "closed devices stay listed")
        self.wait(lambda d: any("关闭了所有的连接" in line for line in self.log_lines()), "no log line")


class TokenConsoleTest(ConsoleCase):
    """A management port with --admin-token-file: the page asks for the token."""

    token = secrets.token_hex(16)

    @classmethod
    def setUpClass(cls):
        cls.token_dir = tempfile.mkdtemp(prefix="velmo-token-")
        path = os.path.join(cls.token_dir, "token")
        with open(os.open(path, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write(cls.token + "\n")
        cls.velmo_args = ("--admin-token-file", path)
        super().setUpClass()
        cls.velmo.token = cls.token
        cls.start_fleet(2, "2027T")

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.token_dir, ignore_errors=True)

    def overlay_shown(self):
        return self.driver.find_element(By.ID, "token-overlay").is_displayed()

    def test_token_is_asked_checked_and_kept_in_the_tab(self):
        self.assertEqual(self.velmo.api("GET", "/v1/stats")[0], 200)
        self.driver.get(self.velmo.url("/"))
        self.wait(lambda d: self.overlay_shown(), "no token prompt")
        self.assertEqual(self.shown_sns(), [])
        self.assertEqual(self.text("device-count"), "0")
        field = self.driver.find_element(By.ID, "token-input")
        field.send_keys("not-" + self.token)
        self.driver.find_element(By.ID, "token-submit").click()
        self.wait(lambda d: self.text("token-error") != "", "a wrong token is not refused")
        self.assertTrue(self.overlay_shown())
        self.assertIsNone(self.driver.execute_script("return sessionStorage.getItem('velmo.token');"))
        self.assertEqual(self.shown_sns(), [])
        field = self.driver.find_element(By.ID, "token-input")
        field.clear()
        field.send_keys(self.token)
        self.driver.find_element(By.ID, "token-submit").click()
        self.wait(lambda d: not self.overlay_shown(), "the right token is not taken")
        self.wait(lambda d: self.shown_sns() == sorted(self.fleet.sns), "no devices with the right token")
        self.assertEqual(self.text("device-count"), "2")
        self.assertEqual(self.driver.execute_script("return sessionStorage.getItem('velmo.token');"), self.token)
        stored = self.driver.execute_script("return JSON.stringify(Object.assign({}, localStorage));")
        self.assertNotIn(self.token, stored, "the token went to localStorage")
        self.wait(lambda d: len(self.log_lines()) > 0, "no log with the token")
        # Live events with the token, and a command (a POST) with it.
        more = self.devsim(count=1, prefix="2027U")
        self.wait(lambda d: self.text("device-count") == "3", "no live events with the token")
        self.wait(lambda d: self.row(more.sns[0]) is not None, "the newcomer is not listed")
        row = self.row(more.sns[0])
        row.find_element(By.CSS_SELECTOR, "input.cmd-input").send_keys("led off")
        row.find_element(By.CSS_SELECTOR, "button.cmd-send").click()
        self.wait(lambda d: self.result_of(more.sns[0]) == "taken", "a command with the token was not taken")
        # A reload in the same tab needs no new prompt.
        self.driver.refresh()
        self.wait(lambda d: self.text("device-count") == "3", "the token did not survive a reload")
        self.assertFalse(self.overlay_shown())
        more.stop()


class FleetConsoleTest(ConsoleCase):
    """Two nodes of a fleet around a real redis-server: node A's console shows the whole fleet."""

    @classmethod
    def setUpClass(cls):
        redis = shutil.which("redis-server")
        if not redis:
            raise unittest.SkipTest("redis-server is not installed")
        cls.fleet_dir = tempfile.mkdtemp(prefix="velmo-fleet-")
        token = os.path.join(cls.fleet_dir, "token")
        with open(os.open(token, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write(secrets.token_hex(16) + "\n")
        port = next(p for p in iter(lambda: random.randrange(32000, 32700), None) if port_free(p))
        cls.redis = subprocess.Popen([redis, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                                      "--appendonly", "no", "--dir", cls.fleet_dir],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cluster = ("--cluster", f"redis://127.0.0.1:{port}", "--cluster-token-file", token)
        cls.velmo_args = (*cluster, "--node-id", "A")
        super().setUpClass()
        cls.other = Velmo(cls.work, *cluster, "--node-id", "B")
        try:
            cls.far = Devsim(cls.other, cls.work, count=2, prefix="2028F")
        except Exception:
            cls.tearDownClass()
            raise
        cls.sims.append(cls.far)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.other.stop()
        cls.redis.terminate()
        cls.redis.wait()
        shutil.rmtree(cls.fleet_dir, ignore_errors=True)

    def test_the_fleet_is_listed_and_its_devices_take_commands(self):
        self.open_console()
        self.wait(lambda d: d.find_element(By.ID, "scope-box").is_displayed(), "no scope choice on a node of a fleet")
        self.assertEqual(self.shown_sns(), [], "node A holds no device of its own")
        Select(self.driver.find_element(By.ID, "scope")).select_by_value("cluster")
        self.wait(lambda d: self.shown_sns() == sorted(self.far.sns), "the other node's devices are not listed")
        nodes = self.driver.execute_script(
            "return [...document.querySelectorAll('#device-rows td.node-col')].map(c => c.textContent);")
        self.assertEqual(nodes, ["B", "B"])
        sn = self.far.sns[1]
        row = self.row(sn)
        row.find_element(By.CSS_SELECTOR, "input.cmd-input").send_keys("fleet 你好")
        row.find_element(By.CSS_SELECTOR, "button.cmd-send").click()
        self.wait(lambda d: self.result_of(sn) == "taken", "a command for the other node's device was not taken")
        self.assertTrue(wait_until(lambda: f"{sn}: fleet 你好\n" in self.far.output()),
                        "the device on the other node did not receive the command")
        Select(self.driver.find_element(By.ID, "scope")).select_by_value("node")
        self.wait(lambda d: self.shown_sns() == [], "the node's own scope still lists the fleet")


def save_screenshot(path):
    """Shows the console as the README pictures it and writes it to `path`; True when written."""

    class Picture(OpenConsoleTest):  # its helpers, not its tests: defined here, unittest never finds it
        def runTest(self):
            first, second = self.fleet.sns[0], self.fleet.sns[1]
            self.wait(lambda d: self.shown_sns() == sorted(self.fleet.sns), "the devices are not listed")
            self.send_command(second, "led on 你好")
            self.wait(lambda d: self.result_of(second) == "taken", "the command was not taken")
            self.row(second).find_element(By.CSS_SELECTOR, "input.cmd-input").clear()
            self.row(second).find_element(By.CSS_SELECTOR, "button.info").click()
            self.wait(lambda d: "版本" in (self.result_of(second) or ""), "the device's information is not shown")
            self.send_command(first, "led on")
            self.wait(lambda d: self.result_of(first) == "taken", "the second command was not taken")

    Picture.setUpClass()
    try:
        picture = Picture()
        picture.setUp()
        picture.runTest()
        return picture.driver.save_screenshot(path)
    finally:
        Picture.tearDownClass()


def main():
    global VELMO, DEVSIM
    if len(sys.argv) < 3 or (sys.argv[3:4] == ["--screenshot"] and len(sys.argv) != 5):
        print(__doc__)
        return 2
    VELMO, DEVSIM = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not CHROMIUM or not CHROMEDRIVER:
        print("SKIP: Chromium or chromedriver is not installed (apt-get install chromium chromium-driver)")
        return SKIP
    if sys.argv[3:4] == ["--screenshot"]:
        if not save_screenshot(sys.argv[4]):
            print(f"console_test.py: the picture could not be written to {sys.argv[4]}", file=sys.stderr)
            return 1
        return 0
    program = unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]], exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
