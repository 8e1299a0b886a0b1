#!/bin/bash
# Builds the library and runs the demonstration program.
#   scripts/demo.sh                                  direct loopback exchange
#   scripts/demo.sh --with-proxy                     through a tinyproxy it starts itself
#   scripts/demo.sh http|socks5 HOST PORT [USER PASSWORD]   through a proxy you name
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build-demo" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVN_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build-demo" -j 2 --target vnbase_demo
demo=$root/build-demo/demo/vnbase_demo

if [ "${1:-}" != "--with-proxy" ]; then
    exec "$demo" "$@"
fi

# A loopback port nobody listens on.
port=
for _ in $(seq 1 50); do
    candidate=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
        port=$candidate
        break
    fi
done
[ -n "$port" ] || { echo "demo: no free port found" >&2; exit 1; }

dir=$(mktemp -d)
cat >"$dir/tinyproxy.conf" <<CONF
Port $port
Listen 127.0.0.1
Timeout 30
MaxClients 5
Allow 127.0.0.1
LogLevel Error
CONF
tinyproxy -d -c "$dir/tinyproxy.conf" >/dev/null 2>&1 &
proxy=$!
trap 'kill $proxy 2>/dev/null; wait $proxy 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
done
echo "demo: tinyproxy listening on 127.0.0.1:$port"
"$demo" http 127.0.0.1 "$port"
