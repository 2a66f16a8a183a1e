#!/usr/bin/env bash
# The developer scripts' own traps: the freshness check of the test programs on a fake tree,
# "tools/dev.sh run" without a display ending at once, before any install or build, the
# include check passing the sources and failing a planted upward include, and the Debian 13
# stage failing in one sentence where no mirror answers.
#   test-dev-tools.sh SOURCE_DIR
set -uo pipefail
src=${1:?usage: test-dev-tools.sh SOURCE_DIR}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kadrel-devtools.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# 1. The freshness check: cache switch, missing program, program older than its source.
tree=$tmp/tree
mkdir -p "$tree/tests" "$tree/build"
echo 'KADREL_TESTS:BOOL=ON' >"$tree/build/CMakeCache.txt"
touch -d '2020-01-01' "$tree/tests/test_a.cpp" "$tree/tests/test_b.cpp"
install -m 755 /dev/null "$tree/build/test_a"
install -m 755 /dev/null "$tree/build/test_b"
check() { (cd "$tree" && "$src/tools/check-tests-built.sh" build) >"$tmp/out" 2>&1; }
check || fail "fresh programs refused: $(cat "$tmp/out")"
touch "$tree/tests/test_b.cpp"     # a test added after the last build
touch -d '2021-01-01' "$tree/build/test_b"
check && fail "a program older than its source passed"
grep -q 'test_b is older than tests/test_b.cpp' "$tmp/out" || fail "no word on the stale program: $(cat "$tmp/out")"
touch "$tree/build/test_b"
touch "$tree/tests/test_c.cpp"     # a new test file, never built
check && fail "a test source with no program passed"
rm "$tree/tests/test_c.cpp"
echo 'KADREL_TESTS:BOOL=OFF' >"$tree/build/CMakeCache.txt"
check && fail "a cache with the tests switched off passed"
echo 'KADREL_TESTS:BOOL=ON' >"$tree/build/CMakeCache.txt"
check || fail "the mended tree is still refused: $(cat "$tmp/out")"

# 2. No display: one sentence, nothing installed or built. Stubs record any call.
stubs=$tmp/stubs
mkdir -p "$stubs"
for tool in cmake apt-get dpkg-query ctest; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$tmp" >"$stubs/$tool"
    chmod +x "$stubs/$tool"
done
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM PATH="$stubs:$PATH" \
    timeout 20 "$src/tools/dev.sh" run >"$tmp/run.out" 2>&1 </dev/null || status=$?
[ "$status" -eq 1 ] || fail "dev.sh run without a display ended with $status, not 1"
grep -q 'xvfb-run -a tools/dev.sh run' "$tmp/run.out" || fail "no advice without a display: $(cat "$tmp/run.out")"
[ "$(wc -l <"$tmp/run.out")" -eq 1 ] || fail "more than one line without a display: $(cat "$tmp/run.out")"
[ -e "$tmp/calls" ] && fail "dev.sh run without a display called: $(cat "$tmp/calls")"

# 3. The include check: the real tree passes; one include up a floor, in a header or behind
# spaces, fails and is named.
"$src/tools/check-includes.sh" "$src" >"$tmp/inc.out" 2>&1 || fail "the sources fail the include check: $(cat "$tmp/inc.out")"
floors=$tmp/floors
mkdir -p "$floors/link" "$floors/serial" "$floors/app"
printf '#include "link/Frame.h"\n#include <QString>\n' >"$floors/serial/Port.cpp"
printf '#include "serial/Port.h"\n' >"$floors/app/Main.cpp"
"$src/tools/check-includes.sh" "$floors" >"$tmp/inc.out" 2>&1 || fail "downward includes refused: $(cat "$tmp/inc.out")"
for planted in '#include "app/KadrelMain.h"' '  #  include "serial/Port.h"'; do
    printf '#pragma once\n%s\n' "$planted" >"$floors/link/Frame.h"
    "$src/tools/check-includes.sh" "$floors" >"$tmp/inc.out" 2>&1 && fail "an upward include passed: $planted"
    grep -q '^link/Frame.h:2: ' "$tmp/inc.out" || fail "the upward include is not named: $(cat "$tmp/inc.out")"
done

# 4. The Debian 13 stage where no Debian mirror answers: a half-made root (no stamp) is not
# taken as made, and the stage fails with one sentence that says why, leaving no root behind.
half=$tmp/d13root
mkdir -p "$half/etc" "$tmp/d13build"
echo 13.1 >"$half/etc/debian_version"
status=0
KADREL_DEBIAN13_ROOT=$half KADREL_DEBIAN_MIRROR=http://127.0.0.1:9/debian \
    timeout 60 "$src/tests/debian13/stage.sh" "$tmp/d13build" --prepare >"$tmp/d13.out" 2>&1 </dev/null || status=$?
[ "$status" -eq 1 ] || fail "the Debian 13 stage with no mirror ended with $status, not 1: $(cat "$tmp/d13.out")"
grep -qE 'FAILED: (debootstrap could not make a Debian 13 root from http://127.0.0.1:9/debian|making the Debian 13 root needs root)' "$tmp/d13.out" ||
    fail "the Debian 13 stage does not say why it failed: $(cat "$tmp/d13.out")"
[ "$(id -u)" -ne 0 ] || [ ! -e "$half" ] || fail "the half-made root was left behind"

[ "$failures" -eq 0 ] && echo "developer scripts: checks passed"
exit $((failures > 0))
