#!/usr/bin/env python3
"""Checks that two builds carry the same bytes for every library message.

Every string literal of the library's sources that is not plain ASCII (the
GBK messages, the dictionary's item names, the master file's name) is turned
into the bytes the build must hold, the way cmake/gbk_literals.py converts
it, and looked for in the layer archives of each build tree given. A literal
missing from a tree means that compiler built different bytes.

    check_message_bytes.py BUILD_TREE [BUILD_TREE...]
"""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "cmake"))
import gbk_literals  # noqa: E402

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), ".."))
LAYERS = ["core", "platform", "link", "reader", "card", "dictionary", "services", "interface"]
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
SIMPLE_ESCAPES = {"n": 10, "r": 13, "t": 9, "0": 0, "\\": 92, '"': 34, "'": 39, "a": 7,
                  "b": 8, "f": 12, "v": 11, "?": 63}


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def literal_bytes(body):
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode("ascii")
            i += 1
            continue
        nxt = body[i + 1]
        if nxt == "x":
            j = i + 2
            while j < len(body) and body[j] in "0123456789abcdefABCDEF":
                j += 1
            out.append(int(body[i + 2:j], 16) & 0xFF)
            i = j
        elif nxt in "01234567" and body[i + 2:i + 3] in tuple("01234567"):
            j = i + 1
            while j < len(body) and j < i + 4 and body[j] in "01234567":
                j += 1
            out.append(int(body[i + 1:j], 8) & 0xFF)
            i = j
        else:
            out.append(SIMPLE_ESCAPES[nxt])
            i += 2
    return bytes(out)


def messages():
    found = {}
    for layer in LAYERS:
        folder = os.path.join(ROOT, layer)
        for dirpath, _, files in os.walk(folder):
            for name in sorted(files):
                if not name.endswith(".cpp"):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8") as f:
                    source = f.read()
                converted = strip_comments(gbk_literals.convert(source, path))
                for body in LITERAL.findall(converted):
                    data = literal_bytes(body)
                    if any(b >= 0x80 for b in data):
                        found.setdefault(data, os.path.relpath(path, ROOT))
    return found


def archive_bytes(tree):
    blob = bytearray()
    for layer in LAYERS:
        path = os.path.join(tree, "libkx_%s.a" % layer)
        if not os.path.exists(path):
            raise SystemExit("%s: missing (build the tree first)" % path)
        with open(path, "rb") as f:
            blob += f.read()
    return bytes(blob)


def main(argv):
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    wanted = messages()
    failed = False
    for tree in argv[1:]:
        blob = archive_bytes(tree)
        missing = [(src, data) for data, src in wanted.items() if data not in blob]
        for src, data in missing:
            print("%s: %s: bytes %s not found" % (tree, src, data.hex(" ")))
        failed = failed or bool(missing)
        print("%s: %d of %d non-ASCII literals found" % (tree, len(wanted) - len(missing), len(wanted)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
