"""Programs that end while the module's threads are busy exit promptly with their own status:
a running control loop, a dropped one, one its own logging handler closes, one made after the
module's exit hook ran, and a daemon thread inside controller calls that log; and a Ctrl-C ends
a long call at once."""

import ast
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import serving_first
from neck_traffic import mit_set_points

LOOP_PROGRAM = """
    import sys, datetime
    from vorlix_motor_controller import VorlixPyControlLoop
    loop = VorlixPyControlLoop(sys.argv[1], datetime.timedelta(milliseconds=10), sys.argv[2])
    for _ in range(40):
        loop.set_neck_yaw_position(0.1)
    if sys.argv[3] == "drop":
        del loop
    print("ending", flush=True)
"""

DAEMON_PROGRAM = """
    import logging, sys, threading, time
    from vorlix_motor_controller import VorlixMotorController, VorlixPyControlLoop
    import datetime

    logging_began = threading.Event()

    class SlowHandler(logging.Handler):
        def emit(self, record):
            logging_began.set()
            time.sleep(0.002)

    logging.getLogger().addHandler(SlowHandler())
    if sys.argv[2] == "controller":
        target = VorlixMotorController(None, sys.argv[1]).set_neck_yaw_position
    else:
        target = VorlixPyControlLoop(None, datetime.timedelta(milliseconds=5), sys.argv[1]).set_neck_yaw_position

    def clamp_forever():
        while True:
            try:
                target(9.0)  # every call logs a clamp warning
            except RuntimeError as error:
                if str(error) == "channel closed":
                    return

    for _ in range(3):
        threading.Thread(target=clamp_forever, daemon=True).start()
    logging_began.wait(10)  # the program ends with its threads inside calls that log
    print("ending", flush=True)
"""


def run_until_exit(program: str, *args: str) -> tuple[int, float, str]:
    """Exit status, seconds from the program's last line to its exit, and its stderr."""
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(program), *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        line = child.stdout.readline()
        ended = time.monotonic()
        assert line == "ending\n", child.stderr.read()
        status = child.wait(timeout=30)
        return status, time.monotonic() - ended, child.stderr.read()
    finally:
        child.kill()
        child.wait()



def exits_cleanly(runs: int, program: str, *args: str) -> None:
    """Runs `program` `runs` times: each exits 0, promptly, with no error on stderr."""
    for _ in range(runs):
        status, seconds, stderr = run_until_exit(program, *args)
        assert status == 0 and "Error" not in stderr, stderr
        assert seconds < 2.0

@pytest.mark.parametrize("mode", ["keep", "drop"])
def test_a_program_ending_with_a_loop_exits_promptly_and_runs_its_queue(torso, mode):
    torso.neck.clear_frames()
    status, seconds, stderr = run_until_exit(LOOP_PROGRAM, torso.serial_path, torso.can_iface, mode)
    assert status == 0 and "Error" not in stderr, stderr
    assert seconds < 2.0
    assert sum(1 for i, _ in mit_set_points(torso.neck) if i == 0) == 40


@pytest.mark.parametrize("kind", ["controller", "loop"])
def test_daemon_threads_logging_through_exit_never_crash_it(neck, kind):
    exits_cleanly(12, DAEMON_PROGRAM, neck.iface, kind)


CLOSING_HANDLER_PROGRAM = """
    import datetime, logging, sys
    from vorlix_motor_controller import VorlixPyControlLoop
    loop = VorlixPyControlLoop(None, datetime.timedelta(milliseconds=10), sys.argv[1])

    class CloseOnWarnings(logging.Handler):
        def emit(self, record):
            loop.close()  # on the worker, at each clamp warning

    logging.getLogger("vorlix_motor_controller.controller").addHandler(CloseOnWarnings())
    for _ in range(60):
        try:
            loop.set_neck_yaw_position(9.0)
        except RuntimeError as error:
            assert str(error) == "channel closed", error
    print("ending", flush=True)
    if sys.argv[2] == "close":
        loop.close()  # while the worker's handlers close it too; else the exit hook closes it
"""


@pytest.mark.parametrize("closer", ["close", "exit hook"])
def test_a_handler_closing_its_loop_on_the_worker_never_blocks_another_close(neck, closer):
    exits_cleanly(3, CLOSING_HANDLER_PROGRAM, neck.iface, closer)


LATE_LOOP_PROGRAM = """
    import atexit, datetime, logging, sys, threading, time

    handling = threading.Event()

    class SlowHandler(logging.Handler):
        def emit(self, record):
            handling.set()
            time.sleep(0.05)  # the interpreter goes on finalizing meanwhile

    logging.getLogger().addHandler(SlowHandler())

    def late_loop():
        global late  # lives on into finalization, which drops it
        late = VorlixPyControlLoop(None, datetime.timedelta(milliseconds=5), sys.argv[1])
        for _ in range(40):
            late.set_neck_yaw_position(9.0)  # each one logs its clamp
        handling.wait(0.5)  # the worker in a handler, if its records still reach Python

    atexit.register(late_loop)  # runs after the module's own exit hook
    from vorlix_motor_controller import VorlixPyControlLoop
    print("ending", flush=True)
"""


def test_a_loop_made_after_the_exit_hook_runs_its_queue_and_lets_the_program_end(neck):
    status, seconds, stderr = run_until_exit(LATE_LOOP_PROGRAM, neck.iface)
    assert status == 0 and "Error" not in stderr, stderr
    assert seconds < 3.0
    # Its worker never reached for the finalizing interpreter, which would have ended it.
    assert sum(1 for i, _ in mit_set_points(neck) if i == 0) == 40


HOMING_PROGRAM = """
    import sys, time
    from vorlix_motor_controller import VorlixMotorController
    controller = VorlixMotorController(None, sys.argv[1])
    print("ending", flush=True)
    try:
        controller.neck_home(speed=0.01)  # a turn away at 0.01 rad/s: minutes
    except KeyboardInterrupt:
        print(f"interrupted at {time.monotonic()}", flush=True)
        print(controller.read_neck_positions(), flush=True)  # still usable
"""


def test_ctrl_c_ends_a_long_homing_with_keyboard_interrupt(can_iface):
    from vorlix_virtual_torso import VirtualNeck

    with VirtualNeck(can_iface, start_positions=(3.0, 0.0, 0.0)) as neck:
        serving_first()
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(HOMING_PROGRAM), can_iface],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "ending\n"
            neck.wait_for_frames(20, timeout=10.0)
            assert mit_set_points(neck), "homing never began its ramp"
            signalled = time.monotonic()  # the same clock as the child's
            child.send_signal(signal.SIGINT)
            status = child.wait(timeout=10)
            lines = child.stdout.read().splitlines()
        finally:
            child.kill()
            child.wait()
        assert status == 0, child.stderr.read()
        assert lines[0].startswith("interrupted at ")
        assert float(lines[0].split()[-1]) - signalled < 5
        assert len(ast.literal_eval(lines[1])) == 3
        assert neck.motors[0].enabled
