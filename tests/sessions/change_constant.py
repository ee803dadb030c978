#!/usr/bin/env python3
"""Copies a source file with one line changed: change_constant.py IN OUT OLD NEW.

OLD must occur exactly once in IN, so that the copy differs from the library
in that one constant and a change of the source cannot go unnoticed."""
import sys

source, out, old, new = sys.argv[1:5]
text = open(source, encoding="utf-8").read()
if text.count(old) != 1:
    sys.exit(f"{source}: '{old}' occurs {text.count(old)} times, not once")
with open(out, "w", encoding="utf-8") as f:
    f.write(text.replace(old, new))
