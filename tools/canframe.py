"""CAN frames for the scripts that write and judge bus logs: reading a candump log, and what a frame costs
on the wire."""
import re

TAIL_BITS = 13  # CRC delimiter, ACK slot and delimiter, 7 end-of-frame bits, 3 intermission bits


def frame_bits(can_id, data, extended=True):
    """Bits a data frame takes on the wire, stuff bits included (1 us each at 1 Mbit/s)."""
    bits = [0]  # start of frame
    if extended:
        bits += [(can_id >> i) & 1 for i in range(28, 17, -1)]  # base identifier
        bits += [1, 1]  # SRR, IDE
        bits += [(can_id >> i) & 1 for i in range(17, -1, -1)]  # identifier extension
        bits += [0, 0, 0]  # RTR, r1, r0
    else:
        bits += [(can_id >> i) & 1 for i in range(10, -1, -1)]
        bits += [0, 0, 0]  # RTR, IDE, r0
    bits += [(len(data) >> i) & 1 for i in range(3, -1, -1)]
    for byte in data:
        bits += [(byte >> i) & 1 for i in range(7, -1, -1)]
    crc = 0
    for bit in bits:
        feedback = bit ^ ((crc >> 14) & 1)
        crc = (crc << 1) & 0x7FFF
        if feedback:
            crc ^= 0x4599
    bits += [(crc >> i) & 1 for i in range(14, -1, -1)]
    length, run, last = 0, 0, None
    for bit in bits:
        length += 1
        run = run + 1 if bit == last else 1
        last = bit
        if run == 5:
            length += 1  # the stuff bit, of opposite value, starts a new run
            last, run = 1 - bit, 1
    return length + TAIL_BITS

CANDUMP_LINE = re.compile(r"\((\d+)\.(\d+)\) can(\d) ([0-9A-F]+)#([0-9A-F]*)")


def candump_frames(path):
    """The frames of a candump log as (microseconds, bus, identifier, data)."""
    with open(path) as f:
        for line in f:
            m = CANDUMP_LINE.match(line.strip())
            if m:
                yield (int(m.group(1)) * 1000000 + int(m.group(2)), int(m.group(3)), int(m.group(4), 16),
                       bytes.fromhex(m.group(5)))
