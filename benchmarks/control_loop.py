"""The control loop's timing on the virtual torso with wire-time emulation: for each reading
period, 2,000 ticks' periods (mean, p50, p99, max), the mean reading time and the worker's CPU
per tick, with a histogram of the periods; then the cost from Python of get_last_position()
and of posting set_neck_position, and the system calls a post makes.

Run by benchmarks/control_loop.sh next to a vcan interface; arguments: the serial path and the
CAN interface of a running `vorlix-virtual-torso --wire-time`, and where to put the PNG.
"""

import argparse
import os
import statistics
import sys
import time
from datetime import timedelta

from vorlix_motor_controller import VorlixPyControlLoop

TICKS = 2000
PERIODS_MS = (20, 10, 5)


def percentile(sorted_values, fraction):
    return sorted_values[min(len(sorted_values) - 1, round(fraction * (len(sorted_values) - 1)))]


def measure_period(serial, can, period_ms):
    loop = VorlixPyControlLoop(serial, timedelta(milliseconds=period_ms), can,
                               stats_pub_period=timedelta(milliseconds=period_ms))
    try:
        cpu_start, main_start = time.process_time(), time.thread_time()
        while len(loop.get_stats().period) <= TICKS + 1:
            time.sleep(period_ms / 1000 * 50)
        # This thread only sleeps; the rest of the process's CPU is the worker's.
        worker_cpu = (time.process_time() - cpu_start) - (time.thread_time() - main_start)
        stats = loop.get_stats()
    finally:
        loop.close()
    # The first sample runs from the loop's start to its first tick.
    periods = [p * 1000 for p in stats.period[1 : TICKS + 1]]
    ordered = sorted(periods)
    row = {
        "period_ms": period_ms,
        "mean": statistics.fmean(periods),
        "p50": percentile(ordered, 0.50),
        "p99": percentile(ordered, 0.99),
        "max": ordered[-1],
        "read_dt": statistics.fmean(stats.read_dt) * 1000,
        "cpu_per_tick_us": worker_cpu / len(stats.period) * 1e6,
    }
    return row, periods


def per_call_ns(call, count):
    start = time.perf_counter_ns()
    for _ in range(count):
        call()
    return (time.perf_counter_ns() - start) / count


def python_costs(serial, can):
    loop = VorlixPyControlLoop(serial, timedelta(milliseconds=10), can)
    try:
        read_ns = per_call_ns(loop.get_last_position, 100_000)
        # Bursts below the queue's capacity, so that no post waits for room.
        post_times = []
        for _ in range(40):
            post_times.append(per_call_ns(lambda: loop.set_neck_position([0.0, 0.1, 0.0]), 50))
            time.sleep(0.4)
        # Markers for the trace: the system calls between them are the posts'.
        os.path.exists("/post-burst-begin")
        for _ in range(50):
            loop.set_neck_position([0.0, 0.1, 0.0])
        os.path.exists("/post-burst-end")
    finally:
        loop.close()
    return read_ns, statistics.median(post_times)


def histogram(all_periods, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(len(all_periods), 1, figsize=(7, 2.4 * len(all_periods)))
    for axis, (period_ms, periods) in zip(axes, all_periods.items()):
        axis.hist(periods, bins=80, color="#3070b0")
        axis.axvline(period_ms, color="black", linewidth=0.8)
        axis.set_yscale("log")
        axis.set_title(f"reading period {period_ms} ms: {len(periods)} ticks", fontsize=9)
        axis.set_xlabel("ms between ticks", fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("serial")
    parser.add_argument("can")
    parser.add_argument("--png", default="control_loop_periods.png")
    parser.add_argument("--python-costs-only", action="store_true")
    args = parser.parse_args()

    if not args.python_costs_only:
        all_periods = {}
        print("period  mean     p50      p99      max      read_dt  worker CPU/tick")
        for period_ms in PERIODS_MS:
            row, periods = measure_period(args.serial, args.can, period_ms)
            all_periods[period_ms] = periods
            print(f"{period_ms:>3} ms  {row['mean']:7.3f}  {row['p50']:7.3f}  {row['p99']:7.3f}  "
                  f"{row['max']:7.3f}  {row['read_dt']:7.3f}  {row['cpu_per_tick_us']:6.1f} us",
                  flush=True)
        histogram(all_periods, args.png)
        print(f"histogram: {args.png}")
    read_ns, post_ns = python_costs(args.serial, args.can)
    print(f"get_last_position(): {read_ns:.0f} ns per call")
    print(f"set_neck_position() post: {post_ns:.0f} ns per call")


if __name__ == "__main__":
    sys.exit(main())
