#!/usr/bin/env python3
"""The live view in a real browser: headless Chromium, driven by Selenium,
opens the view of a program running on the simulated kit, clicks as a person
would, and checks what the page shows.

    browser_test.py <case> --bin <build>/bin --shots <dir>

Cases: keypad (a key clicked reaches the program and the drawn display),
chaser (the LED bar's pattern changes), screenshots (each program's view,
as pictures for people), measure (how fast a click shows at real time, and
what an open page costs a run at full speed: figures for the log, never
asserted). Exit status 77 when the browser or Selenium is missing (CTest
reports it as skipped), unless PIKIT_REQUIRE_BROWSER is set.

Nothing here depends on the host's speed: every wait is for a condition,
with a generous limit.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

SKIP = 77
PROGRAMS = [
    "cast-demo", "humidity-demo", "eeprom-search-demo", "eeprom-skip-demo", "eeprom-onefile-demo",
    "keypad-display-demo", "ir-nec-demo", "ir-board-demo", "shift-led-demo", "led-chaser-demo",
    "rgb-fade-demo", "fan-demo", "button-irq-demo", "melody-demo",
]
# What each program's page must show before its picture is taken: a CSS
# selector of its drawing, and how long (virtual seconds) to let it run first.
SHOW = {
    "cast-demo": ("#console", 0.5),
    "humidity-demo": ("[data-type=aht20]", 2.5),
    "eeprom-search-demo": ("[data-type=gx2431]", 1.5),
    "eeprom-skip-demo": ("[data-type=gx2431]", 1.5),
    "eeprom-onefile-demo": ("[data-type=gx2431]", 1.5),
    "keypad-display-demo": ("[data-type=bc7278]", 2.6),
    "ir-nec-demo": ("[data-type=nec-remote]", 3.7),
    "ir-board-demo": ("[data-type=ir-board]", 2.3),
    "shift-led-demo": ("[data-type=led-row]", 2.0),
    "led-chaser-demo": ("[data-type=led-row]", 2.0),
    "rgb-fade-demo": ("[data-type=rgb-led]", 2.0),
    "fan-demo": ("[data-type=fan]", 2.5),
    "button-irq-demo": ("[data-type=button]", 2.1),
    "melody-demo": ("[data-type=buzzer]", 1.5),
}


def skip_or_fail(why):
    if os.environ.get("PIKIT_REQUIRE_BROWSER"):
        print(f"FAILED: {why} (PIKIT_REQUIRE_BROWSER is set)")
        sys.exit(1)
    print(f"[  SKIPPED ] {why}")
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    skip_or_fail("python3-selenium is not installed")


def find(names):
    for n in names:
        p = shutil.which(n)
        if p:
            return p
    return None


class Program:
    """A program of the kit with its view on a free port of 127.0.0.1."""

    def __init__(self, bin_dir, name, env=None, scenario_text=None):
        self.dir = tempfile.mkdtemp(prefix="pikit-view-")
        e = {k: v for k, v in os.environ.items() if not k.startswith("PIKIT_SIM_")}
        e.update({"PIKIT_SIM_VIEW": "0", "PIKIT_SIM_SPEED": "realtime",
                  "PIKIT_SIM_STATE_DIR": os.path.join(self.dir, "state")})
        if scenario_text is not None:
            path = os.path.join(self.dir, "scenario.yaml")
            with open(path, "w") as f:
                f.write(scenario_text)
            e["PIKIT_SIM_SCENARIO"] = path
        e.update(env or {})
        self.proc = subprocess.Popen([os.path.join(bin_dir, name)], env=e, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out, self.err = [], []
        for stream, into in ((self.proc.stdout, self.out), (self.proc.stderr, self.err)):
            threading.Thread(target=self._pump, args=(stream, into), daemon=True).start()
        self.url = None
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and self.url is None:
            m = re.search(r"pikit-sim: view at (http://\S+/)", "".join(self.err))
            if m:
                self.url = m.group(1)
            elif self.proc.poll() is not None:
                break
            time.sleep(0.01)
        if self.url is None:
            raise AssertionError(f"{name}: no view line on standard error: {''.join(self.err)!r}")

    @staticmethod
    def _pump(stream, into):
        for chunk in iter(lambda: stream.read1(4096), b""):
            into.append(chunk.decode("utf-8", "replace"))

    def snapshot(self):
        with urllib.request.urlopen(self.url + "snapshot", timeout=10) as r:
            return json.loads(r.read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def browser():
    chromium = find(["chromium", "chromium-browser", "google-chrome"])
    driver = find(["chromedriver"]) or ("/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
    if not chromium or not driver:
        skip_or_fail("headless Chromium and its driver are not installed (chromium, chromium-driver)")
    profile = tempfile.mkdtemp(prefix="pikit-chromium-")
    o = webdriver.ChromeOptions()
    o.binary_location = chromium
    for a in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--disable-dev-shm-usage", "--window-size=1440,1000", "--hide-scrollbars",
              f"--user-data-dir={profile}"]:
        o.add_argument(a)
    d = webdriver.Chrome(service=Service(executable_path=driver), options=o)
    d.set_page_load_timeout(60)
    d._pikit_profile = profile
    return d


def close(d):
    try:
        d.quit()
    finally:
        shutil.rmtree(d._pikit_profile, ignore_errors=True)


def wait(what, cond, limit=30.0):
    deadline = time.monotonic() + limit
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


def lit_segments(d):
    """The seven-segment display as drawn: the lit segments of each digit."""
    return d.execute_script("""
        return [...document.querySelectorAll('.sevenseg g.digit')].map(g =>
            [...g.querySelectorAll('.seg')].map((s, i) => s.classList.contains('on') ? 'abcdefgP'[i] : '').join(''));""")


def open_view(d, prog):
    d.get(prog.url)
    wait("the page to draw the board", lambda: d.execute_script(
        "return window.pikit && window.pikit.state.start !== null && document.querySelector('#modules').childElementCount > 0"))


KEYS_ONLY = "devices:\n  - {type: bc7278, name: keypad, clock: 14, data_in: 12, data_out: 13, interrupt: 21}\n"


def case_keypad(args):
    prog = Program(args.bin, "keypad-display-demo", scenario_text=KEYS_ONLY)
    d = browser()
    try:
        open_view(d, prog)
        d.find_element(By.CSS_SELECTOR, "button.key[data-key='7']").click()
        wait("'Key value: 7 ' in the console pane",
             lambda: "Key value: 7 \n" in d.find_element(By.ID, "console").text + "\n")
        # "  7.0": blank, blank, 7 with its point, 0.
        wait("7.0 on the drawn display", lambda: lit_segments(d) == ["", "", "abcP", "abcdef"])
        assert "Key value: 7 " in "".join(prog.out), "the program itself printed it"
        lat = d.execute_script("return window.pikit.record.latency")
        for l in lat:
            print(f"click to {l['device']}.{l['key']}: {l['wall_ms']:.1f} ms on the wall clock, of which the program's "
                  f"own {l['program_ms']:.1f} ms of virtual time: the view's lag {l['lag_ms']:.1f} ms")
        if args.shots:
            d.save_screenshot(os.path.join(args.shots, "keypad-display-demo-key-7.png"))
        # The saved scenario holds the click: the key down, and up again.
        with urllib.request.urlopen(prog.url + "scenario", timeout=10) as r:
            saved = r.read().decode()
        assert re.search(r"- \{at: \d+ns, device: keypad, action: down, key: 7}", saved), saved
        assert re.search(r"- \{at: \d+ns, device: keypad, action: up, key: 7}", saved), saved
    finally:
        close(d)
        prog.stop()


def case_chaser(args):
    prog = Program(args.bin, "led-chaser-demo")
    d = browser()
    try:
        open_view(d, prog)
        seen = set()

        def patterns():
            p = d.execute_script(
                "return [...document.querySelectorAll('.ledbar .seg-led')].map(l => l.style.background ? '#' : '.').join('')")
            seen.add(p)
            return len([x for x in seen if "#" in x]) >= 3
        wait("the LED bar to show three different patterns", patterns)
        print("bar patterns seen:", sorted(seen))
    finally:
        close(d)
        prog.stop()


def case_screenshots(args):
    os.makedirs(args.shots, exist_ok=True)
    d = browser()
    try:
        for name in PROGRAMS:
            # Slowed down until the page is open (the EEPROM demos end in a
            # moment at real time), then at real time.
            prog = Program(args.bin, name, env={"PIKIT_SIM_SPEED": "0.01"})
            try:
                open_view(d, prog)
                req = urllib.request.Request(prog.url + "pace", data=b'{"speed": "realtime"}', method="POST",
                                             headers={"Content-Type": "application/json"})
                urllib.request.urlopen(req, timeout=10).read()
                sel, virtual = SHOW[name]
                d.find_element(By.CSS_SELECTOR, sel)
                wait(f"{name} to run {virtual} s", lambda: d.execute_script("return window.pikit.state.t") >= virtual * 1e9
                     or d.execute_script("return window.pikit.state.end !== null"))
                time.sleep(0.3)
                path = os.path.join(args.shots, f"{name}.png")
                d.save_screenshot(path)
                print(f"{name}: {path}")
            finally:
                prog.stop()
    finally:
        close(d)


def rate(prog, seconds):
    """Virtual seconds per wall second over `seconds` of wall time."""
    t0, w0 = prog.snapshot()["t_ns"], time.monotonic()
    time.sleep(seconds)
    t1, w1 = prog.snapshot()["t_ns"], time.monotonic()
    return (t1 - t0) / 1e9 / (w1 - w0)


def case_measure(args):
    # Click to display at real time: ten clicks, each timed by the page.
    prog = Program(args.bin, "keypad-display-demo", scenario_text=KEYS_ONLY)
    d = browser()
    try:
        open_view(d, prog)
        for i in range(10):
            key = 1 + i % 9
            n = d.execute_script("return window.pikit.record.latency.length")
            d.find_element(By.CSS_SELECTOR, f"button.key[data-key='{key}']").click()
            wait("the display to change", lambda: d.execute_script("return window.pikit.record.latency.length") > n)
            time.sleep(0.4)
        lags = sorted(l["lag_ms"] for l in d.execute_script("return window.pikit.record.latency"))
        print(f"click-to-display lag at real time over {len(lags)} clicks: median {lags[len(lags) // 2]:.1f} ms, "
              f"worst {lags[-1]:.1f} ms (wall time from the click to the digits changing, less the program's own delays)")
    finally:
        close(d)
        prog.stop()
    # A run at full speed with and without a page open: virtual seconds per
    # wall second of a program that polls a pin without pausing (its speed
    # is the kit's), in alternating rounds so that the machine's load weighs
    # on both alike.
    prog = Program(args.bin, "ir-nec-demo", env={"PIKIT_SIM_SPEED": "max"})
    d = browser()
    try:
        without, with_page = [], []
        for _ in range(4):
            d.get("about:blank")
            time.sleep(0.3)
            without.append(rate(prog, 2.0))
            open_view(d, prog)
            time.sleep(0.3)
            with_page.append(rate(prog, 2.0))
        w, p = sorted(without)[len(without) // 2], sorted(with_page)[len(with_page) // 2]
        print(f"ir-nec-demo at max: {w:.3f} virtual s per wall s without a page, {p:.3f} with one open: "
              f"{100 * (w - p) / w:.1f} % slower (medians of four 2 s samples each, alternating; "
              f"the machine's load shows in them)")
    finally:
        close(d)
        prog.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("case", choices=["keypad", "chaser", "screenshots", "measure"])
    ap.add_argument("--bin", required=True)
    ap.add_argument("--shots", default="")
    args = ap.parse_args()
    if args.shots:
        os.makedirs(args.shots, exist_ok=True)
    globals()["case_" + args.case](args)
    print(f"{args.case}: passed")


if __name__ == "__main__":
    main()
