#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build). Extra arguments go to
# cmake. TARGETS names what to build (default: everything). With BUILD_LOG set,
# configure and build write to that file, which is shown only when they fail.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${BUILD_DIR:-$root/build}
read -r -a targets <<<"${TARGETS:-}"

build() {
    cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
    ninja -C "$dir" -j"$(nproc)" "${targets[@]}"
}

if [ -z "${BUILD_LOG:-}" ]; then
    build "$@"
    exit 0
fi
mkdir -p "$(dirname "$BUILD_LOG")"
if ! build "$@" >"$BUILD_LOG" 2>&1; then
    cat "$BUILD_LOG" >&2
    echo "build failed (the log is in $BUILD_LOG)" >&2
    exit 1
fi
