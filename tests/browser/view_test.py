#!/usr/bin/python3
"""kivsandbox's live view in a real browser (headless Chromium via Selenium).

Starts the sandbox with --http on free ports, lets the example bots meet in
the lobby (the greeter stays, the builder builds and leaves) while a walking
bot (kivswarm) goes round its circle, opens the page and reads back what it
drew from its markers (one element per avatar and object, with the world
position in data-x and data-z):

  - every avatar within one cell of where the sandbox has it, and no marker
    for one it does not have,
  - the builder's objects where the world has them,
  - a chat line shown,
  - the walking bot moving on the map within a second,
  - no API requests by the page beyond the world list once and one event
    stream per world opened (counted by the sandbox, /api/stats).

Saves a screenshot. With --measure N it instead runs N walking bots at 1 Hz
and prints the page's draw time and the sandbox's CPU with one viewer.

Usage: view_test.py --bin BUILD_DIR --out DIR [--measure N [--seconds S]]
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

CELL = 10.0  # the sandbox's cell side in world units


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(what, predicate, seconds=20.0, step=0.05):
    """Polls predicate() until it returns something true; bounded."""
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    raise Failure("timed out waiting for " + what)


class Run:
    def __init__(self, build, out):
        self.build = build
        self.out = out
        self.processes = []
        os.makedirs(out, exist_ok=True)

    def start(self, name, arguments, **kwargs):
        log = open(os.path.join(self.out, name + ".log"), "w")
        process = subprocess.Popen(arguments, stdout=kwargs.pop("stdout", log), stderr=log,
                                   **kwargs)
        self.processes.append(process)
        return process

    def stop_all(self):
        # Only the processes this run started, by their ids; the sandbox last.
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGINT)
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()

    def sandbox(self):
        port_file = os.path.join(self.out, "ports")
        if os.path.exists(port_file):
            os.remove(port_file)
        self.sandbox_process = self.start(
            "sandbox", [os.path.join(self.build, "sandbox/kivsandbox"), "--http", "0",
                        "--port-file", port_file])
        wait_until("the sandbox's ready line", lambda: os.path.exists(port_file), 10)
        ready = open(port_file).read()
        self.universe = int(re.search(r"universe=(\d+)", ready).group(1))
        self.http = int(re.search(r"http=(\d+)", ready).group(1))
        self.base = "http://127.0.0.1:%d" % self.http
        print(ready.strip())
        print("live view at %s/" % self.base)

    def api(self, path):
        with urllib.request.urlopen(self.base + path, timeout=5) as answer:
            return json.load(answer)

    def sandbox_log(self):
        return open(os.path.join(self.out, "sandbox.log")).read()

    def swarm(self, name, bots, hz, speed):
        return self.start(name, [
            os.path.join(self.build, "tools/kivswarm/kivswarm"), "--port", str(self.universe),
            "--world", "lobby", "--name", name, "--bots", str(bots), "--ramp", "500",
            "--walk-hz", str(hz), "--walk-speed", str(speed), "--chat-every", "0",
            "--build-every", "0", "--query-every", "0", "--duration", "600"])


def browser(width=1400, height=900):
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", "--window-size=%d,%d" % (width, height),
                     "--no-first-run", "--disable-extensions"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def markers(driver, kind):
    """What the page drew: one dict per marker of `kind` (avatar, object)."""
    return driver.execute_script(
        "return [...document.querySelectorAll('#markers .' + arguments[0] + '-marker')]"
        ".map(m => Object.assign({}, m.dataset));", kind)


def request_counts(run):
    return run.api("/api/stats")["requests"]


def compare_avatars(driver, run, world):
    """Every visible avatar of `world` drawn within a cell of its place."""
    state = run.api("/api/worlds/" + world)
    drawn = {int(m["session"]): m for m in markers(driver, "avatar")}
    visible = [a for a in state["avatars"] if a["visible"]]
    check(visible, "no avatars in " + world)
    for avatar in visible:
        marker = drawn.get(avatar["session"])
        check(marker is not None, "no marker for %r in %s" % (avatar["name"], world))
        check(marker["name"] == avatar["name"], "marker name %r for %r" %
              (marker["name"], avatar["name"]))
        dx = float(marker["x"]) - avatar["x"]
        dz = float(marker["z"]) - avatar["z"]
        check(abs(dx) <= CELL and abs(dz) <= CELL,
              "%s drawn at (%s, %s), the sandbox has (%g, %g)" %
              (avatar["name"], marker["x"], marker["z"], avatar["x"], avatar["z"]))
    # And no marker left for an avatar the world no longer has (the page
    # writes only what changed, so a departure must still remove one).
    sessions = {a["session"] for a in visible}
    wait_until("no marker for an avatar gone from " + world, lambda: all(
        int(m["session"]) in sessions for m in markers(driver, "avatar")), seconds=3)
    print("  %d avatar(s) of %s drawn where the sandbox has them: %s" %
          (len(visible), world, ", ".join(sorted(a["name"] for a in visible))))
    return state


def test(run):
    run.sandbox()
    greeter = run.start("greeter", [os.path.join(run.build, "examples/greeter"), "--port",
                                    str(run.universe), "--world", "lobby", "--seconds", "120"])
    wait_until("the greeter in the lobby", lambda: "entered as greeter" in run.sandbox_log())
    run.swarm("walker", 1, 10, 4)
    transcript = open(os.path.join(run.out, "builder.txt"), "w")
    builder = subprocess.run([os.path.join(run.build, "examples/builder"), "--port",
                              str(run.universe), "--world", "lobby", "--seconds", "20"],
                             stdout=transcript, stderr=subprocess.STDOUT, timeout=60)
    check(builder.returncode == 0, "the builder failed (see builder.txt)")
    check("the garden is done" in open(os.path.join(run.out, "builder.txt")).read(),
          "the builder did not finish its garden")
    check(greeter.poll() is None, "the greeter has gone")
    print("the bots met; opening the page")

    before = request_counts(run)
    ours = {"/api/worlds": 0, "/api/worlds/NAME": 0}
    driver = browser()
    try:
        driver.get(run.base + "/#lobby")
        wait_until("the page's first drawing",
                   lambda: driver.execute_script(
                       "return document.querySelectorAll('#markers .avatar-marker').length"))
        wait_until("the world's objects on the page", lambda: markers(driver, "object"))

        # Objects: every one of the world's drawn where it is, with its model.
        state = run.api("/api/worlds/lobby")
        ours["/api/worlds/NAME"] += 1
        drawn = {int(m["id"]): m for m in markers(driver, "object")}
        check(state["objects"], "the builder built nothing in the lobby")
        for thing in state["objects"]:
            marker = drawn.get(thing["id"])
            check(marker is not None, "object %d (%s) not drawn" % (thing["id"], thing["model"]))
            check(marker["model"] == thing["model"] and marker["owner"] == thing["owner_name"],
                  "object %d drawn as %r by %r" % (thing["id"], marker["model"], marker["owner"]))
            check(abs(float(marker["x"]) - thing["x"]) < 0.01 and
                  abs(float(marker["z"]) - thing["z"]) < 0.01,
                  "object %d drawn at (%s, %s), the world has (%g, %g)" %
                  (thing["id"], marker["x"], marker["z"], thing["x"], thing["z"]))
        print("  %d object(s) drawn where the world has them: %s" %
              (len(state["objects"]), ", ".join(sorted({o["model"] for o in state["objects"]}))))

        # Avatars, a moment apart from the sandbox's own answer.
        compare_avatars(driver, run, "lobby")
        ours["/api/worlds/NAME"] += 1

        # The chat: the greeter's greeting, said before the page opened.
        lines = wait_until("a chat line", lambda: [
            e.text for e in driver.find_elements(By.CSS_SELECTOR, "#chat li")
            if "Hello, builder" in e.text])
        print("  chat shows: %r" % lines[0])

        # The walker moves on the map within a second.
        def walker_at():
            for marker in markers(driver, "avatar"):
                if marker["name"] == "walker0":
                    return (marker["x"], marker["z"])
            return None
        first = wait_until("the walker on the map", walker_at)
        started = time.monotonic()
        moved = wait_until("the walker moving", lambda: walker_at() != first and walker_at(),
                           seconds=3, step=0.02)
        took = time.monotonic() - started
        check(took <= 1.0, "the walker took %.2f s to move on the map" % took)
        print("  the walker moved on the map from %s to %s in %.2f s" % (first, moved, took))

        # The greeter, wherever the builder's invitation took it.
        worlds = run.api("/api/worlds")["worlds"]
        ours["/api/worlds"] += 1
        where = [w["name"] for w in worlds if "greeter" in w["users"]]
        check(where, "the greeter is in no world")
        opened = 1
        if where[0] != "lobby":
            driver.find_element(
                By.CSS_SELECTOR, '#worlds li[data-world="%s"] .world' % where[0]).click()
            opened += 1
            wait_until("the greeter on the page", lambda: any(
                m["name"] == "greeter" for m in markers(driver, "avatar")))
            compare_avatars(driver, run, where[0])
            ours["/api/worlds/NAME"] += 1
            driver.find_element(By.CSS_SELECTOR, '#worlds li[data-world="lobby"] .world').click()
            opened += 1
            wait_until("the lobby again", lambda: markers(driver, "object"))

        # Draw time (the page measures itself) and a screenshot.
        time.sleep(1.5)
        draw_ms = driver.execute_script("return document.body.dataset.drawMs")
        print("  the page draws a frame in %s ms (mean of its last frames)" % draw_ms)
        shot = os.path.join(run.out, "sandbox-view.png")
        driver.save_screenshot(shot)
        print("  screenshot: " + shot)

        # The page's own requests: the world list once, one stream per world
        # opened, and never a world snapshot.
        after = request_counts(run)
        delta = {k: after.get(k, 0) - before.get(k, 0) for k in after}
        page_list = delta.get("GET /api/worlds", 0) - ours["/api/worlds"]
        page_worlds = delta.get("GET /api/worlds/NAME", 0) - ours["/api/worlds/NAME"]
        page_streams = delta.get("GET /api/worlds/NAME/events", 0)
        print("  requests while the page was open: %s" % json.dumps(delta, sort_keys=True))
        check(page_list == 1, "the page asked for the world list %d times" % page_list)
        check(page_worlds == 0, "the page polled a world %d times" % page_worlds)
        check(page_streams == opened, "the page opened %d streams for %d worlds" %
              (page_streams, opened))
    finally:
        driver.quit()
    print("browser test: passed")


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


REDRAW_60_FRAMES = """
const done = arguments[arguments.length - 1];
let left = 60;
const next = () => {
  if (left-- === 0) return done(document.body.dataset.drawMs + ' ' + document.body.dataset.drawMsMax);
  window.dispatchEvent(new Event('resize'));
  requestAnimationFrame(() => setTimeout(next, 0));
};
next();
"""


def measure(run, bots, seconds):
    run.sandbox()
    swarm = run.swarm("swarm", bots, 1, 2)
    wait_until("%d avatars" % bots, lambda: sum(
        a["visible"] for a in run.api("/api/worlds/lobby")["avatars"]) >= bots, 120, 0.5)
    pid = run.sandbox_process.pid
    start, cpu = time.monotonic(), cpu_seconds(pid)
    time.sleep(seconds)
    idle = (cpu_seconds(pid) - cpu) / (time.monotonic() - start)
    driver = browser()
    try:
        driver.get(run.base + "/#lobby")
        wait_until("%d avatars on the page" % bots, lambda: driver.execute_script(
            "return document.querySelectorAll('#markers .avatar-marker').length") >= bots, 60)
        time.sleep(2)
        start, cpu = time.monotonic(), cpu_seconds(pid)
        frames = int(driver.execute_script("return document.body.dataset.frames"))
        time.sleep(seconds)
        viewed = (cpu_seconds(pid) - cpu) / (time.monotonic() - start)
        frames = int(driver.execute_script("return document.body.dataset.frames")) - frames
        mean = driver.execute_script("return document.body.dataset.drawMs")
        worst = driver.execute_script("return document.body.dataset.drawMsMax")
        update = driver.execute_script("return document.body.dataset.updateMs")
        update_worst = driver.execute_script("return document.body.dataset.updateMsMax")
        driver.save_screenshot(os.path.join(run.out, "sandbox-view-%d.png" % bots))
        # The same drawing with the bots paused (they stay in the world):
        # the page's own cost, without the swarm and the sandbox taking the
        # processors it shares with them.
        swarm.send_signal(signal.SIGSTOP)
        time.sleep(1)
        driver.set_script_timeout(60)
        alone = driver.execute_async_script(REDRAW_60_FRAMES).split()
        swarm.send_signal(signal.SIGCONT)
    finally:
        driver.quit()
    print("%d avatars walking at 1 Hz, %g s each:" % (bots, seconds))
    print("  page draw time while they walk: mean %s ms, worst %s ms over its last 60 frames;"
          " %.1f frames/s" % (mean, worst, frames / seconds))
    print("  page update time (an event parsed, markers and lists brought up to date):"
          " mean %s ms, worst %s ms over its last 60 events" % (update, update_worst))
    print("  page draw time, 60 frames with the bots paused: mean %s ms, worst %s ms" %
          (alone[0], alone[1]))
    print("  sandbox CPU: %.1f %% without a viewer, %.1f %% with one" %
          (idle * 100, viewed * 100))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="the build folder")
    parser.add_argument("--out", required=True, help="where logs and screenshots go")
    parser.add_argument("--measure", type=int, default=0, metavar="N")
    parser.add_argument("--seconds", type=float, default=10)
    arguments = parser.parse_args()
    run = Run(os.path.abspath(arguments.bin), os.path.abspath(arguments.out))
    try:
        if arguments.measure:
            measure(run, arguments.measure, arguments.seconds)
        else:
            test(run)
    except Failure as failure:
        print("browser test FAILED: %s" % failure, file=sys.stderr)
        print("(logs in %s)" % run.out, file=sys.stderr)
        return 1
    finally:
        run.stop_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
