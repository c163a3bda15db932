"""VorlixPyControlLoop against the virtual torso: start-up checks, every posted command on the
buses, the records, the requests that wait for an answer, close, and neck-only mode."""

import logging
import math
import threading
import time
from datetime import timedelta

import pytest
from vorlix_motor_controller import ControlLoopStats, VorlixPyControlLoop, VorlixTorsoPosition
from vorlix_virtual_torso.mit_codec import decode_command

from loop_support import (
    COMMUNICATION,
    LOOP_LOGGER,
    PERIOD,
    HeldWorker,
    open_loop,
    skip_replies,
    wait_until,
)
from neck_traffic import LOGGER as CONTROLLER_LOGGER, describe_frame, mit_set_points
from servo_traffic import ALL_SERVOS, LOCK, TORQUE_ENABLE, describe, goal_register, radians
from test_controller_servos import GOAL_CALLS


@pytest.fixture
def loop(torso):
    loop = open_loop(torso)
    yield loop
    loop.close()


PING = bytes.fromhex("FF FF 01 02 01 FB")
PING_REPLY = bytes.fromhex("FF FF 01 02 00 FC")


def writes(bus) -> list[tuple]:
    """What the servos were told, leaving out the loop's own reads."""
    return [d for d in map(describe, bus.requests) if d[0] not in ("sync_read", 2)]


# --- construction -------------------------------------------------------------------------


def test_start_up_checks_in_order_then_reboot_and_first_reading(torso, caplog):
    torso.servo_bus.servos[1].encoder = 3072
    caplog.set_level(logging.INFO, LOOP_LOGGER)
    loop = open_loop(torso)
    try:
        codes = [describe(p)[0] for p in torso.servo_bus.requests]
        # Pings of the missing-servo check, voltage reads, seven reboots, then readings.
        assert codes[:7] == [1] * 7 and codes[7] == "sync_read" and codes.count(8) == 7
        messages = [r.getMessage() for r in caplog.records if r.name == LOOP_LOGGER]
        assert messages[0] == "Waiting for voltage to be stable at 12V..."
        assert messages[1].startswith("Voltage is stable at ~12V: [120, 120, 120, 120, 120, 120, 120] (took ")
        position = loop.get_last_position()
        assert position.left_arm == [pytest.approx(radians(3072)), pytest.approx(0.0)]
        assert loop.is_torque_enabled() is False
        assert loop.get_motor_name_id() == {
            "left_arm_pitch": 1, "left_arm_yaw": 2, "right_arm_pitch": 3, "right_arm_yaw": 4,
            "nose_top": 5, "nose_left": 6, "nose_right": 7}
    finally:
        loop.close()


@pytest.mark.parametrize(
    "absent, message",
    [
        ([6], 'Missing motors: ["nose_left"]!'),
        ([1, 2, 3, 4, 5, 7], 'Missing motors: ["left_arm_pitch", "left_arm_yaw", "right_arm_pitch", '
         '"right_arm_yaw", "nose_top", "nose_right"]!'),
        (ALL_SERVOS, "No motors detected. Check if the power supply is connected and turned on!"),
    ],
)
def test_missing_servos_fail_construction(torso, absent, message):
    for servo_id in absent:
        torso.servo_bus.servos[servo_id].absent = True
    with pytest.raises(RuntimeError) as failed:
        open_loop(torso)
    assert str(failed.value) == message


def test_a_silent_neck_motor_fails_construction(torso):
    torso.neck.motors[1].silent = True
    with pytest.raises(RuntimeError, match=r'^Missing motors: \["neck_pitch"\]!$'):
        open_loop(torso)


