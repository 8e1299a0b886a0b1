#!/bin/bash
# Installs what building, testing and the demonstration need on a Debian machine.
# Only asks apt when a package is missing, so a prepared machine starts at once.
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config
    clang libclang-rt-14-dev clang-format clang-tidy
    googletest libbenchmark-dev
    zlib1g-dev libssl-dev
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
