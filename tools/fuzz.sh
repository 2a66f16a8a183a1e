#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   tools/fuzz.sh [SECONDS]   (default 60 per target)
# Corpora persist in build-fuzz/corpus/<target>; a crash leaves its input in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKADREL_FUZZ=ON -DKADREL_TESTS=OFF -DKADREL_BENCH=OFF >/dev/null
targets=$(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
cmake --build build-fuzz -j"$(nproc)" --target $targets
# The targets' scratch files go to a folder of this run's own, removed however the run ends.
scratch=$(mktemp -d "$( [ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/kadrel-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM
export KADREL_FUZZ_SCRATCH=$scratch
status=0
for t in $targets; do
    mkdir -p "build-fuzz/corpus/$t"
    seeds=()
    [ -d "tests/fuzz/seeds/$t" ] && seeds=("tests/fuzz/seeds/$t")
    log="build-fuzz/$t.log"
    if ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/fuzz/lsan.supp" "build-fuzz/$t" -max_total_time="$seconds" -max_len=9000 -timeout=5 \
        -rss_limit_mb=2048 -artifact_prefix="build-fuzz/$t-" \
        "build-fuzz/corpus/$t" "${seeds[@]}" >"$log" 2>&1; then
        result=clean
    else
        result="FAILED (see $log)"
        status=1
    fi
    runs=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | tail -1 | awk '{print $2, $5}')
    execs=$(grep -o 'exec/s: [0-9]*' "$log" | tail -1 | awk '{print $2}')
    corp=$(grep -o 'corp: [0-9]*/[0-9]*[bKM]*' "$log" | tail -1 | awk '{print $2}')
    echo "fuzz $t: ${runs%% *} runs in ${runs##* } s, ${execs:-?} exec/s, inputs up to 9000 bytes, corpus ${corp:-?} (inputs/bytes): $result"
done
exit $status
