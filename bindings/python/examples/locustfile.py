"""Visitors of a world, as a Locust load test: every Locust user is a bot
that walks about, says a line every 10 seconds and builds an object once a
minute. Locust reports the logins, enters, lines (timed to when another bot
of the same Locust process hears them) and objects (timed to the server's
answer).

    # one machine: the web UI on http://localhost:8089, or headless
    locust -f bindings/python/examples/locustfile.py --host 127.0.0.1:6670
    locust -f bindings/python/examples/locustfile.py --host 127.0.0.1:6670 \\
        --headless -u 100 -r 10 -t 5m --csv visitors

    # several machines: one master, any number of workers
    locust -f locustfile.py --master --host 10.0.0.5:6670
    locust -f locustfile.py --worker --master-host 10.0.0.4

Environment: KIVSDK_WORLD (default lobby), or KIVSDK_WORLDS, worlds separated
by commas that the users of each process take in turn; KIVSDK_PASSWORD
(default empty).
Needs kivsdk on PYTHONPATH and KIVSDK_LIBRARY (or the library installed).
"""
import itertools
import math
import os
import random
import time

from locust import constant, task

from kivsdk.locust import KivUser

LINES = ("Hello, everyone.", "Nice place.", "Anyone building today?", "Back in a minute.",
         "Look at that tree.", "Which way to the plaza?")
MODELS = ("box.rwx", "tree.rwx", "bench.rwx", "lamp.rwx")
WORLDS = [name for name in os.environ.get(
    "KIVSDK_WORLDS", os.environ.get("KIVSDK_WORLD", "lobby")).split(",") if name]
_next_world = itertools.count()


class Visitor(KivUser):
    world = os.environ.get("KIVSDK_WORLD", "lobby")
    password = os.environ.get("KIVSDK_PASSWORD", "")
    name_prefix = "visitor"
    wait_time = constant(1)      # one step a second

    def on_start(self):
        # Users of this process share the worlds out, so each world has
        # listeners to hear its lines.
        self.world = WORLDS[next(_next_world) % len(WORLDS)]
        super().on_start()       # connect, log in, enter (reported)
        now = time.monotonic()
        # Spread the lines and objects of many visitors over time.
        self.next_line = now + random.uniform(0, 10)
        self.next_object = now + random.uniform(0, 60)
        self.x, self.z = random.uniform(-50, 50), random.uniform(-50, 50)
        self.heading = random.uniform(0, 2 * math.pi)

    @task
    def stroll(self):
        self.heading += random.uniform(-0.5, 0.5)
        self.x += math.cos(self.heading)
        self.z += math.sin(self.heading)
        self.bot.state_change(my_x=self.x, my_z=self.z, my_yaw=math.degrees(self.heading))
        now = time.monotonic()
        if now >= self.next_object:
            self.next_object = now + 60
            self.object_add(object_string_1=random.choice(MODELS), object_x=self.x,
                            object_z=self.z)
        if now >= self.next_line:
            self.next_line = now + 10
            self.say(random.choice(LINES))
