#!/bin/sh
# Builds PCRE2 10.x for the Windows cross build from Debian's pcre2 source
# package: the 8-bit library only, static, for one mingw-w64 target.
#
#   tools/build-pcre2-windows.sh <folder> [host]
#
# host is the compiler's target: x86_64-w64-mingw32 (the default) or
# i686-w64-mingw32.
#
# Leaves <folder>/include/pcre2.h and <folder>/lib/libpcre2-8.a (the layout
# CMakeLists.txt expects of PCRE2_ROOT) and PCRE2's licence as
# <folder>/LICENCE (the release ships it, since Karvelo.exe links PCRE2 in),
# and does nothing when they are there already, so a second cross build
# does not rebuild PCRE2.  Needs deb-src
# entries (tools/install-deps.sh enables them).
set -e

. "$(dirname "$0")/windows-library.sh"
take_arguments "$@"
skip_if_built include/pcre2.h lib/libpcre2-8.a
fetch_debian_source pcre2 PCRE2
if [ ! -x "$tree/configure" ]; then
    echo "unexpected pcre2 source layout in $work" >&2
    exit 1
fi
cd "$tree"
# Mark the shipped generated files as current, so make does not want the
# autotools whatever times the unpacking gave them.
touch aclocal.m4 configure src/config.h.in Makefile.in

echo "PCRE2 for Windows ($HOST): configuring and building ($(basename "$tree"))"
# Only pcre2_compile and pcre2_match are used: no JIT (as the Windows build
# has always run the interpreter), no 16/32-bit libraries, no shared library.
./configure --host="$HOST" --prefix="$prefix" \
    --enable-static --disable-shared \
    --enable-pcre2-8 --disable-pcre2-16 --disable-pcre2-32 --disable-jit \
    --disable-pcre2grep-libz --disable-pcre2grep-libbz2 \
    >configure.log 2>&1 || {
    tail -n 30 configure.log >&2
    exit 1
}
make -j"$(nproc 2>/dev/null || echo 2)" libpcre2-8.la >make.log 2>&1 || {
    tail -n 30 make.log >&2
    exit 1
}

mkdir -p "$prefix/include" "$prefix/lib"
cp .libs/libpcre2-8.a "$prefix/lib/libpcre2-8.a"
cp src/pcre2.h "$prefix/include/pcre2.h"
cp LICENCE "$prefix/LICENCE"
echo "$HOST" >"$prefix/host"
cd "$prefix"
rm -rf "$work"
echo "PCRE2 for Windows: installed into $prefix"
