#!/usr/bin/python3
"""Times the console in headless Chromium: from asking for the page until the
device list shows its first page of rows.

    console_render.py URL [RUNS=5]

Prints one line: "median X ms, slowest Y ms (rows shown: R)".
"""
import statistics
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

ROWS = "return document.querySelectorAll('#device-table tbody tr').length"


def main():
    url = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1400,900"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    times, rows = [], 0
    try:
        for _ in range(runs):
            driver.get("about:blank")
            start = time.monotonic()
            driver.get(url)
            WebDriverWait(driver, 30, poll_frequency=0.01).until(lambda d: d.execute_script(ROWS) >= 100)
            times.append((time.monotonic() - start) * 1000)
            rows = driver.execute_script(ROWS)
    finally:
        driver.quit()
    print("median %.0f ms, slowest %.0f ms (rows shown: %d)" % (statistics.median(times), max(times), rows))


if __name__ == "__main__":
    main()
