#!/usr/bin/env bash
# timed.sh FILE COMMAND...: runs COMMAND and writes its wall time, in nanoseconds, to FILE.
out=$1
shift
start=$(date +%s%N)
status=0
"$@" || status=$?
echo $(($(date +%s%N) - start)) >"$out"
exit "$status"
