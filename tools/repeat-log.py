#!/usr/bin/env python3
"""Repeats the frames of a candump log: COUNT copies, SPACING_US apart, the first at START_US; each copy
keeps the frames' own spacing. Writes the result to stdout.

usage: repeat-log.py LOG COUNT SPACING_US [START_US]
"""
import re
import sys


def main():
    path, count, spacing = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    start = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    frames = []
    with open(path) as log:
        for line in log:
            m = re.match(r"\((\d+)\.(\d{6})\) (.*)", line.strip())
            if m:
                frames.append((int(m.group(1)) * 1000000 + int(m.group(2)), m.group(3)))
    first = frames[0][0] if frames else 0
    for i in range(count):
        for us, rest in frames:
            t = start + i * spacing + us - first
            sys.stdout.write("(%d.%06d) %s\n" % (t // 1000000, t % 1000000, rest))


if __name__ == "__main__":
    main()
