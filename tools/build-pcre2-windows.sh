#!/bin/sh
# Builds PCRE 8.x for the Windows cross build from Debian's pcre3 source
# package: the 8-bit library only, static, for one mingw-w64 target.
#
#   tools/build-pcre-windows.sh <folder> [host]
#
# host is the compiler's target: x86_64-w64-mingw32 (the default) or
# i686-w64-mingw32.
#
# Leaves <folder>/include/pcre.h and <folder>/lib/libpcre.a (the layout
# CMakeLists.txt expects of PCRE_ROOT) and PCRE's licence as
# <folder>/LICENCE (the release ships it, since Karvelo.exe links PCRE in),
# and does nothing when they are there already, so a second cross build
# does not rebuild PCRE.  Needs deb-src
# entries (tools/install-deps.sh enables them).
set -e

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 <folder> [host]" >&2
    exit 2
fi

HOST=${2:-x86_64-w64-mingw32}
prefix=$(mkdir -p "$1" && cd "$1" && pwd)

. "$(dirname "$0")/windows-library.sh"
skip_if_built include/pcre.h lib/libpcre.a
fetch_debian_source pcre3 PCRE
if [ ! -x "$tree/configure" ]; then
    echo "unexpected pcre3 source layout in $work" >&2
    exit 1
fi
cd "$tree"
# Debian's patches touch configure.ac and Makefile.am (the shared library's
# version and one source file, which they also add to Makefile.in).  Mark the
# shipped generated files as current, so make does not want the autotools.
touch aclocal.m4 configure config.h.in Makefile.in

echo "PCRE for Windows ($HOST): configuring and building ($(basename "$tree"))"
# Only pcre_compile and pcre_exec are used: no JIT, no C++ wrapper, no
# 16/32-bit libraries, no shared library.
./configure --host="$HOST" --prefix="$prefix" \
    --enable-static --disable-shared --disable-cpp \
    --disable-pcre16 --disable-pcre32 --disable-jit \
    --disable-pcregrep-libz --disable-pcregrep-libbz2 \
    >configure.log 2>&1 || {
    tail -n 30 configure.log >&2
    exit 1
}
make -j"$(nproc 2>/dev/null || echo 2)" libpcre.la >make.log 2>&1 || {
    tail -n 30 make.log >&2
    exit 1
}

mkdir -p "$prefix/include" "$prefix/lib"
cp .libs/libpcre.a "$prefix/lib/libpcre.a"
cp pcre.h "$prefix/include/pcre.h"
cp LICENCE "$prefix/LICENCE"
echo "$HOST" >"$prefix/host"
cd "$prefix"
rm -rf "$work"
echo "PCRE for Windows: installed into $prefix"
