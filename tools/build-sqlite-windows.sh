#!/bin/sh
# Builds SQLite for the Windows cross build from Debian's sqlite3 source
# package (with Debian's patches): the amalgamation (sqlite3.c), generated
# from the source tree, compiled as one static library for one mingw-w64
# target.
#
#   tools/build-sqlite-windows.sh <folder> [host]
#
# host is the compiler's target: x86_64-w64-mingw32 (the default) or
# i686-w64-mingw32.
#
# Leaves <folder>/include/sqlite3.h and <folder>/lib/libsqlite3.a (the
# layout CMakeLists.txt expects of SQLITE3_ROOT) and SQLite's licence
# notice as <folder>/LICENCE, and does nothing when they are there already
# for the same host.  Debian's source has no amalgamation; making it needs
# the native compiler and tclsh (tools/install-deps.sh installs tcl).
# Needs deb-src entries (tools/install-deps.sh enables them).
set -e

. "$(dirname "$0")/windows-library.sh"
take_arguments "$@"
skip_if_built include/sqlite3.h lib/libsqlite3.a
fetch_debian_source sqlite3 SQLite
if [ ! -x "$tree/configure" ] || [ ! -f "$tree/tool/mksqlite3c.tcl" ]; then
    echo "unexpected sqlite3 source layout in $work" >&2
    exit 1
fi

echo "SQLite for Windows ($HOST): making the amalgamation and building ($(basename "$tree"))"
# The amalgamation is made by the native build's own rule (a host tool,
# then Tcl), so configure runs for the build machine, not for $HOST.  Only
# tclsh is wanted of Tcl: without its extension and the shell's readline,
# what else the build machine has installed does not matter.
mkdir amalgamation
cd amalgamation
"$work/$tree/configure" --disable-tcl --disable-readline >configure.log 2>&1 || {
    tail -n 30 configure.log >&2
    exit 1
}
make sqlite3.c >make.log 2>&1 || {
    tail -n 30 make.log >&2
    exit 1
}

# Thread-safe (the wizard's worker threads), no extension loading, WAL
# commits synced at checkpoints only (safe against corruption, as SQLite's
# WAL with NORMAL is), no double-quoted string literals.  The default
# Windows VFS takes the UTF-8 names sqlite3_open_v2 gets to the wide (W)
# Win32 calls; nothing here turns that off.
"$HOST-gcc" -O2 -c sqlite3.c -o sqlite3.o \
    -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DEFAULT_WAL_SYNCHRONOUS=1 \
    -DSQLITE_DQS=0 \
    >>make.log 2>&1 || {
    tail -n 30 make.log >&2
    exit 1
}
rm -f libsqlite3.a
"$HOST-ar" rcs libsqlite3.a sqlite3.o

mkdir -p "$prefix/include" "$prefix/lib"
cp libsqlite3.a "$prefix/lib/libsqlite3.a"
cp sqlite3.h "$prefix/include/sqlite3.h"
cp "$work/$tree/LICENSE.md" "$prefix/LICENCE"
echo "$HOST" >"$prefix/host"
cd "$prefix"
rm -rf "$work"
echo "SQLite for Windows: installed into $prefix"
