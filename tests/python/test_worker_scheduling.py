"""The worker's scheduling asked for from a loop in a child process, as root in the test
kernel and again without the privilege: what took effect is read back from /proc, refusals
are reported, and the loop reads on either way."""

import json
import subprocess
import sys

SCHEDULING_CHILD = """
import json, sys, time
from datetime import timedelta
from vorlix_motor_controller import VorlixPyControlLoop

def fifo_threads():
    found = []
    for tid in __import__("os").listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        if fields[38] == "1":  # SCHED_FIFO
            found.append(int(fields[37]))
    return sorted(found)

loop = VorlixPyControlLoop(sys.argv[1], timedelta(milliseconds=10), sys.argv[2])
report = loop.set_worker_scheduling(**json.loads(sys.argv[3]))
asked = time.time()
deadline = time.monotonic() + 30
while loop.get_last_position().timestamp <= asked:
    if time.monotonic() > deadline:
        sys.exit("no reading came after the request within 30 s")
    time.sleep(0.005)
print(json.dumps({"report": report, "fifo": fifo_threads()}))
loop.close()
"""

ASKED = {"realtime_priority": 7, "cpus": [0], "lock_memory": True}
WITHOUT_PRIVILEGE = [
    "setpriv", "--bounding-set=-sys_nice,-ipc_lock", "--inh-caps=-sys_nice,-ipc_lock",
    "prlimit", "--rtprio=0", "--memlock=65536",
]


def scheduled(torso, prefix: list[str], asked: dict) -> dict:
    """The report of a loop in a child process and the SCHED_FIFO priorities of its threads,
    once a reading came after the request."""
    done = subprocess.run(
        [*prefix, sys.executable, "-c", SCHEDULING_CHILD, torso.serial_path, torso.can_iface,
         json.dumps(asked)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_the_worker_runs_sched_fifo_at_the_priority_asked(torso):
    outcome = scheduled(torso, [], ASKED)
    assert outcome["report"] == {"realtime_priority": 7, "cpus": [0], "memory_locked": True,
                                 "refused": []}
    assert outcome["fifo"] == [7]


def test_refused_scheduling_is_reported_and_the_loop_runs_on(torso):
    outcome = scheduled(torso, WITHOUT_PRIVILEGE, {**ASKED, "cpus": [63]})
    report = outcome["report"]
    assert [refusal.split(":")[0] for refusal in report["refused"]] == [
        "realtime priority 7", "CPUs [63]", "memory locking"]
    assert report["realtime_priority"] is None and not report["memory_locked"]
    assert report["cpus"] and outcome["fifo"] == []
