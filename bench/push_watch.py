# When orvessa serve's pushed state shows, for bench/serve (run with the
# system's python3, which has python3-selenium):
#
#   push_watch.py page URL OUTLET COUNT
#       headless Chromium (chromedriver) on the page at URL; a MutationObserver
#       in the page notes each change of the outlet's lamp class with
#       performance.timeOrigin + performance.now()
#   push_watch.py panel URL OUTLET COUNT -- WATCH_COMMAND...
#       WATCH_COMMAND prints "<µs since the epoch> RRGGBB" for each colour of
#       the panel's lamp (bench/lamp_watch.cpp); red is on, green off
#   push_watch.py streams URL CLIENTS SECONDS
#       CLIENTS connections reading GET /api/events as the page does, for
#       SECONDS; prints what they read
#
# page and panel switch the outlet over COUNT times with PUT /outlet/OUTLET
# (from this script, as another client), 300 ms apart, and print one line a
# change: "sent_us answered_us shown_us" on the wall clock (µs since the
# epoch): the PUT written, its answer read, the change shown. Every process of
# the machine reads the same clock, so bench/serve sets these beside the
# moment the relay handed the read-back's reply to the server.
import http.client
import json
import os
import queue
import subprocess
import sys
import threading
import time
import urllib.parse

Bound = 5.0  # seconds a change may take to show before the run fails


def now_us():
    return time.time_ns() // 1000


def connection(url):
    parts = urllib.parse.urlsplit(url)
    return http.client.HTTPConnection(parts.hostname, parts.port, timeout=Bound)


def put(conn, outlet, on):
    conn.request("PUT", f"/outlet/{outlet}", body=b"1" if on else b"0", headers={"Content-Type": "text/plain"})
    answer = conn.getresponse()
    body = answer.read()
    if answer.status != 200:
        sys.exit(f"push_watch: PUT /outlet/{outlet} answered {answer.status}: {body!r}")


def state_of(conn, outlet):
    conn.request("GET", f"/outlet/{outlet}")
    answer = conn.getresponse()
    body = answer.read()
    if answer.status != 200:
        sys.exit(f"push_watch: GET /outlet/{outlet} answered {answer.status}: {body!r}")
    return body.strip() == b"1"  # the outlet's state as text/plain "1" or "0"


def switch_over(url, outlet, count, shown_since):
    """Switches the outlet over count times; shown_since(on, t_us) waits for
    the change to show and gives its time."""
    conn = connection(url)
    on = state_of(conn, outlet)
    for _ in range(count):
        time.sleep(0.3)
        on = not on
        sent = now_us()
        put(conn, outlet, on)
        answered = now_us()
        shown = shown_since(on, sent)
        if shown is None:
            sys.exit(f"push_watch: outlet {outlet} switched {'on' if on else 'off'} did not show within {Bound} s")
        print(sent, answered, shown, flush=True)


def page(url, outlet, count):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    options.add_argument("--headless=new")
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")  # Chromium's sandbox refuses to run as root
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get(url)
        deadline = time.time() + 10
        # The stream answered 200: the page follows it and no longer polls.
        while not stream_up(driver):
            if time.time() > deadline:
                sys.exit("push_watch: the page's event stream did not come up within 10 s")
            time.sleep(0.05)
        while driver.execute_script(f"return document.querySelector('#state-{outlet}').textContent") not in ("on", "off"):
            if time.time() > deadline:
                sys.exit("push_watch: the page showed no state within 10 s")
            time.sleep(0.05)
        skew_before = clock_skew(driver)
        driver.execute_script(
            """
            window.benchSeen = [];
            const lamp = document.querySelector(arguments[0]);
            new MutationObserver(() => {
              window.benchSeen.push([performance.timeOrigin + performance.now(), lamp.className]);
            }).observe(lamp, { attributes: true, attributeFilter: ["class"] });
            """,
            f"#outlet-{outlet} .lamp",
        )

        def shown_since(on, sent):
            want = "lamp " + ("on" if on else "off")
            deadline = time.time() + Bound
            while time.time() < deadline:
                for at_ms, name in driver.execute_script("return window.benchSeen.splice(0)"):
                    if name == want and at_ms * 1000 >= sent:
                        return round(at_ms * 1000)
                time.sleep(0.005)
            return None

        switch_over(url, outlet, count, shown_since)
        skew_after = clock_skew(driver)
        # The page's clock (the time origin plus the monotonic clock) beside
        # the wall clock, before and after: how far the two may differ.
        print(f"# clock_skew_ms {skew_before:.3f} {skew_after:.3f}", flush=True)
    finally:
        driver.quit()


