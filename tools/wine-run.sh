#!/bin/sh
# Runs a program of the Windows build under Wine the way Karvelo expects:
# a prefix of its own, the zh_CN locale so that the ANSI code page is 936
# (GBK), no debug output and no installer prompts.
#
#   tools/wine-run.sh <prefix folder> <program> [arguments...]
#   tools/wine-run.sh <prefix folder> --init      only create the prefix
#   tools/wine-run.sh <prefix folder> --kill      end the prefix's Wine server
#
# KARVELO_WINE_LOCALE picks another locale (en_US.UTF-8: code page 1252);
# give a prefix one locale for its whole life.
#
# KARVELO_WINE_ARCH is the prefix's kind: win64 (the default) runs 64-bit
# programs with 64-bit Wine alone, whose loader is called directly, so
# nothing here needs the machine to start a 32-bit program; win32 runs the
# i686 build with 32-bit Wine (wine32:i386), only where one starts.
#
# The prefix is created on first use (wineboot, some seconds).
set -e

if [ $# -lt 2 ]; then
    echo "usage: $0 <prefix folder> <program> [arguments...] | --init" >&2
    exit 2
fi

mkdir -p "$1"
WINEPREFIX=$(cd "$1" && pwd)
shift
export WINEPREFIX
export WINEARCH="${KARVELO_WINE_ARCH:-win64}"
case "$WINEARCH" in
    win64) WINELOADER=/usr/lib/wine/wine64; WINESERVER=/usr/lib/wine/wineserver64 ;;
    win32) WINELOADER=/usr/lib/wine/wine; WINESERVER=/usr/lib/wine/wineserver32 ;;
    *) echo "wine-run: KARVELO_WINE_ARCH must be win64 or win32, not $WINEARCH" >&2; exit 2 ;;
esac
# The 32-bit server serves both kinds where wine32 is installed; the 64-bit
# one is always there with wine64.
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver64
if [ ! -x "$WINELOADER" ]; then
    echo "wine-run: $WINELOADER is missing (tools/install-deps.sh installs Wine)" >&2
    exit 127
fi
export WINELOADER WINESERVER
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG="${KARVELO_WINE_LOCALE:-zh_CN.UTF-8}"
export LC_ALL="$LANG"
SERVER_LINGER_SECONDS=20
# The shell link's COM class, registered late in a new prefix.
SHELL_LINK_CLASS="00021401-0000-0000-C000-000000000046"

if [ "$1" = "--kill" ]; then
    "$WINESERVER" -k 2>/dev/null || true
    exit 0
fi

# Marks a finished prefix.
ready="$WINEPREFIX/.karvelo-ready"
prefix_complete() {
    grep -q "$SHELL_LINK_CLASS" "$WINEPREFIX/system.reg" 2>/dev/null
}
# A new prefix is made once; `--init` also mends one that is not complete.
if [ ! -f "$ready" ] || { [ "$1" = "--init" ] && ! prefix_complete; }; then
    # Several tests may start at once; one of them makes the prefix.
    (
        flock 9
        if [ ! -f "$ready" ] || ! prefix_complete; then
            # wineboot returns while programs it started still register the
            # system's COM classes (the shell link, the image codecs); the
            # server ends, and writes the registry, only after the last of
            # them.  A step can also fail and leave the prefix half made, so
            # the result is checked (by the shell link class) and the
            # update repeated.
            command=--init
            [ -f "$WINEPREFIX/system.reg" ] && command=--update
            for attempt in 1 2 3; do
                "$WINELOADER" wineboot $command >/dev/null 2>&1
                "$WINESERVER" -w
                if prefix_complete; then
                    break
                fi
                echo "wine-run: the prefix is not complete yet, updating it ($attempt)" >&2
                command=--update
            done
            touch "$ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi

# One Wine server for the prefix, kept a while after its last program ends:
# the tests run as one program each, and a fresh server per program would
# cost more than most tests take.  Exits at once when it runs already.
"$WINESERVER" -p"$SERVER_LINGER_SECONDS" </dev/null >/dev/null 2>&1 || true

if [ "$1" = "--init" ]; then
    exit 0
fi
exec "$WINELOADER" "$@"
