#!/usr/bin/env bash
# Runs the QEMU rig: setup (cached), then every case, then the table.
#
#   rig/run.sh [--quick] [rig.py options, e.g. --cases a,c]
#
# The binaries come from BUILD_DIR (default: build/ at the top of this tree):
# FWUTIL and FWSIM override each. The images fwsim checks against are the
# folder the build embedded (FWU_IMAGES_DIR from the build's CMake cache, else
# the generated stand-ins); RIG_IMAGES overrides. RIG_CACHE: see setup.sh.
# RIG_WORK: where the logs go (default: a fresh folder under /tmp).
# Exit status: 0 when no case failed (SKIP is not a failure), 1 otherwise.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$top/build}
fwutil=${FWUTIL:-$build/fwutil}
fwsim=${FWSIM:-$build/fwsim}

images=${RIG_IMAGES:-}
if [[ -z $images ]]; then
    images=$(sed -n 's/^FWU_IMAGES_DIR:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
    [[ -n $images ]] || images=$build/resources/standin
fi
for f in "$fwutil" "$fwsim"; do
    [[ -x $f ]] || { echo "run: $f missing: build fwutil and fwsim first (or set BUILD_DIR, FWUTIL, FWSIM)" >&2; exit 2; }
done
for f in boot1.bin boot2.bin firmware.bin; do
    [[ -f $images/$f ]] || { echo "run: $images/$f missing (set RIG_IMAGES)" >&2; exit 2; }
done

start=$(date +%s.%N)
setup_out=$("$here/setup.sh" "$fwutil")
kernel=$(sed -n 's/^KERNEL=//p' <<<"$setup_out")
initrd=$(sed -n 's/^INITRD=//p' <<<"$setup_out")
set_dir=$(sed -n 's/^SET=//p' <<<"$setup_out")
work=${RIG_WORK:-$(mktemp -d /tmp/fwutil-rig.XXXXXX)}
mkdir -p "$work"

status=0
python3 "$here/rig.py" --fwutil "$fwutil" --fwsim "$fwsim" --images "$images" \
    --kernel "$kernel" --initrd "$initrd" --set "$set_dir" --workdir "$work" \
    --json "$work/results.json" --markdown "$work/results.md" "$@" || status=$?
end=$(date +%s.%N)
printf 'rig: whole run %.0f s (setup included); logs in %s\n' "$(echo "$end - $start" | bc 2>/dev/null || python3 -c "print($end - $start)")" "$work"
exit "$status"
