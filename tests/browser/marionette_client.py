"""A small client of Firefox's built-in remote protocol, Marionette, with the
standard library only (Debian packages no geckodriver).

TFirefox starts firefox-esr headless on a new profile of its own in a
temporary folder, with Marionette on a port Firefox picks itself (written to
the profile's MarionetteActivePort) and the preferences that keep it off the
network; TMarionette speaks the protocol: every message is `length:JSON`, a
command `[0, id, name, parameters]`, its reply `[1, id, error, result]`.

The driver's and the elements' methods carry the names of Selenium's
WebDriver (get, find_element, click, send_keys, ...), so one page scenario
drives both browsers.
"""
import base64
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import types

kElementKey = "element-6066-11e4-a52e-4f735466cecf"
kMaxMessage = 64 * 1024 * 1024  # a screenshot is the largest reply
kCommandTimeout = 30.0

# Everything Firefox would reach for on its own, turned off or pointed at
# nothing: updates, telemetry and data reporting, captive portal and
# connectivity checks, safe browsing and tracking lists, remote settings,
# add-on and search updates, studies, push, prefetching and predictions,
# geolocation and region look-ups. What is left goes through a proxy on a
# loopback port nothing listens on; loopback itself is never proxied.
kQuietPreferences = {
    "app.normandy.api_url": "",
    "app.normandy.enabled": False,
    "app.shield.optoutstudies.enabled": False,
    "app.update.auto": False,
    "app.update.disabledForTesting": True,
    "app.update.enabled": False,
    "browser.aboutwelcome.enabled": False,
    "browser.discovery.enabled": False,
    "browser.newtabpage.enabled": False,
    "browser.newtab.preload": False,
    "browser.ping-centre.telemetry": False,
    "browser.places.speculativeConnect.enabled": False,
    "browser.region.network.url": "",
    "browser.region.update.enabled": False,
    "browser.safebrowsing.blockedURIs.enabled": False,
    "browser.safebrowsing.downloads.enabled": False,
    "browser.safebrowsing.downloads.remote.enabled": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.provider.google.updateURL": "",
    "browser.safebrowsing.provider.google.gethashURL": "",
    "browser.safebrowsing.provider.google4.updateURL": "",
    "browser.safebrowsing.provider.google4.gethashURL": "",
    "browser.safebrowsing.provider.mozilla.updateURL": "",
    "browser.safebrowsing.provider.mozilla.gethashURL": "",
    "browser.search.geoip.url": "",
    "browser.search.update": False,
    "browser.sessionstore.resume_from_crash": False,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage": "about:blank",
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.startup.page": 0,
    "browser.tabs.warnOnClose": False,
    "browser.topsites.contile.enabled": False,
    "browser.translations.enable": False,
    "browser.uitour.enabled": False,
    "browser.urlbar.merino.endpointURL": "",
    "browser.urlbar.suggest.searches": False,
    "datareporting.healthreport.uploadEnabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "datareporting.policy.dataSubmissionPolicyBypassNotification": True,
    "datareporting.policy.firstRunURL": "",
    "datareporting.usage.uploadEnabled": False,
    "dom.push.connection.enabled": False,
    "dom.push.serverURL": "",
    "extensions.blocklist.enabled": False,
    "extensions.getAddons.cache.enabled": False,
    "extensions.pocket.enabled": False,
    "extensions.systemAddon.update.enabled": False,
    "extensions.systemAddon.update.url": "",
    "extensions.update.enabled": False,
    "geo.provider.network.url": "",
    "identity.fxaccounts.enabled": False,
    "media.gmp-manager.url": "",
    "media.gmp-gmpopenh264.enabled": False,
    "messaging-system.rsexperimentloader.enabled": False,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "network.dns.disablePrefetch": True,
    "network.http.speculative-parallel-limit": 0,
    "network.predictor.enabled": False,
    "network.prefetch-next": False,
    "network.proxy.allow_hijacking_localhost": False,
    "network.proxy.type": 1,
    "network.proxy.http": "127.0.0.1",
    "network.proxy.ssl": "127.0.0.1",
    "network.proxy.no_proxies_on": "",
    "network.trr.mode": 5,
    "security.OCSP.enabled": 0,
    "security.remote_settings.crlite_filters.enabled": False,
    "security.remote_settings.intermediates.enabled": False,
    "services.settings.server": "data:,#remote-settings-dummy/v1",
    "signon.rememberSignons": False,
    "startup.homepage_welcome_url": "about:blank",
    "startup.homepage_welcome_url.additional": "",
    "toolkit.coverage.opt-out": True,
    "toolkit.startup.max_resumed_crashes": -1,
    "toolkit.telemetry.archive.enabled": False,
    "toolkit.telemetry.enabled": False,
    "toolkit.telemetry.server": "",
    "toolkit.telemetry.unified": False,
}


