#!/usr/bin/python3
"""Drives the askdb page in headless Chromium: asks a question with the keyboard, waits for the
answer, and checks what the page shows (answer, SQL, a result row, the chart, the progress, the
list of questions). Saves screenshots of the answered page.

Usage: serve_browser.py URL EXPECTATIONS_JSON SCREENSHOT_DIR
EXPECTATIONS_JSON: {"question", "answer", "sql", "row_cell", "row_count", "code_contains"}
Exit status 0 when every check holds; otherwise 1 with the failed check on standard error.
"""

import json
import os
import re
import shutil
import sys
import tempfile

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                 "--user-data-dir=" + profile, "--window-size=1100,1400"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)


def text_of(driver, element_id):
    return driver.find_element(By.ID, element_id).get_attribute("textContent")


def full_page_screenshot(driver, path, width, mobile):
    """The whole page at `width` CSS pixels, as tall as its content."""
    metrics = {"width": width, "height": 800, "deviceScaleFactor": 1, "mobile": mobile}
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", metrics)
    metrics["height"] = int(driver.execute_script("return document.documentElement.scrollHeight"))
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", metrics)
    driver.save_screenshot(path)


def run(driver, url, expect, screenshots):
    driver.get(url)
    WebDriverWait(driver, 30).until(
        lambda d: text_of(d, "server-state") != "", "the page never reached the server")
    box = driver.find_element(By.ID, "question")
    check(driver.switch_to.active_element == box, "the question box has the focus on load")

    # Shift+Enter is a new line, not a question.
    box.send_keys("first line")
    ActionChains(driver).key_down(Keys.SHIFT).send_keys(Keys.ENTER).key_up(Keys.SHIFT).perform()
    box.send_keys("second line")
    check(box.get_attribute("value") == "first line\nsecond line",
          "Shift+Enter puts a line break in the box, got %r" % box.get_attribute("value"))
    check(not driver.find_element(By.ID, "history-block").is_displayed(),
          "Shift+Enter asked nothing")

    # Enter asks.
    box.clear()
    box.send_keys(expect["question"])
    box.send_keys(Keys.ENTER)

    try:
        WebDriverWait(driver, 150).until(
            lambda d: d.find_element(By.ID, "answer-block").is_displayed()
            or d.find_element(By.ID, "error").is_displayed())
    except TimeoutException:
        raise CheckFailed("no answer within 150 s; state: " + text_of(driver, "current-state"))
    check(not driver.find_element(By.ID, "error").is_displayed(),
          "the question failed: " + text_of(driver, "error"))

    answer = text_of(driver, "answer")
    check(answer.startswith(expect["answer"]), "the answer is shown, got %r" % answer)
    check(text_of(driver, "current-question") == expect["question"], "the question is shown")
    check(box.get_attribute("value") == "", "the box is empty again after asking")

    sql = text_of(driver, "sql")
    check(sql == expect["sql"], "the SQL is shown, got %r" % sql)
    check(driver.find_element(By.ID, "copy-sql").is_displayed(), "the SQL has a copy button")

    cells = [td.get_attribute("textContent") for td in driver.find_elements(By.CSS_SELECTOR, "#rows td")]
    check(expect["row_cell"] in cells, "a result row holds %r; cells: %r" % (expect["row_cell"], cells))
    note = text_of(driver, "rows-note")
    check(re.match(r"^%d rows?$" % expect["row_count"], note), "the rows are counted, got %r" % note)

    code_block = driver.find_element(By.ID, "code-block")
    check(code_block.is_displayed(), "the analysis code is offered")
    check(code_block.get_attribute("open") is None, "the analysis code starts folded")
    check(expect["code_contains"] in text_of(driver, "code"), "the analysis code is the run's")

    WebDriverWait(driver, 30).until(
        lambda d: d.execute_script(
            "const i = document.getElementById('chart'); return i.complete && i.naturalWidth > 0"),
        "the chart image never loaded")
    width = driver.execute_script("return document.getElementById('chart').naturalWidth")
    check(width > 0, "the chart has a width")
    check(driver.find_element(By.ID, "chart").is_displayed(), "the chart is shown")

    steps = driver.find_elements(By.CSS_SELECTOR, "#progress li")
    names = [li.find_element(By.TAG_NAME, "span").get_attribute("textContent") for li in steps]
    check("sql_generation_node" in names and "final_response_generation_node" in names,
          "the progress shows the nodes, got %r" % names)
    check(all("ended" in li.get_attribute("class") for li in steps), "every node shows as ended")

    history = driver.find_elements(By.CSS_SELECTOR, "#history li .q")
    check([h.get_attribute("textContent") for h in history] == [expect["question"]],
          "the session list holds the question")

    full_page_screenshot(driver, os.path.join(screenshots, "serve-page.png"), 1100, False)

    # A phone-sized screen: nothing wider than it.
    full_page_screenshot(driver, os.path.join(screenshots, "serve-page-phone.png"), 390, True)
    overflow = driver.execute_script(
        "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
    check(overflow <= 1, "the page fits a phone-sized screen (%d px too wide)" % overflow)


def main():
    url, expectations, screenshots = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]
    os.makedirs(screenshots, exist_ok=True)
    profile = tempfile.mkdtemp(prefix="askdb-chromium-")
    driver = None
    try:
        driver = start_browser(profile)
        run(driver, url, expectations, screenshots)
        print("browser checks passed")
        return 0
    except CheckFailed as e:
        print("browser check failed: %s" % e, file=sys.stderr)
        if driver is not None:
            driver.save_screenshot(os.path.join(screenshots, "serve-page-failed.png"))
        return 1
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
