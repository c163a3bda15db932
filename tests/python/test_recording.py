"""Recording a loop on the virtual torso: the file read back with the mcap package's own
reader, the live WebSocket server seen by a Foxglove client of our own, a consumer that never
takes, a recorder killed mid-run, recordings cut off and plotted, starts that must fail, and
refused input."""

import ast
import io
import re
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import tomllib
from datetime import timedelta
from importlib.metadata import packages_distributions
from pathlib import Path

import pytest
from mcap.reader import make_reader
from mcap.records import Message
from mcap.stream_reader import StreamReader, breakup_chunk
from mcap_protobuf.decoder import DecoderFactory
from vorlix_motor_controller import VorlixPyControlLoop
from websockets.sync.client import connect

from conftest import serving_first
from loop_support import PERIOD, HeldWorker, open_loop, wait_until
from neck_traffic import LOGGER as CONTROLLER_LOGGER
from vorlix_recording import COMMANDS_TOPIC, JOINT_NAMES, JOINTS_TOPIC, LOG_TOPIC, TIMING_TOPIC
from vorlix_recording import Recorder
from vorlix_recording.plot_command import main as plot_main
from vorlix_recording.plot_command import read_series
from vorlix_recording.recorder import DRAIN_NICE
from vorlix_virtual_torso import VirtualNeck, VirtualServoBus

REPO = Path(__file__).resolve().parents[2]

CLAMP_MARKER = "out of safe range"


def joint_values(position) -> list[float]:
    return [*position.left_arm, *position.right_arm, *position.nose, *position.neck]


def read_back(path) -> dict[str, list]:
    """Every message by topic, in log-time order: JSON decoded, Log messages from protobuf."""
    topics: dict[str, list] = {}
    protobuf = DecoderFactory()
    with open(path, "rb") as stream:
        for schema, channel, message in make_reader(stream).iter_messages():
            if channel.message_encoding == "json":
                body = json.loads(message.data)
            else:
                body = protobuf.decoder_for(channel.message_encoding, schema)(message.data)
            topics.setdefault(channel.topic, []).append((message.log_time, body))
    return topics


def test_a_recording_holds_every_tick_command_and_warning_as_the_loop_saw_them(torso, tmp_path):
    loop = open_loop(torso, stats_pub_period=timedelta(milliseconds=100))
    seen = {}
    path = tmp_path / "run.mcap"
    with Recorder(loop, path, drain_interval=0.02):
        ticks_before = len(loop.get_stats().period)  # some before recording began, or all
        started = time.time()  # readings after this were taken while recording
        # The drain thread gives way to the loop and the bus peers on a busy CPU.
        drain = next(t for t in threading.enumerate() if t.name == "vorlix-recorder")
        wait_until(lambda: os.getpriority(os.PRIO_PROCESS, drain.native_id) == DRAIN_NICE,
                   what="the drain thread's lowest priority")
        posted = [("SetNeckPosition", lambda: loop.set_neck_position([0.1, 0.0, 9.0])),
                  ("SetNosePosition", lambda: loop.set_nose_position([0.1, 0.2, 0.3])),
                  ("ReadRawBytes", lambda: loop.async_read_raw_bytes(1, 56, 2)),
                  ("EnableArms", lambda: loop.enable_arms(False))]
        for _, post in posted:
            post()
        with pytest.raises(RuntimeError):
            loop.async_read_pid_gains(9)  # no such servo: fails on the bus after its attempts
        while len(seen) < 30:
            try:
                position = loop.get_last_position()
            except RuntimeError:  # a reading failed on a busy machine: recorded as such
                continue
            if position.timestamp > started:
                seen[position.timestamp] = joint_values(position)
        loop.close()
    period = loop.get_stats().period
    topics = read_back(path)

    joints, timing = topics[JOINTS_TOPIC], topics[TIMING_TOPIC]
    # Every tick since recording began, none missing: the loop's own samples, to the bit.
    assert len(joints) == len(timing) >= len(period) - ticks_before
    assert [body["period"] for _, body in timing] == period[len(period) - len(timing):]
    assert all(body["dropped"] == 0 for _, body in timing)
    times = [log_time for log_time, _ in joints]
    assert all(a < b for a, b in zip(times, times[1:]))
    by_time = {log_time: body for log_time, body in joints}
    for timestamp, values in seen.items():
        body = by_time[round(timestamp * 1e9)]
        assert [body[name] for name in JOINT_NAMES] == values and body["error"] is None

    # Each once, in order, with its outcome (a busy machine may fail a neck command too).
    commands = [body for _, body in topics[COMMANDS_TOPIC]]
    assert [body["command"] for body in commands] == [name for name, _ in posted] + ["ReadRawBytes"]
    assert all(body["ok"] == (body["error"] is None) for body in commands)
    assert not commands[-1]["ok"]
    assert topics[COMMANDS_TOPIC][0][1]["arguments"] == {"position": [0.1, 0.0, 9.0]}
    assert topics[COMMANDS_TOPIC][-1][1]["arguments"] == {"id": 9, "addr": 21, "length": 3}
    warnings = [log for _, log in topics[LOG_TOPIC] if CLAMP_MARKER in log.message]
    assert len(warnings) == 1 and warnings[0].level == 3 and warnings[0].name.startswith(
        "vorlix_motor_controller")


