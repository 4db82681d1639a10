#!/usr/bin/env python3
"""Replaces one section of the assurance report with the text on standard input.

Usage: assurance.py SECTION < text

Each command that measures something (make coverage, make lint, make stack, make fuzz-long, make soak) owns
one section, between `<!-- SECTION -->` and `<!-- /SECTION -->`; a section not there yet is added at the end.

The report is build/assurance.md unless ASSURANCE_DOC names another file: running the tests leaves the
tree as it was, and only `make assurance` (which names docs/assurance.md) refreshes the committed figures.
A report not there yet starts from the committed one, so sections not measured this time keep their text.
"""
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
COMMITTED = ROOT / "docs" / "assurance.md"
DOC = ROOT / (os.environ.get("ASSURANCE_DOC") or "build/assurance.md")
HEADER = """# Assurance figures

What the node's evidence commands measured, each section written by its command (do not edit by hand):
`make coverage`, `make lint`, `make stack`, `make fuzz-long`, `make soak`.
"""


def main() -> None:
    section = sys.argv[1]
    body = sys.stdin.read().rstrip("\n")
    start, end = f"<!-- {section} -->", f"<!-- /{section} -->"
    source = DOC if DOC.exists() else COMMITTED
    text = source.read_text() if source.exists() else HEADER
    block = f"{start}\n{body}\n{end}"
    if start in text and end in text:
        before = text[: text.index(start)]
        after = text[text.index(end) + len(end):]
        text = before + block + after
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    DOC.parent.mkdir(parents=True, exist_ok=True)
    DOC.write_text(text)
    print(f"{section}: written into {DOC}", file=sys.stderr)


if __name__ == "__main__":
    main()
