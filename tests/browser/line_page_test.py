#!/usr/bin/python3
# The line page end to end, with real parts: a private PostgreSQL 15 server,
# two command-line stations against simulated boards, zevuvuri-line reading
# the database as a read-only role, and Debian's chromium driven through
# chromedriver. One scenario checks what the line's people rely on:
#   - each slot's state and result show on the page within 2 s of the moment
#     the station printed them, and change as the station goes on;
#   - a card's totals are the station's own totals line;
#   - a serial search lists the board's attempts in the order the journal has
#     them;
#   - a station that ends shows offline at once, one that is killed after its
#     heartbeat has been silent for 30 s;
#   - a scanned label "<b>x</b>" shows as that text, never as markup;
#   - a screenshot of the page is left in the artifacts folder.
#
#   line_page_test.py --cli CLI --sim SIM --line LINE --schema SQL
#                     --firmware BIN --artifacts DIR
#
# Run by Debian's /usr/bin/python3, whose python3-selenium it imports. Exit
# status 0 when every check passed, 77 (skipped) when chromium is not
# installed, 1 otherwise. Every process it starts runs in its own process
# group and is ended on every way out; every wait has a limit.
import argparse
import datetime
import glob
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

SKIP = 77
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
PG_BIN = "/usr/lib/postgresql/15/bin"

# How soon a station's change must show on the page.
LIVE_LIMIT_S = 2.0
# A station whose heartbeat is this old is offline.
OFFLINE_AFTER_S = 30.0

LOADER_PASSWORD = "loader-Pa55-secret"
VIEWER_PASSWORD = "viewer-Pa55-secret"


class Failure(Exception):
    pass


def log(text):
    print("line page: " + text, flush=True)