def test_a_live_client_sees_the_channels_subscribes_and_receives_joints(torso, tmp_path):
    loop = open_loop(torso)
    try:
        with Recorder(loop, tmp_path / "live.mcap", live=True, port=0) as recorder:
            # The SDK's server speaks the Foxglove WebSocket protocol under its newer name.
            with connect(f"ws://127.0.0.1:{recorder.port}", open_timeout=10,
                         subprotocols=["foxglove.sdk.v1", "foxglove.websocket.v1"]) as client:
                channels = {}
                while JOINTS_TOPIC not in channels:
                    message = json.loads(client.recv(timeout=10))
                    if message["op"] == "advertise":
                        channels.update({c["topic"]: c for c in message["channels"]})
                assert {TIMING_TOPIC, COMMANDS_TOPIC, LOG_TOPIC} <= set(channels)
                assert json.loads(channels[JOINTS_TOPIC]["schema"])["title"] == "vorlix.Joints"
                client.send(json.dumps({"op": "subscribe", "subscriptions": [
                    {"id": 7, "channelId": channels[JOINTS_TOPIC]["id"]}]}))
                received = []
                while len(received) < 3:
                    frame = client.recv(timeout=10)
                    if isinstance(frame, bytes) and frame[0] == 1:  # a message data frame
                        subscription, _ = struct.unpack_from("<IQ", frame, 1)
                        assert subscription == 7
                        received.append(json.loads(frame[13:]))
        assert all(set(JOINT_NAMES) <= set(body) or body["error"] for body in received)
    finally:
        loop.close()


def test_a_consumer_that_never_takes_loses_the_oldest_and_counts_them_exactly(torso):
    loop = open_loop(torso, stats_pub_period=timedelta(seconds=10))
    try:
        # The worker held in the clamp's warning: no tick runs while recording starts.
        with HeldWorker(CONTROLLER_LOGGER, CLAMP_MARKER) as held:
            loop.set_neck_position([0.0, 0.0, 9.0])
            assert held.entered.wait(5)
            ticks_before = len(loop.get_stats().period)
            loop.start_recording(50)
            held.resume.set()
        wait_until(lambda: len(loop.get_stats().period) >= ticks_before + 200, timeout=30)
        loop.close()
        # The held command began before recording did: only the ticks after it are recorded.
        recorded = len(loop.get_stats().period) - ticks_before
        ticks, commands, dropped = loop.take_recording()
        assert (len(ticks) + len(commands), dropped) == (50, recorded - 50)
        assert ticks[-1][3].timestamp == loop.get_last_position().timestamp
        assert loop.take_recording() == ([], [], 0)
    finally:
        loop.close()


