#!/bin/sh
# Runs a command and says how long it took, whether it passed or not:
#   tools/timed.sh "<name>" command [arguments...]
name=$1
shift
start=$(date +%s)
"$@"
status=$?
echo "== $name: $(( $(date +%s) - start )) s$( [ $status = 0 ] || echo ", FAILED (exit $status)")"
exit $status
