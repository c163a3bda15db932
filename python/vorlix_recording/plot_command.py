"""vorlix-plot: draws a recording's joints over time, by group, and the histogram of the
loop's periods, into a PNG."""

from __future__ import annotations

import argparse
import json
import struct
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt  # noqa: E402
from mcap.exceptions import EndOfFile, McapError, RecordLengthLimitExceeded  # noqa: E402
from mcap.reader import NonSeekingReader  # noqa: E402

from vorlix_recording.messages import JOINT_NAMES, JOINTS_TOPIC, TIMING_TOPIC  # noqa: E402

GROUPS = {"arms": JOINT_NAMES[0:4], "nose": JOINT_NAMES[4:7], "neck": JOINT_NAMES[7:10]}


class Series:
    def __init__(self) -> None:
        self.times: list[float] = []
        self.joints: dict[str, list[float]] = {name: [] for name in JOINT_NAMES}
        self.periods_ms: list[float] = []
        self.cut_off = False  # the file ends before its footer: a recorder killed mid-run


def read_series(path: Path) -> Series:
    """Reads from the start to the last complete chunk: a recording cut off still plots."""
    series = Series()
    with path.open("rb") as stream:
        # Chunk by chunk, in file order, and without the summary that a killed recorder never
        # wrote. No record is longer than the file: one that claims more is a chunk whose
        # writer died before it wrote the chunk's length.
        reader = NonSeekingReader(stream, record_size_limit=path.stat().st_size)
        messages = reader.iter_messages(topics=[JOINTS_TOPIC, TIMING_TOPIC], log_time_order=False)
        try:
            for _, channel, message in messages:
                body = json.loads(message.data)
                if channel.topic == TIMING_TOPIC:
                    series.periods_ms.append(body["period"] * 1e3)
                elif body.get("error") is None:
                    series.times.append(message.log_time / 1e9)
                    for name in JOINT_NAMES:
                        series.joints[name].append(body[name])
        # A length the writer had yet to fill in (all ones) is too large to read at all.
        except (EndOfFile, RecordLengthLimitExceeded, struct.error, OverflowError):
            series.cut_off = True  # a record the file ends in
    return series


def draw(series: Series, output: Path, title: str) -> None:
    figure, axes = plt.subplots(len(GROUPS) + 1, 1, figsize=(10, 11), constrained_layout=True)
    start = series.times[0] if series.times else 0.0
    seconds = [t - start for t in series.times]
    for axis, (group, names) in zip(axes, GROUPS.items()):
        for name in names:
            axis.plot(seconds, series.joints[name], label=name, linewidth=1)
        axis.set_title(group)
        axis.set_xlabel("time (s)")
        axis.set_ylabel("position (rad)")
        axis.legend(loc="upper right", fontsize="small")
        axis.grid(True, alpha=0.3)
    histogram = axes[-1]
    histogram.hist(series.periods_ms, bins=50)
    histogram.set_title(f"loop period ({len(series.periods_ms)} ticks)")
    histogram.set_xlabel("period (ms)")
    histogram.set_ylabel("ticks")
    figure.suptitle(title)
    figure.savefig(output, dpi=80)
    plt.close(figure)


def plot_recording(recording: Path, output: Path) -> Series:
    """Draws `recording` into the PNG `output` and returns what it read; ValueError when it
    holds no tick."""
    series = read_series(recording)
    cut_off = " (cut off)" if series.cut_off else ""
    if not series.periods_ms:
        raise ValueError(f"{recording} holds no tick of a Vorlix recording{cut_off}")
    draw(series, output, recording.name + cut_off)
    return series


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="vorlix-plot", description="Plot a Vorlix recording's joints and loop periods.")
    parser.add_argument("recording", metavar="FILE.mcap", type=Path)
    parser.add_argument("-o", "--output", metavar="FILE.png", type=Path, required=True)
    arguments = parser.parse_args(argv)  # exits 2 on bad usage
    try:
        series = plot_recording(arguments.recording, arguments.output)
    except (OSError, ValueError, McapError) as error:
        print(f"vorlix-plot: {error}", file=sys.stderr)
        return 1
    if series.cut_off:
        print(f"vorlix-plot: {arguments.recording} was cut off (its recorder did not end it): "
              f"plotted it up to its last complete chunk ({len(series.periods_ms)} ticks)",
              file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
