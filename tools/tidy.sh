#!/usr/bin/env bash
# clang-tidy (.clang-tidy) over the program's own sources, in bounded time.
#   tools/tidy.sh [-b BUILD_DIR] [-j JOBS] [-t SECONDS] [--changed [BASE]] [FILE...]
# Without files: every .cpp of the floors and the simulator. --changed: the sources changed
# since the merge base with BASE (default main), a changed header standing for its .cpp.
# Exits 0 when clean, 1 on a finding, 2 when it could not run or ran out of time.
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$src/build jobs=2 limit=900 changed="" files=()
while [ $# -gt 0 ]; do
    case "$1" in
    -b) build=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    -j*) jobs=${1#-j}; shift ;;
    -t) limit=$2; shift 2 ;;
    --changed)
        changed=main; shift
        if [ $# -gt 0 ] && [ "${1#-}" = "$1" ] && ! [ -e "$src/$1" ]; then changed=$1; shift; fi ;;
    -*) echo "tidy: unknown option $1" >&2; exit 2 ;;
    *) files+=("$1"); shift ;;
    esac
done
tidy=$(command -v clang-tidy-14 || command -v clang-tidy) || { echo "tidy: no clang-tidy" >&2; exit 2; }
cd "$src" || exit 2

# The compile commands come from the build's own configuration; asking for them changes no flag.
if [ ! -f "$build/compile_commands.json" ]; then
    cmake -S "$src" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null || { echo "tidy: cannot configure $build" >&2; exit 2; }
fi

floors="base link files serial remote unattended widgets dialogs app sim"
if [ -n "$changed" ]; then
    base=$(git merge-base HEAD "$changed") || { echo "tidy: no merge base with $changed" >&2; exit 2; }
    while read -r f; do
        case "$f" in *.h) f=${f%.h}.cpp ;; esac
        [ -f "$f" ] && files+=("$f")
    done < <(git diff --name-only --diff-filter=d "$base" -- $(for d in $floors; do echo "$d/*.cpp" "$d/*.h"; done))
elif [ ${#files[@]} -eq 0 ]; then
    for d in $floors; do files+=($d/*.cpp); done
fi
# Only what the build compiles: the database knows each file's flags.
mapfile -t files < <(printf '%s\n' "${files[@]}" | sort -u | while read -r f; do
    grep -q "\"file\": \"$src/$f\"" "$build/compile_commands.json" && echo "$f"
done)
[ ${#files[@]} -eq 0 ] && { echo "tidy: nothing to check"; exit 0; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export tidy build out
printf '%s\n' "${files[@]}" |
    timeout "$limit" xargs -P "$jobs" -I{} sh -c '"$tidy" -p "$build" --quiet "$1" >"$out/$(echo "$1" | tr / _).log" 2>&1 || echo "$1" >>"$out/failed"' _ {}
status=$?
if [ $status -eq 124 ]; then
    echo "tidy: stopped after ${limit} s (${#files[@]} files; try --changed or -t)" >&2
    exit 2
fi
if [ -s "$out/failed" ]; then
    sort "$out/failed" | while read -r f; do
        echo "== $f"
        grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated|^Suppressed|^Use -header-filter|^Error while processing' "$out/$(echo "$f" | tr / _).log"
    done
    echo "tidy: findings in $(wc -l <"$out/failed") of ${#files[@]} files" >&2
    exit 1
fi
echo "tidy: ${#files[@]} files clean"
