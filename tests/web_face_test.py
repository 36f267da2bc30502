"""The status page in a real browser, /health against a real MariaDB, and
/metrics through promtool, all from the real quaverlink executable.

Run by ctest with Debian's python3 (python3-selenium), chromium and
chromium-driver, and prometheus's promtool.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

EXECUTABLE = os.environ["QUAVERLINK_EXECUTABLE"]
HERE = os.path.dirname(os.path.abspath(__file__))


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(predicate, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def get(url):
    """(status, body) of a GET, whatever the status."""
    try:
        with urllib.request.urlopen(url, timeout=5) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


class Station:
    """A headless receiver in a folder of its own, with a web face."""

    def __init__(self, extra="", files=None):
        self.folder = tempfile.TemporaryDirectory()
        for name, content in (files or {}).items():
            with open(os.path.join(self.folder.name, name), "w") as file:
                file.write(content)
        self.port = free_port(socket.SOCK_DGRAM)
        self.web = free_port()
        with open(os.path.join(self.folder.name, "Quaverlink.ini"), "w") as ini:
            ini.write(f"[Metadata]\nRDlistenport={self.port}\nSenderPort={free_port(socket.SOCK_DGRAM)}\n"
                      f"IdleString=Studio Live\nCountTimeout=300\n[Web]\nPort={self.web}\n{extra}")
        self.errors = open(os.path.join(self.folder.name, "stderr.log"), "w+")
        self.process = subprocess.Popen([EXECUTABLE, "--headless"], cwd=self.folder.name, stderr=self.errors)
        self.url = f"http://127.0.0.1:{self.web}"
        if not wait_for(lambda: self.reachable()):
            raise RuntimeError("the web face did not answer")

    def reachable(self):
        try:
            return get(self.url + "/health")[0] in (200, 503)
        except OSError:
            return False

    def send(self, text):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.sendto(text.encode(), ("127.0.0.1", self.port))

    def metric(self, name):
        for line in get(self.url + "/metrics")[1].splitlines():
            if line.startswith(name + " "):
                return float(line.split()[1])
        return None

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        self.errors.close()
        self.folder.cleanup()


def alert_of(browser):
    try:
        return browser.switch_to.alert
    except Exception:
        return None


def open_browser(test):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,1000"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    test.addCleanup(browser.quit)
    return browser


class StatusPageTest(unittest.TestCase):
    def test_page_follows_the_air_and_the_outputs_without_errors(self):
        device = socket.create_server(("127.0.0.1", 0))
        station = Station(f"[Output rds]\nType=LineFeed\nProtocol=TCP\nHost=127.0.0.1\nPort={device.getsockname()[1]}\n")
        self.addCleanup(station.close)
        connection, _ = device.accept()
        browser = open_browser(self)
        browser.get(station.url + "/")
        now = lambda: browser.find_element(By.ID, "now").text
        self.assertEqual(wait_for(lambda: now() == "Studio Live"), True)
        self.assertEqual(browser.find_element(By.ID, "now").get_attribute("aria-live"), "polite")
        # Named after the station (its idle text unless [Web] Title says otherwise); no PAD feed set.
        self.assertEqual(browser.title, "Studio Live – Quaverlink")
        self.assertEqual(browser.find_element(By.ID, "pad").text, "Off")
        browser.execute_script("window.notReloaded = true")

        sent = time.monotonic()
        station.send("Björk - Jóga")
        self.assertTrue(wait_for(lambda: now() == "Björk - Jóga", timeout=1.0, step=0.01))
        self.assertLess(time.monotonic() - sent, 1.0)
        self.assertTrue(browser.execute_script("return window.notReloaded === true"))
        self.assertTrue(wait_for(lambda: "Björk - Jóga" in browser.find_element(By.ID, "plays").text))

        outputs = lambda: browser.find_element(By.ID, "outputs").text
        self.assertTrue(wait_for(lambda: "rds: working" in outputs()), outputs())
        connection.close()
        device.close()
        self.assertTrue(wait_for(lambda: "rds: not working" in outputs()), outputs())
        # Failing, but not yet for HealthOutputMinutes: degraded, never "All is well".
        healthy = lambda: browser.find_element(By.ID, "healthy").text
        self.assertTrue(wait_for(lambda: healthy() == "Degraded"), healthy())
        self.assertIn("a problem in 5 min", browser.find_element(By.ID, "problems").text)
        status, body = get(station.url + "/health")
        self.assertEqual((status, json.loads(body)["status"]), (200, "degraded"))

        if os.environ.get("QUAVERLINK_SCREENSHOT"):
            browser.save_screenshot(os.environ["QUAVERLINK_SCREENSHOT"])
        problems = [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
        self.assertEqual(problems, [])
        # What the page is sent holds no secret of the settings.
        page = get(station.url + "/")[1] + get(station.url + "/app.js")[1] + get(station.url + "/api/plays")[1]
        self.assertNotIn("Pl4y", page)

        # The receiver gone: the page greys out what it can no longer vouch for.
        station.process.terminate()
        station.process.wait(10)
        self.assertTrue(wait_for(lambda: "stale" in browser.find_element(By.TAG_NAME, "body").get_attribute("class")))
        self.assertTrue(healthy().startswith("Unknown"), healthy())
        self.assertEqual(browser.find_element(By.ID, "air").value_of_css_property("filter"), "grayscale(1)")


class HealthAndMetricsTest(unittest.TestCase):
    def control(self, action):
        subprocess.run(["bash", os.path.join(HERE, "mariadb-server.sh"), action, self.db], check=True)

    def test_health_follows_the_database_and_metrics_pass_promtool(self):
        self.db = os.environ["QUAVERLINK_TEST_DB_DIR"]
        db_port = open(os.path.join(self.db, "port")).read().strip()
        station = Station(f"HealthHistoryMinutes=0\n[Database]\nDBenabled=Y\nDBserver=127.0.0.1;port={db_port}\n"
                          "DBuser=quaverlink\nDBpassword=Pl4y-h1st0ry\n")
        self.addCleanup(station.close)
        station.send("First - Play")
        # The idle text's two start-up copies are plays too.
        self.assertTrue(wait_for(lambda: station.metric("quaverlink_plays_stored_total") == 3))
        self.assertEqual(get(station.url + "/health")[0], 200)
        # The spool and the recent plays make the same new file at once.
        with open(os.path.join(station.folder.name, "stderr.log")) as log:
            self.assertNotIn("recent plays", log.read())

        self.control("halt")
        halted = [True]
        self.addCleanup(lambda: halted[0] and self.control("resume"))
        station.send("Second - Play")
        self.assertTrue(wait_for(lambda: get(station.url + "/health")[0] == 503, timeout=20))
        status, body = get(station.url + "/health")
        self.assertIn("play history stopped working", json.loads(body)["problems"][0])
        self.assertNotIn("Pl4y", body)
        self.assertEqual(station.metric("quaverlink_play_history_up"), 0)
        self.assertEqual(station.metric("quaverlink_plays_waiting"), 1)
        self.control("resume")
        halted[0] = False
        self.assertTrue(wait_for(lambda: get(station.url + "/health")[0] == 200, timeout=40))
        self.assertEqual(station.metric("quaverlink_plays_stored_total"), 4)

        applied = station.metric("quaverlink_items_applied_total")
        for i in range(3):
            station.send(f"Metric {i} - Item")
        self.assertTrue(wait_for(lambda: station.metric("quaverlink_items_applied_total") == applied + 3))
        metrics = get(station.url + "/metrics")[1]
        check = subprocess.run(["promtool", "check", "metrics"], input=metrics.encode(), capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout.decode() + check.stderr.decode())
        for name in ("process_resident_memory_bytes", "process_open_fds", "process_cpu_seconds_total",
                     "quaverlink_last_item_timestamp_seconds", "quaverlink_oldest_waiting_play_age_seconds"):
            self.assertIsNotNone(station.metric(name), name)
        self.assertLess(abs(station.metric("quaverlink_last_item_timestamp_seconds") - time.time()), 60)
        rules = os.path.join(HERE, "..", "packaging", "quaverlink-alerts.yml")
        check = subprocess.run(["promtool", "check", "rules", rules], capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout.decode() + check.stderr.decode())
        plays = json.loads(get(station.url + "/api/plays?limit=2")[1])
        self.assertEqual([play["text"] for play in plays], ["Metric 2 - Item", "Metric 1 - Item"])
        self.assertEqual(get(station.url + "/api/plays?limit=0")[0], 400)


def request(url, method, body=None, token=None):
    headers = {"Content-Type": "application/json"}
    if token is not None:
        headers["Authorization"] = "Bearer " + token
    data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=data, method=method, headers=headers),
                                    timeout=10) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


class LiveInputTest(unittest.TestCase):
    TOKEN = "Studio-A-7f3c9e"

    def setUp(self):
        self.station = Station("TokenFile=token\n[Live]\nExpires=600\n", {"token": self.TOKEN + "\n"})
        self.addCleanup(self.station.close)
        self.api = self.station.url + "/api/now"

    def on_air(self):
        with open(os.path.join(self.station.folder.name, "metadata.txt"), encoding="latin-1") as file:
            return file.read().rstrip("\r\n")

    def live(self, *arguments):
        return subprocess.run([EXECUTABLE, "live", *arguments], cwd=self.station.folder.name,
                              capture_output=True, text=True)

    def test_a_live_text_takes_the_air_and_gives_it_back(self):
        self.station.send("Playout - Before")
        self.assertTrue(wait_for(lambda: self.on_air() == "Playout - Before"))
        status, body = request(self.api, "POST", {"artist": "Ana", "title": "Vinyl Set"}, self.TOKEN)
        self.assertEqual(status, 200, body)
        self.assertTrue(wait_for(lambda: self.on_air() == "Ana - Vinyl Set"))
        # The playout's plays meanwhile are recorded, not shown.
        self.station.send("Playout - During")
        self.assertTrue(wait_for(lambda: "Playout - During" in get(self.station.url + "/api/plays")[1]))
        self.assertEqual(self.on_air(), "Ana - Vinyl Set")
        plays = json.loads(get(self.station.url + "/api/plays")[1])
        self.assertEqual([(play["text"], play["live"]) for play in plays][:3],
                         [("Playout - During", False), ("Ana - Vinyl Set", True), ("Playout - Before", False)])
        self.assertEqual(request(self.api, "DELETE", token=self.TOKEN)[0], 200)
        self.assertTrue(wait_for(lambda: self.on_air() == "Playout - During"))
        # From a shell, and expiring by itself: back to the playout's text.
        result = self.live("Live: The Morning Show", "--minutes", "0.03")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(wait_for(lambda: self.on_air() == "Live: The Morning Show"))
        self.assertTrue(wait_for(lambda: self.on_air() == "Playout - During", timeout=5))
        self.assertEqual(self.live("--clear").returncode, 0)
        with open(os.path.join(self.station.folder.name, "stderr.log")) as log:
            lines = log.read()
        self.assertIn('live: set by 127.0.0.1: "Ana - Vinyl Set" until ', lines)
        self.assertIn("live: cleared by 127.0.0.1", lines)
        self.assertIn("live: expired", lines)

    def test_the_page_sets_and_clears_the_live_text(self):
        browser = open_browser(self)
        browser.get(self.station.url + "/")
        self.assertTrue(wait_for(lambda: browser.find_element(By.ID, "now").text == "Studio Live"))
        browser.find_element(By.ID, "live-text").send_keys("Live: Football")
        browser.find_element(By.ID, "live-minutes").clear()
        browser.find_element(By.ID, "live-minutes").send_keys("5")
        browser.find_element(By.ID, "live-set").click()
        # The token is asked for once, and kept for this tab alone.
        self.assertTrue(wait_for(lambda: alert_of(browser) is not None))
        prompt = alert_of(browser)
        prompt.send_keys(self.TOKEN)
        prompt.accept()
        self.assertTrue(wait_for(lambda: self.on_air() == "Live: Football"))
        state = lambda: browser.find_element(By.ID, "live-state").text
        self.assertTrue(wait_for(lambda: state().startswith("On air: Live: Football (set by 127.0.0.1, until ")),
                        state())
        self.assertTrue(wait_for(lambda: browser.find_element(By.ID, "now").text == "Live: Football"))
        browser.find_element(By.ID, "live-clear").click()
        self.assertTrue(wait_for(lambda: self.on_air() == "Studio Live"))
        self.assertTrue(wait_for(lambda: state() == "Off: the playout has the air"))
        problems = [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
        self.assertEqual(problems, [])

    def test_wrong_tokens_change_nothing_and_are_limited(self):
        self.station.send("Playout - Stays")
        self.assertTrue(wait_for(lambda: self.on_air() == "Playout - Stays"))
        answers = [request(self.api, "POST", {"text": "Hijack"}, token)[0]
                   for token in (None, "wrong", self.TOKEN + "x", "", "guess", "again")]
        self.assertEqual(answers, [401, 401, 401, 401, 401, 429])
        # Limited by address: even the right token waits out the window.
        self.assertEqual(request(self.api, "POST", {"text": "Hijack"}, self.TOKEN)[0], 429)
        self.assertGreaterEqual(self.station.metric("quaverlink_live_refused_total"), 7)
        self.assertEqual(self.on_air(), "Playout - Stays")

    def test_bodies_are_checked_before_anything_changes(self):
        for body, status in ((b"{not json", 400), ({"text": 5}, 400), ({"text": "x", "colour": "red"}, 400),
                             ({"artist": "Only"}, 400), ({"text": "x", "expires": -1}, 400),
                             (json.dumps({"text": "x" * 9000}).encode(), 413)):
            self.assertEqual(request(self.api, "POST", body, self.TOKEN)[0], status, body)
        self.assertEqual(self.station.metric("quaverlink_live"), 0)
        self.assertEqual(request(self.station.url + "/api/plays", "POST", {"text": "x"}, self.TOKEN)[0], 405)


class PadFeedStateTest(unittest.TestCase):
    def test_a_feed_that_cannot_be_reached_is_a_problem_on_every_face(self):
        closed = free_port()
        station = Station(f"HealthPadMinutes=0\nTitle=Studio A\n[PAD]\nHost=127.0.0.1\nPort={closed}\n")
        self.addCleanup(station.close)
        self.assertTrue(wait_for(lambda: get(station.url + "/health")[0] == 503, timeout=10))
        self.assertIn("the PAD feed has not worked since", json.loads(get(station.url + "/health")[1])["problems"][0])
        self.assertEqual(station.metric("quaverlink_pad_up"), 0)
        self.assertEqual(station.metric("quaverlink_pad_documents_total"), 0)
        # On the page: named after this station, the feed down, the health a problem.
        browser = open_browser(self)
        browser.get(station.url + "/")
        self.assertTrue(wait_for(lambda: browser.title == "Studio A – Quaverlink"), browser.title)
        self.assertEqual(browser.find_element(By.ID, "title").text, "Studio A")
        self.assertTrue(wait_for(lambda: browser.find_element(By.ID, "pad").text.startswith("Not working since ")))
        self.assertEqual(browser.find_element(By.ID, "healthy").text, "Needs attention")


if __name__ == "__main__":
    unittest.main(verbosity=2)