def stream_up(driver):
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        params = message["params"]
        if message["method"] == "Network.responseReceived" and params["response"]["url"].endswith("/api/events"):
            if params["response"]["status"] == 200:
                return True
    return False


def clock_skew(driver):
    """performance.timeOrigin + performance.now() minus the wall clock, in ms,
    the wall clock read here around the page's reading."""
    before = time.time() * 1000
    page_ms = driver.execute_script("return performance.timeOrigin + performance.now()")
    after = time.time() * 1000
    return page_ms - (before + after) / 2


def panel(url, outlet, count, watch):
    seen = queue.Queue()
    watcher = subprocess.Popen(watch, stdout=subprocess.PIPE, text=True)

    def read_watch():
        for line in watcher.stdout:
            at, color = line.split()
            seen.put((int(at), color))

    threading.Thread(target=read_watch, daemon=True).start()
    try:
        # The lamp is painted from the server's first state; until then it
        # may show another colour.
        deadline = time.time() + 20
        color = None
        while color not in ("ff0000", "00ff00"):
            try:
                _, color = seen.get(timeout=max(0.01, deadline - time.time()))
            except queue.Empty:
                sys.exit(f"push_watch: the lamp shows {color}, neither red (on) nor green (off), after 20 s")

        def shown_since(on, sent):
            want = "ff0000" if on else "00ff00"
            deadline = time.time() + Bound
            while True:
                left = deadline - time.time()
                if left <= 0:
                    return None
                try:
                    at, color = seen.get(timeout=left)
                except queue.Empty:
                    return None
                if color == want and at >= sent:
                    return at

        switch_over(url, outlet, count, shown_since)
    finally:
        watcher.terminate()
        watcher.wait()


def streams(url, clients, seconds):
    """Reads the event stream on each connection as the page does; counts the
    state events and keep-alive comments."""
    parts = urllib.parse.urlsplit(url)
    deadline = time.time() + seconds
    counts = [[0, 0] for _ in range(clients)]

    def follow(k):
        conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=1)
        conn.request("GET", "/api/events", headers={"Accept": "text/event-stream", "Cache-Control": "no-store"})
        answer = conn.getresponse()
        if answer.status != 200:
            return
        while time.time() < deadline:
            try:
                line = answer.fp.readline()
            except TimeoutError:
                continue
            if not line:
                return
            if line.startswith(b"event: state"):
                counts[k][0] += 1
            elif line.startswith(b":"):
                counts[k][1] += 1
        conn.close()

    threads = [threading.Thread(target=follow, args=(k,)) for k in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    up = sum(1 for states, _ in counts if states > 0)
    print(f"streams={clients} with_state={up} states={sum(c[0] for c in counts)} keep_alives={sum(c[1] for c in counts)}")


def main():
    mode, url = sys.argv[1], sys.argv[2]
    if mode == "page":
        page(url, int(sys.argv[3]), int(sys.argv[4]))
    elif mode == "panel" and sys.argv[5] == "--":
        panel(url, int(sys.argv[3]), int(sys.argv[4]), sys.argv[6:])
    elif mode == "streams":
        streams(url, int(sys.argv[3]), int(sys.argv[4]))
    else:
        sys.exit("usage: push_watch.py page|panel|streams URL ...")


main()
