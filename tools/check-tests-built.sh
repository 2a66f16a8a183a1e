#!/usr/bin/env bash
# Fails unless every test program of BUILD was built, with the tests switched on, after its
# source last changed: a cache left by a build without tests would otherwise run old programs
# or none, and still count as a pass.
#   tools/check-tests-built.sh BUILD   (run from the source folder)
set -euo pipefail
build=${1:?usage: check-tests-built.sh BUILD}
problems=0
if ! grep -q '^KADREL_TESTS:BOOL=ON$' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "$build: the tests are switched off in its CMake cache (KADREL_TESTS)" >&2
    problems=1
fi
count=0
for src in tests/test_*.cpp; do
    [ -e "$src" ] || continue
    count=$((count + 1))
    bin=$build/$(basename "$src" .cpp)
    if [ ! -x "$bin" ]; then
        echo "$build: $(basename "$bin") is not built" >&2
        problems=1
    elif [ "$src" -nt "$bin" ]; then
        echo "$build: $(basename "$bin") is older than $src" >&2
        problems=1
    fi
done
if [ "$count" -eq 0 ]; then
    echo "no test sources in $(pwd)/tests" >&2
    problems=1
fi
[ "$problems" -eq 0 ] && echo "$build: all $count test programs built from the current sources"
exit "$problems"
