#!/usr/bin/env python3
"""Writes a candump log that keeps all three buses at 100 % load with the shortest frames.

Each frame is offered the moment the one before it ends on the wire (its length computed here, stuff
bits included), so the bus never idles and no backlog builds up in the replaying tool beyond what the
node's own frames add. On CAN1 a flight controller (node 10) votes for CAN1 every 20 ms and sends a
RawCommand and an ArrayCommand every 2.5 ms each, 1.25 ms apart. Commands travel on the elected bus
only, so that every compare write the node makes belongs to the last command before it. On every bus a
client (node 10, 20, 30) asks the node for parameter 0 (a GetSet read, node 110 + bus) every second,
half a second into it. Everything else is foreign traffic of a data type the node does not accept, at
the lowest priority, one data byte (the tail byte) each.

The load starts at START_SECONDS (default 0: already there when the node powers on).

usage: fullload-log.py SECONDS [START_SECONDS] > full-load.log
"""
import sys

from canframe import frame_bits

VOTE_US = 20000
COMMAND_US = 2500
GETSET_US = 1000000


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    start_us = int(float(sys.argv[2]) * 1e6) if len(sys.argv) > 2 else 0
    end_us = int(seconds * 1e6)
    lines = []  # (microseconds, bus, text): written in time order, as a replay takes them
    for bus, node in ((0, 10), (1, 20), (2, 30)):
        tid = {"vote": 0, "cmd": 0, "array": 0, "foreign": 0, "getset": 0}
        next_vote = start_us + 1000 if bus == 0 else end_us
        next_cmd = start_us + 1500 if bus == 0 else end_us
        next_array = next_cmd + COMMAND_US // 2
        next_getset = start_us + GETSET_US // 2
        t = start_us
        while t < end_us:
            if t >= next_getset:
                # GetSet request, priority 30, to node 110 + bus: index 0, empty value, no name.
                g = tid["getset"]
                frames = [(0x1E0B0000 | (0x80 | (110 + bus)) << 8 | 0x80 | node, [0, 0, 0xC0 | g])]
                tid["getset"] = (g + 1) % 32
                next_getset += GETSET_US
            elif t >= next_vote:
                # UseFlightController from node 10 for CAN1, two frames (the CRC covers the payload only).
                v = tid["vote"]
                can_id = 0x184E8F00 | node
                frames = [(can_id, [0xEF, 0xA3, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0x80 | v]),
                          (can_id, [0xA0, 0xA0, 0xA0, 0x00, 0x00, 0x60 | v])]
                tid["vote"] = (v + 1) % 32
                next_vote += VOTE_US
            elif t >= next_cmd:
                c = tid["cmd"]
                frames = [(0x18040600 | node, [0x70, 0x5D, 0xC1, 0x77, 0x05, 0xDC, 0x17, 0xC0 | c])]
                tid["cmd"] = (c + 1) % 32
                next_cmd += COMMAND_US
            elif t >= next_array:
                # ArrayCommand: actuator 5, unitless, 0.25 (float16 0x3400).
                a = tid["array"]
                frames = [(0x1803F200 | node, [0x05, 0x00, 0x00, 0x34, 0xC0 | a])]
                tid["array"] = (a + 1) % 32
                next_array += COMMAND_US
            else:
                f = tid["foreign"]
                frames = [(0x1F7D0032, [0xC0 | f])]
                tid["foreign"] = (f + 1) % 32
            stamp = "(%d.%06d) can%d " % (t // 1000000, t % 1000000, bus)
            at = t
            for can_id, data in frames:
                lines.append((at, bus, stamp + "%08X#%s\n" % (can_id, "".join("%02X" % b for b in data))))
                t += frame_bits(can_id, data)
    lines.sort(key=lambda line: (line[0], line[1]))  # stable: a transfer's frames keep their order
    sys.stdout.writelines(text for _, _, text in lines)


if __name__ == "__main__":
    main()
