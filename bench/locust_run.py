"""A distributed Locust run against the sandbox, for scripts/bench.sh: a
master and two workers on this machine run the example locustfile's
visitors (a line every 10 s, an object a minute) over several worlds.
Prints FIGURE and NOTE lines: every request type's count, failures and
percentiles from Locust's CSV, and each worker's CPU share (its own user and
system time from wait4, over the run's wall time).

    /usr/bin/python3 bench/locust_run.py KIVSANDBOX LIBRARY [USERS [WORLDS [SECONDS]]]

Linux only. USERS default 1000, WORLDS 10, SECONDS 60 at full strength
(users come at 50 a second before that)."""
import csv
import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LOCUSTFILE = os.path.join(ROOT, "bindings", "python", "examples", "locustfile.py")
SPAWN_RATE = 50


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_sandbox(program, worlds):
    arguments = [program, "--quiet", "--bind", "127.0.0.1", "--max-clients", "20000"]
    for name in worlds:
        arguments += ["--world", name + ":plain"]
    process = subprocess.Popen(arguments, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               text=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        readable, _, _ = select.select([process.stdout], [], [], 0.2)
        if readable:
            line = process.stdout.readline()
            if line.startswith("ready "):
                return process, int(re.search(r"universe=(\d+)", line).group(1))
            if not line:
                break
    process.kill()
    raise SystemExit("the sandbox did not start")


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    program, library = sys.argv[1], sys.argv[2]
    users = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    world_count = int(sys.argv[4]) if len(sys.argv) > 4 else 10
    seconds = int(sys.argv[5]) if len(sys.argv) > 5 else 60
    worlds = [f"world{n}" for n in range(world_count)]
    ramp = users / SPAWN_RATE
    run_time = int(ramp + seconds + 0.999)
    sandbox, universe = start_sandbox(program, worlds)
    environment = dict(os.environ, KIVSDK_LIBRARY=library, KIVSDK_WORLDS=",".join(worlds),
                       PYTHONPATH=os.path.join(ROOT, "bindings", "python"))
    port = str(free_port())
    with tempfile.TemporaryDirectory(prefix="kivsdk-bench-locust-") as directory:
        prefix = os.path.join(directory, "run")
        common = ["/usr/bin/python3", "-m", "locust", "-f", LOCUSTFILE, "--loglevel", "WARNING"]
        logs = {}

        def spawn(label, extra):
            logs[label] = open(os.path.join(directory, label + ".log"), "w")
            return subprocess.Popen(common + extra, env=environment, stdout=logs[label],
                                    stderr=subprocess.STDOUT)

        started = time.monotonic()
        master = spawn("master", ["--headless", "--master", "--master-bind-host", "127.0.0.1",
                                  "--master-bind-port", port, "--expect-workers", "2",
                                  "-u", str(users), "-r", str(SPAWN_RATE), "-t", f"{run_time}s",
                                  "--csv", prefix, "--host", f"127.0.0.1:{universe}"])
        workers = {spawn(f"worker{n}", ["--worker", "--master-host", "127.0.0.1",
                                        "--master-port", port]).pid: f"worker{n}"
                   for n in (1, 2)}
        cpu = {}
        deadline = started + run_time + 120
        while workers and time.monotonic() < deadline:
            pid, status, usage = os.wait4(-1, os.WNOHANG)
            if pid == 0:
                time.sleep(0.2)
                continue
            if pid in workers:
                cpu[workers.pop(pid)] = (usage.ru_utime + usage.ru_stime, time.monotonic())
        wall = time.monotonic() - started
        if master.poll() is None:
            master.wait(timeout=60)
        sandbox.terminate()
        sandbox.wait(timeout=30)
        for log in logs.values():
            log.close()
        for label in sorted(cpu):
            used, ended = cpu[label]
            print(f"FIGURE locust.{label}_cpu_share {used / (ended - started):.3f} ratio")
        # Locust keeps a row per type and name (the world, for instance);
        # counts add up, and the percentiles shown are the worst row's.
        rows = {}
        with open(prefix + "_stats.csv", encoding="utf-8") as table:
            for row in csv.DictReader(table):
                kind = row["Type"] or row["Name"]
                total = rows.setdefault(kind, {"Request Count": 0, "Failure Count": 0,
                                               "50%": 0.0, "99%": 0.0})
                total["Request Count"] += int(row["Request Count"])
                total["Failure Count"] += int(row["Failure Count"])
                for column in ("50%", "99%"):
                    if row[column] not in ("", "N/A"):
                        total[column] = max(total[column], float(row[column]))
        print(f"NOTE locust: a master and two workers, {users} bots over {world_count} worlds, "
              f"{seconds} s at full strength after a {ramp:.0f} s ramp; {wall:.0f} s in all")
        for kind in ("connect", "login", "enter", "chat", "object_add"):
            row = rows.get(kind)
            if row is None:
                print(f"FIGURE locust.{kind}_requests 0 requests")
                continue
            print(f"FIGURE locust.{kind}_requests {row['Request Count']} requests")
            print(f"FIGURE locust.{kind}_failures {row['Failure Count']} requests")
            print(f"FIGURE locust.{kind}_p50 {row['50%']:g} ms")
            print(f"FIGURE locust.{kind}_p99 {row['99%']:g} ms")
        print(f"FIGURE locust.all_failures {rows['Aggregated']['Failure Count']} requests")


if __name__ == "__main__":
    main()
