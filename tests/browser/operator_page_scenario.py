"""What the operator page's browser tests share: a live relay to look at, and
the checks every browser must pass on it.

TLiveRelay starts vistreld (--no-recording) on free loopback ports with a
remote admin password, gives it live games, filming (under a broadcast delay
if asked), and viewers behind them (vistrel-demo-client, plus one viewer of
our own), and ends everything it started by PID and removes its temporary
folder when closed.

check_page runs the page's scenario through a driver with the methods of
Selenium's WebDriver (Chromium's through chromedriver, Firefox's through
marionette_client): the games and viewers must show, the live log must follow,
a viewer's chat line must show in the chat panel, a Kick asks for the password
(a wrong one is refused, the right one closes that viewer's connection), and a
second command in the same session needs no password again; at that size
(1280 x 860) both tables fit their panels; also the new columns, the sorting,
the real confirm() dialogs and the summary's words.
check_phone_width loads the page in a phone-sized window and checks that
neither the page nor a table (nor a cell or Halt button) is wider than its room.
"""
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

PASSWORD = "operator secret"
VIEWER_NAME = "kickme"
kGames = 3
kDemoViewers = 4
kTestLimit = 150  # seconds for a whole test; CTest's own limit is above it

CSS = "css selector"
ID = "id"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def api(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=5) as reply:
        return json.load(reply)


def wait_until(what, predicate, limit=15.0):
    """Polls predicate until it is true; an exception counts as not yet (a
    row replaced under the driver, a relay not listening yet)."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            if predicate():
                return
        except Exception:
            pass
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def connect_viewer(port, name):
    """A viewer that names itself; the open socket."""
    viewer = socket.create_connection(("127.0.0.1", port), timeout=5)
    greeting = b""
    while len(greeting) < 19:
        chunk = viewer.recv(19 - len(greeting))
        if not chunk:
            raise AssertionError("the relay closed the viewer before its greeting")
        greeting += chunk
    assert greeting == b"Welcome to TcpSrv\r\n", greeting
    # USERINFO: type 8, length 32, check 0, the name in the 17-byte slot at 12.
    packet = struct.pack("<iii", 8, 32, 0) + name.encode("latin-1")[:16].ljust(20, b"\0")
    viewer.sendall(packet)
    return viewer


def closed_by_relay(viewer, limit=10.0):
    """Reads (and drops) what the relay sends until it closes the connection."""
    viewer.settimeout(0.2)
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            if viewer.recv(65536) == b"":
                return True
        except socket.timeout:
            continue
        except OSError:
            return True
    return False


class TLiveRelay:
    """vistreld with kGames live games and kDemoViewers + 1 viewers, on loopback."""

    def __init__(self, vistreld, demo_client, delay_seconds=0):
        self.delay_seconds = delay_seconds
        self.work_ = tempfile.mkdtemp(prefix="vistrel-page-test-")
        self.processes_ = []
        self.viewer = None
        try:
            self._start(vistreld, demo_client)
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def _start(self, vistreld, demo_client):
        registry = os.path.join(self.work_, "registry.reg")
        with open(registry, "w", newline="") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
                    f"\"RemoteAdminPasswordEdit\"=\"{PASSWORD}\"\r\n"
                    f"\"BroadcastDelaySpin\"=dword:{self.delay_seconds:08x}\r\n")
        sender_port, viewer_port = free_port(), free_port()
        self.http_port = free_port()
        self.url = f"http://127.0.0.1:{self.http_port}/"
        self.relay_errors_ = open(os.path.join(self.work_, "vistreld.err"), "wb")
        self.processes_.append(subprocess.Popen(
            [vistreld, "--address", "127.0.0.1", "--sender-port", str(sender_port), "--viewer-port",
             str(viewer_port), "--http", f"127.0.0.1:{self.http_port}", "--registry", registry,
             "--no-recording"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.relay_errors_))
        wait_until("the HTTP side", lambda: self.api("/api/v1/status")["version"])
        self.processes_.append(subprocess.Popen(
            [demo_client, "--sender-port", str(sender_port), "--viewer-port", str(viewer_port),
             "--games", str(kGames), "--viewers", str(kDemoViewers), "--seconds", "120", "--film-every", "500"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self.viewer = connect_viewer(viewer_port, VIEWER_NAME)
        wait_until(f"{kGames} games and {kDemoViewers + 1} viewers",
                   lambda: len(self.api("/api/v1/games")["games"]) == kGames
                   and len(self.api("/api/v1/viewers")["viewers"]) == kDemoViewers + 1)

    def api(self, path):
        return api(self.http_port, path)

    def relay_errors(self):
        try:
            with open(os.path.join(self.work_, "vistreld.err"), "rb") as f:
                return f.read()[-2000:].decode("utf-8", "replace")
        except OSError:
            return ""

    def close(self):
        if self.viewer is not None:
            self.viewer.close()
            self.viewer = None
        for process in reversed(self.processes_):
            if process.poll() is None:
                process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)
        self.processes_ = []
        if getattr(self, "relay_errors_", None) is not None:
            self.relay_errors_.close()
            self.relay_errors_ = None
        shutil.rmtree(self.work_, ignore_errors=True)


def _row_of_viewer(driver, name):
    for row in driver.find_elements(CSS, "#users tr"):
        if row.find_element(CSS, "td").text == name:
            return row
    return None


def _enter_password(driver, password):
    wait_until("the password dialog",
               lambda: "open" in driver.find_element(ID, "password-dialog").get_attribute("class"), 10)
    field = driver.find_element(ID, "password-input")
    field.clear()
    field.send_keys(password)
    driver.find_element(ID, "password-ok").click()


def _text_of(driver, element_id):
    return driver.find_element(ID, element_id).text


def _assert_nothing_wider(driver):
    """Neither the page nor any table is wider than its room."""
    sizes = driver.execute_script(
        "return [document.documentElement.scrollWidth, window.innerWidth,"
        " Array.from(document.querySelectorAll('.scroll'),"
        "            (e) => [e.parentNode.id, e.scrollWidth, e.clientWidth])]")
    page, window, tables = sizes
    assert page <= window, f"the page is {page} CSS pixels wide in a {window} pixel window"
    for panel, width, room in tables:
        assert width <= room, f"{panel}'s table is {width} CSS pixels wide in {room} ({window} wide window)"


def _answer_confirmation(driver, accept):
    """Answers the page's confirm() (a real dialog); its question."""
    dialog = {}
    wait_until("the confirmation", lambda: dialog.setdefault("alert", driver.switch_to.alert), 5)
    text = dialog["alert"].text
    dialog["alert"].accept() if accept else dialog["alert"].dismiss()
    return text


