#!/usr/bin/python3
"""What the web face costs, measured on the real processes (the virtual Mac, the daemon, the control
service and quorvane-web in a private bootstrap directory): how often quorvane-web wakes in a
minute with no browser and no scraper (voluntary context switches, /proc/PID/status), and the CPU
one /metrics scrape costs quorvane-web and the control service (utime + stime, /proc/PID/stat,
over many scrapes). Prints the figures; asserts nothing.

    bench/web_face_costs.py [--bin build/bin] [--idle-seconds 60] [--scrapes 500]"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request

TICKS = os.sysconf("SC_CLK_TCK")


def switches(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", f.read(), re.M).group(1))


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(os.path.dirname(__file__), "..", "build", "bin"))
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--scrapes", type=int, default=500)
    o = parser.parse_args()
    work = tempfile.mkdtemp(prefix="quorvane-web-costs-")
    env = dict(os.environ, QUORVANE_BOOTSTRAP=os.path.join(work, "bootstrap"))
    os.makedirs(env["QUORVANE_BOOTSTRAP"])
    children = []

    def start(name, *args):
        child = subprocess.Popen([os.path.join(o.bin, name), *args], env=env, stdout=subprocess.DEVNULL,
                                 stderr=open(os.path.join(work, name + ".err"), "w"))
        children.append(child)
        return child

    def wait_for(check, seconds=20):
        deadline = time.monotonic() + seconds
        while not check():
            if time.monotonic() > deadline:
                raise SystemExit("timed out starting the processes; logs in " + work)
            time.sleep(0.1)

    try:
        start("quorvane-virtual-mac", "--profile", "intel-desktop")
        wait_for(lambda: os.path.exists(os.path.join(env["QUORVANE_BOOTSTRAP"], "AppleSMC")))
        start("com.quorvane.SMCService")
        wait_for(lambda: os.path.exists(os.path.join(env["QUORVANE_BOOTSTRAP"], "com.quorvane.SMCService.xpc")))
        config = os.path.join(work, "control.json")
        with open(config, "w") as f:
            f.write('{"profile": "Quorvane Standard"}')
        serve = start("quorvanectl", "serve", "--config", config)
        web = start("quorvane-web", "--listen", "127.0.0.1:0")
        log = os.path.join(work, "quorvane-web.err")
        wait_for(lambda: re.search(r"127\.0\.0\.1:(\d+)/", open(log).read()))
        url = "http://127.0.0.1:%s/metrics" % re.search(r"127\.0\.0\.1:(\d+)/", open(log).read()).group(1)
        wait_for(lambda: b"quorvane_up 1" in urllib.request.urlopen(url).read())

        time.sleep(1)
        before = switches(web.pid)
        time.sleep(o.idle_seconds)
        woke = switches(web.pid) - before
        print(f"idle quorvane-web: {woke} wake-ups in {o.idle_seconds:g} s "
              f"({woke * 60 / o.idle_seconds:.1f} a minute; voluntary context switches)")

        body = urllib.request.urlopen(url).read()
        web0, serve0 = cpu_seconds(web.pid), cpu_seconds(serve.pid)
        start_time = time.monotonic()
        for _ in range(o.scrapes):
            urllib.request.urlopen(url).read()
        wall = time.monotonic() - start_time
        web_ms = (cpu_seconds(web.pid) - web0) * 1000 / o.scrapes
        serve_ms = (cpu_seconds(serve.pid) - serve0) * 1000 / o.scrapes
        samples = body.count(b"\n") - body.count(b"# ")
        print(f"one scrape ({len(body)} bytes, {samples} samples): "
              f"quorvane-web {web_ms:.3f} ms CPU, control service {serve_ms:.3f} ms CPU "
              f"(its own ticks included), {wall * 1000 / o.scrapes:.2f} ms wall, over {o.scrapes} scrapes")
    finally:
        for child in reversed(children):
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
                child.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
