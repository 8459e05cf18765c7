#!/bin/sh
# Checks the release's zips: each lists exactly the files a seller should
# get, and the Karvelo.exe unpacked from it starts and shows its window
# under Wine, driven by the GUI tests of the same build (the 32-bit one
# only where this machine starts 32-bit programs).
#
#   tools/release-test.sh <release folder> <x86-64 build folder> <i686 build folder>
set -e
release=$(cd "$1" && pwd)
tools=$(cd "$(dirname "$0")" && pwd)
version=$(sed -n 's/^#define PROGRAM_VERSION_TEXT "\([0-9.]*\)"$/\1/p' "$tools/../src/util/version.h")

python3 - "$release" "$version" <<'CHECK'
import sys, zipfile
release, version = sys.argv[1], sys.argv[2]
expected = ["Karvelo.exe", "使用说明.txt", "LICENSE.txt", "LICENCE-PCRE.txt", "LICENCE-nghttp2.txt",
            "LICENCE-mingw-w64.txt"]
for kind, machine in (("win64", b"\x64\x86"), ("win32", b"\x4c\x01")):
    path = "%s/Karvelo-%s-%s.zip" % (release, version, kind)
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
        if sorted(names) != sorted(expected):
            sys.exit("%s holds %s, not %s" % (path, names, expected))
        exe = archive.read("Karvelo.exe")
        at = int.from_bytes(exe[0x3C:0x40], "little")
        if exe[at + 4:at + 6] != machine:
            sys.exit("%s: Karvelo.exe is not the %s build" % (path, kind))
        notes = archive.read("使用说明.txt").decode("utf-8-sig")
        for needed in ("Karvelo-%s-win64.zip" % version, "bak", "app.log", "继续"):
            if needed not in notes:
                sys.exit("%s: 使用说明.txt does not mention %s" % (path, needed))
        if "MIT" not in archive.read("LICENSE.txt").decode("utf-8-sig") or \
           "PCRE2" not in archive.read("LICENCE-PCRE.txt").decode("utf-8-sig") or \
           "nghttp2" not in archive.read("LICENCE-nghttp2.txt").decode("utf-8-sig"):
            sys.exit("%s: a licence text is wrong" % path)
    print("release: %s holds %s" % (path, ", ".join(expected)))
CHECK

# Starts one unpacked Karvelo.exe through the GUI driver of its own build.
start_unpacked() {
    kind=$1 build=$2 arch=$3
    folder="$build/release-check"
    rm -rf "$folder"
    mkdir -p "$folder"
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
        "$release/Karvelo-$version-$kind.zip" "$folder"
    prefix="$build/releaseprefix"
    KARVELO_WINE_ARCH=$arch "$tools/wine-run.sh" "$prefix" --kill
    rm -rf "$prefix" "$prefix.lock"
    KARVELO_WINE_ARCH=$arch "$tools/wine-run.sh" "$prefix" --init
    status=0
    (cd "$build" && KARVELO_WINE_ARCH=$arch KARVELO_RELEASE_FOLDER="Z:$(cd release-check && pwd | tr / '\\')" \
        timeout --kill-after=30 600 xvfb-run -a -s "-screen 0 1024x768x24" \
        "$tools/wine-run.sh" "$prefix" karvelo_gui_tests.exe --gtest_filter='ReleaseTest.*') || status=$?
    KARVELO_WINE_ARCH=$arch "$tools/wine-run.sh" "$prefix" --kill
    return $status
}

start_unpacked win64 "$2" win64
if "$tools/can-run-32bit.sh"; then
    make --no-print-directory -C "$tools/.." windows32 >/dev/null
    start_unpacked win32 "$3" win32
else
    echo "release: the 32-bit Karvelo.exe is not started, this machine cannot start 32-bit programs"
fi
