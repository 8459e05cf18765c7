#!/usr/bin/env python3
"""Writes the downloads sellers take.

    tools/make-release.py <out folder> <x86-64 Karvelo.exe> <i686 Karvelo.exe>

Makes <out>/Karvelo-<version>-win64.zip and -win32.zip.  Each holds, at its
top level, Karvelo.exe, 使用说明.txt (the Chinese notes, UTF-8 with a
byte-order mark and CR LF, which Notepad reads on every Windows) and the
licences: Karvelo's own and those of what Karvelo.exe links in (PCRE2 and
nghttp2, from the build's pcre2 and nghttp2 folders beside the exe; the
mingw-w64 runtime and its threads, from Debian's copyright file of
mingw-w64).  The names are stored
as UTF-8 (with the zip's UTF-8 flag) and every entry has one fixed time, so
the same inputs give the same bytes.
"""
import os
import re
import sys
import zipfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
MINGW_COPYRIGHT = "/usr/share/doc/mingw-w64-common/copyright"
ENTRY_TIME = (2026, 12, 1, 0, 0, 0)
NOTES_NAME = "使用说明.txt"


def version():
    text = open(os.path.join(ROOT, "src", "util", "version.h"), encoding="utf-8").read()
    return re.search(r'#define PROGRAM_VERSION_TEXT "([0-9.]+)"', text).group(1)


def windows_text(path, replacements=None):
    text = open(path, encoding="utf-8").read()
    for key, value in (replacements or {}).items():
        text = text.replace(key, value)
    return "\ufeff".encode("utf-8") + text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def write_zip(path, entries):
    temporary = path + ".part"
    with zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, ENTRY_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, data)
    os.replace(temporary, path)


def main():
    if len(sys.argv) != 4:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    out, exe64, exe32 = sys.argv[1:]
    number = version()
    os.makedirs(out, exist_ok=True)
    notes = windows_text(os.path.join(ROOT, "doc", "release", "readme-zh.txt"), {"@VERSION@": number})
    for kind, exe in (("win64", exe64), ("win32", exe32)):
        build = os.path.dirname(os.path.abspath(exe))
        entries = [
            ("Karvelo.exe", open(exe, "rb").read()),
            (NOTES_NAME, notes),
            ("LICENSE.txt", windows_text(os.path.join(ROOT, "LICENSE"))),
            ("LICENCE-PCRE.txt", windows_text(os.path.join(build, "pcre2", "LICENCE"))),
            ("LICENCE-nghttp2.txt", windows_text(os.path.join(build, "nghttp2", "LICENCE"))),
            ("LICENCE-mingw-w64.txt", windows_text(MINGW_COPYRIGHT)),
        ]
        target = os.path.join(out, "Karvelo-%s-%s.zip" % (number, kind))
        write_zip(target, entries)
        print("release: %s" % target)
    return 0


if __name__ == "__main__":
    sys.exit(main())
