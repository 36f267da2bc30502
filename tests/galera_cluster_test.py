#!/usr/bin/env python3
"""Receivers of a station group on a real three-node MariaDB Galera cluster
(galera-4, rsync state transfer) on loopback: a node killed and left down,
two studios airing the same text in the same second, a node refusing plays
with Galera's 1180 for a while, one report per station, and HAProxy with the
example health check. Exits 77, with a line saying why, where the machine
cannot run a cluster."""

import os
import re
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXECUTABLE = os.environ["QUAVERLINK_EXECUTABLE"]
CLUSTER = os.environ["QUAVERLINK_TEST_CLUSTER_DIR"]
USER, PASSWORD = "quaverlink", "Pl4y-h1st0ry"


def cluster(*arguments):
    subprocess.run(["bash", os.path.join(HERE, "galera-cluster.sh"), arguments[0], CLUSTER, *arguments[1:]],
                   check=True)


def node_port(node):
    with open(os.path.join(CLUSTER, f"node{node}", "port")) as port:
        return int(port.read())


def sql(statements, node=2):
    """Runs statements as root on a node; the rows, tab-separated."""
    result = subprocess.run(["mariadb", "--no-defaults", "--protocol=socket",
                             f"--socket={CLUSTER}/node{node}/server.sock", "-uroot", "--batch",
                             "--skip-column-names", "Brackenwaves"],
                            input=statements, capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    return [line.split("\t") for line in result.stdout.splitlines()]


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


class Studio:
    """A headless receiver in a folder of its own, storing plays in the cluster."""

    def __init__(self, name, database, station=None):
        self.home = tempfile.TemporaryDirectory()
        self.folder = os.path.join(self.home.name, name)
        os.mkdir(self.folder)
        self.port = free_port(socket.SOCK_DGRAM)
        with open(os.path.join(self.folder, "Quaverlink.ini"), "w") as ini:
            ini.write(f"[Metadata]\nRDlistenport={self.port}\nSenderPort={free_port(socket.SOCK_DGRAM)}\n"
                      "IdleString=Quaverlink\nCountTimeout=3600\n"
                      f"[Database]\nDBenabled=Y\nDBuser={USER}\nDBpassword={PASSWORD}\nDBname=Brackenwaves\n"
                      f"{database}\n" + (f"Station={station}\n" if station else ""))
        self.errors = open(os.path.join(self.home.name, "stderr.log"), "w+")
        self.process = subprocess.Popen([EXECUTABLE, "--headless"], cwd=self.folder, stderr=self.errors)
        if not wait_for(lambda: self.process.poll() is not None or self.listening(), 10) or not self.listening():
            raise AssertionError("the receiver did not start: " + self.log())

    def listening(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind(("127.0.0.1", self.port))
                return False
            except OSError:
                return True

    def send(self, text):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.sendto(text.encode(), ("127.0.0.1", self.port))

    def log(self):
        self.errors.seek(0)
        return self.errors.read()

    def set_aside(self):
        with sqlite3.connect(os.path.join(self.folder, "playhistory.sqlite")) as spool:
            return spool.execute("SELECT count(*) FROM rejected").fetchone()[0]

    def report(self, *arguments):
        return subprocess.run([EXECUTABLE, "report", *arguments], cwd=self.folder, check=True,
                              capture_output=True, text=True).stdout

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        self.errors.close()
        self.home.cleanup()


def servers(*nodes):
    return "DBserver=127.0.0.1;port=%d\nServers=%s" % (
        node_port(nodes[0]), ", ".join(f"127.0.0.1:{node_port(n)}" for n in nodes))


def stored(texts):
    """How often each of texts is in Metadata, for those that are."""
    found = sql("SELECT full_text, COUNT(*) FROM Metadata GROUP BY full_text")
    return {text: int(count) for text, count in found if text in texts}


class StationGroupTest(unittest.TestCase):

    def setUp(self):
        self.studios = []

    def tearDown(self):
        for studio in self.studios:
            studio.close()

    def studio(self, name, database, station=None):
        self.studios.append(Studio(name, database, station))
        return self.studios[-1]

    def test_a_node_killed_mid_run_costs_seconds_and_no_play(self):
        studio = self.studio("studio-kill", servers(1, 2, 3))
        texts = [f"Killed Node {i} - Song {i}" for i in range(20)]
        for i, text in enumerate(texts):
            if i == 10:
                cluster("kill", "1")
                killed = time.monotonic()
            studio.send(text)
            time.sleep(0.1)
        last_sent = time.monotonic()
        try:
            self.assertTrue(wait_for(lambda: len(stored(texts)) == len(texts), 60), studio.log())
            print(f"node killed: every play on the others {time.monotonic() - last_sent:.1f} s after the last"
                  f" was sent ({time.monotonic() - killed:.1f} s after the kill)")
            self.assertEqual(set(stored(texts).values()), {1})
            self.assertEqual(sql("SELECT COUNT(*), COUNT(DISTINCT play_key) FROM StationPlays"
                                 " WHERE station = 'studio-kill'"), [[str(len(texts)), str(len(texts))]])
            self.assertIn("failed; trying", studio.log())
            self.assertEqual(studio.set_aside(), 0)
        finally:
            cluster("join", "1")

    def test_two_studios_same_text_same_second_one_answer_lost(self):
        # Studio A's statement hangs past the receiver's 10 s wait, while B
        # stores the same text in the same second.
        sql("CREATE TABLE IF NOT EXISTS hang (until DATETIME NOT NULL PRIMARY KEY);"
            "DELETE FROM hang; INSERT INTO hang VALUES (NOW() + INTERVAL 5 SECOND);"
            "CREATE OR REPLACE TRIGGER hang_a BEFORE INSERT ON StationPlays FOR EACH ROW"
            " SET @slept = IF(NEW.station = 'A' AND (SELECT MAX(until) FROM hang) > NOW(), SLEEP(12), 0)")
        try:
            a = self.studio("studio-a", servers(1, 2, 3), station="A")
            b = self.studio("studio-b", servers(2, 3, 1), station="B")
            text = "Network News - Top of the hour"
            a.send(text)
            b.send(text)
            self.assertTrue(wait_for(lambda: stored([text]).get(text) == 2, 60), a.log() + b.log())
            self.assertEqual(sorted(sql(f"SELECT station FROM StationPlays WHERE full_text = '{text}'")),
                             [["A"], ["B"]])
            self.assertEqual(a.set_aside() + b.set_aside(), 0)
            self.assertIn("lost connection to server during query", a.log().lower())
            report = a.report("--from", time.strftime("%Y-%m-%d"), "--to", time.strftime("%Y-%m-%d"),
                              "--station", "B")
            self.assertEqual(report.count("Top of the hour"), 1, report)
        finally:
            sql("DROP TRIGGER IF EXISTS hang_a; DROP TABLE IF EXISTS hang")

    def test_1180_for_a_while_keeps_plays_waiting_and_sets_none_aside(self):
        sql("CREATE TABLE IF NOT EXISTS cut_off (until DATETIME NOT NULL PRIMARY KEY);"
            "DELETE FROM cut_off; INSERT INTO cut_off VALUES (NOW() + INTERVAL 6 SECOND);\nDELIMITER //\n"
            "CREATE OR REPLACE TRIGGER cut_off BEFORE INSERT ON Metadata FOR EACH ROW"
            " IF (SELECT MAX(until) FROM cut_off) > NOW() THEN SIGNAL SQLSTATE 'HY000'"
            " SET MYSQL_ERRNO = 1180, MESSAGE_TEXT = 'Got error 6 \"No such device or address\" during COMMIT';"
            " END IF//")
        try:
            studio = self.studio("studio-cut-off", servers(1, 2, 3))
            texts = [f"Cut Off {i} - Song {i}" for i in range(5)]
            for text in texts:
                studio.send(text)
                time.sleep(0.2)
            self.assertTrue(wait_for(lambda: len(stored(texts)) == len(texts), 60), studio.log())
            self.assertEqual(set(stored(texts).values()), {1})
            self.assertEqual(studio.set_aside(), 0)
            self.assertIn("(1180)", studio.log())
            # The folder's name is the station, unless [Database] Station says otherwise.
            self.assertEqual(sql("SELECT DISTINCT station FROM StationPlays WHERE full_text LIKE 'Cut Off%'"),
                             [["studio-cut-off"]])
            order = [text for text, in sql("SELECT full_text FROM StationPlays WHERE full_text LIKE 'Cut Off%'"
                                           " ORDER BY id")]
            self.assertEqual(order, texts)
        finally:
            sql("DROP TRIGGER IF EXISTS cut_off; DROP TABLE IF EXISTS cut_off")

    def test_haproxy_with_the_example_check_skips_a_node_that_is_not_synced(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        check = os.path.join(folder.name, "galera-check")
        shutil.copy(os.path.join(ROOT, "packaging", "galera-check"), check)
        with open(os.path.join(folder.name, "galera-check.cnf"), "w") as cnf:
            cnf.write(f"[client]\nuser = {USER}\npassword = {PASSWORD}\n")
        with open(os.path.join(ROOT, "packaging", "haproxy-galera.cfg")) as example:
            config = example.read()
        listen = free_port(socket.SOCK_STREAM)
        config = config.replace("bind 127.0.0.1:3306", f"bind 127.0.0.1:{listen}")
        config = config.replace("/etc/haproxy/galera-check", check)
        for node in (1, 2, 3):
            config = re.sub(rf"server node{node} \S+", f"server node{node} 127.0.0.1:{node_port(node)}", config)
        path = os.path.join(folder.name, "haproxy.cfg")
        with open(path, "w") as out:
            out.write(config)
        haproxy = subprocess.Popen(["haproxy", "-db", "-f", path], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (haproxy.terminate(), haproxy.wait(10)))

        def answering_node():
            result = subprocess.run(["mariadb", "--no-defaults", "--protocol=tcp", "-h127.0.0.1", f"-P{listen}",
                                     f"-u{USER}", f"-p{PASSWORD}", "--batch", "--skip-column-names",
                                     "-e", "SELECT @@wsrep_node_name"], capture_output=True, text=True)
            return result.stdout.strip()

        self.assertTrue(wait_for(lambda: answering_node() == "node1", 15))
        # A desynced node still answers a login, but takes writes out of step.
        sql("SET GLOBAL wsrep_desync = ON", node=1)
        try:
            self.assertTrue(wait_for(lambda: answering_node() == "node2", 15))
            studio = self.studio("studio-haproxy", f"DBserver=127.0.0.1;port={listen}")
            studio.send("Through - HAProxy")
            self.assertTrue(wait_for(lambda: stored(["Through - HAProxy"]) == {"Through - HAProxy": 1}, 30))
        finally:
            sql("SET GLOBAL wsrep_desync = OFF", node=1)


if __name__ == "__main__":
    if not os.path.exists(os.path.join(CLUSTER, "node1", "port")):
        print("SKIP: no Galera cluster was started for this test (see galera_start)")
        sys.exit(77)
    unittest.main(verbosity=2)
