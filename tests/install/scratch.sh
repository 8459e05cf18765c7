# Sourced by the install tests: a scratch folder, $work, removed at exit,
# and fail, which ends the test with its message.
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
