#!/bin/sh
# Runs a program of the Windows build under Wine the way Karvelo expects:
# a prefix of its own, the zh_CN locale so that the ANSI code page is 936
# (GBK), no debug output and no installer prompts.
#
#   tools/wine-run.sh <prefix folder> <program> [arguments...]
#   tools/wine-run.sh <prefix folder> --init      only create the prefix
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
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=zh_CN.UTF-8
export LC_ALL=zh_CN.UTF-8
SERVER_LINGER_SECONDS=20

# Marks a finished prefix.
ready="$WINEPREFIX/.karvelo-ready"
if [ ! -f "$ready" ]; then
    # Several tests may start at once; one of them creates the prefix.
    (
        flock 9
        if [ ! -f "$ready" ]; then
            wine wineboot --init >/dev/null 2>&1
            # wineboot returns while programs it started still register the
            # system's COM classes (the shell link, the image codecs).  The
            # server ends, and writes the registry, only after the last of
            # them: a prefix used or stopped earlier stays half made.
            wineserver -w
            touch "$ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi

# One Wine server for the prefix, kept a while after its last program ends:
# the tests run as one program each, and a fresh server per program would
# cost more than most tests take.  Exits at once when it runs already.
wineserver -p"$SERVER_LINGER_SECONDS" </dev/null >/dev/null 2>&1 || true

if [ "$1" = "--init" ]; then
    exit 0
fi
exec wine "$@"
