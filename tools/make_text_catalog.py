#!/usr/bin/env python3
"""Turn the UTF-8 text catalog into the C++ definitions the program links.

    tools/make_text_catalog.py src/texts/catalog.def OUTPUT.cpp

The catalog holds every text the program shows or writes, in UTF-8, as
entries the sources name:

    TEXT_ENTRY(NAME, "text")        const char NAME[], the core's bytes
    WIDE_TEXT_ENTRY(NAME, "text")   const wchar_t NAME[], UTF-16
    ENGLISH(NAME, "text")           the English form of the TEXT_ENTRY NAME,
                                    which EnglishText(NAME) returns

An English form must take the same printf conversions, in the same order, as
the text it stands for (a format shown in English is handed the Chinese
one's arguments); the build fails when it does not.

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

ENTRY = re.compile(r'^[ \t]*(TEXT_ENTRY|WIDE_TEXT_ENTRY|ENGLISH)\(\s*(\w+)\s*,\s*((?:"(?:[^"\\\n]|\\.)*"\s*)+)\)', re.M)
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "0": "\0", "\\": "\\", '"': '"', "'": "'"}


class CatalogError(Exception):
    pass


CONVERSION = re.compile(r"%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|z|j|t)?([diouxXcsp%])")


def conversions(text: str) -> list:
    """The printf conversions of a text, "%%" left out, in order."""
    return [m.group(0) for m in CONVERSION.finditer(text) if m.group(1) != "%"]


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
    narrow = {}
    english = {}
    errors = []
    for match in ENTRY.finditer(source):
        kind, name, literals = match.groups()
        key = name if kind != "ENGLISH" else "english " + name
        if key in seen:
            errors.append("%s: %s twice" % (name, "defined" if kind != "ENGLISH" else "given an English form"))
            continue
        seen.add(key)
        try:
            text = "".join(unescape(body, name) for body in LITERAL.findall(literals))
            if kind == "TEXT_ENTRY":
                narrow[name] = text
                lines.append("extern const char %s[] = %s;" % (name, narrow_literal(text, name)))
            elif kind == "WIDE_TEXT_ENTRY":
                lines.append("extern const wchar_t %s[] = %s;" % (name, wide_literal(text)))
            else:
                english[name] = text
        except CatalogError as error:
            errors.append(str(error))
    lines += ["", "namespace {", "struct EnglishForm {", "    const char* text;", "    const char* english;", "};",
              "const EnglishForm ENGLISH_FORMS[] = {"]
    named = []
    for name, text in english.items():
        if name not in narrow:
            errors.append("%s: an English form of no TEXT_ENTRY" % name)
            continue
        if conversions(text) != conversions(narrow[name]):
            errors.append("%s: the English form takes %s, the text %s" % (name, conversions(text) or "no argument",
                                                                           conversions(narrow[name]) or "none"))
            continue
        try:
            lines.append("    {%s, %s}," % (name, narrow_literal(text, name)))
            named.append(name)
        except CatalogError as error:
            errors.append(str(error))
    lines += ["    {nullptr, nullptr},", "};", "}  // namespace", "",
              "extern const char* const TEXTS_WITH_ENGLISH[] = {"] + ["    %s," % name for name in named] + [
              "    nullptr,", "};", "",
              "const char* EnglishText(const char* text) {",
              "    for (const EnglishForm* form = ENGLISH_FORMS; form->text != nullptr; ++form) {",
              "        if (form->text == text) return form->english;", "    }", "    return nullptr;", "}"]
    # Every entry the compiler will see must have been read here too.
    declared = len(re.findall(r"^\s*(?:(?:WIDE_)?TEXT_ENTRY|ENGLISH)\(", source, re.M))
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
