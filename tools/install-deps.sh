#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
# Safe to run again: it asks apt only for what dpkg does not already have.
set -e

PACKAGES="cmake make g++ pkg-config libpcre3-dev googletest libgtest-dev libbenchmark-dev clang nginx-light wget"

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" != "0" ]; then
    echo "missing packages:$missing (run as root, or install them)" >&2
    exit 1
fi

echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
