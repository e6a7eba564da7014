#!/usr/bin/python3
"""The operator page in headless Chromium (Selenium and chromedriver).

Runs operator_page_scenario's checks against a live relay: the page at desktop
size through a kick and a halt, then at a phone's size (Chromium's mobile
emulation, 390 x 844). With --screenshot and --phone-screenshot the two are
written as PNGs (tools/screenshots.sh uses them for docs/, with --delay for a
final under a broadcast delay).

Everything talks to 127.0.0.1 only; every process started here is ended here.
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.options import Options  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402

import operator_page_scenario as scenario  # noqa: E402


def start_browser(width, height, phone=False):
    options = Options()
    if phone:
        options.add_experimental_option(
            "mobileEmulation", {"deviceMetrics": {"width": width, "height": height, "pixelRatio": 2.0}})
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--window-size={width},{height}", "--hide-scrollbars"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    driver.set_script_timeout(10)
    return driver


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vistreld", required=True)
    parser.add_argument("--demo-client", required=True)
    parser.add_argument("--screenshot", help="write the page (desktop size) to this PNG")
    parser.add_argument("--phone-screenshot", help="write the page at a phone's size to this PNG")
    parser.add_argument("--delay", type=int, default=0, help="the relay's broadcast delay in seconds")
    args = parser.parse_args()

    def check_in(relay, driver_size, check, screenshot):
        driver = start_browser(*driver_size)
        try:
            check(driver, relay, screenshot)
        except Exception:
            scenario.keep_failure_picture(driver, "operator_page_chromium_failed.png")
            raise
        finally:
            driver.quit()

    def body():
        with scenario.TLiveRelay(args.vistreld, args.demo_client, args.delay) as relay:
            check_in(relay, (1280, 860), scenario.check_page, args.screenshot)
            check_in(relay, (390, 844, True), scenario.check_phone_width, args.phone_screenshot)

    return scenario.run("operator page in Chromium", body)


if __name__ == "__main__":
    sys.exit(main())
