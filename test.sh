#!/usr/bin/env bash
# Builds the tool and runs every test. BUILD_DIR and SANITIZE (address|thread) select a variant.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/deps.sh"
export BUILD_DIR=${BUILD_DIR:-$root/build${SANITIZE:+-$SANITIZE}}
"$root/scripts/build.sh" -DFWU_SANITIZE="${SANITIZE:-}"
"$root/scripts/check-layers.sh" "$BUILD_DIR"
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" --timeout 300
