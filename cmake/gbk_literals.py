#!/usr/bin/env python3
"""Writes a C++ source with its string literals in GBK.

The library's messages are written as readable UTF-8 Chinese in the source
and must be GBK bytes at run time. Only GCC can change the execution
character set (-fexec-charset); clang cannot. So every library source goes
through this script on its way to the compiler: each non-ASCII character
inside an ordinary string literal becomes the \\x escapes of its GBK bytes,
and everything else is copied unchanged. Any compiler then builds the same
bytes.

    gbk_literals.py SOURCE OUTPUT     write the converted source
    gbk_literals.py --check FILE...   fail if a file has a non-ASCII literal
                                      (headers are not converted, so their
                                      literals must stay ASCII)

A non-ASCII character in a character literal, a prefixed literal (u8, L, u,
U) or a raw string is refused: its bytes would depend on the compiler.
"""
import sys

HEX_DIGITS = set("0123456789abcdefABCDEF")


class SourceError(Exception):
    pass


def convert(text, path):
    out = []
    i = 0
    n = len(text)
    line = 1
    token = ""  # the identifier or number just before the current position

    def fail(message):
        raise SourceError("%s:%d: %s" % (path, line, message))

    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(text[i:end])
            i = end
            token = ""
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            if end < 0:
                fail("unterminated comment")
            chunk = text[i:end + 2]
            line += chunk.count("\n")
            out.append(chunk)
            i = end + 2
            token = ""
            continue
        if c == '"' and token.endswith("R") and token in ("R", "LR", "uR", "UR", "u8R"):
            close = text.find("(", i)
            delimiter = text[i + 1:close]
            end = text.find(")" + delimiter + '"', close)
            if close < 0 or end < 0:
                fail("unterminated raw string")
            chunk = text[i:end + len(delimiter) + 2]
            if any(ord(ch) > 0x7F for ch in chunk):
                fail("non-ASCII text in a raw string")
            line += chunk.count("\n")
            out.append(chunk)
            i += len(chunk)
            token = ""
            continue
        if c == "'" and token and token[0].isdigit():
            out.append(c)  # a digit separator
            i += 1
            continue
        if c in "\"'":
            prefixed = token in ("L", "u", "U", "u8")
            literal, i = string_literal(text, i, c, prefixed, fail)
            out.append(literal)
            token = ""
            continue
        token = token + c if (c.isalnum() or c == "_") else ""
        out.append(c)
        i += 1
    return "".join(out)


def string_literal(text, i, quote, prefixed, fail):
    """Converts the literal starting at text[i]; returns it and the index after it."""
    out = [quote]
    i += 1
    after_hex_escape = False
    while True:
        if i >= len(text) or text[i] == "\n":
            fail("unterminated literal")
        c = text[i]
        if c == "\\":
            escape = text[i:i + 2]
            out.append(escape)
            i += 2
            # The author's own \x escape runs on over hex digits as written.
            after_hex_escape = False
            if escape == "\\x":
                while i < len(text) and text[i] in HEX_DIGITS:
                    out.append(text[i])
                    i += 1
            continue
        if c == quote:
            out.append(c)
            return "".join(out), i + 1
        if ord(c) > 0x7F:
            if quote == "'" or prefixed:
                fail("non-ASCII text in a character or prefixed literal")
            try:
                encoded = c.encode("gbk")
            except UnicodeEncodeError:
                fail("%r has no GBK form" % c)
            out.append("".join("\\x%02X" % b for b in encoded))
            after_hex_escape = True
            i += 1
            continue
        if after_hex_escape and c in HEX_DIGITS:
            # "\xB9\xFA" "A": a hex digit right after an escape would join it.
            out.append('" "')
        after_hex_escape = False
        out.append(c)
        i += 1


def main(argv):
    try:
        if len(argv) >= 2 and argv[1] == "--check":
            for path in argv[2:]:
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                if convert(text, path) != text:
                    raise SourceError("%s: non-ASCII string literal in a header; "
                                      "define the text in a source file" % path)
            return 0
        if len(argv) != 3:
            sys.stderr.write(__doc__)
            return 2
        source, output = argv[1], argv[2]
        with open(source, encoding="utf-8") as f:
            text = f.read()
        converted = '#line 1 "%s"\n' % source.replace("\\", "/") + convert(text, source)
        # Comments keep their UTF-8; compilers read it as such.
        with open(output, "w", encoding="utf-8", newline="\n") as f:
            f.write(converted)
        return 0
    except SourceError as e:
        sys.stderr.write("error: %s\n" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