class Processes:
    """Every process the scenario starts, each in its own process group,
    ended (TERM, then KILL) when the scenario ends however it ends."""

    def __init__(self):
        self.children = []

    def start(self, name, argv, as_user=None, **kwargs):
        # Each also dies with this scenario should it be killed outright
        # (the parent-death signal, set after the change of user).
        wrapper = ["setpriv", "--pdeathsig", "KILL"]
        if as_user:
            wrapper += ["--reuid=" + as_user, "--regid=" + as_user, "--clear-groups"]
        child = subprocess.Popen(wrapper + argv, start_new_session=True, **kwargs)
        self.children.append((name, child))
        return child

    def end(self, child, grace_s=5.0):
        if child.poll() is None:
            try:
                os.killpg(child.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                child.wait(timeout=grace_s)
            except subprocess.TimeoutExpired:
                pass
        # The group's other members (a wrapper's child) go too.
        try:
            os.killpg(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            child.wait(timeout=grace_s)
        except subprocess.TimeoutExpired:
            log("process %d did not end after SIGKILL" % child.pid)

    def end_all(self):
        for _, child in reversed(self.children):
            self.end(child)


class OutputLines:
    """A child's output read line by line on a thread, each line with the
    monotonic time it arrived, so that the page's delay can be measured
    against the moment the station said something."""

    def __init__(self, stream, copy_path):
        self.lines = []  # (time, text)
        self.cond = threading.Condition()
        self.closed = False
        self.copy = open(copy_path, "w", encoding="utf-8")
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in stream:
            text = raw.decode("utf-8", "replace").rstrip("\r\n")
            now = time.monotonic()
            self.copy.write(text + "\n")
            self.copy.flush()
            with self.cond:
                self.lines.append((now, text))
                self.cond.notify_all()
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def wait_for(self, pattern, start, timeout_s, what):
        """The first line from index `start` on that matches: (index, time,
        match)."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout_s
        with self.cond:
            i = start
            while True:
                while i < len(self.lines):
                    m = regex.search(self.lines[i][1])
                    if m:
                        return i, self.lines[i][0], m
                    i += 1
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    raise Failure("%s: no line like %r within %.0f s; output:\n%s"
                                  % (what, pattern, timeout_s, "\n".join(t for _, t in self.lines[-15:])))
                self.cond.wait(left)

    def count(self):
        with self.cond:
            return len(self.lines)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(argv, timeout_s=60, **kwargs):
    result = subprocess.run(argv, timeout=timeout_s, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise Failure("%s failed (%d): %s%s" % (" ".join(argv[:3]), result.returncode, result.stdout, result.stderr))
    return result.stdout


class Database:
    """A private PostgreSQL 15 server in a scratch folder, run by a user that
    is not root (the server refuses root), with the shipped schema, the
    stations' loader role and the page's read-only role."""

    def __init__(self, procs, work):
        self.work = work
        self.dir = os.path.join(work, "pg")
        os.mkdir(self.dir)
        self.as_server = []
        server_user = None
        if os.geteuid() == 0:
            server_user = "postgres"
            shutil.chown(self.dir, server_user, server_user)
            self.as_server = ["setpriv", "--reuid=postgres", "--regid=postgres", "--clear-groups"]
        run(self.as_server + [PG_BIN + "/initdb", "-D", self.dir + "/data", "-U", "postgres", "-A", "trust",
                              "-E", "UTF8", "--no-sync", "--no-instructions"])
        self.port = free_port()
        # The server is this scenario's child (no pg_ctl daemon), so that it
        # goes with the scenario; it dies with its parent too.
        self.server = procs.start(
            "postgres",
            [PG_BIN + "/postgres", "-D", self.dir + "/data", "-p", str(self.port), "-k", self.dir,
             "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c", "log_min_messages=warning"],
            as_user=server_user, stdout=open(os.path.join(work, "postgres.log"), "w"), stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while subprocess.run([PG_BIN + "/pg_isready", "-q", "-h", self.dir, "-p", str(self.port), "-U", "postgres"]).returncode != 0:
            if self.server.poll() is not None or time.monotonic() > deadline:
                raise Failure("the PostgreSQL server did not start: " + open(os.path.join(work, "postgres.log")).read())
            time.sleep(0.1)
        self.psql("postgres", """
            CREATE ROLE loader LOGIN PASSWORD '%s';
            CREATE ROLE line_page LOGIN PASSWORD '%s';
            CREATE DATABASE line;""" % (LOADER_PASSWORD, VIEWER_PASSWORD))
        self.psql("line", open(args.schema).read())
        self.psql("line", """
            GRANT INSERT, SELECT (record_id) ON unit_records TO loader;
            GRANT SELECT, INSERT, UPDATE, DELETE ON line_stations, station_slots TO loader;
            GRANT SELECT ON unit_records, line_stations, station_slots TO line_page;""")
        # The ODBC driver, without its per-process communication logs.
        drivers = glob.glob("/usr/lib/*/odbc/psqlodbcw.so")
        if not drivers:
            raise Failure("the PostgreSQL ODBC driver is not installed (odbc-postgresql)")
        with open(os.path.join(self.dir, "odbcinst.ini"), "w") as f:
            f.write("[PostgreSQL Unicode]\nDriver=%s\nDebug=0\nCommLog=0\n" % drivers[0])
        open(os.path.join(self.dir, "odbc.ini"), "w").close()
        self.odbc_env = {"ODBCSYSINI": self.dir, "ODBCINI": os.path.join(self.dir, "odbc.ini")}

    def connection(self, role, password):
        return ("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%d;Database=line;Uid=%s;Pwd=%s"
                % (self.port, role, password))

    def psql(self, database, sql):
        return run(["timeout", "60", PG_BIN + "/psql", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", self.dir,
                    "-p", str(self.port), "-U", "postgres", "-d", database], input=sql)


class Station:
    """zevuvuri-cli --station against the simulator's boards on one COM port;
    its plain output (one line per change, port and unit first) timed."""

    def __init__(self, procs, work, env, name, com, units, sim_faults, cli_options, db):
        self.name = name
        self.com = com
        self.procs = procs
        self.sim = procs.start(
            name + " boards",
            [args.sim, "--com", str(com), "--units", str(units), "--plug-gap-ms", "300", "--timeout", "110",
             "--expect", args.firmware, "--reply-delay-ms", "8"] + sim_faults,
            env=env, stdin=subprocess.DEVNULL, stdout=open(os.path.join(work, name + ".sim.out"), "w"),
            stderr=subprocess.STDOUT)
        self.sim_log = os.path.join(work, name + ".sim.out")
        link = os.path.join(env["ZEVUVURI_PORT_DIR"], "com%d" % com)
        deadline = time.monotonic() + 20
        while not os.path.lexists(link):
            if self.sim.poll() is not None or time.monotonic() > deadline:
                raise Failure("the simulated boards of %s did not come" % name)
            time.sleep(0.05)
        self.journal = os.path.join(work, name + ".jsonl")
        self.cli = procs.start(
            name,
            [args.cli, "--station", "--port", str(com), "--station-name", name, "--report", self.journal,
             "--records-db", db.connection("loader", LOADER_PASSWORD)] + cli_options + [args.firmware],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=open(os.path.join(work, name + ".err"), "w"))
        self.out = OutputLines(self.cli.stdout, os.path.join(work, name + ".out"))

    def wait_board(self, board, timeout_s=20):
        """Waits until the simulator has plugged its board-th board: a scan
        takes whatever is on the port at that moment, and between two boards
        there is none."""
        deadline = time.monotonic() + timeout_s
        while "board %d plugged" % board not in open(self.sim_log, errors="replace").read():
            if self.sim.poll() is not None or time.monotonic() > deadline:
                raise Failure("%s: the simulator did not plug board %d" % (self.name, board))
            time.sleep(0.05)

    def scan(self, label):
        self.cli.stdin.write(label.encode("utf-8") + b"\n")
        self.cli.stdin.flush()

    def next_result(self, start, unit, timeout_s=40):
        """Waits for unit's result, the unit's last line before its slot asks
        for the next one: (index of that line, time the result was printed,
        result text)."""
        port = str(self.com)
        first, _, _ = self.out.wait_for(r"^%s #%d: " % (port, unit), start, timeout_s,
                                        "%s unit %d" % (self.name, unit))
        end, _, _ = self.out.wait_for(r"^%s: waiting|^%s #%d: remove the unit" % (port, port, unit), first + 1,
                                      timeout_s, "%s unit %d's end" % (self.name, unit))
        with self.out.cond:
            for j in range(end - 1, first - 1, -1):
                m = re.match(r"^%s #%d: (.*)$" % (port, unit), self.out.lines[j][1])
                if m:
                    return end, self.out.lines[j][0], m.group(1)
        raise Failure("%s unit %d: no result line" % (self.name, unit))

    def totals(self, start=0):
        """The station's latest totals line: units, OK, failed, yield."""
        with self.out.cond:
            lines = [t for _, t in self.out.lines[start:]]
        for text in reversed(lines):
            m = re.match(r"^station: (\d+) units?, (\d+) OK, (\d+) failed(?: \((.*)\))?, yield ([\d.]+) %", text)
            if m:
                return {"units": m.group(1), "ok": m.group(2), "failed": m.group(3), "failures": m.group(4) or "",
                        "yield": m.group(5) + " %"}
        raise Failure("%s printed no totals line" % self.name)

    def records(self):
        with open(self.journal, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]


# What the page shows of a slot and a card, read in one round trip.
SLOT_JS = """
const card = document.querySelector('.station[data-station="' + CSS.escape(arguments[0]) + '"]');
if (!card) return null;
const slot = card.querySelector('.slot[data-port="' + CSS.escape(arguments[1]) + '"]');
if (!slot) return null;
const text = (sel) => { const e = slot.querySelector(sel); return e ? e.textContent.trim() : null; };
const result = slot.querySelector('.result');
const unit = text('.unit');
return {state: text('.state'), unit: unit === null ? null : (unit.match(/\d+/) || [''])[0], serial: text('.serial'), percent: text('.percent'),
        result: text('.result'),
        result_class: result ? (result.classList.contains('ok') ? 'ok'
                                : result.classList.contains('failed') ? 'failed' : '') : null,
        serial_children: (() => { const e = slot.querySelector('.serial'); return e ? e.children.length : -1; })()};
"""

CARD_JS = """
const card = document.querySelector('.station[data-station="' + CSS.escape(arguments[0]) + '"]');
if (!card) return null;
const text = (sel) => { const e = card.querySelector(sel); return e ? e.textContent.trim() : null; };
return {offline: card.classList.contains('offline'), state: text('.station-state'),
        units: text('[data-total="units"]'), ok: text('[data-total="ok"]'), failed: text('[data-total="failed"]'),
        yield: text('[data-total="yield"]'),
        failures: Array.from(card.querySelectorAll('.failures li')).map((e) => e.textContent.trim())};
"""

HISTORY_JS = """
const empty = document.getElementById('history-empty');
return {empty_shown: !!empty && empty.offsetParent !== null,
        rows: Array.from(document.querySelectorAll('#history tbody tr')).map((tr) => {
          const cell = (c) => { const e = tr.querySelector(c); return e ? e.textContent.trim() : null; };
          return {station: cell('.station'), time: cell('.time'), firmware: cell('.firmware'),
                  result: cell('.result'), elements: tr.querySelectorAll('b, script').length};
        })};
"""


class Page:
    """Headless chromium through a chromedriver that this scenario starts
    (in its own process group, so that ending the group ends the browser
    too)."""

    def __init__(self, procs, url, work):
        from selenium import webdriver
        from selenium.webdriver.remote.remote_connection import RemoteConnection
        # No command to the browser waits for ever.
        RemoteConnection.set_timeout(60)
        port = free_port()
        self.chromedriver = procs.start("chromedriver", [CHROMEDRIVER, "--port=%d" % port],
                                        stdin=subprocess.DEVNULL, stdout=open(os.path.join(work, "chromedriver.log"), "w"),
                                        stderr=subprocess.STDOUT)
        driver_url = "http://127.0.0.1:%d" % port
        deadline = time.monotonic() + 20
        while True:
            try:
                with urllib.request.urlopen(driver_url + "/status", timeout=5) as answer:
                    if json.load(answer)["value"]["ready"]:
                        break
            except (OSError, ValueError, KeyError):
                pass
            if self.chromedriver.poll() is not None or time.monotonic() > deadline:
                raise Failure("chromedriver did not start")
            time.sleep(0.1)
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1100",
                     "--user-data-dir=" + os.path.join(work, "chromium")):
            options.add_argument(flag)
        self.driver = webdriver.Remote(command_executor=driver_url, options=options)
        self.driver.set_page_load_timeout(30)
        self.driver.set_script_timeout(10)
        self.driver.get(url)

    def until(self, what, probe, check, timeout_s):
        """Polls probe() every 0.1 s until check(value) holds: (monotonic time
        it held, value). Fails with the last value after timeout_s."""
        deadline = time.monotonic() + timeout_s
        value = None
        while True:
            value = probe()
            if value is not None and check(value):
                return time.monotonic(), value
            if time.monotonic() > deadline:
                raise Failure("%s: not seen within %.1f s; the page shows %r" % (what, timeout_s, value))
            time.sleep(0.1)

    def slot(self, station, port):
        return self.driver.execute_script(SLOT_JS, station, str(port))

    def card(self, station):
        return self.driver.execute_script(CARD_JS, station)

    def search(self, serial):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        box = self.driver.find_element(By.ID, "serial-search")
        box.clear()
        box.send_keys(serial, Keys.ENTER)

    def history(self):
        return self.driver.execute_script(HISTORY_JS)

    def quit(self):
        try:
            self.driver.quit()
        except Exception as e:  # the browser may already be gone
            log("closing the browser: %s" % e)


delays = []


def expect_live(page, station, unit, printed_at, result_text, serial=None, measured=True):
    """The slot shows unit's result within LIVE_LIMIT_S of the station
    printing it (the measured delay kept for the summary). Not measured:
    printed_at is only when this scenario came to look."""
    ok = result_text == "Upgrade OK"

    def shows(s):
        return (s["unit"] == str(unit) and s["result_class"] == ("ok" if ok else "failed") and
                s["result"] == ("OK" if ok else result_text) and (serial is None or s["serial"] == serial))

    seen_at, value = page.until("%s unit %d's result %r" % (station.name, unit, result_text),
                                lambda: page.slot(station.name, station.com), shows,
                                LIVE_LIMIT_S + 10 - (time.monotonic() - printed_at))
    delay = seen_at - printed_at
    if measured:
        delays.append(delay)
        log("%s unit %d: %r on the page %.2f s after the station printed it" % (station.name, unit, result_text, delay))
    if delay > LIVE_LIMIT_S:
        raise Failure("%s unit %d's result showed %.2f s after the station printed it (limit %.1f s)"
                      % (station.name, unit, delay, LIVE_LIMIT_S))
    return value


def reasons(texts):
    """Failure reasons with their counts, as a set of (reason, count),
    whatever separates the two ("Write Error 1", "Write Error: 1")."""
    found = set()
    for text in texts:
        m = re.fullmatch(r"(.*?)[\s:×x(]*(\d+)\)?", text.strip())
        found.add((m.group(1), m.group(2)) if m else (text, None))
    return found


def expect_totals(page, station):
    """The card's totals are the station's last totals line."""
    want = station.totals()
    want_reasons = reasons(f for f in want["failures"].split(", ") if f)

    def same(card):
        return ([card["units"], card["ok"], card["failed"], card["yield"]] ==
                [want["units"], want["ok"], want["failed"], want["yield"]] and reasons(card["failures"]) == want_reasons)

    page.until("%s's totals %r" % (station.name, want), lambda: page.card(station.name), same, 5)


def expect_offline(page, station_name, timeout_s, since):
    """The card shows offline since HH:MM, HH:MM the page's local time of
    `since` (a datetime) or of the minute before or after it."""
    _, card = page.until("%s offline" % station_name, lambda: page.card(station_name),
                         lambda c: c["offline"], timeout_s)
    allowed = {(since + datetime.timedelta(minutes=d)).strftime("%H:%M") for d in (-1, 0, 1)}
    m = re.fullmatch(r"offline since (\d\d:\d\d)", card["state"] or "")
    if not m or m.group(1) not in allowed:
        raise Failure("%s's card says %r, not offline since one of %s" % (station_name, card["state"], sorted(allowed)))
    log("%s: %r" % (station_name, card["state"]))


def scenario(procs, work):
    db = Database(procs, work)
    env = dict(os.environ, **db.odbc_env)
    env["ZEVUVURI_PORT_DIR"] = os.path.join(work, "ports")
    # The page's HH:MM and this scenario's clock agree.
    env["TZ"] = "UTC"
    os.environ["TZ"] = "UTC"
    time.tzset()

    line_port = free_port()
    line_log = os.path.join(work, "line.log")
    line = procs.start("zevuvuri-line",
                       [args.line, "--records-db", db.connection("line_page", VIEWER_PASSWORD),
                        "--listen", "127.0.0.1:%d" % line_port],
                       env=env, stdin=subprocess.DEVNULL, stdout=open(line_log, "w"), stderr=subprocess.STDOUT)
    url = "http://127.0.0.1:%d/" % line_port
    deadline = time.monotonic() + 20
    while True:
        try:
            with urllib.request.urlopen(url + "api/line", timeout=5) as answer:
                if answer.status == 200:
                    break
        except OSError:
            pass
        if line.poll() is not None or time.monotonic() > deadline:
            raise Failure("zevuvuri-line did not answer: " + open(line_log).read())
        time.sleep(0.1)

    # line-a takes what is plugged: three boards, the second refuses a frame.
    # line-b takes a scan before each board: the same label twice (its first
    # attempt fails), then a label that is markup.
    a = Station(procs, work, env, "line-a", 1, 3, ["--board", "2:--refuse-data 60"], ["--units", "3"], db)
    b = Station(procs, work, env, "line-b", 2, 3, ["--board", "1:--refuse-data 60"], ["--next", "scan"], db)
    page = Page(procs, url, work)
    try:
        # line-b: waiting, then each scanned board's state while it runs and
        # its result, each compared with what the station printed.
        b_line, _, _ = b.out.wait_for(r"^2: waiting for a scan", 0, 20, "line-b waiting")
        page.until("line-b's slot waiting for a scan", lambda: page.slot("line-b", 2),
                   lambda s: "scan" in (s["state"] or "").lower(), LIVE_LIMIT_S + 8)
        unit = 0
        for label in ("SN-0007", "SN-0007", "<b>x</b>"):
            unit += 1
            b.wait_board(unit)
            b.scan(label)
            up, up_at, _ = b.out.wait_for(r"^2 #%d: Upgrading" % unit, b_line + 1, 20,
                                          "line-b unit %d upgrading" % unit)
            seen_at, _ = page.until("line-b unit %d upgrading with %s" % (unit, label), lambda: page.slot("line-b", 2),
                       lambda s: s["unit"] == str(unit) and s["serial"] == label and s["result_class"] == "" and
                       "upgrading" in (s["state"] or "").lower(), LIVE_LIMIT_S + 8)
            delays.append(seen_at - up_at)
            if seen_at - up_at > LIVE_LIMIT_S:
                raise Failure("line-b unit %d upgrading showed %.2f s after the station said so" % (unit, seen_at - up_at))
            b_line, printed_at, result = b.next_result(up, unit)
            shown = expect_live(page, b, unit, printed_at, result, serial=label)
            if shown["serial_children"] != 0:
                raise Failure("the serial %r became %d elements on the page" % (label, shown["serial_children"]))
        if [r["result"] for r in b.records()][:1] == ["Upgrade OK"]:
            raise Failure("line-b's first board should have failed: " + repr(b.records()))

        # The markup label's attempt is in the database (so nothing of
        # line-b's is lost when it dies) and shows as text in the history.
        page.search("<b>x</b>")
        page.until("the markup label's one attempt, as text", page.history,
                   lambda h: len(h["rows"]) == 1 and h["rows"][0]["elements"] == 0 and
                   h["rows"][0]["station"] == "line-b", 10)

        # line-b dies without a word: its card stays online until its last
        # heartbeat is OFFLINE_AFTER_S old (waited for at the end, while the
        # rest is checked).
        card = page.card("line-b")
        if card["offline"] or card["state"] != "online":
            raise Failure("line-b, still running, shows %r" % card["state"])
        os.killpg(b.cli.pid, signal.SIGKILL)
        killed_at = datetime.datetime.now()
        killed_monotonic = time.monotonic()

        # line-a ran meanwhile, and is done by now: its last result as it
        # printed it.
        a_line = 0
        for unit in (1, 2, 3):
            a_line, printed_at, result = a.next_result(a_line + 1 if unit > 1 else 0, unit)
        expect_live(page, a, 3, max(printed_at, time.monotonic()), result, measured=False)
        if a.cli.wait(timeout=30) == 0:
            raise Failure("line-a ended with status 0 though a board failed")
        stopped_at = datetime.datetime.now()
        expect_totals(page, a)
        expect_totals(page, b)
        expect_offline(page, "line-a", LIVE_LIMIT_S + 3, stopped_at)

        # The board SN-0007's attempts, in the journal's order.
        want = [r for r in b.records() if r.get("serial_number") == "SN-0007"]
        want.sort(key=lambda r: r["start"])
        page.search("SN-0007")
        _, history = page.until("SN-0007's two attempts", page.history, lambda h: len(h["rows"]) == len(want), 10)
        got = [(row["station"], row["result"]) for row in history["rows"]]
        expected = [("line-b", r["result"]) for r in want]
        if len(want) != 2 or got != expected:
            raise Failure("SN-0007's history shows %r, the journal has %r" % (got, expected))
        page.search("SN-NEVER-SEEN")
        page.until("nothing found for an unknown serial", page.history,
                   lambda h: h["empty_shown"] and not h["rows"], 10)

        # The line: the shift's chart is drawn, and its top failure reasons
        # add up both stations' failures (one "Write Error" each).
        line_failures = {}
        for station in (a, b):
            for reason, count in reasons(f for f in station.totals()["failures"].split(", ") if f):
                line_failures[reason] = line_failures.get(reason, 0) + int(count)
        page.until("the line's chart and top failures %r" % line_failures, lambda: page.driver.execute_script(
            "return {svg: document.querySelectorAll('#yield-chart svg').length,"
            " top: Array.from(document.querySelectorAll('#top-failures li')).map((e) => e.textContent.trim())};"),
            lambda line: line["svg"] == 1 and
            {r: int(c) for r, c in reasons(line["top"])} == line_failures, 5)

        # Both stations flash the same image: listed, neither flagged.
        rows = page.driver.execute_script(
            "return Array.from(document.querySelectorAll('#firmware tr[data-station]'))"
            ".map((tr) => [tr.dataset.station, tr.classList.contains('flagged')]);")
        if sorted(rows) != [["line-a", False], ["line-b", False]]:
            raise Failure("the firmware table has %r" % rows)

        os.makedirs(args.artifacts, exist_ok=True)
        shot = os.path.join(args.artifacts, "line_page.png")
        page.driver.save_screenshot(shot)
        log("screenshot: " + shot)

        card = page.card("line-b")
        if card["offline"] and time.monotonic() - killed_monotonic < OFFLINE_AFTER_S - 6:
            raise Failure("line-b shows %r %.0f s after it was killed" % (card["state"], time.monotonic() - killed_monotonic))
        expect_offline(page, "line-b", OFFLINE_AFTER_S + 10, killed_at)

        # No password anywhere the page's users or the server's log see.
        source = page.driver.page_source
        with urllib.request.urlopen(url + "api/line", timeout=10) as answer:
            api = answer.read().decode("utf-8")
        for where, text in (("the page", source), ("/api/line", api), ("zevuvuri-line's log", open(line_log).read())):
            if VIEWER_PASSWORD in text or LOADER_PASSWORD in text:
                raise Failure("a password shows in " + where)
    except Exception:
        try:
            os.makedirs(args.artifacts, exist_ok=True)
            page.driver.save_screenshot(os.path.join(args.artifacts, "line_page_failed.png"))
        except Exception:
            pass
        raise
    finally:
        page.quit()


def main():
    global args
    parser = argparse.ArgumentParser()
    for option in ("--cli", "--sim", "--line", "--schema", "--firmware", "--artifacts"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    if not os.access(CHROMIUM, os.X_OK):
        print("line page: %s is not installed (apt-get install chromium chromium-driver python3-selenium)" % CHROMIUM)
        return SKIP
    for path in (CHROMEDRIVER, args.cli, args.sim, args.line, PG_BIN + "/initdb"):
        if not os.access(path, os.X_OK):
            print("line page: %s is missing" % path)
            return 1
    try:
        import selenium  # noqa: F401
    except ImportError:
        print("line page: python3-selenium is not installed for %s" % sys.executable)
        return 1

    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="zevuvuri-line-page.")
    os.chmod(work, 0o755)
    procs = Processes()
    status = 1
    try:
        scenario(procs, work)
        status = 0
    except Failure as e:
        print("line page: FAILED: %s" % e)
    except subprocess.TimeoutExpired as e:
        print("line page: FAILED: %s timed out" % e.cmd)
    finally:
        procs.end_all()
        if status != 0:
            for name in sorted(os.listdir(work)):
                path = os.path.join(work, name)
                if os.path.isfile(path) and (name.endswith((".out", ".err", ".log"))):
                    print("---- " + name)
                    print("".join(open(path, errors="replace").readlines()[-20:]), end="")
        shutil.rmtree(work, ignore_errors=True)
    if delays:
        log("page delays after the station: max %.2f s over %d results" % (max(delays), len(delays)))
    log("%s in %.1f s" % ("passed" if status == 0 else "failed", time.monotonic() - started))
    return status


if __name__ == "__main__":
    sys.exit(main())
