#!/usr/bin/env bash
# One benchmark built for this machine's Debian (build/) and for Debian 13 (the test command's
# Debian 13 stage, run in its root), one after the other, printed side by side.
#   bench/releases.sh BENCH [ARGS...]     e.g. bench/releases.sh bench_tick --seconds 20
set -euo pipefail
cd "$(dirname "$0")/.."
bench=${1:?usage: bench/releases.sh BENCH [ARGS...]}
shift
[ -x "build/$bench" ] || { echo "build/$bench is not built (tools/dev.sh test builds it)" >&2; exit 1; }
[ -x "build/debian13/build/$bench" ] || { echo "build/debian13/build/$bench is not built (the test command's debian13 stage builds it)" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
here_name=$(. /etc/os-release; echo "$PRETTY_NAME")
{ echo "== $here_name"; "build/$bench" "$@" 2>&1; } >"$out/here" || echo "(ended with $?)" >>"$out/here"
{ echo "== Debian 13 root"; tests/debian13/stage.sh build --run "build/$bench $(printf '%q ' "$@")" 2>&1; } >"$out/d13" ||
    echo "(ended with $?)" >>"$out/d13"
# Side by side: each line of this machine's run, padded to the longest, then the root's.
awk 'NR == FNR { left[FNR] = $0; if (length($0) > w) w = length($0); n = FNR; next }
     { right[FNR] = $0; if (FNR > n) n = FNR }
     END { for (i = 1; i <= n; i++) printf "%-*s | %s\n", w, left[i], right[i] }' "$out/here" "$out/d13"
