#!/usr/bin/env python3
"""Print a C string literal holding the GBK bytes of each argument.

The core keeps its texts as GBK escapes (the sources stay UTF-8 and every
compiler, clang included, reads them the same way).  Usage:
    tools/gbk_literal.py "创建 [bak] 文件夹失败"
"""
import sys


def literal(text: str) -> str:
    out = []
    after_escape = False
    for ch in text:
        data = ch.encode("gbk")
        if len(data) == 1 and 0x20 <= data[0] < 0x7F and ch not in '"\\':
            # A hex digit right after "\xNN" would extend the escape.
            if after_escape and ch in "0123456789abcdefABCDEF":
                out.append('" "')
            out.append(ch)
            after_escape = False
        else:
            for b in data:
                if ch == '"':
                    out.append('\\"')
                elif ch == "\\":
                    out.append("\\\\")
                elif ch == "\n":
                    out.append("\\n")
                elif ch == "\r":
                    out.append("\\r")
                elif ch == "\t":
                    out.append("\\t")
                else:
                    out.append("\\x%02x" % b)
                    after_escape = True
                    continue
                after_escape = False
    return '"' + "".join(out) + '"  // ' + repr(text)


if __name__ == "__main__":
    for arg in sys.argv[1:]:
        print(literal(arg))