def test_a_supply_that_stays_low_fails_after_the_timeout(torso):
    torso.servo_bus.voltage_ramp(109, 109, 0)
    start = time.monotonic()
    with pytest.raises(RuntimeError) as failed:
        open_loop(torso, voltage_rampup_timeout=timedelta(milliseconds=400))
    assert str(failed.value) == "Voltage did not ramp up to 12V (got 10.9V) within 400ms!"
    assert 0.4 <= time.monotonic() - start < 3.0
    # Nothing was rebooted, and the port is free again.
    assert all(describe(p)[0] != 8 for p in torso.servo_bus.requests)
    torso.servo_bus.voltage_ramp(120, 120, 0)
    open_loop(torso).close()


def test_a_supply_that_ramps_up_is_waited_for(torso):
    torso.servo_bus.voltage_ramp(90, 121, 0.3)
    loop = open_loop(torso, voltage_rampup_timeout=timedelta(seconds=5))
    loop.close()


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        (("/nonexistent/tty", PERIOD), RuntimeError,
         "Check if your USB cable is connected. Could not find port: /nonexistent/tty!"),
        ((None, PERIOD, "nosuchcan"), RuntimeError, "failed to open CAN bus 'nosuchcan': "),
        ((None, 0.01), TypeError, "argument 'read_position_loop_period'"),
        ((None, timedelta(milliseconds=-1)), ValueError, "argument 'read_position_loop_period'"),
        ((None, timedelta(0)), ValueError, "read_position_loop_period must be longer than zero"),
        ((None, PERIOD, "can0", 0), ValueError, "allowed_retries must be at least 1"),
        ((None, PERIOD, "can0", -1), OverflowError, ""),
        ((None, PERIOD, "can0", 5, 1.0), TypeError, "argument 'stats_pub_period'"),
        ((None,), TypeError, "missing 1 required positional argument: 'read_position_loop_period'"),
    ],
)
def test_bad_arguments_are_refused_before_any_bus_is_opened(arguments, error, message):
    with pytest.raises(error) as refused:
        VorlixPyControlLoop(*arguments)
    assert str(refused.value).startswith(message) or message in str(refused.value)


def test_port_held_by_another_loop_fails_with_port_open(torso, loop):
    with pytest.raises(RuntimeError) as refused:
        open_loop(torso)
    assert str(refused.value) == (
        f"Could not open serial port: {torso.serial_path}! Check permissions and if the port is "
        "already in use."
    )


# --- posted commands -----------------------------------------------------------------------


@pytest.mark.parametrize("method, values, expected", GOAL_CALLS)
def test_goal_commands_reach_the_goal_registers(torso, loop, method, values, expected):
    bus = torso.servo_bus
    bus.clear_requests()
    if method == "set_all_goal_positions":
        values = VorlixTorsoPosition(values[0:2], values[2:4], values[4:7], [9.0, 9.0, 9.0])
    assert getattr(loop, method)(values) is None
    wait_until(lambda: len(writes(bus)) >= len(expected), what="the goal writes")
    assert writes(bus) == expected
    written = {i: raw for _, _, pairs in expected for i, raw in pairs}
    assert all(goal_register(s) == written.get(i, 2048) for i, s in bus.servos.items())


NON_FINITE = [
    ("set_left_arm_position", [math.nan, 0.0], "goal position for servo 1 is not finite: NaN"),
    ("set_arms_position", [0.0, 0.0, -math.inf, 0.0], "goal position for servo 3 is not finite: -inf"),
    ("set_nose_position", [0.0, 0.0, math.inf], "goal position for servo 7 is not finite: inf"),
    ("set_neck_position", [0.0, math.nan, 0.0],
     "set_neck_position: neck_pitch position must be finite, got NaN"),
    ("set_neck_roll_position", math.inf, "set_neck_roll_position: position must be finite, got inf"),
    ("set_all_goal_positions", VorlixTorsoPosition([0, 0], [0, 0], [0, math.nan, 0], [0, 0, 0]),
     "goal position for servo 6 is not finite: NaN"),
]


