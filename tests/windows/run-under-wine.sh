#!/bin/sh
# Runs a Windows program under Wine for CTest:  run-under-wine.sh PROGRAM [ARGS...]
# Wine leaves its server and service processes running for a while after
# the program ends. They would inherit CTest's output pipe and hold the test
# open until they go, so Wine writes to a file that is shown afterwards.
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
rm -f "$out"
exit $status
