#!/usr/bin/env python3
"""The application descriptor the bootloader checks, filled after the link.

  app-descriptor.py header OUT             the build's commit as C++ constants (rewritten only on change)
  app-descriptor.py patch ELF BIN HEX     fills the descriptor in BIN (made from ELF, gaps 0xFF as erased
                                           flash reads) and writes the same bytes into ELF, then makes HEX
                                           from BIN, gaps included: one image, three files
  app-descriptor.py combine BOOT APP BIN HEX
                                           the flash of a blank chip: the bootloader's BOOT at 0x08000000,
                                           0xFF up to the application's APP at 0x08020000, as BIN and HEX
  app-descriptor.py stamp BIN OUT COMMIT   a copy of BIN as OUT with vcs_commit COMMIT (hex) and image_crc
                                           filled again: another image to update to, for tests and the desk

The descriptor: "APDesc00", image_crc (u64), image_size (u32), vcs_commit (u32), major, minor, flags,
reserved, build_timestamp_utc (u32), little-endian, on an 8-byte boundary. image_crc is CRC-64-WE over the
whole BIN with its own 8 bytes taken as zero. The time stamp is the commit's, so one commit gives one image.
"""
import os
import struct
import subprocess
import sys

MAGIC = b"APDesc00"
DESCRIPTOR_BYTES = 32
FLAG_DIRTY = 2
CRC64_WE_POLY = 0x42F0E1EBA9EA3693
MASK64 = (1 << 64) - 1
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def crc64we(data):
    crc = MASK64
    for byte in data:
        crc ^= byte << 56
        for _ in range(8):
            crc = ((crc << 1) ^ CRC64_WE_POLY) & MASK64 if crc & (1 << 63) else (crc << 1) & MASK64
    return crc ^ MASK64


def git(*args):
    return subprocess.run(["git", "-C", SOURCE_DIR, *args], capture_output=True, text=True, check=True).stdout


def build_state():
    """(commit as the first 8 hex digits, dirty, commit time); (0, False, 0) outside git."""
    try:
        commit = int(git("rev-parse", "HEAD").strip()[:8], 16)
        dirty = git("status", "--porcelain", "--untracked-files=no").strip() != ""
        when = int(git("show", "-s", "--format=%ct", "HEAD").strip())
    except (OSError, subprocess.CalledProcessError, ValueError):
        return 0, False, 0
    return commit, dirty, when


def write_header(out):
    commit, dirty, _ = build_state()
    text = ("#pragma once\n// Written by tools/app-descriptor.py at every build.\n#include <cstdint>\n"
            f"inline constexpr uint32_t kBuildCommit = 0x{commit:08X}U;\n"
            f"inline constexpr bool kBuildDirty = {'true' if dirty else 'false'};\n")
    try:
        with open(out, encoding="ascii") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, "w", encoding="ascii") as f:
        f.write(text)


def elf_section(elf, name):
    """File offset and size of the named section of a little-endian ELF32 file."""
    shoff, = struct.unpack_from("<I", elf, 0x20)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", elf, 0x2E)
    headers = [struct.unpack_from("<IIIIII", elf, shoff + i * shentsize) for i in range(shnum)]
    names = headers[shstrndx][4]
    for h in headers:
        end = elf.index(b"\0", names + h[0])
        if elf[names + h[0]:end].decode() == name:
            return h[4], h[5]
    raise SystemExit(f"app-descriptor: no section {name}")


def flash_segments(elf):
    """(file offset, load address, size) of each PT_LOAD segment of the ELF32 file with bytes in the file."""
    phoff, = struct.unpack_from("<I", elf, 0x1C)
    phentsize, phnum = struct.unpack_from("<HH", elf, 0x2A)
    segments = [struct.unpack_from("<IIIIII", elf, phoff + i * phentsize) for i in range(phnum)]
    return [(p[1], p[3], p[4]) for p in segments if p[0] == 1 and p[4] > 0]


def load_address(elf):
    """The lowest flash address a loaded segment of the ELF32 file occupies: where BIN starts."""
    return min(paddr for _, paddr, _ in flash_segments(elf))


def intel_hex(image, base):
    def record(kind, address, data):
        body = bytes([len(data), address >> 8, address & 0xFF, kind]) + data
        return ":" + (body + bytes([-sum(body) & 0xFF])).hex().upper() + "\n"
    lines = []
    for at in range(0, len(image), 16):
        address = base + at
        if at == 0 or address & 0xFFFF == 0:
            lines.append(record(4, 0, struct.pack(">H", address >> 16)))
        lines.append(record(0, address & 0xFFFF, bytes(image[at:at + 16])))
    return "".join(lines) + record(1, 0, b"")