class EMarionetteError(Exception):
    """An error reply, or a broken conversation."""


def _closed_loopback_port():
    """A loopback port nothing listens on (bound, then let go)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class TMarionette:
    """One Marionette connection and the session on it."""

    def __init__(self, port, timeout=kCommandTimeout):
        self.socket_ = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffer_ = b""
        self.next_id_ = 0
        greeting = self._read()
        if not isinstance(greeting, dict) or greeting.get("marionetteProtocol") != 3:
            raise EMarionetteError(f"not a Marionette greeting: {greeting!r}")

    def close(self):
        self.socket_.close()

    def _read(self):
        while b":" not in self.buffer_:
            if len(self.buffer_) > 12:
                raise EMarionetteError("a message length that does not end")
            self._fill()
        head, _, rest = self.buffer_.partition(b":")
        if not head.isdigit() or int(head) > kMaxMessage:
            raise EMarionetteError(f"a bad message length {head[:20]!r}")
        length = int(head)
        self.buffer_ = rest
        while len(self.buffer_) < length:
            self._fill()
        message, self.buffer_ = self.buffer_[:length], self.buffer_[length:]
        return json.loads(message.decode("utf-8"))

    def _fill(self):
        chunk = self.socket_.recv(1 << 16)
        if not chunk:
            raise EMarionetteError("Firefox closed the connection")
        self.buffer_ += chunk

    def command(self, name, parameters=None):
        """Sends one command and returns its result (unwrapped from {"value": ...})."""
        self.next_id_ += 1
        command_id = self.next_id_
        body = json.dumps([0, command_id, name, parameters or {}]).encode("utf-8")
        self.socket_.sendall(str(len(body)).encode("ascii") + b":" + body)
        while True:
            reply = self._read()
            if not (isinstance(reply, list) and len(reply) == 4 and reply[0] == 1):
                raise EMarionetteError(f"not a reply: {reply!r:.200}")
            if reply[1] == command_id:
                break
        _, _, error, result = reply
        if error is not None:
            raise EMarionetteError(f"{name}: {error.get('error')}: {error.get('message')}")
        if isinstance(result, dict) and set(result) == {"value"}:
            return result["value"]
        return result


class TElement:
    """A page element, as Selenium's WebElement offers it."""

    def __init__(self, client, uuid):
        self.client_ = client
        self.uuid_ = uuid

    def _command(self, command, **parameters):
        return self.client_.command(command, {"id": self.uuid_, **parameters})

    @property
    def text(self):
        return self._command("WebDriver:GetElementText")

    def get_attribute(self, name):
        return self._command("WebDriver:GetElementAttribute", name=name)

    def is_enabled(self):
        return self._command("WebDriver:IsElementEnabled")

    def click(self):
        self._command("WebDriver:ElementClick")

    def clear(self):
        self._command("WebDriver:ElementClear")

    def send_keys(self, text):
        self._command("WebDriver:ElementSendKeys", text=text)

    def find_element(self, by, value):
        return _find(self.client_, "WebDriver:FindElement", by, value, self.uuid_)

    def find_elements(self, by, value):
        return _find(self.client_, "WebDriver:FindElements", by, value, self.uuid_)


def _find(client, name, by, value, within=None):
    # Selenium's "id" is a CSS selector on the wire, as the W3C protocol has it.
    if by == "id":
        by, value = "css selector", f"[id=\"{value}\"]"
    parameters = {"using": by, "value": value}
    if within is not None:
        parameters["element"] = within
    found = client.command(name, parameters)
    if isinstance(found, list):
        return [TElement(client, reference[kElementKey]) for reference in found]
    return TElement(client, found[kElementKey])


