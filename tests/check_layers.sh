#!/bin/bash
# Fails when a folder of the console's sources includes a header of a folder
# above it. The folders from the bottom up: platform, storage, link, commands,
# shell (the windows), update. A folder may include its own headers and those
# of the folders below it.
#
# Usage: check_layers.sh <sources folder>
set -euo pipefail

src=${1:?usage: check_layers.sh <sources folder>}
layers=(platform storage link commands shell update)

# The upward includes that are known and not yet gone, as "file -> header".
# None is left; a line would go when its include does (a line that no longer
# matches fails too), so the list can only shrink.
exceptions=()

rank() {
    local i
    for i in "${!layers[@]}"; do
        if [[ ${layers[$i]} == "$1" ]]; then
            echo "$i"
            return
        fi
    done
    echo -1
}

failed=0
declare -A used=()

for dir in "$src"/*/; do
    folder=$(basename "$dir")
    if [[ $(rank "$folder") -lt 0 ]]; then
        echo "src/$folder: a folder without a place among the layers (${layers[*]})"
        failed=1
    fi
done

for folder in "${layers[@]}"; do
    [[ -d $src/$folder ]] || continue
    own=$(rank "$folder")
    while IFS= read -r file; do
        relative=${file#"$src"/}
        while IFS= read -r header; do
            target=${header%%/*}
            [[ $header == */* ]] || continue
            other=$(rank "$target")
            if [[ $other -lt 0 ]]; then
                # Not a folder of ours: another project's header.
                [[ -d $src/$target ]] || continue
            fi
            if [[ $other -le $own && $other -ge 0 ]]; then
                continue
            fi
            entry="$relative -> $header"
            if printf '%s\n' "${exceptions[@]}" | grep -qxF "$entry"; then
                used[$entry]=1
                continue
            fi
            echo "src/$relative includes $header, which lies above $folder"
            failed=1
        done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
    done < <(find "$src/$folder" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
done

for entry in "${exceptions[@]}"; do
    if [[ -z ${used[$entry]:-} ]]; then
        echo "known exception no longer found, take it off the list: $entry"
        failed=1
    fi
done

exit $failed
