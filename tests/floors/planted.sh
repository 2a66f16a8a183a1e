#!/usr/bin/env bash
# Builds each planted target: those named *_allowed must compile, those named *_above must
# fail because the compiler does not find the header (not for any other reason).
#   planted.sh CMAKE BUILD_DIR TARGET|HEADER...
set -uo pipefail
cmake=$1 build=$2
shift 2
bad=0
for row in "$@"; do
    target=${row%%|*} header=${row#*|}
    out=$("$cmake" --build "$build" --target "$target" 2>&1)
    rc=$?
    case "$target" in
    *_allowed)
        if [ $rc -ne 0 ]; then
            echo "FAIL $target: $header should compile"; echo "$out" | tail -20; bad=1
        else
            echo "ok   $target: $header found"
        fi ;;
    *_above)
        if [ $rc -eq 0 ]; then
            echo "FAIL $target: $header compiled, though it is up a floor"; bad=1
        elif ! grep -qE "(${header}: No such file or directory|'${header}' file not found)" <<<"$out"; then
            echo "FAIL $target: failed, but not for want of $header"; echo "$out" | tail -20; bad=1
        else
            echo "ok   $target: $header not found"
        fi ;;
    esac
done
exit $bad
