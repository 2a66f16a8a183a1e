#!/usr/bin/env bash
# The floors of the code: each folder includes only itself and the folders below it, so
# the program reads from the top (app) down to the protocol (link) without a circle.
#   tools/check-includes.sh [SOURCE_DIR]
# Prints each upward include as FILE:LINE and exits 1 when there is one.
set -uo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2

# folder: the folders its files may include, besides its own.
declare -A below=(
    [link]=""
    [files]="link"
    [serial]="files link"
    [unattended]="link"
    [remote]="files link"
    [widgets]="serial files link"
    [dialogs]="widgets remote unattended serial files link"
    [app]="dialogs widgets remote unattended serial files link"
    [sim]="serial files link"
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
