#!/bin/bash
# The layer check run on copies of the sources with a fault planted in each:
# every planted fault must make it fail, and the untouched copy must pass.
#
# Usage: check_layers_planted.sh <sources folder>
set -euo pipefail

src=${1:?usage: check_layers_planted.sh <sources folder>}
check=$(dirname "$0")/check_layers.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# plant <name> <shell commands run inside the copy>
failed=0
plant() {
    rm -rf "$work/src"
    cp -r "$src" "$work/src"
    (cd "$work/src" && eval "$2")
    if [[ $1 == "untouched" ]]; then
        if ! "$check" "$work/src" >/dev/null; then
            echo "FAIL: the untouched copy does not pass"
            failed=1
        fi
    elif "$check" "$work/src" >/dev/null; then
        echo "FAIL: not caught: $1"
        failed=1
    fi
}

plant "untouched" ":"
plant "storage includes the link" \
    'echo "#include \"link/packet.h\"" >> storage/settings.cpp'
plant "platform includes storage, indented" \
    'echo "  #  include \"storage/datafolder.h\"" >> platform/cp1250.h'
plant "the link includes the update" \
    'echo "#include \"update/tfupdate.h\"" >> link/classroom_send.cpp'
plant "the commands include a window" \
    'echo "#include \"shell/tfmain.h\"" >> commands/commander.cpp'
plant "a folder outside the layers" \
    'mkdir extra && echo "#include \"shell/tfmain.h\"" > extra/extra.cpp'

exit $failed
