#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer and ASan+UBSan into their own
# build folder, then runs each for SECONDS (default 60) from its seed corpus.
# Found inputs go to the folder of that run (never into the seeds); a crash,
# hang or leak fails the script. FUZZ_BUILD_DIR picks the build folder,
# FUZZ_JOBS the build's parallelism, FUZZ_TARGETS which targets run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
dir=${FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=${FUZZ_TARGETS:-"profile_fuzz namespace_fuzz download_fuzz"}
cxx=${FUZZ_CXX:-clang++-14}
cc=${FUZZ_CC:-clang-14}
if ! command -v "$cxx" >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null || true
fi
if ! command -v "$cxx" >/dev/null; then
    echo "fuzz/run.sh: $cxx is missing (apt-get install clang-14 libclang-rt-14-dev)" >&2
    exit 1
fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_CXX_COMPILER="$cxx" -DFWU_FUZZ=ON -DFWU_TESTS=OFF -DFWU_SANITIZE=address >/dev/null
# shellcheck disable=SC2086
ninja -C "$dir" -j"${FUZZ_JOBS:-$(nproc)}" $targets

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
status=0
for t in $targets; do
    work="$dir/runs/$t"
    mkdir -p "$work/corpus" "$work/artifacts"
    # The download runs in (shortened) real time: its inputs are scripts.
    extra=()
    case $t in
    download_fuzz) extra=(-max_len=4096 -timeout=120 -rss_limit_mb=4096) ;;
    profile_fuzz)
        extra=(-max_len=4096 -rss_limit_mb=4096)
        # The platform keeps every profile it loaded alive (what it handed out
        # stays valid), so a run of more than minutes fills the memory limit:
        # long runs go in child processes that are replaced as they age.
        [ "$seconds" -gt 600 ] && extra+=(-fork=1)
        ;;
    namespace_fuzz) extra=(-max_len=1100) ;;
    esac
    echo "== $t: ${seconds}s"
    if ! "$dir/fuzz/$t" "${extra[@]}" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" "$work/corpus" "$root/fuzz/corpus/${t%_fuzz}" \
        >"$work/log" 2>&1; then
        echo "fuzz/run.sh: $t found a fault; see $work/log and $work/artifacts/" >&2
        tail -40 "$work/log" >&2
        status=1
    fi
    grep -E '^stat::|^#[0-9]+.*(DONE|cov)' "$work/log" | tail -6 || true
done
exit $status
