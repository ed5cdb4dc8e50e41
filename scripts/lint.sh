#!/usr/bin/env bash
# The habits the tree keeps, checked: every C++ file as .clang-format lays it
# out, and every shell script (scripts, tests, the rig, the completion files)
# free of shellcheck findings. Installs clang-format and shellcheck when they
# are missing. Exits non-zero on any finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

need=()
command -v clang-format >/dev/null 2>&1 || need+=(clang-format)
command -v shellcheck >/dev/null 2>&1 || need+=(shellcheck)
if [ ${#need[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi

failed=0
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run -Werror "${sources[@]}"; then
    echo "lint: clang-format would change the files above (clang-format -i FILE)"
    failed=1
fi

# Shell scripts: those with a sh or bash first line, and the completion files.
scripts=()
while IFS= read -r file; do
    [ -f "$file" ] || continue
    case $file in
    completion/*) scripts+=("$file") ;;
    *) head -n1 "$file" | grep -qE '^#!.*\b(ba)?sh\b' && scripts+=("$file") ;;
    esac
done < <(git ls-files)
if ! shellcheck -x "${scripts[@]}"; then
    echo "lint: shellcheck findings above"
    failed=1
fi
echo "lint: ${#sources[@]} C++ files, ${#scripts[@]} shell scripts checked"
exit "$failed"
