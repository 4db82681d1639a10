#!/usr/bin/env python3
"""Line and branch coverage per module from gcovr's JSON summary, and the totals of each tree.

Usage: coverage-report.py SUMMARY.json

A module is a name.hpp / name.cpp pair (firmware/xport/xport counts its .hpp and .cpp together). Prints a
Markdown report: the totals of firmware/, platform/ and sitl/, then one table per tree.
"""
import collections
import json
import sys

TREES = ("firmware", "platform", "sitl")


def pct(covered: int, total: int) -> str:
    return f"{100.0 * covered / total:.1f} %" if total else "-"


def main() -> None:
    files = json.load(open(sys.argv[1]))["files"]
    modules = collections.defaultdict(lambda: [0, 0, 0, 0])  # lines covered, lines, branches covered, branches
    for f in files:
        name = f["filename"].rsplit(".", 1)[0]
        m = modules[name]
        m[0] += f["line_covered"]
        m[1] += f["line_total"]
        m[2] += f["branch_covered"]
        m[3] += f["branch_total"]

    out = ["| tree | lines | branches |", "| --- | --- | --- |"]
    for tree in TREES:
        rows = [v for k, v in modules.items() if k.startswith(tree + "/")]
        lc, lt, bc, bt = (sum(r[i] for r in rows) for i in range(4))
        out.append(f"| {tree}/ | {pct(lc, lt)} ({lc}/{lt}) | {pct(bc, bt)} ({bc}/{bt}) |")
    for tree in TREES:
        out += ["", f"### {tree}/", "", "| module | lines | branches |", "| --- | --- | --- |"]
        for name in sorted(k for k in modules if k.startswith(tree + "/")):
            lc, lt, bc, bt = modules[name]
            out.append(f"| {name[len(tree) + 1:]} | {pct(lc, lt)} ({lc}/{lt}) | {pct(bc, bt)} ({bc}/{bt}) |")
    print("\n".join(out))


if __name__ == "__main__":
    main()
