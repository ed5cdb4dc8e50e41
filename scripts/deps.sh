#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the tool.
set -euo pipefail
need=()
for pkg in cmake ninja-build g++ pkg-config libgtest-dev libncurses-dev tmux libsodium-dev minisign libsystemd-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
