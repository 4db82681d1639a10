#!/usr/bin/env python3
"""Whether the node kept its own voice in a run: from the replayed log and endpoint-sitl's --out, per bus,
the service requests addressed to the node against the responses it started, and its NodeStatus
broadcasts with the longest gap between two of them.

usage: own-voice.py REPLAY_LOG OUT_LOG  -> one line per bus: "canN requests R answered A nodestatus S max_gap_ms G"
"""
import sys

from canframe import candump_frames

NODESTATUS_ID = 341


def is_service(can_id):
    return (can_id >> 7) & 1


def starts_transfer(data):
    return len(data) > 0 and (data[-1] & 0x80) != 0


def main():
    replay, out = sys.argv[1], sys.argv[2]
    requests = [0, 0, 0]
    node_ids = [set(), set(), set()]
    answers = [0, 0, 0]
    status_times = [[], [], []]
    for t, bus, can_id, data in candump_frames(out):
        node_ids[bus].add(can_id & 0x7F)
        if is_service(can_id) and not (can_id >> 15) & 1 and starts_transfer(data):
            answers[bus] += 1
        elif not is_service(can_id) and (can_id >> 8) & 0xFFFF == NODESTATUS_ID:
            status_times[bus].append(t)
    for t, bus, can_id, data in candump_frames(replay):
        if is_service(can_id) and (can_id >> 15) & 1 and (can_id >> 8) & 0x7F in node_ids[bus] and starts_transfer(data):
            requests[bus] += 1
    for bus in range(3):
        times = status_times[bus]
        gap = max((b - a for a, b in zip(times, times[1:])), default=0)
        print("can%d requests %d answered %d nodestatus %d max_gap_ms %d"
              % (bus + 1, requests[bus], answers[bus], len(times), gap // 1000))


if __name__ == "__main__":
    main()
