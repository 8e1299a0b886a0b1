#!/bin/bash
# Fails when a lower folder of the library includes a header of a higher one. The order:
#   common < base < task < fevent < net < http/common < http/client, http/server < tools
# A folder may include its own headers and those of lower folders; http/client and
# http/server not each other's. crypto and io sit beside the stack and include common and
# base only (higher folders may include them).
set -euo pipefail
cd "$(dirname "$0")/.."

rank() {
    case $1 in
        common) echo 0 ;;
        base) echo 1 ;;
        crypto | io) echo 2 ;;
        task) echo 2 ;;
        fevent) echo 3 ;;
        net) echo 4 ;;
        http/common) echo 5 ;;
        http/client | http/server) echo 6 ;;
        tools) echo 7 ;;
        *) echo -1 ;;
    esac
}

# The layer a path belongs to: its first folder, or the first two under http/.
layer() {
    case $1 in
        http/*) echo "$1" | cut -d/ -f1-2 ;;
        *) echo "$1" | cut -d/ -f1 ;;
    esac
}

bad=0
for dir in common base task fevent net http/common http/client http/server tools crypto io; do
    [ -d "$dir" ] || continue
    from=$(rank "$dir")
    while IFS=: read -r file line text; do
        target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/' <<<"$text")
        case $target in */*) ;; *) continue ;; esac  # a header beside the file
        to_layer=$(layer "$target")
        [ "$to_layer" = "$dir" ] && continue
        to=$(rank "$to_layer")
        [ "$to" -lt 0 ] && continue  # not a library folder
        if [ "$to" -ge "$from" ]; then
            echo "layering: $file:$line includes $target ($dir may not include $to_layer)"
            bad=1
        fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' -r --include='*.h' \
        --include='*.cpp' "$dir" | grep -v '^[^:]*/tests/' || true)
done
if [ $bad -ne 0 ]; then
    echo "layering check FAILED"
    exit 1
fi
echo "layering check passed"