@pytest.mark.parametrize("method, values, message", NON_FINITE)
def test_non_finite_values_are_refused_on_the_callers_thread(torso, loop, method, values, message):
    torso.servo_bus.clear_requests()
    torso.neck.clear_frames()
    with pytest.raises(RuntimeError) as refused:
        getattr(loop, method)(values)
    assert str(refused.value) == message
    # A ping waits for its answer: whatever was queued before it has reached the buses.
    assert loop.write_raw_packet(PING) == PING_REPLY
    assert writes(torso.servo_bus) == [describe(PING)] and mit_set_points(torso.neck) == []


@pytest.mark.parametrize(
    "method, value, joint, commanded",
    [("set_neck_yaw_position", 0.3, 0, 0.3), ("set_neck_pitch_position", 9.0, 1, 0.45),
     ("set_neck_roll_position", -9.0, 2, -0.4)],
)
def test_single_neck_joints_are_clamped_and_commanded(torso, loop, method, value, joint, commanded):
    torso.neck.clear_frames()
    getattr(loop, method)(value)
    points = wait_until(lambda: mit_set_points(torso.neck), what="the MIT command")
    assert [i for i, _ in points] == [joint]
    assert points[0][1].position == pytest.approx(commanded, abs=1e-3)


def test_set_neck_position_clamps_each_joint(torso, loop, caplog):
    torso.neck.clear_frames()
    loop.set_neck_position([1.0, -1.0, 0.1])
    points = wait_until(lambda: len(mit_set_points(torso.neck)) >= 3 and mit_set_points(torso.neck))
    assert [(i, round(p.position, 3)) for i, p in points] == [(0, 0.5), (1, 0.0), (2, 0.1)]
    assert sum(r.name == CONTROLLER_LOGGER for r in caplog.records) == 2


@pytest.mark.parametrize(
    "method, args, written, torque_after",
    [
        ("enable_torque", (), ([1, 2, 3, 4], [5, 6, 7]), True),
        ("disable_torque", (), ([1, 2, 3, 4], [5, 6, 7]), False),
        ("enable_torque_on_ids", ([5, 42],), ([5],), True),
        ("disable_torque_on_ids", ([1],), ([1],), False),
        ("enable_arms", (True,), ([1, 2, 3, 4],), False),
        ("enable_nose", (False,), ([5, 6, 7],), False),
    ],
)
def test_torque_commands_and_the_torque_record(torso, loop, method, args, written, torque_after):
    bus = torso.servo_bus
    bus.clear_requests()
    getattr(loop, method)(*args)
    flag = method.startswith("enable")
    flag = args[0] if args and isinstance(args[0], bool) else flag
    expected = [("sync_write", TORQUE_ENABLE, [(i, int(flag)) for i in ids]) for ids in written]
    wait_until(lambda: len(writes(bus)) >= len(expected), what="the torque writes")
    assert writes(bus) == expected
    wait_until(lambda: loop.is_torque_enabled() is torque_after, what="the torque record")


def test_enable_neck_enables_each_motor_in_mit_mode(torso, loop):
    loop.enable_neck(True)
    wait_until(lambda: all(m.enabled for m in torso.neck.motors), what="the neck enabled")


# --- records and requests ------------------------------------------------------------------


def test_readings_follow_the_servos(torso, loop):
    torso.servo_bus.servos[7].encoder = 1024
    position = wait_until(
        lambda: (p := loop.get_last_position()).nose[2] == pytest.approx(radians(1024)) and p)
    assert len(position.left_arm) == 2 and len(position.neck) == 3
    assert abs(position.timestamp - time.time()) < 5


