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
#   push_watch.py windows URL COUNT SECONDS
#       one headless Chromium with the page open in COUNT windows (not tabs:
#       headless Chromium shows only the active tab of a window, and the page
#       closes its stream while hidden); prints "ready" once every window
#       shows the state, then keeps them open SECONDS and prints what they
#       showed and how many requests they completed meanwhile
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
import select
import signal
import socket
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


def chromium():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    options.add_argument("--headless=new")
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")  # Chromium's sandbox refuses to run as root
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def page(url, outlet, count):
    driver = chromium()
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
        # the wall clock, before and after: how far the page's times may be off.
        print(f"# clock_skew_ms {skew_before:.3f} {skew_after:.3f}", flush=True)
    finally:
        driver.quit()


def streams_answered(driver):
    """How many event streams Chromium's network log shows answered 200 since
    it was last read."""
    answered = 0
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        params = message["params"]
        if message["method"] == "Network.responseReceived" and params["response"]["url"].endswith("/api/events"):
            answered += params["response"]["status"] == 200
    return answered


def stream_up(driver):
    return streams_answered(driver) > 0


def windows(url, count, seconds):
    driver = chromium()
    try:
        driver.get(url)
        for _ in range(count - 1):
            driver.switch_to.new_window("window")
            driver.get(url)
        deadline = time.time() + 20
        for handle in driver.window_handles:
            driver.switch_to.window(handle)
            while driver.execute_script("return document.querySelector('#state-1').textContent") not in ("on", "off"):
                if time.time() > deadline:
                    sys.exit(f"push_watch: not every one of the {count} windows showed the state within 20 s")
                time.sleep(0.05)
        time.sleep(1)  # the first poll's answer and the streams' first state
        before = requests_done(driver)
        print("ready", flush=True)
        time.sleep(seconds)
        visible = showing = 0
        for handle in driver.window_handles:
            driver.switch_to.window(handle)
            visible += driver.execute_script("return document.visibilityState") == "visible"
            showing += driver.execute_script("return document.querySelector('#state-1').textContent") in ("on", "off")
        # A stream that ended, or a poll, while the windows were open:
        # requests of the page completed since "ready". None while every
        # stream stays up.
        print(f"windows={len(driver.window_handles)} visible={visible} showing={showing} "
              f"requests_since={requests_done(driver) - before}", flush=True)
    finally:
        driver.quit()


def requests_done(driver):
    """The page's requests to /api/ that have completed, in every window (the
    resource timing entries: an event stream has one only once it ends)."""
    done = 0
    for handle in driver.window_handles:
        driver.switch_to.window(handle)
        done += driver.execute_script(
            "return performance.getEntriesByType('resource').filter(e => e.name.includes('/api/')).length"
        )
    return done


def clock_skew(driver):
    """performance.timeOrigin + performance.now() minus the wall clock
    (Date.now(), the system's clock in whole ms), in ms: read in the page at
    the moment Date.now() turns to its next ms, five times, the median."""
    return driver.execute_script(
        """
        const skews = [];
        for (let k = 0; k < 5; ++k) {
          const from = Date.now();
          let page, wall;
          do {
            page = performance.timeOrigin + performance.now();
            wall = Date.now();
          } while (wall === from);
          skews.push(page - wall);
        }
        skews.sort((a, b) => a - b);
        return skews[2];
        """
    )


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
        with socket.create_connection((parts.hostname, parts.port), timeout=Bound) as conn:
            conn.sendall(f"GET /api/events HTTP/1.1\r\nHost: {parts.netloc}\r\nAccept: text/event-stream\r\n"
                         "Cache-Control: no-store\r\n\r\n".encode())
            received = b""
            while time.time() < deadline:
                ready, _, _ = select.select([conn], [], [], max(0.0, min(1.0, deadline - time.time())))
                if not ready:
                    continue
                chunk = conn.recv(65536)
                if not chunk:
                    return  # the server ended the stream
                received += chunk
                *lines, received = received.split(b"\n")
                for line in lines:
                    if line.startswith(b"HTTP/1.1 ") and not line.startswith(b"HTTP/1.1 200"):
                        return
                    if line.startswith(b"event: state"):
                        counts[k][0] += 1
                    elif line.startswith(b":"):
                        counts[k][1] += 1

    threads = [threading.Thread(target=follow, args=(k,)) for k in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    up = sum(1 for states, _ in counts if states > 0)
    print(f"streams={clients} with_state={up} states={sum(c[0] for c in counts)} keep_alives={sum(c[1] for c in counts)}")


def main():
    # Ended by bench/serve (its clean-up on a failure): leave through the
    # finally blocks, which quit the browser and end the lamp watch, so that
    # no Chromium outlives the run.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    mode, url = sys.argv[1], sys.argv[2]
    if mode == "page":
        page(url, int(sys.argv[3]), int(sys.argv[4]))
    elif mode == "panel" and sys.argv[5] == "--":
        panel(url, int(sys.argv[3]), int(sys.argv[4]), sys.argv[6:])
    elif mode == "streams":
        streams(url, int(sys.argv[3]), int(sys.argv[4]))
    elif mode == "windows":
        windows(url, int(sys.argv[3]), int(sys.argv[4]))
    else:
        sys.exit("usage: push_watch.py page|panel|streams|windows URL ...")


main()
