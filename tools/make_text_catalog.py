#!/usr/bin/env python3
"""Turn the UTF-8 text catalog into the C++ definitions the program links.

    tools/make_text_catalog.py src/texts/catalog.def OUTPUT.cpp

The catalog holds every text the program shows or writes, in UTF-8, as
entries the sources name:

    TEXT_ENTRY(NAME, "text")        const char NAME[], the core's bytes
    WIDE_TEXT_ENTRY(NAME, "text")   const wchar_t NAME[], UTF-16

A text may be split over several adjacent literals and may use the C
escapes \\n \\r \\t \\0 \\\\ \\" and \\xNN (ASCII only).  The core's texts
are written as GBK, which is also their GB18030 form; a text GBK cannot hold
fails the build, naming the entry, rather than reaching a seller as "?".
The output is written only when it changes, so an unchanged catalog does
not rebuild the program.
"""
import os
import re
import sys

ENTRY = re.compile(r'^[ \t]*(TEXT_ENTRY|WIDE_TEXT_ENTRY)\(\s*(\w+)\s*,\s*((?:"(?:[^"\\\n]|\\.)*"\s*)+)\)', re.M)
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "0": "\0", "\\": "\\", '"': '"', "'": "'"}


class CatalogError(Exception):
    pass


def unescape(body: str, name: str) -> str:
    out = []
    i = 0
    while i < len(body):
        ch = body[i]
        if ch != "\\":
            out.append(ch)
            i += 1
            continue
        code = body[i + 1]
        if code == "x":
            digits = re.match(r"[0-9a-fA-F]{1,2}", body[i + 2:])
            value = int(digits.group(0), 16) if digits else 0x80
            if not digits or value >= 0x80:
                raise CatalogError("%s: \\x escapes must stay ASCII; write the character itself" % name)
            out.append(chr(value))
            i += 2 + len(digits.group(0))
        elif code in ESCAPES:
            out.append(ESCAPES[code])
            i += 2
        else:
            raise CatalogError("%s: unknown escape \\%s" % (name, code))
    return "".join(out)


def narrow_literal(text: str, name: str) -> str:
    """A C literal of the text's GBK bytes: printable ASCII as itself."""
    try:
        data = text.encode("gbk")
    except UnicodeEncodeError as error:
        raise CatalogError("%s: %r has no GBK form (%s)" % (name, text[error.start:error.end], error.reason))
    out = []
    after_escape = False
    for b in data:
        ch = chr(b)
        if 0x20 <= b < 0x7F and ch not in '"\\':
            # A hex digit right after "\xNN" would extend the escape.
            if after_escape and ch in "0123456789abcdefABCDEF":
                out.append('" "')
            out.append(ch)
            after_escape = False
        elif ch in '"\\':
            out.append("\\" + ch)
            after_escape = False
        else:
            out.append("\\x%02x" % b)
            after_escape = True
    return '"' + "".join(out) + '"'


def wide_literal(text: str) -> str:
    units = text.encode("utf-16-le")
    out = []
    for i in range(0, len(units), 2):
        unit = units[i] | units[i + 1] << 8
        ch = chr(unit) if unit < 0xD800 or unit > 0xDFFF else ""
        if 0x20 <= unit < 0x7F and ch not in '"\\':
            out.append(ch)
        else:
            out.append('\\x%04x" L"' % unit)
    return 'L"' + "".join(out) + '"'


def generate(catalog_path: str) -> str:
    with open(catalog_path, encoding="utf-8") as f:
        source = f.read()
    lines = [
        "// Generated from %s by tools/make_text_catalog.py; edit the catalog, not this file."
        % os.path.basename(catalog_path),
        '#include "texts/texts.h"',
        "",
    ]
    seen = set()
    errors = []
    for match in ENTRY.finditer(source):
        kind, name, literals = match.groups()
        if name in seen:
            errors.append("%s: defined twice" % name)
            continue
        seen.add(name)
        try:
            text = "".join(unescape(body, name) for body in LITERAL.findall(literals))
            if kind == "TEXT_ENTRY":
                lines.append("extern const char %s[] = %s;" % (name, narrow_literal(text, name)))
            else:
                lines.append("extern const wchar_t %s[] = %s;" % (name, wide_literal(text)))
        except CatalogError as error:
            errors.append(str(error))
    # Every entry the compiler will see must have been read here too.
    declared = len(re.findall(r"^\s*(?:WIDE_)?TEXT_ENTRY\(", source, re.M))
    if declared != len(seen) and not errors:
        errors.append("%d entries in the catalog, %d understood" % (declared, len(seen)))
    if errors:
        raise CatalogError("\n".join(errors))
    return "\n".join(lines) + "\n"


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    catalog_path, output_path = sys.argv[1:]
    try:
        text = generate(catalog_path)
    except CatalogError as error:
        print("%s: %s" % (catalog_path, error), file=sys.stderr)
        return 1
    try:
        with open(output_path, encoding="ascii") as f:
            if f.read() == text:
                return 0
    except OSError:
        pass
    with open(output_path, "w", encoding="ascii") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