def test_raw_reads_and_pid_gains(torso, loop):
    servo = torso.servo_bus.servos[1]
    servo.registers[21:24] = bytes([10, 20, 30])  # P, D, I
    for unlocked in (1, 2):
        torso.servo_bus.servos[unlocked].registers[LOCK] = 0  # the gains sit in EEPROM
    assert loop.async_read_raw_bytes(1, 21, 3) == bytes([10, 20, 30])
    assert loop.async_read_pid_gains(1) == (10, 30, 20)
    loop.async_write_pid_gains(1, 300, 7, 9)
    wait_until(lambda: servo.registers[21:24] == bytes([44, 9, 7]), what="the gains written")
    loop.async_write_raw_bytes(2, 21, [1, 2])
    wait_until(lambda: torso.servo_bus.servos[2].registers[21:23] == bytes([1, 2]))
    assert loop.write_raw_packet(PING) == PING_REPLY


def test_a_raw_read_of_a_silent_servo_fails_after_its_retries(torso, loop):
    torso.servo_bus.servos[3].absent = True
    start = time.monotonic()
    for method, args, prefix in [("async_read_raw_bytes", (3, 56, 2), "Failed to read raw bytes"),
                                 ("async_read_pid_gains", (3,), "Failed to read pid gains")]:
        with pytest.raises(RuntimeError) as failed:
            getattr(loop, method)(*args)
        assert str(failed.value) == f"{prefix}: {COMMUNICATION}"
    assert time.monotonic() - start < 2.5


@pytest.mark.parametrize("allowed_retries, recovers", [(5, True), (1, False)])
def test_one_timed_out_reading_and_the_retry_rule(torso, caplog, allowed_retries, recovers):
    caplog.set_level(logging.INFO, LOOP_LOGGER)
    loop = open_loop(torso, allowed_retries=allowed_retries, period=timedelta(milliseconds=50))
    try:
        caplog.clear()
        skip_replies(torso.servo_bus.servos[2], 1)
        if recovers:
            wait_until(lambda: any(r.getMessage() == "Serial I/O recovered after 1 retries"
                                   for r in caplog.records), what="the recovery")
        else:
            def failed_reading():
                try:
                    loop.get_last_position()
                except RuntimeError as error:
                    return str(error) == COMMUNICATION
                return False
            wait_until(failed_reading, what="the failed reading")
        # Either way, a later reading succeeds again.
        def good_reading():
            try:
                return loop.get_last_position()
            except RuntimeError:
                return None
        wait_until(good_reading, what="a good reading")
    finally:
        loop.close()


def test_statistics(torso):
    loop = open_loop(torso, stats_pub_period=timedelta(milliseconds=100))
    try:
        early = wait_until(lambda: (s := loop.get_stats()) and s.period and s)
        assert isinstance(early, ControlLoopStats)
        assert early.read_dt == [] and early.write_dt == []
        assert repr(early).endswith("read_dt=~NaN ms, write_dt=~NaN ms)")
        loop.set_nose_position([0.0, 0.0, 0.0])
        stats = wait_until(lambda: (s := loop.get_stats()).read_dt and s.write_dt and s)
        assert all(0 < t < 0.5 for t in stats.period + stats.read_dt + stats.write_dt)
        assert repr(stats).startswith("ControlLoopStats(period=~")
    finally:
        loop.close()
    assert open_loop(torso).get_stats() is None


# --- close ----------------------------------------------------------------------------------


CLOSED = [
    ("set_nose_position", ([0.0, 0.0, 0.0],), "channel closed"),
    ("enable_torque", (), "channel closed"),
    ("write_raw_packet", (b"\xff",), "channel closed"),
    ("async_read_raw_bytes", (1, 56, 2), f"Failed to read raw bytes: {COMMUNICATION}"),
    ("async_read_pid_gains", (1,), f"Failed to read pid gains: {COMMUNICATION}"),
    ("async_write_raw_bytes", (1, 21, [1]), f"Failed to write raw bytes: {COMMUNICATION}"),
    ("async_write_pid_gains", (1, 1, 1, 1), f"Failed to write pid gains: {COMMUNICATION}"),
]


