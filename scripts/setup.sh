#!/bin/bash
# Installs what building, testing and the demonstration need on a Debian machine.
# Only asks apt when a package is missing, so a prepared machine starts at once.
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config
    clang libclang-rt-14-dev clang-format clang-tidy
    googletest libbenchmark-dev
    zlib1g-dev libssl-dev libpsl-dev publicsuffix
    tinyproxy-bin dante-server microsocks
    nginx curl wrk libcurl4-openssl-dev python3 python3-h11 python3-multipart
    openssl testssl.sh
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# The proxy tests start their own tinyproxy, danted and microsocks (which keeps its own
# credentials, so no system account is made) on free loopback ports; the packaged danted
# service is not wanted (it would only hold a port).
if command -v service >/dev/null 2>&1 && service danted status >/dev/null 2>&1; then
    service danted stop >/dev/null 2>&1 || true
fi
# The HTTP tests start their own nginx on a free loopback port; the packaged service is
# stopped so that it does not hold port 80.
if command -v service >/dev/null 2>&1 && service nginx status >/dev/null 2>&1; then
    service nginx stop >/dev/null 2>&1 || true
fi