def test_a_recorder_killed_mid_run_leaves_a_file_readable_to_its_last_second(torso, tmp_path):
    path = tmp_path / "killed.mcap"
    # A loop at 20 ms leaves the recorder's drain thread, which gives way to it, some of one
    # busy CPU.
    recorder = subprocess.Popen(
        [sys.executable, "-m", "vorlix_recording.record_command", "--serial", torso.serial_path,
         "--can", torso.can_iface, "--period", "20", str(path)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    on_disk = {"size": 0, "times": []}
    try:
        def two_seconds_on_disk() -> bool:
            assert recorder.poll() is None, recorder.communicate()
            # Read again only once the file grew: on one CPU, reading it all the time would
            # starve the recorder's drain thread, which gives way to everything.
            size = path.stat().st_size if path.exists() else 0
            if size != on_disk["size"]:
                on_disk.update(size=size, times=read_series(path).times)
            times = on_disk["times"]
            return bool(times) and times[-1] - times[0] > 2

        wait_until(two_seconds_on_disk, timeout=60, what="two seconds on disk")
        killed_at = time.time()
        recorder.send_signal(signal.SIGKILL)
        recorder.wait(10)
    finally:
        recorder.kill()
        recorder.communicate()
    series = read_series(path)
    assert series.cut_off and series.times[-1] >= killed_at - 1.0


@pytest.mark.parametrize("capacity, error", [(0, ValueError), (10**9, ValueError),
                                             (-5, ValueError), ("50", TypeError)])
def test_a_bad_capacity_is_refused_at_the_call_and_disturbs_nothing(torso, tmp_path, capacity,
                                                                    error):
    loop = open_loop(torso)
    try:
        with pytest.raises(error, match="capacity|integer"):
            Recorder(loop, tmp_path / "x.mcap", capacity=capacity).__enter__()
        assert not (tmp_path / "x.mcap").exists()
        with Recorder(loop, tmp_path / "ok.mcap", capacity=100) as recorder:
            # The drain thread gives way to everything: a busy machine may hold it for long.
            wait_until(lambda: recorder.ticks > 0, timeout=30)
    finally:
        loop.close()


@pytest.mark.parametrize("where", ["missing_directory", "directory"])
def test_an_unwritable_path_is_refused_and_leaves_the_loop_as_it_was(torso, tmp_path, where):
    loop = open_loop(torso)
    try:
        path = tmp_path / "nowhere" / "x.mcap" if where == "missing_directory" else tmp_path
        with pytest.raises(OSError):
            Recorder(loop, path).__enter__()
        assert loop.take_recording() == ([], [], 0)
        loop.start_recording(10)  # not left recording
        loop.stop_recording()
    finally:
        loop.close()


def test_a_closed_loop_refuses_to_record(torso, tmp_path):
    loop = open_loop(torso)
    loop.close()
    with pytest.raises(RuntimeError, match="^channel closed$"):
        Recorder(loop, tmp_path / "x.mcap").__enter__()
    assert not (tmp_path / "x.mcap").exists()


def test_a_failing_disk_ends_the_recording_with_an_error_and_the_loop_runs_on(torso, caplog):
    loop = open_loop(torso, stats_pub_period=timedelta(milliseconds=50))
    try:
        with Recorder(loop, "/dev/full", drain_interval=0.02) as recorder:
            wait_until(lambda: not recorder.running, timeout=10, what="the recording to stop")
            ticks = len(loop.get_stats().period)
            wait_until(lambda: len(loop.get_stats().period) > ticks + 5, what="ticks going on")
        assert isinstance(recorder.error, OSError)
        assert any("stopped" in r.getMessage() and r.levelname == "ERROR" for r in caplog.records)
        loop.start_recording(10)  # the ring was released
    finally:
        loop.close()


@pytest.fixture(scope="module")
def finished_recording(can_iface, tmp_path_factory):
    """A recording of the loop on the virtual torso in several chunks, ended as it should be."""
    path = tmp_path_factory.mktemp("finished") / "run.mcap"
    with VirtualServoBus() as bus, VirtualNeck(can_iface):
        serving_first()
        loop = VorlixPyControlLoop(bus.serial_path, PERIOD, can_iface)
        try:
            with Recorder(loop, path, drain_interval=0.02, flush_interval=0.05,
                          close_timeout=60) as recorder:
                wait_until(lambda: recorder.ticks >= 100, timeout=30, what="100 ticks recorded")
                loop.close()
        finally:
            loop.close()
    assert not recorder.running and recorder.error is None
    return path


def chunk_layout(path):
    with open(path, "rb") as stream:
        summary = make_reader(stream).get_summary()
    return sorted(summary.chunk_indexes, key=lambda chunk: chunk.chunk_start_offset)


def periods_in(path, chunks) -> list[float]:
    """The periods (ms) that `chunks` of `path` hold, in file order. Log times say nothing
    of where a message is: the topics are drained apart, so a chunk's last log time may come
    after ticks that the next chunk holds."""
    data = path.read_bytes()
    with open(path, "rb") as stream:
        channels = make_reader(stream).get_summary().channels
    periods = []
    for chunk in chunks:
        start = chunk.chunk_start_offset
        stream = StreamReader(io.BytesIO(data[start:start + chunk.chunk_length]),
                              skip_magic=True, emit_chunks=True)
        periods += [json.loads(record.data)["period"] * 1e3
                    for record in breakup_chunk(next(stream.records))
                    if isinstance(record, Message)
                    and channels[record.channel_id].topic == TIMING_TOPIC]
    return periods


def chunk_end(path, which: int) -> int:
    chunk = chunk_layout(path)[which]
    return chunk.chunk_start_offset + chunk.chunk_length


def mid_second_chunk(path) -> int:
    return (chunk_layout(path)[1].chunk_start_offset + chunk_end(path, 1)) // 2


def in_the_summary(path) -> int:
    footer_and_magic = path.read_bytes()[-(1 + 8 + 8 + 8 + 4 + 8):]
    footer = next(StreamReader(io.BytesIO(footer_and_magic), skip_magic=True).records)
    return footer.summary_start + 10


# Where a crash may leave the file: (how far it got, whether the chunk being written is left
# as its writer marks it until done: its length all ones).
CUTS = {
    "in the header": (lambda path: 20, False),
    "in a chunk": (mid_second_chunk, False),
    "in a chunk left open": (mid_second_chunk, True),
    "after a chunk, before its indexes": (lambda path: chunk_end(path, 0), False),
    "in the summary": (in_the_summary, False),
    "nowhere": (lambda path: path.stat().st_size, False),
}


@pytest.mark.parametrize("cut", CUTS, ids=list(CUTS))
def test_a_cut_off_recording_plots_every_complete_chunk_and_says_it_was_cut_off(
        finished_recording, tmp_path, capsys, cut):
    source = finished_recording
    where, left_open = CUTS[cut]
    size = where(source)
    data = bytearray(source.read_bytes()[:size])
    if left_open:
        start = chunk_layout(source)[1].chunk_start_offset
        data[start + 1:start + 9] = b"\xff" * 8
    path = tmp_path / "cut.mcap"
    path.write_bytes(data)
    complete = [chunk for chunk in chunk_layout(source)
                if chunk.chunk_start_offset + chunk.chunk_length <= size]
    expected = periods_in(source, complete)

    status = plot_main([str(path), "-o", str(tmp_path / "cut.png")])
    series = read_series(path)
    stderr = capsys.readouterr().err
    assert series.periods_ms == expected
    assert series.cut_off == (size < source.stat().st_size)
    if not expected:
        assert status == 1 and "holds no tick" in stderr and "(cut off)" in stderr
    else:
        assert status == 0 and (tmp_path / "cut.png").stat().st_size > 0
        assert ("cut off" in stderr) == series.cut_off


def busy_port() -> socket.socket:
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    return listener


# A start that must fail: (the arguments after --can, the output in tmp_path, what the error
# names, whether the loop may have started).
FAILED_STARTS = {
    "missing directory": ([], "nowhere/run.mcap", "{tmp}/nowhere/run.mcap", False),
    "a directory": ([], "earlier.mcap", "{tmp}/earlier.mcap", False),
    "busy live port": (["--live", "--live-port", "{busy}"], "earlier.mcap", "127.0.0.1:{busy}",
                       False),
    "no servo line": (["--serial", "{tmp}/no-such-tty"], "earlier.mcap", "{tmp}/no-such-tty",
                      True),
}


@pytest.mark.parametrize("start", FAILED_STARTS, ids=list(FAILED_STARTS))
def test_a_failed_start_reaches_no_motor_and_loses_nothing(torso, tmp_path, start):
    arguments, output, named, loop_may_start = FAILED_STARTS[start]
    earlier = tmp_path / "earlier.mcap"
    if start == "a directory":
        earlier.mkdir()
    else:
        earlier.write_bytes(b"an earlier recording")
    with busy_port() as listener:
        fill = {"busy": listener.getsockname()[1], "tmp": tmp_path}
        result = subprocess.run(
            [sys.executable, "-m", "vorlix_recording.record_command", "--serial", torso.serial_path,
             "--can", torso.can_iface, *(argument.format(**fill) for argument in arguments),
             str(tmp_path / output)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and named.format(**fill) in result.stderr, result
    if not loop_may_start:
        assert torso.servo_bus.requests == [] and torso.neck.frames == []
    assert os.listdir(tmp_path) == ["earlier.mcap"]
    assert earlier.is_dir() or earlier.read_bytes() == b"an earlier recording"


def test_a_recording_started_live_replaces_the_earlier_one(torso, tmp_path):
    path = tmp_path / "run.mcap"
    path.write_bytes(b"an earlier recording")
    result = subprocess.run(
        [sys.executable, "-m", "vorlix_recording.record_command", "--serial", torso.serial_path,
         "--can", torso.can_iface, "--duration", "1", "--live", "--live-port", "0", str(path)],
        capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result
    assert result.stdout.startswith("live on ws://127.0.0.1:")
    assert os.listdir(tmp_path) == ["run.mcap"] and read_series(path).periods_ms
    assert not read_series(path).cut_off


def test_the_record_extra_brings_every_module_the_recording_package_imports():
    extra = tomllib.loads((REPO / "pyproject.toml").read_text())["project"][
        "optional-dependencies"]["record"]
    def normal(name: str) -> str:
        return re.sub(r"[-_.]+", "-", name).lower()

    wanted = {normal(re.split(r"[<>=!~\[; ]", requirement)[0]) for requirement in extra}
    imported = set()
    for source in (REPO / "python/vorlix_recording").glob("*.py"):
        for node in ast.walk(ast.parse(source.read_text())):
            if isinstance(node, ast.Import):
                imported.update(alias.name.split(".")[0] for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                imported.add(node.module.split(".")[0])
    foreign = {name for name in imported - set(sys.stdlib_module_names) - {"__future__"}
               if not name.startswith("vorlix_")}
    distributions = packages_distributions()
    assert {normal(distributions[name][0]) for name in foreign} <= wanted