@pytest.mark.parametrize("method, args, message", CLOSED)
def test_after_close_commands_fail_and_records_remain(loop, method, args, message):
    last = loop.get_last_position()
    loop.close()
    loop.close()
    with pytest.raises(RuntimeError) as failed:
        getattr(loop, method)(*args)
    assert str(failed.value) == message
    assert loop.get_last_position().timestamp == last.timestamp or loop.get_last_position()
    assert loop.is_torque_enabled() is False


MARKER = (0x3FF, bytes(8))  # no motor's id: the neck only records it


def test_commands_queued_before_close_are_all_carried_out(torso, loop, can_peer):
    targets = [round(-0.5 + i / 100, 2) for i in range(60)]
    with HeldWorker(CONTROLLER_LOGGER, "requested position") as held:
        loop.set_neck_yaw_position(9.0)  # clamped: the warning holds the worker
        assert held.entered.wait(5)
        torso.neck.clear_frames()
        for target in targets:
            loop.set_neck_yaw_position(target)

        def close():
            loop.close()
            # The neck reads its frames in order: what comes before this, the worker sent
            # before close returned.
            can_peer.send(*MARKER)

        closer = threading.Thread(target=close)
        closer.start()
        held.resume.set()
        closer.join(10)
    assert not closer.is_alive()
    frames = wait_until(lambda: MARKER in torso.neck.frames and torso.neck.frames)
    before_close = frames[: frames.index(MARKER)]
    positions = [round(decode_command(torso.neck.motors[0].limits, data).position, 2)
                 for can_id, data in before_close if describe_frame((can_id, data)) == ("mit", 1)]
    assert positions == [0.5] + targets  # the clamped command that held the worker, first


def test_the_101st_post_waits_for_room_while_other_threads_run(torso, loop):
    posting = threading.Event()
    returned_after_resume = []

    def post_101st():
        posting.set()
        loop.enable_torque()
        returned_after_resume.append(held.resume.is_set())

    with HeldWorker(CONTROLLER_LOGGER, "requested position") as held:
        loop.set_neck_yaw_position(9.0)
        assert held.entered.wait(5)
        for _ in range(100):
            loop.enable_torque()
        poster = threading.Thread(target=post_101st)
        poster.start()
        assert posting.wait(5)
        loop.get_last_position()  # this thread runs while the poster waits
        # Only the worker taking a command makes room, and it is held until now.
        held.resume.set()
        poster.join(10)
        assert not poster.is_alive()
    assert returned_after_resume == [True]


def test_eight_threads_posting_and_reading_lose_no_command(torso, loop):
    bus = torso.servo_bus
    bus.clear_requests()

    def post(thread_index):
        for value in range(25):
            loop.async_write_raw_bytes(1 + thread_index % 7, 100 + thread_index, [value])
            try:
                loop.get_last_position()
            except RuntimeError:
                pass  # a reading that failed on a busy machine is no lost command

    threads = [threading.Thread(target=post, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(20)
    wait_until(lambda: len([d for d in writes(bus) if d[0] == 3]) >= 200, timeout=10)
    per_thread = {}
    for code, servo_id, params in writes(bus):
        per_thread.setdefault(params[0], []).append(params[1])
    assert per_thread == {100 + i: list(range(25)) for i in range(8)}


# --- neck-only --------------------------------------------------------------------------------


def test_neck_only_loop(can_iface, neck):
    loop = VorlixPyControlLoop(None, PERIOD, can_iface)
    try:
        assert loop.get_last_position().nose == [0.0, 0.0, 0.0]
        assert loop.is_torque_enabled() is False
        assert loop.set_nose_position([0.0, 0.0, 0.0]) is None
        start = time.monotonic()
        with pytest.raises(RuntimeError) as failed:
            loop.async_read_raw_bytes(5, 56, 2)
        assert str(failed.value) == f"Failed to read raw bytes: {COMMUNICATION}"
        assert time.monotonic() - start < 0.5
        neck.motors[0].position = 0.25
        wait_until(lambda: loop.get_last_position().neck[0] == pytest.approx(0.25, abs=1e-3))
    finally:
        loop.close()
