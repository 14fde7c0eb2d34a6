#!/usr/bin/env python3
"""Splits the window prober's samples (bench_ctl probe) into those sent
during a transfer and those outside it, and prints each part's answer
times as key=value pairs for build/bench/raw.txt.

usage: probestats.py probe.csv WALL_START_US WALL_END_US
"""
import sys


def rank(sorted_values, p):
    if not sorted_values:
        return 0
    return sorted_values[max(0, (len(sorted_values) * p + 99) // 100 - 1)]


def main():
    path, start, end = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    during, outside, unanswered = [], [], 0
    with open(path, encoding="utf-8") as f:
        next(f, None)
        for row in f:
            wall, latency, answered = row.strip().split(",")
            sample = float(latency)
            if start <= int(wall) <= end:
                during.append(sample)
                unanswered += answered != "1"
            else:
                outside.append(sample)
    during.sort()
    outside.sort()
    print(f"during_n={len(during)} during_unanswered={unanswered} "
          f"during_p50_us={rank(during, 50):.0f} during_p99_us={rank(during, 99):.0f} "
          f"during_max_us={(during[-1] if during else 0):.0f} "
          f"idle_n={len(outside)} idle_p50_us={rank(outside, 50):.0f} "
          f"idle_p99_us={rank(outside, 99):.0f}")


if __name__ == "__main__":
    main()