def _cells(driver, table, label):
    return [cell.text for cell in driver.find_elements(CSS, f"#{table} td[data-label='{label}']")]


def _check_live_columns_and_sorting(driver, relay):
    wait_until("the cameras filming", lambda: len(driver.find_elements(CSS, "#games .badge.filming")) == kGames)
    wait_until("the sizes in KiB", lambda: all(
        re.fullmatch(r"\d+(\.\d)? KiB", size) for size in _cells(driver, "games", "Compressed Size")))
    lag = re.compile(r"([1-9]\d*) packets?, \d+(\.\d)? s")
    wait_until("a viewer behind", lambda: any(lag.fullmatch(text) for text in _cells(driver, "users", "Behind")),
               15 + relay.delay_seconds)
    assert f" {kGames} games \u00b7 " in _text_of(driver, "summary")
    if relay.delay_seconds:  # the pictures show packets held back
        wait_until("packets held back", lambda: any(" of " in t for t in _cells(driver, "games", "Packets")), 20)
    # By ID, by ID the other way round (which outlives a refresh), and back.
    header, ids = driver.find_element(CSS, "#games-panel th:first-child"), sorted(_cells(driver, "games", "ID"), key=int)
    for order, expected in (("ascending", ids), ("descending", ids[::-1]), ("ascending", ids)):
        header.find_element(CSS, "button.sort").click()
        if order == "descending":
            time.sleep(2.5)
        assert (header.get_attribute("aria-sort"), _cells(driver, "games", "ID")) == (order, expected)


