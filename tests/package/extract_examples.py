#!/usr/bin/env python3
"""Writes the guide's examples into a folder: every fenced code block that
follows a line "<!-- example: NAME -->" becomes the file NAME, so the tests
build exactly what the guide shows.

    extract_examples.py docs/integration.md OUTDIR
"""
import pathlib
import re
import sys

guide, outdir = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
outdir.mkdir(parents=True, exist_ok=True)
blocks = re.findall(r"<!-- example: (\S+) -->\s*\n```[a-z]*\n(.*?)\n```", guide.read_text(), re.S)
if not blocks:
    sys.exit("no examples found in " + str(guide))
for name, body in blocks:
    (outdir / name).write_text(body + "\n")
    print(name)
