#!/usr/bin/env bash
# Installs what is missing, builds the tool and the simulator program (only
# those, quietly: the log goes to BUILD_DIR/build.log and is shown when the
# build fails), and runs the tool on the built-in simulated handheld.
# Arguments go to the tool (try --help).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/deps.sh"
export BUILD_DIR=${BUILD_DIR:-$root/build}
# The first build compiles everything these two need, and says nothing while it does.
[ -x "$BUILD_DIR/fwutil" ] || echo "run.sh: the first build takes a few minutes (the log: $BUILD_DIR/build.log)" >&2
TARGETS="fwutil fwsim" BUILD_LOG="$BUILD_DIR/build.log" "$root/scripts/build.sh"
export LANG=${LANG:-C.UTF-8}
exec "$BUILD_DIR/fwutil" "$@"
