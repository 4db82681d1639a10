#!/usr/bin/env python3
"""Replaces one section of docs/assurance.md with the text on standard input.

Usage: assurance.py SECTION < text

Each command that measures something (make coverage, make lint, make stack, make fuzz-long, make soak) owns
one section, between `<!-- SECTION -->` and `<!-- /SECTION -->`; a section not there yet is added at the end.
"""
import pathlib
import sys

DOC = pathlib.Path(__file__).resolve().parent.parent / "docs" / "assurance.md"
HEADER = """# Assurance figures

What the node's evidence commands measured, each section written by its command (do not edit by hand):
`make coverage`, `make lint`, `make stack`, `make fuzz-long`, `make soak`.
"""


def main() -> None:
    section = sys.argv[1]
    body = sys.stdin.read().rstrip("\n")
    start, end = f"<!-- {section} -->", f"<!-- /{section} -->"
    text = DOC.read_text() if DOC.exists() else HEADER
    block = f"{start}\n{body}\n{end}"
    if start in text and end in text:
        before = text[: text.index(start)]
        after = text[text.index(end) + len(end):]
        text = before + block + after
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    DOC.write_text(text)


if __name__ == "__main__":
    main()
