#!/usr/bin/env python3
"""Runs the commands of docs/sitl.md that need no real device, as a user would paste them: the vendor
types' install (into a scratch home), endpoint-sitl -h, the scripted firmware update (with the chip's
images built), and the python-can script against the node on an SLCAN terminal. Exit 77 (skipped) without
python-can.

usage: sitl_doc_test.py DOC ENDPOINT_SITL
"""
import os
import re
import subprocess
import sys
import tempfile
import time


def blocks(doc):
    return re.findall(r"```(\w*)\n(.*?)```", doc, re.S)


def main():
    doc_path, sitl = sys.argv[1], sys.argv[2]
    root = os.path.dirname(os.path.dirname(os.path.abspath(doc_path)))
    doc = open(doc_path).read()
    found = blocks(doc)
    with tempfile.TemporaryDirectory() as scratch:
        # The three lines that install the vendor types, into a home of our own.
        install = next(text for _, text in found if "dronecan_vendor_specific_types" in text)
        listing = subprocess.run(["bash", "-e", "-c", install], cwd=root, env=dict(os.environ, HOME=scratch),
                                 capture_output=True, text=True, check=True).stdout.split()
        assert sorted(listing) == sorted(os.listdir(os.path.join(root, "docs/dsdl/qon/zb5"))), listing

        subprocess.run([sitl, "-h"], check=True, capture_output=True)

        # The scripted update, as pasted, in a directory of our own: the new image's commit in GetNodeInfo.
        if os.path.exists(os.path.join(root, "build/stm32f413/bootloader.elf")):
            update = next(text for _, text in found if "--file-server /tmp/update" in text)
            update = update.replace("/tmp/update", os.path.join(scratch, "update"))
            update = update.replace("build/host/sitl/endpoint-sitl", sitl)
            subprocess.run(["bash", "-e", "-c", update], cwd=root, check=True, capture_output=True, timeout=120)
            sent = open(os.path.join(scratch, "update", "out.log")).read()
            assert "100164EE#0000010003B0B0" in sent, "no GetNodeInfo answer with commit b0b0b0b0"
            console = open(os.path.join(scratch, "update", "console.txt")).read()
            assert "image accepted" in console, console

        try:
            import can  # noqa: F401  (Debian's python3-can)
        except ImportError:
            print("python-can is not installed (apt-get install python3-can): skipped")
            return 77
        # The node as the page starts it, on a terminal of our own, and the script against it.
        start = next(text for _, text in found if "slcan:pty:/tmp/endpoint-can1 --can2 none" in text).strip()
        script = next(text for kind, text in found if kind == "python" and "import can" in text)
        link = os.path.join(scratch, "endpoint-can1")
        args = start.rstrip("&").replace("/tmp/endpoint-can1", link).split()
        args[0] = sitl
        node = subprocess.Popen(args + ["--until", "30"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True)
        try:
            until = time.time() + 10
            while not os.path.islink(link) and time.time() < until:
                time.sleep(0.05)
            out = subprocess.run([sys.executable, "-c", script.replace("/tmp/endpoint-can1", link)],
                                 capture_output=True, text=True, timeout=20)
            assert out.returncode == 0, out.stderr
            assert "1e010aee" in out.stdout, out.stdout  # GetNodeInfo answered, 110 to 10
        finally:
            node.terminate()
            node.wait(timeout=10)
    print("docs/sitl.md: commands ran")
    return 0


if __name__ == "__main__":
    sys.exit(main())
