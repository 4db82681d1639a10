#!/usr/bin/env python3
"""Writes a candump log that keeps all three buses at 100 % load with the shortest frames.

Every bus always has a frame waiting (one is offered every 70 us, a little faster than a one-byte
frame takes on a 1 Mbit/s bus), so the bus never idles. On CAN1 a flight controller (node 10) votes
for CAN1 every 20 ms and sends a RawCommand every 2.5 ms; on CAN2 and CAN3 another one (nodes 20, 30)
sends RawCommands that only make the bus visible. Each of them asks the node for parameter 0 (a GetSet
read, node 110 + bus) every second, half a second into it. Everything else is foreign traffic of a data
type the node does not accept, at the lowest priority, one data byte (the tail byte) each.

The load starts at START_SECONDS (default 0: already there when the node powers on).

usage: fullload-log.py SECONDS [START_SECONDS] > full-load.log
"""
import sys

STEP_US = 70
VOTE_US = 20000
COMMAND_US = 2500
GETSET_US = 1000000


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    start_us = int(float(sys.argv[2]) * 1e6) if len(sys.argv) > 2 else 0
    end_us = int(seconds * 1e6)
    out = sys.stdout
    for bus, node in ((0, 10), (1, 20), (2, 30)):
        tid = {"vote": 0, "cmd": 0, "foreign": 0, "getset": 0}
        next_vote = start_us + 1000 if bus == 0 else end_us
        next_cmd = start_us + 1500
        next_getset = start_us + GETSET_US // 2
        for t in range(start_us, end_us, STEP_US):
            stamp = "(%d.%06d) can%d " % (t // 1000000, t % 1000000, bus)
            if t >= next_getset:
                # GetSet request, priority 30, to node 110 + bus: index 0, empty value, no name.
                g = tid["getset"]
                out.write(stamp + "1E0B%02X%02X#0000%02X\n" % (0x80 | (110 + bus), 0x80 | node, 0xC0 | g))
                tid["getset"] = (g + 1) % 32
                next_getset += GETSET_US
            elif t >= next_vote:
                # UseFlightController from node 10 for CAN1, two frames (the CRC covers the payload only).
                v = tid["vote"]
                out.write(stamp + "184E8F%02X#EFA3A0A0A0A0A0%02X\n" % (node, 0x80 | v))
                out.write(stamp + "184E8F%02X#A0A0A00000%02X\n" % (node, 0x60 | v))
                tid["vote"] = (v + 1) % 32
                next_vote += VOTE_US
            elif t >= next_cmd:
                c = tid["cmd"]
                out.write(stamp + "180406%02X#705DC17705DC17%02X\n" % (node, 0xC0 | c))
                tid["cmd"] = (c + 1) % 32
                next_cmd += COMMAND_US
            else:
                f = tid["foreign"]
                out.write(stamp + "1F7D0032#%02X\n" % (0xC0 | f))
                tid["foreign"] = (f + 1) % 32


if __name__ == "__main__":
    main()
