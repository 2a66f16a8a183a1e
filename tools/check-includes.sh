#!/usr/bin/env bash
# The floors of the code: each folder includes only itself and the folders below it, so
# the program reads from the top (app) down to the base (base) without a circle. The build
# enforces the same (each library shows only its own headers and those of the floors it
# links); this is the quick first look, before anything compiles.
#   tools/check-includes.sh [SOURCE_DIR]
# Prints each upward include as FILE:LINE and exits 1 when there is one.
set -uo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2

# folder: the folders its files may include, besides its own.
declare -A below=(
    [base]=""
    [link]="base"
    [files]="link base"
    [serial]="files link base"
    [unattended]="link base"
    [remote]="files link base"
    [plan]="files link base"
    [mqtt]="remote unattended files link base"
    [widgets]="serial files link base"
    [dialogs]="widgets plan mqtt remote unattended serial files link base"
    [app]="dialogs widgets plan mqtt remote unattended serial files link base"
    [sim]="serial files link base"
)

bad=0
for folder in "${!below[@]}"; do
    [ -d "$folder" ] || continue
    allowed=" $folder ${below[$folder]} "
    while IFS=: read -r file line target; do
        top=${target%%/*}
        # Includes without a folder are system or Qt headers.
        [ "$top" = "$target" ] && continue
        case "$allowed" in
        *" $top "*) ;;
        *) echo "$file:$line: $folder/ may not include $target"; bad=1 ;;
        esac
    done < <(grep -rnoE --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"' "$folder" |
             sed -E 's/^([^:]+):([0-9]+):.*"([^"]+)"$/\1:\2:\3/')
done
[ "$bad" -eq 0 ] && echo "includes: every folder includes only the floors below it"
exit "$bad"
