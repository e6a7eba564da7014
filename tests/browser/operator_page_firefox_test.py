#!/usr/bin/python3
"""The operator page in headless Firefox (firefox-esr through Marionette, with
marionette_client: Debian has no geckodriver).

Runs operator_page_scenario's checks against a live relay: the page at desktop
size through a kick and a halt, then in a 390 x 844 window. Exits 77 (CTest's
skip) when firefox-esr is not installed.

Everything talks to 127.0.0.1 only; every process started here is ended here,
and the browser's profile is a temporary folder removed at the end.
"""
import argparse
import os
import shutil
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import operator_page_scenario as scenario  # noqa: E402
from marionette_client import TFirefox  # noqa: E402

kSkipped = 77


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vistreld", required=True)
    parser.add_argument("--demo-client", required=True)
    parser.add_argument("--firefox", default=shutil.which("firefox-esr") or "/usr/bin/firefox-esr")
    parser.add_argument("--screenshot", help="write the page (desktop size) to this PNG")
    parser.add_argument("--phone-screenshot", help="write the page at a phone's size to this PNG")
    args = parser.parse_args()
    if not os.access(args.firefox, os.X_OK):
        print(f"operator page in Firefox: skipped, {args.firefox} is not installed (apt-get install firefox-esr)")
        return kSkipped

    def body():
        with scenario.TLiveRelay(args.vistreld, args.demo_client) as relay:
            browser = TFirefox(args.firefox, 1280, 860)
            try:
                scenario.check_page(browser, relay, args.screenshot)
                browser.open_window(390, 844)
                scenario.check_phone_width(browser, relay, args.phone_screenshot)
            except Exception:
                scenario.keep_failure_picture(browser, "operator_page_firefox_failed.png")
                print("the end of Firefox's output:\n" + browser.log_tail(), file=sys.stderr)
                raise
            finally:
                browser.quit()

    return scenario.run("operator page in Firefox", body)


if __name__ == "__main__":
    sys.exit(main())
