# What the scripts that build a library for the Windows cross builds from a
# Debian source package share (tools/build-*-windows.sh source this file).

# Reads the scripts' arguments, <folder> [host]: sets $HOST (x86_64-w64-mingw32
# unless given) and $prefix, the folder made and made absolute.
take_arguments() {
    if [ $# -lt 1 ] || [ $# -gt 2 ]; then
        echo "usage: $0 <folder> [host]" >&2
        exit 2
    fi
    HOST=${2:-x86_64-w64-mingw32}
    prefix=$(mkdir -p "$1" && cd "$1" && pwd)
}

# Exits the script when $prefix holds every one of the given files (paths
# under it) and its licence, built for $HOST; otherwise clears what an
# earlier build (perhaps for another target) left there.
skip_if_built() {
    built=yes
    for file in "$@" LICENCE; do
        [ -f "$prefix/$file" ] || built=no
    done
    if [ $built = yes ] && [ "$(cat "$prefix/host" 2>/dev/null)" = "$HOST" ]; then
        exit 0
    fi
    rm -rf "$prefix/include" "$prefix/lib" "$prefix/host" "$prefix/LICENCE"
}

# Unpacks Debian's source package $1 (with Debian's patches) into a fresh
# $prefix/source and sets $work to it and $tree to the source tree; the
# working folder is $work afterwards.  $2 names the library in messages.
# The candidate version comes first; when its files cannot be fetched (a
# security update's sources are at times missing from the mirror), each
# other version the source lists name is tried, newest first.
fetch_debian_source() {
    work="$prefix/source"
    rm -rf "$work"
    mkdir -p "$work"
    cd "$work"
    echo "$2 for Windows ($HOST): fetching Debian's $1 source package"
    if ! apt-get source -qq "$1" >/dev/null 2>&1; then
        fetched=no
        for version in $(apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u -r -V); do
            find . -mindepth 1 -maxdepth 1 -exec rm -rf {} +
            if apt-get source -qq "$1=$version" >/dev/null 2>&1; then
                echo "$2 for Windows ($HOST): the candidate's sources could not be fetched; using $1 $version"
                fetched=yes
                break
            fi
        done
        if [ $fetched = no ]; then
            echo "apt-get source $1 failed (are deb-src entries enabled? run tools/install-deps.sh)" >&2
            exit 1
        fi
    fi
    tree=$(find . -maxdepth 1 -mindepth 1 -type d -name "$1-*" | head -n 1)
    if [ -z "$tree" ]; then
        echo "no $1 source tree in $work" >&2
        exit 1
    fi
}
