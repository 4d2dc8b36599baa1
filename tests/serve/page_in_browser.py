# orvessa serve's page in headless Chromium, driven by chromedriver: prints
# what the page shows and what the board says, one line per step, for
# tst_serve_page to compare.
#
#   page_in_browser.py URL SCREENSHOT TOKEN ORVESSA [TYPED]...
#
# TOKEN is what this script's own client sends ("" for none); ORVESSA is the
# orvessa command line, as a JSON list, that switches outlet 7 on as another
# client; each TYPED is given to the page's token form in turn.
import base64
import json
import os
import subprocess
import sys
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as shown
from selenium.webdriver.support.ui import WebDriverWait

url, screenshot, token, orvessa, typed = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4]), sys.argv[5:]
Bound = 10


def board(number):
    """The outlet through another client than the page: GET /outlet/n."""
    request = urllib.request.Request(f"{url.split('#')[0]}outlet/{number}")
    if token:
        request.add_header("Authorization", "Basic " + base64.b64encode(b":" + token.encode()).decode())
    with urllib.request.urlopen(request, timeout=Bound) as answer:
        return answer.read().decode()


def until(condition):
    deadline = time.monotonic() + Bound
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("not within %d s" % Bound)
        time.sleep(0.05)


options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
options.add_argument("--headless=new")
options.add_argument("--window-size=1100,1000")
if os.geteuid() == 0:
    options.add_argument("--no-sandbox")  # Chromium's sandbox refuses to run as root
options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
wait = WebDriverWait(driver, Bound)


def word(number):
    return driver.find_element(By.ID, f"state-{number}").text


# Chromium's network log, gathered as it is read (reading it empties it).
network = []


def network_log():
    for entry in driver.get_log("performance"):
        network.append(json.loads(entry["message"])["message"])
    return network


def stream_up_since():
    """When the page's event stream was answered 200 (Chromium's clock), or None."""
    for message in network_log():
        params = message["params"]
        if message["method"] == "Network.responseReceived" and params["response"]["url"].endswith("/api/events"):
            if params["response"]["status"] == 200:
                return params["timestamp"]
    return None


try:
    driver.get(url)
    for given in typed:
        field = wait.until(shown.visibility_of_element_located((By.ID, "token")))
        print("asked for the token:", driver.find_element(By.ID, "token-why").text, flush=True)
        field.send_keys(given)
        driver.find_element(By.CSS_SELECTOR, "#token-form button").click()

    named = lambda d: [e.text for e in d.find_elements(By.CSS_SELECTOR, "#outlets .name") if e.text]
    wait.until(lambda d: len(named(d)) == 12)
    print("outlets:", "; ".join(e.text for e in driver.find_elements(By.CSS_SELECTOR, "#outlets h2")), flush=True)

    on = driver.find_element(By.CSS_SELECTOR, '#outlet-5 button[data-action="on"]')
    described = driver.find_element(By.ID, on.get_attribute("aria-describedby")).text
    print(f"button: {on.accessible_name}, described as {described}", flush=True)
    wait.until(lambda d: word(5) in ("on", "off"))
    print("page: outlet 5", word(5), flush=True)
    on.click()
    wait.until(lambda d: word(5) == "on")
    print("page: outlet 5", word(5), flush=True)
    until(lambda: board(5) == "1")
    print("board: outlet 5", board(5), flush=True)

    until(lambda: stream_up_since() is not None)
    print("page: outlet 7", word(7), flush=True)
    print("orvessa:", subprocess.run(orvessa, capture_output=True, text=True, timeout=Bound).stdout.strip(), flush=True)
    wait.until(lambda d: word(7) == "on")
    print("page: outlet 7", word(7), flush=True)
    since = stream_up_since()
    polls = [m for m in network_log() if m["method"] == "Network.requestWillBeSent"
             and m["params"]["request"]["url"].endswith("/api/status") and m["params"]["timestamp"] > since]
    print("status polls while the stream was up:", len(polls), flush=True)
    driver.save_screenshot(screenshot)
finally:
    # A Basic challenge is what makes Chromium show its own login dialog
    # (and hold the request until it is answered).
    challenges = []
    for message in network_log():
        if message["method"] == "Network.responseReceived":
            headers = {k.lower(): v for k, v in message["params"]["response"]["headers"].items()}
            if headers.get("www-authenticate", "").lower().startswith("basic"):
                challenges.append(message["params"]["response"]["url"])
    print("Basic challenges:", challenges, flush=True)
    # Script errors and refused loads; a 401 the page handles is a network entry.
    errors = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE" and e["source"] != "network"]
    print("page errors:", errors, flush=True)
    driver.quit()
