#!/bin/bash
# Builds the library and runs the demonstration program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build-demo" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVN_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build-demo" -j 2 --target vnbase_demo
exec "$root/build-demo/demo/vnbase_demo" "$@"
