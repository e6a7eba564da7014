#!/usr/bin/python3
"""The operator page in a real browser.

Starts vistreld on free loopback ports with a remote admin password, gives it
live games and viewers (vistrel-demo-client, plus one viewer of our own), and
has headless Chromium load the page: the games and viewers must show, the live
log must follow, a Kick asks for the password (a wrong one is refused, the
right one closes that viewer's connection), and a second command in the same
session needs no password again. With --screenshot the page is written as a
PNG (tools/screenshots.sh uses it for docs/).

Everything talks to 127.0.0.1 only; every process started here is ended here.
"""
import argparse
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

PASSWORD = "operator secret"
VIEWER_NAME = "kickme"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def api(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=5) as reply:
        return json.load(reply)


def wait_until(what, predicate, limit=15.0):
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


def start_browser(width, height, phone=False):
    options = Options()
    if phone:
        options.add_experimental_option(
            "mobileEmulation", {"deviceMetrics": {"width": width, "height": height, "pixelRatio": 2.0}})
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--window-size={width},{height}", "--hide-scrollbars"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def row_of_viewer(driver, name):
    for row in driver.find_elements(By.CSS_SELECTOR, "#users tr"):
        if row.find_element(By.CSS_SELECTOR, "td").text == name:
            return row
    return None


def enter_password(driver, password):
    WebDriverWait(driver, 10, ignored_exceptions=(StaleElementReferenceException,)).until(
        lambda d: "open" in d.find_element(By.ID, "password-dialog").get_attribute("class"))
    field = driver.find_element(By.ID, "password-input")
    field.clear()
    field.send_keys(password)
    driver.find_element(By.ID, "password-ok").click()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vistreld", required=True)
    parser.add_argument("--demo-client", required=True)
    parser.add_argument("--screenshot", help="write the page (desktop size) to this PNG")
    parser.add_argument("--phone-screenshot", help="write the page at a phone's size to this PNG")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="vistrel-page-test-")
    registry = os.path.join(work, "registry.reg")
    with open(registry, "w", newline="") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
                f"\"RemoteAdminPasswordEdit\"=\"{PASSWORD}\"\r\n")
    sender_port, viewer_port, http_port = free_port(), free_port(), free_port()
    processes = []
    driver = None
    viewer = None
    try:
        relay = subprocess.Popen([args.vistreld, "--address", "127.0.0.1", "--sender-port", str(sender_port),
                                  "--viewer-port", str(viewer_port), "--http", f"127.0.0.1:{http_port}",
                                  "--registry", registry, "--no-recording"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        processes.append(relay)
        wait_until("the HTTP side", lambda: api(http_port, "/api/v1/status")["version"])
        demo = subprocess.Popen([args.demo_client, "--sender-port", str(sender_port), "--viewer-port",
                                 str(viewer_port), "--games", "3", "--viewers", "4", "--seconds", "120"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(demo)
        viewer = connect_viewer(viewer_port, VIEWER_NAME)
        wait_until("three games and five viewers",
                   lambda: len(api(http_port, "/api/v1/games")["games"]) == 3
                   and len(api(http_port, "/api/v1/viewers")["viewers"]) == 5)
        games = api(http_port, "/api/v1/games")["games"]

        driver = start_browser(1280, 860)
        driver.get(f"http://127.0.0.1:{http_port}/")
        assert driver.title == "Vistrel Server", driver.title
        wait = WebDriverWait(driver, 15, ignored_exceptions=(StaleElementReferenceException,))
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#games tr")) == 3)
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#users tr")) == 5)
        shown = driver.find_element(By.ID, "games").text
        for game in games:
            assert game["name"] in shown, (game["name"], shown)
            assert game["sender"]["name"] in shown, (game["sender"]["name"], shown)
        wait.until(lambda d: row_of_viewer(d, VIEWER_NAME) is not None)
        wait.until(lambda d: "live" == d.find_element(By.ID, "live").text)
        wait.until(lambda d: "Viewer connecting: 127.0.0.1" in d.find_element(By.ID, "log").text)
        # The page loads nothing from anywhere else.
        for element in driver.find_elements(By.CSS_SELECTOR, "script[src], link[href], img[src], iframe"):
            raise AssertionError("the page refers to " + element.get_attribute("outerHTML"))
        if args.screenshot:
            driver.save_screenshot(args.screenshot)

        # A kick: the password is asked for; a wrong one is refused.
        row_of_viewer(driver, VIEWER_NAME).find_element(By.CSS_SELECTOR, "button.kick").click()
        enter_password(driver, "not the password")
        wait.until(lambda d: "Wrong password" in d.find_element(By.ID, "notice").text)
        time.sleep(1.1)  # the relay makes an address wait a second after a failure
        enter_password(driver, PASSWORD)
        assert closed_by_relay(viewer), "the kicked viewer's connection stayed open"
        wait.until(lambda d: row_of_viewer(d, VIEWER_NAME) is None)
        wait.until(lambda d: "Remote admin 127.0.0.1: Kick User" in d.find_element(By.ID, "log").text)
        assert len(api(http_port, "/api/v1/viewers")["viewers"]) == 4

        # The password is kept for the session: a halt asks for nothing.
        first = driver.find_element(By.CSS_SELECTOR, f"#games tr[data-id='{games[0]['id']}'] button.halt")
        first.click()
        wait.until(lambda d: "Halt Transfer on game" in d.find_element(By.ID, "notice").text)
        assert "open" not in driver.find_element(By.ID, "password-dialog").get_attribute("class")
        wait_until("the halted sender to go",
                   lambda: not api(http_port, "/api/v1/games")["games"][0]["sender"]["connected"])
        wait.until(lambda d: not d.find_element(
            By.CSS_SELECTOR, f"#games tr[data-id='{games[0]['id']}'] button.halt").is_enabled())

        if args.phone_screenshot:
            driver.quit()
            driver = start_browser(390, 844, phone=True)
            driver.get(f"http://127.0.0.1:{http_port}/")
            WebDriverWait(driver, 15, ignored_exceptions=(StaleElementReferenceException,)).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#games tr")) == 3)
            WebDriverWait(driver, 15, ignored_exceptions=(StaleElementReferenceException,)).until(lambda d: "live" == d.find_element(By.ID, "live").text)
            driver.save_screenshot(args.phone_screenshot)
        print("operator page: 1 passed, 0 failed")
        return 0
    except (AssertionError, TimeoutException) as e:
        print(f"operator page: FAILED: {e!r}", file=sys.stderr)
        if driver is not None:
            failed = os.path.join(work, "failed.png")
            driver.save_screenshot(failed)
            print(f"the page as it was: {failed}", file=sys.stderr)
        print("operator page: 0 passed, 1 failed")
        return 1
    finally:
        if driver is not None:
            driver.quit()
        if viewer is not None:
            viewer.close()
        for process in reversed(processes):
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


if __name__ == "__main__":
    sys.exit(main())
