#!/usr/bin/python3
"""The dashboard in headless Chromium against real processes: the virtual Mac, the daemon, the
control service (`quorvanectl serve`) and quorvane-web in a private bootstrap directory. The plots
hold the points /api gives, the curve shows the operating point, editing a point of the tried
curve changes the simulated series, the page fits 360 px and 1920 px in light and dark, and the
console stays clean. Keeps a screenshot under the build directory. Exits 77 (CTest: skipped),
saying why, where Chromium or Selenium cannot start."""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77


def skip(why):
    print(f"SKIPPED: the browser test cannot run: {why}", flush=True)
    sys.exit(SKIP)


def wait_until(seconds, check, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


class Processes:
    def __init__(self, bin_dir, work):
        self.bin, self.work, self.children = bin_dir, work, []
        self.env = dict(os.environ, QUORVANE_BOOTSTRAP=os.path.join(work, "bootstrap"))
        os.makedirs(self.env["QUORVANE_BOOTSTRAP"])

    def start(self, name, *args):
        err = open(os.path.join(self.work, name + ".err"), "w")
        child = subprocess.Popen([os.path.join(self.bin, name), *args], env=self.env, stdout=subprocess.DEVNULL, stderr=err)
        self.children.append((name, child))
        return child

    def log(self, name):
        with open(os.path.join(self.work, name + ".err")) as f:
            return f.read()

    def socket(self, name):
        return os.path.join(self.env["QUORVANE_BOOTSTRAP"], name)

    def stop(self):
        for name, child in reversed(self.children):
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
                try:
                    child.wait(10)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--out", required=True)
    options = parser.parse_args()
    try:
        from selenium import webdriver
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        skip(f"no Selenium for {sys.executable} ({e}; Debian package python3-selenium)")
    chromedriver = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.path.exists(chromedriver):
        skip("no chromedriver (Debian package chromium-driver)")

    work = tempfile.mkdtemp(prefix="quorvane-browser-")
    p = Processes(options.bin, work)
    driver = None
    try:
        p.start("quorvane-virtual-mac", "--profile", "intel-desktop")
        wait_until(10, lambda: os.path.exists(p.socket("AppleSMC")), "the virtual Mac")
        p.start("com.quorvane.SMCService")
        wait_until(10, lambda: os.path.exists(p.socket("com.quorvane.SMCService.xpc")), "the daemon")
        config = os.path.join(work, "control.json")
        with open(config, "w") as f:
            f.write('{"profile": "Quorvane Standard", "alert": {"enabled": true, "thresholdCelsius": 80, "autoBoost": false}}')
        p.start("quorvanectl", "serve", "--config", config)
        web = p.start("quorvane-web", "--listen", "127.0.0.1:0")
        found = wait_until(10, lambda: re.search(r"http://127\.0\.0\.1:(\d+)/", p.log("quorvane-web")) or web.poll() is not None,
                           "quorvane-web's address")
        assert web.poll() is None, p.log("quorvane-web")
        base = f"http://127.0.0.1:{found.group(1)}"

        def api(path):
            with urllib.request.urlopen(base + "/api" + path, timeout=5) as r:
                return json.load(r)

        def ticks():
            try:
                return api("/v1/state").get("ticks", 0)
            except OSError:
                return 0
        wait_until(20, lambda: ticks() >= 4, "four ticks of the control service\n" + p.log("quorvanectl"))

        chrome = webdriver.ChromeOptions()
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1920,1200",
                    "--no-first-run", "--disable-extensions", "--disable-background-networking"):
            chrome.add_argument(arg)
        chrome.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        try:
            driver = webdriver.Chrome(service=Service(executable_path=chromedriver), options=chrome)
        except Exception as e:  # whatever the driver says: no display, no sandbox, a broken install
            skip(f"Chromium does not start ({str(e).splitlines()[0] if str(e) else type(e).__name__})")
        driver.set_script_timeout(20)
        driver.get(base + "/")
        wait_until(20, lambda: driver.execute_script("const q = window.quorvane; return q && q.history && q.simulation && q.charts.curve.data.datasets[3].data.length"),
                   "the dashboard's first data")

        # The temperature and fan plots: every point is one /api gives for that time.
        history = api("/v1/history?window=10m")
        by_time = {t: i for i, t in enumerate(history["t"])}
        temperature = driver.execute_script("return window.quorvane.charts.temperature.data.datasets[0].data")
        assert len(temperature) >= 3, temperature
        for point in temperature:
            assert point["x"] in by_time, (point, history["t"])
            assert point["y"] == history["temperatureCelsius"][by_time[point["x"]]], (point, history)
        fans = driver.execute_script("return window.quorvane.charts.fans.data.datasets.map(d => [d.label, d.data])")
        assert len(fans) == 2 * len(history["fans"]), fans
        for (label, data), (fan, key) in zip(fans, [(f, k) for f in history["fans"] for k in ("actualRPM", "targetRPM")]):
            for point in data:
                assert point["y"] == fan[key][by_time[point["x"]]], (label, point)

        # The operating point now is the state's temperature and the first fan's duty.
        now = driver.execute_script("return window.quorvane.charts.curve.data.datasets[3].data")
        trail = driver.execute_script("return window.quorvane.charts.curve.data.datasets[2].data.length")
        assert len(now) == 1 and 0 <= now[0]["y"] <= 1 and trail >= 3, (now, trail)
        hour = api("/v1/history?window=1h")
        assert any(abs(now[0]["x"] - t) < 1e-9 for t in hour["temperatureCelsius"] if t is not None), now

        # The sensors by class, those behind the control temperature marked.
        classes = driver.execute_script("return [...document.querySelectorAll('#sensors caption')].map(c => c.textContent)")
        driving = driver.find_elements(By.CSS_SELECTOR, "#sensors tr[title='drives the fans']")
        assert any(c.startswith("Temperature") for c in classes) and driving, (classes, len(driving))

        # Typing the tried curve's points (the keyboard's way) flat out changes the simulated series.
        before = driver.execute_script("return window.quorvane.simulation")
        for field in driver.find_elements(By.CSS_SELECTOR, "input[aria-label$='duty, percent']"):
            field.send_keys(Keys.CONTROL, "a")
            field.send_keys("100", Keys.TAB)
        wait_until(10, lambda: all(p["rpmPercentage"] == 1 for p in
                                   driver.execute_script("return window.quorvane.simulation.profile.curvePoints")),
                   "a simulation of the edited curve")
        after = driver.execute_script("return window.quorvane.simulation")
        simulated = lambda s: [v for f in s["fans"] for v in f["simulatedTargetRPM"] if v is not None]
        assert simulated(after) != simulated(before)[:len(simulated(after))] and max(simulated(after)) > max(simulated(before)), (before, after)
        shown = driver.execute_script("return window.quorvane.charts.whatif.data.datasets[1].data.map(p => p.y)")
        assert shown == after["fans"][0]["simulatedTargetRPM"], shown
        driver.find_element(By.ID, "show-config").click()
        config_text = json.loads(driver.find_element(By.ID, "config-text").text)
        assert config_text["profile"]["mode"] == 2 and config_text["profile"]["curvePoints"][0]["rpmPercentage"] == 1, config_text

        # Fits 360 px and 1920 px without sideways scrolling, light and dark.
        os.makedirs(options.out, exist_ok=True)
        shots = []
        for width, scheme in ((1920, "light"), (360, "dark")):
            driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
            driver.set_window_size(width, 1400)
            time.sleep(0.3)
            overflow = driver.execute_script("return document.documentElement.scrollWidth - document.documentElement.clientWidth")
            assert overflow <= 0, f"{overflow} px too wide at {width} px"
            background = driver.execute_script("return getComputedStyle(document.body).backgroundColor")
            dark = sum(int(c) for c in re.findall(r"\d+", background)[:3]) < 3 * 128
            assert dark == (scheme == "dark"), (scheme, background)
            shot = os.path.join(options.out, f"dashboard-{width}-{scheme}.png")
            driver.save_screenshot(shot)
            shots.append(shot)

        errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        assert not errors, errors
        for shot in shots:
            print(f"screenshot: {shot}")
        print("PASSED: the dashboard's plots, operating point, what-if simulation, layouts and console")
    except AssertionError:
        for name, _ in p.children:
            print(f"--- {name}\n{p.log(name)[-2000:]}", file=sys.stderr)
        raise
    finally:
        if driver is not None:
            driver.quit()
        p.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
