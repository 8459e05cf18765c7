#!/bin/sh
# Builds nghttp2 for the Windows cross build from Debian's nghttp2 source
# package (with Debian's patches): the library only, static, for one
# mingw-w64 target, with the project's own toolchain file.
#
#   tools/build-nghttp2-windows.sh <folder> [host]
#
# host is the compiler's target: x86_64-w64-mingw32 (the default) or
# i686-w64-mingw32.
#
# Leaves <folder>/include/nghttp2/*.h and <folder>/lib/libnghttp2.a (the
# layout CMakeLists.txt expects of NGHTTP2_ROOT) and nghttp2's licence as
# <folder>/LICENCE (the release ships it, since Karvelo.exe links nghttp2
# in), and does nothing when they are there already for the same host, so
# a second cross build does not rebuild nghttp2.  Needs deb-src entries
# (tools/install-deps.sh enables them).
set -e

. "$(dirname "$0")/windows-library.sh"
take_arguments "$@"
case "$HOST" in
    x86_64-w64-mingw32) toolchain=toolchain-mingw-x86_64.cmake ;;
    i686-w64-mingw32) toolchain=toolchain-mingw-i686.cmake ;;
    *) echo "build-nghttp2-windows: no toolchain file for $HOST" >&2; exit 2 ;;
esac
toolchain=$(cd "$(dirname "$0")/../cmake" && pwd)/$toolchain
skip_if_built include/nghttp2/nghttp2.h lib/libnghttp2.a
fetch_debian_source nghttp2 nghttp2
if [ ! -f "$tree/CMakeLists.txt" ] || [ ! -f "$tree/COPYING" ]; then
    echo "unexpected nghttp2 source layout in $work" >&2
    exit 1
fi

echo "nghttp2 for Windows ($HOST): configuring and building ($(basename "$tree"))"
# The library alone (no programs, examples or documentation), static only;
# its install gives the public headers, the generated version header among
# them, in a staging folder.  The clock is the system's GetTickCount64:
# mingw-w64 has clock_gettime too (from winpthreads), and with both
# nghttp2_time.c of 1.52 calls a fallback it leaves out.
cmake -S "$tree" -B build -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$work/stage" -DENABLE_LIB_ONLY=ON -DENABLE_STATIC_LIB=ON -DENABLE_SHARED_LIB=OFF \
    -DENABLE_DOC=OFF -DHAVE_CLOCK_GETTIME=OFF >configure.log 2>&1 || {
    tail -n 30 configure.log >&2
    exit 1
}
{ cmake --build build -j"$(nproc 2>/dev/null || echo 2)" && cmake --install build; } >make.log 2>&1 || {
    tail -n 30 make.log >&2
    exit 1
}

mkdir -p "$prefix/include" "$prefix/lib"
cp -R stage/include/nghttp2 "$prefix/include/nghttp2"
cp stage/lib/libnghttp2.a "$prefix/lib/libnghttp2.a"
cp "$tree/COPYING" "$prefix/LICENCE"
echo "$HOST" >"$prefix/host"
cd "$prefix"
rm -rf "$work"
echo "nghttp2 for Windows: installed into $prefix"