def patch(elf_path, bin_path, hex_path):
    if crc64we(b"123456789") != 0x62EC59E3F1A4F00A:
        raise SystemExit("app-descriptor: CRC-64-WE routine is wrong")
    image = bytearray(open(bin_path, "rb").read())
    places = [at for at in range(0, len(image), 8) if image[at:at + 8] == MAGIC]
    if len(places) != 1:
        raise SystemExit(f"app-descriptor: {bin_path} holds {len(places)} descriptors, not one")
    at = places[0]
    commit, dirty, when = build_state()
    flags = (image[at + 26] & ~FLAG_DIRTY) | (FLAG_DIRTY if dirty else 0)
    struct.pack_into("<QIIBBBBI", image, at + 8, 0, len(image), commit, image[at + 24], image[at + 25], flags,
                     image[at + 27], when)
    struct.pack_into("<Q", image, at + 8, crc64we(image))
    descriptor = bytes(image[at:at + DESCRIPTOR_BYTES])

    elf = bytearray(open(elf_path, "rb").read())
    offset, size = elf_section(elf, ".app_descriptor")
    if size != DESCRIPTOR_BYTES or elf[offset:offset + 8] != MAGIC:
        raise SystemExit("app-descriptor: .app_descriptor is not the 32-byte descriptor")
    # Every byte the ELF loads into flash as BIN holds it: the descriptor, and the gaps between sections,
    # which the linker leaves as zeros. An image flashed from the ELF then has the CRC of the BIN.
    base = load_address(elf)
    for p_offset, p_paddr, p_filesz in flash_segments(elf):
        elf[p_offset:p_offset + p_filesz] = image[p_paddr - base:p_paddr - base + p_filesz]
    if elf[offset:offset + DESCRIPTOR_BYTES] != descriptor:
        raise SystemExit("app-descriptor: the ELF's descriptor is not where BIN has it")
    with open(elf_path, "wb") as f:
        f.write(elf)
    with open(bin_path, "wb") as f:
        f.write(image)
    with open(hex_path, "w", encoding="ascii") as f:
        f.write(intel_hex(image, load_address(elf)))
    crc, = struct.unpack_from("<Q", image, at + 8)
    print(f"app descriptor: image_size {len(image)}, image_crc 0x{crc:016X}, vcs_commit {commit:08x}{' (dirty)' if dirty else ''}, build_timestamp_utc {when}")


def stamp(bin_path, out_path, commit_hex):
    image = bytearray(open(bin_path, "rb").read())
    places = [at for at in range(0, len(image), 8) if image[at:at + 8] == MAGIC]
    if len(places) != 1:
        raise SystemExit(f"app-descriptor: {bin_path} holds {len(places)} descriptors, not one")
    at = places[0]
    struct.pack_into("<I", image, at + 20, int(commit_hex, 16))
    struct.pack_into("<Q", image, at + 8, 0)
    struct.pack_into("<Q", image, at + 8, crc64we(image))
    with open(out_path, "wb") as f:
        f.write(image)
    crc, = struct.unpack_from("<Q", image, at + 8)
    print(f"stamped: vcs_commit {int(commit_hex, 16):08x}, image_crc 0x{crc:016X}")


FLASH_BASE = 0x08000000
BOOTLOADER_BYTES = 128 * 1024


def combine(boot_path, app_path, bin_path, hex_path):
    boot = open(boot_path, "rb").read()
    app = open(app_path, "rb").read()
    if len(boot) > BOOTLOADER_BYTES:
        raise SystemExit(f"app-descriptor: {boot_path} is {len(boot)} bytes, more than the bootloader's 128 KB")
    image = boot + b"\xff" * (BOOTLOADER_BYTES - len(boot)) + app
    with open(bin_path, "wb") as f:
        f.write(image)
    with open(hex_path, "w", encoding="ascii") as f:
        f.write(intel_hex(image, FLASH_BASE))
    print(f"combined image: bootloader {len(boot)} bytes, application {len(app)} bytes, {len(image)} bytes in all")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "header":
        write_header(sys.argv[2])
    elif len(sys.argv) == 5 and sys.argv[1] == "patch":
        patch(*sys.argv[2:])
    elif len(sys.argv) == 6 and sys.argv[1] == "combine":
        combine(*sys.argv[2:])
    elif len(sys.argv) == 5 and sys.argv[1] == "stamp":
        stamp(*sys.argv[2:])
    else:
        raise SystemExit(__doc__)
