#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
# Safe to run again: it asks apt only for what dpkg does not already have.
#
#   tools/install-deps.sh           native and Windows builds
#   tools/install-deps.sh native    the native build and its tests only
#   tools/install-deps.sh demo      building and running karvelo alone (make demo)
set -e

# libpcre3-dev (PCRE 8) is only for the test that PCRE2 matches as PCRE 8
# did; karvelo links PCRE2 alone.  tinyproxy is the forward proxy of the proxy tests and benchmark; man-db
# renders the manual page in its test; dpkg-dev gives `make package`
# dpkg-shlibdeps, which reads the package's dependencies off the executable;
# iproute2 and nftables let the connect race's test swallow IPv6 packets in a
# network namespace of its own; python3-h2 frames the HTTP/2 test peer's
# misbehaviour (tools/h2_test_peer.py); libsqlite3-dev keeps the image
# library, DEST's index of the images relocated into it.
PACKAGES="cmake make g++ python3 python3-h2 pkg-config libpcre2-dev libpcre3-dev libssl-dev libnghttp2-dev libsqlite3-dev openssl googletest libgtest-dev libbenchmark-dev clang nginx-light tinyproxy wget aria2 curl man-db dpkg-dev iproute2 nftables gettext"

# The Windows cross builds and their tests under Wine.  The posix thread
# model of mingw-w64, because the tests use std::thread and std::mutex,
# which the win32 model of this GCC lacks; both targets' compilers (x86-64,
# the build sellers take and every test runs, and i686).  64-bit Wine runs
# the x86-64 build with no 32-bit support at all.  dpkg-dev (above) brings
# dpkg-source for `apt-get source` of pcre2, nghttp2 and sqlite3;
# locales gives zh_CN.UTF-8, so Wine's ANSI code page is 936 (GBK), and
# en_US.UTF-8, for the GUI tests' second run on a Western code page (1252);
# openssl and python3 make and run the TLS tests' servers.
# What the command itself needs to build and run: the compiler, CMake,
# PCRE2, OpenSSL, nghttp2, SQLite (the image library in DEST), Python for
# the text catalog, and gettext's msgfmt for the help's translations (its
# xgettext and msgcmp check them in the tests).
DEMO_PACKAGES="cmake make g++ python3 libpcre2-dev libssl-dev libnghttp2-dev libsqlite3-dev gettext"

WINDOWS_PACKAGES="g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 xvfb xauth locales fonts-wqy-microhei imagemagick openssl python3"
# Making SQLite's amalgamation (sqlite3.c) from Debian's sqlite3 source,
# which does not ship it, runs Tcl scripts (tools/build-sqlite-windows.sh).
WINDOWS_PACKAGES="$WINDOWS_PACKAGES tcl"
# 32-bit Wine, for the i686 build's tests, only where this machine starts a
# 32-bit program at all (some kernels have that switched off).
WINDOWS32_PACKAGES="wine32:i386"
WINDOWS_LOCALES="zh_CN.UTF-8 en_US.UTF-8"
DEBIAN_SOURCES=/etc/apt/sources.list.d/debian.sources

with_windows=1
if [ "$1" = "native" ] || [ "$1" = "demo" ]; then
    with_windows=0
fi
if [ "$1" = "demo" ]; then
    PACKAGES="$DEMO_PACKAGES"
fi

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

with_windows32=0
if [ "$with_windows" = 1 ] && "$(dirname "$0")/can-run-32bit.sh"; then
    with_windows32=1
fi

wanted="$PACKAGES"
if [ "$with_windows" = 1 ]; then
    wanted="$wanted $WINDOWS_PACKAGES"
fi
if [ "$with_windows32" = 1 ]; then
    wanted="$wanted $WINDOWS32_PACKAGES"
fi

missing=""
for package in $wanted; do
    if ! is_installed "$package"; then
        missing="$missing $package"
    fi
done

need_i386=0
need_sources=0
need_locale=0
if [ "$with_windows32" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_i386=1
fi
if [ "$with_windows" = 1 ]; then
    # PCRE2, nghttp2 and SQLite for Windows are built from Debian's source packages.
    if ! ls /var/lib/apt/lists/*_source_Sources* >/dev/null 2>&1; then
        need_sources=1
    fi
    for wanted_locale in $WINDOWS_LOCALES; do
        if ! locale -a 2>/dev/null | grep -qix "$(echo "$wanted_locale" | sed 's/UTF-8/utf8/')"; then
            need_locale=1
        fi
    done
fi

if [ -z "$missing" ] && [ "$need_i386" = 0 ] && [ "$need_sources" = 0 ] && [ "$need_locale" = 0 ]; then
    exit 0
fi

if [ "$(id -u)" != "0" ]; then
    [ -n "$missing" ] && echo "missing packages:$missing" >&2
    [ "$need_i386" = 1 ] && echo "missing: the i386 architecture (dpkg --add-architecture i386)" >&2
    [ "$need_sources" = 1 ] && echo "missing: Debian source package lists (deb-src)" >&2
    [ "$need_locale" = 1 ] && echo "missing: the locales $WINDOWS_LOCALES" >&2
    echo "run as root, or set these up by hand" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
update=0
if [ "$need_i386" = 1 ]; then
    echo "adding the i386 architecture (for wine32)"
    dpkg --add-architecture i386
    update=1
fi
if [ "$need_sources" = 1 ]; then
    if [ -f "$DEBIAN_SOURCES" ]; then
        if grep -q '^Types: deb$' "$DEBIAN_SOURCES"; then
            echo "enabling Debian source packages in $DEBIAN_SOURCES"
            sed -i 's/^Types: deb$/Types: deb deb-src/' "$DEBIAN_SOURCES"
        fi
    elif [ -f /etc/apt/sources.list ] && ! grep -q '^deb-src ' /etc/apt/sources.list; then
        echo "enabling Debian source packages in /etc/apt/sources.list"
        sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list >/etc/apt/sources.list.d/karvelo-deb-src.list
    fi
    update=1
fi
if [ -n "$missing" ]; then
    update=1
fi

if [ "$update" = 1 ]; then
    apt-get update -qq
fi
if [ -n "$missing" ]; then
    echo "installing:$missing"
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

if [ "$need_locale" = 1 ]; then
    for wanted_locale in $WINDOWS_LOCALES; do
        echo "generating the $wanted_locale locale"
        if grep -q "^# *$wanted_locale UTF-8" /etc/locale.gen; then
            sed -i "s/^# *$wanted_locale UTF-8/$wanted_locale UTF-8/" /etc/locale.gen
        elif ! grep -q "^$wanted_locale UTF-8" /etc/locale.gen; then
            echo "$wanted_locale UTF-8" >>/etc/locale.gen
        fi
    done
    locale-gen >/dev/null
fi
