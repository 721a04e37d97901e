"""The locustfile of test_locust's distributed run: bots that walk, talk and
build often, so that a short run makes many requests of every kind.

With KIVSDK_LOCUST_REPORTS set to a directory, every process that runs bots
(not the master) watches its hub with gevent's monitor (50 ms) and writes
there: blocked-PID.txt, one report per time the hub was held, and at exit
summary-PID.json (the monitor's state and the shared loop's counters)."""
import json
import os
import random
import threading

import gevent
from locust import between, events, task
from locust.runners import MasterRunner

from kivsdk import locust as kivlocust

REPORTS = os.environ.get("KIVSDK_LOCUST_REPORTS")
_blocked = []
_lock = threading.Lock()   # reports come on the monitor's thread


def _record_blocking(event):
    text = "\n".join(str(line) for line in event.info)
    with _lock:
        _blocked.append(event.blocking_time)
        with open(os.path.join(REPORTS, f"blocked-{os.getpid()}.txt"), "a",
                  encoding="utf-8") as out:
            out.write(text + "\n")


@events.init.add_listener
def _watch(environment, **_):
    if REPORTS and not isinstance(environment.runner, MasterRunner):
        kivlocust.watch_blocking(_record_blocking, max_blocking_time=0.05)


@events.quitting.add_listener
def _summary(environment, **_):
    if not REPORTS or isinstance(environment.runner, MasterRunner):
        return
    hub = gevent.get_hub()
    served = kivlocust._drivers.get(kivlocust._thread_ident())
    summary = {
        "monitor": hub.periodic_monitoring_thread is not None,
        "max_blocking_time": gevent.config.max_blocking_time,
        "blocked": len(_blocked),
        "passes": served.passes if served else 0,
        "reader_wakes": served.reader_wakes if served else 0,
        "timer_wakes": served.timer_wakes if served else 0,
        "open_bots": len([bot for bot in served.loop._members if not bot.closed])
        if served else -1,
    }
    with open(os.path.join(REPORTS, f"summary-{os.getpid()}.json"), "w",
              encoding="utf-8") as out:
        json.dump(summary, out)


class Busy(kivlocust.KivUser):
    world = os.environ.get("KIVSDK_LOCUST_WORLD", "lobby")
    password = "secret"
    wait_time = between(0.2, 0.6)

    @task(3)
    def walk(self):
        self.bot.state_change(my_x=random.uniform(-20, 20), my_z=random.uniform(-20, 20))

    @task(2)
    def talk(self):
        self.say(f"busy line {random.randrange(1 << 30)}")

    @task(1)
    def build(self):
        self.object_add(object_string_1="box.rwx", object_x=random.uniform(-20, 20),
                        object_z=random.uniform(-20, 20))
