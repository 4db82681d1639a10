#!/usr/bin/env python3
"""tools/app-descriptor.py's patch step on a git tree of our own making: the descriptor's flags byte is 1
(release) on a clean tree and 3 (release, dirty) once a tracked file has changed; an untracked file, such as
a build directory, leaves the tree clean.

  app_descriptor_test.py SCRIPT    SCRIPT: tools/app-descriptor.py
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

MAGIC = b"APDesc00"
FLAGS_AT = 26  # in the descriptor
BIN_AT = 16    # where the descriptor lies in the test's BIN
SCRIPT = sys.argv.pop(1) if len(sys.argv) > 1 else None


def descriptor(flags):
    return MAGIC + struct.pack("<QIIBBBBI", 0, 0, 0, 1, 0, flags, 0, 0)


def elf_with(desc):
    """A little-endian ELF32 file: one loaded segment at 0x08020000, the test's BIN as the linker leaves it
    (zeros where BIN has 0xAA, the gaps between sections), and a section .app_descriptor BIN_AT into it."""
    names = b"\0.shstrtab\0.app_descriptor\0"
    loaded = bytes(BIN_AT) + desc + bytes(8)
    seg_at = 52 + 32
    names_at = seg_at + len(loaded)
    shoff = names_at + len(names)
    header = (b"\x7fELF\x01\x01\x01" + bytes(9) +
              struct.pack("<HHIIIIIHHHHHH", 2, 40, 1, 0, 52, shoff, 0, 52, 32, 1, 40, 3, 1))
    segment = struct.pack("<8I", 1, seg_at, 0x08020000, 0x08020000, len(loaded), len(loaded), 5, 8)
    sections = (bytes(40) +
                struct.pack("<10I", 1, 3, 0, 0, names_at, len(names), 0, 0, 1, 0) +
                struct.pack("<10I", 11, 1, 2, 0x08020000 + BIN_AT, seg_at + BIN_AT, len(desc), 0, 0, 8, 0))
    return header + segment + loaded + names + sections


class Flags(unittest.TestCase):
    def setUp(self):
        self.tree = tempfile.mkdtemp(prefix="app_descriptor_test_")
        os.makedirs(os.path.join(self.tree, "tools"))
        shutil.copy(SCRIPT, os.path.join(self.tree, "tools", "app-descriptor.py"))
        with open(os.path.join(self.tree, "tracked.txt"), "w") as f:
            f.write("one\n")
        self.git("init", "-q")
        self.git("add", "tools", "tracked.txt")
        self.git("-c", "user.name=t", "-c", "user.email=t@example.com", "commit", "-q", "-m", "one")

    def tearDown(self):
        shutil.rmtree(self.tree)

    def git(self, *args):
        return subprocess.run(["git", "-C", self.tree, *args], check=True, capture_output=True,
                              text=True).stdout

    def patched_flags(self, flags_before):
        """The flags byte the script writes into BIN (and ELF) over a descriptor holding flags_before."""
        out = os.path.join(self.tree, "build")
        os.makedirs(out, exist_ok=True)  # untracked, as a build directory in the source tree is
        paths = [os.path.join(out, n) for n in ("endpoint.elf", "endpoint.bin", "endpoint.hex")]
        with open(paths[0], "wb") as f:
            f.write(elf_with(descriptor(flags_before)))
        with open(paths[1], "wb") as f:
            f.write(b"\xAA" * BIN_AT + descriptor(flags_before) + b"\xAA" * 8)
        subprocess.run([sys.executable, os.path.join(self.tree, "tools", "app-descriptor.py"), "patch", *paths],
                       check=True, capture_output=True)
        with open(paths[1], "rb") as f:
            image = f.read()
        with open(paths[0], "rb") as f:
            elf = f.read()
        self.assertIn(image[BIN_AT:BIN_AT + 32], elf, "ELF and BIN carry the same descriptor")
        self.assertEqual(elf[52 + 32:52 + 32 + len(image)], image, "every byte the ELF loads is BIN's")
        commit, = struct.unpack_from("<I", image, BIN_AT + 20)
        self.assertEqual(f"{commit:08x}", self.git("rev-parse", "HEAD")[:8])
        return image[BIN_AT + FLAGS_AT]

    def test_clean_tree_is_one_and_a_changed_tracked_file_three(self):
        self.assertEqual(self.patched_flags(3), 1, "clean, whatever the compiled-in dirty bit said")
        with open(os.path.join(self.tree, "untracked.txt"), "w") as f:
            f.write("x")
        self.assertEqual(self.patched_flags(1), 1, "untracked files leave the tree clean")
        with open(os.path.join(self.tree, "tracked.txt"), "a") as f:
            f.write("two\n")
        self.assertEqual(self.patched_flags(1), 3)


if __name__ == "__main__":
    unittest.main()
