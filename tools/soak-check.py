#!/usr/bin/env python3
"""Judges a soak run from the replayed log and endpoint-sitl's --out.

Per bus: the client's requests (node 125) against the answers it got, the pool usage its first and last
answers report (a GetSet read of CANn_CurrBlocks), the node's NodeStatus broadcasts and the longest gap
between two outside the bus's outage, and transfers the node sent that are not whole (a frame missing,
out of toggle, or a new start before the end). Prints the figures; exits 1 if a request went unanswered,
a transfer was not whole, a NodeStatus was missed or a pool did not come back to its first reading.

usage: soak-check.py REPLAY_LOG OUT_LOG [canN@FROM:TO]   (the outage as given to --disconnect, if any)
"""
import re
import sys

from canframe import candump_frames

CLIENT = 125
GETSET_ID = 11
NODESTATUS_ID = 341
NODESTATUS_GAP_US = 1_100_000  # once a second, and some room for a busy bus


def transfers(sent):
    """Reassembles each bus's and identifier's frames: (whole transfers as (time, bus, id, payload), broken)."""
    whole, broken, open_ = [], 0, {}
    for t, bus, can_id, data in sent:
        if not data:
            broken += 1
            continue
        tail = data[-1]
        start, end, toggle, tid = tail & 0x80, tail & 0x40, (tail >> 5) & 1, tail & 0x1F
        key = (bus, can_id)
        if start:
            if key in open_:
                broken += 1  # a new start before the end of the one before
                del open_[key]
            if end:
                whole.append((t, bus, can_id, data[:-1]))
            else:
                open_[key] = {"tid": tid, "toggle": 0, "payload": bytearray(data[2:-1])}
            continue
        state = open_.get(key)
        if state is None or toggle != state["toggle"] ^ 1 or tid != state["tid"]:
            broken += 1
            open_.pop(key, None)
            continue
        state["toggle"] = toggle
        state["payload"] += data[:-1]
        if end:
            whole.append((t, bus, can_id, bytes(state["payload"])))
            del open_[key]
    return whole, broken + len(open_)


def main():
    replay, out = sys.argv[1], sys.argv[2]
    outage = None
    if len(sys.argv) > 3:
        m = re.match(r"can(\d)@([\d.]+):([\d.]+)$", sys.argv[3])
        outage = (int(m.group(1)), float(m.group(2)) * 1e6, float(m.group(3)) * 1e6)
    requests = [0, 0, 0]
    for _, bus, can_id, data in candump_frames(replay):
        if can_id & 0x7F == CLIENT and (can_id >> 7) & 1 and (can_id >> 15) & 1 and (can_id >> 16) & 0xFF == GETSET_ID:
            requests[bus] += 1
    whole, broken = transfers(candump_frames(out))
    ok = broken == 0
    for bus in range(3):
        answers = [p for t, b, i, p in whole if b == bus and (i >> 7) & 1 and not (i >> 15) & 1
                   and (i >> 8) & 0x7F == CLIENT]
        usage = [int.from_bytes(p[1:9], "little", signed=True) for p in answers if len(p) >= 9 and p[0] == 1]
        status = [t for t, b, i, p in whole if b == bus and not (i >> 7) & 1 and (i >> 8) & 0xFFFF == NODESTATUS_ID]
        gaps = [(a, b2) for a, b2 in zip(status, status[1:])
                if not (outage and outage[0] == bus and a < outage[2] and b2 > outage[1])]
        longest = max((b2 - a for a, b2 in gaps), default=0)
        bus_ok = (len(answers) == requests[bus] and len(usage) >= 2 and usage[-1] == usage[0]
                  and longest <= NODESTATUS_GAP_US and len(status) > 0)
        ok = ok and bus_ok
        print("CAN%d: requests %d answered %d; pool blocks in use first %s last %s; NodeStatus %d, longest gap "
              "%d ms%s; %s" % (bus + 1, requests[bus], len(answers), usage[0] if usage else "-",
                               usage[-1] if usage else "-", len(status), longest // 1000,
                               " (outside its outage)" if outage and outage[0] == bus else "",
                               "ok" if bus_ok else "FAILED"))
    print("transfers sent %d, not whole %d" % (len(whole), broken))
    print("soak: " + ("passed" if ok else "FAILED"))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