def check_page(driver, relay, screenshot=None):
    """The page at desktop size, through a kick, a halt and a delete. Raises AssertionError."""
    games = relay.api("/api/v1/games")["games"]
    driver.get(relay.url)
    assert driver.title == "Vistrel Server", driver.title
    wait_until("the games", lambda: len(driver.find_elements(CSS, "#games tr")) == kGames)
    wait_until("the viewers", lambda: len(driver.find_elements(CSS, "#users tr")) == kDemoViewers + 1)
    shown = _text_of(driver, "games")
    for game in games:
        assert game["name"] in shown, (game["name"], shown)
        assert game["sender"]["name"] in shown, (game["sender"]["name"], shown)
    wait_until("our viewer's row", lambda: _row_of_viewer(driver, VIEWER_NAME) is not None)
    wait_until("the live log", lambda: _text_of(driver, "live") == "live")
    wait_until("the log's lines", lambda: "Viewer connecting: 127.0.0.1" in _text_of(driver, "log"))
    # The page loads nothing from anywhere else.
    for element in driver.find_elements(CSS, "script[src], link[href], img[src], iframe"):
        raise AssertionError("the page refers to " + element.get_attribute("outerHTML"))
    # Our viewer's chat line shows in the chat panel, with its name.
    text = b"hello from the test"
    relay.viewer.sendall(struct.pack("<iii", 6, 288, 0) + bytes(17) + text.ljust(259, b"\0"))
    wait_until("the chat line", lambda: f"{VIEWER_NAME}: hello from the test" in _text_of(driver, "chat"))
    _assert_nothing_wider(driver)
    _check_live_columns_and_sorting(driver, relay)
    if screenshot:
        driver.save_screenshot(screenshot)

    # Kick and Halt ask first; a dismissed question runs nothing (not even the password's).
    _row_of_viewer(driver, "alice").find_element(CSS, "button.kick").click()
    assert "alice" in _answer_confirmation(driver, False)
    driver.find_element(CSS, f"#games tr[data-id='{games[1]['id']}'] button.halt").click()
    assert f"game {games[1]['id']} ({games[1]['name']})" in _answer_confirmation(driver, False)
    time.sleep(1)
    assert "open" not in (driver.find_element(ID, "password-dialog").get_attribute("class") or "")

    # A kick: the password is asked for; a wrong one is refused.
    _row_of_viewer(driver, VIEWER_NAME).find_element(CSS, "button.kick").click()
    assert VIEWER_NAME in _answer_confirmation(driver, True)
    _enter_password(driver, "not the password")
    wait_until("the refusal", lambda: "Wrong password" in _text_of(driver, "notice"))
    time.sleep(1.1)  # the relay makes an address wait a second after a failure
    _enter_password(driver, PASSWORD)
    assert closed_by_relay(relay.viewer), "the kicked viewer's connection stayed open"
    wait_until("the kicked viewer's row to go", lambda: _row_of_viewer(driver, VIEWER_NAME) is None)
    wait_until("the kick in the log", lambda: "Remote admin 127.0.0.1: Kick User" in _text_of(driver, "log"))
    assert len(relay.api("/api/v1/viewers")["viewers"]) == kDemoViewers

    # The password is kept for the session: a halt asks for nothing but the confirmation.
    halt = f"#games tr[data-id='{games[0]['id']}'] button.halt"
    driver.find_element(CSS, halt).click()
    assert f"game {games[0]['id']} ({games[0]['name']})" in _answer_confirmation(driver, True)
    wait_until("the halt's notice", lambda: "Halt Transfer on game" in _text_of(driver, "notice"))
    assert "open" not in driver.find_element(ID, "password-dialog").get_attribute("class")
    wait_until("the halted sender to go",
               lambda: not relay.api("/api/v1/games")["games"][0]["sender"]["connected"])
    wait_until("the Halt button to be disabled", lambda: not driver.find_element(CSS, halt).is_enabled())
    wait_until("the camera halted", lambda: _cells(driver, "games", "Camera")[0] == "halted")

    # Delete asks as it always did; one camera left is "1 sender".
    driver.find_element(CSS, f"#games tr[data-id='{games[2]['id']}'] button.delete").click()
    assert _answer_confirmation(driver, True) == f"Delete game {games[2]['id']} ({games[2]['name']})?"
    wait_until("the deleted game's row to go", lambda: len(driver.find_elements(CSS, "#games tr")) == kGames - 1)
    wait_until("one sender", lambda: " 1 sender \u00b7 " in _text_of(driver, "summary"))


def check_phone_width(driver, relay, screenshot=None):
    """The page in a phone-sized window (the driver's window is one already):
    shows the games and follows the log, and nothing is wider than its room."""
    driver.get(relay.url)
    width = driver.execute_script("return window.innerWidth")
    assert width <= 420, f"not a phone-sized window: {width} CSS pixels wide"
    wait_until("the games", lambda: len(driver.find_elements(CSS, "#games tr")) == kGames - 1)
    wait_until("the live log", lambda: _text_of(driver, "live") == "live")
    _assert_nothing_wider(driver)
    outside = driver.execute_script(
        "return Array.from(document.querySelectorAll('#games td, #users td, #games button.halt')).filter((e) =>"
        " !(e.offsetWidth > 0 && e.getBoundingClientRect().right <= innerWidth)).map((e) => e.outerHTML)")
    assert not outside, f"not within the {width} pixel window: {outside}"
    if screenshot:
        driver.save_screenshot(screenshot)


def keep_failure_picture(driver, file_name):
    """After a failure: the page as it was, into the working folder (CTest's
    is the build's tests/ folder), never into a temporary one."""
    try:
        path = os.path.abspath(file_name)
        driver.save_screenshot(path)
        print(f"the page as it was: {path}", file=sys.stderr)
    except Exception as e:
        print(f"no picture of the page: {e!r}", file=sys.stderr)


class ETestTimeout(AssertionError):
    pass


def _out_of_time(signum, frame):
    raise ETestTimeout(f"the test ran out of its {kTestLimit} s")


def run(name, body):
    """Runs body() under a time limit, reports as CTest reads it; the exit status."""
    signal.signal(signal.SIGALRM, _out_of_time)
    signal.alarm(kTestLimit)
    started = time.monotonic()
    try:
        body()
        print(f"{name}: 1 passed, 0 failed ({time.monotonic() - started:.1f} s)")
        return 0
    except Exception as e:
        print(f"{name}: FAILED: {e!r}", file=sys.stderr)
        print(f"{name}: 0 passed, 1 failed")
        return 1
    finally:
        signal.alarm(0)