class TFirefox:
    """firefox-esr, headless, on a profile of its own, driven through Marionette.

    Everything it makes lives in one temporary folder (profile, HOME, caches),
    removed by quit(); the browser runs in a process group of its own, whose
    leader is the PID started here, so that its content processes go with it.
    """

    def __init__(self, binary, width, height, start_timeout=90.0):
        self.work_ = tempfile.mkdtemp(prefix="vistrel-firefox-")
        self.process_ = None
        self.client_ = None
        try:
            self._start(binary, width, height, start_timeout)
        except BaseException:
            self.quit()
            raise

    def _start(self, binary, width, height, start_timeout):
        profile = os.path.join(self.work_, "profile")
        home = os.path.join(self.work_, "home")
        os.makedirs(profile)
        os.makedirs(home)
        preferences = dict(kQuietPreferences)
        preferences["marionette.port"] = 0  # Firefox picks a free one and writes it down
        preferences["network.proxy.http_port"] = _closed_loopback_port()
        preferences["network.proxy.ssl_port"] = preferences["network.proxy.http_port"]
        with open(os.path.join(profile, "user.js"), "w") as f:
            for name, value in sorted(preferences.items()):
                f.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
        environment = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": home,
            "TMPDIR": self.work_,
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
            "XDG_RUNTIME_DIR": self.work_,
            "MOZ_HEADLESS": "1",
            "MOZ_CRASHREPORTER_DISABLE": "1",
            "MOZ_NO_REMOTE": "1",
            # Firefox itself refuses connections to anywhere but this machine, and
            # (so told) takes the remote settings server from the preferences.
            "MOZ_DISABLE_NONLOCAL_CONNECTIONS": "1",
        }
        self.log_ = open(os.path.join(self.work_, "firefox.log"), "wb")
        self.process_ = subprocess.Popen(
            [binary, "--headless", "--marionette", "--no-remote", "--profile", profile, "about:blank"],
            env=environment, stdin=subprocess.DEVNULL, stdout=self.log_, stderr=subprocess.STDOUT,
            start_new_session=True)
        port_file = os.path.join(profile, "MarionetteActivePort")
        end = time.monotonic() + start_timeout
        while True:
            if self.process_.poll() is not None:
                raise EMarionetteError(f"firefox-esr ended at start ({self.process_.returncode}): {self.log_tail()}")
            if time.monotonic() > end:
                raise EMarionetteError(f"no Marionette port after {start_timeout:.0f} s: {self.log_tail()}")
            try:
                with open(port_file) as f:
                    port = int(f.read().strip())
                self.client_ = TMarionette(port)
                break
            except (OSError, ValueError):
                time.sleep(0.1)
        self.client_.command("WebDriver:NewSession", {
            "pageLoadStrategy": "normal",
            "timeouts": {"implicit": 0, "pageLoad": 30000, "script": 10000},
        })
        self.set_window_size(width, height)

    def log_tail(self, size=2000):
        try:
            with open(os.path.join(self.work_, "firefox.log"), "rb") as f:
                return f.read()[-size:].decode("utf-8", "replace")
        except OSError:
            return ""

    # Selenium's WebDriver, as far as the page scenario uses it.
    def get(self, url):
        self.client_.command("WebDriver:Navigate", {"url": url})

    @property
    def title(self):
        return self.client_.command("WebDriver:GetTitle")

    def find_element(self, by, value):
        return _find(self.client_, "WebDriver:FindElement", by, value)

    def find_elements(self, by, value):
        return _find(self.client_, "WebDriver:FindElements", by, value)

    def execute_script(self, script, *args):
        return self.client_.command("WebDriver:ExecuteScript", {"script": script, "args": list(args)})

    @property
    def switch_to(self):
        """Its .alert: the open dialog, as Selenium's Alert (fails while none is open)."""
        client, text = self.client_, self.client_.command("WebDriver:GetAlertText")
        return types.SimpleNamespace(alert=types.SimpleNamespace(
            text=text, accept=lambda: client.command("WebDriver:AcceptAlert"),
            dismiss=lambda: client.command("WebDriver:DismissAlert")))

    def set_window_size(self, width, height):
        self.client_.command("WebDriver:SetWindowRect", {"width": width, "height": height})

    def open_window(self, width, height):
        """Opens a window of the size given and goes on in it (about:blank).

        A new window with size features is a popup, which has no toolbars and
        so none of the main window's minimum width: a phone's 390 CSS pixels
        are possible there.
        """
        before = set(self.client_.command("WebDriver:GetWindowHandles"))
        self.execute_script(f"window.open('about:blank', '_blank', 'popup,width={int(width)},height={int(height)}')")
        end = time.monotonic() + 10
        while True:
            new = set(self.client_.command("WebDriver:GetWindowHandles")) - before
            if new:
                break
            if time.monotonic() > end:
                raise EMarionetteError("the new window did not open")
            time.sleep(0.1)
        self.client_.command("WebDriver:SwitchToWindow", {"handle": new.pop()})

    def save_screenshot(self, path):
        png = base64.b64decode(self.client_.command("WebDriver:TakeScreenshot", {"full": False}))
        with open(path, "wb") as f:
            f.write(png)

    def quit(self):
        """Asks Firefox to quit; ends its process group if it has not within 20 s. Removes the folder."""
        try:
            if self.client_ is not None:
                try:
                    self.client_.command("Marionette:Quit", {"flags": ["eForceQuit"]})
                except (EMarionetteError, OSError):
                    pass
                self.client_.close()
                self.client_ = None
            if self.process_ is not None:
                try:
                    self.process_.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    pass
                # The group is the one the browser was started in: its leader's PID.
                try:
                    os.killpg(self.process_.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                if self.process_.returncode is None:
                    self.process_.wait(timeout=10)
                self.process_ = None
        finally:
            if getattr(self, "log_", None) is not None:
                self.log_.close()
                self.log_ = None
            shutil.rmtree(self.work_, ignore_errors=True)
