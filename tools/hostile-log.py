#!/usr/bin/env python3
"""Writes a hostile candump log for all three buses, for the soak.

From 10 s until 30 s before the end (in a short run, from a tenth of it until a quarter before its end)
the buses carry, in random order and timing (seeded, so repeatable): random frames (any identifier,
standard or extended, any length and data); frames aimed at the data types the node accepts,
single-frame transfers with random payloads and multi-frame transfers that are cut off, interleaved with
another source's, or have frames repeated, about 40 % of the bus; and every 20 s a burst of 200 ms at the
full bus rate (each frame offered as the one before ends). Through the whole run a well-behaved client
(node 125) asks the node on each bus every 10 s for that bus's pool usage (a GetSet read of
CANn_CurrBlocks), so the first answer is the baseline, and the last ones, after the traffic has stopped,
show whether the pools came back to it. Hostile traffic never uses the client's or the node's own node
IDs as its source.

usage: hostile-log.py SECONDS [SEED] > soak.log
"""
import random
import sys

from canframe import frame_bits

CLIENT = 125
NODE_IDS = (110, 111, 112)
CURR_BLOCKS_ROW = 19  # CAN1_CurrBlocks; CAN2 and CAN3 follow
TRAFFIC_START_US = 10_000_000
QUIET_TAIL_US = 30_000_000
REQUEST_PERIOD_US = 10_000_000
BURST_PERIOD_US = 20_000_000
BURST_US = 200_000
QUIET_GAP_MEAN_US = 700  # between bursts, random gaps of this mean keep a bus about 40 % busy

# (data type ID, service?) the node accepts.
ACCEPTED = [(1, True), (4, True), (5, True), (10, True), (11, True),  # GetNodeInfo, stats, restart, opcode, GetSet
            (1, False), (341, False), (1010, False), (1030, False),  # allocation, NodeStatus, commands
            (20111, False), (20113, False)]                          # vote, ignore order


def frame_line(t_us, bus, can_id, data, extended=True):
    ident = "%08X" % can_id if extended else "%03X" % can_id
    return "(%d.%06d) can%d %s#%s" % (t_us // 1000000, t_us % 1000000, bus, ident, "".join("%02X" % b for b in data))


def hostile_source(rng):
    while True:
        node = rng.randint(1, 127)
        if node != CLIENT and node not in NODE_IDS:
            return node


def aimed_id(rng, bus, source):
    data_type, service = rng.choice(ACCEPTED)
    priority = rng.randint(0, 31)
    if service:
        request = rng.random() < 0.9
        dest = NODE_IDS[bus] if rng.random() < 0.8 else rng.randint(1, 127)
        return (priority << 24) | (data_type << 16) | (int(request) << 15) | (dest << 8) | 0x80 | source
    return (priority << 24) | (data_type << 8) | source


def random_frame(rng):
    data = bytes(rng.randrange(256) for _ in range(rng.randint(0, 8)))
    if rng.random() < 0.1:
        return rng.randint(0, 0x7FF), data, False
    while True:
        can_id = rng.randint(0, 0x1FFFFFFF)
        if can_id & 0x7F != CLIENT:  # the client's identity stays its own
            return can_id, data, True


def multi_frame(rng, can_id, tid, cut):
    """Frames of a multi-frame transfer with a random payload (and a random CRC), maybe cut short."""
    payload = [rng.randrange(256) for _ in range(rng.randint(8, 60))]
    chunks = [[rng.randrange(256), rng.randrange(256)] + payload[:5]]
    rest = payload[5:]
    while rest:
        chunks.append(rest[:7])
        rest = rest[7:]
    frames = []
    for i, chunk in enumerate(chunks):
        tail = (0x80 if i == 0 else 0) | (0x40 if i == len(chunks) - 1 else 0) | ((i & 1) << 5) | tid
        frames.append((can_id, bytes(chunk + [tail])))
    if cut:
        frames = frames[:rng.randint(1, max(1, len(frames) - 1))]
    return frames


def is_erase_request(can_id, payload):
    """An ExecuteOpcode request for ERASE: its sector erases stall the node by design (while no flight
    controller is elected), a second each, which the soak's NodeStatus gaps would take for a fault."""
    return (can_id >> 16) & 0xFF == 10 and can_id & 0x8080 == 0x8080 and payload[:1] == bytes([1])


def hostile_event(rng, bus):
    """A list of frames that go out back to back."""
    kind = rng.random()
    if kind < 0.4:
        can_id, data, ext = random_frame(rng)
        return [(can_id, data, ext)]
    source = hostile_source(rng)
    can_id = aimed_id(rng, bus, source)
    tid = rng.randrange(32)
    if kind < 0.7:
        payload = bytes(rng.randrange(256) for _ in range(rng.randint(0, 7)))
        if is_erase_request(can_id, payload):
            payload = bytes([0]) + payload[1:]  # SAVE instead
        return [(can_id, payload + bytes([0xC0 | tid]), True)]
    frames = multi_frame(rng, can_id, tid, cut=rng.random() < 0.5)
    if kind < 0.85:
        # Interleaved with another source's transfer of the same type.
        other = multi_frame(rng, (can_id & ~0x7F) | hostile_source(rng), rng.randrange(32), cut=False)
        mixed = []
        for i in range(max(len(frames), len(other))):
            mixed += frames[i:i + 1] + other[i:i + 1]
        frames = mixed
    elif len(frames) > 1:
        i = rng.randrange(len(frames))
        frames.insert(i, frames[i])  # a frame repeated
    return [(c, d, True) for c, d in frames]


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 600.0
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    end_us = int(seconds * 1e6)
    # A short run keeps the shape: the first request before the traffic, the last ones after it.
    traffic_start_us = min(TRAFFIC_START_US, end_us // 10)
    traffic_end_us = max(traffic_start_us, end_us - min(QUIET_TAIL_US, end_us // 4))
    lines = []
    for bus in range(3):
        rng = random.Random(seed * 3 + bus)
        node = NODE_IDS[bus]
        request_id = (30 << 24) | (11 << 16) | (1 << 15) | (node << 8) | 0x80 | CLIENT
        tid = 0
        for t in range(REQUEST_PERIOD_US // 2, end_us, REQUEST_PERIOD_US):
            index = CURR_BLOCKS_ROW + bus  # 13-bit index, empty value, no name
            lines.append((t, frame_line(t, bus, request_id, [index & 0xFF, (index >> 8) & 0x1F, 0xC0 | tid])))
            tid = (tid + 1) % 32
        t = traffic_start_us
        while t < traffic_end_us:
            in_burst = (t - traffic_start_us) % BURST_PERIOD_US < BURST_US
            # An event's frames back to back, each offered as the one before ends on the wire.
            for can_id, data, ext in hostile_event(rng, bus):
                lines.append((t, frame_line(t, bus, can_id, data, ext)))
                t += frame_bits(can_id, data, ext)
            if not in_burst:
                t += int(rng.expovariate(1.0 / QUIET_GAP_MEAN_US))
    lines.sort(key=lambda line: line[0])
    sys.stdout.write("".join(line + "\n" for _, line in lines))


if __name__ == "__main__":
    main()
